#include "fs/ext/ext_structures.h"

#include <algorithm>
#include <unordered_set>

namespace snapsave {

namespace {

constexpr uint16_t kExtentMagic = 0xF30A;
constexpr uint32_t kJournalMagic = 0xC03B3998;
constexpr uint32_t kJournal64Bit = 0x2;
constexpr uint32_t kJournalCsumV2 = 0x8;
constexpr uint32_t kJournalCsumV3 = 0x10;
constexpr size_t kMaxExtentDepth = 5;

struct MapWalk {
  const ExtMapLimits& limits;
  uint32_t blockSize;
  const ExtBlockReader& read;
  std::vector<ExtRun> runs;
  size_t nodes = 0;

  bool Full() const { return runs.size() >= limits.maxRuns; }
  void Add(uint64_t logical, uint64_t physical, uint64_t count) {
    if (logical >= limits.fileBlocks || physical == 0 || physical >= limits.blocksCount || Full()) return;
    count = std::min({count, limits.fileBlocks - logical, limits.blocksCount - physical});
    if (count == 0) return;  // an extent of no blocks (a crafted one) maps nothing
    if (!runs.empty() && runs.back().logical + runs.back().count == logical &&
        runs.back().physical + runs.back().count == physical) {
      runs.back().count += count;
      return;
    }
    runs.push_back({logical, physical, count});
  }
  bool ReadNode(uint64_t block, std::vector<uint8_t>& into) {
    if (++nodes > limits.maxNodes || block == 0 || block >= limits.blocksCount) return false;
    into.assign(blockSize, 0);
    return read(block, into);
  }

  // An extent node: its header, then leaves or index entries. Trees that loop or go deep end at the bounds.
  void Extents(ByteSpan node, size_t depthLeft, std::unordered_set<uint64_t>& seen) {
    if (Le16(node, 0) != kExtentMagic) return;
    const uint16_t entries = Le16(node, 2);
    const uint16_t depth = Le16(node, 6);
    if (depth > depthLeft) return;
    for (size_t i = 0; i < entries && Has(node, 12 + i * 12, 12) && !Full(); ++i) {
      const size_t at = 12 + i * 12;
      const uint32_t logical = Le32(node, at);
      if (depth == 0) {
        uint32_t length = Le16(node, at + 4);
        if (length > 32768) length -= 32768;  // uninitialised: allocated, read as it is
        const uint64_t start = uint64_t{Le16(node, at + 6)} << 32 | Le32(node, at + 8);
        Add(logical, start, length);
      } else {
        const uint64_t child = uint64_t{Le16(node, at + 8)} << 32 | Le32(node, at + 4);
        if (!seen.insert(child).second) continue;
        std::vector<uint8_t> block;
        if (ReadNode(child, block)) Extents(block, depth - 1, seen);
      }
    }
  }

  // Block pointers, `level` 0 for a data block, else an indirect block of that depth at `logical`.
  // Returns the logical blocks the pointer covers.
  uint64_t Pointer(uint32_t block, uint64_t logical, int level) {
    const uint64_t perBlock = blockSize / 4;
    uint64_t span = 1;
    for (int i = 0; i < level; ++i) span *= perBlock;
    if (logical >= limits.fileBlocks || block == 0) return span;
    if (level == 0) {
      Add(logical, block, 1);
      return span;
    }
    std::vector<uint8_t> data;
    if (!ReadNode(block, data)) return span;
    for (uint64_t i = 0; i < perBlock && !Full(); ++i)
      Pointer(Le32(data, i * 4), logical + i * (span / perBlock), level - 1);
    return span;
  }
};

// The value of the in-inode attribute "system.data" (name index 7, "data"): the rest of an inline file.
std::vector<uint8_t> InlineAttribute(ByteSpan b, uint32_t inodeSize) {
  const size_t extra = Le16(b, 0x80);
  const size_t header = 128 + extra;
  if (inodeSize <= 128 || extra % 4 != 0 || header + 4 > inodeSize || Le32(b, header) != 0xEA020000u)
    return {};
  const ByteSpan area = b.subspan(header + 4, inodeSize - header - 4);
  for (size_t at = 0; Has(area, at, 16) && Le32(area, at) != 0;) {
    const uint8_t nameLength = Le8(area, at);
    const uint8_t index = Le8(area, at + 1);
    const uint16_t valueAt = Le16(area, at + 2);
    const uint32_t valueSize = Le32(area, at + 8);
    if (!Has(area, at + 16, nameLength)) return {};
    if (index == 7 && nameLength == 4 &&
        std::equal(area.begin() + static_cast<ptrdiff_t>(at + 16),
                   area.begin() + static_cast<ptrdiff_t>(at + 20), "data")) {
      if (Le32(area, at + 4) != 0 || !Has(area, valueAt, valueSize))
        return {};  // a value elsewhere: not inline
      return {area.begin() + valueAt, area.begin() + valueAt + static_cast<ptrdiff_t>(valueSize)};
    }
    at += (size_t{16} + nameLength + 3) & ~size_t{3};
  }
  return {};
}

uint32_t Be32At(ByteSpan b, size_t off) {
  return Be32(b, off);
}

}  // namespace

std::optional<ExtInode> ParseExtInode(ByteSpan b, uint32_t inodeSize) {
  if (inodeSize < 128 || !Has(b, 0, inodeSize)) return std::nullopt;
  ExtInode n;
  n.mode = Le16(b, 0);
  n.size = Le32(b, 4) | uint64_t{Le32(b, 0x6C)} << 32;
  n.accessTime = Le32(b, 8);
  n.changeTime = Le32(b, 0xC);
  n.writeTime = Le32(b, 0x10);
  n.deleteTime = Le32(b, 0x14);
  n.links = Le16(b, 0x1A);
  n.flags = Le32(b, 0x20);
  std::copy_n(b.begin() + 0x28, 60, n.block.begin());
  if (inodeSize >= 0x94 && uint32_t{Le16(b, 0x80)} >= 0x18) n.createTime = Le32(b, 0x90);
  if (n.IsInline()) {
    n.inlineData.assign(n.block.begin(), n.block.end());
    const std::vector<uint8_t> rest = InlineAttribute(b, inodeSize);
    n.inlineData.insert(n.inlineData.end(), rest.begin(), rest.end());
  }
  return n;
}

uint32_t ExtCrc32c(uint32_t seed, ByteSpan bytes) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0x82F63B78u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  for (const uint8_t byte : bytes) seed = table[(seed ^ byte) & 0xFF] ^ (seed >> 8);
  return seed;
}

uint32_t ExtInodeChecksum(ByteSpan b, uint32_t inodeSize, uint32_t number, uint32_t volumeSeed) {
  if (inodeSize < 128 || !Has(b, 0, inodeSize)) return 0;
  std::vector<uint8_t> copy(b.begin(), b.begin() + inodeSize);
  copy[0x7C] = copy[0x7D] = 0;
  if (inodeSize > 128 && Le16(b, 0x80) >= 4) copy[0x82] = copy[0x83] = 0;
  const std::array<uint8_t, 8> numberAndGeneration{static_cast<uint8_t>(number),
                                                   static_cast<uint8_t>(number >> 8),
                                                   static_cast<uint8_t>(number >> 16),
                                                   static_cast<uint8_t>(number >> 24),
                                                   b[0x64],
                                                   b[0x65],
                                                   b[0x66],
                                                   b[0x67]};
  return ExtCrc32c(ExtCrc32c(volumeSeed, numberAndGeneration), copy);
}

bool ExtInodeChecksumOk(ByteSpan b, uint32_t inodeSize, uint32_t number, uint32_t volumeSeed) {
  if (inodeSize < 128 || !Has(b, 0, inodeSize)) return false;
  const uint32_t sum = ExtInodeChecksum(b, inodeSize, number, volumeSeed);
  // The upper half is stored where the inode's extra fields reach it.
  if (inodeSize > 128 && Le16(b, 0x80) >= 4) return sum == (Le16(b, 0x7C) | uint32_t{Le16(b, 0x82)} << 16);
  return (sum & 0xFFFF) == Le16(b, 0x7C);
}

std::vector<ExtRun> MapExtInode(const ExtInode& inode, uint32_t blockSize, const ExtMapLimits& limits,
                                const ExtBlockReader& read) {
  MapWalk walk{limits, blockSize, read, {}, 0};
  if (blockSize < 1024 || (inode.flags & kExtInlineDataFlag) != 0) return {};
  if (inode.HasExtents()) {
    std::unordered_set<uint64_t> seen;
    walk.Extents(inode.block, kMaxExtentDepth, seen);
  } else {
    const ByteSpan p(inode.block);
    uint64_t logical = 0;
    for (size_t i = 0; i < 12; ++i) logical += walk.Pointer(Le32(p, i * 4), logical, 0);
    for (int level = 1; level <= 3 && !walk.Full(); ++level)
      logical += walk.Pointer(Le32(p, 44 + static_cast<size_t>(level) * 4), logical, level);
  }
  std::vector<ExtRun>& runs = walk.runs;
  std::sort(runs.begin(), runs.end(), [](const ExtRun& a, const ExtRun& b) { return a.logical < b.logical; });
  // Extents out of order, or overlapping ones a crafted tree gives, become one ascending list.
  std::vector<ExtRun> merged;
  for (const ExtRun& r : runs) {
    if (!merged.empty() && r.logical < merged.back().logical + merged.back().count) continue;
    if (!merged.empty() && merged.back().logical + merged.back().count == r.logical &&
        merged.back().physical + merged.back().count == r.physical) {
      merged.back().count += r.count;
    } else {
      merged.push_back(r);
    }
  }
  return merged;
}

std::vector<ExtDirEntry> ParseExtDirBlock(ByteSpan block, uint32_t inodesCount, bool indexRoot) {
  std::vector<ExtDirEntry> entries;
  auto plausible = [&](size_t at, size_t room, bool live) -> std::optional<ExtDirEntry> {
    if (!Has(block, at, 8) || room < 8) return std::nullopt;
    const uint32_t inode = Le32(block, at);
    const uint16_t recordLength = Le16(block, at + 4);
    const uint8_t nameLength = Le8(block, at + 6);
    const uint8_t type = Le8(block, at + 7);
    if (nameLength == 0 || size_t{8} + nameLength > room || type > 7) return std::nullopt;
    if (live ? recordLength < 8u + nameLength : recordLength < 8u + nameLength || recordLength % 4 != 0)
      return std::nullopt;
    if (inode == 0 ? !live : inode > inodesCount) return std::nullopt;
    ExtDirEntry e{inode, type, std::string(reinterpret_cast<const char*>(block.data() + at + 8), nameLength),
                  !live};
    if (e.name.find('/') != std::string::npos || e.name.find('\0') != std::string::npos) return std::nullopt;
    return e;
  };
  size_t at = 0;
  bool first = true;
  while (at + 8 <= block.size()) {
    const uint16_t recordLength = Le16(block, at + 4);
    if (recordLength < 8 || recordLength % 4 != 0 || recordLength > block.size() - at) break;
    const uint8_t nameLength = Le8(block, at + 6);
    const size_t used = (size_t{8} + nameLength + 3) & ~size_t{3};
    // A first entry whose inode was cleared is deleted too, but its inode number went with it.
    if (auto e = plausible(at, recordLength, true); e && e->inode != 0 && e->name != "." && e->name != "..")
      entries.push_back(*e);
    // A hashed folder's inner index block poses as one empty entry over the block: hashes and block numbers
    // follow, not deleted entries.
    const bool indexNode = at == 0 && Le32(block, 0) == 0 && nameLength == 0 && recordLength == block.size();
    const bool skipSlack = (indexRoot && first) || indexNode;
    first = false;
    // The slack after the entry: deleted entries that followed it, each at a 4-byte boundary.
    for (size_t s = at + used; !skipSlack && used <= recordLength && s + 12 <= at + recordLength;) {
      if (auto e = plausible(s, at + recordLength - s, false)) {
        entries.push_back(*e);
        s += (size_t{8} + e->name.size() + 3) & ~size_t{3};
      } else {
        s += 4;
      }
    }
    at += recordLength;
  }
  return entries;
}

std::vector<ExtDirEntry> ParseExtInlineDir(const ExtInode& folder, uint32_t inodesCount) {
  if (!folder.IsDirectory() || folder.inlineData.size() < 60) return {};
  const ByteSpan bytes(folder.inlineData);
  std::vector<ExtDirEntry> entries = ParseExtDirBlock(bytes.subspan(4, 56), inodesCount, false);
  for (ExtDirEntry& e : ParseExtDirBlock(bytes.subspan(60), inodesCount, false))
    entries.push_back(std::move(e));
  return entries;
}

uint32_t JournalSuperblock::TagBytes() const {
  if ((incompat & kJournalCsumV3) != 0) return 16;
  uint32_t bytes = 12;
  if ((incompat & kJournalCsumV2) != 0) bytes += 2;
  return (incompat & kJournal64Bit) != 0 ? bytes : bytes - 4;
}

std::optional<JournalHeader> ParseJournalHeader(ByteSpan b) {
  if (!Has(b, 0, 12) || Be32At(b, 0) != kJournalMagic) return std::nullopt;
  return JournalHeader{Be32At(b, 4), Be32At(b, 8)};
}

std::optional<JournalSuperblock> ParseJournalSuperblock(ByteSpan b) {
  const auto header = ParseJournalHeader(b);
  if (!header || (header->type != 3 && header->type != 4) || !Has(b, 0, 0x30)) return std::nullopt;
  JournalSuperblock j;
  j.blockSize = Be32At(b, 0xC);
  j.maxLength = Be32At(b, 0x10);
  j.first = Be32At(b, 0x14);
  if (header->type == 4) j.incompat = Be32At(b, 0x28);
  if (j.blockSize < 1024 || j.blockSize > 65536 || (j.blockSize & (j.blockSize - 1)) != 0 || j.first == 0 ||
      j.first >= j.maxLength)
    return std::nullopt;
  return j;
}

std::vector<JournalTag> ParseJournalDescriptor(ByteSpan b, const JournalSuperblock& j) {
  std::vector<JournalTag> tags;
  const auto header = ParseJournalHeader(b);
  if (!header || header->type != 1) return tags;
  const bool csum = (j.incompat & (kJournalCsumV2 | kJournalCsumV3)) != 0;
  const size_t end = std::min(b.size(), size_t{j.blockSize}) - (csum ? 4 : 0);
  const bool wide = (j.incompat & kJournal64Bit) != 0;
  const bool v3 = (j.incompat & kJournalCsumV3) != 0;
  const size_t tagBytes = j.TagBytes();
  for (size_t at = 12; at + tagBytes <= end;) {
    JournalTag tag;
    tag.block = Be32At(b, at);
    const uint32_t flags = v3 ? Be32At(b, at + 4) : Be16(b, at + 6);
    if (wide) tag.block |= uint64_t{Be32At(b, at + 8)} << 32;
    tag.escaped = (flags & 1) != 0;
    tags.push_back(tag);
    at += tagBytes;
    if ((flags & 2) == 0) at += 16;  // the journal's UUID follows the first tag
    if ((flags & 8) != 0) break;     // the last tag
  }
  return tags;
}

std::vector<uint64_t> ParseJournalRevoke(ByteSpan b, const JournalSuperblock& j) {
  std::vector<uint64_t> blocks;
  const auto header = ParseJournalHeader(b);
  if (!header || header->type != 5 || !Has(b, 12, 4)) return blocks;
  const size_t bytes = std::min<size_t>(Be32At(b, 12), std::min(b.size(), size_t{j.blockSize}));
  const size_t each = (j.incompat & kJournal64Bit) != 0 ? 8 : 4;
  for (size_t at = 16; at + each <= bytes; at += each)
    blocks.push_back(each == 8 ? Be64(b, at) : Be32At(b, at));
  return blocks;
}

uint64_t ExtTimeToFileTime(uint32_t seconds) {
  constexpr uint64_t kUnixEpoch = 116444736000000000;
  return seconds == 0 ? 0 : kUnixEpoch + uint64_t{seconds} * 10'000'000;
}

}  // namespace snapsave
