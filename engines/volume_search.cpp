#include "engines/volume_search.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include <fmt/core.h>

#include "fs/btrfs/btrfs_structures.h"
#include "fs/exfat/exfat_structures.h"
#include "fs/exfat/exfat_volume.h"
#include "fs/ext/ext_quick_engine.h"
#include "fs/ext/ext_superblock.h"
#include "fs/fat/fat_boot_sector.h"
#include "fs/ntfs/ntfs_boot_sector.h"
#include "fs/ntfs/ntfs_volume.h"
#include "fs/xfs/xfs_structures.h"
#include "os/text.h"

namespace snapsave {

namespace {

constexpr uint32_t kSector = 512;
// Sectors read at a time by the search on its own.
constexpr uint32_t kChunkSectors = 2048;
// A volume longer than this (512 TiB) is a crafted field, not a disk.
constexpr uint64_t kMaxVolumeSectors = uint64_t{1} << 40;
// GPT arrays past this many entries or bytes are crafted: 128 entries of 128 bytes is the rule.
constexpr uint32_t kMaxGptEntries = 1024;
constexpr uint32_t kMaxGptArrayBytes = 1u << 20;

// Up to `count` sectors from `first`, cut at the disk's end; what was read.
std::vector<uint8_t> ReadSpan(const SectorReader& reader, uint64_t first, uint64_t count,
                              uint64_t diskSectors) {
  if (first >= diskSectors) return {};
  count = std::min(count, diskSectors - first);
  std::vector<uint8_t> bytes(static_cast<size_t>(count) * kSector);
  uint32_t got = 0;
  reader.ReadSectors(bytes, static_cast<int32_t>(count), first, kSector, &got);
  bytes.resize(size_t{got} * kSector);
  return bytes;
}

bool IsBootSignature(ByteSpan sector) {
  return sector.size() >= kSector && sector[510] == 0x55 && sector[511] == 0xAA &&
         (sector[0] == 0xEB || sector[0] == 0xE9);
}

// Where the volume whose ext superblock (or copy) is `superblock` starts, in bytes before it; nothing for a
// superblock that names no place a volume could start from.
std::optional<uint64_t> ExtSuperblockOffset(ByteSpan superblock) {
  const std::optional<ExtGeometry> g = ParseExtSuperblock(superblock);
  if (!g || g->blocksCount >= kMaxVolumeSectors) return std::nullopt;
  const uint32_t group = Le16(superblock, 90);
  if (group == 0) return uint64_t{1024};
  if (group >= g->groupCount) return std::nullopt;
  return (uint64_t{group} * g->blocksPerGroup + g->firstDataBlock) * g->blockSize;
}

// The file system and byte length a volume at `start` states: from its first sectors, or where those are gone
// from the copies it keeps of them.
struct Stated {
  const FileSystem* fileSystem = nullptr;
  uint64_t bytes = 0;
  bool fromCopy = false;
};

const FileSystem* RowNamed(std::string_view name) {
  for (const FileSystem& fs : FileSystems())
    if (fs.name == name) return &fs;
  return nullptr;
}

std::optional<Stated> StatedAt(const SectorReader& reader, uint64_t start, uint64_t diskSectors,
                               const std::vector<uint64_t>& copies) {
  const std::vector<uint8_t> probe = ReadSpan(reader, start, kProbeBytes / kSector, diskSectors);
  if (const FileSystem* fs = ClassifyVolume(probe); fs != nullptr && fs->statedBytes != nullptr) {
    if (const auto bytes = fs->statedBytes(probe)) return Stated{fs, *bytes, false};
  }
  // An encrypted volume's copies are no plain volume's, whatever they look like.
  if (IsEncryptedVolumeBootSector(probe)) return std::nullopt;
  // A copy found where the search saw it: a boot sector (or exFAT's backup boot region), or a superblock.
  for (const uint64_t at : copies) {
    const std::vector<uint8_t> copy = ReadSpan(reader, at, kProbeBytes / kSector, diskSectors);
    if (const FileSystem* fs = ClassifyVolume(copy); fs != nullptr && fs->statedBytes != nullptr) {
      if (const auto bytes = fs->statedBytes(copy)) return Stated{fs, *bytes, true};
    }
    if (copy.size() < 1024) continue;
    if (const auto g = ParseExtSuperblock(ByteSpan(copy).first(1024));
        g && g->blocksCount < kMaxVolumeSectors)
      return Stated{RowNamed("ext"), g->blocksCount * g->blockSize, true};
  }
  const uint64_t rest = diskSectors - std::min(start, diskSectors);
  // NTFS's copy in the volume's last sector, exFAT's backup boot region, ext's superblock copies.
  for (const FileSystem& fs : FileSystems()) {
    if (fs.probeCopies == nullptr || fs.statedBytes == nullptr ||
        !fs.probeCopies(reader, start, rest, kSector))
      continue;
    std::vector<uint8_t> copy;
    if (fs.name == "NTFS") {
      if (!ReadNtfsBootSector(reader, start, rest, kSector, copy)) continue;
    } else if (fs.name == "exFAT") {
      copy = ReadSpan(reader, start + 12, kProbeBytes / kSector, diskSectors);
    } else if (fs.name == "ext") {
      const auto g = ReadExtSuperblock(reader, start, rest, kSector, true);
      if (!g) continue;
      return Stated{&fs, g->blocksCount * g->blockSize, true};
    }
    if (const auto bytes = fs.statedBytes(copy)) return Stated{&fs, *bytes, true};
  }
  // FAT32's copy of its boot sector, six sectors in.
  const std::vector<uint8_t> copy = ReadSpan(reader, start + 6, 1, diskSectors);
  if (const auto g = ParseFatGeometry(copy, 0, kMaxVolumeSectors); g && g->isFat32 && Le16(copy, 50) == 6)
    return Stated{RowNamed("FAT"), uint64_t{g->totalSectors} * g->sectorSize, true};
  return std::nullopt;
}

// Whether the structures a volume of `fs` at `start` reads first are where its boot sector says: what tells a
// volume from a copy of its boot sector read as one.
bool FirstStructuresHold(const SectorReader& reader, const FileSystem& fs, uint64_t start, uint64_t sectors,
                         bool fromCopy, const std::vector<uint64_t>& copies) {
  if (fs.name == "FAT") {
    const std::vector<uint8_t> boot = ReadSpan(reader, fromCopy ? start + 6 : start, 1, start + sectors);
    const auto g = ParseFatGeometry(boot, start, sectors);
    if (!g || g->sectorSize != kSector) return false;
    const std::vector<uint8_t> table = ReadSpan(reader, g->fatStart, 1, start + sectors);
    return table.size() >= 2 && table[0] == boot[21] && table[1] == 0xFF;
  }
  if (fs.name == "NTFS") {
    std::vector<uint8_t> boot;
    if (!ReadNtfsBootSector(reader, start, sectors, kSector, boot)) return false;
    const NtfsGeometry g = ParseNtfsGeometry(boot, start);
    if (g.sectorSize != kSector) return false;
    NtfsVolume volume(reader, start, g);
    return volume.LoadMftRuns() == 0 && !volume.MftRuns().empty();
  }
  if (fs.name == "exFAT") {
    const auto g = ReadExfatBootRegion(reader, start, sectors);
    if (!g || g->sectorSize != kSector || !g->IsDataCluster(g->rootCluster)) return false;
    const std::vector<uint8_t> root = ReadSpan(reader, g->ClusterSector(g->rootCluster),
                                               std::min<uint32_t>(g->sectorsPerCluster, 8), start + sectors);
    for (size_t at = 0; at + 32 <= root.size(); at += 32)
      if (root[at] == 0x81) return true;  // the allocation bitmap's entry
    return false;
  }
  if (fs.name == "ext") {
    std::optional<ExtGeometry> g = ReadExtSuperblock(reader, start, sectors, kSector);
    // A copy in a group the driver's guess of the group size does not reach.
    for (size_t i = 0; !g && i < copies.size(); ++i)
      g = ParseExtSuperblock(ReadSpan(reader, copies[i], 2, start + sectors));
    if (!g || g->blockSize % kSector != 0) return false;
    const uint64_t perBlock = g->blockSize / kSector;
    const std::vector<uint8_t> table =
        ReadSpan(reader, start + g->DescriptorTableBlock() * perBlock, perBlock, start + sectors);
    const std::vector<ExtGroupDescriptor> groups = ParseExtGroupDescriptors(table, *g);
    return !groups.empty() && groups.front().inodeTable != 0 && groups.front().inodeTable < g->blocksCount;
  }
  if (fs.name == "XFS") {
    // Every allocation group starts with a copy of the superblock; only the first group's free-space header
    // (its second sector) says group 0.
    const std::optional<XfsGeometry> g = ParseXfsSuperblock(ReadSpan(reader, start, 1, start + sectors));
    if (!g || g->sectorSize != kSector) return false;
    return ParseXfsAgf(ReadSpan(reader, start + 1, 1, start + sectors), 0).has_value();
  }
  if (fs.name == "Btrfs") {
    // The superblock's checksum covers its 4 KiB, its own place among them.
    return ParseBtrfsSuperblock(ReadSpan(reader, start + kBtrfsSuperblockOffset / kSector,
                                         kBtrfsSuperblockSize / kSector, start + sectors))
        .has_value();
  }
  return false;
}

// The partitions the GPT header in the disk's last sector lists, when its header and array hold their CRCs.
std::vector<std::pair<uint64_t, uint64_t>> BackupGptPartitions(const SectorReader& reader,
                                                               uint64_t diskSectors) {
  std::vector<std::pair<uint64_t, uint64_t>> out;
  if (diskSectors < 3) return out;
  std::vector<uint8_t> header = ReadSpan(reader, diskSectors - 1, 1, diskSectors);
  if (header.size() < kSector || !BytesEqual(header, 0, "EFI PART")) return out;
  const uint32_t headerBytes = Le32(header, 12);
  if (headerBytes < 92 || headerBytes > kSector) return out;
  const uint32_t stored = Le32(header, 16);
  std::fill_n(header.begin() + 16, 4, uint8_t{0});
  if (static_cast<uint32_t>(::crc32(0, header.data(), headerBytes)) != stored) return out;
  const uint64_t arrayAt = Le64(header, 72);
  const uint32_t count = Le32(header, 80), entryBytes = Le32(header, 84);
  if (count == 0 || count > kMaxGptEntries || entryBytes < 128 || entryBytes % 8 != 0 ||
      uint64_t{count} * entryBytes > kMaxGptArrayBytes || arrayAt >= diskSectors)
    return out;
  const uint64_t arraySectors = (uint64_t{count} * entryBytes + kSector - 1) / kSector;
  const std::vector<uint8_t> array = ReadSpan(reader, arrayAt, arraySectors, diskSectors);
  const size_t arrayBytes = size_t{count} * entryBytes;
  if (array.size() < arrayBytes ||
      static_cast<uint32_t>(::crc32(0, array.data(), static_cast<uInt>(arrayBytes))) != Le32(header, 88))
    return out;
  for (uint32_t i = 0; i < count; ++i) {
    const ByteSpan entry = ByteSpan(array).subspan(size_t{i} * entryBytes, entryBytes);
    if (std::all_of(entry.begin(), entry.begin() + 16, [](uint8_t b) { return b == 0; })) continue;
    const uint64_t first = Le64(entry, 32), last = Le64(entry, 40);
    if (first == 0 || last < first || last >= diskSectors) continue;
    out.emplace_back(first, last - first + 1);
  }
  return out;
}

// Of volumes that may overlap, those that do not and cover the most of the disk; where two sets cover as
// much, the one with more evidence (a volume whose copies were found too).
std::vector<FoundVolume> BestSet(std::vector<FoundVolume> all) {
  std::sort(all.begin(), all.end(), [](const FoundVolume& a, const FoundVolume& b) {
    return a.startSector + a.sectorCount < b.startSector + b.sectorCount;
  });
  const size_t n = all.size();
  auto weight = [](const FoundVolume& v) {
    return v.sectorCount * 8 + static_cast<uint64_t>(std::popcount(v.evidence));
  };
  // best[i]: the most the first i volumes (by end) can cover without overlapping.
  std::vector<uint64_t> best{0};
  std::vector<size_t> before;  // how many volumes end at or before this one's start
  best.reserve(n + 1);
  before.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    const auto it = std::upper_bound(
        all.begin(), all.begin() + static_cast<std::ptrdiff_t>(i), all[i].startSector,
        [](uint64_t start, const FoundVolume& v) { return start < v.startSector + v.sectorCount; });
    before.push_back(static_cast<size_t>(it - all.begin()));
    best.push_back(std::max(best[i], weight(all[i]) + best[before[i]]));
  }
  std::vector<FoundVolume> kept;
  for (size_t i = n; i > 0;) {
    if (best[i] == best[i - 1]) {
      --i;
      continue;
    }
    kept.push_back(all[i - 1]);
    i = before[i - 1];
  }
  std::reverse(kept.begin(), kept.end());
  return kept;
}

}  // namespace

void VolumeSearch::Note(uint64_t start, uint32_t evidence, uint64_t at) {
  if (start >= diskSectors_) return;
  if (places_.size() >= kMaxPlaces) return;
  places_.push_back({start, evidence, at});
}

void VolumeSearch::Look(uint64_t firstSector, ByteSpan bytes) {
  for (size_t at = 0; at + kSector <= bytes.size(); at += kSector) {
    const uint64_t s = firstSector + at / kSector;
    const ByteSpan sector = bytes.subspan(at, kSector);
    if (IsBootSignature(sector)) {
      if (IsNtfsBootSector(sector)) {
        const NtfsGeometry g = ParseNtfsGeometry(sector, 0);
        Note(s, FoundVolume::kMain, s);
        if (g.sectorSize == kSector && g.totalSectors <= s) Note(s - g.totalSectors, FoundVolume::kCopy, s);
      } else if (IsExfatBootSector(sector)) {
        Note(s, FoundVolume::kMain, s);
        if (s >= 12) Note(s - 12, FoundVolume::kCopy, s);
      } else if (const auto g = ParseFatGeometry(sector, 0, kMaxVolumeSectors)) {
        Note(s, FoundVolume::kMain, s);
        const uint32_t copyAt = Le16(sector, 50);
        if (g->isFat32 && copyAt == 6 && s >= copyAt) Note(s - copyAt, FoundVolume::kCopy, s);
      }
      continue;
    }
    // An XFS superblock: the volume's, or the copy that starts a later allocation group, which the check
    // of the group's free-space header tells apart.
    if (BytesEqual(sector, 0, "XFSB")) {
      if (IsXfsSuperblock(sector)) Note(s, FoundVolume::kMain, s);
      continue;
    }
    // A Btrfs superblock, 64 KiB into its volume.
    if (BytesEqual(sector, 0x40, "_BHRfS_M")) {
      if (Le64(sector, 0x30) == kBtrfsSuperblockOffset && s >= kBtrfsSuperblockOffset / kSector)
        Note(s - kBtrfsSuperblockOffset / kSector, FoundVolume::kMain, s);
      continue;
    }
    if (Le16(sector, 56) != 0xEF53) continue;
    // A superblock is 1024 bytes: its second half is the next sector, here or on the disk.
    std::vector<uint8_t> whole;
    ByteSpan superblock;
    if (at + 2 * kSector <= bytes.size()) {
      superblock = bytes.subspan(at, 2 * kSector);
    } else {
      whole = ReadSpan(reader_, s, 2, diskSectors_);
      superblock = whole;
    }
    if (superblock.size() < 2 * kSector) continue;
    const auto offset = ExtSuperblockOffset(superblock);
    if (!offset || *offset % kSector != 0 || *offset / kSector > s) continue;
    Note(s - *offset / kSector, *offset == 1024 ? FoundVolume::kMain : FoundVolume::kCopy, s);
  }
}

std::optional<FoundVolume> CheckVolumeAt(const SectorReader& reader, uint64_t start, uint64_t diskSectors,
                                         const std::vector<uint64_t>& copies) {
  if (start >= diskSectors) return std::nullopt;
  const std::optional<Stated> stated = StatedAt(reader, start, diskSectors, copies);
  if (!stated || stated->fileSystem == nullptr || stated->bytes == 0 || stated->bytes % kSector != 0)
    return std::nullopt;
  const uint64_t sectors = stated->bytes / kSector;
  if (sectors > diskSectors - start) return std::nullopt;  // past the disk's end: no volume of this disk
  if (!FirstStructuresHold(reader, *stated->fileSystem, start, sectors, stated->fromCopy, copies))
    return std::nullopt;
  FoundVolume v;
  v.startSector = start;
  v.sectorCount = sectors;
  v.fileSystem = stated->fileSystem;
  v.evidence = stated->fromCopy ? FoundVolume::kCopy : FoundVolume::kMain;
  return v;
}

std::vector<FoundVolume> VolumeSearch::Finish() {
  std::sort(places_.begin(), places_.end());
  std::vector<FoundVolume> found;
  for (size_t i = 0; i < places_.size();) {
    const uint64_t start = places_[i].start;
    uint32_t evidence = 0;
    std::vector<uint64_t> copies;
    for (; i < places_.size() && places_[i].start == start; ++i) {
      evidence |= places_[i].evidence;
      // A few copies are enough to tell; a crafted disk may hold thousands.
      if (places_[i].at != start && copies.size() < 4) copies.push_back(places_[i].at);
    }
    if (auto v = CheckVolumeAt(reader_, start, diskSectors_, copies)) {
      v->evidence |= evidence;
      found.push_back(*v);
    }
  }
  for (const auto& partition : BackupGptPartitions(reader_, diskSectors_)) {
    const uint64_t first = partition.first, count = partition.second;
    const auto same = std::find_if(found.begin(), found.end(),
                                   [&](const FoundVolume& v) { return v.startSector == first; });
    if (same != found.end()) {
      same->evidence |= FoundVolume::kBackupGpt;
      continue;
    }
    FoundVolume v;
    if (auto inside = CheckVolumeAt(reader_, first, diskSectors_)) v = *inside;
    v.startSector = first;
    v.sectorCount = count;
    v.evidence |= FoundVolume::kBackupGpt;
    found.push_back(v);
  }
  places_.clear();
  return BestSet(std::move(found));
}

namespace {

// Reads the disk from `from` on into the search; false when `progress` stopped it.
bool ReadInto(VolumeSearch& search, const SectorReader& reader, uint64_t from, uint64_t diskSectors,
              const std::function<bool(uint64_t, uint64_t)>& progress) {
  std::vector<uint8_t> chunk(size_t{kChunkSectors} * kSector);
  for (uint64_t at = from; at < diskSectors;) {
    const auto count = static_cast<uint32_t>(std::min<uint64_t>(kChunkSectors, diskSectors - at));
    uint32_t got = 0;
    reader.ReadSectors(std::span(chunk).first(size_t{count} * kSector), static_cast<int32_t>(count), at,
                       kSector, &got);
    search.Look(at, ByteSpan(chunk).first(size_t{got} * kSector));
    // An unreadable sector is passed over; what follows it is read on.
    at += got == 0 ? 1 : got;
    if (progress && !progress(at, diskSectors)) return false;
  }
  return true;
}

}  // namespace

std::vector<FoundVolume> SearchLostVolumes(const SectorReader& reader, uint64_t diskSectors,
                                           const std::function<bool(uint64_t, uint64_t)>& progress) {
  VolumeSearch search(reader, diskSectors);
  if (!ReadInto(search, reader, 0, diskSectors, progress)) return {};
  return search.Finish();
}

std::optional<FoundVolume> FindVolumeAt(const SectorReader& reader, uint64_t start, uint64_t diskSectors) {
  if (auto found = CheckVolumeAt(reader, start, diskSectors)) return found;
  if (start >= diskSectors) return std::nullopt;
  // Only a start that was wiped (or cannot be read) is worth reading the rest of the disk for: a sector
  // holding anything else is no volume's start, as a mistyped number usually lands on data.
  const std::vector<uint8_t> first = ReadSpan(reader, start, 1, diskSectors);
  if (!first.empty() && std::any_of(first.begin(), first.end(), [](uint8_t b) { return b != 0; }))
    return std::nullopt;
  VolumeSearch search(reader, diskSectors);
  ReadInto(search, reader, start, diskSectors, {});
  for (const FoundVolume& v : search.Finish())
    if (v.startSector == start && v.fileSystem != nullptr) return v;
  return std::nullopt;
}

std::string DescribeFoundVolume(const FoundVolume& volume, const std::string& fileSystemName,
                                const std::string& label) {
  std::string inside =
      fileSystemName.empty()
          ? std::string(volume.fileSystem != nullptr ? volume.fileSystem->name : "unknown content")
          : fileSystemName;
  if (!label.empty()) inside += ", " + label;
  inside += ", " + os::HumanSize(volume.sectorCount * kSector);
  return fmt::format("found volume at sector {} ({})", volume.startSector, inside);
}

}  // namespace snapsave
