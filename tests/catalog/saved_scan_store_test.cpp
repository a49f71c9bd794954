#include "catalog/saved_scan_store.h"

#include <chrono>
#include <fstream>

#include <gtest/gtest.h>

#include "catalog/found_file_catalogue.h"
#include "os/byte_reader.h"
#include "os/error.h"
#include "os/text.h"
#include "os/volume_space.h"
#include "tests/support/test_support.h"

namespace snapsave {
namespace {

namespace fs = std::filesystem;

void Touch(const fs::path& path) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << "x";
}

SavedScanRecord RecordFor(uint32_t disk, uint64_t start, const fs::path& folder, uint64_t freeBytes = 0) {
  SavedScanRecord r;
  r.diskNumber = disk;
  r.volumeStartSector = start;
  r.volumeSectorCount = 1000;
  r.freeBytes = freeBytes;
  const std::u16string name = os::Utf8ToUtf16(folder.string());
  std::copy(name.begin(), name.end(), r.folder.begin());
  return r;
}

TEST(SavedScanConfig, RoundTripsAndIgnoresATrailingPartialRecord) {
  SavedScanConfig config;
  config.counter = 41;
  config.records.push_back(RecordFor(1, 2048, "/logs/7/", 123456));
  config.records[0].runDone = 0x0102030405060708ull;
  config.records[0].imagePath[0] = u'\u00E9';
  config.records[0].imagePath[259] = u'z';  // kept even past a terminator
  std::vector<uint8_t> bytes = EncodeSavedScanConfig(config);
  ASSERT_EQ(bytes.size(), 8u + kSavedScanRecordSize);
  EXPECT_EQ(Le64(bytes, 0), 41u);
  EXPECT_EQ(Le32(bytes, 8), 1u);
  EXPECT_EQ(Le64(bytes, 8 + 40), 0x0102030405060708ull);
  EXPECT_EQ(Le64(bytes, 8 + 64), 123456u);
  EXPECT_EQ(Le16(bytes, 8 + 80), 0x00E9);
  EXPECT_EQ(Le16(bytes, 8 + 600), '/');
  EXPECT_EQ(Le16(bytes, 8 + 602), 'l');

  bytes.resize(bytes.size() + kSavedScanRecordSize - 1, 0xAA);
  const SavedScanConfig parsed = ParseSavedScanConfig(bytes);
  ASSERT_EQ(parsed.records.size(), 1u);
  EXPECT_EQ(parsed.records[0].Folder(), u"/logs/7/");
  bytes.resize(8 + kSavedScanRecordSize);
  EXPECT_EQ(EncodeSavedScanConfig(parsed), bytes);

  EXPECT_EQ(ParseSavedScanConfig(std::span<const uint8_t>(bytes.data(), 7)).counter, 0u);
}

class StoreTest : public ::testing::Test {
 protected:
  test::TempDir root_;
  fs::path log_ = root_.path() / "ScanLog";
  uint64_t freeBytes_ = 5000;
  SavedScanStore::FreeBytesQuery query_ = [this](const fs::path&, uint64_t) { return freeBytes_; };

  void WriteConfig(const SavedScanConfig& config, const char* name = "config") {
    test::WriteFile(log_ / name, EncodeSavedScanConfig(config));
  }
  fs::path Folder(int n) const { return log_ / std::to_string(n) / ""; }
};

TEST_F(StoreTest, LoadTakesOverALeftoverTemporaryFile) {
  SavedScanConfig config;
  config.counter = 7;
  config.records.push_back(RecordFor(0, 63, Folder(7)));
  WriteConfig(config, "config.tmp");
  SavedScanStore store(log_, query_);
  EXPECT_EQ(store.Counter(), 7u);
  ASSERT_EQ(store.Records().size(), 1u);
  EXPECT_TRUE(fs::exists(log_ / "config"));
  EXPECT_FALSE(fs::exists(log_ / "config.tmp"));
}

TEST_F(StoreTest, CounterFortyOneStartsFolderFortyTwoAfresh) {
  SavedScanConfig config;
  config.counter = 41;
  config.records.push_back(RecordFor(0, 63, Folder(42)));
  WriteConfig(config);
  Touch(Folder(42) / "Fast_63_2024379 5");
  SavedScanStore store(log_, query_);
  store.StartNewScan();
  EXPECT_EQ(store.CurrentFolder(), Folder(42));
  EXPECT_FALSE(fs::exists(Folder(42)));
  EXPECT_TRUE(store.Records().empty());
  store.UndoNewScan();
  EXPECT_EQ(store.Counter(), 41u);
}

TEST_F(StoreTest, ResumesAnUnchangedDiskAndDropsAChangedOne) {
  SavedScanStore store(log_, query_);
  store.StartNewScan();
  const fs::path folder = store.CurrentFolder();
  Touch(folder / "Fast_2048_2024379 5");
  ScanPosition at{0, 1000, 400, 400, 12};
  ASSERT_EQ(store.SaveScan(u'1', 1, 2048, 1000, at, folder), 0u);

  SavedScanStore reloaded(log_, query_);
  std::optional<SavedScanRecord> found = reloaded.FindDiskScan(u'1', 1, 2048, 1000);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->runDone, 400u);
  EXPECT_EQ(found->filesFound, 12u);
  EXPECT_EQ(reloaded.CurrentFolder(), folder);
  EXPECT_EQ(reloaded.FindFileByPrefix(folder, "Fast_"), "Fast_2048_2024379 5");

  // A later save of the same source updates the position in place.
  at.runDone = 900;
  ASSERT_EQ(reloaded.SaveScan(u'1', 1, 2048, 1000, at, reloaded.CurrentFolder()), 0u);
  ASSERT_EQ(reloaded.Records().size(), 1u);
  EXPECT_EQ(reloaded.Records()[0].runDone, 900u);

  freeBytes_ = 4096;  // something was written to the volume
  EXPECT_FALSE(reloaded.FindDiskScan(u'1', 1, 2048, 1000));
  EXPECT_TRUE(reloaded.Records().empty());
  EXPECT_FALSE(fs::exists(folder));
  EXPECT_EQ(reloaded.CurrentFolder(), Folder(1));
}

TEST_F(StoreTest, KeepsTwoPartitionsOfOneDiskApart) {
  SavedScanStore store(log_, query_);
  store.StartNewScan();
  ASSERT_EQ(store.SaveScan(0, 2, 2048, 1000, {}, store.CurrentFolder()), 0u);
  store.StartNewScan();
  ASSERT_EQ(store.SaveScan(0, 2, 4096, 2000, {}, store.CurrentFolder()), 0u);
  ASSERT_EQ(store.Records().size(), 2u);
  ASSERT_TRUE(store.FindDiskScan(0, 2, 2048, 1000));
  EXPECT_EQ(store.CurrentFolder(), Folder(1));
  ASSERT_TRUE(store.FindDiskScan(0, 2, 4096, 2000));
  EXPECT_EQ(store.CurrentFolder(), Folder(2));
  EXPECT_FALSE(store.FindDiskScan(0, 2, 4096, 1000));

  // A scan that ran to its end says so, in the stored file too; continued and stopped again, it no longer
  // does.
  ASSERT_EQ(store.SaveScan(0, 2, 2048, 1000, {0, 0, 0, 1000, 5, true}, Folder(1)), 0u);
  SavedScanStore reread(log_, query_);
  ASSERT_TRUE(reread.FindDiskScan(0, 2, 2048, 1000));
  EXPECT_EQ(reread.FindDiskScan(0, 2, 2048, 1000)->flags, kSavedScanFinished);
  EXPECT_EQ(reread.FindDiskScan(0, 2, 4096, 2000)->flags, 0u);
  ASSERT_EQ(reread.SaveScan(0, 2, 2048, 1000, {0, 1000, 10, 10, 1}, Folder(1)), 0u);
  EXPECT_EQ(reread.FindDiskScan(0, 2, 2048, 1000)->flags, 0u);
}

TEST_F(StoreTest, SavingAResumedScanWhoseVolumeChangedKeepsItsFiles) {
  SavedScanStore store(log_, query_);
  store.StartNewScan();
  const fs::path folder = store.CurrentFolder();
  Touch(folder / "Pro_Fat_0_2024379 5");
  ASSERT_EQ(store.SaveScan(0, 0, 0, 1000, {}, folder), 0u);
  ASSERT_TRUE(store.FindDiskScan(0, 0, 0, 1000));
  freeBytes_ = 1;  // the scanned volume is mounted and busy
  ASSERT_EQ(store.SaveScan(0, 0, 0, 1000, {0, 1000, 10, 10, 1}, store.CurrentFolder()), 0u);
  EXPECT_TRUE(fs::exists(folder / "Pro_Fat_0_2024379 5"));
  ASSERT_EQ(store.Records().size(), 1u);
  EXPECT_EQ(store.Records()[0].freeBytes, 1u);
}

TEST_F(StoreTest, AnImageIsResumedOnlyWhileUnmodified) {
  const fs::path image = root_.path() / "card.img";
  Touch(image);
  SavedScanStore store(log_, query_);
  store.StartNewScan();
  const fs::path folder = store.CurrentFolder();
  Touch(folder / "File_Type_0_2024379 5");
  ASSERT_EQ(store.SaveScan(0, 128, 0, 1, {}, folder, &image), 0u);
  EXPECT_EQ(store.Records()[0].diskNumber, kImageDiskNumber);
  EXPECT_EQ(store.Records()[0].freeBytes, 0u);
  EXPECT_NE(store.Records()[0].imageWriteTime, 0u);
  EXPECT_TRUE(store.FindImageScan(image));
  EXPECT_FALSE(store.FindImageScan(root_.path() / "CARD.img"));
  // The volumes of a whole-disk image are saved under the same file, each by where it starts.
  store.StartNewScan();
  ASSERT_EQ(store.SaveScan(0, 1000, 2048, 500, {0, 500, 7, 7, 0}, store.CurrentFolder(), &image), 0u);
  ASSERT_TRUE(store.FindImageScan(image, 2048));
  EXPECT_EQ(store.FindImageScan(image, 2048)->runDone, 7u);
  EXPECT_EQ(store.FindImageScan(image)->runDone, 0u);
  EXPECT_FALSE(store.FindImageScan(image, 4096));
  // An image whose disk went away keeps its record as it was: it is not taken for a changed image.
  const fs::path gone = root_.path() / "unplugged" / "card.img";
  EXPECT_EQ(store.SaveScan(0, 128, 0, 1, {0, 1, 1, 1, 0}, folder, &gone), err::kDeviceGone);
  EXPECT_EQ(store.Records().size(), 2u);
  store.UndoNewScan();

  fs::last_write_time(image, fs::last_write_time(image) + std::chrono::seconds(10));
  EXPECT_FALSE(store.FindImageScan(image));
  EXPECT_FALSE(store.FindImageScan(image, 2048));
  EXPECT_TRUE(store.Records().empty());
  EXPECT_FALSE(fs::exists(folder));
}

TEST_F(StoreTest, NeverDeletesOutsideTheScanLog) {
  test::TempDir victim;
  Touch(victim.path() / "precious.txt");
  Touch(log_ / "inside" / "keep.txt");
  std::error_code ec;
  fs::create_directory_symlink(victim.path(), log_ / "link", ec);
  if (ec) GTEST_SKIP() << "no symbolic links here";
  SavedScanConfig config;
  config.counter = 3;
  config.records.push_back(RecordFor(0, 1, victim.path() / ""));
  config.records.push_back(RecordFor(0, 2, log_ / "inside" / ".." / ".." / ".." / victim.path().filename()));
  config.records.push_back(RecordFor(0, 3, log_ / "link" / ""));
  config.records.push_back(RecordFor(0, 4, log_));
  WriteConfig(config);
  SavedScanStore store(log_, query_);
  for (uint64_t start = 1; start <= 4; ++start)
    EXPECT_FALSE(store.FindDiskScan(0, 0, start, 1000));  // all stale
  EXPECT_TRUE(store.Records().empty());
  EXPECT_TRUE(fs::exists(victim.path() / "precious.txt"));
  EXPECT_TRUE(fs::exists(log_ / "inside" / "keep.txt"));
  EXPECT_EQ(store.RemoveScan(victim.path()), err::kAccessDenied);
  EXPECT_EQ(store.RemoveScan(log_ / "absent"), 0u);
}

TEST_F(StoreTest, AFailedSaveKeepsTheOldStore) {
  SavedScanStore store(log_, query_);
  store.StartNewScan();
  ASSERT_EQ(store.SaveScan(0, 1, 63, 1000, {}, store.CurrentFolder()), 0u);
  const std::vector<uint8_t> before = test::ReadFile(log_ / "config");
  fs::create_directory(log_ / "config.tmp");  // the temporary file cannot be written
  store.StartNewScan();
  EXPECT_NE(store.SaveScan(0, 1, 4096, 1000, {}, store.CurrentFolder()), 0u);
  EXPECT_EQ(test::ReadFile(log_ / "config"), before);
}

TEST_F(StoreTest, CataloguesOpenInTheCurrentFolder) {
  SavedScanStore store(log_, query_);
  store.StartNewScan();
  {
    FoundFileCatalogue c;
    ASSERT_EQ(c.OpenIn(store.CurrentFolder(), "Fast_0_2024379 5"), 0u);
    EXPECT_EQ(c.RecordsPath(), Folder(1) / "Fast_0_2024379 5");
  }
  ASSERT_EQ(store.SaveScan(0, 0, 0, 10, {}, store.CurrentFolder()), 0u);
  store.StartNewScan();
  ASSERT_TRUE(store.FindDiskScan(0, 0, 0, 10));  // a resumed scan goes back to its own folder
  EXPECT_EQ(store.CurrentFolder(), Folder(1));
  EXPECT_EQ(store.FindFileByPrefix(store.CurrentFolder(), "Fast_"), "Fast_0_2024379 5");
}

TEST_F(StoreTest, FindFileByPrefixTakesTheFirstPlainFileByName) {
  SavedScanStore store(log_, query_);
  const fs::path folder = log_ / "5";
  Touch(folder / "Pro_Ntfs_0_2024379 5_Relation");
  Touch(folder / "Pro_Ntfs_0_2024379 5");
  Touch(folder / ".Pro_Ntfs_hidden");
  fs::create_directories(folder / "Pro_Ntfs_dir");
  EXPECT_EQ(store.FindFileByPrefix(folder, "Pro_Ntfs_"), "Pro_Ntfs_0_2024379 5");
  EXPECT_EQ(store.FindFileByPrefix(folder, "Fast_"), std::nullopt);
  EXPECT_EQ(store.FindFileByPrefix(log_ / "missing", "Pro_"), std::nullopt);
}

#ifndef _WIN32
TEST(VolumeSpace, FindsThePartitionByStartAndItsMountPoint) {
  test::TempDir sys;
  const fs::path disk = sys.path() / "sdb";
  const auto put = [](const fs::path& p, std::string_view text) {
    test::WriteFile(p, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  };
  put(disk / "dev", "8:16\n");
  put(disk / "queue" / "logical_block_size", "4096\n");
  put(disk / "sdb1" / "partition", "1\n");
  put(disk / "sdb1" / "start", "2048\n");  // 512-byte units: sector 256 of a 4K disk
  put(disk / "sdb1" / "dev", "8:17\n");
  EXPECT_EQ(os::FindVolumeDevice(disk, 256), "8:17");
  EXPECT_EQ(os::FindVolumeDevice(disk, 0), "8:16");
  EXPECT_EQ(os::FindVolumeDevice(disk, 2048), std::nullopt);

  const std::string mountinfo =
      "22 1 8:1 / / rw shared:1 - ext4 /dev/sda1 rw\n"
      "40 22 8:17 / /media/My\\040Card rw - vfat /dev/sdb1 rw\n";
  EXPECT_EQ(os::MountPointOf(mountinfo, "8:17"), fs::path("/media/My Card"));
  EXPECT_EQ(os::MountPointOf(mountinfo, "8:1"), fs::path("/"));
  EXPECT_EQ(os::MountPointOf(mountinfo, "8:16"), std::nullopt);
  EXPECT_EQ(os::VolumeFreeBytes("/dev/no-such-disk", 0), 0u);
}
#endif

}  // namespace
}  // namespace snapsave
