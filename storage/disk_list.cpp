#include "storage/disk_list.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <system_error>
#include <utility>

#include "os/device.h"
#include "os/error.h"
#include "os/file.h"
#include "os/sysfs.h"
#include "os/text.h"
#include "os/volume_space.h"
#include "storage/lvm_layout.h"
#include "storage/sector_reader.h"

namespace snapsave {

namespace fs = std::filesystem;

namespace disk_list_detail {

namespace {
std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return out;
}
}  // namespace

std::string FileSystemName(std::string_view blkidType, std::string_view blkidVersion) {
  const std::string type = Lower(blkidType);
  if (type.empty()) return {};
  if (type == "ntfs") return "NTFS";
  if (type == "vfat" || type == "msdos" || type == "fat")
    return Lower(blkidVersion) == "fat32" ? "FAT32" : "FAT";
  if (type == "exfat") return "exFAT";
  return std::string(blkidType);
}

uint16_t PartitionTypeByte(std::string_view entryType) {
  const std::string t = Lower(entryType);
  if (t.size() == 36 && t[8] == '-') {
    if (t == "ebd0a0a2-b9e5-4433-87c0-68b6b72699c7") return 0x07;
    if (t == "0fc63daf-8483-4772-8e79-3d69d8477de4") return 0x83;
    if (t == "c12a7328-f81f-11d2-ba4b-00a0c93ec93b") return 0xEF;
    if (t == "e6d6d379-f507-44c2-a23c-238f2a3df928") return kPartitionLvm;
    return 0xEE;
  }
  std::string_view digits(t);
  if (digits.substr(0, 2) == "0x") digits.remove_prefix(2);
  if (digits.empty() || digits.size() > 2) return 0;
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
  if (ec != std::errc() || end != digits.data() + digits.size()) return 0;
  return static_cast<uint16_t>(value);
}

std::optional<std::string> UdevProperty(std::string_view record, std::string_view key) {
  size_t pos = 0;
  while (pos < record.size()) {
    size_t eol = record.find('\n', pos);
    if (eol == std::string_view::npos) eol = record.size();
    const std::string_view line = record.substr(pos, eol - pos);
    pos = eol + 1;
    if (line.size() > key.size() + 3 && line.substr(0, 2) == "E:" && line.substr(2, key.size()) == key &&
        line[2 + key.size()] == '=')
      return std::string(line.substr(3 + key.size()));
  }
  return std::nullopt;
}

}  // namespace disk_list_detail

namespace {

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

VolumeInfo VolumeOf(const DiskFacts& disk, const PartitionFacts& p) {
  VolumeInfo v;
  v.kind = EntryKind::kVolume;
  v.driveLetter = kUnnumbered;
  // Mounted at a drive letter ("E:\"): the letter names the entry.
  if (const std::string& m = p.mountPoint;
      m.size() == 3 && m[1] == ':' && (m[2] == '\\' || m[2] == '/') && m[0] >= 'A' && m[0] <= 'Z')
    v.driveLetter = static_cast<char16_t>(m[0]);
  v.partitionType = p.typeByte;
  if (EqualsIgnoringCase(p.fileSystemName, "NTFS")) v.partitionType = kPartitionNtfs;
  if (EqualsIgnoringCase(p.fileSystemName, "FAT32")) v.partitionType = kPartitionFat32;
  if (EqualsIgnoringCase(p.fileSystemName, "FAT")) v.partitionType = kPartitionFat;
  v.diskNumber = disk.diskNumber;
  v.partitionNumber = p.partitionNumber;
  v.startSector = p.startBytes;  // bytes until the disk pass converts them
  v.sectorCount = p.lengthBytes;
  v.fileSystemName = p.fileSystemName;
  v.volumeLabel = p.label;
  v.rootPath = p.devicePath;
  v.mountPoint = p.mountPoint;
  v.totalBytes = p.totalBytes.value_or(p.lengthBytes);
  v.freeBytes = std::min(p.freeBytes.value_or(0), v.totalBytes);
  v.usedBytes = v.totalBytes - v.freeBytes;
  v.spaceKnown = p.freeBytes.has_value();
  return v;
}

VolumeInfo Unallocated(int32_t disk, uint64_t start, uint64_t count, uint64_t sectorSize) {
  VolumeInfo v;
  v.kind = EntryKind::kUnallocated;
  v.driveLetter = kUnnumbered;
  v.diskNumber = disk;
  v.startSector = start;
  v.sectorCount = count;
  v.totalBytes = v.freeBytes = count <= UINT64_MAX / sectorSize ? count * sectorSize : UINT64_MAX;
  v.spaceKnown = true;
  return v;
}

bool ByStart(const VolumeInfo& a, const VolumeInfo& b) {
  return a.startSector < b.startSector;
}

}  // namespace

void AddLogicalVolumes(const DiskFacts& disk, std::vector<VolumeInfo>& list, DiskFactSource& facts) {
  std::vector<LvmPlace> places;
  for (const VolumeInfo& v : list) {
    if ((v.kind == EntryKind::kVolume && v.fileSystemName == kLvmMemberName) ||
        v.kind == EntryKind::kWholeDisk)
      places.push_back({v.startSector, v.sectorCount});
  }
  if (places.empty() || disk.devicePath.empty() || disk.bytesPerSector == 0) return;
  SectorReader reader;
  if (reader.OpenDisk(os::PathFromUtf8(disk.devicePath)) != err::kSuccess) return;
  const uint64_t total = reader.TotalSectors();
  for (LvmPlace& p : places) p.sectorCount = std::min(p.sectorCount, total - std::min(total, p.startSector));
  std::vector<VolumeInfo> volumes;
  for (const LogicalVolumeOnDisk& lv : FindLogicalVolumes(reader, disk.bytesPerSector, places)) {
    // A volume whose layout is not read cannot be scanned; a scan of its physical volume covers it.
    if (!lv.unreadable.empty() || lv.pieces.empty()) continue;
    VolumeInfo v;
    v.kind = EntryKind::kVolume;
    v.driveLetter = kUnnumbered;
    v.partitionType = kPartitionLvm;
    v.diskNumber = disk.diskNumber;
    v.startSector = lv.StartSector();
    v.sectorCount = lv.sectorCount;
    v.totalBytes =
        lv.sectorCount <= UINT64_MAX / disk.bytesPerSector ? lv.sectorCount * disk.bytesPerSector : 0;
    v.logicalVolume = lv.groupName + "/" + lv.name;
    v.logicalVolumeRemoved = lv.removed;
    v.rootPath = lv.removed ? "removed logical volume " + v.logicalVolume : v.logicalVolume;
    if (!lv.Contiguous()) v.pieces = lv.pieces;
    const DiskFactSource::Probed probed = facts.ProbeVolume(
        disk.devicePath, v.startSector * disk.bytesPerSector, lv.pieces.front().count * disk.bytesPerSector);
    v.fileSystemName = probed.fileSystemName;
    v.volumeLabel = probed.label;
    volumes.push_back(std::move(v));
  }
  list.insert(list.end(), volumes.begin(), volumes.end());
  std::stable_sort(list.begin(), list.end(), ByStart);
}

DiskMap::DiskMap(std::unique_ptr<DiskFactSource> facts) : facts_(std::move(facts)) {}

bool DiskMap::Refresh() {
  cursorValid_ = false;
  entryCursor_ = 0;
  disks_.clear();
  std::vector<DiskFacts> facts;
  if (!facts_ || !facts_->Collect(facts)) return false;

  std::map<int32_t, const DiskFacts*> byNumber;
  for (const DiskFacts& disk : facts) {
    if (!disk.isHardDisk || disk.diskNumber < 0) continue;
    byNumber.emplace(disk.diskNumber, &disk);
    for (const PartitionFacts& p : disk.partitions) {
      VolumeInfo v = VolumeOf(disk, p);
      if (v.partitionType != 0) disks_[disk.diskNumber].push_back(std::move(v));
    }
  }

  // Disk pass: positions to sectors, and the stretches no volume covers.
  uint64_t sectorSize = 512, perCylinder = 16065, totalSectors = 0;
  for (auto& [number, list] : disks_) {
    std::sort(list.begin(), list.end(), ByStart);
    const DiskFacts& disk = *byNumber.at(number);
    uint64_t expected = 63;
    // An unknown disk borrows the last sector size and cylinder, but not the last length: a stretch past its
    // real end would be offered for scanning.
    totalSectors = 0;
    if (disk.geometryKnown && disk.bytesPerSector != 0) {
      sectorSize = disk.bytesPerSector;
      perCylinder = uint64_t{disk.tracksPerCylinder} * disk.sectorsPerTrack;
      totalSectors =
          perCylinder != 0 && disk.cylinders <= UINT64_MAX / perCylinder ? disk.cylinders * perCylinder : 0;
      totalSectors = disk.exactSectors.value_or(totalSectors);
      expected = disk.sectorsPerTrack;
    }
    // Alignment slack is no stretch of its own; what counts as more scales with the disk (a few MiB left
    // on a small card matter, on a large disk they are slack), from 1 MiB up to a cylinder.
    const uint64_t smallest =
        totalSectors != 0
            ? std::min(perCylinder, std::max<uint64_t>((1u << 20) / sectorSize, totalSectors / 256))
            : perCylinder;
    std::vector<VolumeInfo> gaps;
    for (VolumeInfo& v : list) {
      v.startSector /= sectorSize;
      v.sectorCount /= sectorSize;
      if (v.startSector > expected && v.startSector - expected > smallest)
        gaps.push_back(Unallocated(number, expected, v.startSector - expected, sectorSize));
      expected = std::max(expected, v.startSector + v.sectorCount);
    }
    if (totalSectors > expected && totalSectors - expected > smallest)
      gaps.push_back(Unallocated(number, expected, totalSectors - expected, sectorSize));
    list.insert(list.end(), gaps.begin(), gaps.end());
    std::sort(list.begin(), list.end(), ByStart);
  }

  // Disks without a listed volume are offered whole.
  for (const auto& [number, disk] : byNumber) {
    if (disks_.count(number) != 0 || !disk->geometryKnown || disk->bytesPerSector == 0) continue;
    const uint64_t perCyl = uint64_t{disk->tracksPerCylinder} * disk->sectorsPerTrack;
    if (perCyl == 0 || disk->cylinders > UINT64_MAX / perCyl) continue;
    const uint64_t sectors = disk->exactSectors.value_or(disk->cylinders * perCyl);
    if (sectors == 0) continue;  // nothing to read
    VolumeInfo v = Unallocated(number, 0, sectors, disk->bytesPerSector);
    v.kind = EntryKind::kWholeDisk;
    v.rootPath = disk->devicePath;
    disks_[number].push_back(std::move(v));
  }

  // Logical volumes follow the physical volumes that hold them.
  for (auto& [number, list] : disks_) AddLogicalVolumes(*byNumber.at(number), list, *facts_);

  uint32_t counter = 1;
  for (auto& [number, list] : disks_) {
    const DiskFacts& disk = *byNumber.at(number);
    const uint64_t perCyl = uint64_t{disk.tracksPerCylinder} * disk.sectorsPerTrack;
    const uint64_t sectors = disk.exactSectors.value_or(
        perCyl != 0 && disk.cylinders <= UINT64_MAX / perCyl ? disk.cylinders * perCyl : 0);
    const uint64_t diskBytes =
        disk.geometryKnown && disk.bytesPerSector != 0 && sectors <= UINT64_MAX / disk.bytesPerSector
            ? sectors * disk.bytesPerSector
            : 0;
    for (VolumeInfo& v : list) {
      v.diskBytes = diskBytes;
      v.diskPath = disk.devicePath;
      v.diskIsImage = disk.isImageFile;
      if (v.driveLetter == kUnnumbered) v.driveLetter = static_cast<char16_t>(counter);
      ++counter;
    }
  }
  return true;
}

bool DiskMap::GetNext(VolumeInfo& out) {
  if (!cursorValid_) {
    diskCursor_ = disks_.begin();
    entryCursor_ = 0;
    cursorValid_ = true;
  }
  while (diskCursor_ != disks_.end() && entryCursor_ >= diskCursor_->second.size()) {
    ++diskCursor_;
    entryCursor_ = 0;
  }
  if (diskCursor_ == disks_.end()) return false;
  out = diskCursor_->second[entryCursor_++];
  return true;
}

void DiskMap::GetAll(std::vector<VolumeInfo>& out) const {
  for (const auto& [number, list] : disks_) out.insert(out.end(), list.begin(), list.end());
}

bool DiskMap::FindNewVolumes(const std::vector<VolumeInfo>& known, std::vector<VolumeInfo>& out) {
  Refresh();
  std::set<std::pair<int32_t, uint64_t>> seen;
  for (const VolumeInfo& v : known) seen.insert({v.diskNumber, v.startSector});
  bool found = false;
  for (const auto& [number, list] : disks_) {
    for (const VolumeInfo& v : list) {
      if (seen.count({v.diskNumber, v.startSector}) != 0) continue;
      out.push_back(v);
      found = true;
    }
  }
  return found;
}

}  // namespace snapsave
