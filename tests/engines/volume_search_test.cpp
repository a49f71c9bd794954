// The search for lost volumes on crafted disks: what it keeps when volumes nest or boot sectors flood a disk.
#include "engines/volume_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

#include "tests/support/test_support.h"

namespace snapsave {
namespace {

namespace fs = std::filesystem;

std::vector<FoundVolume> Search(const fs::path& image) {
  SectorReader reader;
  EXPECT_EQ(reader.OpenFile(image), 0u);
  return SearchLostVolumes(reader, reader.TotalSectors());
}

std::set<uint64_t> Starts(const std::vector<FoundVolume>& found) {
  std::set<uint64_t> starts;
  for (const FoundVolume& v : found) starts.insert(v.startSector);
  return starts;
}

// A copy of the FAT16 volume kept inside the FAT32 one (an image file stored on it) is a volume too, but the
// set that covers the disk best keeps the FAT32 volume it lies in; the copy's own boot sector is not taken
// for a start six sectors off, and no two volumes kept overlap.
TEST(VolumeSearch, AVolumeStoredInsideAnotherDoesNotHideIt) {
  test::TempDir dir;
  const fs::path image = dir.path() / "nested.img";
  test::GunzipFixture("disk/mbr.img.gz", image);
  std::vector<uint8_t> disk = test::ReadFile(image);
  std::fill(disk.begin(), disk.begin() + 2048 * 512, 0);
  const size_t inner = (38912 + 30000) * size_t{512};
  std::copy_n(disk.begin() + 2048 * 512, 32768 * 512, disk.begin() + static_cast<std::ptrdiff_t>(inner));
  test::WriteFile(image, disk);
  const std::vector<FoundVolume> found = Search(image);
  EXPECT_EQ(Starts(found), (std::set<uint64_t>{2048, 38912, 110592, 129024}));
  for (size_t i = 1; i < found.size(); ++i)
    EXPECT_LE(found[i - 1].startSector + found[i - 1].sectorCount, found[i].startSector);
}

// A disk made of nothing but one FAT boot sector repeated: every sector looks like a volume's start. The
// search notes a bounded number of places, ends, and keeps volumes that do not overlap.
TEST(VolumeSearch, ADiskOfRepeatedBootSectorsEndsWithVolumesThatDoNotOverlap) {
  test::TempDir dir;
  const fs::path source = dir.path() / "mbr.img";
  test::GunzipFixture("disk/mbr.img.gz", source);
  const std::vector<uint8_t> disk = test::ReadFile(source);
  const std::vector<uint8_t> boot(disk.begin() + 2048 * 512, disk.begin() + 2049 * 512);
  std::vector<uint8_t> flood;
  for (int i = 0; i < 16384; ++i) flood.insert(flood.end(), boot.begin(), boot.end());
  const fs::path image = dir.path() / "flood.img";
  test::WriteFile(image, flood);
  const std::vector<FoundVolume> found = Search(image);
  for (size_t i = 1; i < found.size(); ++i)
    EXPECT_LE(found[i - 1].startSector + found[i - 1].sectorCount, found[i].startSector);
  // The boot sector says 32768 sectors: longer than this disk, so no volume of it.
  EXPECT_TRUE(found.empty());
}

// An XFS volume on a disk without a table: found where its superblock lies, at the size it states, and not
// at the later allocation groups, whose first sectors hold copies of the same superblock.
TEST(VolumeSearch, AnXfsVolumeIsFoundAtItsFirstGroupOnly) {
  test::TempDir dir;
  const fs::path volume = dir.path() / "xfs.img";
  test::GunzipFixture("xfs/xfs.img.gz", volume);
  std::vector<uint8_t> disk(2048 * 512, 0);
  const std::vector<uint8_t> bytes = test::ReadFile(volume);
  disk.insert(disk.end(), bytes.begin(), bytes.end());
  disk.resize(disk.size() + 2048 * 512, 0);
  const fs::path image = dir.path() / "disk.img";
  test::WriteFile(image, disk);
  const std::vector<FoundVolume> found = Search(image);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].startSector, 2048u);
  EXPECT_EQ(found[0].sectorCount, bytes.size() / 512);
  ASSERT_NE(found[0].fileSystem, nullptr);
  EXPECT_EQ(found[0].fileSystem->name, "XFS");
}

TEST(VolumeSearch, ABtrfsVolumeIsFoundBySuperblockWithoutAPartitionTable) {
  test::TempDir dir;
  const fs::path volume = dir.path() / "btrfs.img";
  test::GunzipFixture("btrfs/btrfs.img.gz", volume);
  std::vector<uint8_t> disk(4096 * 512, 0);
  const std::vector<uint8_t> bytes = test::ReadFile(volume);
  disk.insert(disk.end(), bytes.begin(), bytes.end());
  disk.resize(disk.size() + 2048 * 512, 0);
  const fs::path image = dir.path() / "disk.img";
  test::WriteFile(image, disk);
  const std::vector<FoundVolume> found = Search(image);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].startSector, 4096u);
  EXPECT_EQ(found[0].sectorCount, bytes.size() / 512);
  ASSERT_NE(found[0].fileSystem, nullptr);
  EXPECT_EQ(found[0].fileSystem->name, "Btrfs");
}

}  // namespace
}  // namespace snapsave
