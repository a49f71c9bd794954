#include "engines/file_system_registry.h"

#include <algorithm>
#include <array>
#include <bit>
#include <string>
#include <vector>

#include "fs/btrfs/btrfs_quick_engine.h"
#include "fs/btrfs/btrfs_structures.h"
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
#include "fs/fat/fat_table_window.h"
#include "fs/ntfs/ntfs_boot_sector.h"
#include "fs/ntfs/ntfs_deep_engine.h"
#include "fs/ntfs/ntfs_quick_engine.h"
#include "fs/ntfs/ntfs_record.h"
#include "fs/ntfs/ntfs_volume.h"
#include "fs/xfs/xfs_quick_engine.h"
#include "fs/xfs/xfs_structures.h"

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

// An ext, XFS or Btrfs file's data: the first block its map gives, which the quick engine keeps.
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

bool FatCopies(const SectorReader& reader, uint64_t volumeStart, uint64_t volumeSectors,
               uint32_t sectorSize) {
  std::vector<uint8_t> copy(std::max<uint32_t>(sectorSize, 512));
  uint32_t got = 0;
  if (volumeSectors <= kFatBootCopySector ||
      reader.ReadSectors(copy, 1, volumeStart + kFatBootCopySector, static_cast<uint32_t>(copy.size()),
                         &got) != 0)
    return false;
  return IsFatBootCopy(copy);
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

// Allocation bitmaps are read whole; past this (a volume of some terabytes) the listing says "unknown"
// rather than read for long.
constexpr uint64_t kMaxBitmapBytes = 32ull << 20;

// Clear bits among the first `bits` of a bitmap.
uint64_t ClearBits(ByteSpan map, uint64_t bits) {
  uint64_t set = 0;
  const uint64_t whole = std::min<uint64_t>(bits / 8, map.size());
  for (uint64_t i = 0; i < whole; ++i) set += static_cast<uint64_t>(std::popcount(map[i]));
  for (uint64_t b = whole * 8; b < bits && b / 8 < map.size(); ++b) {
    const unsigned byte = map[b / 8];
    set += (byte >> (b % 8)) & 1u;
  }
  return bits - std::min(set, bits);
}

std::optional<uint64_t> NtfsFree(const SectorReader& reader, uint64_t volumeStart, uint64_t volumeSectors,
                                 uint32_t sectorSize) {
  std::vector<uint8_t> boot;
  if (!ReadNtfsBootSector(reader, volumeStart, volumeSectors, sectorSize, boot)) return std::nullopt;
  const NtfsGeometry g = ParseNtfsGeometry(boot, volumeStart);
  if (g.sectorsPerCluster == 0) return std::nullopt;
  const uint64_t clusters = g.totalSectors / g.sectorsPerCluster;
  if (clusters == 0 || clusters / 8 > kMaxBitmapBytes) return std::nullopt;
  NtfsVolume volume(reader, volumeStart, g);
  std::vector<uint8_t> map;
  if (volume.LoadMftRuns() != 0 || volume.ReadClusterBitmap(map) != 0 || map.size() < (clusters + 7) / 8)
    return std::nullopt;
  return ClearBits(map, clusters) * g.clusterBytes;
}

std::optional<uint64_t> ExfatFree(const SectorReader& reader, uint64_t volumeStart, uint64_t volumeSectors,
                                  uint32_t) {
  const std::optional<ExfatGeometry> g = ReadExfatBootRegion(reader, volumeStart, volumeSectors);
  if (!g || g->clusterCount / 8 > kMaxBitmapBytes) return std::nullopt;
  ExfatVolume volume(reader, *g);
  if (!volume.ReadAllocationBitmap()) return std::nullopt;
  uint64_t free = 0;
  for (uint64_t c = 2; c <= uint64_t{g->clusterCount} + 1; ++c)
    free += volume.IsAllocated(static_cast<uint32_t>(c)) ? 0u : 1u;
  return free * g->clusterBytes;
}

std::optional<uint64_t> FatFree(const SectorReader& reader, uint64_t volumeStart, uint64_t volumeSectors,
                                uint32_t sectorSize) {
  std::vector<uint8_t> boot(std::max<uint32_t>(sectorSize, 512));
  uint32_t got = 0;
  if (reader.ReadSectors(boot, 1, volumeStart, static_cast<uint32_t>(boot.size()), &got) != 0)
    return std::nullopt;
  const std::optional<FatGeometry> g = ParseFatGeometry(boot, volumeStart, volumeSectors);
  if (!g) return std::nullopt;
  FatTableWindow table(reader, *g);
  uint64_t free = 0;
  for (uint64_t c = 2; c <= uint64_t{g->clusterCount} + 1; ++c) {
    const FatTableWindow::Entry e = table.ReadEntry(static_cast<uint32_t>(c));
    if (e.status != 0) return std::nullopt;
    free += e.value == 0 ? 1u : 0u;
  }
  return free * g->clusterBytes;
}

std::optional<uint64_t> ExtFree(const SectorReader& reader, uint64_t volumeStart, uint64_t,
                                uint32_t sectorSize) {
  // The superblock's count, as the driver left it at the last unmount.
  std::vector<uint8_t> head(2048);
  uint32_t got = 0;
  if (sectorSize == 0 || 2048 % sectorSize != 0 ||
      reader.ReadSectors(head, static_cast<int32_t>(2048 / sectorSize), volumeStart, sectorSize, &got) != 0)
    return std::nullopt;
  const ByteSpan sb = ByteSpan(head).subspan(1024);
  const auto g = ParseExtSuperblock(sb);
  if (!g) return std::nullopt;
  uint64_t blocks = Le32(sb, 0x0C);
  if (g->featureIncompat & kExtIncompat64Bit) blocks |= uint64_t{Le32(sb, 0x158)} << 32;
  if (blocks > g->blocksCount) return std::nullopt;
  return blocks * g->blockSize;
}

bool IsXfsVolume(ByteSpan start) {
  return IsXfsSuperblock(start);
}

std::optional<uint64_t> XfsBytes(ByteSpan start) {
  const std::optional<XfsGeometry> g = ParseXfsSuperblock(start);
  if (!g || g->dataBlocks >= kAnyLength / g->blockSize) return std::nullopt;
  return g->dataBlocks * g->blockSize;
}

std::optional<uint64_t> XfsFree(const SectorReader& reader, uint64_t volumeStart, uint64_t,
                                uint32_t sectorSize) {
  // The superblock's count, as the driver left it at the last unmount.
  std::vector<uint8_t> head(std::max<uint32_t>(sectorSize, 512));
  uint32_t got = 0;
  if (sectorSize == 0 || reader.ReadSectors(head, static_cast<int32_t>(head.size() / sectorSize), volumeStart,
                                            sectorSize, &got) != 0)
    return std::nullopt;
  const std::optional<XfsGeometry> g = ParseXfsSuperblock(head);
  if (!g || g->freeBlocks > g->dataBlocks) return std::nullopt;
  return g->freeBlocks * g->blockSize;
}

bool IsBtrfsVolume(ByteSpan start) {
  return Has(start, kBtrfsSuperblockOffset, kBtrfsSuperblockSize) &&
         IsBtrfsSuperblock(start.subspan(kBtrfsSuperblockOffset, kBtrfsSuperblockSize));
}

std::optional<uint64_t> BtrfsBytes(ByteSpan start) {
  if (!Has(start, kBtrfsSuperblockOffset, kBtrfsSuperblockSize)) return std::nullopt;
  const auto s = ParseBtrfsSuperblock(start.subspan(kBtrfsSuperblockOffset, kBtrfsSuperblockSize));
  if (!s || s->deviceBytes >= kAnyLength) return std::nullopt;
  return s->deviceBytes;
}

bool BtrfsCopies(const SectorReader& reader, uint64_t volumeStart, uint64_t volumeSectors,
                 uint32_t sectorSize) {
  return ReadBtrfsSuperblock(reader, volumeStart, volumeSectors, sectorSize).has_value();
}

std::optional<uint64_t> BtrfsFree(const SectorReader& reader, uint64_t volumeStart, uint64_t volumeSectors,
                                  uint32_t sectorSize) {
  // The superblock's count, as the driver left it at the last commit.
  const auto s = ReadBtrfsSuperblock(reader, volumeStart, volumeSectors, sectorSize);
  if (!s || s->bytesUsed > s->totalBytes) return std::nullopt;
  return s->totalBytes - s->bytesUsed;
}

// Probed in this order; NTFS's boot sector can pass FAT's tests, FAT's and exFAT's never pass each other's.
const std::array<FileSystem, 6> kFileSystems = {{
    {"NTFS", "|NTFS|", IsNtfsBootSector, Quick<CFastNtfsRecovery>, Deep<CProfessionalNtfsRecovery>,
     SourceKind::kNtfsQuick, SourceKind::kNtfsDeep, nullptr, IsNtfsMetadataSector, "MSG0913", "MSG0915",
     NtfsBytes, NtfsCopies, NtfsFree},
    {"exFAT", "|exFAT|", IsExfatVolume, Quick<CFastExfatRecovery>, Deep<CProfessionalExfatRecovery>,
     SourceKind::kExfatQuick, SourceKind::kExfatDeep, nullptr, IsExfatMetadataSector, "MSG0918", "MSG0919",
     ExfatBytes, ExfatCopies, ExfatFree},
    {"FAT", "|FAT|FAT32|", IsFatBootSector, Quick<CFastFatRecovery>, Deep<CProfessionalFatRecovery>,
     SourceKind::kFatQuick, SourceKind::kFatDeep, nullptr, IsFatMetadataSector, "MSG0914", "MSG0916",
     FatBytes, FatCopies, FatFree},
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
     ExtCopies,
     ExtFree},
    {"XFS",
     "|xfs|",
     IsXfsVolume,
     Quick<CFastXfsRecovery>,
     nullptr,
     SourceKind::kXfsQuick,
     std::nullopt,
     ExtFirstDataSector,
     nullptr,
     {},
     {},
     XfsBytes,
     nullptr,
     XfsFree},
    {"Btrfs",
     "|btrfs|",
     IsBtrfsVolume,
     Quick<CFastBtrfsRecovery>,
     nullptr,
     SourceKind::kBtrfsQuick,
     std::nullopt,
     ExtFirstDataSector,
     nullptr,
     {},
     {},
     BtrfsBytes,
     BtrfsCopies,
     BtrfsFree},
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

std::optional<uint64_t> VolumeFreeBytes(const SectorReader& reader, uint64_t volumeStart,
                                        uint64_t volumeSectors, uint32_t sectorSize) {
  if (sectorSize == 0 || kProbeBytes % sectorSize != 0) return std::nullopt;
  std::vector<uint8_t> probe(kProbeBytes);
  uint32_t got = 0;
  const auto count = static_cast<int32_t>(std::min<uint64_t>(kProbeBytes / sectorSize, volumeSectors));
  if (count == 0 || reader.ReadSectors(probe, count, volumeStart, sectorSize, &got) != 0) return std::nullopt;
  const FileSystem* fs = ClassifyVolume(ByteSpan(probe).first(static_cast<size_t>(count) * sectorSize));
  if (fs == nullptr || fs->freeBytes == nullptr) return std::nullopt;
  return fs->freeBytes(reader, volumeStart, volumeSectors, sectorSize);
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
