#include "fs/ext/ext_quick_engine.h"

namespace snapsave {

uint32_t CFastExtRecovery::OpenImageFile(const std::filesystem::path& /*imagePath*/,
                                         char16_t /*driveLetter*/) {
  return 0;
}

uint32_t CFastExtRecovery::OpenPhysicalDisk(int32_t diskNumber, uint64_t volumeStartSector,
                                            uint64_t volumeSectorCount, char16_t /*driveLetter*/) {
  if (uint32_t e = reader_.OpenDisk(diskNumber); e != 0) return e;
  volumeStart_ = volumeStartSector;
  volumeSectors_ = volumeSectorCount;
  return 0;
}

}  // namespace snapsave
