#include "fs/ntfs/ntfs_boot_sector.h"

namespace snapsave {

bool IsNtfsBootSector(ByteSpan s) {
  if (!Has(s, 0, 512) || !BytesEqual(s, 3, "NTFS    ")) return false;
  const uint16_t bytesPerSector = Le16(s, 11);
  if (bytesPerSector % 512 != 0) return false;
  if (Le16(s, 14) != 0) return false;
  const uint8_t spc = Le8(s, 13);
  if (spc == 0 || (spc & (spc - 1)) != 0) return false;  // 1, 2, 4 ... 128
  for (size_t off : {16u, 17u, 18u, 19u, 20u, 22u, 23u, 32u, 33u, 34u, 35u}) {
    if (s[off] != 0) return false;
  }
  if (Le64(s, 40) == 0) return false;
  return s[510] == 0x55 && s[511] == 0xAA;
}

NtfsGeometry ParseNtfsGeometry(ByteSpan boot, uint64_t volumeStart) {
  NtfsGeometry g;
  g.sectorSize = Le16(boot, 11);
  if (g.sectorSize == 0) g.sectorSize = 512;
  g.sectorsPerRecord = g.sectorSize == 512 ? 2 : 1;
  g.recordSize = g.sectorsPerRecord * g.sectorSize;
  g.sectorsPerCluster = Le8(boot, 13);
  if (g.sectorsPerCluster == 0) g.sectorsPerCluster = 1;
  g.clusterBytes = uint64_t{g.sectorsPerCluster} * g.sectorSize;
  g.totalSectors = Le64(boot, 40);
  g.mftCluster = Le64(boot, 48);
  g.mftStartSector = volumeStart + g.mftCluster * g.sectorsPerCluster;  // wraps on nonsense; reads then fail
  g.mftMirrorStartSector = volumeStart + Le64(boot, 56) * g.sectorsPerCluster;
  return g;
}

}  // namespace snapsave
