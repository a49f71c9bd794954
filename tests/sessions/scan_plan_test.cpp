// What SOURCE and --types may name.
#include "sessions/scan_plan.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "filetypes/file_categories.h"
#include "os/text.h"
#include "tests/support/test_support.h"

namespace snapsave {
namespace {

namespace fs = std::filesystem;

VolumeInfo Entry(EntryKind kind, int32_t disk, char16_t id, std::string device) {
  VolumeInfo v;
  v.kind = kind;
  v.diskNumber = disk;
  v.driveLetter = id;
  v.rootPath = std::move(device);
  v.partitionType = kind == EntryKind::kVolume ? kPartitionFat32 : 0;
  return v;
}

TEST(ScanPlan, ImageFilesDisksEntriesAndDevices) {
  test::TempDir dir;
  os::DiskTable disks(std::vector<fs::path>{});
  test::WriteFile(dir.path() / "card.img", std::vector<uint8_t>(1024, 0));
  const std::vector<VolumeInfo> entries{
      Entry(EntryKind::kVolume, 0, 1, "/dev/null"), Entry(EntryKind::kUnallocated, 0, 2, ""),
      Entry(EntryKind::kWholeDisk, 1, 3, "/dev/zero"), Entry(EntryKind::kVolume, 2, u'E', "\\\\.\\E:")};

  auto image = ResolveSource((dir.path() / "card.img").string(), entries, disks);
  ASSERT_TRUE(image.source);
  EXPECT_EQ(image.source->kind, Source::Kind::kImage);

  auto disk = ResolveSource("disk1", entries, disks);
  ASSERT_TRUE(disk.source);
  EXPECT_EQ(disk.source->kind, Source::Kind::kWholeDisk);
  EXPECT_EQ(disk.source->volume.driveLetter, 3);  // the listing's entry, with its device
  EXPECT_EQ(disk.source->volume.rootPath, "/dev/zero");
  // A disk with volumes has no whole-disk entry; the number alone still names it.
  auto disk0 = ResolveSource("disk0", entries, disks);
  ASSERT_TRUE(disk0.source);
  EXPECT_EQ(disk0.source->volume.diskNumber, 0);

  auto free = ResolveSource("2", entries, disks);
  ASSERT_TRUE(free.source);
  EXPECT_EQ(free.source->kind, Source::Kind::kVolume);
  EXPECT_EQ(free.source->volume.kind, EntryKind::kUnallocated);

  // A volume with a drive letter (Windows) is named by it, with or without its colon, in either case.
  EXPECT_EQ(EntryId(u'E'), "E:");
  EXPECT_EQ(EntryId(3), "3");
  for (const char* name : {"E:", "e", "E"}) {
    auto lettered = ResolveSource(name, entries, disks);
    ASSERT_TRUE(lettered.source) << name;
    EXPECT_EQ(lettered.source->volume.diskNumber, 2) << name;
    EXPECT_EQ(lettered.source->description, "volume E: (\\\\.\\E:)");
  }
  EXPECT_NE(ResolveSource("F:", entries, disks).error.find("no entry F:"), std::string::npos);

  // /dev/null is a character device, not a listed block device: it names nothing.
  EXPECT_FALSE(ResolveSource("/dev/null", entries, disks).source);
  const std::vector<std::string> bads{
      "", "9", "disk", "diskX", "disk-1", "1x", (dir.path() / "missing.img").string(), dir.path().string()};
  for (const std::string& bad : bads) {
    const auto r = ResolveSource(bad, entries, disks);
    EXPECT_FALSE(r.source) << bad;
    EXPECT_FALSE(r.error.empty()) << bad;
  }
}

// "card.img:2" names entry 2 of a whole-disk image; a file whose own name ends so is still that file, and
// an image of one volume has no entries to name.
TEST(ScanPlan, EntriesOfWholeDiskImages) {
  test::TempDir dir;
  const fs::path disk = dir.path() / "card.img";
  const fs::path volume = dir.path() / "vol.img";
  test::WriteFile(disk, std::vector<uint8_t>(1024, 0));
  test::WriteFile(volume, std::vector<uint8_t>(1024, 0));
  test::WriteFile(dir.path() / "odd.img:1", std::vector<uint8_t>(1024, 0));
  const ImageDiskReader reader = [&](const fs::path& path, ImageDisk& out) -> uint32_t {
    out = {};
    if (path == disk) {
      out.diskNumber = 1000;
      out.entries = {Entry(EntryKind::kVolume, 1000, 1, ""), Entry(EntryKind::kUnallocated, 1000, 2, "")};
    }
    return 0;
  };
  const auto whole = ResolveSource(disk.string(), {}, reader);
  ASSERT_TRUE(whole.source);
  EXPECT_EQ(whole.source->kind, Source::Kind::kImageDisk);
  EXPECT_EQ(whole.source->entries.size(), 2u);
  const auto second = ResolveSource(os::Utf8OfPath(disk) + ":2", {}, reader);
  ASSERT_TRUE(second.source);
  EXPECT_EQ(second.source->kind, Source::Kind::kVolume);
  EXPECT_EQ(second.source->volume.kind, EntryKind::kUnallocated);
  EXPECT_EQ(second.source->volume.diskNumber, 1000);
  EXPECT_EQ(second.source->description, os::Utf8OfPath(disk) + ":2");
  EXPECT_EQ(ResolveSource(volume.string(), {}, reader).source->kind, Source::Kind::kImage);
  EXPECT_EQ(ResolveSource((dir.path() / "odd.img:1").string(), {}, reader).source->kind,
            Source::Kind::kImage);
  for (const std::string& bad : {disk.string() + ":3", disk.string() + ":", volume.string() + ":1"}) {
    const auto r = ResolveSource(bad, {}, reader);
    EXPECT_FALSE(r.source) << bad;
    EXPECT_FALSE(r.error.empty()) << bad;
  }
}

TEST(ScanPlan, TypesAreCategoriesOrPlainExtensions) {
  const auto mixed = ParseTypes(" Photo, PDF,.mp3,*.Mkv");
  ASSERT_TRUE(mixed.error.empty()) << mixed.error;
  EXPECT_NE(mixed.extensionList.find(kPhotoList), std::string::npos);
  EXPECT_NE(mixed.extensionList.find("*.pdf|"), std::string::npos);
  EXPECT_NE(mixed.extensionList.find("*.mp3|"), std::string::npos);
  EXPECT_NE(mixed.extensionList.find("*.mkv|"), std::string::npos);
  EXPECT_FALSE(ParseTypes("").error.empty());
  EXPECT_FALSE(ParseTypes(",,").error.empty());
  // Separators of the list itself, or paths, must not get into it.
  for (const char* bad : {"jp|g", "../x", "a*b", "x y?"}) EXPECT_FALSE(ParseTypes(bad).error.empty()) << bad;
  // A typo is refused with what could have been meant, rather than searched for and never found.
  const auto typo = ParseTypes("jpg,nosuchtype");
  EXPECT_NE(typo.error.find("'nosuchtype'"), std::string::npos);
  EXPECT_NE(typo.error.find("photo, audio"), std::string::npos);
  EXPECT_NE(typo.error.find(", jpg,"), std::string::npos);
  EXPECT_TRUE(ParseTypes("TXT,cr2,MTS").error.empty()) << ParseTypes("TXT,cr2,MTS").error;
  EXPECT_EQ(ExtensionOf("IMG_1.JPG"), "jpg");
  EXPECT_EQ(ExtensionOf("README"), "");
  EXPECT_EQ(HumanSize(512), "512 B");
  EXPECT_EQ(HumanSize(3u << 29), "1.5 GiB");
}

// The checks before a recovery writes, in the order a user meets them.
TEST(ScanPlan, RecoveryDestinationsAreCheckedBeforeAnythingIsWritten) {
  test::TempDir dir;
  const fs::path image = dir.path() / "card.img";
  test::WriteFile(image, std::vector<uint8_t>(1024, 0));
  ScanTarget source;
  source.imagePath = image;
  ScanTarget* targets[] = {&source};
  auto volume = [](std::string fileSystem, uint64_t free) {
    return [=](const fs::path&) { return TargetVolume{fileSystem, free}; };
  };
  const uint64_t big = uint64_t{5} << 30;
  const fs::path out = dir.path() / "out";
  EXPECT_EQ(CheckRecoveryDestination(out, targets, 10, 10, false, volume("ext4", 100)).problem,
            WriteProblem::kNone);
  EXPECT_EQ(CheckRecoveryDestination(image, targets, 10, 10, false, volume("ext4", 100)).problem,
            WriteProblem::kOnSource);
  EXPECT_NE(CheckRecoveryDestination(image, targets, 10, 10, true, volume("ext4", 100)).problem,
            WriteProblem::kOnSource);
  const WriteCheck forbidden = CheckRecoveryDestination("/proc/forbidden", targets, 10, 10, false, {});
  EXPECT_EQ(forbidden.problem, WriteProblem::kNotWritable);
  EXPECT_NE(forbidden.error, 0u);
  EXPECT_EQ(CheckRecoveryDestination(out, targets, big, big, false, volume("FAT32", big * 2)).problem,
            WriteProblem::kFat32TooSmall);
  EXPECT_EQ(CheckRecoveryDestination(out, targets, big, big, false, volume("FAT", big * 2)).problem,
            WriteProblem::kFatTooSmall);
  const WriteCheck full = CheckRecoveryDestination(out, targets, 200, 10, false, volume("ext4", 100));
  EXPECT_EQ(full.problem, WriteProblem::kNotEnoughSpace);
  EXPECT_NE(WriteProblemText(full, out).find("200 B"), std::string::npos);
  // Free space that could not be told refuses nothing.
  EXPECT_EQ(CheckRecoveryDestination(out, targets, 200, 10, false, volume("", 0)).problem,
            WriteProblem::kNone);
}

}  // namespace
}  // namespace snapsave
