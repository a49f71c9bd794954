#include "storage/image_layout.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "os/byte_reader.h"
#include "tests/support/test_support.h"

namespace snapsave {
namespace {

namespace fs = std::filesystem;

// A sparse image of `mib` MiB partitioned by sfdisk from `script`.
fs::path Partitioned(const test::TempDir& dir, const std::string& name, uint64_t mib,
                     const std::string& script) {
  const fs::path image = dir.path() / name;
  test::WriteFile(image, std::vector<uint8_t>{});
  fs::resize_file(image, mib << 20);
  const std::string command = "printf '" + script + "' | sfdisk -q '" + image.string() + "' >/dev/null 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0) << script;
  return image;
}

std::vector<std::pair<uint64_t, uint64_t>> Extents(const ImageLayout& layout) {
  std::vector<std::pair<uint64_t, uint64_t>> out;
  for (const ImagePartition& p : layout.partitions) out.emplace_back(p.startSector, p.sectorCount);
  return out;
}

// Patches bytes of an image file in place.
void Patch(const fs::path& image, uint64_t offset, const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> all = test::ReadFile(image);
  std::copy(bytes.begin(), bytes.end(), all.begin() + static_cast<std::ptrdiff_t>(offset));
  test::WriteFile(image, all);
}

TEST(ImageLayout, MbrWithLogicalPartitionsAndGptAreReadAndListedWithTheirFreeStretches) {
  if (std::system("command -v sfdisk >/dev/null 2>&1") != 0) GTEST_SKIP() << "sfdisk missing";
  test::TempDir dir;
  const fs::path mbr =
      Partitioned(dir, "mbr.img", 64,
                  "label: dos\nstart=2048, size=20480, type=6\nstart=40960, size=61440, type=5\n"
                  "start=43008, size=16384, type=b\nstart=61440, size=20480, type=7\n");
  ImageLayout layout;
  ASSERT_EQ(ReadImageLayout(mbr, layout), 0u);
  EXPECT_EQ(layout.scheme, "dos");
  EXPECT_EQ(Extents(layout), (std::vector<std::pair<uint64_t, uint64_t>>{
                                 {2048, 20480}, {43008, 16384}, {61440, 20480}}));  // the container left out
  ASSERT_EQ(layout.partitions.size(), 3u);
  EXPECT_EQ(layout.partitions[0].typeByte, 0x06);
  EXPECT_EQ(layout.partitions[1].number, 5);
  EXPECT_EQ(layout.partitions[2].typeName, "0x07");
  // As a disk of the list: three volumes and the free stretches 22528..43008 (more than a cylinder) and
  // after 81920 to the image's very end.
  DiskMap map(MakeImageDiskFacts(mbr, 1000));
  ASSERT_TRUE(map.Refresh());
  std::vector<VolumeInfo> entries;
  map.GetAll(entries);
  std::vector<std::tuple<EntryKind, uint64_t, uint64_t, int32_t>> seen;
  for (const VolumeInfo& v : entries) seen.emplace_back(v.kind, v.startSector, v.sectorCount, v.diskNumber);
  using E = EntryKind;
  EXPECT_EQ(seen, (std::vector<std::tuple<EntryKind, uint64_t, uint64_t, int32_t>>{
                      {E::kVolume, 2048, 20480, 1000},
                      {E::kUnallocated, 22528, 20480, 1000},
                      {E::kVolume, 43008, 16384, 1000},
                      {E::kVolume, 61440, 20480, 1000},
                      {E::kUnallocated, 81920, 131072 - 81920, 1000}}));

  const fs::path gpt = Partitioned(
      dir, "gpt.img", 64, "label: gpt\nstart=2048, size=40960, type=L\nstart=43008, size=40960, type=L\n");
  ASSERT_EQ(ReadImageLayout(gpt, layout), 0u);
  EXPECT_EQ(layout.scheme, "gpt");
  EXPECT_EQ(Extents(layout), (std::vector<std::pair<uint64_t, uint64_t>>{{2048, 40960}, {43008, 40960}}));
  EXPECT_EQ(layout.partitions[0].typeByte, 0);
  EXPECT_FALSE(layout.partitions[0].typeName.empty());

  // A primary GPT header whose checksum fails: the backup at the end of the image still gives the table.
  Patch(gpt, 512 + 16, {0xDE, 0xAD, 0xBE, 0xEF});
  ASSERT_EQ(ReadImageLayout(gpt, layout), 0u);
  EXPECT_EQ(Extents(layout), (std::vector<std::pair<uint64_t, uint64_t>>{{2048, 40960}, {43008, 40960}}));

  // An image of a single volume has no table; a missing image is an error.
  test::WriteFile(dir.path() / "plain.img", std::vector<uint8_t>(1 << 20, 0));
  ASSERT_EQ(ReadImageLayout(dir.path() / "plain.img", layout), 0u);
  EXPECT_TRUE(layout.scheme.empty() && layout.partitions.empty());
  EXPECT_NE(ReadImageLayout(dir.path() / "missing.img", layout), 0u);
}

// A crafted MBR: overlapping entries, one past the image's end, one running over it, and an extended
// partition whose chain of logical partitions points back at itself. Nothing hangs, every entry kept lies
// inside the image and none overlaps another.
TEST(ImageLayout, HostileTablesGiveSaneEntries) {
#ifndef SNAPSAVE_HAVE_BLKID
  GTEST_SKIP() << "built without libblkid";
#endif
  test::TempDir dir;
  const uint64_t sectors = 32768;  // 16 MiB
  std::vector<uint8_t> disk(sectors * 512, 0);
  auto entry = [&](int slot, uint8_t type, uint32_t start, uint32_t count) {
    const size_t at = 446 + size_t(slot) * 16;
    disk[at + 4] = type;
    PutLe32(disk, at + 8, start);
    PutLe32(disk, at + 12, count);
  };
  entry(0, 0x0C, 2048, 8192);
  entry(1, 0x07, 4096, 8192);    // overlaps the first
  entry(2, 0x83, 40000, 100);    // starts past the end
  entry(3, 0x05, 12288, 20480);  // extended: its EBR at 12288 links to itself
  disk[510] = 0x55;
  disk[511] = 0xAA;
  const size_t ebr = 12288 * 512;
  PutLe32(disk, ebr + 446 + 8, 2048);    // logical partition 2048 sectors after the EBR
  PutLe32(disk, ebr + 446 + 12, 40000);  // running past the end
  disk[ebr + 446 + 4] = 0x83;
  disk[ebr + 446 + 16 + 4] = 0x05;  // next EBR: the same one again
  PutLe32(disk, ebr + 446 + 16 + 8, 0);
  PutLe32(disk, ebr + 446 + 16 + 12, 2048);
  disk[ebr + 510] = 0x55;
  disk[ebr + 511] = 0xAA;
  test::WriteFile(dir.path() / "hostile.img", disk);

  ImageLayout layout;
  ASSERT_EQ(ReadImageLayout(dir.path() / "hostile.img", layout), 0u);
  ASSERT_FALSE(layout.partitions.empty());
  EXPECT_EQ(layout.partitions[0].startSector, 2048u);
  EXPECT_EQ(layout.partitions[0].sectorCount, 8192u);
  uint64_t end = 0;
  for (const ImagePartition& p : layout.partitions) {
    EXPECT_GE(p.startSector, end);
    EXPECT_LE(p.startSector + p.sectorCount, sectors);
    EXPECT_NE(p.typeByte, 0x05);
    end = p.startSector + p.sectorCount;
  }
}

// A copy cut short keeps its partitions as far as it holds them and says what it lacks, per partition.
TEST(ImageLayout, ACutImageSaysHowMuchOfItsTableItLacks) {
  if (std::system("command -v sfdisk >/dev/null 2>&1") != 0) GTEST_SKIP() << "sfdisk missing";
  test::TempDir dir;
  const fs::path image = Partitioned(
      dir, "cut.img", 40, "label: dos\nstart=2048, size=16384, type=6\nstart=20480, size=40000, type=7\n");
  EXPECT_EQ(ImageShortfall(image), "");
  fs::resize_file(image, uint64_t{30} << 20);  // 61440 sectors: the second entry ends at 60480
  EXPECT_EQ(ImageShortfall(image), "");
  fs::resize_file(image, uint64_t{20} << 20);
  ImageLayout layout;
  ASSERT_EQ(ReadImageLayout(image, layout), 0u);
  EXPECT_EQ(Extents(layout),
            (std::vector<std::pair<uint64_t, uint64_t>>{{2048, 16384}, {20480, 40960 - 20480}}));
  EXPECT_EQ(layout.partitions[1].missingSectors, 60480u - 40960u);
  EXPECT_EQ(layout.claimedSectors, 60480u);
  EXPECT_EQ(
      ImageShortfall(image),
      "the image holds 20.0 MiB but its partition table reaches to 29.5 MiB: the last 9.5 MiB are missing "
      "(the copy was cut short); partition 2 lacks its last 9.5 MiB (sectors 40960-60479), and files there "
      "cannot be read");
  // An entry wholly past the end is no volume, but counts in what is missing.
  fs::resize_file(image, uint64_t{10} << 20);
  ASSERT_EQ(ReadImageLayout(image, layout), 0u);
  EXPECT_EQ(Extents(layout), (std::vector<std::pair<uint64_t, uint64_t>>{{2048, 16384}}));
  EXPECT_EQ(layout.claimedSectors, 60480u);

  // A GPT disk cut short has lost its backup table, and its header names a disk longer than the image: its
  // entries are still read, as far as the image holds them.
  const fs::path gpt =
      Partitioned(dir, "cut-gpt.img", 40, "label: gpt\nstart=2048, size=16384\nstart=20480, size=40000\n");
  fs::resize_file(gpt, uint64_t{20} << 20);
  ASSERT_EQ(ReadImageLayout(gpt, layout), 0u);
  EXPECT_EQ(layout.scheme, "gpt");
  EXPECT_EQ(Extents(layout),
            (std::vector<std::pair<uint64_t, uint64_t>>{{2048, 16384}, {20480, 40960 - 20480}}));
  EXPECT_EQ(layout.partitions[1].missingSectors, 60480u - 40960u);
  EXPECT_NE(ImageShortfall(gpt).find("partition 2 lacks its last 9.5 MiB"), std::string::npos);
}

TEST(ImageLayout, SanitizingKeepsTheFirstOfOverlappingEntriesAndCutsAtTheEnd) {
  const ImageLayout layout = SanitizeLayout("dos",
                                            {{2, 100000, 50000, 0x83, {}},
                                             {1, 2048, 60000, 0x0C, {}},
                                             {3, 30000, 10000, 0x07, {}},   // inside the first
                                             {4, 62048, 0, 0x07, {}},       // empty
                                             {6, 62048, 10000, 0x0F, {}}},  // a container
                                            120000);
  EXPECT_EQ(Extents(layout), (std::vector<std::pair<uint64_t, uint64_t>>{{2048, 60000}, {100000, 20000}}));
}

}  // namespace
}  // namespace snapsave
