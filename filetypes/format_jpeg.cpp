// JPEG: a start of image and a plausible first segment, the segments and entropy-coded data walked to the
// main image's end, the data decoded to check it, and a picture cut in two joined where the whole joined
// picture decodes and its seam does not show.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "filetypes/file_type_catalogue.h"
#include "filetypes/format_support.h"
#include "filetypes/format_walks.h"
#include "filetypes/joining.h"
#include "filetypes/jpeg_check.h"
#include "filetypes/jpeg_checks_ahead.h"

namespace snapsave {

using namespace typecode;
using namespace length_limit;
using namespace stitch_limit;

namespace {

// ---- JPEG: SOI directly followed by a JFIF APP0, an Exif APP1, or any other marker segment a JPEG starts
// with (an application segment, a table, a frame header, a comment) of a plausible length
// ------------------------------------------------
uint32_t MatchJpeg(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 16) return kNoType;
  if (BytesEqual(b, 0, {0xFF, 0xD8, 0xFF, 0xE0}) && BytesEqual(b, 6, "JFIF")) return kJpeg;
  if (BytesEqual(b, 0, {0xFF, 0xD8, 0xFF, 0xE1}) && BytesEqual(b, 6, "Exif")) return kJpeg;
  if (b[0] != 0xFF || b[1] != 0xD8 || b[2] != 0xFF) return kNoType;
  const uint8_t marker = b[3];
  const bool known = (marker >= 0xE0 && marker <= 0xEF) || marker == 0xDB || marker == 0xC4 ||
                     marker == 0xFE || marker == 0xC0 || marker == 0xC2 || marker == 0xDD;
  if (!known) return kNoType;
  // The segment's length, and the next marker right behind it when it lies in the sector.
  const uint32_t length = Be16(b, 4);
  if (length < 4) return kNoType;
  if (4 + length + 1 < b.size()) return b[4 + length] == 0xFF ? kJpeg : kNoType;
  return kJpeg;
}

// Markers that stand alone, without a length: TEM, the restart markers, SOI.
bool IsStandaloneMarker(uint8_t m) {
  return m == 0x01 || (m >= 0xD0 && m <= 0xD8);
}

// Markers of segments a JPEG holds before and between its scans.
bool IsSegmentMarker(uint8_t m) {
  return (m >= 0xC0 && m <= 0xFE && m != 0xC8 && m != 0xD8 && m != 0xD9 && !(m >= 0xD0 && m <= 0xD7)) ||
         m == 0x01;
}

}  // namespace

uint64_t JpegSegmentsLength(FileBytes& file, uint64_t limit, SectorStop stop, uint64_t* validEnd) {
  std::array<uint8_t, 4> h{};
  if (!file.Read(0, std::span(h).first(4)) || h[0] != 0xFF || h[1] != 0xD8 || h[2] != 0xFF ||
      !IsSegmentMarker(h[3]))
    return 0;
  const uint32_t ss = file.context().sectorSize();
  uint64_t at = 2;
  bool scanned = false;  // a scan came: an EOI now ends the main image
  for (uint64_t units = 0; at < limit && units < kMaxUnits; ++units) {
    if (validEnd != nullptr && units > 0) *validEnd = at;  // after a whole segment or scan
    if (!file.Read(at, std::span(h).first(2)) || h[0] != 0xFF) return 0;
    if (h[1] == 0xFF) {  // fill bytes before a marker
      ++at;
      continue;
    }
    const uint8_t marker = h[1];
    if (marker == 0xD9) return scanned ? at + 2 : 0;
    if (IsStandaloneMarker(marker)) {
      at += 2;
      continue;
    }
    if (!IsSegmentMarker(marker) || !file.Read(at + 2, std::span(h).subspan(2, 2))) return 0;
    const uint32_t length = Be16(h, 2);
    if (length < 2) return 0;
    at += 2 + length;
    if (marker != 0xDA) continue;
    // Entropy-coded data: to the first marker that is no stuffed zero and no restart marker. A sector start
    // on the way that begins another file means this one was cut short.
    scanned = true;
    bool found = false;
    while (!found && at < limit) {
      const ByteSpan view = file.View(at);
      if (view.size() < 2) {  // the medium ends without an EOI
        if (validEnd != nullptr) *validEnd = std::min(at + view.size(), limit);
        return 0;
      }
      // Byte by byte only at sector starts (the stop test) and at 0xFF bytes; memchr skips the rest.
      size_t i = 0;
      while (i < view.size()) {
        const uint64_t offset = at + i;
        const size_t intoSector = ss != 0 ? static_cast<size_t>(offset % ss) : 0;
        if (ss != 0 && intoSector == 0 && offset != 0 && view.size() - i >= ss && stop != nullptr &&
            stop(file.context(), file.context().startSector() + offset / ss, view.subspan(i, ss))) {
          if (validEnd != nullptr)
            *validEnd = std::min(offset, limit);  // the scan's data up to the other file
          return 0;
        }
        const size_t sectorEnd = ss != 0 ? std::min(view.size(), i + (ss - intoSector)) : view.size();
        const void* ff = std::memchr(view.data() + i, 0xFF, sectorEnd - i);
        if (ff == nullptr) {
          i = sectorEnd;
          continue;
        }
        i = static_cast<size_t>(static_cast<const uint8_t*>(ff) - view.data());
        if (i + 1 >= view.size()) {  // the window ends on it
          i = view.size();
          break;
        }
        const uint8_t next = view[i + 1];
        if (next == 0x00 || (next >= 0xD0 && next <= 0xD7) || next == 0xFF) {
          ++i;
          continue;
        }
        found = true;
        break;
      }
      at += i;
      if (!found && i > 0 && view[i - 1] == 0xFF) --at;  // a marker split across windows: look again
      if (!found && i == 0) return 0;
    }
  }
  return 0;
}

namespace {

constexpr uint64_t kMaxJpegBytes = uint64_t{128} << 20;

// A stretch of sectors that may be the coded data of a second piece: none of them stops coded data, no
// marker in them but restart markers and stuffed bytes, and an end marker in the last.
struct Run {
  uint64_t first = 0;  // absolute sectors
  uint64_t last = 0;
  uint64_t endInLast = 0;  // bytes of the last sector up to and including its end marker
};

}  // namespace

bool ForeignToCodedData(ByteSpan sector) {
  return std::none_of(sector.begin(), sector.end(), [](uint8_t b) { return (b & 0x80) != 0; });
}

bool StopsJpegData(CarvingContext& ctx, uint64_t sector, ByteSpan bytes) {
  return ForeignToCodedData(bytes) || StartsOtherFile(ctx, sector, bytes);
}

namespace {

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
      const uint64_t count = std::min({perRead, medium - at, budget.readBytes / ss_});
      if (count == 0 || !ctx_.ReadSectors(buffer, at, static_cast<uint32_t>(count))) break;
      budget.readBytes -= count * ss_;
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
                                  uint64_t& decodes, FileWork& work) {
  if (decodes == kDecodesPerFile) return std::nullopt;
  FileBytes joined(ctx, header, split);
  // The structure first (cheap: charged at an eighth), then the decode.
  if (!work.Spend(length / 8) || JpegSegmentsLength(joined, kMaxJpegBytes, StopsJpegData) != length)
    return std::nullopt;
  if (!work.Spend(length)) return std::nullopt;
  ++decodes;
  JpegRows rows;
  if (CheckJpeg(joined, length, kJpegCheckMemory, &rows).verdict != JpegCheck::Verdict::kWhole)
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
  FileWork work(ctx);
  for (const Run& run : runs) {
    // The last sectors of the gap may pass for coded data: the second piece may start a little into the run.
    for (uint64_t tail = run.first; tail <= run.last && tail < run.first + kStartsPerRun; ++tail) {
      const uint64_t tailBytes = (run.last - tail) * ss + run.endInLast;
      for (const uint64_t head : heads) {
        const uint64_t length = head * ss + tailBytes;
        if (length > kMaxJpegBytes || start + head >= tail) continue;
        const std::optional<int64_t> jump = JoinedJump(ctx, header, {head, tail}, length, decodes, work);
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
          if (const std::optional<int64_t> other = JoinedJump(ctx, header, {h, t}, length, decodes, work);
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

// A picture whose data breaks off, or decodes wrong, is looked for in two pieces; found whole, the outcome
// says where its second piece lies.
uint64_t JpegLength(CarvingContext& ctx, ByteSpan header) {
  // Its segments and scans say where the main image ends, whatever follows it on the medium.
  {
    FileBytes file(ctx, header);
    uint64_t validEnd = 0;
    const uint64_t n = JpegSegmentsLength(file, k128MiB, StopsJpegData, &validEnd);
    if (n != 0 || validEnd != 0) {
      // A file the metadata found: its structure says where it ends, as the listing shows that file.
      if (!ctx.checksWanted()) {
        if (n != 0) return n;
        ctx.outcome().intact = false;
        return std::max<uint64_t>(validEnd, ctx.sectorSize());
      }
      // Decoded ahead on another thread, or here; from the file's start either way, so the verdict is the
      // same.
      const uint64_t length = n != 0 ? n : validEnd;
      JpegRows rows;
      std::optional<JpegCheck> ahead;
      if (ctx.checksAhead() != nullptr) ahead = ctx.checksAhead()->Take(ctx.startSector(), length, rows);
      JpegCheck check;
      if (ahead) {
        check = *ahead;
      } else {
        FileBytes fresh(ctx, header);
        check = CheckJpeg(fresh, length, kJpegCheckMemory, &rows);
      }
      if (n != 0 && check.verdict != JpegCheck::Verdict::kBroken) return n;
      uint64_t brokenAt = n != 0 ? n : validEnd;
      if (check.verdict == JpegCheck::Verdict::kBroken) brokenAt = std::min(brokenAt, check.brokenAt);
      if (const std::optional<Stitched> joined = StitchJpeg(ctx, header, brokenAt, rows))
        return Joined(ctx, *joined);
      ctx.outcome().intact = false;
      // Segments that broke off: whatever follows the last whole one is not this picture's.
      return n != 0 ? n : std::max<uint64_t>(validEnd, ctx.sectorSize());
    }
  }
  const uint32_t ss = ctx.sectorSize();
  if (size_t e = AcceptedMarkerEnd(header, "\xFF\xD9", ss, false); e != npos) return e;
  Walk w(ctx, k128MiB);
  uint64_t candidate = 0;
  while (w.Read()) {
    const bool stopped = w.Stop();
    if (size_t e = AcceptedMarkerEnd(w.beforeStop(), "\xFF\xD9", ss, false); e != npos)
      candidate = w.base() + e;
    if (stopped) break;
  }
  return candidate != 0 && candidate < w.length() ? candidate : w.length();
}

}  // namespace

namespace {

uint64_t MeasureJpeg(CarvingContext& ctx, uint32_t /*typeCode*/, ByteSpan header) {
  return JpegLength(ctx, header);
}

constexpr HeaderTest kJpegHeader = Lead(MatchJpeg, 0xFF);

constexpr CarvingTypeRow kRows[] = {
    {"jpg", kJpeg, &kJpegHeader, MeasureJpeg},
    {"jpeg", kJpeg, &kJpegHeader, MeasureJpeg},
    {"jpe", kJpeg, &kJpegHeader, MeasureJpeg},
    {"jfif", kJpeg, &kJpegHeader, MeasureJpeg},
};

}  // namespace

std::span<const CarvingTypeRow> JpegFormats() {
  return kRows;
}

}  // namespace snapsave
