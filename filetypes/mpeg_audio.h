// MPEG audio (layers I, II and III of MPEG-1, 2 and 2.5) frame headers: enough to step from frame to frame.
#pragma once

#include <cstdint>
#include <optional>

#include "os/byte_reader.h"

namespace snapsave {

struct MpegAudioFrame {
  uint8_t version = 0;  // 1 MPEG-1, 2 MPEG-2, 25 MPEG-2.5
  uint8_t layer = 0;    // 1, 2 or 3
  uint32_t sampleRate = 0;
  uint32_t length = 0;  // bytes, header included

  // Frames of one stream keep their version, layer and sample rate.
  bool SameStream(const MpegAudioFrame& other) const {
    return version == other.version && layer == other.layer && sampleRate == other.sampleRate;
  }
};

// The frame whose 4-byte header starts `bytes`; nothing for no header, reserved values, a free-format bit
// rate (its length cannot be known) or a bad one.
std::optional<MpegAudioFrame> ParseMpegAudioHeader(ByteSpan bytes);

// AAC in ADTS frames: a 7-byte header (9 with a CRC) whose 13-bit length counts the whole frame.
inline constexpr size_t kMaxAdtsFrame = 8191;
// Whether the 7 bytes at `at` are an ADTS header: sync word, layer 0, a defined sample rate, a length that
// holds the header.
bool IsAdtsFrameHeader(ByteSpan bytes, size_t at);
// The frame's length, header included, or 0 when the bytes at `at` are no ADTS header.
size_t AdtsFrameLength(ByteSpan bytes, size_t at);
// Whether the header at `at` in `other` belongs to the stream of `first`'s header at 0: the same MPEG
// version, CRC use, profile, sample rate and channel layout.
bool SameAdtsStream(ByteSpan first, ByteSpan other, size_t at);

// AMR (narrow- or wideband) storage format: each frame a table-of-contents byte and its speech bits.
// Whether `toc` is the byte of a good frame of a defined type (padding bits clear, quality bit set).
bool IsAmrFrameHeader(uint8_t toc, bool wideband);
// The frame's bytes, the TOC byte included; 0 for no good frame.
size_t AmrFrameBytes(uint8_t toc, bool wideband);

}  // namespace snapsave
