// The disk list from faked facts: gaps on the disk's own geometry, numbering, what is left out.
#include "storage/disk_list.h"

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <utility>
#include <vector>

namespace snapsave {
namespace {

class FakeFacts : public DiskFactSource {
 public:
  explicit FakeFacts(std::vector<DiskFacts>* facts) : facts_(facts) {}
  bool Collect(std::vector<DiskFacts>& out) override {
    if (facts_ == nullptr) return false;
    out = *facts_;
    return true;
  }

 private:
  std::vector<DiskFacts>* facts_;
};

// A disk of `cylinders` on 255 heads × 63 sectors; partitions as (start sector, sectors, file system).
DiskFacts Disk(int32_t number, uint64_t cylinders,
               std::vector<std::tuple<uint64_t, uint64_t, std::string, uint16_t>> parts = {}) {
  DiskFacts d;
  d.diskNumber = number;
  d.devicePath = "/dev/sd" + std::string(1, static_cast<char>('a' + number));
  d.cylinders = cylinders;
  int32_t n = 1;
  for (const auto& [start, count, fs, type] : parts) {
    PartitionFacts p;
    p.partitionNumber = n++;
    p.startBytes = start * 512;
    p.lengthBytes = count * 512;
    p.fileSystemName = fs;
    p.typeByte = type;
    p.devicePath = d.devicePath + std::to_string(p.partitionNumber);
    d.partitions.push_back(p);
  }
  return d;
}

std::vector<VolumeInfo> List(std::vector<DiskFacts> facts) {
  DiskMap map(std::make_unique<FakeFacts>(&facts));
  EXPECT_TRUE(map.Refresh());
  std::vector<VolumeInfo> all;
  map.GetAll(all);
  return all;
}

TEST(DiskList, GapsFollowTheDisksGeometry) {
  constexpr uint64_t kCylinder = 16065;
  const uint64_t total = 1000 * kCylinder;
  // One volume at 2048: the 1985 sectors before it are no stretch of their own. It ends 20000 early.
  auto one = List({Disk(0, 1000, {{2048, total - 20000 - 2048, "FAT32", 0x0C}})});
  ASSERT_EQ(one.size(), 2u);
  EXPECT_EQ(one[0].kind, EntryKind::kVolume);
  EXPECT_EQ(one[0].partitionType, kPartitionFat32);
  EXPECT_EQ(one[0].startSector, 2048u);
  EXPECT_EQ(one[1].kind, EntryKind::kUnallocated);
  EXPECT_EQ(one[1].startSector, total - 20000);
  EXPECT_EQ(one[1].sectorCount, 20000u);
  EXPECT_EQ(one[1].totalBytes, 20000u * 512);
  EXPECT_EQ(one[1].freeBytes, one[1].totalBytes);

  // More than a cylinder between two volumes is listed between them; a volume of no known type is left
  // out and its space shows as free.
  auto two = List(
      {Disk(0, 1000,
            {{63, 100000, "NTFS", 0x07}, {300000, 50000, "", 0}, {500000, total - 500000, "ext4", 0x83}})});
  ASSERT_EQ(two.size(), 3u);
  EXPECT_EQ(two[0].partitionType, kPartitionNtfs);
  EXPECT_EQ(two[1].kind, EntryKind::kUnallocated);
  EXPECT_EQ(two[1].startSector, 100063u);
  EXPECT_EQ(two[1].sectorCount, 500000u - 100063u);
  EXPECT_EQ(two[2].partitionType, 0x83);
  EXPECT_EQ(two[2].fileSystemName, "ext4");

  // On a small image, a few MiB left free are listed; 1 MiB of alignment slack is not.
  DiskFacts card = Disk(0, 8, {{2048, 40000, "FAT16", 0x06}, {44000, 80000, "FAT32", 0x0C}});
  card.exactSectors = 8 * kCylinder;
  auto small = List({card});
  ASSERT_EQ(small.size(), 3u);
  EXPECT_EQ(small[1].kind, EntryKind::kVolume);
  EXPECT_EQ(small[2].kind, EntryKind::kUnallocated);
  EXPECT_EQ(small[2].startSector, 124000u);
  EXPECT_EQ(small[2].sectorCount, 8 * kCylinder - 124000u);  // 2.2 MiB, less than a cylinder
  card.partitions[1].startBytes = 48000 * 512;
  card.partitions[1].lengthBytes = 76000 * 512;
  EXPECT_EQ(List({card}).size(), 4u);
}

TEST(DiskList, NumberingOrderAndWhatIsLeftOut) {
  DiskFacts cd = Disk(1, 100);
  cd.isHardDisk = false;
  DiskFacts unknown = Disk(3, 50, {{63, 10000, "FAT", 6}});
  unknown.geometryKnown = false;  // goes on with disk 0's values
  auto all = List({Disk(2, 100), cd, Disk(0, 1000, {{63, 1000 * 16065 - 63, "NTFS", 7}}), unknown});
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].diskNumber, 0);
  EXPECT_EQ(all[1].diskNumber, 2);
  EXPECT_EQ(all[1].kind, EntryKind::kWholeDisk);
  EXPECT_EQ(all[1].sectorCount, 100u * 16065);
  EXPECT_EQ(all[1].rootPath, "/dev/sdc");
  EXPECT_EQ(all[2].diskNumber, 3);
  EXPECT_EQ(all[2].partitionType, kPartitionFat);
  for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i].driveLetter, i + 1);
}

TEST(DiskList, RefreshGetNextAndNewVolumes) {
  DiskMap broken(std::make_unique<FakeFacts>(nullptr));
  EXPECT_FALSE(broken.Refresh());
  VolumeInfo v;
  EXPECT_FALSE(broken.GetNext(v));

  std::vector<DiskFacts> facts{Disk(0, 1000, {{2048, 1000 * 16065 - 2048, "NTFS", 7}})};
  DiskMap map(std::make_unique<FakeFacts>(&facts));
  ASSERT_TRUE(map.Refresh());
  std::vector<VolumeInfo> known;
  while (map.GetNext(v)) known.push_back(v);
  ASSERT_EQ(known.size(), 1u);
  std::vector<VolumeInfo> added;
  EXPECT_FALSE(map.FindNewVolumes(known, added));
  facts.push_back(Disk(1, 200, {{8192, 200 * 16065 - 8192, "FAT32", 0x0C}}));  // a card goes in
  EXPECT_TRUE(map.FindNewVolumes(known, added));
  ASSERT_EQ(added.size(), 1u);
  EXPECT_EQ(added[0].diskNumber, 1);
  EXPECT_EQ(added[0].startSector, 8192u);
}

TEST(DiskList, BlkidAndUdevTextsAreReadSafely) {
  using namespace disk_list_detail;
  EXPECT_EQ(FileSystemName("vfat", "FAT32"), "FAT32");
  EXPECT_EQ(FileSystemName("vfat", "FAT16"), "FAT");
  EXPECT_EQ(FileSystemName("ntfs", ""), "NTFS");
  EXPECT_EQ(FileSystemName("ext4", "1.0"), "ext4");
  EXPECT_EQ(FileSystemName("", ""), "");
  EXPECT_EQ(PartitionTypeByte("0x83"), 0x83);
  EXPECT_EQ(PartitionTypeByte("c"), 0x0C);
  EXPECT_EQ(PartitionTypeByte("EBD0A0A2-B9E5-4433-87C0-68B6B72699C7"), 0x07);
  EXPECT_EQ(PartitionTypeByte("0fc63daf-8483-4772-8e79-3d69d8477de4"), 0x83);
  EXPECT_EQ(PartitionTypeByte("21686148-6449-6e6f-744e-656564454649"), 0xEE);
  for (const char* bad : {"", "0x", "0x123", "zz", "-1"}) EXPECT_EQ(PartitionTypeByte(bad), 0) << bad;
  const std::string record =
      "S:disk/by-label/CARD\nE:ID_FS_TYPE=vfat\nE:ID_FS_TYPE_X=no\nE:ID_FS_LABEL=\nE:ID";
  EXPECT_EQ(UdevProperty(record, "ID_FS_TYPE"), "vfat");
  EXPECT_EQ(UdevProperty(record, "ID_FS_LABEL"), std::nullopt);  // empty is as good as none
  EXPECT_EQ(UdevProperty(record, "ID"), std::nullopt);
}

#ifndef _WIN32
std::string Output(const std::string& command) {
  std::string out;
  FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return out;
  char buf[256];
  while (fgets(buf, sizeof buf, pipe) != nullptr) out += buf;
  pclose(pipe);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

// The real listing of a partitioned image attached to a loop device, where the machine allows it.
TEST(DiskList, ALoopDeviceShowsItsVolumesAndFreeSpace) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for loop devices";
  if (std::system("command -v losetup sfdisk mkfs.fat >/dev/null 2>&1") != 0) GTEST_SKIP() << "tools missing";
  test::TempDir dir;
  const std::filesystem::path image = dir.path() / "disk.img";
  test::WriteFile(image, std::vector<uint8_t>{});
  std::filesystem::resize_file(image, 64u << 20);
  const std::string table = "start=2048, size=65536, type=c\nstart=100000, size=20000, type=83\n";
  ASSERT_EQ(
      std::system(("printf '" + table + "' | sfdisk -q '" + image.string() + "' >/dev/null 2>&1").c_str()),
      0);
  const std::string loop = Output("losetup -P --find --show '" + image.string() + "'");
  if (loop.rfind("/dev/loop", 0) != 0) GTEST_SKIP() << "no loop device could be attached";
  struct Detach {
    std::string device;
    ~Detach() {
      [[maybe_unused]] const int r = std::system(("losetup -d " + device + " >/dev/null 2>&1").c_str());
    }
  } detach{loop};
  const std::string first = loop + "p1";
  for (int i = 0; i < 100 && !std::filesystem::exists(first); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (!std::filesystem::exists(first)) {
    // Containers often attach without partition devices: the disk is then offered whole.
    const os::DiskTable disks;
    DiskMap map(MakeSystemDiskFacts(disks));
    ASSERT_TRUE(map.Refresh());
    std::vector<VolumeInfo> all;
    map.GetAll(all);
    const auto it =
        std::find_if(all.begin(), all.end(), [&](const VolumeInfo& v) { return v.rootPath == loop; });
    ASSERT_NE(it, all.end()) << "the loop disk is not listed";
    EXPECT_EQ(it->kind, EntryKind::kWholeDisk);
    EXPECT_EQ(it->sectorCount, 8u * 16065);  // whole cylinders of the conventional geometry
    GTEST_SKIP() << "no partition devices for " << loop << "; checked the whole-disk entry only";
  }
  ASSERT_EQ(std::system(("mkfs.fat -F 32 -n CARD " + first + " >/dev/null 2>&1").c_str()), 0);

  const os::DiskTable disks;
  DiskMap map(MakeSystemDiskFacts(disks));
  ASSERT_TRUE(map.Refresh());
  std::vector<VolumeInfo> all, mine;
  map.GetAll(all);
  int32_t disk = -1;
  for (const VolumeInfo& v : all) {
    if (v.rootPath == first) disk = v.diskNumber;
  }
  ASSERT_NE(disk, -1) << "the loop disk is not listed";
  for (const VolumeInfo& v : all) {
    if (v.diskNumber == disk) mine.push_back(v);
  }
  ASSERT_EQ(mine.size(), 3u);
  EXPECT_EQ(mine[0].partitionType, kPartitionFat32);
  EXPECT_EQ(mine[0].fileSystemName, "FAT32");
  EXPECT_EQ(mine[0].volumeLabel, "CARD");
  EXPECT_EQ(mine[0].startSector, 2048u);
  EXPECT_EQ(mine[0].sectorCount, 65536u);
  EXPECT_EQ(mine[1].kind, EntryKind::kUnallocated);
  EXPECT_EQ(mine[1].startSector, 2048u + 65536u);
  EXPECT_EQ(mine[2].partitionType, 0x83);
  EXPECT_EQ(mine[2].rootPath, loop + "p2");
}
#endif

}  // namespace
}  // namespace snapsave
