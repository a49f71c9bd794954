#include "engines/engine_factory.h"

#include <fmt/core.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "engines/deep_scan_engine.h"
#include "fs/fat/fat_boot_sector.h"
#include "os/device.h"
#include "os/error.h"
#include "os/text.h"
#include "os/volume_space.h"
#include "storage/sector_reader.h"

namespace snapsave {

namespace {

// Reads the probe at `sector`, zeros past the medium's end; false when fewer than kMinProbeBytes arrive. With
// `unreadable`, a sector that cannot be read is left as zeros and counted there, and the rest is read.
bool ReadProbe(const SectorReader& reader, uint64_t sector, uint32_t sectorSize, std::vector<uint8_t>& probe,
               uint32_t* unreadable = nullptr) {
  if (sectorSize == 0 || kProbeBytes % sectorSize != 0 || kMinProbeBytes % sectorSize != 0) return false;
  probe.assign(kProbeBytes, 0);
  uint32_t got = 0;
  auto count = static_cast<int32_t>(kProbeBytes / sectorSize);
  reader.ReadSectors(probe, count, sector, sectorSize, &got);
  if (got == static_cast<uint32_t>(count)) return true;
  const uint64_t total = reader.TotalSectors();
  if (sector > total || total - sector < kMinProbeBytes / sectorSize) return false;
  count = static_cast<int32_t>(std::min<uint64_t>(static_cast<uint64_t>(count), total - sector));
  std::fill(probe.begin() + static_cast<std::ptrdiff_t>(size_t{got} * sectorSize), probe.end(), uint8_t{0});
  if (got >= static_cast<uint32_t>(count)) return true;
  if (unreadable == nullptr) return false;
  *unreadable = 0;
  for (auto i = static_cast<uint32_t>(got); i < static_cast<uint32_t>(count); ++i) {
    const auto one = std::span(probe).subspan(size_t{i} * sectorSize, sectorSize);
    uint32_t read = 0;
    reader.ReadSectors(one, 1, sector + i, sectorSize, &read);
    if (read == 1) continue;
    if (reader.SourceGone()) return false;
    std::fill(one.begin(), one.end(), uint8_t{0});
    ++*unreadable;
  }
  return true;
}

}  // namespace

std::unique_ptr<IFileRecoveryParse> CreateScanEngine(SavedScanStore& store, const VolumeSource& source,
                                                     bool deep) {
  SectorReader reader;
  if ((source.IsImage() ? reader.OpenFile(source.image)
                        : reader.OpenDiskVolume(source.disk, source.pieces)) != 0)
    return nullptr;
  // What the system still holds for a mounted volume must reach the medium before it is read raw.
  if (!source.IsImage()) os::FlushVolume(source.disk, source.startSector);
  std::vector<uint8_t> probe;
  uint32_t unreadable = 0;
  if (!ReadProbe(reader, source.startSector, reader.DeviceSectorSize(), probe, &unreadable)) return nullptr;
  std::unique_ptr<IFileRecoveryParse> engine;
  if (deep) {
    engine = std::make_unique<CProfessionalRecovery>(
        store, [&store](const VolumeSource& volume) { return CreateScanEngine(store, volume, false); });
  } else if (const FileSystem* fs = ClassifyVolume(probe)) {
    engine = fs->makeQuick(store);
  } else if (!IsEncryptedVolumeBootSector(probe)) {
    // A start that cannot be read, or was overwritten: the volume may still say what it is through its
    // copies. (An encrypted volume's copies are no plain volume's, whatever they look like.)
    const uint64_t sectors =
        source.sectorCount != 0 ? source.sectorCount
                                : reader.TotalSectors() - std::min(reader.TotalSectors(), source.startSector);
    if (const FileSystem* byCopies =
            ClassifyVolumeByCopies(reader, source.startSector, sectors, reader.DeviceSectorSize()))
      engine = byCopies->makeQuick(store);
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
