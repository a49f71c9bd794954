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

}  // namespace snapsave
