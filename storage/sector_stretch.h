// A stretch of sectors a read could not get, and a piece of a volume whose sectors lie elsewhere on its disk.
#pragma once

#include <cstdint>
#include <span>

namespace snapsave {

struct SectorStretch {
  uint64_t first = 0;  // absolute sector, in the unit the reads named
  uint64_t count = 0;
  bool operator==(const SectorStretch&) const = default;
};

// Sectors [first, first + count) of a volume read from disk sectors [device, device + count): a logical
// volume whose extents are not one run.
struct SectorMapping {
  uint64_t first = 0;
  uint64_t device = 0;
  uint64_t count = 0;
  bool operator==(const SectorMapping&) const = default;
};
// Where sector `sector` of a volume mapped by `pieces` (sorted by `first`, none overlapping) lies on the
// device, and how many sectors from there lie in that run (up to the next piece, or UINT64_MAX past the
// last): outside every piece a sector lies where it is.
struct MappedRun {
  uint64_t device = 0;
  uint64_t count = 0;
};
MappedRun MapSector(std::span<const SectorMapping> pieces, uint64_t sector);

}  // namespace snapsave
