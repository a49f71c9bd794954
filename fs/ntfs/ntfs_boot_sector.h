// The NTFS boot sector: the test that says a volume is NTFS, and the geometry the engines derive from it.
#pragma once

#include <cstdint>

#include "os/byte_reader.h"

namespace snapsave {

inline constexpr uint32_t kNtfsBootReadBytes = 4096;

struct NtfsGeometry {
  uint32_t sectorSize = 512;
  uint32_t sectorsPerRecord = 2;
  uint32_t recordSize = 1024;
  uint32_t sectorsPerCluster = 1;
  uint64_t clusterBytes = 512;
  uint64_t totalSectors = 0;
  uint64_t mftCluster = 0;
  uint64_t mftStartSector = 0;        // absolute: volume start + MFT cluster * sectors per cluster
  uint64_t mftMirrorStartSector = 0;  // absolute: the copy of the MFT's first records ($MFTMirr)
};

bool IsNtfsBootSector(ByteSpan sector);

// Geometry of a boot sector that passed IsNtfsBootSector; `volumeStart` is the absolute first sector.
NtfsGeometry ParseNtfsGeometry(ByteSpan boot, uint64_t volumeStart);

}  // namespace snapsave
