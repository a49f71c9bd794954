#include "fs/fat/fat_boot_sector.h"

#include <algorithm>

namespace snapsave {

namespace {

constexpr size_t kBootBytes = 512;
constexpr uint32_t kFat12MaxClusters = 4084;

bool ValidSectorsPerCluster(uint32_t spc) {
  return spc != 0 && spc <= 128 && (spc & (spc - 1)) == 0;
}

bool HasBootSignature(ByteSpan b) {
  return Le8(b, 510) == 0x55 && Le8(b, 511) == 0xAA;
}

bool IsFat32Label(ByteSpan b) {
  return BytesEqual(b, 82, "FAT32   ");
}

uint32_t SectorsPerFat(ByteSpan b) {
  uint32_t n = Le16(b, 22);
  return n != 0 ? n : Le32(b, 36);
}

uint32_t TotalSectors(ByteSpan b) {
  uint32_t n = Le32(b, 32);
  return n != 0 ? n : Le16(b, 19);
}

// Cluster count in the unsigned 32-bit arithmetic the detection uses; wraps on nonsense values by design.
uint32_t RawClusterCount(ByteSpan b) {
  const uint32_t bytesPerSector = Le16(b, 11);
  const uint32_t spc = Le8(b, 13);
  if (bytesPerSector == 0 || spc == 0) return 0;
  uint32_t n = TotalSectors(b) - Le16(b, 14) - Le8(b, 16) * SectorsPerFat(b) -
               (uint32_t{Le16(b, 17)} * 32) / bytesPerSector;
  return n / spc;
}

bool Passes16BitTest(ByteSpan b) {
  return Le8(b, 16) != 0 && (Le16(b, 19) != 0 || Le32(b, 32) != 0) && ValidSectorsPerCluster(Le8(b, 13)) &&
         Le16(b, 22) != 0 && HasBootSignature(b);
}

bool PassesFat32Test(ByteSpan b) {
  return IsFat32Label(b) && Le8(b, 16) != 0 && Le32(b, 32) != 0 && ValidSectorsPerCluster(Le8(b, 13)) &&
         Le32(b, 36) != 0 && HasBootSignature(b);
}

}  // namespace

bool IsEncryptedVolumeBootSector(ByteSpan b) {
  if (BytesEqual(b, 3, "-FVE-FS-")) return true;
  if (!Has(b, 480, 30)) return false;
  for (size_t i = 0; i < 8; ++i) {
    if (b[480 + i] != 0x78) return false;
  }
  for (size_t i = 8; i < 27; ++i) {
    if (b[480 + i] != 0xFF) return false;
  }
  return BytesEqual(b, 507, {0x00, 0x1F, 0x2C});
}

bool IsFatBootSector(ByteSpan b) {
  if (!Has(b, 0, kBootBytes)) return false;
  if (IsEncryptedVolumeBootSector(b)) return false;
  const uint32_t bytesPerSector = Le16(b, 11);
  if (bytesPerSector == 0 || Le8(b, 13) == 0 || bytesPerSector % 512 != 0) return false;
  const uint32_t clusters = RawClusterCount(b);
  if (clusters >= 0x0FFFFFF0u) return false;
  if (clusters < 65525) return Passes16BitTest(b) || PassesFat32Test(b);
  return PassesFat32Test(b) || Passes16BitTest(b);
}

bool IsFatBootCopy(ByteSpan b) {
  return IsFatBootSector(b) && PassesFat32Test(b) && Le16(b, 50) == kFatBootCopySector;
}

uint64_t FatGeometry::ClusterSector(uint32_t cluster) const {
  if (cluster < 2) return volumeStart + dataStart - rootDirSectors;
  return volumeStart + dataStart + uint64_t{cluster - 2} * sectorsPerCluster;
}

std::optional<FatGeometry> ParseFatGeometry(ByteSpan b, uint64_t volumeStart, uint64_t volumeSectors) {
  if (!IsFatBootSector(b)) return std::nullopt;
  FatGeometry g;
  g.sectorSize = Le16(b, 11);
  if (g.sectorSize < 512 || g.sectorSize > 4096 || (g.sectorSize & (g.sectorSize - 1)) != 0)
    return std::nullopt;
  g.sectorsPerCluster = Le8(b, 13);
  if (!ValidSectorsPerCluster(g.sectorsPerCluster)) return std::nullopt;
  g.clusterBytes = g.sectorsPerCluster * g.sectorSize;
  if (g.clusterBytes > 512 * 1024) return std::nullopt;

  g.isFat32 = IsFat32Label(b);
  const uint32_t reserved = Le16(b, 14);
  const uint32_t fats = Le8(b, 16);
  g.fatSectors = g.isFat32 ? Le32(b, 36) : Le16(b, 22);
  g.totalSectors = TotalSectors(b);
  if (reserved == 0 || fats == 0 || g.fatSectors == 0) return std::nullopt;
  g.fatCount = fats;
  const uint64_t fatRegion = uint64_t{fats} * g.fatSectors;
  if (g.isFat32) {
    g.rootCluster = Le32(b, 44) & 0x0FFFFFFFu;
    g.rootDirSectors = 0;
  } else {
    g.rootCluster = 0;
    // The fixed root region is as long as its entry count says; assuming 512 entries misplaces the data
    // region of floppies and of volumes with other sector sizes.
    g.rootDirSectors = (uint32_t{Le16(b, 17)} * 32 + g.sectorSize - 1) / g.sectorSize;
  }
  const uint64_t dataStart = reserved + fatRegion + g.rootDirSectors;
  if (dataStart >= g.totalSectors || dataStart > UINT32_MAX) return std::nullopt;
  g.dataStart = static_cast<uint32_t>(dataStart);
  g.clusterCount = (g.totalSectors - g.dataStart) / g.sectorsPerCluster;
  // Clusters the FAT cannot describe do not exist.
  const uint64_t entryBits = g.isFat32 ? 32 : (g.clusterCount <= kFat12MaxClusters ? 12 : 16);
  g.width = g.isFat32 ? FatWidth::k32 : (entryBits == 12 ? FatWidth::k12 : FatWidth::k16);
  const uint64_t describable = uint64_t{g.fatSectors} * g.sectorSize * 8 / entryBits;
  const uint64_t maxByWidth = g.isFat32 ? 0x0FFFFFF5u : (entryBits == 12 ? 0xFF5u : 0xFFF5u);
  uint64_t limit = std::min<uint64_t>(describable, maxByWidth + 1);
  limit = limit > 2 ? limit - 2 : 0;
  if (g.clusterCount > limit) g.clusterCount = static_cast<uint32_t>(limit);
  if (g.clusterCount == 0) return std::nullopt;
  if (g.isFat32 && !g.IsDataCluster(g.rootCluster)) return std::nullopt;

  g.volumeStart = volumeStart;
  g.volumeSectors = volumeSectors;
  g.fatStart = volumeStart + reserved;
  return g;
}

}  // namespace snapsave
