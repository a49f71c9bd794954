#include "carve/fragments.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <vector>

#include "carve/jpeg_check.h"
#include "carve/length_rules.h"
#include "filetypes/file_type_catalogue.h"

namespace snapsave {

using namespace stitch_limit;

namespace {

constexpr uint64_t kMaxJpegBytes = uint64_t{128} << 20;

// What one file's search has left to spend; every charge also counts against the scan's budget.
class FileWork {
 public:
  explicit FileWork(CarvingContext& ctx) : budget_(ctx.stitchBudget()) {}
  bool Spend(uint64_t bytes) {
    if (bytes > left_ || bytes > budget_.workBytes) return false;
    left_ -= bytes;
    budget_.workBytes -= bytes;
    return true;
  }

 private:
  CarvingContext::StitchBudget& budget_;
  uint64_t left_ = kWorkBytesPerFile;
};

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

}  // namespace

bool ForeignToCodedData(ByteSpan sector) {
  return std::none_of(sector.begin(), sector.end(), [](uint8_t b) { return (b & 0x80) != 0; });
}

bool StopsJpegData(CarvingContext& ctx, uint64_t sector, ByteSpan bytes) {
  return ForeignToCodedData(bytes) || StartsOtherFile(ctx, sector, bytes);
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
                                  uint64_t& decodes, FileWork& work) {
  if (decodes == kDecodesPerFile) return std::nullopt;
  FileBytes joined(ctx, header, split);
  // The structure first (cheap: charged at an eighth), then the decode.
  if (!work.Spend(length / 8) || JpegSegmentsLength(joined, kMaxJpegBytes, StopsJpegData) != length)
    return std::nullopt;
  if (!work.Spend(length)) return std::nullopt;
  ++decodes;
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

// Reads the gaps a second piece may lie beyond: for g = 1 to the bound, `visit(g, bytes)` gets the `want`
// bytes found at absolute byte `base` moved g sectors on, until it answers true (done). Reads count against
// the context's budget.
template <typename Visit>
void EachGap(CarvingContext& ctx, uint64_t base, size_t want, Visit visit) {
  const uint64_t ss = ctx.sectorSize();
  const uint64_t medium = MediumSectors(ctx);
  std::vector<uint8_t> buffer(CarvingContext::kWorkBufferBytes + ss);
  const uint64_t gapSectors = kMaxGapBytes / ss;
  const uint64_t perRead = CarvingContext::kWorkBufferBytes / ss;
  for (uint64_t gap = 1; gap <= gapSectors;) {
    const uint64_t sector = base / ss + gap;
    if (sector >= medium) return;
    CarvingContext::StitchBudget& budget = ctx.stitchBudget();
    // One sector more than the positions need, for bytes that run into the next sector.
    const uint64_t count = std::min({perRead, gapSectors - gap + 1, medium - sector});
    const uint64_t reading = std::min<uint64_t>(count + 1, medium - sector);
    if (budget.readBytes < reading * ss || !ctx.ReadSectors(buffer, sector, static_cast<uint32_t>(reading)))
      return;
    budget.readBytes -= reading * ss;
    for (uint64_t i = 0; i < count; ++i) {
      const size_t at = static_cast<size_t>(i * ss + base % ss);
      if (at + want <= reading * ss && visit(gap + i, ByteSpan(buffer).subspan(at, want))) return;
    }
    gap += count;
  }
}

}  // namespace

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
  FileWork work(ctx);
  std::optional<Stitched> found;
  for (const SplitRange& range : ranges) {
    // A unit starts g sectors past where it would without a gap: the split is where the broken unit's
    // checksum holds.
    bool spent = false;
    EachGap(ctx, start * ss + range.nextUnit, format.headerBytes, [&](uint64_t g, ByteSpan bytes) {
      if (!format.header(bytes)) return false;
      for (uint64_t head = range.firstHead; head <= range.lastHead; ++head) {
        const uint64_t tail = start + head + g;
        if (ctx.Claimed(tail)) continue;
        if (!work.Spend(range.nextUnit - brokenUnit)) return spent = true;
        FileBytes joined(ctx, header, {head, tail});
        if (range.nextUnit != brokenUnit && !format.checks(joined, brokenUnit)) continue;
        if (const uint64_t length = format.whole(joined); length != 0) {
          found = Stitched{{head, tail}, length};
          return true;
        }
      }
      return false;
    });
    if (found || spent) break;
  }
  return found;
}

namespace {

constexpr uint64_t kMaxMovieBoxBytes = uint64_t{16} << 20;
constexpr uint64_t kMaxSamples = uint64_t{1} << 22;
constexpr uint64_t kMaxSplitsTried = 512;
// What looking at one unit of a sample's framing counts against the search's work: a few bytes read, charged
// as a small read's worth.
constexpr uint64_t kUnitWork = 64;

enum class Framing { kNone, kNalLengths, kMpeg4StartCodes };

struct VideoTrack {
  Framing framing = Framing::kNone;
  bool hevc = false;
  uint32_t lengthBytes = 4;
  std::vector<std::pair<uint64_t, uint32_t>> samples;  // offset, size; in offset order
};

// The children of the box whose payload is `body`: each visited with its type and payload; false on a
// child that runs past its parent.
template <typename Visit>
bool Children(ByteSpan body, Visit visit) {
  size_t at = 0;
  while (at + 8 <= body.size()) {
    uint64_t size = Be32(body, at);
    size_t head = 8;
    if (size == 1) {
      if (!Has(body, at, 16)) return false;
      size = Be64(body, at + 8);
      head = 16;
    } else if (size == 0) {
      size = body.size() - at;
    }
    if (size < head || size > body.size() - at) return false;
    visit(std::string_view(reinterpret_cast<const char*>(body.data() + at + 4), 4),
          body.subspan(at + head, static_cast<size_t>(size) - head));
    at += static_cast<size_t>(size);
  }
  return true;
}

ByteSpan Child(ByteSpan body, std::string_view type) {
  ByteSpan found;
  Children(body, [&](std::string_view t, ByteSpan b) {
    if (t == type && found.empty()) found = b;
  });
  return found;
}

// The video track of a movie box whose samples its codec frames, with each sample's place; none when there
// is no such track or its tables do not hold together.
std::optional<VideoTrack> ReadVideoTrack(ByteSpan moov) {
  std::optional<VideoTrack> found;
  Children(moov, [&](std::string_view type, ByteSpan trak) {
    if (type != "trak" || found) return;
    const ByteSpan mdia = Child(trak, "mdia");
    const ByteSpan hdlr = Child(mdia, "hdlr");
    if (!Has(hdlr, 8, 4) || !BytesEqual(hdlr, 8, "vide")) return;
    const ByteSpan stbl = Child(Child(mdia, "minf"), "stbl");
    const ByteSpan stsd = Child(stbl, "stsd");
    if (!Has(stsd, 8, 8)) return;
    VideoTrack track;
    const std::string_view format(reinterpret_cast<const char*>(stsd.data() + 12), 4);
    if (format == "avc1" || format == "avc3" || format == "hvc1" || format == "hev1") {
      // The entry: its 8-byte header, 78 bytes of visual fields, then boxes, the decoder configuration
      // among them.
      const uint64_t entrySize = Be32(stsd, 8);
      if (entrySize < 8 + 78 || entrySize > stsd.size() - 8) return;
      const ByteSpan entry = stsd.subspan(16, static_cast<size_t>(entrySize) - 8);
      track.hevc = format[0] == 'h';
      const ByteSpan config = Child(entry.subspan(78), track.hevc ? "hvcC" : "avcC");
      const size_t at = track.hevc ? 21 : 4;
      if (!Has(config, at, 1)) return;
      track.lengthBytes = (config[at] & 3u) + 1;
      if (track.lengthBytes == 3) return;
      track.framing = Framing::kNalLengths;
    } else if (format == "mp4v") {
      track.framing = Framing::kMpeg4StartCodes;
    } else {
      return;
    }
    // Sample sizes, chunk offsets and the runs of samples per chunk.
    const ByteSpan stsz = Child(stbl, "stsz");
    const ByteSpan stco = Child(stbl, "stco");
    const ByteSpan co64 = Child(stbl, "co64");
    const ByteSpan stsc = Child(stbl, "stsc");
    if (!Has(stsz, 0, 12) || !Has(stsc, 0, 8) || (!Has(stco, 0, 8) && !Has(co64, 0, 8))) return;
    const uint32_t fixed = Be32(stsz, 4);
    const uint64_t count = Be32(stsz, 8);
    if (count == 0 || count > kMaxSamples || (fixed == 0 && !Has(stsz, 12, static_cast<size_t>(count) * 4)))
      return;
    const bool wide = !Has(stco, 0, 8);
    const ByteSpan offsets = wide ? co64 : stco;
    const uint64_t chunks = Be32(offsets, 4);
    const uint64_t runs = Be32(stsc, 4);
    if (chunks > kMaxSamples || !Has(offsets, 8, static_cast<size_t>(chunks) * (wide ? 8 : 4)) ||
        runs > kMaxSamples || !Has(stsc, 8, static_cast<size_t>(runs) * 12))
      return;
    uint64_t sample = 0;
    for (uint64_t run = 0; run < runs && sample < count; ++run) {
      const uint64_t first = Be32(stsc, 8 + run * 12);
      const uint64_t end = run + 1 < runs ? Be32(stsc, 8 + (run + 1) * 12) : chunks + 1;
      const uint64_t perChunk = Be32(stsc, 8 + run * 12 + 4);
      if (first == 0 || end < first || end > chunks + 1 || perChunk == 0 || perChunk > kMaxSamples) return;
      for (uint64_t chunk = first; chunk < end && sample < count; ++chunk) {
        uint64_t at = wide ? Be64(offsets, 8 + (chunk - 1) * 8) : Be32(offsets, 8 + (chunk - 1) * 4);
        for (uint64_t i = 0; i < perChunk && sample < count; ++i, ++sample) {
          const uint32_t size = fixed != 0 ? fixed : Be32(stsz, 12 + sample * 4);
          if (size == 0 || at > UINT64_MAX - size) return;
          track.samples.emplace_back(at, size);
          at += size;
        }
      }
    }
    if (sample != count) return;
    std::sort(track.samples.begin(), track.samples.end());
    found = std::move(track);
  });
  return found;
}

// Whether the sample at `offset` is framed as its codec frames it. Each unit looked at costs `work` a little.
bool SampleFramed(FileBytes& file, const VideoTrack& track, uint64_t offset, uint32_t size, FileWork& work) {
  std::array<uint8_t, 6> b{};
  if (track.framing == Framing::kMpeg4StartCodes) {
    if (size < 4 || !work.Spend(kUnitWork) || !file.Read(offset, std::span(b).first(4))) return false;
    return b[0] == 0 && b[1] == 0 && b[2] == 1 && (b[3] == 0xB0 || b[3] == 0xB3 || b[3] == 0xB6);
  }
  const uint32_t n = track.lengthBytes;
  uint64_t at = 0;
  for (uint32_t units = 0; at < size; ++units) {
    if (units > 4096 || size - at < n + 2 || !work.Spend(kUnitWork) ||
        !file.Read(offset + at, std::span(b).first(n + 2)))
      return false;
    uint64_t length = 0;
    for (uint32_t i = 0; i < n; ++i) length = length << 8 | b[i];
    const uint8_t h0 = b[n], h1 = b[n + 1];
    if (length < 2 || (h0 & 0x80) != 0) return false;
    if (track.hevc ? ((h0 >> 1) > 40 || (h1 & 7) == 0) : ((h0 & 0x1F) == 0 || (h0 & 0x1F) > 23)) return false;
    at += n + length;
  }
  return at == size;
}

struct TopBox {
  std::string_view type;
  uint64_t at = 0;
  uint64_t size = 0;
};

// The top-level box at `at`, of a type a file holds at its top level.
std::optional<TopBox> ReadTopBox(FileBytes& file, uint64_t at, std::array<uint8_t, 16>& h) {
  static constexpr std::string_view kTypes[] = {"ftyp", "moov", "mdat", "free", "skip", "wide",
                                                "uuid", "meta", "moof", "mfra", "sidx", "ssix",
                                                "prft", "styp", "emsg", "pdin", "pnot", "junk"};
  if (!file.Read(at, std::span(h).first(8))) return std::nullopt;
  const std::string_view type(reinterpret_cast<const char*>(h.data() + 4), 4);
  if (std::find(std::begin(kTypes), std::end(kTypes), type) == std::end(kTypes)) return std::nullopt;
  uint64_t size = Be32(h, 0);
  if (size == 1) {
    if (!file.Read(at + 8, std::span(h).subspan(8, 8))) return std::nullopt;
    size = Be64(h, 8);
  }
  if (size < 8 || size > (uint64_t{1} << 40)) return std::nullopt;
  return TopBox{*std::find(std::begin(kTypes), std::end(kTypes), type), at, size};
}

}  // namespace

bool IsoMediaLacksMovie(CarvingContext& ctx, ByteSpan header) {
  FileBytes file(ctx, header);
  std::array<uint8_t, 16> h{};
  bool data = false;
  uint64_t at = 0;
  for (int boxes = 0; boxes < 64; ++boxes) {
    const std::optional<TopBox> box = ReadTopBox(file, at, h);
    if (!box || box->type == "moov" || box->at > UINT64_MAX - box->size) return data && !box;
    data = data || box->type == "mdat";
    at += box->size;
  }
  return false;
}

namespace {

// The movie whose media data box is `mdat`, joined across a gap of `g` sectors after which its movie box
// starts.
std::optional<Stitched> JoinMovie(CarvingContext& ctx, ByteSpan header, const TopBox& mdat, uint64_t g,
                                  FileWork& work) {
  const uint64_t ss = ctx.sectorSize();
  const uint64_t start = ctx.startSector();
  const uint64_t medium = MediumSectors(ctx);
  const uint64_t end = mdat.at + mdat.size;
  std::array<uint8_t, 16> h{};
  // Through a join whose first piece ends at the first sector of the media data: every offset from there on
  // reads from the second piece, the movie box included.
  const uint64_t anyHead = std::max<uint64_t>(1, mdat.at / ss + 1);
  if (start + anyHead + g >= medium || ctx.Claimed(start + anyHead + g)) return std::nullopt;
  FileBytes tail(ctx, header, {anyHead, start + anyHead + g});
  const std::optional<TopBox> moov = ReadTopBox(tail, end, h);
  if (!moov || moov->size > kMaxMovieBoxBytes || !work.Spend(moov->size)) return std::nullopt;
  std::vector<uint8_t> movie(static_cast<size_t>(moov->size));
  if (!tail.Read(end, movie)) return std::nullopt;
  const std::optional<VideoTrack> track = ReadVideoTrack(ByteSpan(movie).subspan(8));
  if (!track || track->samples.empty() || track->samples.front().first < mdat.at + 8 ||
      track->samples.back().first + track->samples.back().second > end)
    return std::nullopt;
  // The split lies after the start of the last sample that is not framed where the second piece puts it,
  // and before the end of the first that is not framed where the first piece does.
  FileBytes head(ctx, header);
  uint64_t upper = end;
  for (const auto& [offset, size] : track->samples) {
    if (!SampleFramed(head, *track, offset, size, work)) {
      upper = offset + size - 1;
      break;
    }
  }
  uint64_t lower = mdat.at;
  for (auto it = track->samples.rbegin(); it != track->samples.rend() && it->first >= anyHead * ss; ++it) {
    if (!SampleFramed(tail, *track, it->first, it->second, work)) {
      lower = it->first;
      break;
    }
  }
  if (upper < lower || upper / ss - lower / ss > kMaxSplitsTried) return std::nullopt;
  std::optional<SplitAt> fit;
  bool several = false;
  for (uint64_t k = lower / ss + 1; k <= upper / ss && !several && start + k + g < medium; ++k) {
    const SplitAt split{k, start + k + g};
    FileBytes joined(ctx, header, split);
    // Samples do not overlap: only the one that starts last before the split can cross it.
    auto crossing = std::lower_bound(track->samples.begin(), track->samples.end(),
                                     std::pair<uint64_t, uint32_t>(k * ss, 0));
    if (crossing != track->samples.begin()) {
      --crossing;
      if (crossing->first + crossing->second > k * ss &&
          !SampleFramed(joined, *track, crossing->first, crossing->second, work))
        continue;
    }
    several = fit.has_value();
    if (!fit) fit = split;
  }
  if (!fit) return std::nullopt;
  // Where several splits fit (inside one long sample, whose framing says nothing of its middle), the first
  // is taken: the movie plays, with one sample that may be wrong, and is listed as damaged.
  FileBytes joined(ctx, header, *fit);
  const uint64_t length = IsoMediaLength(joined, uint64_t{6} << 30);
  if (length < end + moov->size) return std::nullopt;
  return Stitched{*fit, length, !several};
}

}  // namespace

std::optional<Stitched> StitchIsoMedia(CarvingContext& ctx, ByteSpan header) {
  const uint64_t ss = ctx.sectorSize();
  const uint64_t start = ctx.startSector();
  const uint64_t medium = MediumSectors(ctx);
  if (ss == 0 || start >= medium) return std::nullopt;
  // The media data box, with no movie box before it and none where it ends.
  std::array<uint8_t, 16> h{};
  std::optional<TopBox> mdat;
  {
    FileBytes file(ctx, header);
    uint64_t at = 0;
    for (int boxes = 0; boxes < 16 && !mdat; ++boxes) {
      const std::optional<TopBox> box = ReadTopBox(file, at, h);
      if (!box || box->type == "moov" || box->at > UINT64_MAX - box->size) return std::nullopt;
      if (box->type == "mdat") mdat = box;
      at += box->size;
    }
    if (!mdat || ReadTopBox(file, mdat->at + mdat->size, h)) return std::nullopt;
  }
  const uint64_t end = mdat->at + mdat->size;  // file offset of the box after the media data
  if (end / ss >= medium - start) return std::nullopt;
  std::optional<Stitched> found;
  FileWork work(ctx);
  uint64_t movies = 0;
  EachGap(ctx, start * ss + end, 8, [&](uint64_t g, ByteSpan bytes) {
    if (!BytesEqual(bytes, 4, "moov")) return false;
    found = JoinMovie(ctx, header, *mdat, g, work);
    return found.has_value() || ++movies == kMoviesPerFile;
  });
  return found;
}

}  // namespace snapsave
