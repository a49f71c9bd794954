// ISO base media (MP4, M4A, HEIF and AVIF pictures, Canon CR3, 3GP, QuickTime): the type box or the first
// box tells the kind, the top-level boxes the length, and a movie whose movie box lies past other data is
// joined where every video sample keeps its framing.
#include <algorithm>
#include <array>
#include <optional>
#include <string_view>
#include <vector>

#include "filetypes/file_type_catalogue.h"
#include "filetypes/format_support.h"
#include "filetypes/format_walks.h"
#include "filetypes/joining.h"

namespace snapsave {

using namespace typecode;
using namespace length_limit;
using namespace stitch_limit;

namespace {

// ---- MP4: ISO base media brands and mp42 only; 3gp and QuickTime brands have rows of their own
// ------------------
// A "ftyp" box at the start: a plausible size and a major brand of four printable characters.
bool IsFileTypeBox(ByteSpan b) {
  if (b.size() < 32 || !BytesEqual(b, 4, "ftyp")) return false;
  const uint32_t size = Be32(b, 0);
  if (size < 16 || size > 512 || size % 4 != 0) return false;
  return std::all_of(b.begin() + 8, b.begin() + 12, [](uint8_t c) { return c >= 0x20 && c < 0x7F; });
}

// Whether the type box names `brand` as its major brand or among its compatible brands.
bool HasBrand(ByteSpan b, std::string_view brand) {
  const size_t end = std::min<size_t>(Be32(b, 0), b.size());
  for (size_t at = 8; at + 4 <= end; at += at == 8 ? 8 : 4) {  // skips the minor version
    if (BytesEqual(b, at, brand)) return true;
  }
  return false;
}

// Pictures in ISO base media: HEIF (HEVC-coded as HEIC, AV1-coded as AVIF) and Canon's CR3 raw photos.
uint32_t StillImageType(ByteSpan b) {
  if (BytesEqual(b, 8, "crx ")) return kCr3;
  for (std::string_view brand : {"avif", "avis"}) {
    if (BytesEqual(b, 8, brand)) return kAvif;
  }
  for (std::string_view brand : {"heic", "heix", "hevc", "hevx", "heim", "heis"}) {
    if (BytesEqual(b, 8, brand)) return kHeic;
  }
  if (!BytesEqual(b, 8, "mif1") && !BytesEqual(b, 8, "msf1")) return kNoType;
  if (HasBrand(b, "heic") || HasBrand(b, "heix")) return kHeic;
  if (HasBrand(b, "avif")) return kAvif;
  return kHeif;
}

// Every brand (isom, iso2, mp41, mp42, avc1, M4V, f4v, dash ...) except those of 3GP and QuickTime, whose
// rows follow; audio-only and picture brands get their own types.
uint32_t MatchMp4(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (!IsFileTypeBox(b)) return kNoType;
  if (const uint32_t still = StillImageType(b); still != kNoType) return still;
  if (BytesEqual(b, 8, "3gp") || BytesEqual(b, 8, "3g2") || BytesEqual(b, 8, "qt  ")) return kNoType;
  if (BytesEqual(b, 8, "M4A ") || BytesEqual(b, 8, "M4B ") || BytesEqual(b, 8, "M4P ")) return kM4a;
  return kMp4;
}

// ---- 3GPP
// ------------------------------------------------------------------------------------------------------
uint32_t Match3gp(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (!IsFileTypeBox(b)) return kNoType;
  return BytesEqual(b, 8, "3gp") || BytesEqual(b, 8, "3g2") ? k3gp : kNoType;
}

// ---- QuickTime: movie atom first (old files) or the qt brand
// ---------------------------------------------------
// QuickTime: a "qt  " brand, or (older files) no type box at all but the movie, its media data, or free space
// first, followed by another box.
uint32_t MatchMov(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 16) return kNoType;
  if (IsFileTypeBox(b)) return BytesEqual(b, 8, "qt  ") ? kMov : kNoType;
  const uint32_t size = Be32(b, 0);
  if (BytesEqual(b, 4, "moov")) return size >= 16 ? kMov : kNoType;
  if (BytesEqual(b, 4, "mdat")) return size >= 16 || size == 1 ? kMov : kNoType;
  if (BytesEqual(b, 4, "wide") || BytesEqual(b, 4, "free") || BytesEqual(b, 4, "skip")) {
    if (size < 8 || size > b.size() - 8) return kNoType;
    return BytesEqual(b, size + 4, "mdat") || BytesEqual(b, size + 4, "moov") ? kMov : kNoType;
  }
  return kNoType;
}

// Boxes a file may hold at its top level. Anything else ends the walk: it is the next file, or garbage.
bool IsTopLevelBox(ByteSpan type) {
  static constexpr std::string_view kTypes[] = {"ftyp", "pdin", "moov", "moof", "mfra", "mdat", "free",
                                                "skip", "wide", "meta", "uuid", "sidx", "ssix", "prft",
                                                "styp", "emsg", "pnot", "jP  ", "junk"};
  return std::any_of(std::begin(kTypes), std::end(kTypes),
                     [&](std::string_view t) { return BytesEqual(type, 0, t); });
}

// A QuickTime file may begin with any of these instead of "ftyp".
bool MayOpenFile(ByteSpan type) {
  static constexpr std::string_view kFirst[] = {"ftyp", "moov", "mdat", "wide", "free", "skip", "pnot"};
  return std::any_of(std::begin(kFirst), std::end(kFirst),
                     [&](std::string_view t) { return BytesEqual(type, 0, t); });
}

}  // namespace

uint64_t IsoMediaLength(FileBytes& file, uint64_t limit) {
  uint64_t at = 0;
  uint64_t boxes = 0;
  bool media = false;
  bool typed = false;
  std::array<uint8_t, 16> h{};
  while (at < limit && boxes < kMaxUnits) {
    if (!file.Read(at, std::span(h).first(8))) break;
    const ByteSpan type = ByteSpan(h).subspan(4, 4);
    if (boxes == 0 ? !MayOpenFile(type) : !IsTopLevelBox(type)) break;
    // A file has one type box: a second is the next file, even where the boxes before chain into it.
    const bool typeBox = BytesEqual(type, 0, "ftyp");
    if (typeBox && typed) break;
    typed = typed || typeBox;
    media =
        media || BytesEqual(type, 0, "moov") || BytesEqual(type, 0, "mdat") || BytesEqual(type, 0, "moof");
    uint64_t size = Be32(h, 0);
    uint64_t headerBytes = 8;
    if (size == 1) {
      if (!file.Read(at + 8, std::span(h).subspan(8, 8))) break;
      size = Be64(h, 8);
      headerBytes = 16;
    } else if (size == 0) {
      return 0;  // to the end of the file, wherever that is
    }
    if (size < headerBytes || size > UINT64_MAX - at) break;
    at += size;
    ++boxes;
  }
  // Boxes that hold no media (a type box, free space) are no file yet: the plain rule measures instead.
  return media ? std::min(at, limit) : 0;
}

namespace {

// ---- MP4: the producer text some muxers leave in a trailing "free" box
// ---------------------------------------
uint64_t Mp4Length(CarvingContext& ctx) {
  constexpr std::string_view kProducer = "freeIsoMedia File Produced";
  Walk w(ctx, k6GiB);
  while (w.Read()) {
    const bool stopped = w.Stop();
    const ByteSpan chunk = w.chunk();
    if (size_t at = Find(chunk, kProducer); at != npos) {
      size_t end = at + kProducer.size();
      while (end < chunk.size() && chunk[end] != 0) ++end;
      return w.base() + end;
    }
    if (stopped) break;
  }
  return w.length();
}

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

namespace {

uint64_t MeasureIsoMedia(CarvingContext& ctx, uint32_t typeCode, ByteSpan header) {
  // Media data with no movie box after it: the movie box may lie further on, past other data.
  if (IsoMediaLacksMovie(ctx, header)) {
    if (const std::optional<Stitched> joined = StitchIsoMedia(ctx, header)) return Joined(ctx, *joined);
    ctx.outcome().intact = false;
  }
  if (const uint64_t n = Walked(ctx, header, IsoMediaLength, k6GiB); n != 0) return n;
  return typeCode == kMp4 ? Mp4Length(ctx) : PlainWalk(ctx, k6GiB);
}

constexpr HeaderTest kMp4Header = AnyLead(MatchMp4);
constexpr HeaderTest k3gpHeader = AnyLead(Match3gp);
constexpr HeaderTest kMovHeader = AnyLead(MatchMov);

constexpr CarvingTypeRow kRows[] = {
    {"mp4", kMp4, &kMp4Header, MeasureIsoMedia},   {"m4a", kM4a, &kMp4Header, MeasureIsoMedia},
    {"m4b", kM4a, &kMp4Header, MeasureIsoMedia},   {"heic", kHeic, &kMp4Header, MeasureIsoMedia},
    {"heif", kHeif, &kMp4Header, MeasureIsoMedia}, {"avif", kAvif, &kMp4Header, MeasureIsoMedia},
    {"cr3", kCr3, &kMp4Header, MeasureIsoMedia},   {"3gp", k3gp, &k3gpHeader, MeasureIsoMedia},
    {"mov", kMov, &kMovHeader, MeasureIsoMedia},
};

}  // namespace

std::span<const CarvingTypeRow> IsoMediaFormats() {
  return kRows;
}

}  // namespace snapsave
