#include "os/device.h"
#include "os/sysfs.h"
#include "os/volume_space.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/sysmacros.h>
#endif

#include <set>
#include <string>
#include <vector>

#include <fstream>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace snapsave {
namespace {

namespace fs = std::filesystem;

[[maybe_unused]] void Put(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p) << text << "\n";
}

#ifndef _WIN32
TEST(DiskTable, DiscoversWholeDisksSortedAndSkipsUnwantedDevices) {
  test::TempDir sys;
  Put(sys.path() / "sdb" / "size", "2048");
  Put(sys.path() / "sda" / "size", "4096");
  Put(sys.path() / "nvme0n1" / "size", "100");
  Put(sys.path() / "ram0" / "size", "100");
  Put(sys.path() / "zram0" / "size", "100");
  Put(sys.path() / "sdc" / "size", "0");      // empty card reader slot
  Put(sys.path() / "loop0" / "size", "100");  // no backing file
  Put(sys.path() / "loop1" / "size", "100");
  Put(sys.path() / "loop1" / "loop" / "backing_file", "/x.img");
  auto table = os::DiskTable::Discover(sys.path(), "/dev");
  std::vector<fs::path> expected{"/dev/loop1", "/dev/nvme0n1", "/dev/sda", "/dev/sdb"};
  EXPECT_EQ(table, expected);
}
#endif

#ifndef _WIN32
TEST(DiskTable, RemovableDisksAreCardReadersAndUsbDevices) {
  test::TempDir sys;
  Put(sys.path() / "devices" / "pci0" / "ata1" / "sda" / "removable", "0");
  Put(sys.path() / "devices" / "pci0" / "usb2" / "2-1" / "sdb" / "removable", "0");
  Put(sys.path() / "devices" / "pci0" / "mmc0" / "mmcblk0" / "removable", "1");
  const fs::path block = sys.path() / "class" / "block";
  fs::create_directories(block);
  fs::create_directory_symlink(sys.path() / "devices" / "pci0" / "ata1" / "sda", block / "sda");
  fs::create_directory_symlink(sys.path() / "devices" / "pci0" / "usb2" / "2-1" / "sdb", block / "sdb");
  fs::create_directory_symlink(sys.path() / "devices" / "pci0" / "mmc0" / "mmcblk0", block / "mmcblk0");
  EXPECT_FALSE(os::IsRemovableDisk("/dev/sda", block));
  EXPECT_TRUE(os::IsRemovableDisk("/dev/sdb", block));  // a USB drive that calls itself fixed
  EXPECT_TRUE(os::IsRemovableDisk("/dev/mmcblk0", block));
  EXPECT_FALSE(os::IsRemovableDisk("/dev/sdz", block));
  EXPECT_FALSE(os::IsRemovableDisk(sys.path() / "card.img", block));
}
#endif

TEST(DiskTable, NumbersDisksAndWholeDiskImagesApart) {
  os::DiskTable table({"/tmp/a.img", "/tmp/b.img"});
  EXPECT_EQ(table.PathOf(1), fs::path("/tmp/b.img"));
  EXPECT_FALSE(table.PathOf(2).has_value());
  EXPECT_FALSE(table.PathOf(-1).has_value());
  EXPECT_FALSE(os::DiskTable(std::vector<fs::path>{}).PathOf(0).has_value());
  // An image keeps its number however often it is read, and is no device.
  const int32_t image = table.AddImage("/tmp/c.img");
  EXPECT_EQ(image, os::DiskTable::kFirstImageDisk);
  EXPECT_EQ(table.AddImage("/tmp/c.img"), image);
  EXPECT_EQ(table.PathOf(image), fs::weakly_canonical("/tmp/c.img"));  // "Z:\\tmp\\c.img" under Wine
  EXPECT_FALSE(table.ImageOf(1).has_value());
  EXPECT_EQ(table.List().size(), 2u);
}

TEST(DriveGeometry, ImageFileReports512ByteSectors) {
  test::TempDir dir;
  std::vector<uint8_t> bytes(255 * 63 * 512 * 2, 0);
  test::WriteFile(dir.path() / "d.img", bytes);
  os::File f;
  ASSERT_EQ(f.OpenRead(dir.path() / "d.img"), 0u);
  os::DriveGeometry geo;
  ASSERT_EQ(os::QueryGeometry(f, geo), 0u);
  EXPECT_EQ(geo.bytesPerSector, 512u);
  EXPECT_EQ(geo.cylinders, 2u);
  uint64_t length = 0;
  ASSERT_EQ(os::QueryLength(f, length), 0u);
  EXPECT_EQ(length, bytes.size());
}

#ifndef _WIN32
TEST(DestinationDevices, FollowDeviceStacksDownToThePartitions) {
  test::TempDir dir;
  struct stat st {};
  ASSERT_EQ(::stat(dir.path().c_str(), &st), 0);
  const std::string own = std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
  // A destination on a mapping (an encrypted volume, say) that sits on partition 8:2 of a disk.
  const std::filesystem::path sys = dir.path() / "sys";
  test::WriteFile(sys / "dev/block" / own / "slaves/sdz2/dev", std::vector<uint8_t>{'8', ':', '2', '\n'});
  test::WriteFile(sys / "dev/block/8:2/slaves/loop/dev", std::vector<uint8_t>{'8', ':', '2'});  // a loop back
  const auto devices = os::DevicesUnderPath(dir.path() / "not/yet/made", sys);
  EXPECT_EQ(devices, (std::set<std::string>{own, "8:2"}));
  // A disk that is an image file is no device any destination lives on.
  EXPECT_TRUE(os::DevicesOfSource(dir.path() / "disk.img", 0, true).empty());
  EXPECT_FALSE(os::DestinationOnSource(dir.path(), dir.path() / "disk.img", 0, true));
}
#endif

}  // namespace
}  // namespace snapsave
