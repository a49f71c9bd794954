// RIFF (AVI, WAV, WebP) and IFF (AIFF) files: a chunk that states the whole file's size.
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

uint64_t MeasureRiff(CarvingContext& ctx, uint32_t typeCode, ByteSpan header) {
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
