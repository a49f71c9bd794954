// A JPEG's content check: its entropy-coded data decoded by libjpeg-turbo (at an eighth of its size, which
// still decodes every coefficient), restart markers in order, and the data used up exactly at the end marker.
#pragma once

#include <cstdint>

#include "carve/container_walks.h"

namespace snapsave {

struct JpegCheck {
  enum class Verdict {
    kWhole,    // decoded to its end with nothing amiss
    kBroken,   // the data went wrong at `brokenAt`
    kUnknown,  // could not be judged (a form the decoder does not take, or too large to hold)
  };
  Verdict verdict = Verdict::kUnknown;
  // The offset at which the decoder met the first sign of damage (within a few bytes of where it lies).
  uint64_t brokenAt = 0;
};

// Decodes the JPEG in the first `length` bytes of `file`. `maxMemory` bounds what the decoder may hold (a
// progressive picture keeps all its coefficients); past it the verdict is kUnknown.
JpegCheck CheckJpeg(FileBytes& file, uint64_t length, uint64_t maxMemory = uint64_t{24} << 20);

}  // namespace snapsave
