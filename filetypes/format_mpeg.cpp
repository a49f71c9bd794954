// MPEG streams: program and elementary video streams by their packs and end codes, transport streams of
// 188-byte packets and camcorders' 192-byte ones by their packet grids, and MPEG audio (MP3, MP2) and AAC by
// runs of frames.
#include <algorithm>
#include <array>
#include <optional>
#include <string_view>
#include <vector>

#include "filetypes/file_type_catalogue.h"
#include "filetypes/format_support.h"
#include "filetypes/format_walks.h"
#include "filetypes/joining.h"
#include "filetypes/mpeg_audio.h"

namespace snapsave {

using namespace typecode;
using namespace length_limit;
using namespace stitch_limit;

namespace {

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
  if (b.size() < 16 || ctx.InTransportStreamRange(ctx.currentSector())) return kNoType;
  if (BytesEqual(b, 8, {0x00, 0x00, 0xB0, 0x11, 0x00, 0x00, 0xC1, 0x00})) {
    if (Le32(b, 0) == 0 || !ctx.transportStreamInProgress()) return kMts;
    return kNoType;
  }
  return IsM2tsGridStart(ctx, b) ? kMts : kNoType;
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

// ---- MPEG audio layer II: a run of frames, as for tag-less MP3
// ------------------------------------------------------------------
uint32_t MatchMp2(const CarvingContext& ctx, ByteSpan b) {
  const std::optional<MpegAudioFrame> run = FrameRunAt(ctx, b);
  return run && run->layer == 2 ? kMp2 : kNoType;
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

}  // namespace

uint64_t MpegAudioLength(FileBytes& file, uint64_t limit) {
  std::array<uint8_t, 16> h{};
  uint64_t at = 0;
  if (file.Read(0, std::span(h).first(10)) && BytesEqual(h, 0, "ID3")) {
    uint64_t size = 0;
    for (size_t i = 6; i < 10; ++i) size = (size << 7) | (h[i] & 0x7F);
    at = 10 + size + ((h[5] & 0x10) != 0 ? 10 : 0);  // a footer repeats the header
  }
  std::optional<MpegAudioFrame> first;
  uint64_t frames = 0;
  while (at < limit && frames < kMaxUnits) {
    if (!file.Read(at, std::span(h).first(4))) break;
    const std::optional<MpegAudioFrame> frame = ParseMpegAudioHeader(h);
    if (!frame || (first && !frame->SameStream(*first))) break;
    if (!first) first = frame;
    at += frame->length;
    ++frames;
  }
  if (frames < 4) return 0;
  // Tags after the frames: APEv2 from its header (its size counts the items and the footer), then ID3v1.
  std::array<uint8_t, 32> ape{};
  if (file.Read(at, ape) && BytesEqual(ape, 0, "APETAGEX") && (Le32(ape, 20) & (1u << 29)) != 0)
    at += 32 + uint64_t{Le32(ape, 12)};
  std::array<uint8_t, 3> tag{};
  if (file.Read(at, tag) && BytesEqual(tag, 0, "TAG") && at + 128 <= file.MediumBytes()) at += 128;
  return std::min(at, limit);
}

namespace {

// A program stream's unit: a pack header, the end code, or a packet (system header, one stream's data,
// padding) that states its length.
bool PsUnitHeader(ByteSpan h) {
  if (h.size() < 5 || h[0] != 0 || h[1] != 0 || h[2] != 1) return false;
  if (h[3] == 0xBA) return (h[4] & 0xC4) == 0x44 || (h[4] & 0xF1) == 0x21;  // MPEG-2 or MPEG-1 markers
  return h[3] >= 0xB9;
}

uint64_t PsUnitBytes(FileBytes& file, uint64_t at) {
  std::array<uint8_t, 14> h{};
  if (!file.Read(at, std::span(h).first(6)) || !PsUnitHeader(h)) return 0;
  if (h[3] == 0xB9) return 4;
  if (h[3] != 0xBA) return 6 + uint64_t{Be16(h, 4)};
  if ((h[4] & 0xC0) != 0x40) return 12;  // MPEG-1
  return file.Read(at, h) ? 14 + uint64_t{h[13]} % 8 : 0;
}

// The system clock a pack header carries (90 kHz), MPEG-2's or MPEG-1's.
uint64_t PackClock(ByteSpan h) {
  const auto b = [&](size_t i) { return uint64_t{h[i]}; };
  if ((h[4] & 0xC0) == 0x40) {
    return (b(4) >> 3 & 7) << 30 | (b(4) & 3) << 28 | b(5) << 20 | (b(6) >> 3) << 15 | (b(6) & 3) << 13 |
           b(7) << 5 | b(8) >> 3;
  }
  return (b(4) >> 1 & 7) << 30 | b(5) << 22 | (b(6) >> 1) << 15 | b(7) << 7 | b(8) >> 1;
}

// Where a packet's data starts past its header: MPEG-2's header states its length, MPEG-1's is walked.
size_t PesPayload(ByteSpan unit) {
  if (unit.size() < 9) return unit.size();
  if ((unit[6] & 0xC0) == 0x80) return std::min(unit.size(), size_t{9} + unit[8]);
  size_t at = 6;
  while (at < unit.size() && at < 6 + 16 && unit[at] == 0xFF) ++at;
  if (at < unit.size() && (unit[at] & 0xC0) == 0x40) at += 2;
  if (at >= unit.size()) return unit.size();
  if ((unit[at] & 0xF0) == 0x20) return std::min(unit.size(), at + 5);
  if ((unit[at] & 0xF0) == 0x30) return std::min(unit.size(), at + 10);
  return std::min(unit.size(), at + 1);
}

// What a unit's bytes show of the format's own structure. Verified: enough that a sector of other data
// dropped into it, or one of its own left out, cannot pass (a pack header's marker bits; padding all 0xFF; in
// a video packet, a start code in every sector of its data and slices in row order, a row's slices then the
// next row's and the first row after a picture header; in a sound packet, MPEG audio frames that follow each
// other to its end). Broken: something the format never writes. Plausible: neither (large slices, other
// codecs), so a join through it cannot be told from another.
enum class UnitState { kBroken, kPlausible, kVerified };
// What a video stream's packets carry on to the next: the last slice's row (-1 for none known, 0 after a
// picture header) and the last bytes, where a start code may begin that the next packet ends.
struct VideoCarry {
  int row = -1;
  std::array<uint8_t, 3> tail = {0xFF, 0xFF, 0xFF};
};
// `shown`, where given, gets how much of its structure a packet shows: the frames on its longest run of sound
// frames, or the sectors of video data that hold a start code.
UnitState PsUnitState(FileBytes& file, uint64_t at, VideoCarry* carried = nullptr, size_t* shown = nullptr) {
  const uint64_t bytes = PsUnitBytes(file, at);
  const uint64_t ss = file.context().sectorSize();
  if (bytes == 0 || ss == 0) return UnitState::kBroken;
  std::vector<uint8_t> unit(static_cast<size_t>(bytes));
  if (!file.Read(at, unit)) return UnitState::kBroken;
  const auto verifiedIf = [](bool holds) { return holds ? UnitState::kVerified : UnitState::kBroken; };
  const uint8_t id = unit[3];
  if (id == 0xBA) {
    if ((unit[4] & 0xC0) != 0x40)
      return verifiedIf((unit[6] & 1) != 0 && (unit[8] & 1) != 0 && (unit[9] & 0x80) != 0);
    return verifiedIf((unit[6] & 4) != 0 && (unit[8] & 4) != 0 && (unit[9] & 1) != 0 && (unit[12] & 3) == 3);
  }
  if (id == 0xBB || id == 0xB9) return UnitState::kPlausible;
  if (id == 0xBE)
    return verifiedIf(std::all_of(unit.begin() + 6, unit.end(), [](uint8_t b) { return b == 0xFF; }));
  const size_t payload = PesPayload(unit);
  if (id >= 0xC0 && id <= 0xDF) {
    // A frame header within the first frame's length from which frames run on to the packet's end, one in
    // every sector the packet covers whole.
    for (size_t first = payload; first < unit.size() && first < payload + 2048; ++first) {
      size_t p = first;
      size_t frames = 0;
      bool everySector = (at + first) / ss <= (at + payload + ss - 1) / ss;
      std::optional<MpegAudioFrame> stream;
      while (p + 4 <= unit.size()) {
        const std::optional<MpegAudioFrame> f = ParseMpegAudioHeader(ByteSpan(unit).subspan(p, 4));
        if (!f || f->length < 4 || (stream && !stream->SameStream(*f))) break;
        if (!stream && p - payload >= f->length) break;  // the bytes before it are more than a frame
        stream = f;
        const size_t next = p + f->length;
        if ((at + std::min(next, unit.size())) / ss > (at + p) / ss + 1) everySector = false;
        p = next;
        ++frames;
      }
      if (shown != nullptr) *shown = std::max(*shown, frames);
      if (frames >= 2 && p + 4 > unit.size())
        return everySector && (at + unit.size()) / ss <= (at + p - stream->length) / ss + 1
                   ? UnitState::kVerified
                   : UnitState::kPlausible;
    }
    return UnitState::kPlausible;
  }
  if (id < 0xE0 || id > 0xEF) return UnitState::kPlausible;
  VideoCarry none;
  VideoCarry& carry = carried != nullptr ? *carried : none;
  // MPEG-1 slices may span rows, so that the next may start rows further on.
  const bool mpeg1 = (unit[6] & 0xC0) != 0x80;
  std::vector<uint8_t> data(carry.tail.begin(), carry.tail.end());
  data.insert(data.end(), unit.begin() + static_cast<std::ptrdiff_t>(payload), unit.end());
  constexpr size_t kTail = 3;
  uint64_t lastCodeSector = 0;
  bool anyCode = false;
  bool everySector = true;
  for (size_t i = 0; i + 4 <= data.size(); ++i) {
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
    const uint8_t code = data[i + 3];
    if (code == 0x00) {
      carry.row = 0;
    } else if (code <= 0xAF) {
      const int row = carry.row;
      if (row == 0 ? code != 1 && !mpeg1 : row > 0 && (code < row || (code > row + 1 && !mpeg1)))
        return UnitState::kBroken;
      carry.row = code;
    } else if (code == 0xB0 || code == 0xB1 || code == 0xB6 || code >= 0xB9) {
      return UnitState::kBroken;  // reserved, or a system code inside a video stream
    }
    // Every sector the data covers whole holds a code.
    if (i >= kTail) {
      const uint64_t sector = (at + payload + i - kTail) / ss;
      if (anyCode ? sector > lastCodeSector + 1 : sector > (at + payload + ss - 1) / ss) everySector = false;
      if (shown != nullptr && (!anyCode || sector != lastCodeSector)) ++*shown;
      lastCodeSector = sector;
      anyCode = true;
    }
    i += 3;
  }
  std::copy(data.end() - kTail, data.end(), carry.tail.begin());
  everySector = everySector && anyCode && (at + bytes) / ss <= lastCodeSector + 1;
  return everySector ? UnitState::kVerified : UnitState::kPlausible;
}

bool PsUnitVerified(FileBytes& file, uint64_t at) {
  return PsUnitState(file, at) == UnitState::kVerified;
}
bool PsUnitNotBroken(FileBytes& file, uint64_t at) {
  return PsUnitState(file, at) != UnitState::kBroken;
}

// The units of a program stream from its start. `clocksInOrder` also ends the walk where a pack's clock runs
// back or leaps (the next pack is another stream's).
struct PsWalk {
  uint64_t end = 0;    // past the last unit
  uint64_t last = 0;   // the last unit read
  uint64_t packs = 0;  // a stream has two at least
  bool ended = false;  // by the end code
};
PsWalk MpegProgramUnits(FileBytes& file, uint64_t limit, bool clocksInOrder) {
  constexpr uint64_t kMaxClockStep = 90000 * 2;  // two seconds between packs of one stream
  std::array<uint8_t, 14> h{};
  uint64_t at = 0;
  uint64_t packs = 0;
  uint64_t clock = 0;
  VideoCarry video;
  PsWalk w;
  for (uint64_t units = 0; at < limit && units < kMaxUnits * 4; ++units) {
    if (!file.Read(at, std::span(h).first(4)) || h[0] != 0 || h[1] != 0 || h[2] != 1) break;
    const uint8_t id = h[3];
    if (id == 0xB9) {  // program end
      w.end = std::min(at + 4, limit);
      w.last = at;
      w.packs = packs;
      w.ended = true;
      return w;
    }
    if (id == 0xBA) {
      if (!file.Read(at, h)) break;
      uint64_t bytes = 0;
      if ((h[4] & 0xC0) == 0x40) {
        bytes = 14 + (h[13] & 7);  // MPEG-2 pack header and its stuffing
      } else if ((h[4] & 0xF0) == 0x20) {
        bytes = 12;  // MPEG-1
      } else {
        break;
      }
      const uint64_t now = PackClock(h);
      if (clocksInOrder && packs != 0 && (now < clock || now - clock > kMaxClockStep)) break;
      clock = now;
      w.last = at;
      at += bytes;
      ++packs;
      w.end = at;
      continue;
    }
    if (id < 0xBB || packs == 0 || !file.Read(at + 4, std::span(h).subspan(4, 2))) break;
    // A joined stream's slices run on in row order from packet to packet: a pack left out or one of other
    // data let in breaks them where a slice starts.
    if (clocksInOrder && id >= 0xE0 && id <= 0xEF && PsUnitState(file, at, &video) == UnitState::kBroken)
      break;
    w.last = at;
    at += 6 + uint64_t{Be16(h, 4)};  // a system header or a packet of one stream
    w.end = at;
  }
  w.packs = packs;
  w.end = std::min(w.end, limit);
  return w;
}

// Whether a stream's units may stop there as a stream ends rather than where it was cut: at its end code, at
// a sector's end after a unit that shows nothing broken, or inside a sector whose rest is zeros.
bool EndsThere(FileBytes& file, const PsWalk& w) {
  if (w.ended) return true;
  const uint64_t ss = file.context().sectorSize();
  if (w.end == 0 || ss == 0) return false;
  if (w.end % ss == 0) return PsUnitNotBroken(file, w.last);
  std::vector<uint8_t> rest(static_cast<size_t>(ss - w.end % ss));
  return file.Read(w.end, rest) && std::all_of(rest.begin(), rest.end(), [](uint8_t b) { return b == 0; });
}

uint64_t PsWhole(FileBytes& file) {
  const PsWalk w = MpegProgramUnits(file, k6GiB, true);
  if (w.packs < 2) return 0;
  return EndsThere(file, w) ? w.end : 0;
}

// Units that state their lengths. A split is first looked for where the unit it runs through is verified
// whole; failing that, where it is not broken, joined damaged where more than one split fits.
const FramedFormat kMpegProgramFraming = {5, PsUnitHeader, PsUnitBytes, PsUnitVerified, PsWhole, {}, true};
const FramedFormat kMpegProgramLooseFraming = {5,       PsUnitHeader, PsUnitBytes, PsUnitNotBroken,
                                               PsWhole, {},           true};

}  // namespace

uint64_t MpegProgramLength(FileBytes& file, uint64_t limit) {
  const PsWalk w = MpegProgramUnits(file, limit, false);
  return w.packs >= 2 ? w.end : 0;
}

uint64_t M2tsLength(FileBytes& file, uint64_t limit) {
  constexpr uint64_t kPacket = 192;
  uint64_t at = 0;
  std::array<uint8_t, 1> sync{};
  while (at + kPacket <= limit && file.Read(at + 4, sync) && sync[0] == 0x47) at += kPacket;
  return at >= 2 * kPacket ? at : 0;
}

uint64_t AdtsLength(FileBytes& file, uint64_t limit) {
  std::array<uint8_t, 7> first{};
  if (!file.Read(0, first) || !IsAdtsFrameHeader(first, 0)) return 0;
  uint64_t at = 0;
  uint64_t frames = 0;
  std::array<uint8_t, 7> h{};
  for (; at < limit && frames < kMaxUnits; ++frames) {
    if (ReadUpTo(file, at, h) != h.size() || !SameAdtsStream(first, h, 0)) break;
    const size_t length = AdtsFrameLength(h, 0);
    if (length > limit - at) break;
    at += length;
  }
  std::array<uint8_t, 3> tag{};
  if (ReadUpTo(file, at, tag) == 3 && BytesEqual(tag, 0, "TAG") && limit - at >= 128) at += 128;
  return frames >= 2 ? at : 0;
}

namespace {

// ---- MPEG program or elementary stream: the end code
// --------------------------------------------------------- Another pack header does not end the stream
// (packs follow each other); the end code is the sequence end for an elementary stream, else the program end.
// Of the splits inside the packet the cut runs through that all fit, the one whose packet shows the most of
// its structure: other data let in shows none. Still listed damaged: the rest may show nothing either.
void LikeliestSplit(CarvingContext& ctx, ByteSpan header, uint64_t unitAt, Stitched& joined) {
  const uint64_t ss = ctx.sectorSize();
  const uint64_t shift = joined.split.tailSector - joined.split.headSectors;
  uint64_t bytes = 0;
  {
    FileBytes file(ctx, header);
    bytes = PsUnitBytes(file, unitAt);
  }
  if (bytes == 0 || ss == 0) return;
  size_t best = 0;
  uint64_t bestHead = 0;
  bool tie = false;
  for (uint64_t head = unitAt / ss + 1; head <= (unitAt + bytes) / ss; ++head) {
    FileBytes file(ctx, header, {head, head + shift});
    size_t shown = 0;
    if (PsUnitState(file, unitAt, nullptr, &shown) == UnitState::kBroken || PsWhole(file) != joined.length)
      continue;
    if (bestHead == 0 || shown > best) {
      best = shown;
      bestHead = head;
      tie = false;
    } else if (shown == best) {
      tie = true;
    }
  }
  if (bestHead != 0 && !tie) joined.split = {bestHead, bestHead + shift};
}

uint64_t MpegLength(CarvingContext& ctx, ByteSpan header) {
  // A program stream's packs say where it ends, with or without an end code. One whose units stop where no
  // stream ends was cut: its rest is looked for where its units go on, the cut inside the last unit read, or
  // just past it where that unit is whole and ends a sector. A stream that stops at the end of a sector after
  // a whole unit may also have been cut there: a second piece whose clock carries on is joined, else it ends.
  if (BytesEqual(header, 0, {0x00, 0x00, 0x01, 0xBA})) {
    const uint64_t ss = ctx.sectorSize();
    PsWalk w;
    bool ends = false;
    bool lastVerified = false;
    {
      FileBytes file(ctx, header);
      w = MpegProgramUnits(file, k6GiB, false);
      ends = EndsThere(file, w);
      lastVerified = w.packs != 0 && PsUnitVerified(file, w.last);
    }
    if (w.packs != 0 && !w.ended && ss != 0 && w.end < MediumBytesFromStart(ctx)) {
      // Past a last unit verified whole and ending a sector, the cut can only lie at its end.
      const bool atItsEnd = w.end % ss == 0 && lastVerified;
      if (!ends || !atItsEnd) {
        // The nearest second piece that fits; a split found verified there is whole, else the likeliest.
        std::optional<Stitched> joined = StitchFramed(ctx, header, w.last, kMpegProgramLooseFraming);
        if (joined && !joined->whole) {
          const std::optional<Stitched> verified = StitchFramed(ctx, header, w.last, kMpegProgramFraming);
          if (verified && verified->split.tailSector - verified->split.headSectors ==
                              joined->split.tailSector - joined->split.headSectors) {
            joined = verified;
          } else {
            LikeliestSplit(ctx, header, w.last, *joined);
          }
        }
        // A second piece whose clock and slices carry on shows the stream was cut, even where it could
        // have ended.
        if (joined && joined->length > w.end) return Joined(ctx, *joined);
      } else if (const std::optional<Stitched> joined = StitchFramed(ctx, header, w.end, kMpegProgramFraming);
                 joined && joined->length > w.end) {
        return Joined(ctx, *joined);  // a join that reads no unit past the seam is none
      }
      if (!ends) ctx.outcome().intact = false;
    }
    if (w.packs >= 2) return w.end;
  }
  const uint32_t ss = ctx.sectorSize();
  const std::string_view end = BytesEqual(header, 0, {0x00, 0x00, 0x01, 0xB3})
                                   ? std::string_view("\x00\x00\x01\xB7", 4)
                                   : std::string_view("\x00\x00\x01\xB9", 4);
  Walk w(ctx, k6GiB, true);
  while (w.Read()) {
    const bool stopped = w.Stop();
    if (size_t e = AcceptedMarkerEnd(w.chunk(), end, ss, true); e != npos) return w.base() + e;
    if (stopped) break;
  }
  return w.length();
}

// ---- MP3: the 128-byte ID3v1 tag ("TAG") at the end
// ---------------------------------------------------------- Like JPEG: the first "TAG" of a chunk is the
// candidate, a later chunk's replaces it, and one at or after the sector that stopped the file is the next
// file's.
uint64_t Mp3Length(CarvingContext& ctx) {
  Walk w(ctx, k2GiB);
  uint64_t candidate = 0;
  while (w.Read()) {
    const bool stopped = w.Stop();
    if (size_t at = Find(w.beforeStop(), "TAG"); at != npos) candidate = w.base() + at + 128;
    if (stopped) break;
  }
  return candidate != 0 && candidate < w.length() ? candidate : w.length();
}

// Where a transport stream's packet grid breaks at file offset `broken`: a real end pads its sector with
// zeros; otherwise the stream may have been cut, and its second piece is looked for. No sector of the stream
// or of its second piece may start another one.
uint64_t StreamEnd(CarvingContext& ctx, ByteSpan header, uint64_t broken, uint64_t packet) {
  const uint64_t ss = ctx.sectorSize();
  const uint64_t start = ctx.startSector();
  auto keep = [&](uint64_t first, uint64_t bytes) {
    ctx.AddTransportStreamRange(first, first + std::max<uint64_t>(1, (bytes + ss - 1) / ss) - 1);
  };
  // 192-byte streams are written in whole units of 32 packets: one that breaks where a unit ends has ended.
  // A 188-byte stream that breaks on a sector boundary is taken to end there too: a cut rarely falls there.
  const uint64_t unit = packet == kM2tsPacket ? 32 * kM2tsPacket : ss;
  if (broken % unit != 0 && broken < MediumBytesFromStart(ctx) && !EndsItsSector(ctx, header, broken)) {
    if (const std::optional<Stitched> joined = StitchTransportStream(ctx, header, broken, packet)) {
      keep(start, joined->split.headSectors * ss);
      keep(joined->split.tailSector, joined->length - joined->split.headSectors * ss);
      return Joined(ctx, *joined);
    }
    // Without its rest it is kept as it was measured: old data in a last sector's slack ends a whole
    // stream the same way.
  }
  keep(start, broken);
  return broken;
}

// ---- MPEG transport stream: the run of 188-byte packets
// ------------------------------------------------------ Sectors inside the stream pass the stop test (the
// header test refuses a sector that a packet grid runs into), so the file is as long as its packets keep
// their sync byte. The carved range is kept so that no later sector inside it starts a second stream.
uint64_t TransportStreamLength(CarvingContext& ctx, ByteSpan header) {
  constexpr uint64_t kPacket = 188;
  const uint32_t ss = ctx.sectorSize();
  uint64_t run = ss - ss % kPacket;
  uint64_t next = run;  // file offset of the next packet on the grid
  bool ended = false;
  // A packet that starts in the header sector and runs on into the next one.
  for (; next < ss && next < header.size(); next += kPacket) {
    if (header[static_cast<size_t>(next)] != 0x47) {
      ended = true;
      break;
    }
    run += kPacket;
  }
  Walk w(ctx, k64GiB);
  while (w.Read()) {
    const bool stopped = w.Stop();
    const ByteSpan chunk = w.chunk();
    for (; !ended && next >= w.base() && next < w.base() + chunk.size(); next += kPacket) {
      if (chunk[static_cast<size_t>(next - w.base())] != 0x47) {
        ended = true;
        break;
      }
      run += kPacket;
    }
    if (stopped) break;
  }
  uint64_t length = run != 0 && run < w.length() ? run : w.length();
  length = std::min(length, MediumBytesFromStart(ctx));
  if (ended && length == run) return StreamEnd(ctx, header, run, kPacket);
  const uint64_t sectors = length / ss + (length % ss != 0 ? 1 : 0);
  ctx.AddTransportStreamRange(ctx.startSector(), ctx.startSector() + std::max<uint64_t>(sectors, 1) - 1);
  return length;
}

}  // namespace

namespace {

uint64_t MeasureMpeg(CarvingContext& ctx, uint32_t /*typeCode*/, ByteSpan header) {
  return MpegLength(ctx, header);
}

uint64_t MeasureTransportStream(CarvingContext& ctx, uint32_t /*typeCode*/, ByteSpan header) {
  return TransportStreamLength(ctx, header);
}

uint64_t MeasureM2ts(CarvingContext& ctx, uint32_t /*typeCode*/, ByteSpan header) {
  const uint64_t n = Walked(ctx, header, M2tsLength, k64GiB);
  if (n == 0) return PlainWalk(ctx, k6GiB);
  return StreamEnd(ctx, header, std::min(n, MediumBytesFromStart(ctx)), kM2tsPacket);
}

uint64_t MeasureMpegAudio(CarvingContext& ctx, uint32_t typeCode, ByteSpan header) {
  if (const uint64_t n = Walked(ctx, header, MpegAudioLength, k2GiB); n != 0) return n;
  return typeCode == kMp3 ? Mp3Length(ctx) : PlainWalk(ctx, k256MiB);
}

uint64_t MeasureAdts(CarvingContext& ctx, uint32_t /*typeCode*/, ByteSpan header) {
  if (const uint64_t n = Walked(ctx, header, AdtsLength, k2GiB); n != 0) return n;
  return PlainWalk(ctx, k256MiB);
}

constexpr HeaderTest kMpegHeader = Lead(MatchMpeg, 0x00);
constexpr HeaderTest kTransportStreamHeader = Lead(MatchTransportStream, kTsSync);
constexpr HeaderTest kTimestampedTsHeader = AnyLead(MatchTimestampedTs);
constexpr HeaderTest kMp3Header = Lead(MatchMp3, 'I', 0xFF);
constexpr HeaderTest kAdtsHeader = Lead(MatchAdts, 0xFF);
constexpr HeaderTest kMp2Header = Lead(MatchMp2, 0xFF);

constexpr CarvingTypeRow kRows[] = {
    {"mpeg", kMpeg, &kMpegHeader, MeasureMpeg},
    {"mpg", kMpeg, &kMpegHeader, MeasureMpeg},
    {"vob", kMpeg, &kMpegHeader, MeasureMpeg},
    {"ts", kTs, &kTransportStreamHeader, MeasureTransportStream},
    {"mts", kMts, &kTimestampedTsHeader, MeasureM2ts},
    {"mp3", kMp3, &kMp3Header, MeasureMpegAudio},
    {"aac", kAac, &kAdtsHeader, MeasureAdts},
    {"mp2", kMp2, &kMp2Header, MeasureMpegAudio},
};

}  // namespace

std::span<const CarvingTypeRow> MpegFormats() {
  return kRows;
}

}  // namespace snapsave
