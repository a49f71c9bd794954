// The list of disks, their volumes and the stretches between them that the user picks a source from.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/device.h"
#include "storage/sector_stretch.h"

namespace snapsave {

// Identity of an entry without a drive letter while the list is built; renumbered 1, 2, 3 ... afterwards.
inline constexpr char16_t kUnnumbered = u'*';

// Partition types the list speaks (the file system wins over the partition table's byte).
inline constexpr uint16_t kPartitionNtfs = 7;
inline constexpr uint16_t kPartitionFat32 = 11;
inline constexpr uint16_t kPartitionFat = 6;
// An LVM2 physical volume's partition, and the type its logical volumes are listed with.
inline constexpr uint16_t kPartitionLvm = 0x8e;
// What libblkid calls an LVM2 physical volume.
inline constexpr std::string_view kLvmMemberName = "LVM2_member";

enum class EntryKind : uint8_t { kVolume, kUnallocated, kWholeDisk };

// One entry of the list: a volume, an unallocated stretch of a disk, or a whole disk without volumes.
struct VolumeInfo {
  EntryKind kind = EntryKind::kVolume;
  // A letter when the volume has one (never on Linux), else the entry's running number, unique in one
  // listing.
  char16_t driveLetter = kUnnumbered;
  // 7 NTFS, 11 FAT32, 6 FAT, else the partition table's type; 0 for unallocated stretches and whole disks.
  uint16_t partitionType = 0;
  int32_t diskNumber = -1;
  int32_t partitionNumber = -1;
  uint64_t totalBytes = 0;
  uint64_t usedBytes = 0;
  uint64_t freeBytes = 0;
  // Whether usedBytes and freeBytes are known (a mounted volume, a stretch of free space); else the file
  // system has to be asked (VolumeFreeBytes) or they are unknown.
  bool spaceKnown = false;
  // The size of the disk the entry lies on; 0 when its geometry is unknown.
  uint64_t diskBytes = 0;
  // In the disk's logical sectors.
  uint64_t startSector = 0;
  uint64_t sectorCount = 0;
  // "NTFS", "FAT32", "FAT", "ext4" ...; empty when unknown. UTF-8.
  std::string fileSystemName;
  // The volume's device node ("/dev/sdb1"), the disk's for a whole disk; empty for unallocated stretches.
  std::string rootPath;
  std::string volumeLabel;
  // Where the volume is mounted; empty when it is not.
  std::string mountPoint;
  // The disk the entry lies on: its device ("/dev/sdb"), or the image file of a whole disk read as one.
  std::string diskPath;
  bool diskIsImage = false;
  // A logical volume of an LVM2 volume group: "vg/lv" (also when only older metadata names it, which
  // rootPath then says); empty for anything else.
  std::string logicalVolume;
  bool logicalVolumeRemoved = false;  // named only by older metadata (lvremove)
  // Where a logical volume's sectors lie when its extents are not one run from startSector: its pieces, in
  // the disk's sectors counted from startSector on (SectorReader::MapVolume). Empty for one run.
  std::vector<SectorMapping> pieces;
};

// What the operating system says about one partition. Byte positions, as the queries give them.
struct PartitionFacts {
  int32_t partitionNumber = -1;
  uint64_t startBytes = 0;
  uint64_t lengthBytes = 0;
  // The partition table's type byte; 0 when the table has none (a GPT entry without a known mapping).
  uint16_t typeByte = 0;
  std::string devicePath;
  std::string fileSystemName;
  std::string label;
  std::string mountPoint;
  // From the free-space query of a mounted volume; nothing when it is not mounted or the query failed.
  std::optional<uint64_t> totalBytes;
  std::optional<uint64_t> freeBytes;
};

// What the operating system says about one whole disk.
struct DiskFacts {
  int32_t diskNumber = -1;
  std::string devicePath;
  // An image file of a whole disk standing in for a device.
  bool isImageFile = false;
  // False for optical drives and anything else that is no hard disk or card; those are left out.
  bool isHardDisk = true;
  // False when the geometry could not be read; the list then goes on with the previous disk's values.
  bool geometryKnown = true;
  uint32_t bytesPerSector = 512;
  uint32_t sectorsPerTrack = 63;
  uint32_t tracksPerCylinder = 255;
  uint64_t cylinders = 0;
  // The length in sectors when it is known exactly (an image file); else the cylinders give it.
  std::optional<uint64_t> exactSectors;
  std::vector<PartitionFacts> partitions;
};

// Where the facts come from: the running system in production, a fixed table in tests.
class DiskFactSource {
 public:
  virtual ~DiskFactSource() = default;
  // False when the system's volume facts cannot be read at all.
  virtual bool Collect(std::vector<DiskFacts>& out) = 0;
  // The file system ("FAT", "ext4" ...) and label of the volume `bytes` long at byte `start` of the disk at
  // `devicePath`, one no partition table lists (a logical volume); empty where they cannot be told.
  struct Probed {
    std::string fileSystemName;
    std::string label;
  };
  virtual Probed ProbeVolume(const std::string& /*devicePath*/, uint64_t /*start*/, uint64_t /*bytes*/) {
    return {};
  }
};

// /sys/block for disks, partitions, sizes and sector sizes; libblkid (or the udev database when the device
// cannot be read) for file systems and labels; /proc/self/mountinfo and statvfs for mount points and free
// space. Disk numbers are those of `disks`, which must outlive the source.
std::unique_ptr<DiskFactSource> MakeSystemDiskFacts(const os::DiskTable& disks);

namespace disk_list_detail {
// "NTFS", "FAT32", "FAT", "exFAT" or the type as blkid names it ("ext4"); empty for no type.
std::string FileSystemName(std::string_view blkidType, std::string_view blkidVersion);
// The type byte of a partition-table entry type: "0x83" or "83" for MBR, a known GPT GUID mapped to its
// nearest byte, any other GUID 0xEE so that the volume is still listed; 0 for nothing readable.
uint16_t PartitionTypeByte(std::string_view entryType);
// The value of `key` in a udev database record ("E:KEY=value" lines).
std::optional<std::string> UdevProperty(std::string_view record, std::string_view key);
}  // namespace disk_list_detail

// Adds to `list` (the entries of `disk`) the logical volumes of the LVM2 physical volumes among them (its
// volumes of kLvmMemberName, or the whole disk when it is one), read from the disk, with what `facts` finds
// in them; removed ones that older metadata still names too. Sorted by start again.
void AddLogicalVolumes(const DiskFacts& disk, std::vector<VolumeInfo>& list, DiskFactSource& facts);

// Disks by number, each with its entries ordered by start sector, and a cursor for GetNext.
class DiskMap {
 public:
  explicit DiskMap(std::unique_ptr<DiskFactSource> facts);

  // Rebuilds the whole list; false (and an empty list) when the facts cannot be read.
  bool Refresh();
  // The next entry, disk by disk in number order and by start sector within a disk; false after the last.
  bool GetNext(VolumeInfo& out);
  // Appends every entry in the same order.
  void GetAll(std::vector<VolumeInfo>& out) const;
  // Refreshes, then appends every entry whose (diskNumber, startSector) is not in `known`; true when one was
  // found.
  bool FindNewVolumes(const std::vector<VolumeInfo>& known, std::vector<VolumeInfo>& out);

 private:
  std::unique_ptr<DiskFactSource> facts_;
  std::map<int32_t, std::vector<VolumeInfo>> disks_;
  std::map<int32_t, std::vector<VolumeInfo>>::const_iterator diskCursor_;
  size_t entryCursor_ = 0;
  bool cursorValid_ = false;
};

}  // namespace snapsave
