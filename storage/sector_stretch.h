// A stretch of sectors a read could not get.
#pragma once

#include <cstdint>

namespace snapsave {

struct SectorStretch {
  uint64_t first = 0;  // absolute sector, in the unit the reads named
  uint64_t count = 0;
  bool operator==(const SectorStretch&) const = default;
};

}  // namespace snapsave
