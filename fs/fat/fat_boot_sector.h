// FAT boot sector: recognising a FAT volume and deriving the geometry an engine keeps for a whole scan.
#pragma once

#include <cstdint>
#include <optional>

#include "os/byte_reader.h"

namespace snapsave {

// True for the boot sector of a BitLocker-style encrypted volume, which may carry FAT-looking fields.
bool IsEncryptedVolumeBootSector(ByteSpan boot);

// The detection test of the engine factory.
bool IsFatBootSector(ByteSpan boot);

// Where FAT32 keeps the copy of its boot sector (in sectors of its own size), as formatters write it.
inline constexpr uint32_t kFatBootCopySector = 6;
// A FAT32 boot sector that says its copy is at kFatBootCopySector: what that copy looks like.
bool IsFatBootCopy(ByteSpan boot);

// Width of a table entry. Detection only distinguishes FAT32; the 12-bit layout is told from the 16-bit one
// by its cluster count, as every FAT implementation does.
enum class FatWidth : uint8_t { k12 = 12, k16 = 16, k32 = 32 };

struct FatGeometry {
  uint32_t sectorSize = 512;
  bool isFat32 = false;
  FatWidth width = FatWidth::k16;
  uint32_t sectorsPerCluster = 0;
  uint32_t rootCluster = 0;     // 0: the fixed root region of the 12/16-bit layout
  uint32_t dataStart = 0;       // volume-relative sector of cluster 2
  uint32_t rootDirSectors = 0;  // size of the fixed root region (12/16-bit layout)
  uint32_t fatSectors = 0;      // size of one FAT
  uint32_t fatCount = 1;        // copies of the FAT, one after another from fatStart
  uint64_t fatStart = 0;        // absolute sector of the first FAT
  uint64_t volumeStart = 0;     // absolute sector
  uint64_t volumeSectors = 0;
  uint32_t clusterBytes = 0;
  uint32_t totalSectors = 0;
  uint32_t clusterCount = 0;  // data clusters; valid cluster numbers are 2 .. clusterCount + 1

  // First absolute sector of cluster n (n >= 2), or of the fixed root region for n = 0.
  uint64_t ClusterSector(uint32_t cluster) const;
  uint32_t LastCluster() const { return clusterCount + 1; }
  bool IsDataCluster(uint32_t cluster) const { return cluster >= 2 && cluster <= LastCluster(); }
};

// Derives the geometry from a boot sector. Rejects what no FAT driver accepts (sector sizes other than
// 512..4096 in powers of two, clusters above 512 KiB, a data region past the volume's sector count), so that
// later arithmetic cannot overflow and reads stay bounded. `volumeSectors` is in units of the boot sector's
// own size.
std::optional<FatGeometry> ParseFatGeometry(ByteSpan boot, uint64_t volumeStart, uint64_t volumeSectors);

}  // namespace snapsave
