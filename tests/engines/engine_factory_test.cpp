#include "engines/engine_factory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "catalog/saved_scan_store.h"
#include "engines/deep_scan_engine.h"
#include "engines/file_system_registry.h"
#include "fs/ext/ext_quick_engine.h"
#include "fs/fat/fat_quick_engine.h"
#include "fs/ntfs/ntfs_quick_engine.h"
#include "os/text.h"
#include "tests/support/scan_store.h"
#include "tests/support/test_support.h"

namespace snapsave {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> NtfsBoot(uint8_t sectorsPerCluster) {
  std::vector<uint8_t> b(kProbeBytes, 0);
  std::memcpy(b.data() + 3, "NTFS    ", 8);
  PutLe16(b, 11, 512);
  b[13] = sectorsPerCluster;
  PutLe64(b, 40, 1 << 20);
  PutLe64(b, 48, 4);
  b[510] = 0x55;
  b[511] = 0xAA;
  return b;
}

// An ext4-like superblock at byte 1024: 4 KiB blocks, 8 groups.
std::vector<uint8_t> ExtVolume(size_t bytes) {
  std::vector<uint8_t> v(bytes, 0);
  const std::span<uint8_t> sb = std::span(v).subspan(1024, 1024);
  PutLe32(sb, 0, 8 * 2048);   // inodes
  PutLe32(sb, 4, 8 * 32768);  // blocks
  PutLe32(sb, 20, 0);         // first data block
  PutLe32(sb, 24, 2);         // 1024 << 2
  PutLe32(sb, 32, 32768);     // blocks per group
  PutLe32(sb, 40, 2048);      // inodes per group
  PutLe16(sb, 56, 0xEF53);
  PutLe32(sb, 84, 11);  // first inode
  return v;
}

class Factory : public ::testing::Test {
 protected:
  fs::path Write(const std::vector<uint8_t>& bytes) {
    const fs::path p = dir_.path() / ("v" + std::to_string(++count_) + ".img");
    test::WriteFile(p, bytes);
    return p;
  }
  test::ScratchScanStore appData_{[](const fs::path&, uint64_t) { return uint64_t{0}; }};
  test::TempDir dir_;
  int count_ = 0;
};

// The name of the file system a probe is classified as.
std::string Classified(std::span<const uint8_t> probe) {
  const FileSystem* fs = ClassifyVolume(probe);
  return fs != nullptr ? std::string(fs->name) : "unknown";
}

TEST_F(Factory, ClassifiesByTheStrictBootSectorTests) {
  EXPECT_EQ(Classified(NtfsBoot(128)), "NTFS");  // 64 KiB clusters
  std::vector<uint8_t> reserved = NtfsBoot(8);
  PutLe16(reserved, 14, 1);
  EXPECT_EQ(Classified(reserved), "unknown");
  EXPECT_EQ(Classified(ExtVolume(kProbeBytes)), "ext");
  std::vector<uint8_t> badGroups = ExtVolume(kProbeBytes);
  PutLe32(std::span(badGroups).subspan(1024), 0, 3 * 2048);  // the inode count says 3 groups, blocks 8
  EXPECT_EQ(Classified(badGroups), "unknown");

  const fs::path fat = dir_.path() / "fat32.img";
  test::GunzipFixture("fat/fat32.img.gz", fat);
  std::vector<uint8_t> bytes = test::ReadFile(fat);
  EXPECT_EQ(Classified(std::span(bytes).first(kProbeBytes)), "FAT");
  std::memcpy(bytes.data() + 3, "-FVE-FS-", 8);
  EXPECT_EQ(Classified(std::span(bytes).first(kProbeBytes)), "unknown");

  // exFAT by its boot sector and the region's checksum.
  const fs::path exfat = dir_.path() / "small.img";
  test::GunzipFixture("exfat/small.img.gz", exfat);
  bytes = test::ReadFile(exfat);
  EXPECT_EQ(Classified(std::span(bytes).first(kProbeBytes)), "exFAT");
  bytes[1000] ^= 1;  // boot code the checksum covers
  EXPECT_EQ(Classified(std::span(bytes).first(kProbeBytes)), "unknown");
}

// Each file system's own statement of its size tells an image of it cut short; whole images say nothing.
TEST_F(Factory, AVolumeImageCutShortIsToldByItsFileSystemsStatedSize) {
  for (const char* fixture :
       {"fat/fat32.img.gz", "exfat/small.img.gz", "ntfs/ntfs_small.img.gz", "ext/card.img.gz"}) {
    SCOPED_TRACE(fixture);
    const fs::path image = dir_.path() / "volume.img";
    test::GunzipFixture(fixture, image);
    EXPECT_EQ(VolumeShortfall(image), "");
    const uint64_t size = fs::file_size(image);
    fs::resize_file(image, size - (size / 4) / 512 * 512);
    EXPECT_NE(
        VolumeShortfall(image).find("the image holds " + os::HumanSize(fs::file_size(image)) + ": the last "),
        std::string::npos)
        << VolumeShortfall(image);
  }
  EXPECT_EQ(VolumeShortfall(dir_.path() / "missing.img"), "");
}

TEST_F(Factory, ChoosesTheEngineForTheDepthAskedFor) {
  const fs::path fat = dir_.path() / "fat32.img";
  test::GunzipFixture("fat/fat32.img.gz", fat);
  EXPECT_NE(dynamic_cast<CFastFatRecovery*>(
                CreateScanEngine(appData_.store(), ImageVolume(fat, u'A'), false).get()),
            nullptr);
  EXPECT_NE(dynamic_cast<CProfessionalRecovery*>(
                CreateScanEngine(appData_.store(), ImageVolume(fat, u'A'), true).get()),
            nullptr);

  const fs::path ext = Write(ExtVolume(1 << 20));
  EXPECT_NE(dynamic_cast<CFastExtRecovery*>(
                CreateScanEngine(appData_.store(), ImageVolume(ext, u'A'), false).get()),
            nullptr);

  std::vector<uint8_t> encrypted = test::ReadFile(fat);
  std::memcpy(encrypted.data() + 3, "-FVE-FS-", 8);
  const fs::path locked = Write(encrypted);
  EXPECT_EQ(CreateScanEngine(appData_.store(), ImageVolume(locked, u'A'), false), nullptr);
  EXPECT_NE(dynamic_cast<CProfessionalRecovery*>(
                CreateScanEngine(appData_.store(), ImageVolume(locked, u'A'), true).get()),
            nullptr);

  const fs::path tiny = Write(std::vector<uint8_t>(kMinProbeBytes - 512, 0));
  EXPECT_EQ(CreateScanEngine(appData_.store(), ImageVolume(tiny, u'A'), true), nullptr);
  EXPECT_EQ(CreateScanEngine(appData_.store(), ImageVolume(dir_.path() / "missing.img", u'A'), true),
            nullptr);
}

// An ext volume's quick engine keeps no map of free space, so the deep scan reads it whole and carves there.
TEST_F(Factory, AnExtVolumeIsScannedWholeAndCarved) {
  std::vector<uint8_t> volume = ExtVolume(4 << 20);
  const fs::path photo = dir_.path() / "photo.jpg";
  test::GunzipFixture("carve/media/photo.jpg.gz", photo);
  const std::vector<uint8_t> jpeg = test::ReadFile(photo);
  std::copy(jpeg.begin(), jpeg.end(), volume.begin() + 3000 * 512);
  auto engine = CreateScanEngine(appData_.store(), ImageVolume(Write(volume), u'E'), true);
  auto* deep = dynamic_cast<CProfessionalRecovery*>(engine.get());
  ASSERT_NE(deep, nullptr);
  EXPECT_NE(dynamic_cast<CFastExtRecovery*>(deep->QuickEngine()), nullptr);
  ASSERT_EQ(engine->Scan({}), 0);
  EXPECT_EQ(deep->TotalSectors(), volume.size() / 512);
  RecordList photos;
  engine->SearchByType("*.jpg|", photos);
  ASSERT_EQ(photos.size(), 1u);
  EXPECT_EQ(photos[0].Name(), "3000.jpg");
  EXPECT_EQ(photos[0].fileSize, jpeg.size());
}

// The carver's stop test: what the file systems know of their metadata sectors.
TEST(Registry, KnowsEveryFileSystemsMetadataSectors) {
  auto sector = [](std::string_view start) {
    std::vector<uint8_t> s(512, 0x61);
    std::memcpy(s.data(), start.data(), start.size());
    return s;
  };
  EXPECT_TRUE(IsFileSystemMetadata(sector("FILE0")));
  EXPECT_TRUE(IsFileSystemMetadata(sector("INDX(")));
  EXPECT_TRUE(IsFileSystemMetadata(sector(std::string_view("$\0S\0T\0A\0", 8))));
  auto rstr = sector("RSTR");
  EXPECT_FALSE(IsFileSystemMetadata(rstr));
  std::memcpy(&rstr[300], "N\0T\0F\0S\0", 8);
  EXPECT_TRUE(IsFileSystemMetadata(rstr));
  EXPECT_TRUE(IsFileSystemMetadata(sector("\xEB\x52\x90NTFS    ")));
  EXPECT_TRUE(IsFileSystemMetadata(sector("\xEB\x58\x90MSWIN4.1")));
  EXPECT_FALSE(IsFileSystemMetadata(sector("\xEB\x58\x90mkfs.fat")));
  EXPECT_FALSE(IsFileSystemMetadata(std::vector<uint8_t>(512, 0)));
  EXPECT_FALSE(IsFileSystemMetadata(std::vector<uint8_t>(31, 'F')));
  // A real FAT directory sector: the fixture's root region.
  test::TempDir dir;
  test::GunzipFixture("fat/fat12.img.gz", dir.path() / "v.img");
  const auto image = test::ReadFile(dir.path() / "v.img");
  const size_t root = (Le16(image, 14) + size_t{image[16]} * Le16(image, 22)) * 512;
  EXPECT_TRUE(IsFileSystemMetadata(ByteSpan(image).subspan(root, 512)));
}

}  // namespace
}  // namespace snapsave
