// The Btrfs volume the kernel wrote (tests/fixtures/btrfs/make-btrfs.sh): every file it lists comes back by
// path and byte for byte, inline, fragmented, compressed three ways and inside a subvolume; every file
// deleted since comes back by its name from the old leaves, the rewritten one in its newest state; the free
// runs miss every file that exists; a root tree that cannot be read still leaves the files the leaves hold.
#include "fs/btrfs/btrfs_quick_engine.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "fs/btrfs/btrfs_compression.h"
#include "tests/support/scan_store.h"
#include "tests/support/test_support.h"

namespace snapsave {
namespace {

namespace fs = std::filesystem;

// Each 512 bytes of a fixture file start with its name (and version) and their number.
std::vector<uint8_t> Stamped(const std::string& name, size_t size) {
  std::string out;
  for (size_t s = 0; out.size() < size; ++s) {
    const std::string line = name + " sector " + std::to_string(s) + "\n";
    out += line + std::string(511 - line.size(), '.') + "\n";
  }
  out.resize(size);
  return {out.begin(), out.end()};
}

std::vector<uint8_t> Expected(const std::string& path, size_t size) {
  const std::string name = fs::path(path).filename().string();
  return Stamped(path == "rewritten.txt" ? name + " second" : name, size);
}

// "path size" lines: btrfs.manifest (what the kernel lists), btrfs.deleted (what was deleted since).
std::map<std::string, uint64_t> Manifest(const char* name) {
  std::map<std::string, uint64_t> files;
  std::ifstream in(fs::path(SNAPSAVE_FIXTURES_DIR) / "btrfs" / name);
  for (std::string line; std::getline(in, line);) {
    const size_t space = line.rfind(' ');
    files[line.substr(0, space)] = std::stoull(line.substr(space + 1));
  }
  return files;
}

// Whether this build reads the folder's compression (a Windows build has neither LZO nor zstd).
bool Readable(const std::string& path) {
  if (path.starts_with("lzo/")) return BtrfsCanDecompress(kBtrfsCompressLzo);
  if (path.starts_with("zstd/")) return BtrfsCanDecompress(kBtrfsCompressZstd);
  return true;
}

std::map<std::string, FoundFileRecord> Listed(CFastBtrfsRecovery& engine) {
  RecordList all;
  engine.SearchByType(kAllTypes, all);
  std::map<std::string, FoundFileRecord> listed;
  for (const FoundFileRecord& r : all) {
    std::string path;
    EXPECT_EQ(engine.GetRecordPath(&r, path), 0u);
    while (!path.empty() && path.front() == '/') path.erase(0, 1);
    while (!path.empty() && path.back() == '/') path.pop_back();
    listed[(path.empty() ? "" : path + "/") + std::string(r.Name())] = r;
  }
  return listed;
}

class BtrfsQuickEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = dir_.path() / "btrfs.img";
    test::GunzipFixture("btrfs/btrfs.img.gz", image_);
  }
  test::ScratchScanStore appData_;
  test::TempDir dir_;
  fs::path image_;
};

TEST_F(BtrfsQuickEngine, EveryFileTheKernelListsAndEveryDeletedOneComesBackByPathAndByteForByte) {
  CFastBtrfsRecovery engine(appData_.store());
  ASSERT_EQ(engine.Open(ImageVolume(image_, u'B')), 0u);
  ASSERT_TRUE(engine.Superblock().has_value());
  EXPECT_EQ(engine.Superblock()->label, "SNAPBTRFS");
  ASSERT_EQ(engine.Scan({}), 0);
  std::map<std::string, FoundFileRecord> listed = Listed(engine);
  const std::map<std::string, uint64_t> manifest = Manifest("btrfs.manifest");
  const std::map<std::string, uint64_t> deleted = Manifest("btrfs.deleted");
  ASSERT_EQ(manifest.size(), 411u);
  ASSERT_EQ(deleted.size(), 11u);
  std::vector<std::string> missing, extra, wrong;
  for (const auto& [path, size] : manifest) {
    const auto it = listed.find(path);
    if (it == listed.end()) {
      missing.push_back(path);
      continue;
    }
    EXPECT_TRUE(IsExistingFile(it->second)) << path;
    EXPECT_EQ(it->second.fileSize, size) << path;
    if (!Readable(path)) continue;
    const fs::path out = dir_.path() / "out" / path;
    if (engine.RecoverRecord(&it->second, out, 0) != 0 || test::ReadFile(out) != Expected(path, size))
      wrong.push_back(path);
  }
  for (const auto& [path, size] : deleted) {
    const auto it = listed.find(path);
    if (it == listed.end()) {
      missing.push_back(path);
      continue;
    }
    EXPECT_EQ(WasDeleted(it->second), true) << path;
    EXPECT_EQ(it->second.fileSize, size) << path;
    EXPECT_EQ(it->second.isIntact, 1u) << path;
    if (!Readable(path)) continue;
    const fs::path out = dir_.path() / "deleted" / path;
    if (engine.RecoverRecord(&it->second, out, 0) != 0 || test::ReadFile(out) != Expected(path, size))
      wrong.push_back(path);
  }
  for (const auto& [path, record] : listed)
    if (record.isFolder == 0 && manifest.count(path) == 0 && deleted.count(path) == 0) extra.push_back(path);
  EXPECT_TRUE(missing.empty()) << ::testing::PrintToString(missing);
  EXPECT_TRUE(extra.empty()) << ::testing::PrintToString(extra);
  EXPECT_TRUE(wrong.empty()) << ::testing::PrintToString(wrong);
}

// The free runs ascend inside the volume, add up to no more than the superblock's free count and about it,
// and miss the first data of every file that exists (inline files live in their leaves, which are in use).
TEST_F(BtrfsQuickEngine, FreeRunsMissEveryFileThatExists) {
  CFastBtrfsRecovery engine(appData_.store());
  ASSERT_EQ(engine.Open(ImageVolume(image_, u'B')), 0u);
  ASSERT_EQ(engine.Scan({}), 0);
  ASSERT_EQ(engine.BuildAllocationMap(), 0);
  std::vector<std::pair<uint64_t, uint64_t>> runs;
  uint64_t total = 0;
  for (uint64_t from = 0;;) {
    uint64_t sector = from, length = 0;
    if (engine.NextUnallocatedRun(sector, length) == 0 || length == 0) break;
    ASSERT_GE(sector, from);
    runs.emplace_back(sector, length);
    total += length;
    from = sector + length;
  }
  ASSERT_FALSE(runs.empty());
  EXPECT_LE(runs.back().first + runs.back().second, 128u * 2048);
  const BtrfsSuperblock& s = *engine.Superblock();
  // Metadata is kept twice on one device, and counted once in the superblock's free count.
  EXPECT_GE(total * 512, (s.totalBytes - s.bytesUsed) / 100 * 99);
  EXPECT_LE(total * 512, s.totalBytes);
  for (const auto& [path, r] : Listed(engine)) {
    if (r.isFolder != 0 || !IsExistingFile(r) || r.dataStartSector == 0) continue;
    for (const auto& [sector, length] : runs)
      EXPECT_FALSE(r.dataStartSector >= sector && r.dataStartSector < sector + length) << path;
  }
}

// Both copies of the root tree's block damaged: the trees are found from the newest backup root instead; with
// those damaged too, the leaves of the file trees still name the files (as lost ones). Either way they come
// back under their folders.
TEST_F(BtrfsQuickEngine, FilesComeBackWhenTheRootTreeCannotBeRead) {
  std::vector<std::vector<uint64_t>> roots;  // the copies of each root tree's block, the current one first
  {
    CFastBtrfsRecovery engine(appData_.store());
    ASSERT_EQ(engine.Open(ImageVolume(image_, u'B')), 0u);
    std::vector<uint64_t> logical{engine.Superblock()->root};
    for (const BtrfsBackupRoot& b : engine.Superblock()->backupRoots)
      if (b.treeRoot != logical.front()) logical.push_back(b.treeRoot);
    for (const uint64_t root : logical) {
      const auto place = engine.Chunks().Map(root);
      ASSERT_TRUE(place.has_value());
      ASSERT_EQ(place->copies.size(), 2u);  // metadata kept twice
      roots.push_back(place->copies);
    }
  }
  ASSERT_GE(roots.size(), 2u);
  const std::map<std::string, uint64_t> manifest = Manifest("btrfs.manifest");
  for (const size_t damagedRoots : {size_t{1}, roots.size()}) {
    std::vector<uint8_t> bytes = test::ReadFile(image_);
    for (size_t i = 0; i < damagedRoots; ++i)
      for (const uint64_t at : roots[i]) bytes[at + 200] = static_cast<uint8_t>(~bytes[at + 200]);
    const fs::path damaged = dir_.path() / ("damaged" + std::to_string(damagedRoots) + ".img");
    test::WriteFile(damaged, bytes);
    CFastBtrfsRecovery engine(appData_.store());
    ASSERT_EQ(engine.Open(ImageVolume(damaged, u'B')), 0u);
    ASSERT_EQ(engine.Scan({}), 0);
    std::map<std::string, FoundFileRecord> listed = Listed(engine);
    for (const char* path : {"photos/2026/holiday.jpg", "photos/turns-a.bin", "zlib/big.txt", "readme.txt"}) {
      ASSERT_EQ(listed.count(path), 1u) << damagedRoots << " " << path;
      EXPECT_EQ(IsExistingFile(listed[path]), damagedRoots == 1) << path;
      const fs::path out = dir_.path() / "leaves" / std::to_string(damagedRoots) / path;
      ASSERT_EQ(engine.RecoverRecord(&listed[path], out, 0), 0) << path;
      EXPECT_EQ(test::ReadFile(out), Expected(path, manifest.at(path))) << path;
    }
  }
}

// A file deleted whose extents another file took since: still named, never intact.
TEST(BtrfsDeleted, AFileWhoseExtentsWereTakenSinceIsListedDamaged) {
  test::ScratchScanStore appData;
  test::TempDir dir;
  const fs::path image = dir.path() / "reused.img";
  test::GunzipFixture("btrfs/reused.img.gz", image);
  CFastBtrfsRecovery engine(appData.store());
  ASSERT_EQ(engine.Open(ImageVolume(image, u'B')), 0u);
  ASSERT_EQ(engine.Scan({}), 0);
  std::map<std::string, FoundFileRecord> listed = Listed(engine);
  ASSERT_EQ(listed.count("d/old.bin"), 1u);
  EXPECT_EQ(WasDeleted(listed["d/old.bin"]), true);
  EXPECT_EQ(listed["d/old.bin"].fileSize, 300000u);
  EXPECT_EQ(listed["d/old.bin"].isIntact, 0u);
}

}  // namespace
}  // namespace snapsave
