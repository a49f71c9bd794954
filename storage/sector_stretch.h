// A stretch of sectors a read could not get, and a piece of a volume whose sectors lie elsewhere on its disk.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace snapsave {

struct SectorStretch {
  uint64_t first = 0;  // absolute sector, in the unit the reads named
  uint64_t count = 0;
  bool operator==(const SectorStretch&) const = default;
};

// Sectors [first, first + count) of a volume read from disk sectors [device, device + count): a logical
// volume whose extents are not one run. A striped piece is `stripes` entries in a row with the same first,
// count and chunk, numbered by `stripe`, each giving where its stripe starts: the piece's sectors go round
// the stripes `chunk` sectors at a time, each stripe holding count / stripes of them.
struct SectorMapping {
  uint64_t first = 0;
  uint64_t device = 0;
  uint64_t count = 0;
  uint32_t stripes = 1;
  uint32_t stripe = 0;
  uint64_t chunk = 0;
  bool operator==(const SectorMapping&) const = default;
};
// Sorts `pieces` by first and stripe and checks them against a device of `deviceSectors`: none empty, none
// overlapping another, a striped piece's entries whole and evenly divided, every sector on the device.
// Where the last piece ends; nothing when they fail.
std::optional<uint64_t> SortAndCheckPieces(std::vector<SectorMapping>& pieces, uint64_t deviceSectors);
// Where sector `sector` of a volume mapped by `pieces` (sorted by `first`, none overlapping) lies on the
// device, and how many sectors from there lie in that run (up to the next piece, or UINT64_MAX past the
// last): outside every piece a sector lies where it is.
struct MappedRun {
  uint64_t device = 0;
  uint64_t count = 0;
};
MappedRun MapSector(std::span<const SectorMapping> pieces, uint64_t sector);

}  // namespace snapsave
