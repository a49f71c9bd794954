#include "filetypes/mpeg_audio.h"

#include <array>

namespace snapsave {

namespace {

// kbit/s by bit-rate index 1..14: MPEG-1 layers I, II, III, then MPEG-2/2.5 layer I, and layers II and III.
constexpr std::array<std::array<uint16_t, 15>, 5> kBitRates = {{
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
}};
constexpr std::array<uint32_t, 3> kMpeg1Rates = {44100, 48000, 32000};

}  // namespace

std::optional<MpegAudioFrame> ParseMpegAudioHeader(ByteSpan bytes) {
  if (bytes.size() < 4 || bytes[0] != 0xFF || (bytes[1] & 0xE0) != 0xE0) return std::nullopt;
  const uint32_t versionBits = (bytes[1] >> 3) & 3;
  const uint32_t layerBits = (bytes[1] >> 1) & 3;
  const uint32_t rateIndex = bytes[2] >> 4;
  const uint32_t sampleIndex = (bytes[2] >> 2) & 3;
  const uint32_t padding = (bytes[2] >> 1) & 1;
  if (versionBits == 1 || layerBits == 0 || rateIndex == 0 || rateIndex == 15 || sampleIndex == 3)
    return std::nullopt;
  if ((bytes[3] & 3) == 2) return std::nullopt;  // reserved emphasis
  MpegAudioFrame f;
  f.version = versionBits == 3 ? 1 : versionBits == 2 ? 2 : 25;
  f.layer = static_cast<uint8_t>(4 - layerBits);
  const uint32_t divisor = f.version == 1 ? 1 : f.version == 2 ? 2 : 4;
  f.sampleRate = kMpeg1Rates[sampleIndex] / divisor;
  const size_t table = f.version == 1 ? f.layer - 1u : f.layer == 1 ? 3u : 4u;
  const uint32_t bitRate = uint32_t{kBitRates[table][rateIndex]} * 1000;
  if (f.layer == 1) {
    f.length = (12 * bitRate / f.sampleRate + padding) * 4;
  } else {
    // Layer III of MPEG-2 and 2.5 carries half the samples per frame.
    const uint32_t factor = f.layer == 3 && f.version != 1 ? 72 : 144;
    f.length = factor * bitRate / f.sampleRate + padding;
  }
  if (f.length < 4) return std::nullopt;
  return f;
}

bool IsAdtsFrameHeader(ByteSpan b, size_t at) {
  if (!Has(b, at, 7) || b[at] != 0xFF || (b[at + 1] & 0xF6) != 0xF0) return false;  // sync, layer 0
  if (((b[at + 2] >> 2) & 0x0F) > 12) return false;                                 // sample rate index
  return AdtsFrameLength(b, at) != 0;
}

size_t AdtsFrameLength(ByteSpan b, size_t at) {
  if (!Has(b, at, 7) || b[at] != 0xFF || (b[at + 1] & 0xF6) != 0xF0) return 0;
  const size_t length = (size_t{b[at + 3] & 0x03u} << 11) | (size_t{b[at + 4]} << 3) | (b[at + 5] >> 5);
  const size_t header = (b[at + 1] & 0x01) != 0 ? 7 : 9;
  return length > header ? length : 0;
}

bool SameAdtsStream(ByteSpan first, ByteSpan other, size_t at) {
  if (!IsAdtsFrameHeader(first, 0) || !IsAdtsFrameHeader(other, at)) return false;
  // Byte 1 (version, CRC), byte 2 but for the private bit, the two channel bits of byte 3.
  return first[1] == other[at + 1] && (first[2] & 0xFD) == (other[at + 2] & 0xFD) &&
         (first[3] & 0xC0) == (other[at + 3] & 0xC0);
}

namespace {
// Speech bytes per frame type; 0 for reserved types (15, no data, is a valid frame of 0 bytes).
constexpr uint8_t kAmrNarrowBytes[16] = {12, 13, 15, 17, 19, 20, 26, 31, 5, 0, 0, 0, 0, 0, 0, 0};
constexpr uint8_t kAmrWideBytes[16] = {17, 23, 32, 36, 40, 46, 50, 58, 60, 5, 0, 0, 0, 0, 0, 0};
}  // namespace

bool IsAmrFrameHeader(uint8_t toc, bool wideband) {
  return AmrFrameBytes(toc, wideband) != 0;
}

size_t AmrFrameBytes(uint8_t toc, bool wideband) {
  if ((toc & 0x87) != 0x04) return 0;
  const unsigned type = (toc >> 3) & 0x0F;
  if (type == 15) return 1;
  const uint8_t bytes = wideband ? kAmrWideBytes[type] : kAmrNarrowBytes[type];
  return bytes != 0 ? size_t{bytes} + 1 : 0;
}

}  // namespace snapsave
