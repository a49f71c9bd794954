// A JPEG's content check: its entropy-coded data decoded by libjpeg-turbo (at an eighth of its size, which
// still decodes every coefficient), restart markers in order, and the data used up exactly at the end marker.
#pragma once

#include <cstdint>
#include <vector>

namespace snapsave {

class FileBytes;

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

// What a sequential picture's decode went through, row by row of its eighth-size grey image: the offset up
// to which the data was taken when each row was complete, and the row's pixels.
struct JpegRows {
  uint32_t width = 0;
  std::vector<uint64_t> ends;
  std::vector<uint8_t> pixels;
};

// What a check's decoder may hold: a progressive picture past about 12 megapixels is left unjudged.
inline constexpr uint64_t kJpegCheckMemory = uint64_t{24} << 20;

// Decodes the JPEG in the first `length` bytes of `file`. `maxMemory` bounds what the decoder may hold (a
// progressive picture keeps all its coefficients); past it the verdict is kUnknown.
// With `rows`, a sequential picture's rows are kept in it (up to where the decode stopped).
JpegCheck CheckJpeg(FileBytes& file, uint64_t length, uint64_t maxMemory = kJpegCheckMemory,
                    JpegRows* rows = nullptr);

}  // namespace snapsave
