#include "fs/xfs/xfs_log.h"

#include <algorithm>
#include <map>
#include <string>

namespace snapsave {

namespace {

constexpr uint32_t kRecordMagic = 0xFEEDBABE;
constexpr uint32_t kCycleBytes = 32768;  // the data one header's cycle words cover
constexpr uint32_t kMaxRecordBytes = 256 * 1024;
constexpr uint8_t kClientTransaction = 0x69;
constexpr uint8_t kContinues = 0x04;     // the region goes on in the next operation
constexpr uint8_t kWasContinued = 0x08;  // the region began in an earlier operation
constexpr uint8_t kStartsTransaction = 0x01;
constexpr uint32_t kTransactionMagic = 0x5452414e;  // "TRAN"
constexpr uint16_t kInodeItem = 0x123b;
constexpr uint16_t kBufferItem = 0x123c;
constexpr uint32_t kDataForkFields = 0x1 | 0x4 | 0x8;  // local data, extents, B-tree root
constexpr uint32_t kChunkBytes = 128;                  // a buffer's logged pieces are of these
constexpr size_t kMaxRecords = 1u << 20;
constexpr size_t kMaxInodes = 1u << 21;
constexpr uint64_t kMaxPieceBytes = 256ull << 20;
constexpr uint64_t kFlags2BigTime = 1u << 3;
constexpr uint64_t kFlags2Nrext64 = 1u << 4;

void LogTime(ByteSpan b, size_t off, bool big, int64_t& seconds, uint32_t& ns) {
  if (big) {
    const uint64_t v = Le64(b, off);
    seconds = static_cast<int64_t>(v / 1000000000u) - (int64_t{1} << 31);
    ns = static_cast<uint32_t>(v % 1000000000u);
  } else {
    seconds = static_cast<int32_t>(Le32(b, off));
    ns = std::min<uint32_t>(Le32(b, off + 4), 999999999u);
  }
}

// What the transactions of one id have delivered so far: the item whose regions follow, and how many are
// still to come.
struct Transaction {
  uint16_t itemType = 0;
  uint32_t regionsLeft = 0;
  uint32_t regionIndex = 0;
  // Inode items.
  uint64_t inode = 0;
  uint32_t fields = 0;
  std::vector<uint8_t> core;
  // Buffer items: the sector, and the runs of logged chunks in order (first chunk, count).
  uint64_t sector = 0;
  std::vector<std::pair<uint32_t, uint32_t>> chunkRuns;
  std::vector<uint8_t> partial;  // a region split over operations
};

class LogParser {
 public:
  LogParser(const XfsGeometry& g, const std::set<uint64_t>& wanted, XfsLogCopies& out)
      : g_(g), wanted_(wanted), out_(out) {}

  void Operation(uint32_t tid, uint8_t flags, ByteSpan payload) {
    Transaction& t = transactions_[tid];
    if ((flags & kStartsTransaction) != 0) t = Transaction{};
    if ((flags & kWasContinued) != 0 || (flags & kContinues) != 0) {
      if (t.partial.size() + payload.size() > kMaxRecordBytes * 4) {
        t.partial.clear();
        return;
      }
      t.partial.insert(t.partial.end(), payload.begin(), payload.end());
      if ((flags & kContinues) != 0) return;
      const std::vector<uint8_t> whole = std::move(t.partial);
      t.partial.clear();
      Region(t, whole);
      return;
    }
    Region(t, payload);
  }

 private:
  void Region(Transaction& t, ByteSpan r) {
    ++order_;
    if (r.empty()) return;
    if (t.regionsLeft == 0) {
      if (r.size() >= 16 && Le32(r, 0) == kTransactionMagic) return;
      StartItem(t, r);
      return;
    }
    --t.regionsLeft;
    ++t.regionIndex;
    if (t.itemType == kInodeItem) {
      if (t.regionIndex == 1) {
        t.core.assign(r.begin(), r.end());
        if (t.regionsLeft == 0 || (t.fields & kDataForkFields) == 0) EmitInode(t, {});
      } else if (t.regionIndex == 2 && (t.fields & kDataForkFields) != 0) {
        EmitInode(t, r);
      }
    } else if (t.itemType == kBufferItem && t.regionIndex - 1 < t.chunkRuns.size() &&
               wanted_.count(t.sector) != 0 && pieceBytes_ + r.size() <= kMaxPieceBytes) {
      XfsLogPiece p;
      p.sector = t.sector;
      p.offset = t.chunkRuns[t.regionIndex - 1].first * kChunkBytes;
      p.order = order_;
      p.bytes.assign(r.begin(), r.end());
      pieceBytes_ += r.size();
      out_.pieces.push_back(std::move(p));
    }
  }

  void StartItem(Transaction& t, ByteSpan r) {
    t.itemType = Le16(r, 0);
    const uint16_t regions = Le16(r, 2);
    t.regionsLeft = regions > 0 ? regions - 1u : 0u;
    t.regionIndex = 0;
    t.core.clear();
    t.chunkRuns.clear();
    if (t.itemType == kInodeItem) {
      t.fields = Le32(r, 4);
      // The 64-bit form pads before the inode number; the 32-bit one does not.
      t.inode = r.size() >= 56 ? Le64(r, 16) : Le64(r, 12);
    } else if (t.itemType == kBufferItem) {
      t.sector = static_cast<uint64_t>(Le64(r, 8));
      const uint32_t words = Le32(r, 16);
      // Each set bit of the map is a logged chunk; a run of set bits is one region.
      uint32_t runStart = 0, runLength = 0;
      for (uint32_t bit = 0; bit < words * 32 && Has(r, 20 + size_t{bit / 32} * 4, 4) && bit < 1u << 16;
           ++bit) {
        const bool set = ((Le32(r, 20 + size_t{bit / 32} * 4) >> (bit % 32)) & 1) != 0;
        if (set) {
          if (runLength == 0) runStart = bit;
          ++runLength;
        } else if (runLength != 0) {
          t.chunkRuns.emplace_back(runStart, runLength);
          runLength = 0;
        }
      }
      if (runLength != 0) t.chunkRuns.emplace_back(runStart, runLength);
    }
  }

  void EmitInode(Transaction& t, ByteSpan fork) {
    if (out_.inodes.size() >= kMaxInodes) return;
    std::optional<XfsInode> inode = ParseXfsLogInode(t.core, fork, g_);
    if (!inode) return;
    out_.inodes.push_back({t.inode, order_, std::move(*inode)});
  }

  const XfsGeometry& g_;
  const std::set<uint64_t>& wanted_;
  XfsLogCopies& out_;
  std::map<uint32_t, Transaction> transactions_;
  uint64_t order_ = 0;
  uint64_t pieceBytes_ = 0;
};

struct RecordPlace {
  uint32_t cycle = 0;
  uint64_t block = 0;  // 512-byte block of the log
};

}  // namespace

std::optional<XfsInode> ParseXfsLogInode(ByteSpan b, ByteSpan fork, const XfsGeometry& g) {
  if (b.size() < 96 || Le16(b, 0) != 0x494e) return std::nullopt;
  const uint8_t version = Le8(b, 4);
  if (version < 1 || version > 3) return std::nullopt;
  XfsInode n;
  n.mode = Le16(b, 2);
  n.format = Le8(b, 5);
  const uint64_t size = Le64(b, 56);
  if (size > (uint64_t{1} << 63) - 1) return std::nullopt;
  n.size = size;
  const uint64_t flags2 = version == 3 ? Le64(b, 120) : 0;
  n.extentCount = g.nrext64 && (flags2 & kFlags2Nrext64) != 0 ? Le64(b, 24) : Le32(b, 76);
  const bool big = (flags2 & kFlags2BigTime) != 0;
  LogTime(b, 32, big, n.accessTime, n.accessNs);
  LogTime(b, 40, big, n.writeTime, n.writeNs);
  LogTime(b, 48, big, n.changeTime, n.changeNs);
  if (version == 3 && b.size() >= 152) LogTime(b, 144, big, n.createTime, n.createNs);
  n.dataFork.assign(fork.begin(),
                    fork.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(fork.size(), g.inodeSize)));
  return n;
}

XfsLogCopies ReadXfsLog(const XfsLogRead& read, uint64_t logBytes, const XfsGeometry& g,
                        const std::set<uint64_t>& wantedSectors) {
  XfsLogCopies out;
  // Where the records start: a header names its own block.
  std::vector<RecordPlace> places;
  constexpr uint64_t kWindow = 1u << 20;
  std::vector<uint8_t> window(kWindow);
  for (uint64_t at = 0; at + 512 <= logBytes && places.size() < kMaxRecords; at += kWindow) {
    const auto n = static_cast<size_t>(std::min<uint64_t>(kWindow, (logBytes - at) / 512 * 512));
    if (!read(at, std::span(window).first(n))) continue;
    for (size_t s = 0; s + 512 <= n; s += 512) {
      const ByteSpan h = ByteSpan(window).subspan(s, 512);
      const uint32_t version = Be32(h, 8);
      if (Be32(h, 0) != kRecordMagic || (version != 1 && version != 2) || Be32(h, 4) == 0 ||
          Be32(h, 16) != Be32(h, 4) || Be32(h, 20) != (at + s) / 512 || Be32(h, 12) == 0)
        continue;
      places.push_back({Be32(h, 4), (at + s) / 512});
    }
  }
  std::sort(places.begin(), places.end(), [](const RecordPlace& a, const RecordPlace& b) {
    return a.cycle != b.cycle ? a.cycle < b.cycle : a.block < b.block;
  });
  LogParser parser(g, wantedSectors, out);
  std::vector<uint8_t> header(512), record;
  for (const RecordPlace& p : places) {
    if (!read(p.block * 512, header)) continue;
    const uint32_t length = Be32(header, 12);
    const uint32_t operations = Be32(header, 40);
    uint32_t headerSize = Be32(header, 8) == 2 ? Be32(header, 320) : kCycleBytes;
    if (headerSize == 0) headerSize = kCycleBytes;
    if (headerSize % kCycleBytes != 0 || headerSize > kMaxRecordBytes || length > headerSize) continue;
    const uint64_t headerSectors = headerSize / kCycleBytes;
    const uint64_t dataBytes = (uint64_t{length} + 511) / 512 * 512;
    const uint64_t first = (p.block + headerSectors) * 512;
    if (first > logBytes || dataBytes > logBytes - first) continue;
    // The extended headers' cycle words, then the data with its blocks' first words put back.
    std::vector<uint8_t> extended((headerSectors - 1) * 512);
    if (!extended.empty() && !read(p.block * 512 + 512, extended)) continue;
    record.assign(static_cast<size_t>(dataBytes), 0);
    if (!read(first, record)) continue;
    for (uint64_t block = 0; block < dataBytes / 512; ++block) {
      ByteSpan word;
      if (block < 64) {
        word = ByteSpan(header).subspan(44 + block * 4, 4);
      } else if ((block / 64) * 512 <= extended.size()) {
        word = ByteSpan(extended).subspan((block / 64 - 1) * 512 + 4 + (block % 64) * 4, 4);
      } else {
        break;
      }
      std::copy(word.begin(), word.end(), record.begin() + static_cast<std::ptrdiff_t>(block * 512));
    }
    size_t at = 0;
    for (uint32_t op = 0; op < operations && at + 12 <= length; ++op) {
      const ByteSpan r(record);
      const uint32_t tid = Be32(r, at);
      const uint32_t bytes = Be32(r, at + 4);
      const uint8_t client = Le8(r, at + 8);
      const uint8_t flags = Le8(r, at + 9);
      at += 12;
      if (bytes > length - at) break;
      if (client == kClientTransaction) parser.Operation(tid, flags, r.subspan(at, bytes));
      at += bytes;
    }
  }
  return out;
}

}  // namespace snapsave
