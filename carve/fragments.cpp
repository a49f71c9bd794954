#include "carve/fragments.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "carve/jpeg_check.h"
#include "carve/length_rules.h"
#include "filetypes/file_type_catalogue.h"

namespace snapsave {

using namespace stitch_limit;

namespace {

constexpr uint64_t kMaxJpegBytes = uint64_t{128} << 20;
// Bytes one file's search may run through checksums.
constexpr uint64_t kMaxCheckedBytes = uint64_t{512} << 20;

// A stretch of sectors that may be the coded data of a second piece: none of them stops coded data, no
// marker in them but restart markers and stuffed bytes, and an end marker in the last.
struct Run {
  uint64_t first = 0;  // absolute sectors
  uint64_t last = 0;
  uint64_t endInLast = 0;  // bytes of the last sector up to and including its end marker
};

// Reads the sectors after the break and gathers the runs that end in an end marker. The search stops when it
// is past the gap bound with no run begun inside it, at the medium's end, or when the budget is spent.
class RunFinder {
 public:
  // `progressive`: the picture's scans follow one another, so the tables and scan headers between them do
  // not end a run.
  RunFinder(CarvingContext& ctx, uint64_t from, uint64_t gapSectors, bool progressive)
      : ctx_(ctx),
        ss_(ctx.sectorSize()),
        from_(from),
        bound_(from + gapSectors),
        runStart_(from),
        progressive_(progressive) {}

  std::vector<Run> Find() {
    std::vector<uint8_t> buffer(CarvingContext::kWorkBufferBytes);
    const uint64_t medium = MediumSectors(ctx_);
    const uint64_t perRead = buffer.size() / ss_;
    uint64_t at = from_;
    while (at < medium && runs_.size() < kMaxRuns) {
      // Past the bound, only a run that began inside it is followed, and no further than a picture's limit.
      if (at > bound_ && runStart_ > bound_) break;
      if (runStart_ <= bound_ && (at - runStart_) * ss_ > kMaxJpegBytes) break;
      CarvingContext::StitchBudget& budget = ctx_.stitchBudget();
      const uint64_t count = std::min({perRead, medium - at, budget.sectors});
      if (count == 0 || !ctx_.ReadSectors(buffer, at, static_cast<uint32_t>(count))) break;
      budget.sectors -= count;
      for (uint64_t i = 0; i < count && runs_.size() < kMaxRuns; ++i) {
        Sector(at + i, ByteSpan(buffer.data() + i * ss_, ss_));
      }
      at += count;
    }
    return std::move(runs_);
  }

 private:
  void Break(uint64_t sector) {
    runStart_ = sector + 1;
    pendingFF_ = false;
  }

  void Sector(uint64_t sector, ByteSpan bytes) {
    if (ctx_.Claimed(sector) || StopsJpegData(ctx_, sector, bytes)) {
      Break(sector);
      return;
    }
    size_t i = 0;
    if (pendingFF_) {  // a 0xFF closed the sector before
      pendingFF_ = false;
      if (!Pair(sector, bytes[0], 1)) return;
      i = 1;
    }
    while (i < bytes.size()) {
      const auto* ff = static_cast<const uint8_t*>(std::memchr(bytes.data() + i, 0xFF, bytes.size() - i));
      if (ff == nullptr) return;
      i = static_cast<size_t>(ff - bytes.data());
      if (i + 1 == bytes.size()) {
        pendingFF_ = true;
        return;
      }
      if (!Pair(sector, bytes[i + 1], i + 2)) return;
      ++i;
    }
  }

  // A 0xFF followed by `next`, ending `end` bytes into `sector`; false when it ended the run.
  bool Pair(uint64_t sector, uint8_t next, size_t end) {
    if (next == 0x00 || next == 0xFF || (next >= 0xD0 && next <= 0xD7)) return true;
    if (progressive_ && (next == 0xC4 || next == 0xDA || next == 0xDD)) return true;
    if (next == 0xD9 && runStart_ <= sector) runs_.push_back({runStart_, sector, end});
    Break(sector);
    return false;
  }

  CarvingContext& ctx_;
  uint64_t ss_;
  uint64_t from_;
  uint64_t bound_;
  uint64_t runStart_;
  bool progressive_;
  bool pendingFF_ = false;
  std::vector<Run> runs_;
};

}  // namespace

bool ForeignToCodedData(ByteSpan sector) {
  return std::none_of(sector.begin(), sector.end(), [](uint8_t b) { return (b & 0x80) != 0; });
}

bool StopsJpegData(CarvingContext& ctx, uint64_t sector, ByteSpan bytes) {
  if (ForeignToCodedData(bytes) || IsFileSystemSector(bytes)) return true;
  ctx.SetCurrentSector(sector);
  return DetectType(ctx, bytes) != kNoType;
}

namespace {

// Mean difference of each row of the grey image from the one above it (0 for the first); empty when the
// rows are not there.
std::vector<uint32_t> RowChanges(const JpegRows& rows) {
  const size_t width = rows.width;
  const size_t count = rows.ends.size();
  if (width == 0 || rows.pixels.size() < count * width) return {};
  std::vector<uint32_t> change(count, 0);
  for (size_t r = 1; r < count; ++r) {
    uint64_t sum = 0;
    for (size_t x = 0; x < width; ++x) {
      const int a = rows.pixels[r * width + x];
      const int b = rows.pixels[(r - 1) * width + x];
      sum += static_cast<uint64_t>(a > b ? a - b : b - a);
    }
    change[r] = static_cast<uint32_t>(sum / width);
  }
  return change;
}

// What a change must pass to be a seam, after the rows `changes[1..]` before it.
uint32_t SeamLimit(std::vector<uint32_t> before) {
  std::nth_element(before.begin(), before.begin() + static_cast<ptrdiff_t>(before.size() / 2), before.end());
  return 3 * before[before.size() / 2] + kSeamMargin;
}

// How much a joined picture's grey image jumps at the rows decoded across its seam (file offset `seam`),
// over what a seam must pass there: at most 0 for a join that shows none. Nothing when too few rows lie
// before it to tell.
std::optional<int64_t> SeamJump(const JpegRows& rows, uint64_t seam) {
  const std::vector<uint32_t> change = RowChanges(rows);
  size_t r = 0;
  while (r < rows.ends.size() && rows.ends[r] < seam) ++r;
  if (change.empty() || r < 3 || r >= change.size()) return std::nullopt;
  const uint32_t limit =
      SeamLimit(std::vector<uint32_t>(change.begin() + 1, change.begin() + static_cast<ptrdiff_t>(r)));
  uint32_t jump = 0;
  for (size_t i = r; i < change.size() && i < r + 3; ++i) jump = std::max(jump, change[i]);
  return int64_t{jump} - int64_t{limit};
}

}  // namespace

std::optional<SeamRows> FindSeam(const JpegRows& rows) {
  const std::vector<uint32_t> change = RowChanges(rows);
  const size_t count = change.size();
  for (size_t r = 3; r + 3 < count; ++r) {
    const uint32_t limit =
        SeamLimit(std::vector<uint32_t>(change.begin() + 1, change.begin() + static_cast<ptrdiff_t>(r)));
    // A jump that lasts: an edge in the picture is one row, another picture's data goes on.
    if (change[r] > limit && std::max({change[r + 1], change[r + 2], change[r + 3]}) > limit)
      return SeamRows{rows.ends[r >= kSeamRowsBack ? r - kSeamRowsBack : 0], rows.ends[r]};
  }
  return std::nullopt;
}

namespace {

// Decodes the join `split` of `length` bytes; whole, how much its grey image jumps at the seam (0 when that
// cannot be told), else nothing.
std::optional<int64_t> JoinedJump(CarvingContext& ctx, ByteSpan header, SplitAt split, uint64_t length,
                                  uint64_t& decodes) {
  CarvingContext::StitchBudget& budget = ctx.stitchBudget();
  if (decodes == kDecodesPerFile || budget.decodes == 0) return std::nullopt;
  FileBytes joined(ctx, header, split);
  // The structure first (cheap), then the decode.
  if (JpegSegmentsLength(joined, kMaxJpegBytes, StopsJpegData) != length) return std::nullopt;
  ++decodes;
  --budget.decodes;
  JpegRows rows;
  if (CheckJpeg(joined, length, uint64_t{24} << 20, &rows).verdict != JpegCheck::Verdict::kWhole)
    return std::nullopt;
  return SeamJump(rows, split.headSectors * ctx.sectorSize()).value_or(0);
}

}  // namespace

std::optional<Stitched> StitchJpeg(CarvingContext& ctx, ByteSpan header, uint64_t brokenAt,
                                   const JpegRows& rows) {
  const uint64_t ss = ctx.sectorSize();
  const uint64_t start = ctx.startSector();
  const uint64_t medium = MediumSectors(ctx);
  if (ss == 0 || brokenAt < ss || start >= medium) return std::nullopt;
  // The sector that holds the break is the last the first piece can end before.
  const uint64_t brokenSector = brokenAt / ss;
  if (brokenSector >= medium - start) return std::nullopt;
  // Where the first piece may end: just before the break, or, where the picture went on with other data
  // for a while, within the rows where its grey image changes abruptly.
  // The sector after the break's too: the break may show a byte or two before the cut, where a marker or a
  // stuffed byte was cut in two.
  std::vector<uint64_t> heads;
  for (uint64_t head = brokenSector; head >= 1 && head + kSplitsBack >= brokenSector; --head)
    heads.push_back(head);
  if (!heads.empty() && brokenSector + 1 < medium - start) heads.insert(heads.begin() + 1, brokenSector + 1);
  if (const std::optional<SeamRows> seam = FindSeam(rows)) {
    const uint64_t last = std::min(brokenSector, seam->last / ss + 1);
    const uint64_t first = std::max<uint64_t>(1, seam->first / ss);
    for (uint64_t head = last; head >= first && head + kSeamSectors >= last; --head) {
      if (std::find(heads.begin(), heads.end(), head) == heads.end()) heads.push_back(head);
    }
  }
  // A progressive frame header (SOF2) before the first scan.
  bool progressive = false;
  for (size_t i = 0; i + 1 < header.size() && !(header[i] == 0xFF && header[i + 1] == 0xDA); ++i)
    progressive = progressive || (header[i] == 0xFF && header[i + 1] == 0xC2);
  const uint64_t from = start + *std::min_element(heads.begin(), heads.end()) + 1;
  std::vector<Run> runs = RunFinder(ctx, from, kMaxGapBytes / ss, progressive).Find();
  // The nearest gap first, but runs of one sector last: an end marker turns up by chance in other data every
  // 64 KiB or so, seldom after a whole sector that could be coded data.
  std::stable_partition(runs.begin(), runs.end(), [](const Run& r) { return r.last > r.first; });
  uint64_t decodes = 0;
  for (const Run& run : runs) {
    // The last sectors of the gap may pass for coded data: the second piece may start a little into the run.
    for (uint64_t tail = run.first; tail <= run.last && tail < run.first + kStartsPerRun; ++tail) {
      const uint64_t tailBytes = (run.last - tail) * ss + run.endInLast;
      for (const uint64_t head : heads) {
        const uint64_t length = head * ss + tailBytes;
        if (length > kMaxJpegBytes || start + head >= tail) continue;
        const std::optional<int64_t> jump = JoinedJump(ctx, header, {head, tail}, length, decodes);
        if (!jump) continue;
        // Where the other data is another picture's coded with the same tables, a join a sector or two off
        // (one piece longer, the other shorter by as much) can decode whole too; of those the one whose seam
        // does not show is the picture.
        SplitAt best{head, tail};
        int64_t bestJump = *jump;
        for (const int64_t d : {-2, -1, 1, 2}) {
          const uint64_t h = head + static_cast<uint64_t>(d);
          const uint64_t t = tail + static_cast<uint64_t>(d);
          if (h < 1 || h > head + 2 || t > run.last || start + h >= t) continue;
          if (const std::optional<int64_t> other = JoinedJump(ctx, header, {h, t}, length, decodes);
              other && *other < bestJump) {
            best = {h, t};
            bestJump = *other;
          }
        }
        if (bestJump <= 0) return Stitched{best, length};
      }
    }
  }
  return std::nullopt;
}

namespace {

uint64_t PngWhole(FileBytes& file) {
  return PngLength(file, kMaxJpegBytes);
}
uint64_t OggWhole(FileBytes& file) {
  return OggLength(file, uint64_t{2} << 30);
}
uint64_t ZipWhole(FileBytes& file) {
  return ZipLength(file, uint64_t{6} << 30);
}

// The split sectors a unit can break at, and where the unit after it starts (file offsets).
struct SplitRange {
  uint64_t firstHead = 0;
  uint64_t lastHead = 0;
  uint64_t nextUnit = 0;
};

}  // namespace

const FramedFormat kPngFraming = {8, PngChunkHeader, PngChunkBytes, PngChunkChecks, PngWhole};
const FramedFormat kOggFraming = {27, OggPageHeader, OggPageBytes, OggPageChecks, OggWhole};
const FramedFormat kZipFraming = {4, ZipUnitHeader, ZipMemberBytes, ZipMemberChecks, ZipWhole};

std::optional<Stitched> StitchFramed(CarvingContext& ctx, ByteSpan header, uint64_t brokenUnit,
                                     const FramedFormat& format) {
  const uint64_t ss = ctx.sectorSize();
  const uint64_t start = ctx.startSector();
  const uint64_t medium = MediumSectors(ctx);
  if (ss == 0 || start >= medium || brokenUnit / ss >= medium - start) return std::nullopt;
  // Either the broken unit's header is whole and the split lies inside it, or the split is just before it
  // (then its header starts the second piece).
  std::vector<SplitRange> ranges;
  {
    FileBytes file(ctx, header);
    const uint64_t bytes = format.unitBytes(file, brokenUnit);
    if (bytes != 0 && bytes <= kMaxJpegBytes && brokenUnit + bytes > brokenUnit / ss * ss + ss) {
      ranges.push_back({brokenUnit / ss + 1, (brokenUnit + bytes) / ss, brokenUnit + bytes});
    }
    if (brokenUnit % ss == 0 && brokenUnit != 0)
      ranges.push_back({brokenUnit / ss, brokenUnit / ss, brokenUnit});
  }
  std::vector<uint8_t> buffer(CarvingContext::kWorkBufferBytes + ss);
  const uint64_t gapSectors = kMaxGapBytes / ss;
  const uint64_t perRead = CarvingContext::kWorkBufferBytes / ss;
  uint64_t checked = 0;  // bytes run through checksums
  for (const SplitRange& range : ranges) {
    // Absolute byte position of the next unit with no gap; a gap of g sectors moves it g sectors on.
    const uint64_t base = start * ss + range.nextUnit;
    for (uint64_t gap = 1; gap <= gapSectors;) {
      const uint64_t sector = base / ss + gap;
      if (sector >= medium) break;
      CarvingContext::StitchBudget& budget = ctx.stitchBudget();
      // One sector more than the positions need, for a header that runs into the next sector.
      const uint64_t count = std::min({perRead, gapSectors - gap + 1, medium - sector});
      const uint64_t reading = std::min<uint64_t>(count + 1, medium - sector);
      if (budget.sectors < reading || !ctx.ReadSectors(buffer, sector, static_cast<uint32_t>(reading)))
        return std::nullopt;
      budget.sectors -= reading;
      for (uint64_t i = 0; i < count; ++i) {
        const size_t at = static_cast<size_t>(i * ss + base % ss);
        if (at + format.headerBytes > reading * ss ||
            !format.header(ByteSpan(buffer).subspan(at, format.headerBytes)))
          continue;
        // A unit starts `gap + i` sectors on: the split is where the broken unit's checksum holds.
        const uint64_t g = gap + i;
        for (uint64_t head = range.firstHead; head <= range.lastHead; ++head) {
          const uint64_t tail = start + head + g;
          if (ctx.Claimed(tail)) continue;
          checked += range.nextUnit - brokenUnit;
          if (checked > kMaxCheckedBytes) return std::nullopt;
          FileBytes joined(ctx, header, {head, tail});
          if (range.nextUnit != brokenUnit && !format.checks(joined, brokenUnit)) continue;
          if (const uint64_t length = format.whole(joined); length != 0)
            return Stitched{{head, tail}, length};
        }
      }
      gap += count;
    }
  }
  return std::nullopt;
}

}  // namespace snapsave
