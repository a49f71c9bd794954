#include "filetypes/header_tests.h"

#include <algorithm>
#include <new>
#include <optional>
#include <string_view>
#include <vector>

#include "filetypes/carving_context.h"
#include "filetypes/mpeg_audio.h"
#include "storage/sector_reader.h"

namespace snapsave {
namespace {

using namespace typecode;

constexpr HeaderTest Lead(uint32_t (*match)(const CarvingContext&, ByteSpan), uint8_t lead) {
  return {match, 1, {lead, 0}};
}
constexpr HeaderTest Lead(uint32_t (*match)(const CarvingContext&, ByteSpan), uint8_t a, uint8_t b) {
  return {match, 2, {a, b}};
}
constexpr HeaderTest AnyLead(uint32_t (*match)(const CarvingContext&, ByteSpan)) {
  return {match, 0, {}};
}

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

// ---- MPEG program stream (pack + system header) or elementary video stream (sequence header + GOP)
// ----------
uint32_t MatchMpeg(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 16) return kNoType;
  const size_t window = std::min<size_t>(b.size(), 32);
  auto startCodeWithin = [&](uint8_t code) {
    for (size_t i = 0; i + 4 <= window; ++i) {
      if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1 && b[i + 3] == code) return true;
    }
    return false;
  };
  if (BytesEqual(b, 0, {0x00, 0x00, 0x01, 0xBA}) && startCodeWithin(0xBB)) return kMpeg;
  if (BytesEqual(b, 0, {0x00, 0x00, 0x01, 0xB3}) && startCodeWithin(0xB8)) return kMpeg;
  return kNoType;
}

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

// ---- RIFF AVI
// --------------------------------------------------------------------------------------------------
uint32_t MatchAvi(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 16) return kNoType;
  return BytesEqual(b, 0, "RIFF") && BytesEqual(b, 8, "AVI ") && BytesEqual(b, 12, "LIST") ? kAvi : kNoType;
}

// ---- FLV: version 1 and a 9-byte header
// ------------------------------------------------------------------------
uint32_t MatchFlv(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 16) return kNoType;
  return BytesEqual(b, 0, {'F', 'L', 'V', 0x01}) && BytesEqual(b, 5, {0, 0, 0, 9}) ? kFlv : kNoType;
}

// ---- 3GPP
// ------------------------------------------------------------------------------------------------------
uint32_t Match3gp(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (!IsFileTypeBox(b)) return kNoType;
  return BytesEqual(b, 8, "3gp") || BytesEqual(b, 8, "3g2") ? k3gp : kNoType;
}

// ---- Matroska / WebM: EBML magic
// -------------------------------------------------------------------------------
uint32_t MatchMatroska(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 16) return kNoType;
  return BytesEqual(b, 0, {0x1A, 0x45, 0xDF, 0xA3}) ? kMkv : kNoType;
}

// ---- MPEG transport stream (188-byte packets)
// ------------------------------------------------------------------ A stream has sync bytes every 188 bytes,
// so nearly every sector inside one looks like a start. What tells a real start: 22 packets in a row from
// here on, no packet grid running into this sector from the one before, and not lying inside a stream carved
// already.
constexpr size_t kTsPacket = 188;
constexpr uint8_t kTsSync = 0x47;
constexpr size_t kTsProbeBytes = 4096;
constexpr size_t kTsProbePackets = 22;

// A grid of transport packets, the sync byte at `syncAt` of each: `probePackets` of them in a row from the
// context's sector on (read through it); with `fresh`, also no grid running into the sector from the one
// before, and the sector inside no stream carved already.
struct PacketGrid {
  size_t packet;
  size_t syncAt;
  size_t probePackets;
};

bool GridRunsFrom(const CarvingContext& ctx, const PacketGrid& grid, bool fresh) {
  const uint32_t sectorSize = ctx.sectorSize();
  if (!UsableSectorSize(sectorSize) || ctx.source() == nullptr) return false;
  const auto count = static_cast<uint32_t>((kTsProbeBytes + sectorSize - 1) / sectorSize);
  std::vector<uint8_t> block;
  if (!AllocateZeroed(block, size_t{count} * sectorSize)) return false;
  if (!ctx.ReadSectors(block, ctx.currentSector(), count)) return false;
  for (size_t p = 0; p < grid.probePackets; ++p) {
    if (block[grid.syncAt + p * grid.packet] != kTsSync) return false;
  }
  if (!fresh) return true;
  const uint64_t current = ctx.currentSector();
  // Sector 0 has nothing before it that could carry the grid.
  if (current > 0) {
    if (!ctx.ReadSectors(block, current - 1, 1)) return false;
    for (size_t k = 1; k * grid.packet <= sectorSize; ++k) {
      if (block[sectorSize - k * grid.packet + grid.syncAt] == kTsSync) return false;
    }
  }
  return !ctx.InTransportStreamRange(current);
}

uint32_t MatchTransportStream(const CarvingContext& ctx, ByteSpan b) {
  if (b.size() < kTsPacket || b[0] != kTsSync) return kNoType;
  if (b[1] == 0 && b[2] == 0 && b[3] == 0) return kNoType;
  for (size_t off = kTsPacket; off < b.size(); off += kTsPacket) {
    if (b[off] != kTsSync) return kNoType;
  }

  return GridRunsFrom(ctx, {kTsPacket, 0, kTsProbePackets}, ctx.streamStart()) ? kTs : kNoType;
}

// ---- Timestamped transport stream (192-byte packets, as camcorders write)
// -------------------------------------- The first packet carries the program association section; its 4-byte
// arrival stamp is zero at a true start. A non-zero stamp is accepted only when no such stream is being
// carved, else every PAT repeat would split it.
constexpr size_t kM2tsPacket = 192;
constexpr size_t kM2tsProbePackets = 21;

// A grid of 192-byte packets (a 4-byte timestamp, then a transport packet) from this sector on, whatever its
// first table: 21 packets in a row, no grid running into the sector from the one before, and not inside a
// stream carved already.
bool IsM2tsGridStart(const CarvingContext& ctx, ByteSpan b) {
  if (b.size() < 512 || b[4] != kTsSync || b[4 + kM2tsPacket] != kTsSync || b[4 + 2 * kM2tsPacket] != kTsSync)
    return false;
  return GridRunsFrom(ctx, {kM2tsPacket, 4, kM2tsProbePackets}, true);
}

uint32_t MatchTimestampedTs(const CarvingContext& ctx, ByteSpan b) {
  if (b.size() < 16) return kNoType;
  if (BytesEqual(b, 8, {0x00, 0x00, 0xB0, 0x11, 0x00, 0x00, 0xC1, 0x00})) {
    if (Le32(b, 0) == 0 || !ctx.transportStreamInProgress()) return kMts;
    return kNoType;
  }
  return IsM2tsGridStart(ctx, b) ? kMts : kNoType;
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

// ---- MP3 with an ID3v2 tag: version bytes below FF, no undefined flags, a synchsafe size
// ------------------------
// ---- MPEG audio without a tag: a run of frames
// ----------------------------------------------------------------- A lone FF Fx in data is common; four
// frames of one stream back to back are not. The second frame is looked for in the sector itself before
// anything more is read.
constexpr uint32_t kRunFrames = 4;
constexpr size_t kRunProbeBytes = 16384;

std::optional<MpegAudioFrame> FrameRunAt(const CarvingContext& ctx, ByteSpan b) {
  const std::optional<MpegAudioFrame> first = ParseMpegAudioHeader(b);
  if (!first || first->layer == 1) return std::nullopt;
  if (first->length + 4 <= b.size()) {
    const auto second = ParseMpegAudioHeader(b.subspan(first->length));
    if (!second || !second->SameStream(*first)) return std::nullopt;
  }
  // As much of the probe as the medium holds: a short song near its end is still one.
  const std::vector<uint8_t> block = ReadAhead(ctx, kRunProbeBytes);
  if (block.empty()) return std::nullopt;
  size_t at = 0;
  for (uint32_t n = 0; n < kRunFrames; ++n) {
    const auto frame = ParseMpegAudioHeader(ByteSpan(block).subspan(std::min(at, block.size())));
    if (!frame || !frame->SameStream(*first)) return std::nullopt;
    at += frame->length;
  }
  return first;
}

uint32_t MatchMp3(const CarvingContext& ctx, ByteSpan b) {
  if (!b.empty() && b[0] == 0xFF) {
    const std::optional<MpegAudioFrame> run = FrameRunAt(ctx, b);
    return run && run->layer == 3 ? kMp3 : kNoType;
  }
  if (b.size() < 10 || !BytesEqual(b, 0, "ID3")) return kNoType;
  if (b[3] == 0xFF || b[4] == 0xFF || (b[5] & 0x1F) != 0) return kNoType;
  for (size_t i = 6; i < 10; ++i) {
    if (b[i] >= 0x80) return kNoType;
  }
  return kMp3;
}

// ---- Standard MIDI file: a 6-byte header chunk directly followed by the first track
// ----------------------------
uint32_t MatchMidi(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 16) return kNoType;
  return BytesEqual(b, 0, "MThd") && BytesEqual(b, 4, {0, 0, 0, 6}) && BytesEqual(b, 14, "MTrk") ? kMidi
                                                                                                 : kNoType;
}

// ---- APE audio
// ---------------------------------------------------------------------------------------------------
uint32_t MatchApe(const CarvingContext& /*ctx*/, ByteSpan b) {
  return BytesEqual(b, 0, "MAC ") ? kApe : kNoType;
}

// ---- RIFF WAVE
// -------------------------------------------------------------------------------------------------
uint32_t MatchWav(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 16) return kNoType;
  return BytesEqual(b, 0, "RIFF") && BytesEqual(b, 8, "WAVE") && BytesEqual(b, 12, "fmt ") ? kWav : kNoType;
}

// ---- WebP (RIFF), AIFF (IFF), AAC in ADTS frames, AMR
// ---------------------------------------------------------
uint32_t MatchWebp(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 16) return kNoType;
  return BytesEqual(b, 0, "RIFF") && BytesEqual(b, 8, "WEBPVP8") ? kWebp : kNoType;
}

uint32_t MatchAiff(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 16 || !BytesEqual(b, 0, "FORM")) return kNoType;
  if (!BytesEqual(b, 8, "AIFF") && !BytesEqual(b, 8, "AIFC")) return kNoType;
  return BytesEqual(b, 12, "COMM") || BytesEqual(b, 12, "FVER") ? kAiff : kNoType;
}

// Four frames in a row that agree on the stream's fixed fields.
constexpr size_t kAdtsProbeFrames = 4;

uint32_t MatchAdts(const CarvingContext& ctx, ByteSpan b) {
  if (b.size() < 7 || !IsAdtsFrameHeader(b, 0)) return kNoType;
  size_t at = AdtsFrameLength(b, 0);
  if (at == 0) return kNoType;
  const std::vector<uint8_t> block = ReadAhead(ctx, kAdtsProbeFrames * kMaxAdtsFrame);
  for (size_t n = 1; n < kAdtsProbeFrames; ++n) {
    if (!Has(block, at, 7) || !SameAdtsStream(b, block, at)) return kNoType;
    const size_t length = AdtsFrameLength(block, at);
    if (length == 0) return kNoType;
    at += length;
  }
  return kAac;
}

uint32_t MatchAmr(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 16) return kNoType;
  const size_t first = BytesEqual(b, 0, "#!AMR\n") ? 6 : BytesEqual(b, 0, "#!AMR-WB\n") ? 9 : 0;
  return first != 0 && IsAmrFrameHeader(b[first], first == 9) ? kAmr : kNoType;
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

// ---- MPEG audio layer II: a run of frames, as for tag-less MP3
// ------------------------------------------------------------------
uint32_t MatchMp2(const CarvingContext& ctx, ByteSpan b) {
  const std::optional<MpegAudioFrame> run = FrameRunAt(ctx, b);
  return run && run->layer == 2 ? kMp2 : kNoType;
}

// ---- SMAF ringtone
// ---------------------------------------------------------------------------------------------
uint32_t MatchMmf(const CarvingContext& /*ctx*/, ByteSpan b) {
  return BytesEqual(b, 0, "MMMD") ? kMmf : kNoType;
}

// ---- Flash authoring file: a compound document whose directory holds "Contents" and no Office stream
// --------
uint32_t ClassifyCompoundDocument(const CarvingContext& ctx, ByteSpan header);

uint32_t MatchFla(const CarvingContext& ctx, ByteSpan b) {
  if (!BytesEqual(b, 0, {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1})) return kNoType;
  return ClassifyCompoundDocument(ctx, b) == kFla ? kFla : kNoType;
}

// ---- GIF: "GIF" + two digits + a lower-case letter (87a, 89a)
// --------------------------------------------------
uint32_t MatchGif(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 8 || !BytesEqual(b, 0, "GIF")) return kNoType;
  auto digit = [](uint8_t c) { return c >= '0' && c <= '9'; };
  return digit(b[3]) && digit(b[4]) && b[5] >= 'a' && b[5] <= 'z' ? kGif : kNoType;
}

// ---- BMP: reserved words zero, an info header of a known version (40, 52, 56, 108 or 124 bytes), the pixel
// data behind it and inside the file
// ------
uint32_t MatchBmp(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 40) return kNoType;
  if (!BytesEqual(b, 0, "BM") && !BytesEqual(b, 0, "BA")) return kNoType;
  if (Le16(b, 6) != 0 || Le16(b, 8) != 0) return kNoType;
  const uint32_t info = Le32(b, 14);
  if (info != 40 && info != 52 && info != 56 && info != 108 && info != 124) return kNoType;
  if (info == 40) return kBmp;  // the classic header, as it always was
  const uint32_t size = Le32(b, 2);
  const uint32_t pixels = Le32(b, 10);
  return pixels >= 14 + info && pixels < size ? kBmp : kNoType;
}

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

// ---- PNG
// -------------------------------------------------------------------------------------------------------
uint32_t MatchPng(const CarvingContext& /*ctx*/, ByteSpan b) {
  return BytesEqual(b, 0, {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A}) ? kPng : kNoType;
}

// ---- Ogg: the first page of a stream (it begins one, at granule and sequence 0); FLAC: its STREAMINFO block
// -----------
uint32_t MatchOgg(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 28 || !BytesEqual(b, 0, "OggS") || b[4] != 0 || (b[5] & 0x02) == 0 || (b[5] & ~0x07u) != 0)
    return kNoType;
  if (Le32(b, 6) != 0 || Le32(b, 10) != 0 || Le32(b, 18) != 0 || b[26] == 0) return kNoType;
  // The first packet names the codec; Opus files have an extension of their own.
  return BytesEqual(b, 27 + size_t{b[26]}, "OpusHead") ? kOpus : kOgg;
}

uint32_t MatchFlac(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 42 || !BytesEqual(b, 0, "fLaC") || (b[4] & 0x7F) != 0 || (Be32(b, 4) & 0xFFFFFF) != 34)
    return kNoType;
  const uint32_t minBlock = Be16(b, 8), maxBlock = Be16(b, 10);
  const uint32_t sampleRate = Be32(b, 18) >> 12;
  return minBlock >= 16 && maxBlock >= minBlock && sampleRate != 0 ? kFlac : kNoType;
}

// ---- Photoshop
// -------------------------------------------------------------------------------------------------
uint32_t MatchPsd(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 40) return kNoType;
  return BytesEqual(b, 0, "8BPS") ? kPsd : kNoType;
}

// ---- TIFF, either byte order, and the camera RAW formats built on it
// -----------------------------------------------------------------------------------
constexpr size_t kTiffProbeBytes = 4096;

// A RAW file's first IFD names it: a DNG version, or the maker together with what no edited TIFF keeps (the
// sub-IFDs that hold the sensor data, or a maker's own compression). Anything else stays a TIFF.
uint32_t ClassifyTiffByFirstIfd(ByteSpan p, bool big) {
  const auto u16 = [&](size_t off) { return big ? Be16(p, off) : Le16(p, off); };
  const auto u32 = [&](size_t off) { return big ? Be32(p, off) : Le32(p, off); };
  if (p.size() < 8) return kTiff;
  const uint64_t ifd = u32(4);
  if (ifd < 8 || ifd + 2 > p.size()) return kTiff;
  std::string_view make, model;
  bool rawData = false;
  const uint32_t count = u16(static_cast<size_t>(ifd));
  for (uint32_t i = 0; i < count && ifd + 2 + (uint64_t{i} + 1) * 12 <= p.size(); ++i) {
    const auto e = static_cast<size_t>(ifd + 2 + uint64_t{i} * 12);
    const uint16_t tag = u16(e), type = u16(e + 2);
    const uint32_t n = u32(e + 4);
    if (tag == 0xC612) return kDng;
    if (tag == 330) rawData = true;
    if (tag == 259 && type == 3 && u16(e + 8) >= 32767) rawData = true;
    if ((tag == 0x10F || tag == 0x110) && type == 2 && n > 0) {
      const uint64_t at = n <= 4 ? e + 8 : u32(e + 8);
      if (at >= p.size() || n > p.size() - at) continue;
      std::string_view text(reinterpret_cast<const char*>(p.data() + at), n);
      text = text.substr(0, text.find('\0'));
      (tag == 0x10F ? make : model) = text;
    }
  }
  if (!rawData) return kTiff;
  if (make.starts_with("NIKON")) return kNef;
  if (make.starts_with("SONY")) return model == "DSC-R1" ? kSr2 : kArw;
  if (make.starts_with("PENTAX") || make.starts_with("RICOH")) return kPef;
  return kTiff;
}

uint32_t MatchTiff(const CarvingContext& ctx, ByteSpan b) {
  if (b.size() < 8) return kNoType;
  const uint32_t firstIfd = b[0] == 'M' ? Be32(b, 4) : Le32(b, 4);
  // Olympus and Panasonic change the magic number, not the layout.
  if ((BytesEqual(b, 0, "IIRO") || BytesEqual(b, 0, "IIRS") || BytesEqual(b, 0, "MMOR")) && firstIfd >= 8)
    return kOrf;
  if (BytesEqual(b, 0, {'I', 'I', 'U', 0x00}) && firstIfd >= 8) return kRw2;
  const bool big = BytesEqual(b, 0, {'M', 'M', 0x00, 0x2A});
  if (!big && !BytesEqual(b, 0, {'I', 'I', 0x2A, 0x00})) return kNoType;
  if (!big && b.size() >= 11 && BytesEqual(b, 8, "CR") && b[10] == 2) return kCr2;
  const std::vector<uint8_t> probe = ReadAhead(ctx, kTiffProbeBytes);
  return ClassifyTiffByFirstIfd(probe.empty() ? b : ByteSpan(probe), big);
}

// ---- ICO: 00 00 01 00 is common in raw data, so the directory must describe images packed right behind it
// ------
uint32_t MatchIco(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 16 || !BytesEqual(b, 0, {0x00, 0x00, 0x01, 0x00})) return kNoType;
  const uint16_t count = Le16(b, 4);
  if (count == 0) return kNoType;
  const size_t directoryEnd = 6 + size_t{16} * count;
  if (directoryEnd > b.size()) return kNoType;
  uint64_t expectedOffset = directoryEnd;
  for (size_t i = 0; i < count; ++i) {
    const size_t entry = 6 + 16 * i;
    if (b[entry + 3] != 0) return kNoType;
    if (Le32(b, entry + 12) != expectedOffset) return kNoType;
    expectedOffset += Le32(b, entry + 8);
  }
  return kIco;
}

// ---- Compound document (doc, xls, ppt, other OLE files)
// -------------------------------------------------------- Which application wrote it shows in the first
// stream (stored right behind the header), in the root entry's class id, or in the stream names of the first
// directory sector. Anything unreadable stays a plain "ole".
constexpr uint8_t kWordClassId[16] = {0x06, 0x09, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                      0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
constexpr uint8_t kExcelClassId[16] = {0x20, 0x08, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                       0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
constexpr uint8_t kExcel5ClassId[16] = {0x10, 0x08, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                        0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
constexpr uint8_t kPowerPointClassId[16] = {0x10, 0x8D, 0x81, 0x64, 0x9B, 0x4F, 0xCF, 0x11,
                                            0x86, 0xEA, 0x00, 0xAA, 0x00, 0xB9, 0x29, 0xE8};
constexpr uint8_t kOutlookMessageClassId[16] = {0x0B, 0x0D, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
constexpr size_t kDirectoryEntryBytes = 128;
constexpr size_t kClassIdOffset = 80;

bool ClassIdIs(ByteSpan entry, const uint8_t (&id)[16]) {
  return Has(entry, kClassIdOffset, 16) && std::equal(id, id + 16, entry.begin() + kClassIdOffset);
}

// Whether the UTF-16LE name at `off` begins with the ASCII `prefix`.
bool Utf16NameStartsWith(ByteSpan b, size_t off, std::string_view prefix) {
  if (!Has(b, off, prefix.size() * 2)) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (Le16(b, off + 2 * i) != static_cast<uint8_t>(prefix[i])) return false;
  }
  return true;
}

uint32_t ClassifyCompoundDocument(const CarvingContext& ctx, ByteSpan header) {
  const uint32_t sectorSize = ctx.sectorSize();
  const uint64_t current = ctx.currentSector();
  std::vector<uint8_t> sector;
  if (!UsableSectorSize(sectorSize) || ctx.source() == nullptr) return kOle;
  if (!AllocateZeroed(sector, sectorSize)) return kOle;
  if (current == UINT64_MAX || !ctx.ReadSectors(sector, current + 1, 1)) return kOle;
  if (Le16(sector, 0) == 0xA5EC) return kDoc;  // Word's FIB magic
  if (Le16(sector, 0) == 0x0809 && Le16(sector, 2) == 0x0010 && Le16(sector, 4) == 0x0600)
    return kXls;  // BOF

  const uint64_t directorySector = Le32(header, 48);
  if (current > UINT64_MAX - 1 - directorySector) return kOle;
  if (!ctx.ReadSectors(sector, current + 1 + directorySector, 1)) return kOle;
  const ByteSpan root(sector.data(), std::min<size_t>(sector.size(), kDirectoryEntryBytes));
  if (ClassIdIs(root, kWordClassId)) return kDoc;
  if (ClassIdIs(root, kExcelClassId) || ClassIdIs(root, kExcel5ClassId)) return kXls;
  if (ClassIdIs(root, kPowerPointClassId)) return kPpt;

  if (ClassIdIs(root, kOutlookMessageClassId)) return kMsg;

  bool flash = false;
  for (size_t i = 0; i < sectorSize / kDirectoryEntryBytes; ++i) {
    const size_t entry = i * kDirectoryEntryBytes;
    // An Outlook message keeps its properties in streams named by property tag.
    if (Utf16NameStartsWith(sector, entry, "__substg1.0_") ||
        Utf16NameStartsWith(sector, entry, "__properties_version1.0"))
      return kMsg;
    if (Utf16NameStartsWith(sector, entry, "WordDocument")) return kDoc;
    if (Utf16NameStartsWith(sector, entry, "Workbook")) return kXls;
    if (Utf16NameStartsWith(sector, entry, "PowerPoint Document")) return kPpt;
    // A Flash source keeps its document in "Contents" beside its pages and symbols.
    flash = flash || Utf16NameStartsWith(sector, entry, "Contents");
  }
  return flash ? kFla : kOle;
}

uint32_t MatchCompoundDocument(const CarvingContext& ctx, ByteSpan b) {
  if (!BytesEqual(b, 0, {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1})) return kNoType;
  return ClassifyCompoundDocument(ctx, b);
}

// ---- Office Open XML: a zip whose member names show the application
// -------------------------------------------- The members are read from the medium, at most 20 sectors, 4 at
// a time into a window that keeps the last 4 bytes of the previous read in front so a signature split by a
// read is still seen.
constexpr size_t kOoxmlSectorsPerRead = 4;
constexpr size_t kOoxmlMaxReads = 5;
constexpr size_t kOoxmlCarry = 4;

uint32_t MemberNameType(ByteSpan window, size_t nameOffset) {
  if (BytesEqual(window, nameOffset, "word")) return kDocx;
  if (BytesEqual(window, nameOffset, "ppt")) return kPptx;
  if (BytesEqual(window, nameOffset, "xl")) return kXlsx;
  return kNoType;
}

uint32_t ScanOoxmlWindow(ByteSpan window, bool& ended) {
  size_t end = window.size();  // the first end-of-central-directory record closes the search
  for (size_t p = 0; p + 4 <= window.size(); ++p) {
    if (BytesEqual(window, p, {'P', 'K', 0x05, 0x06})) {
      end = p;
      ended = true;  // and the reads after this window: what follows is another file's
      break;
    }
  }
  for (size_t p = 0; p < end; ++p) {
    if (window[p] != 'P') continue;
    uint32_t type = kNoType;
    if (BytesEqual(window, p, {'P', 'K', 0x03, 0x04})) {
      type = MemberNameType(window, p + 30);
    } else if (BytesEqual(window, p, {'P', 'K', 0x01, 0x02})) {
      type = MemberNameType(window, p + 46);
    }
    if (type != kNoType) return type;
  }
  return kNoType;
}

uint32_t MatchOfficeOpenXml(const CarvingContext& ctx, ByteSpan b) {
  if (b.size() < 31) return kNoType;
  if (!BytesEqual(b, 0, {'P', 'K', 0x03, 0x04}) && !BytesEqual(b, 31, "[Content_Types].xml")) return kNoType;

  const uint32_t sectorSize = ctx.sectorSize();
  if (!UsableSectorSize(sectorSize) || ctx.source() == nullptr) return kNoType;
  std::vector<uint8_t> window;
  if (!AllocateZeroed(window, kOoxmlCarry + kOoxmlSectorsPerRead * sectorSize)) return kNoType;
  const std::span<uint8_t> body = std::span<uint8_t>(window).subspan(kOoxmlCarry);
  const uint64_t total = ctx.source()->TotalSectors();

  uint64_t sector = ctx.currentSector();
  for (size_t read = 0; read < kOoxmlMaxReads && sector < total; ++read) {
    // A small file in the last sectors of the medium still gets the sectors that exist.
    const auto count = static_cast<uint32_t>(std::min<uint64_t>(kOoxmlSectorsPerRead, total - sector));
    std::fill(body.begin(), body.end(), uint8_t{0});
    if (!ctx.ReadSectors(body, sector, count)) break;
    bool ended = false;
    if (uint32_t type = ScanOoxmlWindow(window, ended); type != kNoType || ended) return type;
    std::copy(window.end() - kOoxmlCarry, window.end(), window.begin());
    sector += count;
  }
  return kNoType;
}

// ---- PDF
// -------------------------------------------------------------------------------------------------------
uint32_t MatchPdf(const CarvingContext& /*ctx*/, ByteSpan b) {
  return BytesEqual(b, 0, "%PDF-") ? kPdf : kNoType;
}

// ---- gzip: deflate, no flags or only a file name, best or fastest compression, a known operating system
// --------
uint32_t MatchGzip(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 16 || !BytesEqual(b, 0, {0x1F, 0x8B, 0x08})) return kNoType;
  if (b[3] != 0 && b[3] != 8) return kNoType;
  if (b[8] != 2 && b[8] != 4) return kNoType;
  return b[9] <= 13 || b[9] == 0xFF ? kGzip : kNoType;
}

// ---- bzip2: block size digit and the first block's magic (or the end-of-stream magic of an empty stream);
// xz: the stream header's flags, of which only the check type may be set
uint32_t MatchBzip2(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 10 || !BytesEqual(b, 0, "BZh") || b[3] < '1' || b[3] > '9') return kNoType;
  return BytesEqual(b, 4, {0x31, 0x41, 0x59, 0x26, 0x53, 0x59}) ||
                 BytesEqual(b, 4, {0x17, 0x72, 0x45, 0x38, 0x50, 0x90})
             ? kBz2
             : kNoType;
}

uint32_t MatchXz(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 12 || !BytesEqual(b, 0, {0xFD, '7', 'z', 'X', 'Z', 0x00}) || b[6] != 0) return kNoType;
  return b[7] == 0x00 || b[7] == 0x01 || b[7] == 0x04 || b[7] == 0x0A ? kXz : kNoType;
}

// ---- 7z, zip, rar, cab
// -----------------------------------------------------------------------------------------
uint32_t Match7z(const CarvingContext& /*ctx*/, ByteSpan b) {
  return BytesEqual(b, 0, {0x37, 0x7A, 0xBC, 0xAF, 0x27}) ? k7z : kNoType;
}

// OpenDocument and EPUB files start with a stored "mimetype" member that names them.
uint32_t MatchZip(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 48 || !BytesEqual(b, 0, {'P', 'K', 0x03, 0x04})) return kNoType;
  if (Le16(b, 26) != 8 || !BytesEqual(b, 30, "mimetype")) return kZip;
  const size_t content = 38 + size_t{Le16(b, 28)};
  static constexpr std::pair<std::string_view, uint32_t> kKinds[] = {
      {"application/vnd.oasis.opendocument.text", kOdt},
      {"application/vnd.oasis.opendocument.spreadsheet", kOds},
      {"application/vnd.oasis.opendocument.presentation", kOdp},
      {"application/vnd.oasis.opendocument.graphics", kOdg},
      {"application/epub+zip", kEpub}};
  for (const auto& [mime, code] : kKinds) {
    // The exact type: "...text-template" and the like stay plain ZIP.
    if (BytesEqual(b, content, mime) && Le32(b, 18) == mime.size()) return code;
  }
  return kZip;
}

uint32_t MatchRar(const CarvingContext& /*ctx*/, ByteSpan b) {
  return BytesEqual(b, 0, {'R', 'a', 'r', '!', 0x1A, 0x07, 0x00}) ? kRar : kNoType;
}

uint32_t MatchCab(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 36) return kNoType;
  return BytesEqual(b, 0, "MSCF") ? kCab : kNoType;
}

// ---- PE executables: the file header's characteristics tell driver, library and program apart
// ----------------
constexpr uint32_t kMaxPeHeaderOffset =
    488;  // "PE\0\0" and the characteristics word stay in the first sector
constexpr uint16_t kImageExecutable = 0x0002;
constexpr uint16_t kImageSystem = 0x1000;
constexpr uint16_t kImageDll = 0x2000;

uint32_t MatchExecutable(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 512 || !BytesEqual(b, 0, "MZ")) return kNoType;
  const uint32_t peOffset = Le32(b, 60);
  if (peOffset > kMaxPeHeaderOffset || !BytesEqual(b, peOffset, {'P', 'E', 0, 0})) return kNoType;
  const uint16_t characteristics = Le16(b, size_t{peOffset} + 22);
  if ((characteristics & kImageExecutable) == 0) return kNoType;
  if ((characteristics & kImageSystem) != 0) return kSys;
  if ((characteristics & kImageDll) != 0) return kDll;
  return kExe;
}

// ---- Fujifilm RAF
uint32_t MatchRaf(const CarvingContext& /*ctx*/, ByteSpan b) {
  return b.size() >= 108 && BytesEqual(b, 0, "FUJIFILMCCD-RAW ") ? kRaf : kNoType;
}

// ---- Ghost image, SQLite, Outlook Express dbx, Outlook pst
// -----------------------------------------------------
uint32_t MatchGhost(const CarvingContext& /*ctx*/, ByteSpan b) {
  return BytesEqual(b, 0, {0xFE, 0xEF, 0x00, 0x00}) ? kGho : kNoType;
}

uint32_t MatchSqlite(const CarvingContext& /*ctx*/, ByteSpan b) {
  return BytesEqual(b, 0, std::string_view("SQLite format 3\0", 16)) ? kSqlite : kNoType;
}

uint32_t MatchDbx(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 16) return kNoType;
  return BytesEqual(b, 0, {0xCF, 0xAD, 0x12, 0xFE}) ? kDbx : kNoType;
}

uint32_t MatchPst(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 16) return kNoType;
  return BytesEqual(b, 0, "!BDN") && BytesEqual(b, 8, "SM") ? kPst : kNoType;
}

// ---- TrueType: a plausible table directory followed by a 1.0 version number
// -------------------------------------
uint32_t MatchTrueType(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 16 || !BytesEqual(b, 0, {0x00, 0x01, 0x00, 0x00})) return kNoType;
  const uint16_t tables = Be16(b, 4);
  if (tables == 0 || Le16(b, 6) == 0 || Le16(b, 8) == 0 || Le16(b, 10) == 0) return kNoType;
  const size_t behind = 12 + size_t{16} * tables;
  if (behind + 4 > b.size()) return kNoType;
  return BytesEqual(b, behind, {0x00, 0x01, 0x00, 0x00}) ? kTtf : kNoType;
}

}  // namespace

const HeaderTest kMpegHeader = Lead(MatchMpeg, 0x00);
const HeaderTest kMp4Header = AnyLead(MatchMp4);
const HeaderTest kRealMediaHeader = Lead(MatchRealMedia, '.');
const HeaderTest kAsfHeader = Lead(MatchAsf, 0x30);
const HeaderTest kSwfHeader = Lead(MatchSwf, 'C', 'F');
const HeaderTest kAviHeader = Lead(MatchAvi, 'R');
const HeaderTest kFlvHeader = Lead(MatchFlv, 'F');
const HeaderTest k3gpHeader = AnyLead(Match3gp);
const HeaderTest kMatroskaHeader = Lead(MatchMatroska, 0x1A);
const HeaderTest kTransportStreamHeader = Lead(MatchTransportStream, kTsSync);
const HeaderTest kTimestampedTsHeader = AnyLead(MatchTimestampedTs);
const HeaderTest kMxfHeader = Lead(MatchMxf, 0x06);
const HeaderTest kMp3Header = Lead(MatchMp3, 'I', 0xFF);
const HeaderTest kMidiHeader = Lead(MatchMidi, 'M');
const HeaderTest kApeHeader = Lead(MatchApe, 'M');
const HeaderTest kWavHeader = Lead(MatchWav, 'R');
const HeaderTest kWebpHeader = Lead(MatchWebp, 'R');
const HeaderTest kAiffHeader = Lead(MatchAiff, 'F');
const HeaderTest kAdtsHeader = Lead(MatchAdts, 0xFF);
const HeaderTest kAmrHeader = Lead(MatchAmr, '#');
const HeaderTest kMovHeader = AnyLead(MatchMov);
const HeaderTest kMp2Header = Lead(MatchMp2, 0xFF);
const HeaderTest kMmfHeader = Lead(MatchMmf, 'M');
const HeaderTest kOggHeader = Lead(MatchOgg, 'O');
const HeaderTest kFlacHeader = Lead(MatchFlac, 'f');
const HeaderTest kFlaHeader = Lead(MatchFla, 0xD0);
const HeaderTest kGifHeader = Lead(MatchGif, 'G');
const HeaderTest kBmpHeader = Lead(MatchBmp, 'B');
const HeaderTest kJpegHeader = Lead(MatchJpeg, 0xFF);
const HeaderTest kPngHeader = Lead(MatchPng, 0x89);
const HeaderTest kPsdHeader = Lead(MatchPsd, '8');
const HeaderTest kTiffHeader = Lead(MatchTiff, 'M', 'I');
const HeaderTest kIcoHeader = Lead(MatchIco, 0x00);
const HeaderTest kCompoundDocumentHeader = Lead(MatchCompoundDocument, 0xD0);
const HeaderTest kOfficeOpenXmlHeader = AnyLead(MatchOfficeOpenXml);
const HeaderTest kPdfHeader = Lead(MatchPdf, '%');
const HeaderTest kGzipHeader = Lead(MatchGzip, 0x1F);
const HeaderTest kBzip2Header = Lead(MatchBzip2, 'B');
const HeaderTest kXzHeader = Lead(MatchXz, 0xFD);
const HeaderTest kRafHeader = Lead(MatchRaf, 'F');
const HeaderTest k7zHeader = Lead(Match7z, '7');
const HeaderTest kZipHeader = Lead(MatchZip, 'P');
const HeaderTest kRarHeader = Lead(MatchRar, 'R');
const HeaderTest kCabHeader = Lead(MatchCab, 'M');
const HeaderTest kExecutableHeader = Lead(MatchExecutable, 'M');
const HeaderTest kGhostHeader = Lead(MatchGhost, 0xFE);
const HeaderTest kSqliteHeader = Lead(MatchSqlite, 'S');
const HeaderTest kDbxHeader = Lead(MatchDbx, 0xCF);
const HeaderTest kPstHeader = Lead(MatchPst, '!');
const HeaderTest kTrueTypeHeader = Lead(MatchTrueType, 0x00);

}  // namespace snapsave
