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

std::optional<Stitched> StitchJpeg(CarvingContext& ctx, ByteSpan header, uint64_t brokenAt) {
  const uint64_t ss = ctx.sectorSize();
  const uint64_t start = ctx.startSector();
  const uint64_t medium = MediumSectors(ctx);
  if (ss == 0 || brokenAt < ss || start >= medium) return std::nullopt;
  // The sector that holds the break is the last the first piece can end before.
  const uint64_t brokenSector = brokenAt / ss;
  if (brokenSector >= medium - start) return std::nullopt;
  // A progressive frame header (SOF2) before the first scan.
  bool progressive = false;
  for (size_t i = 0; i + 1 < header.size() && !(header[i] == 0xFF && header[i + 1] == 0xDA); ++i)
    progressive = progressive || (header[i] == 0xFF && header[i + 1] == 0xC2);
  std::vector<Run> runs = RunFinder(ctx, start + brokenSector + 1, kMaxGapBytes / ss, progressive).Find();
  // The nearest gap first, but runs of one sector last: an end marker turns up by chance in other data every
  // 64 KiB or so, seldom after a whole sector that could be coded data.
  std::stable_partition(runs.begin(), runs.end(), [](const Run& r) { return r.last > r.first; });
  uint64_t decodes = 0;
  for (const Run& run : runs) {
    // The last sectors of the gap may pass for coded data: the second piece may start a little into the run.
    for (uint64_t tail = run.first; tail <= run.last && tail < run.first + kStartsPerRun; ++tail) {
      const uint64_t tailBytes = (run.last - tail) * ss + run.endInLast;
      for (uint64_t head = brokenSector; head >= 1 && head + kSplitsBack >= brokenSector; --head) {
        const uint64_t length = head * ss + tailBytes;
        if (length > kMaxJpegBytes) continue;
        CarvingContext::StitchBudget& budget = ctx.stitchBudget();
        if (decodes == kDecodesPerFile || budget.decodes == 0) return std::nullopt;
        const SplitAt split{head, tail};
        FileBytes joined(ctx, header, split);
        // The structure first (cheap), then the decode.
        if (JpegSegmentsLength(joined, kMaxJpegBytes, StopsJpegData) != length) continue;
        ++decodes;
        --budget.decodes;
        if (CheckJpeg(joined, length).verdict == JpegCheck::Verdict::kWhole) return Stitched{split, length};
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

// The split sectors a unit can break at, and where the unit after it starts (file offsets).
struct SplitRange {
  uint64_t firstHead = 0;
  uint64_t lastHead = 0;
  uint64_t nextUnit = 0;
};

}  // namespace

const FramedFormat kPngFraming = {8, PngChunkHeader, PngChunkBytes, PngChunkChecks, PngWhole};
const FramedFormat kOggFraming = {27, OggPageHeader, OggPageBytes, OggPageChecks, OggWhole};

std::optional<Stitched> StitchFramed(CarvingContext& ctx, ByteSpan header, uint64_t brokenUnit,
                                     const FramedFormat& format) {
  const uint64_t ss = ctx.sectorSize();
  const uint64_t start = ctx.startSector();
  const uint64_t medium = MediumSectors(ctx);
  if (ss == 0 || brokenUnit < 8 || start >= medium || brokenUnit / ss >= medium - start) return std::nullopt;
  // Either the broken unit's header is whole and the split lies inside it, or the split is just before it
  // (then its header starts the second piece).
  std::vector<SplitRange> ranges;
  {
    FileBytes file(ctx, header);
    const uint64_t bytes = format.unitBytes(file, brokenUnit);
    if (bytes != 0 && bytes <= kMaxJpegBytes && brokenUnit + bytes > brokenUnit / ss * ss + ss) {
      ranges.push_back({brokenUnit / ss + 1, (brokenUnit + bytes) / ss, brokenUnit + bytes});
    }
    if (brokenUnit % ss == 0) ranges.push_back({brokenUnit / ss, brokenUnit / ss, brokenUnit});
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
