#include "engines/file_system_registry.h"

#include <array>
#include <string>
#include <vector>

#include "fs/exfat/exfat_deep_engine.h"
#include "fs/exfat/exfat_quick_engine.h"
#include "fs/exfat/exfat_structures.h"
#include "fs/exfat/exfat_volume.h"
#include "fs/ext/ext_quick_engine.h"
#include "fs/ext/ext_superblock.h"
#include "fs/fat/fat_boot_sector.h"
#include "fs/fat/fat_deep_engine.h"
#include "fs/fat/fat_dir_entry.h"
#include "fs/fat/fat_quick_engine.h"
#include "fs/ntfs/ntfs_boot_sector.h"
#include "fs/ntfs/ntfs_deep_engine.h"
#include "fs/ntfs/ntfs_quick_engine.h"
#include "fs/ntfs/ntfs_record.h"
#include "fs/ntfs/ntfs_volume.h"

namespace snapsave {

namespace {

template <typename Engine>
std::unique_ptr<VolumeEngine> Quick(SavedScanStore& store) {
  return std::make_unique<Engine>(store);
}

template <typename Engine>
std::unique_ptr<DeepVolumeEngine> Deep(SavedScanStore& store) {
  return std::make_unique<Engine>(store);
}

bool IsExtVolume(ByteSpan start) {
  return Has(start, 1024, 1024) && IsExtSuperblock(start.subspan(1024, 1024));
}

// An ext file's data: the first block its map gives, which the quick engine keeps.
std::optional<uint64_t> ExtFirstDataSector(const FoundFileRecord& r, uint32_t /*sectorSize*/) {
  return r.volumeStartSector + r.dataStartSector;
}

// What each boot sector or superblock says the volume spans. The bound only keeps the parsers' own checks
// from refusing a volume longer than the medium it is on, which is what is being looked for.
constexpr uint64_t kAnyLength = uint64_t{1} << 40;

std::optional<uint64_t> NtfsBytes(ByteSpan start) {
  if (!IsNtfsBootSector(start)) return std::nullopt;
  const NtfsGeometry g = ParseNtfsGeometry(start, 0);
  if (g.totalSectors >= kAnyLength) return std::nullopt;
  // The backup boot sector lies just past the counted sectors.
  return (g.totalSectors + 1) * g.sectorSize;
}

std::optional<uint64_t> ExfatBytes(ByteSpan start) {
  const auto g = ParseExfatGeometry(start, 0, 0);
  if (!g || g->volumeSectors >= kAnyLength) return std::nullopt;
  return g->volumeSectors * g->sectorSize;
}

std::optional<uint64_t> FatBytes(ByteSpan start) {
  const auto g = ParseFatGeometry(start, 0, kAnyLength);
  if (!g) return std::nullopt;
  return uint64_t{g->totalSectors} * g->sectorSize;
}

std::optional<uint64_t> ExtBytes(ByteSpan start) {
  if (!Has(start, 1024, 1024)) return std::nullopt;
  const auto g = ParseExtSuperblock(start.subspan(1024, 1024));
  if (!g || g->blocksCount >= kAnyLength) return std::nullopt;
  return g->blocksCount * g->blockSize;
}

bool NtfsCopies(const SectorReader& reader, uint64_t volumeStart, uint64_t volumeSectors,
                uint32_t sectorSize) {
  std::vector<uint8_t> boot;
  return ReadNtfsBootSector(reader, volumeStart, volumeSectors, sectorSize, boot);
}

bool ExfatCopies(const SectorReader& reader, uint64_t volumeStart, uint64_t volumeSectors, uint32_t) {
  return ReadExfatBootRegion(reader, volumeStart, volumeSectors).has_value();
}

bool ExtCopies(const SectorReader& reader, uint64_t volumeStart, uint64_t volumeSectors,
               uint32_t sectorSize) {
  return ReadExtSuperblock(reader, volumeStart, volumeSectors, sectorSize, true).has_value();
}

// Probed in this order; NTFS's boot sector can pass FAT's tests, FAT's and exFAT's never pass each other's.
const std::array<FileSystem, 4> kFileSystems = {{
    {"NTFS", "|NTFS|", IsNtfsBootSector, Quick<CFastNtfsRecovery>, Deep<CProfessionalNtfsRecovery>,
     SourceKind::kNtfsQuick, SourceKind::kNtfsDeep, nullptr, IsNtfsMetadataSector, "MSG0913", "MSG0915",
     NtfsBytes, NtfsCopies},
    {"exFAT", "|exFAT|", IsExfatVolume, Quick<CFastExfatRecovery>, Deep<CProfessionalExfatRecovery>,
     SourceKind::kExfatQuick, SourceKind::kExfatDeep, nullptr, IsExfatMetadataSector, "MSG0918", "MSG0919",
     ExfatBytes, ExfatCopies},
    {"FAT", "|FAT|FAT32|", IsFatBootSector, Quick<CFastFatRecovery>, Deep<CProfessionalFatRecovery>,
     SourceKind::kFatQuick, SourceKind::kFatDeep, nullptr, IsFatMetadataSector, "MSG0914", "MSG0916",
     FatBytes, nullptr},
    {"ext",
     "|ext2|ext3|ext4|",
     IsExtVolume,
     Quick<CFastExtRecovery>,
     nullptr,
     SourceKind::kExtQuick,
     std::nullopt,
     ExtFirstDataSector,
     nullptr,
     "MSG0920",
     {},
     ExtBytes,
     ExtCopies},
}};

}  // namespace

bool FileSystem::IsListedAs(std::string_view listingName) const {
  return !listingName.empty() &&
         listedAs.find("|" + std::string(listingName) + "|") != std::string_view::npos;
}

std::span<const FileSystem> FileSystems() {
  return kFileSystems;
}

const FileSystem* ClassifyVolume(ByteSpan probe) {
  for (const FileSystem& fs : kFileSystems) {
    if (fs.probe(probe)) return &fs;
  }
  return nullptr;
}

const FileSystem* ClassifyVolumeByCopies(const SectorReader& reader, uint64_t volumeStart,
                                         uint64_t volumeSectors, uint32_t sectorSize) {
  for (const FileSystem& fs : kFileSystems) {
    if (fs.probeCopies != nullptr && fs.probeCopies(reader, volumeStart, volumeSectors, sectorSize))
      return &fs;
  }
  return nullptr;
}

const FileSystem* FileSystemOfKind(SourceKind kind) {
  for (const FileSystem& fs : kFileSystems) {
    if (fs.quickKind == kind || fs.deepKind == kind) return &fs;
  }
  return nullptr;
}

bool IsFileSystemMetadata(std::span<const uint8_t> sector) {
  for (const FileSystem& fs : kFileSystems) {
    if (fs.metadataSector != nullptr && fs.metadataSector(sector)) return true;
  }
  return false;
}

bool QuickScannableName(std::string_view listingName) {
  for (const FileSystem& fs : kFileSystems) {
    if (fs.IsListedAs(listingName)) return true;
  }
  return false;
}

}  // namespace snapsave
