#include "engines/engine_factory.h"

#include <vector>

#include "engines/deep_scan_engine.h"
#include "os/device.h"
#include "os/error.h"
#include "os/volume_space.h"
#include "storage/image_layout.h"
#include "storage/sector_reader.h"

namespace snapsave {

namespace {

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

std::unique_ptr<IFileRecoveryParse> CreateScanEngine(SavedScanStore& store, const VolumeSource& source,
                                                     bool deep) {
  SectorReader reader;
  if ((source.IsImage() ? reader.OpenFile(source.image) : reader.OpenDisk(source.diskNumber)) != 0)
    return nullptr;
  // What the system still holds for a mounted volume must reach the medium before it is read raw.
  if (!source.IsImage()) os::FlushVolume(source.diskNumber, source.startSector);
  std::vector<uint8_t> probe;
  if (!ReadProbe(reader, source.startSector, reader.DeviceSectorSize(), probe)) return nullptr;
  std::unique_ptr<IFileRecoveryParse> engine;
  if (deep) {
    engine = std::make_unique<CProfessionalRecovery>(
        store, [&store](const VolumeSource& volume) { return CreateScanEngine(store, volume, false); });
  } else if (const FileSystem* fs = ClassifyVolume(probe)) {
    engine = fs->makeQuick(store);
  }
  if (engine) engine->Open(source);
  return engine;
}

uint32_t ReadImageDisk(const std::filesystem::path& image, ImageDisk& out) {
  out = ImageDisk{};
  SectorReader reader;
  if (const uint32_t e = reader.OpenFile(image); e != err::kSuccess) return e;
  std::vector<uint8_t> probe;
  if (ReadProbe(reader, 0, SectorReader::kImageSectorSize, probe) && ClassifyVolume(probe) != nullptr)
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
