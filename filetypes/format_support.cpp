#include "filetypes/format_support.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

#include <zlib.h>

#include "storage/sector_reader.h"

namespace snapsave {

// Sector-sized scratch for the tests that read on; they run rarely (only after their signature matched), so a
// fresh buffer per call keeps them independent of whatever a length rule holds in the work buffer.
bool AllocateZeroed(std::vector<uint8_t>& v, size_t bytes) {
  try {
    v.assign(bytes, 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool UsableSectorSize(uint32_t sectorSize) {
  return sectorSize != 0 && sectorSize <= CarvingContext::kMaxSectorSize;
}

// The next `bytes` (rounded up to whole sectors) from the current sector, or as much of them as the medium
// holds; empty when nothing could be read.
std::vector<uint8_t> ReadAhead(const CarvingContext& ctx, size_t bytes) {
  std::vector<uint8_t> block;
  const uint32_t sectorSize = ctx.sectorSize();
  if (!UsableSectorSize(sectorSize) || ctx.source() == nullptr) return block;
  const uint64_t deviceBytes = uint64_t{ctx.source()->TotalSectors()} * ctx.source()->DeviceSectorSize();
  const uint64_t left =
      deviceBytes / sectorSize > ctx.currentSector() ? deviceBytes / sectorSize - ctx.currentSector() : 0;
  const auto count = static_cast<uint32_t>(std::min<uint64_t>((bytes + sectorSize - 1) / sectorSize, left));
  if (count == 0 || !AllocateZeroed(block, size_t{count} * sectorSize) ||
      !ctx.ReadSectors(block, ctx.currentSector(), count))
    block.clear();
  return block;
}

uint64_t MediumSectors(const CarvingContext& ctx) {
  const SectorReader* source = ctx.source();
  if (source == nullptr || ctx.sectorSize() == 0) return 0;
  const uint64_t device = source->DeviceSectorSize();
  const uint64_t total = source->TotalSectors();
  if (device != 0 && total > UINT64_MAX / device) return UINT64_MAX / ctx.sectorSize();
  return total * device / ctx.sectorSize();
}

uint64_t MediumBytesFromStart(const CarvingContext& ctx) {
  const uint64_t sectors = MediumSectors(ctx);
  const uint64_t left = sectors > ctx.startSector() ? sectors - ctx.startSector() : 1;
  const uint64_t ss = ctx.sectorSize();
  return left > UINT64_MAX / ss ? UINT64_MAX : left * ss;
}

FileBytes::FileBytes(CarvingContext& ctx, ByteSpan header)
    : ctx_(ctx), header_(header), medium_(MediumBytesFromStart(ctx)) {}

FileBytes::FileBytes(CarvingContext& ctx, ByteSpan header, SplitAt split)
    : ctx_(ctx), header_(header), split_(split) {
  const uint64_t ss = ctx.sectorSize();
  const uint64_t sectors = MediumSectors(ctx);
  // The head must hold the header sector, lie on the medium and end before the tail begins.
  if (ss == 0 || split.headSectors == 0 || ctx.startSector() >= sectors ||
      split.headSectors > sectors - ctx.startSector() ||
      split.tailSector < ctx.startSector() + split.headSectors || split.tailSector >= sectors) {
    split_ = {};
    medium_ = std::min<uint64_t>(header.size(), ss);
    return;
  }
  const uint64_t total = split.headSectors + (sectors - split.tailSector);
  medium_ = total > UINT64_MAX / ss ? UINT64_MAX : total * ss;
}

uint64_t FileBytes::Physical(uint64_t sector, uint64_t& run) const {
  const uint64_t ss = ctx_.sectorSize();
  const uint64_t sectors = medium_ / ss;
  run = sector < sectors ? sectors - sector : 0;
  if (split_.headSectors == 0) return ctx_.startSector() + sector;
  if (sector < split_.headSectors) {
    run = split_.headSectors - sector;
    return ctx_.startSector() + sector;
  }
  return split_.tailSector + (sector - split_.headSectors);
}

bool FileBytes::WindowHolds(uint64_t offset) const {
  return windowSize_ != 0 && ctx_.workBufferHandouts() == handout_ && offset >= windowStart_ &&
         offset < windowStart_ + windowSize_;
}

bool FileBytes::Read(uint64_t offset, std::span<uint8_t> out) {
  if (offset > UINT64_MAX - out.size() || offset + out.size() > medium_) return false;
  if (offset + out.size() <= header_.size()) {
    std::memcpy(out.data(), header_.data() + offset, out.size());
    return true;
  }
  const uint32_t ss = ctx_.sectorSize();
  if (ss == 0 || ctx_.workBufferSize() < ss || out.size() > ctx_.workBufferSize() - ss) return false;
  // One window, or the next ones where the bytes run past it or past the seam of a split file.
  while (!out.empty()) {
    if (!WindowHolds(offset)) {
      const uint64_t sector = offset / ss;
      uint64_t run = 0;
      const uint64_t physical = Physical(sector, run);
      windowSize_ = 0;
      window_ = ctx_.workBuffer();
      handout_ = ctx_.workBufferHandouts();
      const auto count = static_cast<uint32_t>(std::min<uint64_t>(window_.size() / ss, run));
      if (count == 0 || !ctx_.ReadSectors(window_, physical, count)) return false;
      windowStart_ = sector * ss;
      windowSize_ = size_t{count} * ss;
    }
    const auto n = static_cast<size_t>(std::min<uint64_t>(out.size(), windowStart_ + windowSize_ - offset));
    std::memcpy(out.data(), window_.data() + (offset - windowStart_), n);
    offset += n;
    out = out.subspan(n);
  }
  return true;
}

ByteSpan FileBytes::View(uint64_t offset) {
  if (offset >= medium_) return {};
  if (offset + 1 < header_.size()) return header_.subspan(static_cast<size_t>(offset));
  // Two bytes where the medium has them, so that a scan always sees a marker whole.
  const size_t want = offset + 2 <= medium_ ? 2 : 1;
  if (offset + want <= header_.size()) return header_.subspan(static_cast<size_t>(offset));
  // The last byte of a split file's head: it and the tail's first byte, from a buffer of their own.
  const uint64_t seam = split_.headSectors * ctx_.sectorSize();
  if (want == 2 && seam != 0 && offset + 1 == seam) {
    if (!Read(offset, seam_)) return {};
    return ByteSpan(seam_);
  }
  // A window that ends within a byte of `offset` is read again from there.
  if (WindowHolds(offset) && offset + want > windowStart_ + windowSize_) windowSize_ = 0;
  std::array<uint8_t, 2> probe{};
  if (!Read(offset, std::span(probe).first(want))) return {};
  return ByteSpan(window_.data() + (offset - windowStart_), windowSize_ - (offset - windowStart_));
}

uint64_t InflatedEnd(FileBytes& file, uint64_t at, uint64_t limit, int windowBits, uint64_t maxOutput,
                     const std::function<void(ByteSpan)>& output) {
  z_stream z{};
  if (inflateInit2(&z, windowBits) != Z_OK) return 0;
  std::array<uint8_t, 16384> sink{};
  uint64_t produced = 0;
  int result = Z_OK;
  while (result == Z_OK && at < limit) {
    const ByteSpan view = file.View(at);
    if (view.empty()) break;
    const auto chunk = static_cast<uInt>(std::min<uint64_t>({view.size(), 1u << 16, limit - at}));
    z.next_in = const_cast<Bytef*>(view.data());  // zlib's API is not const; it only reads the input
    z.avail_in = chunk;
    while (z.avail_in != 0 && result == Z_OK) {
      z.next_out = sink.data();
      z.avail_out = static_cast<uInt>(sink.size());
      result = inflate(&z, Z_NO_FLUSH);
      produced += sink.size() - z.avail_out;
      if (produced > maxOutput) result = Z_DATA_ERROR;
      if (output) output(ByteSpan(sink).first(sink.size() - z.avail_out));
    }
    at += chunk - z.avail_in;
  }
  inflateEnd(&z);
  return result == Z_STREAM_END ? at : 0;
}

// Runs `count` bytes from `offset` through zlib's CRC-32 on top of `crc`; false where the medium ends first.
size_t ReadUpTo(FileBytes& file, uint64_t at, std::span<uint8_t> out) {
  if (at >= file.MediumBytes()) return 0;
  const auto n = static_cast<size_t>(std::min<uint64_t>(out.size(), file.MediumBytes() - at));
  return file.Read(at, out.first(n)) ? n : 0;
}

bool Crc32Of(FileBytes& file, uint64_t offset, uint64_t count, unsigned long& crc) {
  for (uint64_t left = count; left > 0;) {
    const ByteSpan view = file.View(offset);
    if (view.empty()) return false;
    const auto n = static_cast<uInt>(std::min<uint64_t>({view.size(), left, 1u << 20}));
    crc = crc32(crc, view.data(), n);
    offset += n;
    left -= n;
  }
  return true;
}

// Offset of the first `marker` in `data` at or after `from`, or npos.
size_t Find(ByteSpan data, std::string_view marker, size_t from) {
  if (marker.empty() || from > data.size()) return std::string_view::npos;
  const std::string_view hay(reinterpret_cast<const char*>(data.data()), data.size());
  return hay.find(marker, from);
}

// pos * 100 / total without overflow; 0 for a total of 0.
uint64_t Percent(uint64_t pos, uint64_t total) {
  if (total == 0) return 0;
  return pos / total * 100 + pos % total * 100 / total;
}

// Offset just behind the first acceptable `marker` in `data` at or after `from`; when `every` is false only
// the first occurrence is examined. npos when none is accepted.
size_t AcceptedMarkerEnd(ByteSpan data, std::string_view marker, uint32_t ss, bool every) {
  for (size_t at = Find(data, marker); at != std::string_view::npos; at = Find(data, marker, at + 1)) {
    if (AcceptEndMarker(data, at + marker.size(), ss)) return at + marker.size();
    if (!every) break;
  }
  return std::string_view::npos;
}

// The length a structure walk gives, or 0 when it cannot measure the file (the caller's rule then does).
uint64_t Walked(CarvingContext& ctx, ByteSpan header, uint64_t (*walk)(FileBytes&, uint64_t),
                uint64_t limit) {
  FileBytes file(ctx, header);
  return walk(file, limit);
}

// ---- Plain sector walk (psd, tif, tiff, flv, 3gp, mts, mxf, mov, mp2, mmf, fla, mkv)
// ----------------------- Nothing marks these files' ends in a way a sector test can see: the file runs until
// a sector starts something else, or to the limit (then limit + one sector).
uint64_t PlainWalk(CarvingContext& ctx, uint64_t limit) {
  Walk w(ctx, limit);
  while (w.Read()) {
    if (w.Stop()) break;
  }
  return w.length();
}

// ---- JPEG: FF D9 (end of image)
// ------------------------------------------------------------------------------ Only the first FF D9 of a
// buffer is looked at: the first one of a chunk may be an embedded thumbnail's, and then the chunk gives no
// candidate. A later chunk's candidate replaces an earlier one. A marker at or after the sector that stopped
// the file belongs to the next file and is no candidate.
//
// A file put back together from two pieces: the outcome says where the second lies.
uint64_t Joined(CarvingContext& ctx, const Stitched& joined) {
  ctx.outcome().headSectors = joined.split.headSectors;
  ctx.outcome().tailSector = joined.split.tailSector;
  ctx.outcome().intact = joined.whole;
  return joined.length;
}

bool IsFileSystemSector(const CarvingContext& ctx, ByteSpan sector) {
  return ctx.IsMetadataSector(sector);
}

bool StartsOtherFile(CarvingContext& ctx, uint64_t sector, ByteSpan bytes) {
  ctx.SetCurrentSector(sector);
  return DetectType(ctx, bytes) != kNoType || IsFileSystemSector(ctx, bytes);
}

bool AcceptEndMarker(ByteSpan chunk, size_t end, uint32_t sectorSize) {
  if (sectorSize == 0 || end > chunk.size()) return false;
  if (end % sectorSize == 0) return true;
  const size_t sectorEnd = std::min(chunk.size(), (end / sectorSize + 1) * size_t{sectorSize});
  return std::all_of(chunk.begin() + static_cast<ptrdiff_t>(end),
                     chunk.begin() + static_cast<ptrdiff_t>(sectorEnd), [](uint8_t b) { return b == 0; });
}

uint64_t MeasureLength(CarvingContext& ctx, const CarvingTypeRow& row, ByteSpan header) {
  const uint32_t ss = ctx.sectorSize();
  ctx.outcome() = CarvingContext::Outcome{};
  if (ss == 0 || ctx.workBuffer().size() < ss) return ss;
  const uint64_t length = row.measure != nullptr ? row.measure(ctx, row.typeCode, header) : 0;
  // A joined file's second piece lies beyond the start sector's run; its length is checked where it was
  // joined.
  if (ctx.outcome().headSectors != 0) return length;
  return std::min(length, MediumBytesFromStart(ctx));
}

}  // namespace snapsave
