#include "engines/engine_factory.h"

#include <vector>

#include "engines/deep_scan_engine.h"
#include "fs/exfat/exfat_quick_engine.h"
#include "fs/exfat/exfat_structures.h"
#include "fs/ext/ext_quick_engine.h"
#include "fs/ext/ext_superblock.h"
#include "fs/fat/fat_boot_sector.h"
#include "fs/fat/fat_quick_engine.h"
#include "fs/ntfs/ntfs_boot_sector.h"
#include "fs/ntfs/ntfs_quick_engine.h"
#include "os/device.h"
#include "os/error.h"
#include "os/volume_space.h"
#include "storage/image_layout.h"
#include "storage/sector_reader.h"

namespace snapsave {

namespace {

QuickEngineMaker QuickMaker(SavedScanStore& store) {
  QuickEngineMaker maker;
  maker.forDisk = [&store](int32_t disk, uint64_t start, uint64_t count, char16_t letter) {
    return CreateScanEngine(store, disk, start, count, letter, false);
  };
  maker.forImage = [&store](const std::filesystem::path& image, char16_t letter) {
    return CreateScanEngineForImage(store, image, letter, false);
  };
  return maker;
}

std::unique_ptr<IFileRecoveryParse> MakeEngine(SavedScanStore& store, VolumeType type, bool deep) {
  if (deep) return std::make_unique<CProfessionalRecovery>(store, QuickMaker(store));
  switch (type) {
    case VolumeType::kFat:
      return std::make_unique<CFastFatRecovery>(store);
    case VolumeType::kNtfs:
      return std::make_unique<CFastNtfsRecovery>(store);
    case VolumeType::kExt:
      return std::make_unique<CFastExtRecovery>(store);
    case VolumeType::kExfat:
      return std::make_unique<CFastExfatRecovery>(store);
    case VolumeType::kUnknown:
      break;
  }
  return nullptr;
}

// Reads the probe at `sector`; false when fewer than kProbeBytes arrive.
bool ReadProbe(const SectorReader& reader, uint64_t sector, uint32_t sectorSize,
               std::vector<uint8_t>& probe) {
  if (sectorSize == 0 || kProbeBytes % sectorSize != 0) return false;
  probe.assign(kProbeBytes, 0);
  uint32_t got = 0;
  const auto count = static_cast<int32_t>(kProbeBytes / sectorSize);
  reader.ReadSectors(probe, count, sector, sectorSize, &got);
  return got == static_cast<uint32_t>(count);
}

}  // namespace

VolumeType ClassifyVolume(ByteSpan probe) {
  if (IsNtfsBootSector(probe)) return VolumeType::kNtfs;
  if (IsFatBootSector(probe)) return VolumeType::kFat;
  if (IsExfatVolume(probe)) return VolumeType::kExfat;
  if (Has(probe, 1024, 1024) && IsExtSuperblock(probe.subspan(1024, 1024))) return VolumeType::kExt;
  return VolumeType::kUnknown;
}

std::unique_ptr<IFileRecoveryParse> CreateScanEngine(SavedScanStore& store, int32_t diskNumber,
                                                     uint64_t volumeStartSector, uint64_t volumeSectorCount,
                                                     char16_t driveLetter, bool deep) {
  SectorReader reader;
  if (reader.OpenDisk(diskNumber) != 0) return nullptr;
  // What the system still holds for a mounted volume must reach the medium before it is read raw.
  os::FlushVolume(diskNumber, volumeStartSector);
  std::vector<uint8_t> probe;
  if (!ReadProbe(reader, volumeStartSector, reader.DeviceSectorSize(), probe)) return nullptr;
  auto engine = MakeEngine(store, ClassifyVolume(probe), deep);
  if (engine) engine->OpenPhysicalDisk(diskNumber, volumeStartSector, volumeSectorCount, driveLetter);
  return engine;
}

std::unique_ptr<IFileRecoveryParse> CreateScanEngineForImage(SavedScanStore& store,
                                                             const std::filesystem::path& imagePath,
                                                             char16_t driveLetter, bool deep) {
  SectorReader reader;
  if (reader.OpenFile(imagePath) != 0) return nullptr;
  std::vector<uint8_t> probe;
  if (!ReadProbe(reader, 0, SectorReader::kImageSectorSize, probe)) return nullptr;
  auto engine = MakeEngine(store, ClassifyVolume(probe), deep);
  if (engine) engine->OpenImageFile(imagePath, driveLetter);
  return engine;
}

uint32_t ReadImageDisk(const std::filesystem::path& image, ImageDisk& out) {
  out = ImageDisk{};
  SectorReader reader;
  if (const uint32_t e = reader.OpenFile(image); e != err::kSuccess) return e;
  std::vector<uint8_t> probe;
  if (ReadProbe(reader, 0, SectorReader::kImageSectorSize, probe) &&
      ClassifyVolume(probe) != VolumeType::kUnknown)
    return err::kSuccess;
  reader.Close();
  ImageLayout layout;
  if (const uint32_t e = ReadImageLayout(image, layout); e != err::kSuccess) return e;
  if (layout.partitions.empty()) return err::kSuccess;
  const int32_t number = os::DiskTable::AddImage(image);
  DiskMap map(MakeImageDiskFacts(image, number));
  if (!map.Refresh()) return err::kReadFault;
  map.GetAll(out.entries);
  if (out.entries.empty()) return err::kSuccess;
  out.diskNumber = number;
  return err::kSuccess;
}

DeepScanControl* DeepControlOf(IFileRecoveryParse& engine) {
  return dynamic_cast<CProfessionalRecovery*>(&engine);
}

}  // namespace snapsave
