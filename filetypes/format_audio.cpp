// Audio formats of their own structure: MIDI by its track chunks, APE by its tag, AMR by its frames, and
// SMAF ringtones by their file chunk.
#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

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

uint32_t MatchAmr(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 16) return kNoType;
  const size_t first = BytesEqual(b, 0, "#!AMR\n") ? 6 : BytesEqual(b, 0, "#!AMR-WB\n") ? 9 : 0;
  return first != 0 && IsAmrFrameHeader(b[first], first == 9) ? kAmr : kNoType;
}

// ---- SMAF ringtone
// ---------------------------------------------------------------------------------------------
uint32_t MatchMmf(const CarvingContext& /*ctx*/, ByteSpan b) {
  return BytesEqual(b, 0, "MMMD") ? kMmf : kNoType;
}

}  // namespace

uint64_t SmafLength(FileBytes& file, uint64_t limit) {
  std::array<uint8_t, 8> h{};
  if (!file.Read(0, h) || !BytesEqual(h, 0, "MMMD")) return 0;
  const uint64_t size = Be32(h, 4);
  return size == 0 || size > limit - 8 ? 0 : 8 + size;
}

uint64_t AmrLength(FileBytes& file, uint64_t limit) {
  std::array<uint8_t, 9> h{};
  if (ReadUpTo(file, 0, h) < 6) return 0;
  const bool wide = BytesEqual(h, 0, "#!AMR-WB\n");
  if (!wide && !BytesEqual(h, 0, "#!AMR\n")) return 0;
  uint64_t at = wide ? 9 : 6;
  uint64_t frames = 0;
  int mode = -1;
  const unsigned comfortNoise = wide ? 9 : 8;
  for (std::array<uint8_t, 1> toc{}; at < limit && frames < kMaxUnits * 4; ++frames) {
    if (ReadUpTo(file, at, toc) != 1) break;
    const size_t bytes = AmrFrameBytes(toc[0], wide);
    const auto type = static_cast<unsigned>((toc[0] >> 3) & 0x0F);
    if (bytes == 0 || bytes > limit - at) break;
    if (type < comfortNoise) {
      if (mode >= 0 && static_cast<unsigned>(mode) != type) break;
      mode = static_cast<int>(type);
    }
    at += bytes;
  }
  return frames != 0 ? at : 0;
}

namespace {

// ---- APE: the APEv2 tag; its footer (the second "APETAGEX") closes the file
// -----------------------------------
uint64_t ApeLength(CarvingContext& ctx) {
  constexpr std::string_view kTag("APETAGEX\xD0\x07", 10);
  Walk w(ctx, k2GiB);
  while (w.Read()) {
    const bool stopped = w.Stop();
    if (size_t first = Find(w.chunk(), kTag); first != npos) {
      const size_t footer = Find(w.chunk(), kTag, first + kTag.size());
      return footer != npos ? w.base() + footer + 32 : w.base() + w.chunk().size();
    }
    if (stopped) break;
  }
  return w.length();
}

// ---- MIDI: the header chunk and the declared number of track chunks, each by its length
// ---------------------- The chunks are followed by their lengths (reading the sectors that hold each chunk
// header); the sectors the file then spans must pass the stop test. Damaged chunk lists fall back to the stop
// test alone.
uint64_t MidiChunksEnd(CarvingContext& ctx, ByteSpan header) {
  const uint32_t ss = ctx.sectorSize();
  const std::span<uint8_t> buffer = ctx.workBuffer();
  uint32_t tracks = Be16(header, 10);
  uint64_t at = 8 + uint64_t{Be32(header, 4)};  // behind the header chunk
  const uint64_t limit = std::min(k8MiB + ss, MediumBytesFromStart(ctx));
  uint32_t others = 0;
  std::array<uint8_t, 8> chunk{};
  while (tracks > 0) {
    if (at + 8 > limit) return 0;
    if (at + 8 <= header.size()) {
      std::copy_n(header.begin() + static_cast<ptrdiff_t>(at), 8, chunk.begin());
    } else {
      const uint64_t first = at / ss;
      const auto count = static_cast<uint32_t>((at + 8 + ss - 1) / ss - first);
      if (uint64_t{count} * ss > buffer.size() || !ctx.ReadSectors(buffer, ctx.startSector() + first, count))
        return 0;
      std::copy_n(buffer.begin() + static_cast<ptrdiff_t>(at - first * ss), 8, chunk.begin());
    }
    const ByteSpan c(chunk);
    if (BytesEqual(c, 0, "MTrk")) {
      --tracks;
    } else if (++others > 64 || !std::all_of(chunk.begin(), chunk.begin() + 4,
                                             [](uint8_t b) { return b >= 0x20 && b < 0x7F; })) {
      return 0;  // not a chunk list
    }
    at += 8 + uint64_t{Be32(c, 4)};
  }
  return at <= limit ? at : 0;
}

// A variable-length quantity of at most four bytes.
bool ReadVlq(ByteStream& in, uint64_t& value) {
  value = 0;
  for (int i = 0; i < 4; ++i) {
    uint8_t b = 0;
    if (!in.Next(b)) return false;
    value = (value << 7) | (b & 0x7F);
    if ((b & 0x80) == 0) return true;
  }
  return false;
}

// Whether the track chunk at `at` holds events that parse to its end-of-track event, which ends it exactly:
// the nearest thing to a checksum the format has.
bool MidiTrackParses(FileBytes& file, uint64_t at) {
  std::array<uint8_t, 8> h{};
  if (!file.Read(at, h) || !BytesEqual(h, 0, "MTrk")) return false;
  const uint64_t end = at + 8 + uint64_t{Be32(h, 4)};
  ByteStream in(file, at + 8);
  uint8_t running = 0;
  for (uint64_t events = 0; in.at() < end && events < kMaxUnits; ++events) {
    uint64_t delta = 0;
    uint8_t b = 0;
    if (!ReadVlq(in, delta) || !in.Next(b)) return false;
    if (b == 0xFF || b == 0xF0 || b == 0xF7) {
      uint8_t type = 0;
      if (b == 0xFF && !in.Next(type)) return false;
      uint64_t length = 0;
      if (!ReadVlq(in, length)) return false;
      if (b == 0xFF && type == 0x2F) return length == 0 && in.at() == end;
      if (length > end - std::min(end, in.at())) return false;
      in.Skip(length);
      continue;  // some writers keep the running status across these, though they should not
    }
    if (b > 0xF0) return false;
    uint8_t status = running;
    uint8_t data = b;
    if (b >= 0x80) {
      status = running = b;
      if (!in.Next(data)) return false;
    }
    if (status == 0 || data >= 0x80) return false;
    const bool twoBytes = (status & 0xF0) != 0xC0 && (status & 0xF0) != 0xD0;
    if (twoBytes && (!in.Next(data) || data >= 0x80)) return false;
  }
  return false;
}

bool MidiTrackHeader(ByteSpan b) {
  return BytesEqual(b, 0, "MTrk") && Be32(b, 4) < (uint32_t{1} << 28);
}

uint64_t MidiChunkBytes(FileBytes& file, uint64_t at) {
  std::array<uint8_t, 8> h{};
  return file.Read(at, h) && MidiTrackHeader(h) ? 8 + uint64_t{Be32(h, 4)} : 0;
}

// The end of the file's chunks with every track parsed, or 0; `broken` gets the first chunk that fails.
uint64_t MidiChunks(FileBytes& file, uint64_t* broken) {
  std::array<uint8_t, 14> h{};
  if (!file.Read(0, h) || !BytesEqual(h, 0, "MThd") || Be32(h, 4) < 6) return 0;
  uint32_t tracks = Be16(h, 10);
  uint64_t at = 8 + uint64_t{Be32(h, 4)};
  uint32_t others = 0;
  for (; tracks > 0; at += 8 + uint64_t{Be32(h, 4)}) {
    if (at > k8MiB || !file.Read(at, std::span(h).first(8))) break;
    if (BytesEqual(h, 0, "MTrk")) {
      if (!MidiTrackParses(file, at)) break;
      --tracks;
    } else if (++others > 64 ||
               !std::all_of(h.begin(), h.begin() + 4, [](uint8_t b) { return b >= 0x20 && b < 0x7F; })) {
      break;
    }
  }
  if (tracks == 0) return at;
  if (broken != nullptr) *broken = at;
  return 0;
}

uint64_t MidiWhole(FileBytes& file) {
  return MidiChunks(file, nullptr);
}

}  // namespace

const FramedFormat kMidiFraming = {
    8,   MidiTrackHeader, MidiChunkBytes, MidiTrackParses, MidiWhole, std::string_view("\xFF\x2F\x00", 3),
    true};

namespace {

// Tracks whose events parse give the length; a file cut inside one is joined where the rest of its events
// and the chunks after it follow. Otherwise the chunk headers, and the sectors they span, as far as they go.
uint64_t MidiLength(CarvingContext& ctx, ByteSpan header) {
  const uint32_t ss = ctx.sectorSize();
  {
    FileBytes file(ctx, header);
    uint64_t broken = 0;
    if (const uint64_t n = MidiChunks(file, &broken); n != 0) return n;
    if (broken != 0) {
      if (const std::optional<Stitched> joined = StitchFramed(ctx, header, broken, kMidiFraming))
        return Joined(ctx, *joined);
      ctx.outcome().intact = false;
    }
  }
  const uint64_t end = MidiChunksEnd(ctx, header);
  if (end != 0 && end <= ss) return end;
  // The sectors after the header that the chunks span, or the limit when the chunk list is damaged.
  Walk w(ctx, end != 0 ? (end - ss + ss - 1) / ss * ss : k8MiB);
  while (w.Read()) {
    if (w.Stop()) return w.length();
  }
  return end != 0 ? std::min(end, w.length()) : w.length();
}

}  // namespace

namespace {

uint64_t MeasureMidi(CarvingContext& ctx, uint32_t /*typeCode*/, ByteSpan header) {
  return MidiLength(ctx, header);
}

uint64_t MeasureApe(CarvingContext& ctx, uint32_t /*typeCode*/, ByteSpan /*header*/) {
  return ApeLength(ctx);
}

uint64_t MeasureAmr(CarvingContext& ctx, uint32_t /*typeCode*/, ByteSpan header) {
  if (const uint64_t n = Walked(ctx, header, AmrLength, k256MiB); n != 0) return n;
  return PlainWalk(ctx, k256MiB);
}

uint64_t MeasureSmaf(CarvingContext& ctx, uint32_t /*typeCode*/, ByteSpan header) {
  if (const uint64_t n = Walked(ctx, header, SmafLength, k256MiB); n != 0) return n;
  return PlainWalk(ctx, k256MiB);
}

constexpr HeaderTest kMidiHeader = Lead(MatchMidi, 'M');
constexpr HeaderTest kApeHeader = Lead(MatchApe, 'M');
constexpr HeaderTest kAmrHeader = Lead(MatchAmr, '#');
constexpr HeaderTest kMmfHeader = Lead(MatchMmf, 'M');

constexpr CarvingTypeRow kRows[] = {
    {"mid", kMidi, &kMidiHeader, MeasureMidi},
    {"ape", kApe, &kApeHeader, MeasureApe},
    {"amr", kAmr, &kAmrHeader, MeasureAmr},
    {"mmf", kMmf, &kMmfHeader, MeasureSmaf},
};

}  // namespace

std::span<const CarvingTypeRow> AudioFormats() {
  return kRows;
}

}  // namespace snapsave
