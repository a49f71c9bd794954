#include "engines/engine_factory.h"

#include <fmt/core.h>

#include <optional>
#include <string>
#include <vector>

#include "engines/deep_scan_engine.h"
#include "os/device.h"
#include "os/error.h"
#include "os/text.h"
#include "os/volume_space.h"
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
  if ((source.IsImage() ? reader.OpenFile(source.image) : reader.OpenDisk(source.disk)) != 0) return nullptr;
  // What the system still holds for a mounted volume must reach the medium before it is read raw.
  if (!source.IsImage()) os::FlushVolume(source.disk, source.startSector);
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

const FileSystem* ProbeImageStart(const std::filesystem::path& image) {
  SectorReader reader;
  if (reader.OpenFile(image) != err::kSuccess) return nullptr;
  std::vector<uint8_t> probe;
  return ReadProbe(reader, 0, SectorReader::kImageSectorSize, probe) ? ClassifyVolume(probe) : nullptr;
}

std::string VolumeShortfall(const std::filesystem::path& image) {
  SectorReader reader;
  if (reader.OpenFile(image) != err::kSuccess) return {};
  std::vector<uint8_t> probe;
  if (!ReadProbe(reader, 0, SectorReader::kImageSectorSize, probe)) return {};
  const FileSystem* fs = ClassifyVolume(probe);
  if (fs == nullptr || fs->statedBytes == nullptr) return {};
  const std::optional<uint64_t> stated = fs->statedBytes(probe);
  const uint64_t held = reader.TotalSectors() * SectorReader::kImageSectorSize;
  if (!stated || *stated <= held) return {};
  return fmt::format(
      "its {} volume says it spans {}, the image holds {}: the last {} are missing (the copy was cut short), "
      "and files there cannot be read",
      fs->name, os::HumanSize(*stated), os::HumanSize(held), os::HumanSize(*stated - held));
}

}  // namespace snapsave
