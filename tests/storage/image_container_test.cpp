// Container images as sources: every format made from one FAT volume by the real tools reads back as that
// volume, sector for sector; damaged containers are refused, never read as raw.
#include "storage/image_container.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "os/error.h"
#include "storage/image_layout.h"
#include "storage/sector_reader.h"
#include "tests/support/test_support.h"

namespace snapsave {
namespace {

namespace fs = std::filesystem;

class ImageContainerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    raw_ = dir_.path() / "holes16.img";
    test::GunzipFixture("fat/holes16.img.gz", raw_);
  }
  fs::path Unpacked(const std::string& name) {
    const fs::path p = dir_.path() / name;
    test::GunzipFixture("images/" + name + ".gz", p);
    return p;
  }
  // Every sector of `reader`, read in pieces of 200.
  static std::vector<uint8_t> AllOf(const SectorReader& reader) {
    std::vector<uint8_t> bytes(reader.TotalSectors() * 512);
    for (uint64_t s = 0; s < reader.TotalSectors(); s += 200) {
      const auto n = static_cast<int32_t>(std::min<uint64_t>(200, reader.TotalSectors() - s));
      uint32_t got = 0;
      EXPECT_EQ(reader.ReadSectors(std::span(bytes).subspan(s * 512, size_t(n) * 512), n, s, 512, &got), 0u);
      EXPECT_EQ(got, static_cast<uint32_t>(n));
    }
    return bytes;
  }
  test::TempDir dir_;
  fs::path raw_;
};

TEST_F(ImageContainerTest, EveryFormatReadsAsTheVolumeItHolds) {
#ifndef SNAPSAVE_HAVE_LIBYAL
  GTEST_SKIP() << "built without the libyal readers";
#endif
  const std::vector<uint8_t> volume = test::ReadFile(raw_);
  struct Case {
    const char* file;
    ImageFormat format;
    uint64_t extraSectors;  // qemu-img rounds a VHD up to a whole disk geometry, zero-filled
  };
  const Case kCases[] = {{"holes16.vhd", ImageFormat::kVhd, 4},    {"fixed.vhd", ImageFormat::kVhd, 4},
                         {"holes16.vhdx", ImageFormat::kVhdx, 0},  {"holes16.vmdk", ImageFormat::kVmdk, 0},
                         {"holes16.qcow2", ImageFormat::kQcow, 0}, {"holes16.E01", ImageFormat::kEwf, 0}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.file);
    const fs::path image = Unpacked(c.file);
    EXPECT_EQ(DetectImageFormat(image), c.format);
    SectorReader reader;
    ASSERT_EQ(reader.OpenFile(image), 0u);
    EXPECT_EQ(reader.TotalSectors(), volume.size() / 512 + c.extraSectors);
    EXPECT_EQ(ImageMediaBytes(image), reader.TotalSectors() * 512);
    std::vector<uint8_t> bytes = AllOf(reader);
    EXPECT_TRUE(std::all_of(bytes.begin() + static_cast<ptrdiff_t>(volume.size()), bytes.end(),
                            [](uint8_t b) { return b == 0; }));
    bytes.resize(volume.size());
    EXPECT_TRUE(bytes == volume);
  }
  // Split raw: the first piece names the set; a piece on its own is raw.
  for (const char* piece : {"holes16.img.001", "holes16.img.002", "holes16.img.003"}) Unpacked(piece);
  const fs::path first = dir_.path() / "holes16.img.001";
  EXPECT_EQ(DetectImageFormat(first), ImageFormat::kSplitRaw);
  EXPECT_EQ(DetectImageFormat(dir_.path() / "holes16.img.002"), ImageFormat::kRaw);
  SectorReader split;
  ASSERT_EQ(split.OpenFile(first), 0u);
  EXPECT_TRUE(AllOf(split) == volume);
  // A read across the pieces' boundary at 3 MiB.
  std::vector<uint8_t> across(4 * 512);
  uint32_t got = 0;
  ASSERT_EQ(split.ReadSectors(across, 4, 3 * 2048 - 2, 512, &got), 0u);
  EXPECT_TRUE(std::equal(across.begin(), across.end(), volume.begin() + (3 * 2048 - 2) * 512));
  EXPECT_EQ(DetectImageFormat(raw_), ImageFormat::kRaw);
  EXPECT_EQ(ImageMediaBytes(raw_), volume.size());
}

// A container cut short or spoiled in its headers is refused with an error; nothing reads it as raw.
TEST_F(ImageContainerTest, DamagedContainersAreRefused) {
  for (const char* name : {"holes16.vhdx", "holes16.vmdk", "holes16.qcow2", "holes16.E01", "holes16.vhd"}) {
    SCOPED_TRACE(name);
    const fs::path image = Unpacked(name);
    std::vector<uint8_t> bytes = test::ReadFile(image);
    const ImageFormat format = DetectImageFormat(image);
    bytes.resize(std::min<size_t>(bytes.size(), 600));  // the signature and little else
    test::WriteFile(image, bytes);
    EXPECT_EQ(DetectImageFormat(image), format);
    SectorReader reader;
    const uint32_t e = reader.OpenFile(image);
    if (e == 0) {
      // A library that accepts the stub must still give only what it holds.
      EXPECT_LT(reader.TotalSectors(), 16384u);
    } else {
      EXPECT_FALSE(reader.IsOpen());
    }
  }
  SectorReader none;
  EXPECT_EQ(none.OpenFile(dir_.path() / "missing.qcow2"), err::kFileNotFound);
}

// A container of a whole disk shows its partition table and volumes as a raw disk image does.
TEST_F(ImageContainerTest, ThePartitionTableInsideAContainerIsRead) {
  const fs::path disk = dir_.path() / "disk.img";
  std::vector<uint8_t> bytes(20 << 20, 0);
  const std::vector<uint8_t> volume = test::ReadFile(raw_);
  std::copy(volume.begin(), volume.end(), bytes.begin() + 2048 * 512);
  // One MBR entry: FAT16 from sector 2048 for the volume's length.
  bytes[446 + 4] = 0x06;
  const uint32_t start = 2048, count = static_cast<uint32_t>(volume.size() / 512);
  for (size_t i = 0; i < 4; ++i) {
    bytes[446 + 8 + i] = static_cast<uint8_t>(start >> (8 * i));
    bytes[446 + 12 + i] = static_cast<uint8_t>(count >> (8 * i));
  }
  bytes[510] = 0x55;
  bytes[511] = 0xAA;
  test::WriteFile(disk, bytes);
  const fs::path qcow = dir_.path() / "disk.qcow2";
  if (std::system(
          ("qemu-img convert -f raw -O qcow2 '" + disk.string() + "' '" + qcow.string() + "' 2>/dev/null")
              .c_str()) != 0)
    GTEST_SKIP() << "qemu-img missing";
  ImageLayout layout;
  ASSERT_EQ(ReadImageLayout(qcow, layout), 0u);
  EXPECT_EQ(layout.scheme, "dos");
  ASSERT_EQ(layout.partitions.size(), 1u);
  EXPECT_EQ(layout.partitions[0].startSector, 2048u);
  EXPECT_EQ(layout.partitions[0].sectorCount, count);
  std::vector<DiskFacts> facts;
  ASSERT_TRUE(MakeImageDiskFacts(qcow, 100)->Collect(facts));
  ASSERT_EQ(facts.size(), 1u);
  EXPECT_EQ(facts[0].exactSectors, std::optional<uint64_t>(bytes.size() / 512));
  ASSERT_EQ(facts[0].partitions.size(), 1u);
  std::vector<DiskFacts> rawFacts;
  ASSERT_TRUE(MakeImageDiskFacts(disk, 101)->Collect(rawFacts));
  ASSERT_EQ(rawFacts[0].partitions.size(), 1u);
  EXPECT_EQ(facts[0].partitions[0].fileSystemName, rawFacts[0].partitions[0].fileSystemName);
  EXPECT_EQ(facts[0].partitions[0].label, rawFacts[0].partitions[0].label);
}

}  // namespace
}  // namespace snapsave
