// RIFF (AVI, WAV, WebP) and IFF (AIFF) files: a chunk that states the whole file's size.
#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

#include "filetypes/file_type_catalogue.h"
#include "filetypes/format_support.h"
#include "filetypes/format_walks.h"
#include "filetypes/joining.h"

namespace snapsave {

using namespace typecode;
using namespace length_limit;
using namespace stitch_limit;

namespace {

// ---- RIFF AVI
// --------------------------------------------------------------------------------------------------
uint32_t MatchAvi(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 16) return kNoType;
  return BytesEqual(b, 0, "RIFF") && BytesEqual(b, 8, "AVI ") && BytesEqual(b, 12, "LIST") ? kAvi : kNoType;
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

// ---- RIFF (AVI, WAV): the chunk size at offset 4 plus its 8-byte chunk header
// ---------------------------------
uint64_t RiffLength(CarvingContext& ctx, ByteSpan header, uint32_t typeCode) {
  if (typeCode == kAvi && header.size() < 16) return ctx.sectorSize();
  return uint64_t{Le32(header, 4)} + 8;
}

}  // namespace

uint64_t IffLength(FileBytes& file, uint64_t limit) {
  std::array<uint8_t, 12> h{};
  if (!file.Read(0, h) || !BytesEqual(h, 0, "FORM")) return 0;
  const uint64_t size = Be32(h, 4);
  const uint64_t end = 8 + size + (size & 1);
  return size >= 4 && end <= limit ? end : 0;
}

namespace {

// ---- AVI: the chunk tree, and the index that names every chunk's place
// --------------------------------------------
bool AviChunkHeader(ByteSpan h) {
  if (h.size() < 8) return false;
  for (size_t i = 0; i < 4; ++i) {
    const uint8_t c = h[i];
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == ' ' || c == '_'))
      return false;
  }
  return Le32(h, 4) < kMaxJoinedUnitBytes;
}

uint64_t AviChunkBytes(FileBytes& file, uint64_t at) {
  std::array<uint8_t, 8> h{};
  if (!file.Read(at, h) || !AviChunkHeader(h)) return 0;
  const uint64_t size = Le32(h, 4);
  return 8 + size + (BytesEqual(h, 0, "LIST") ? 0 : size & 1);
}

bool AviNoCheck(FileBytes& /*file*/, uint64_t /*at*/) {
  return true;
}

// Entries of an index that are checked at most: the first ones, then evenly spread over the rest (each may
// cost a read of its own).
constexpr uint64_t kIndexEntriesChecked = 4096;

// Whether the index's entries name chunks of their kind and size where they say: offsets from the movie
// list's type field, or from the file's start as some writers give them.
bool AviIndexHolds(FileBytes& file, uint64_t index, uint64_t entries, uint64_t movieList) {
  std::array<uint8_t, 16> e{};
  std::array<uint8_t, 8> h{};
  std::optional<uint64_t> base;
  const uint64_t step = entries > kIndexEntriesChecked ? entries / (kIndexEntriesChecked / 2) : 1;
  for (uint64_t i = 0; i < entries; i += i < kIndexEntriesChecked / 2 ? 1 : step) {
    if (!file.Read(index + 8 + 16 * i, e)) return false;
    const uint64_t offset = Le32(e, 8);
    if (!base) {
      for (const uint64_t b : {movieList + 8, uint64_t{0}}) {
        if (file.Read(b + offset, h) && std::equal(h.begin(), h.begin() + 4, e.begin())) base = b;
        if (base) break;
      }
      if (!base) return false;
    }
    if (!file.Read(*base + offset, h) || !std::equal(h.begin(), h.begin() + 4, e.begin()) ||
        Le32(h, 4) != Le32(e, 12))
      return false;
  }
  return true;
}

// The chunk tree of an AVI file to the end its RIFF header states, and its index where it has one. The end,
// or 0; `broken`, where given, gets the chunk a cut lies in (the one after it does not start where it says).
uint64_t AviChunks(FileBytes& file, uint64_t* broken) {
  std::array<uint8_t, 12> h{};
  if (!file.Read(0, h) || !BytesEqual(h, 0, "RIFF") || !BytesEqual(h, 8, "AVI ")) return 0;
  const uint64_t end = 8 + uint64_t{Le32(h, 4)};
  std::array<uint64_t, 8> lists{};
  size_t depth = 0;
  uint64_t at = 12;
  uint64_t previous = 0;
  uint64_t movieList = 0;
  uint64_t index = 0;
  for (uint64_t units = 0; units < kMaxUnits; ++units) {
    while (depth > 0 && at >= lists[depth - 1]) {
      if (at != lists[depth - 1]) break;
      --depth;
    }
    if (depth > 0 && at > lists[depth - 1]) break;
    if (at >= end) break;
    if (!file.Read(at, std::span(h).first(8)) || !AviChunkHeader(h) ||
        at + 8 + Le32(h, 4) > (depth > 0 ? lists[depth - 1] : end))
      break;
    previous = at;
    if (BytesEqual(h, 0, "LIST")) {
      if (depth == lists.size() || !file.Read(at + 8, std::span(h).subspan(8, 4))) break;
      if (BytesEqual(h, 8, "movi")) movieList = at;
      lists[depth++] = at + 8 + Le32(h, 4);
      at += 12;
      continue;
    }
    if (BytesEqual(h, 0, "idx1")) index = at;
    at += 8 + uint64_t{Le32(h, 4)} + (Le32(h, 4) & 1);
  }
  if (at >= end && depth == 0) {
    std::array<uint8_t, 8> ih{};
    if (index == 0 || (file.Read(index, ih) && AviIndexHolds(file, index, Le32(ih, 4) / 16, movieList)))
      return end;
  }
  if (broken != nullptr && previous != 0) *broken = previous;
  return 0;
}

uint64_t AviWhole(FileBytes& file) {
  return AviChunks(file, nullptr);
}

}  // namespace

const FramedFormat kAviFraming = {8, AviChunkHeader, AviChunkBytes, AviNoCheck, AviWhole, {}, true};

namespace {

uint64_t MeasureRiff(CarvingContext& ctx, uint32_t typeCode, ByteSpan header) {
  if (typeCode == kAvi) {
    uint64_t broken = 0;
    {
      FileBytes file(ctx, header);
      if (const uint64_t n = AviChunks(file, &broken); n != 0) {
        ctx.outcome().checked = true;
        return n;
      }
    }
    if (broken != 0) {
      // A cut inside a chunk: joined where the chunks go on and the index holds.
      if (const std::optional<Stitched> joined = StitchFramed(ctx, header, broken, kAviFraming))
        return Joined(ctx, *joined);
      ctx.outcome().intact = false;
    }
  }
  if (typeCode == kWav) {
    bool checked = false;
    const uint64_t length = WavLength(ctx, header, checked);
    ctx.outcome().checked = checked;
    return length;
  }
  return RiffLength(ctx, header, typeCode);
}

uint64_t MeasureIff(CarvingContext& ctx, uint32_t /*typeCode*/, ByteSpan header) {
  if (const uint64_t n = Walked(ctx, header, IffLength, k2GiB); n != 0) return n;
  return ctx.sectorSize();
}

constexpr HeaderTest kAviHeader = Lead(MatchAvi, 'R');
constexpr HeaderTest kWavHeader = Lead(MatchWav, 'R');
constexpr HeaderTest kWebpHeader = Lead(MatchWebp, 'R');
constexpr HeaderTest kAiffHeader = Lead(MatchAiff, 'F');

// The size field may be wrong: the pass moves on one sector, not past it.
constexpr CarvingTypeRow kRows[] = {
    {"avi", kAvi, &kAviHeader, MeasureRiff, true},
    {"wav", kWav, &kWavHeader, MeasureRiff, true},
    {"webp", kWebp, &kWebpHeader, MeasureRiff},
    {"aiff", kAiff, &kAiffHeader, MeasureIff},
};

}  // namespace

std::span<const CarvingTypeRow> RiffFormats() {
  return kRows;
}

}  // namespace snapsave
