// What every format family's header tests and measures share: reads ahead of a header sector, the
// candidate file's bytes by offset, the sector walk with its stop test, and the outcome of a measure.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "filetypes/carving_context.h"
#include "filetypes/file_type_catalogue.h"
#include "os/byte_reader.h"

namespace snapsave {

namespace length_limit {
inline constexpr uint64_t k8MiB = uint64_t{8} << 20;
inline constexpr uint64_t k128MiB = uint64_t{128} << 20;
inline constexpr uint64_t k256MiB = uint64_t{256} << 20;
inline constexpr uint64_t k2GiB = uint64_t{2} << 30;
inline constexpr uint64_t k6GiB = uint64_t{6} << 30;
inline constexpr uint64_t k64GiB = uint64_t{64} << 30;
}  // namespace length_limit

namespace stitch_limit {
// The most sectors of other data between the two pieces that the search looks across.
inline constexpr uint64_t kMaxGapBytes = uint64_t{32} << 20;
// Sectors before the one where the structure broke that may still be the first of the gap: the data of a
// gap can pass for the file's own for a little while.
inline constexpr uint64_t kSplitsBack = 8;
// Runs of plausible continuation data tried, and places within each run where the second piece may start.
inline constexpr size_t kMaxRuns = 12;
inline constexpr uint64_t kStartsPerRun = 4;
// Joined pictures decoded for one file, and the bytes one file's search may run through walks, checksums and
// decodes.
inline constexpr uint64_t kDecodesPerFile = 160;
inline constexpr uint64_t kWorkBytesPerFile = uint64_t{1} << 30;
// Movie boxes read for one file.
inline constexpr uint64_t kMoviesPerFile = 8;
// A jump in a picture's grey image from one row to the next counts as the place where other data took over
// when it is three times the usual change plus this, and lasts.
inline constexpr uint32_t kSeamMargin = 8;
// Rows before the one where the seam shows whose data may hold the split (the other data can pass for the
// picture's own for a row or two).
inline constexpr size_t kSeamRowsBack = 4;
// Sectors before the end of the seam's rows that may hold the split.
inline constexpr uint64_t kSeamSectors = 128;
}  // namespace stitch_limit

// Walks never take more steps than this: a limit far above any real file's count of units, so that a crafted
// chain of tiny units cannot keep a carve going for long.
inline constexpr uint64_t kMaxUnits = uint64_t{1} << 22;
inline constexpr size_t npos = std::string_view::npos;

// ---- Header tests that read on
// Sector-sized scratch for the tests that read on; false when the memory is not there.
bool AllocateZeroed(std::vector<uint8_t>& v, size_t bytes);
bool UsableSectorSize(uint32_t sectorSize);
// The next `bytes` (rounded up to whole sectors) from the current sector, or as much of them as the medium
// holds; empty when nothing could be read.
std::vector<uint8_t> ReadAhead(const CarvingContext& ctx, size_t bytes);

// ---- The candidate file's bytes
// Sectors of the context's size that the medium holds, or 0 without a source.
uint64_t MediumSectors(const CarvingContext& ctx);
// Bytes the medium holds from the candidate's start sector on (at least the header sector).
uint64_t MediumBytesFromStart(const CarvingContext& ctx);

// A file in two pieces: its first `headSectors` sectors from its start sector on, the rest from the absolute
// sector `tailSector` on.
struct SplitAt {
  uint64_t headSectors = 0;
  uint64_t tailSector = 0;
};

// The candidate file's bytes by offset from the start of its header sector: the header sector itself, then
// 64 KiB windows of the context's work buffer read as the walk moves on. Several may be in use at once: a
// window another user of the work buffer overwrote is read again. With a split, the offsets past the
// head run on in the tail; no window spans the seam.
class FileBytes {
 public:
  FileBytes(CarvingContext& ctx, ByteSpan header);
  FileBytes(CarvingContext& ctx, ByteSpan header, SplitAt split);
  // Fills `out` from `offset`; false where the medium ends, a read fails, or `out` is larger than a window.
  bool Read(uint64_t offset, std::span<uint8_t> out);
  // The bytes from `offset` to the end of the window that holds it (the header sector's rest when it lies
  // there); empty where the medium ends or a read fails. For scans that look at every byte.
  ByteSpan View(uint64_t offset);
  uint64_t MediumBytes() const { return medium_; }
  CarvingContext& context() { return ctx_; }

 private:
  // The absolute sector that holds file sector `sector`, and how many sectors follow it there unbroken.
  uint64_t Physical(uint64_t sector, uint64_t& run) const;
  // Whether the window read last still holds `offset`: no one took the work buffer since.
  bool WindowHolds(uint64_t offset) const;

  CarvingContext& ctx_;
  ByteSpan header_;
  SplitAt split_;
  uint64_t medium_ = 0;
  std::span<uint8_t> window_;
  uint64_t handout_ = 0;
  uint64_t windowStart_ = 0;
  size_t windowSize_ = 0;
  std::array<uint8_t, 2> seam_{};
};

// A candidate file's bytes one at a time from `at` on, through FileBytes' windows: for parsers that step
// through small fields. Nothing else may use the work buffer while it runs.
class ByteStream {
 public:
  ByteStream(FileBytes& file, uint64_t at) : file_(file), at_(at) {}
  // The next byte; false where the medium ends or a read fails.
  bool Next(uint8_t& b) {
    if (pos_ >= view_.size()) {
      view_ = file_.View(at_);
      pos_ = 0;
      if (view_.empty()) return false;
    }
    b = view_[pos_++];
    ++at_;
    return true;
  }
  void Skip(uint64_t n) {
    at_ += n;
    if (n < view_.size() - pos_) {
      pos_ += static_cast<size_t>(n);
    } else {
      view_ = {};
      pos_ = 0;
    }
  }
  uint64_t at() const { return at_; }

 private:
  FileBytes& file_;
  uint64_t at_;
  ByteSpan view_;
  size_t pos_ = 0;
};

// Where a zlib (`windowBits` 8..15), gzip (16 + that) or raw deflate (negative) stream starting at `at`
// ends, inflated up to the limit (for gzip the trailer's check and size included); 0 where it breaks off or
// gives more than `maxOutput` bytes. `output`, where given, sees the inflated bytes.
uint64_t InflatedEnd(FileBytes& file, uint64_t at, uint64_t limit, int windowBits, uint64_t maxOutput,
                     const std::function<void(ByteSpan)>& output = {});

// Up to `out.size()` bytes from `at`, as many as the medium holds; how many were read (0 on a failed read).
size_t ReadUpTo(FileBytes& file, uint64_t at, std::span<uint8_t> out);
// CRC-32 (zlib's) of `count` bytes from `offset`, folded into `crc`; false where the medium ends first.
bool Crc32Of(FileBytes& file, uint64_t offset, uint64_t count, unsigned long& crc);

// Feeds `count` bytes from `offset` to `feed` window by window; false where the medium ends first.
template <typename Feed>
bool FeedBytes(FileBytes& file, uint64_t offset, uint64_t count, Feed feed) {
  while (count > 0) {
    const ByteSpan view = file.View(offset);
    if (view.empty()) return false;
    const auto n = static_cast<size_t>(std::min<uint64_t>(view.size(), count));
    feed(view.first(n));
    offset += n;
    count -= n;
  }
  return true;
}

// ---- Stops and markers
// Whether the whole sector `sector` (absolute) starts another file or is file-system metadata: the end of a
// file cut short.
using SectorStop = bool (*)(CarvingContext& ctx, uint64_t sector, ByteSpan bytes);

// A sector of file-system metadata (as the context's test knows it): it ends any file being measured.
bool IsFileSystemSector(const CarvingContext& ctx, ByteSpan sector);
// Whether the sector `sector` (absolute) starts another file or is file-system metadata.
bool StartsOtherFile(CarvingContext& ctx, uint64_t sector, ByteSpan bytes);
// Whether a marker ending at chunk offset `end` ends a file: at a sector boundary, or followed by nothing but
// zeros to the end of its sector (as systems pad a file's last sector).
bool AcceptEndMarker(ByteSpan chunk, size_t end, uint32_t sectorSize);
// Offset of the first `marker` in `data` at or after `from`, or npos.
size_t Find(ByteSpan data, std::string_view marker, size_t from = 0);
// Offset just behind the first acceptable `marker` in `data`; when `every` is false only the first occurrence
// is examined. npos when none is accepted.
size_t AcceptedMarkerEnd(ByteSpan data, std::string_view marker, uint32_t ss, bool every);
// pos * 100 / total without overflow; 0 for a total of 0.
uint64_t Percent(uint64_t pos, uint64_t total);

// ---- The sector walk
// The sector walk every walking rule shares: chunks of the work buffer read on from the sector after the
// header, the progress report per chunk, and the stop test.
//   L (length): bytes of the file so far; starts at the header sector.
//   B (base): bytes of the file before the chunk in the buffer; a marker at chunk offset p ends at B + p.
class Walk {
 public:
  Walk(CarvingContext& ctx, uint64_t limit, bool mpegStops = false)
      : ctx_(ctx), ss_(ctx_.sectorSize()), mpegStops_(mpegStops) {
    budget_ = ss_ == 0 ? 0 : limit / ss_;
    const uint64_t medium = MediumSectors(ctx_);
    mediumLeft_ = ctx_.startSector() < medium ? medium - ctx_.startSector() - 1 : 0;
    length_ = ss_;
    base_ = ss_;
  }

  // Takes the previous chunk into the file, reads the next one and reports progress. False when the budget or
  // the medium is used up, a read fails, or the callback answered non-zero; L then stays as it is.
  bool Read() {
    if (!chunk_.empty() && !stopped_) Take();
    chunk_ = {};
    const std::span<uint8_t> buffer = ctx_.workBuffer();
    if (ss_ == 0 || buffer.size() < ss_) return false;
    const uint64_t left = mediumLeft_ > consumed_ ? mediumLeft_ - consumed_ : 0;
    const uint64_t count = std::min<uint64_t>({buffer.size() / ss_, budget_, left});
    if (count == 0) return false;
    if (!ctx_.ReadSectors(buffer, ctx_.startSector() + 1 + consumed_, static_cast<uint32_t>(count)))
      return false;
    chunk_ = ByteSpan(buffer.data(), static_cast<size_t>(count * ss_));
    stopAt_ = chunk_.size();
    return Report(count);
  }

  // The stop test: the first sector of the chunk that starts another file or is file-system metadata ends
  // the file just before it. True when one did; L then includes the sectors before it.
  bool Stop() {
    for (size_t off = 0; off < chunk_.size(); off += ss_) {
      ctx_.SetCurrentSector(ctx_.currentSector() + 1);
      const ByteSpan sector = chunk_.subspan(off, ss_);
      const uint32_t type = DetectType(ctx_, sector);
      if ((type != kNoType && !(mpegStops_ && type == typecode::kMpeg)) || IsFileSystemSector(ctx_, sector)) {
        stopped_ = true;
        stopAt_ = off;
        length_ = base_ + off;
        return true;
      }
    }
    return false;
  }

  // The bytes read in this chunk, also after a stop.
  ByteSpan chunk() const { return chunk_; }
  // The bytes of this chunk before the sector that stopped the file (all of them without a stop).
  ByteSpan beforeStop() const { return chunk_.first(stopAt_); }
  uint64_t base() const { return base_; }
  uint64_t length() const { return length_; }

 private:
  void Take() {
    const uint64_t sectors = chunk_.size() / ss_;
    length_ += chunk_.size();
    base_ += chunk_.size();
    budget_ -= sectors;
    consumed_ += sectors;
  }

  bool Report(uint64_t sectors) {
    CarvingContext::Progress& p = ctx_.progress();
    p.scanPosition += sectors;
    if (p.callback == nullptr) return true;
    const auto progress =
        static_cast<int32_t>(std::min<uint64_t>(Percent(p.scanPosition, p.scanTotal) + 10, INT32_MAX));
    p.callbackResult = p.callback(p.callbackContext, progress, p.weight, p.secondsLeft, p.scanPosition,
                                  p.scanTotal, p.foundCount, 0);
    return p.callbackResult == 0;
  }

  CarvingContext& ctx_;
  uint32_t ss_;
  bool mpegStops_;
  uint64_t budget_ = 0;
  uint64_t mediumLeft_ = 0;
  uint64_t consumed_ = 0;
  uint64_t length_ = 0;
  uint64_t base_ = 0;
  ByteSpan chunk_;
  size_t stopAt_ = 0;
  bool stopped_ = false;
};

// The length a structure walk gives, or 0 when it cannot measure the file (the caller's rule then does).
uint64_t Walked(CarvingContext& ctx, ByteSpan header, uint64_t (*walk)(FileBytes&, uint64_t), uint64_t limit);
// Nothing marks such a file's end in a way a sector test can see: it runs until a sector starts something
// else, or to the limit (then limit + one sector).
uint64_t PlainWalk(CarvingContext& ctx, uint64_t limit);

// ---- Outcomes
struct Stitched {
  SplitAt split;
  uint64_t length = 0;  // bytes of the joined file
  bool whole = true;    // the join validated to its end; else it is the likeliest of several
};
// A file put back together from two pieces: the outcome says where the second lies.
uint64_t Joined(CarvingContext& ctx, const Stitched& joined);

// The length of the file of the row's type whose header sector is `header`, by the row's measure. Never
// more than the medium holds from the start sector on (a joined file's second piece aside). Needs the
// context's work buffer; without it the file is one sector long. A progress callback's non-zero answer is
// left in the context's callback result and ends the measure at once.
uint64_t MeasureLength(CarvingContext& ctx, const CarvingTypeRow& row, ByteSpan header);

}  // namespace snapsave
