#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "catalog/recovery_output.h"
#include "fs/ntfs/ntfs_quick_engine.h"
#include "os/byte_reader.h"
#include "tests/fs/ntfs/ntfs_image_builder.h"
#include "tests/support/scan_store.h"
#include "tests/support/test_support.h"

namespace snapsave {
namespace {

namespace fs = std::filesystem;

// The fixture's deleted files by path.
std::map<std::string, test::ManifestFile> Manifest() {
  std::map<std::string, test::ManifestFile> out;
  for (const test::ManifestFile& f : test::ReadManifest("ntfs/ntfs_small.manifest")) out[f.path] = f;
  return out;
}

// Every file record of the tree, by path from the root; the folders too when asked.
void Walk(IFileRecoveryParse& engine, const FoundFileRecord* folder, int32_t depth, const std::string& prefix,
          std::map<std::string, FoundFileRecord>& out,
          std::map<std::string, FoundFileRecord>* folders = nullptr) {
  RecordList list;
  ASSERT_EQ(engine.ListFolder(folder, depth, list), 0u);
  for (const FoundFileRecord& r : list) {
    const std::string path = prefix + std::string(r.Name());
    if (r.isFolder != 0) {
      if (folders != nullptr) (*folders)[path] = r;
      Walk(engine, &r, depth + 1, path + "/", out, folders);
    } else {
      out[path] = r;
    }
  }
}

class NtfsFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    image = dir.path() / "ntfs_small.img";
    test::GunzipFixture("ntfs/ntfs_small.img.gz", image);
    ASSERT_EQ(engine.Open(ImageVolume(image, u'N')), 0u);
    ASSERT_EQ(engine.Scan({}), 0);
    Walk(engine, nullptr, 0, "", files);
  }
  test::ScratchScanStore appData;
  test::TempDir dir;
  fs::path image;
  // A second scan of the volume within the minute reuses the log name: the first engine is closed before
  // it, as a program run ends before the next (Windows refuses to replace a log file another engine holds).
  std::unique_ptr<CFastNtfsRecovery> first = std::make_unique<CFastNtfsRecovery>(appData.store());
  CFastNtfsRecovery& engine = *first;
  std::map<std::string, FoundFileRecord> files;
};

// Every file fls lists, deleted or existing, with its record and state; only the file system's own files
// ($MFT, $Extend/...), named streams, never-used records without a name and an existing record without data
// (a folder record whose flag was cleared, which fls lists by its index) are fls's alone.
TEST_F(NtfsFixture, ListingAgreesWithSleuthKit) {
  std::map<std::string, std::pair<uint64_t, bool>> fls;
  for (const test::FlsFile& f : test::StoredFls("ntfs/ntfs_small.fls")) {
    const bool system = f.path.starts_with("$") && !f.path.starts_with("$OrphanFiles/");
    if (!system && f.path.find(':') == std::string::npos && !f.path.starts_with("$OrphanFiles/OrphanFile-") &&
        f.path != "reused")
      fls[f.path] = {f.inode, f.deleted};
  }
  ASSERT_GT(fls.size(), 700u);
  const auto manifest = Manifest();
  std::map<std::string, std::pair<uint64_t, bool>> ours;
  std::string lostFolder;
  size_t deleted = 0;
  for (const auto& [path, r] : files) {
    std::string key = path;
    if (path.rfind("LostFolder", 0) == 0) {
      lostFolder = path.substr(0, path.find('/'));
      key = "$OrphanFiles" + path.substr(path.find('/'));
    }
    ours[key] = {r.entryRef, !IsExistingFile(r)};
    deleted += IsExistingFile(r) ? 0u : 1u;
  }
  EXPECT_EQ(ours, fls);
  EXPECT_EQ(deleted, manifest.size());
  // The orphan's old parent now holds a plain file: its folder is named after that record, directly in the
  // root.
  ASSERT_TRUE(files.count(lostFolder + "/orphan.jpg"));
  EXPECT_TRUE(manifest.count("reused/orphan.jpg"));
  for (const auto& [path, r] : files) {
    if (IsExistingFile(r)) continue;
    std::string original = path.rfind("LostFolder", 0) == 0 ? "reused" + path.substr(path.find('/')) : path;
    ASSERT_TRUE(manifest.count(original)) << original;
    EXPECT_EQ(r.fileSize, manifest.at(original).size) << path;
  }
  EXPECT_EQ(files.count("DCIM/HOLIDA~1.JPG"), 0u) << "the long name wins over the DOS alias";
  EXPECT_EQ(files.at("notes/empty.txt").isIntact, 0u) << "a resident file of 0 bytes is not intact";
  EXPECT_EQ(files.at("notes/small.txt").isIntact, 1u);
  EXPECT_EQ(files.at("DCIM/100CAM/IMG_0002.JPG").isIntact, 1u);
}

TEST_F(NtfsFixture, ASecondScanInTheSameMinuteListsEachFileOnce) {
  const uint64_t count = engine.GetRecordCount();
  first.reset();
  CFastNtfsRecovery again(appData.store());
  ASSERT_EQ(again.Open(ImageVolume(image, u'N')), 0u);
  ASSERT_EQ(again.Scan({}), 0);
  EXPECT_EQ(again.GetRecordCount(), count);
  std::map<std::string, FoundFileRecord> twice;
  Walk(again, nullptr, 0, "", twice);
  EXPECT_EQ(twice.size(), files.size());
}

TEST_F(NtfsFixture, RecoversADeletedFolderBelowItsCategoryFolder) {
  RecordList root;
  ASSERT_EQ(engine.ListFolder(nullptr, 0, root), 0u);
  const auto gone = std::find_if(root.begin(), root.end(), [](const auto& r) { return r.Name() == "gone"; });
  ASSERT_NE(gone, root.end());
  // As the recovery writer does: destination/category/name, base depth from the destination.
  const fs::path destination = dir.path() / "rec";
  const fs::path target = destination / "photo" / "gone";
  ASSERT_EQ(engine.RecoverRecord(&*gone, target, static_cast<int32_t>(CountSeparators(destination.string()))),
            0);
  const auto manifest = Manifest();
  for (const char* name : {"gone/readme.txt", "gone/inner/deep.jpg", "gone/inner/blob.dat"}) {
    const auto bytes = test::ReadFile(destination / "photo" / name);
    EXPECT_EQ(test::Crc(bytes), manifest.at(name).crc) << name;
  }
  // A second recovery into the same folder writes beside, never over.
  test::WriteFile(target / "readme.txt", std::vector<uint8_t>{'x'});
  ASSERT_EQ(engine.RecoverRecord(&*gone, target, 0), 0);
  EXPECT_EQ(test::ReadFile(target / "readme.txt"), std::vector<uint8_t>{'x'});
}

TEST_F(NtfsFixture, PreviewFillsTheBufferUpToItsSize) {
  const FoundFileRecord& r = files.at("docs/2023/reports/data.bin");
  std::vector<uint8_t> buffer(5000);
  fs::path path;
  uint32_t got = static_cast<uint32_t>(buffer.size());
  ASSERT_EQ(engine.ExtractForPreview(&r, path, buffer, got, nullptr, nullptr), 0u);
  EXPECT_EQ(got, 5000u);
  const fs::path full = dir.path() / "full.bin";
  ASSERT_EQ(engine.RecoverRecord(&r, full, 0), 0);
  const auto bytes = test::ReadFile(full);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), bytes.begin()));
}

TEST_F(NtfsFixture, AllocationMapMarksTheMftInUse) {
  ASSERT_EQ(engine.BuildAllocationMap(), 0);
  uint64_t sector = 0, length = 0;
  ASSERT_EQ(engine.NextUnallocatedRun(sector, length), 1);
  EXPECT_GT(sector, 0u) << "cluster 0 holds the boot sector";
  EXPECT_GT(length, 0u);
  const uint64_t mft = engine.Volume()->RecordSector(0);
  EXPECT_TRUE(mft < sector || mft >= sector + length);
}

// Points every $FILE_NAME of record `number` at `parent`, as damage or a crafted volume would.
void SetParent(std::vector<uint8_t>& image, uint32_t number, uint32_t parent) {
  size_t patched = 0;
  for (size_t off = 0; off + 1024 <= image.size(); off += 1024) {
    if (std::memcmp(&image[off], "FILE", 4) != 0 || Le32(image, off + 44) != number) continue;
    for (size_t a = off + Le16(image, off + 20); a + 16 < off + 1024 && Le32(image, a) != 0xFFFFFFFF;
         a += Le32(image, a + 4)) {
      if (Le32(image, a + 4) < 16) break;
      if (Le32(image, a) != 0x30) continue;
      const size_t value = a + Le16(image, a + 20);
      ASSERT_LT(value + 8, off + 510) << "the parent field would cross a fixed-up sector end";
      PutLe32(image, value, parent);
      PutLe16(image, value + 4, 0);
      ++patched;
    }
  }
  ASSERT_GT(patched, 0u) << "record " << number;
}

// Parents that never lead to the root: two deleted folders naming each other, a live folder naming itself, a
// deleted file naming itself. Their files are listed below LostFolders at the root and recovered whole.
TEST_F(NtfsFixture, FilesBelowParentCyclesComeBackUnderLostFolders) {
  std::map<std::string, FoundFileRecord> unused, folders;
  Walk(engine, nullptr, 0, "", unused, &folders);
  auto image_bytes = test::ReadFile(image);
  SetParent(image_bytes, folders.at("gone").entryRef, folders.at("gone/inner").entryRef);
  SetParent(image_bytes, folders.at("DCIM/100CAM").entryRef, folders.at("DCIM/100CAM").entryRef);
  SetParent(image_bytes, files.at("notes/tiny.bin").entryRef, files.at("notes/tiny.bin").entryRef);
  const fs::path patched = dir.path() / "cycles.img";
  test::WriteFile(patched, image_bytes);

  first.reset();
  CFastNtfsRecovery cycles(appData.store());
  ASSERT_EQ(cycles.Open(ImageVolume(patched, u'N')), 0u);
  ASSERT_EQ(cycles.Scan({}), 0);
  std::map<std::string, FoundFileRecord> found;
  Walk(cycles, nullptr, 0, "", found);
  EXPECT_EQ(found.size(), files.size()) << "nothing dropped";
  const auto manifest = Manifest();
  const fs::path out = dir.path() / "out";
  size_t lost = 0;
  for (const char* original : {"gone/readme.txt", "gone/inner/deep.jpg", "gone/inner/blob.dat",
                               "DCIM/100CAM/IMG_0002.JPG", "DCIM/100CAM/IMG_0004.JPG", "notes/tiny.bin"}) {
    const std::string name = fs::path(original).filename().string();
    const auto it = std::find_if(found.begin(), found.end(), [&](const auto& f) {
      return f.first.rfind("LostFolder", 0) == 0 && fs::path(f.first).filename() == name;
    });
    ASSERT_NE(it, found.end()) << original;
    ++lost;
    ASSERT_EQ(cycles.RecoverRecord(&it->second, out / name, 0), 0) << original;
    EXPECT_EQ(test::Crc(test::ReadFile(out / name)), manifest.at(original).crc) << original;
  }
  EXPECT_EQ(lost, 6u);
  // The lost folder of the two-folder cycle recovers as a tree holding all three of its files.
  RecordList root;
  ASSERT_EQ(cycles.ListFolder(nullptr, 0, root), 0u);
  size_t recovered = 0;
  for (const FoundFileRecord& r : root) {
    if (r.Name().rfind("LostFolder", 0) != 0) continue;
    const fs::path target = dir.path() / "tree" / std::string(r.Name());
    ASSERT_EQ(cycles.RecoverRecord(&r, target, 0), 0) << r.Name();
    for (const auto& e : fs::recursive_directory_iterator(target)) recovered += e.is_regular_file() ? 1u : 0u;
  }
  EXPECT_EQ(recovered, 9u) << "the six files, the orphan and the two existing photos of the fixture";
}

int32_t CancelAtOnce(void*, int32_t, int32_t, int32_t, uint64_t, uint64_t, uint64_t, uint32_t) {
  return ScanCancelled;
}
int32_t RecordProgress(void* context, int32_t progress, int32_t, int32_t, uint64_t, uint64_t, uint64_t,
                       uint32_t) {
  static_cast<std::vector<int32_t>*>(context)->push_back(progress);
  return 0;
}

TEST(NtfsQuickEngine, SyntheticVolumes) {
  test::ScratchScanStore appData;
  test::TempDir dir;
  {  // Nothing deleted: an empty catalogue. A cancelled scan says so.
    test::NtfsImageBuilder b;
    b.BeginRecord(5, 0x0003);
    b.AddFileName(5, 5, u".", 3, 0);
    b.EndRecord(5);
    b.BeginRecord(3, 0);  // deleted, but a system record
    b.AddFileName(3, 5, u"$Volume", 3, 0);
    b.EndRecord(3);
    b.Save(dir.path() / "a.img");
    CFastNtfsRecovery engine(appData.store());
    ASSERT_EQ(engine.Open(ImageVolume(dir.path() / "a.img", u'A')), 0u);
    ASSERT_EQ(engine.Scan({}), 0);
    EXPECT_EQ(engine.GetRecordCount(), 0u);
    engine.SetCallbacks(CancelAtOnce, nullptr, nullptr, 100);
    EXPECT_EQ(engine.Scan({}), ScanCancelled);
  }
  {  // An MFT whose runs add up to nothing still ends at 100.
    test::NtfsImageBuilder b;
    b.BeginRecord(0, 0x0001);
    b.AddNonResident(0, 0x80, {0x01, 0x00}, 0);
    b.EndRecord(0);
    b.Save(dir.path() / "b.img");
    CFastNtfsRecovery engine(appData.store());
    std::vector<int32_t> progress;
    ASSERT_EQ(engine.Open(ImageVolume(dir.path() / "b.img", u'B')), 0u);
    engine.SetCallbacks(RecordProgress, nullptr, &progress, 100);
    ASSERT_EQ(engine.Scan({}), 0);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), 100);
  }
  {  // Hostile records are skipped; their neighbours are still listed.
    test::NtfsImageBuilder b;
    b.BeginRecord(20, 0);
    b.AddFileName(20, 5, u"broken.txt", 1, 3);
    b.AddRaw(20, {0x80, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF});
    b.EndRecord(20);
    b.BeginRecord(21, 0);
    b.AddFileName(21, 5, u"runs.bin", 1, 1u << 30);
    b.AddNonResident(21, 0x80, {0x48, 1, 2, 3, 4, 5, 6, 7, 8, 1, 0x41, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F},
                     1u << 30);
    b.EndRecord(21);
    b.BeginRecord(22, 0);
    b.AddFileName(22, 21, u"child.txt", 1, 2);  // parent is a file: LostFolder21
    b.AddResidentData(22, {'o', 'k'});
    b.EndRecord(22);
    b.Save(dir.path() / "c.img");
    CFastNtfsRecovery engine(appData.store());
    ASSERT_EQ(engine.Open(ImageVolume(dir.path() / "c.img", u'C')), 0u);
    ASSERT_EQ(engine.Scan({}), 0);
    std::map<std::string, FoundFileRecord> found;
    Walk(engine, nullptr, 0, "", found);
    EXPECT_EQ(found.count("broken.txt"), 0u);
    ASSERT_EQ(found.count("runs.bin"), 1u);
    ASSERT_EQ(found.count("LostFolder21/child.txt"), 1u);
    engine.RecoverRecord(&found.at("runs.bin"), dir.path() / "runs.bin", 0);  // 8-byte fields: no runs
    EXPECT_TRUE(test::ReadFile(dir.path() / "runs.bin").empty());
    ASSERT_EQ(engine.RecoverRecord(&found.at("LostFolder21/child.txt"), dir.path() / "child.txt", 0), 0);
    EXPECT_EQ(test::ReadFile(dir.path() / "child.txt"), (std::vector<uint8_t>{'o', 'k'}));
  }
}

}  // namespace
}  // namespace snapsave
