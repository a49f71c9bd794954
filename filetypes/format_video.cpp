// Video and animation containers apart from ISO media and MPEG: RealMedia, ASF (WMV, WMA), Flash (SWF, FLV),
// Matroska and WebM, and MXF, each measured by the units its structure chains.
#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

#include <zlib.h>
#include "filetypes/file_type_catalogue.h"
#include "filetypes/format_support.h"
#include "filetypes/format_walks.h"
#include "filetypes/joining.h"

namespace snapsave {

using namespace typecode;
using namespace length_limit;
using namespace stitch_limit;

namespace {

// ---- RealMedia
// -------------------------------------------------------------------------------------------------
uint32_t MatchRealMedia(const CarvingContext& /*ctx*/, ByteSpan b) {
  return BytesEqual(b, 0, ".RMF") ? kRealMedia : kNoType;
}

// ---- ASF (wmv, wma): header object GUID
// ------------------------------------------------------------------------
uint32_t MatchAsf(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 24) return kNoType;
  return BytesEqual(
             b, 0,
             {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C})
             ? kAsf
             : kNoType;
}

// ---- SWF: zlib-compressed files exist from version 6 on, so older versions must be plain
// -----------------------
uint32_t MatchSwf(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 8) return kNoType;
  const uint8_t version = b[3];
  // Compression came with version 6; either kind states its (uncompressed) length, at least a header's.
  if (Le32(b, 4) < 21) return kNoType;
  if (BytesEqual(b, 0, "CWS") && version >= 6 && version <= 50) return kSwf;
  if (BytesEqual(b, 0, "FWS") && version >= 1 && version <= 50) return kSwf;
  return kNoType;
}

// ---- FLV: version 1 and a 9-byte header
// ------------------------------------------------------------------------
uint32_t MatchFlv(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 16) return kNoType;
  return BytesEqual(b, 0, {'F', 'L', 'V', 0x01}) && BytesEqual(b, 5, {0, 0, 0, 9}) ? kFlv : kNoType;
}

// ---- Matroska / WebM: EBML magic
// -------------------------------------------------------------------------------
uint32_t MatchMatroska(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 16) return kNoType;
  return BytesEqual(b, 0, {0x1A, 0x45, 0xDF, 0xA3}) ? kMkv : kNoType;
}

// ---- MXF: closed complete header partition pack key
// ------------------------------------------------------------
uint32_t MatchMxf(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 16) return kNoType;
  return BytesEqual(
             b, 0,
             {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01, 0x0D, 0x01, 0x02, 0x01, 0x01, 0x02, 0x04, 0x00})
             ? kMxf
             : kNoType;
}

// An EBML variable-length number at `at`: its length and value, the length marker kept for IDs and dropped
// for sizes. `unknown` tells a size whose value bits are all ones.
struct Vint {
  uint32_t length = 0;
  uint64_t value = 0;
  bool unknown = false;
};

bool ReadVint(FileBytes& file, uint64_t at, uint32_t maxLength, bool keepMarker, Vint& out) {
  std::array<uint8_t, 8> b{};
  if (!file.Read(at, std::span(b).first(1)) || b[0] == 0) return false;
  uint32_t length = 1;
  while ((b[0] & (0x80u >> (length - 1))) == 0) ++length;
  if (length > maxLength || (length > 1 && !file.Read(at + 1, std::span(b).subspan(1, length - 1))))
    return false;
  const uint8_t marker = static_cast<uint8_t>(0x80u >> (length - 1));
  uint64_t value = keepMarker ? b[0] : (b[0] & static_cast<uint8_t>(marker - 1));
  bool allOnes = (b[0] & (marker - 1)) == marker - 1;
  for (uint32_t i = 1; i < length; ++i) {
    value = (value << 8) | b[i];
    allOnes = allOnes && b[i] == 0xFF;
  }
  out = {length, value, !keepMarker && allOnes};
  return true;
}

constexpr uint64_t kEbmlHeader = 0x1A45DFA3;

constexpr uint64_t kSegment = 0x18538067;

// The Segment's children a file holds at its top level.
bool IsSegmentChild(uint64_t id) {
  switch (id) {
    case 0x114D9B74:  // SeekHead
    case 0x1549A966:  // Info
    case 0x1654AE6B:  // Tracks
    case 0x1F43B675:  // Cluster
    case 0x1C53BB6B:  // Cues
    case 0x1941A469:  // Attachments
    case 0x1043A770:  // Chapters
    case 0x1254C367:  // Tags
    case 0xEC:        // Void
    case 0xBF:        // CRC-32
      return true;
    default:
      return false;
  }
}

}  // namespace

uint64_t MatroskaLength(FileBytes& file, uint64_t limit) {
  Vint id, size;
  if (!ReadVint(file, 0, 4, true, id) || id.value != kEbmlHeader) return 0;
  if (!ReadVint(file, id.length, 8, false, size) || size.unknown || size.value > limit) return 0;
  uint64_t at = id.length + size.length + size.value;
  if (!ReadVint(file, at, 4, true, id) || id.value != kSegment) return 0;
  if (!ReadVint(file, at + id.length, 8, false, size)) return 0;
  const uint64_t data = at + id.length + size.length;
  if (!size.unknown) return size.value > limit - std::min(limit, data) ? limit : data + size.value;
  // A Segment written live states no size: its children say where it ends.
  at = data;
  for (uint64_t units = 0; at < limit && units < kMaxUnits; ++units) {
    Vint childId, childSize;
    if (!ReadVint(file, at, 4, true, childId) || !IsSegmentChild(childId.value)) break;
    if (!ReadVint(file, at + childId.length, 8, false, childSize) || childSize.unknown) break;
    const uint64_t body = at + childId.length + childSize.length;
    if (childSize.value > UINT64_MAX - body) break;
    at = body + childSize.value;
  }
  return std::min(at, limit);
}

namespace {

// A tag header: audio, video or script data of stream 0, unfiltered.
bool FlvTagHeader(ByteSpan h) {
  if (h.size() < 11) return false;
  const uint8_t type = h[0] & 0x1F;
  return (type == 8 || type == 9 || type == 18) && (h[0] & 0xC0) == 0 && Be24(h, 8) == 0;
}

uint64_t FlvTagBytes(FileBytes& file, uint64_t at) {
  std::array<uint8_t, 11> h{};
  return file.Read(at, h) && FlvTagHeader(h) ? 11 + uint64_t{Be24(h, 1)} + 4 : 0;
}

// Whether the tag at `at` is followed by its size, as every tag is.
bool FlvTagChecks(FileBytes& file, uint64_t at) {
  std::array<uint8_t, 11> h{};
  if (!file.Read(at, h) || !FlvTagHeader(h)) return false;
  const uint64_t size = 11 + uint64_t{Be24(h, 1)};
  std::array<uint8_t, 4> trailer{};
  return file.Read(at + size, trailer) && Be32(trailer, 0) == size;
}

// The tags from the header on, each followed by its size, the timestamps of each kind never going back.
// Their end; `broken`, where given, gets the tag a cut lies in (its size does not follow it), or the place
// a tag should start on a sector boundary; 0 when the tags simply end.
uint64_t FlvTags(FileBytes& file, uint64_t limit, uint64_t* broken) {
  std::array<uint8_t, 16> h{};
  if (!file.Read(0, std::span(h).first(9)) || !BytesEqual(h, 0, "FLV") || h[3] != 1) return 0;
  const uint64_t headerBytes = Be32(h, 5);
  if (headerBytes < 9 || headerBytes > 1024) return 0;
  // The header, then the first "previous tag size", which is 0.
  if (!file.Read(headerBytes, std::span(h).first(4)) || Be32(h, 0) != 0) return 0;
  const uint64_t ss = file.context().sectorSize();
  std::array<uint32_t, 32> lastTime{};
  uint64_t end = headerBytes + 4;
  for (uint64_t tags = 0; end < limit && tags < kMaxUnits; ++tags) {
    if (!file.Read(end, std::span(h).first(11))) break;
    const uint8_t type = h[0] & 0x1F;
    const uint32_t time = Be24(h, 4) | (uint32_t{h[7]} << 24);
    if (!FlvTagHeader(h) || time < lastTime[type]) {
      if (broken != nullptr && ss != 0 && end % ss == 0 && end + 11 <= file.MediumBytes()) *broken = end;
      break;
    }
    if (!FlvTagChecks(file, end)) {
      if (broken != nullptr) *broken = end;
      break;
    }
    lastTime[type] = time;
    end += 11 + uint64_t{Be24(h, 1)} + 4;
  }
  return std::min(end, limit);
}

uint64_t FlvWhole(FileBytes& file) {
  uint64_t broken = 0;
  const uint64_t n = FlvTags(file, k6GiB, &broken);
  return broken == 0 ? n : 0;
}

}  // namespace

const FramedFormat kFlvFraming = {11, FlvTagHeader, FlvTagBytes, FlvTagChecks, FlvWhole, {}, true};

uint64_t FlvLength(FileBytes& file, uint64_t limit) {
  return FlvTags(file, limit, nullptr);
}

uint64_t SwfLength(FileBytes& file, uint64_t limit) {
  std::array<uint8_t, 8> h{};
  if (!file.Read(0, h)) return 0;
  const uint64_t declared = Le32(h, 4);
  if (BytesEqual(h, 0, "FWS")) return declared >= 21 && declared <= limit ? declared : 0;
  if (!BytesEqual(h, 0, "CWS") || declared < 21 || declared > limit) return 0;
  // More output than the header said: not this file.
  return InflatedEnd(file, 8, limit, MAX_WBITS, declared);
}

namespace {

// The chunks RealMedia files hold.
bool IsRealMediaChunk(ByteSpan id) {
  for (std::string_view known : {".RMF", "PROP", "MDPR", "CONT", "DATA", "INDX", "RMMD", "RMJE"}) {
    if (BytesEqual(id, 0, known)) return true;
  }
  return false;
}

}  // namespace

uint64_t RealMediaLength(FileBytes& file, uint64_t limit) {
  std::array<uint8_t, 8> h{};
  uint64_t at = 0;
  for (uint64_t units = 0; at < limit && units < kMaxUnits; ++units) {
    if (!file.Read(at, h) || !IsRealMediaChunk(h) || (units == 0 && !BytesEqual(h, 0, ".RMF"))) break;
    const uint64_t size = Be32(h, 4);
    // The file header chunk is a few fields long; a larger one is no header.
    if (size < 8 || (units == 0 && size > 64)) break;
    if (BytesEqual(h, 0, "DATA")) {
      // Muxers get the data chunk's size wrong; its packets, each with its length, are what it holds.
      std::array<uint8_t, 10> d{};
      if (!file.Read(at + 8, d)) break;
      const uint32_t packets = Be32(d, 2);
      uint64_t p = at + 18;
      uint32_t n = 0;
      for (; n < packets && n < kMaxUnits && p < limit; ++n) {
        std::array<uint8_t, 4> packet{};
        if (!file.Read(p, packet) || Be16(packet, 0) > 1 || Be16(packet, 2) < 12) break;
        p += Be16(packet, 2);
      }
      if (n != packets || packets == 0) {
        at += size;
        continue;
      }
      at = p;
      // Some muxers close the data with eight zero bytes in place of an index.
      std::array<uint8_t, 8> close{};
      if (file.Read(at, close) && std::all_of(close.begin(), close.end(), [](uint8_t b) { return b == 0; }))
        return std::min(at + 8, limit);
      continue;
    }
    at += size;
  }
  return at == 0 ? 0 : std::min(at, limit);
}

uint64_t MxfLength(FileBytes& file, uint64_t limit) {
  std::array<uint8_t, 25> h{};
  uint64_t at = 0;
  for (uint64_t units = 0; at < limit && units < kMaxUnits; ++units) {
    if (!file.Read(at, std::span(h).first(17)) || !BytesEqual(h, 0, {0x06, 0x0E, 0x2B, 0x34})) break;
    // BER length: one byte below 0x80, else 0x80 + the count of bytes that follow (at most 8).
    uint64_t length = h[16];
    uint64_t lengthBytes = 1;
    if (length >= 0x80) {
      lengthBytes = 1 + (length & 0x7F);
      if (lengthBytes > 9 || !file.Read(at + 17, std::span(h).subspan(17, lengthBytes - 1))) break;
      length = 0;
      for (uint64_t i = 1; i < lengthBytes; ++i) length = (length << 8) | h[16 + i];
    }
    if (length > limit) break;
    at += 16 + lengthBytes + length;
  }
  return std::min(at, limit);
}

namespace {

// ---- SWF: an uncompressed ("FWS") file states its length at offset 4
// -----------------------------------------
uint64_t SwfHeaderLength(CarvingContext& ctx, ByteSpan header) {
  if (const uint64_t n = Walked(ctx, header, SwfLength, k256MiB); n != 0) return n;
  return ctx.sectorSize();
}

// ---- ASF (wmv, wma): the file size of the file properties object, unless it is a broadcast
// -----------------
uint64_t AsfLength(CarvingContext& ctx, ByteSpan header) {
  const uint32_t ss = ctx.sectorSize();
  static constexpr std::array<uint8_t, 16> kFileProperties = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                                              0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
  const std::string_view guid(reinterpret_cast<const char*>(kFileProperties.data()), kFileProperties.size());
  const size_t at = Find(header, guid, 30);
  if (at == npos || !Has(header, at, 92)) return ss;
  if ((Le32(header, at + 88) & 1) != 0) return ss;  // broadcast: the size is not known
  return std::min<uint64_t>(Le64(header, at + 40), k256MiB);
}

// ---- RealMedia: an empty final index chunk
// -------------------------------------------------------------------
uint64_t RealMediaIndexLength(CarvingContext& ctx, ByteSpan header) {
  if (const uint64_t n = Walked(ctx, header, RealMediaLength, k6GiB); n != 0) return n;
  constexpr std::string_view kEmptyIndex(
      "INDX\x00\x00\x00\x14\x00\x00\x00\x00\x00\x00\x00\x02\x00\x00\x00\x00", 20);
  Walk w(ctx, k6GiB);
  while (w.Read()) {
    const bool stopped = w.Stop();
    if (size_t at = Find(w.chunk(), kEmptyIndex); at != npos) return w.base() + at + kEmptyIndex.size();
    if (stopped) break;
  }
  return w.length();
}

}  // namespace

namespace {

uint64_t MeasureRealMedia(CarvingContext& ctx, uint32_t /*typeCode*/, ByteSpan header) {
  return RealMediaIndexLength(ctx, header);
}

uint64_t MeasureAsf(CarvingContext& ctx, uint32_t /*typeCode*/, ByteSpan header) {
  bool checked = false;
  if (const std::optional<uint64_t> n = AsfJoinedLength(ctx, header, checked)) {
    ctx.outcome().checked = checked;
    return *n;
  }
  return AsfLength(ctx, header);
}

uint64_t MeasureSwf(CarvingContext& ctx, uint32_t /*typeCode*/, ByteSpan header) {
  return SwfHeaderLength(ctx, header);
}

// Tags that break off where a cut lies are joined where the tags go on (the tag the cut runs through is
// listed damaged where more than one split would fit it).
uint64_t MeasureFlv(CarvingContext& ctx, uint32_t /*typeCode*/, ByteSpan header) {
  uint64_t broken = 0;
  uint64_t n = 0;
  {
    FileBytes file(ctx, header);
    n = FlvTags(file, k6GiB, &broken);
  }
  if (broken != 0) {
    if (const std::optional<Stitched> joined = StitchFramed(ctx, header, broken, kFlvFraming))
      return Joined(ctx, *joined);
    ctx.outcome().intact = false;
  }
  if (n != 0) return n;
  return PlainWalk(ctx, k6GiB);
}

uint64_t MeasureMatroska(CarvingContext& ctx, uint32_t /*typeCode*/, ByteSpan header) {
  if (const uint64_t n = Walked(ctx, header, MatroskaLength, k64GiB); n != 0) return n;
  return PlainWalk(ctx, k64GiB);
}

uint64_t MeasureMxf(CarvingContext& ctx, uint32_t /*typeCode*/, ByteSpan header) {
  if (const uint64_t n = Walked(ctx, header, MxfLength, k6GiB); n != 0) return n;
  return PlainWalk(ctx, k6GiB);
}

constexpr HeaderTest kRealMediaHeader = Lead(MatchRealMedia, '.');
constexpr HeaderTest kAsfHeader = Lead(MatchAsf, 0x30);
constexpr HeaderTest kSwfHeader = Lead(MatchSwf, 'C', 'F');
constexpr HeaderTest kFlvHeader = Lead(MatchFlv, 'F');
constexpr HeaderTest kMatroskaHeader = Lead(MatchMatroska, 0x1A);
constexpr HeaderTest kMxfHeader = Lead(MatchMxf, 0x06);

constexpr CarvingTypeRow kRows[] = {
    {"rmvb", kRealMedia, &kRealMediaHeader, MeasureRealMedia},
    {"rm", kRealMedia, &kRealMediaHeader, MeasureRealMedia},
    {"wmv", kAsf, &kAsfHeader, MeasureAsf, true},
    {"asf", kAsf, &kAsfHeader, MeasureAsf, true},
    {"wma", kAsf, &kAsfHeader, MeasureAsf, true},
    {"swf", kSwf, &kSwfHeader, MeasureSwf, true},
    {"flv", kFlv, &kFlvHeader, MeasureFlv},
    {"mkv", kMkv, &kMatroskaHeader, MeasureMatroska},
    {"mxf", kMxf, &kMxfHeader, MeasureMxf},
};

}  // namespace

std::span<const CarvingTypeRow> VideoFormats() {
  return kRows;
}

}  // namespace snapsave
