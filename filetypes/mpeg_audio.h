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

}  // namespace snapsave
