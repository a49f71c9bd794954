#include "engines/scan_checkpoint.h"

#include <zlib.h>

#include <algorithm>
#include <string_view>

#include "os/byte_reader.h"
#include "os/error.h"

namespace snapsave {

namespace {

constexpr std::string_view kMagic = "SSDC";
constexpr uint32_t kVersion = 1;
constexpr uint64_t kMaxCheckpointBytes = uint64_t{64} << 20;
constexpr size_t kLogBufferBytes = 4096 * kMetadataEntrySize;

class Writer {
 public:
  void U8(uint8_t v) { bytes_.push_back(v); }
  void U32(uint32_t v) { Put(v, 4); }
  void U64(uint64_t v) { Put(v, 8); }
  template <typename T, typename PutItem>
  void List(const std::vector<T>& items, PutItem&& put) {
    U32(static_cast<uint32_t>(items.size()));
    for (const T& item : items) put(item);
  }
  std::vector<uint8_t> Take() { return std::move(bytes_); }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  void Put(uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) bytes_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  std::vector<uint8_t> bytes_;
};

class Reader {
 public:
  explicit Reader(std::span<const uint8_t> b) : b_(b) {}
  bool ok() const { return ok_; }
  uint8_t U8() { return Take(1) ? b_[at_ - 1] : 0; }
  uint32_t U32() { return Take(4) ? Le32(b_, at_ - 4) : 0; }
  uint64_t U64() { return Take(8) ? Le64(b_, at_ - 8) : 0; }
  // A count of items of `itemBytes` each, refused when the rest of the input cannot hold them.
  uint32_t Count(size_t itemBytes) {
    const uint32_t n = U32();
    if (ok_ && n > (b_.size() - at_) / itemBytes) ok_ = false;
    return ok_ ? n : 0;
  }
  size_t at() const { return at_; }

 private:
  bool Take(size_t n) {
    if (!ok_ || n > b_.size() - at_) {
      ok_ = false;
      return false;
    }
    at_ += n;
    return true;
  }
  std::span<const uint8_t> b_;
  size_t at_ = 0;
  bool ok_ = true;
};

uint32_t Crc(std::span<const uint8_t> bytes) {
  return static_cast<uint32_t>(crc32(0, bytes.data(), static_cast<uInt>(bytes.size())));
}

}  // namespace

std::vector<uint8_t> EncodeScanCheckpoint(const ScanCheckpoint& c) {
  Writer w;
  for (char ch : kMagic) w.U8(static_cast<uint8_t>(ch));
  w.U32(kVersion);
  for (uint64_t v : {c.position.runStart, c.position.runLength, c.position.runDone, c.position.scannedSectors,
                     c.position.filesFound, c.carverRecords, c.metadataEntries, c.unreadableSectors}) {
    w.U64(v);
  }
  w.U8(static_cast<uint8_t>((c.streamStart ? 1 : 0) | (c.transportStreamInProgress ? 2 : 0)));
  w.List(c.transportStreamRanges, [&](const auto& r) {
    w.U64(r.first);
    w.U64(r.second);
  });
  const auto range = [&](const UnreadableRange& r) {
    w.U64(r.firstSector);
    w.U64(r.count);
  };
  w.List(c.skipped, range);
  w.List(c.unreadable, range);
  w.U32(Crc(w.bytes()));
  return w.Take();
}

std::optional<ScanCheckpoint> ParseScanCheckpoint(std::span<const uint8_t> bytes) {
  if (bytes.size() < 4 || !BytesEqual(bytes, 0, kMagic)) return std::nullopt;
  const std::span<const uint8_t> body = bytes.first(bytes.size() - 4);
  if (Crc(body) != Le32(bytes, bytes.size() - 4)) return std::nullopt;
  Reader r(body.subspan(kMagic.size()));
  if (r.U32() != kVersion) return std::nullopt;
  ScanCheckpoint c;
  for (uint64_t* v :
       {&c.position.runStart, &c.position.runLength, &c.position.runDone, &c.position.scannedSectors,
        &c.position.filesFound, &c.carverRecords, &c.metadataEntries, &c.unreadableSectors}) {
    *v = r.U64();
  }
  const uint8_t flags = r.U8();
  c.streamStart = (flags & 1) != 0;
  c.transportStreamInProgress = (flags & 2) != 0;
  for (uint32_t n = r.Count(16); n != 0; --n) {
    const uint64_t first = r.U64();
    c.transportStreamRanges.emplace_back(first, r.U64());
  }
  for (auto* list : {&c.skipped, &c.unreadable}) {
    for (uint32_t n = r.Count(16); n != 0; --n) {
      const uint64_t first = r.U64();
      list->push_back({first, r.U64()});
    }
  }
  if (!r.ok() || r.at() + kMagic.size() != body.size()) return std::nullopt;
  return c;
}

std::optional<ScanCheckpoint> LoadScanCheckpoint(const std::filesystem::path& folder) {
  os::File file;
  if (file.OpenRead(folder / kCheckpointFileName) != err::kSuccess) return std::nullopt;
  uint64_t size = 0;
  if (file.Size(size) != err::kSuccess || size > kMaxCheckpointBytes) return std::nullopt;
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  size_t got = 0;
  if (file.ReadFullAt(0, bytes, got) != err::kSuccess || got != bytes.size()) return std::nullopt;
  return ParseScanCheckpoint(bytes);
}

uint32_t MetadataLog::Open(const std::filesystem::path& path, uint64_t keep) {
  Close();
  if (uint32_t e = file_.OpenWrite(path, keep == 0); e != err::kSuccess) return e;
  uint64_t size = 0;
  if (uint32_t e = file_.Size(size); e != err::kSuccess) return e;
  entries_ = std::min(keep, size / kMetadataEntrySize);
  return file_.Truncate(entries_ * kMetadataEntrySize);
}

void MetadataLog::Close() {
  file_.Close();
  entries_ = 0;
  pending_.clear();
  error_ = 0;
}

void MetadataLog::Append(const MetadataEntry& e) {
  const size_t at = pending_.size();
  pending_.resize(at + kMetadataEntrySize);
  PutLe64(pending_, at, e.chunkStart);
  PutLe16(pending_, at + 8, e.chunkSectors);
  PutLe16(pending_, at + 10, e.validSectors);
  PutLe16(pending_, at + 12, e.index);
  ++entries_;
  if (pending_.size() >= kLogBufferBytes) WritePending();
}

uint32_t MetadataLog::WritePending() {
  if (pending_.empty() || !file_.IsOpen()) return error_;
  const uint64_t offset = (entries_ - pending_.size() / kMetadataEntrySize) * kMetadataEntrySize;
  if (uint32_t e = file_.WriteAllAt(offset, pending_); e != err::kSuccess && error_ == 0) error_ = e;
  pending_.clear();
  return error_;
}

uint32_t MetadataLog::Sync() {
  if (!file_.IsOpen()) return err::kInvalidParameter;
  if (uint32_t e = WritePending(); e != err::kSuccess) return e;
  return file_.Sync();
}

uint32_t MetadataLog::ForEach(const std::function<bool(const MetadataEntry&)>& visit) const {
  std::vector<uint8_t> block(kLogBufferBytes);
  const uint64_t onDisk = entries_ - pending_.size() / kMetadataEntrySize;
  for (uint64_t done = 0; done < onDisk;) {
    const auto n =
        static_cast<size_t>(std::min<uint64_t>(onDisk - done, kLogBufferBytes / kMetadataEntrySize));
    size_t got = 0;
    const std::span<uint8_t> into = std::span(block).first(n * kMetadataEntrySize);
    if (uint32_t e = file_.ReadFullAt(done * kMetadataEntrySize, into, got); e != err::kSuccess) return e;
    if (got != into.size()) return err::kHandleEof;
    for (size_t i = 0; i < n; ++i) {
      const std::span<const uint8_t> b = std::span<const uint8_t>(block).subspan(i * kMetadataEntrySize);
      const MetadataEntry entry{Le64(b, 0), Le16(b, 8), Le16(b, 10), Le16(b, 12)};
      if (!visit(entry)) return err::kSuccess;
    }
    done += n;
  }
  return err::kSuccess;
}

}  // namespace snapsave
