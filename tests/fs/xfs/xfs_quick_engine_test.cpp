// The XFS volume the kernel wrote (tests/fixtures/xfs/make-xfs.sh): every file it lists comes back by path
// and byte for byte, through folders of every form and a fragmented file's B-tree; the free runs are what the
// free-space B-trees hold; damaged folder blocks end their walk.
#include "fs/xfs/xfs_quick_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/scan_store.h"
#include "tests/support/test_support.h"

namespace snapsave {
namespace {

namespace fs = std::filesystem;

// Each 512 bytes of a fixture file start with its name and their number.
std::vector<uint8_t> Stamped(const std::string& name, size_t size) {
  std::string out;
  for (size_t s = 0; out.size() < size; ++s) {
    const std::string line = name + " sector " + std::to_string(s) + "\n";
    out += line + std::string(511 - line.size(), '.') + "\n";
  }
  out.resize(size);
  return {out.begin(), out.end()};
}

// "path size" lines: xfs.manifest (what the kernel lists), xfs.deleted (what was deleted after the log took
// it).
std::map<std::string, uint64_t> Manifest(const char* name = "xfs.manifest") {
  std::map<std::string, uint64_t> files;
  std::ifstream in(fs::path(SNAPSAVE_FIXTURES_DIR) / "xfs" / name);
  for (std::string line; std::getline(in, line);) {
    const size_t space = line.rfind(' ');
    files[line.substr(0, space)] = std::stoull(line.substr(space + 1));
  }
  return files;
}

class XfsQuickEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = dir_.path() / "xfs.img";
    test::GunzipFixture("xfs/xfs.img.gz", image_);
    ASSERT_EQ(engine_.Open(ImageVolume(image_, u'X')), 0u);
    ASSERT_TRUE(engine_.Geometry().has_value());
  }
  test::ScratchScanStore appData_;
  test::TempDir dir_;
  fs::path image_;
  CFastXfsRecovery engine_{appData_.store()};
};

// Every file the kernel lists, as it exists; every file deleted after the log took it, by its name in its
// folder (kept in the inode, one block, leaf and node folders alike, a deleted folder, and a folder gone back
// into its inode since), as deleted, read through the log's copy of its inode.
TEST_F(XfsQuickEngine, EveryFileTheKernelListsAndTheLogNamesComesBackByPathAndByteForByte) {
  EXPECT_EQ(engine_.Geometry()->label, "SNAPXFS");
  ASSERT_EQ(engine_.Scan({}), 0);
  RecordList all;
  engine_.SearchByType(kAllTypes, all);
  const std::map<std::string, uint64_t> manifest = Manifest();
  ASSERT_EQ(manifest.size(), 3445u);
  const std::map<std::string, uint64_t> deleted = Manifest("xfs.deleted");
  ASSERT_EQ(deleted.size(), 19u);
  std::map<std::string, const FoundFileRecord*> listed;
  for (const FoundFileRecord& r : all) {
    std::string path;
    ASSERT_EQ(engine_.GetRecordPath(&r, path), 0u);
    while (!path.empty() && path.front() == '/') path.erase(0, 1);
    while (!path.empty() && path.back() == '/') path.pop_back();
    path = (path.empty() ? "" : path + "/") + std::string(r.Name());
    EXPECT_EQ(IsExistingFile(r), deleted.count(path) == 0) << path;
    listed[path] = &r;
  }
  for (const auto& [path, size] : deleted) {
    ASSERT_EQ(listed.count(path), 1u) << path;
    EXPECT_EQ(WasDeleted(*listed[path]), true) << path;
    EXPECT_EQ(listed[path]->fileSize, size) << path;
    EXPECT_EQ(listed[path]->isIntact, 1u) << path;
    const fs::path out = dir_.path() / "deleted" / fs::path(path).filename();
    ASSERT_EQ(engine_.RecoverRecord(listed[path], out, 0), 0) << path;
    EXPECT_EQ(test::ReadFile(out), Stamped(fs::path(path).filename().string(), size)) << path;
  }
  // The deleted files are gone from their folders; everything else is there with its size.
  std::vector<std::string> missing, extra;
  for (const auto& [path, size] : manifest) {
    const auto it = listed.find(path);
    if (it == listed.end()) {
      missing.push_back(path);
    } else {
      EXPECT_EQ(it->second->fileSize, size) << path;
    }
  }
  for (const auto& [path, record] : listed)
    if (manifest.count(path) == 0 && deleted.count(path) == 0) extra.push_back(path);
  EXPECT_TRUE(missing.empty()) << ::testing::PrintToString(missing);
  EXPECT_TRUE(extra.empty()) << ::testing::PrintToString(extra);
  // One of each: short folder, one-block folder, leaf folder, node folder, a B-tree fork, a file in a
  // folder below another.
  for (const char* path :
       {"short/b.txt", "block/file039.txt", "leaf/entry-with-a-longer-name-0399.dat", "node/n02999",
        "photos/turns-a.bin", "photos/turns-b.bin", "photos/2026/holiday.jpg"}) {
    ASSERT_EQ(listed.count(path), 1u) << path;
    const fs::path out = dir_.path() / "out" / fs::path(path).filename();
    ASSERT_EQ(engine_.RecoverRecord(listed[path], out, 0), 0) << path;
    EXPECT_EQ(test::ReadFile(out), Stamped(fs::path(path).filename().string(), manifest.at(path))) << path;
  }
}

// The free runs ascend inside the volume, add up to about the count the superblock keeps, and miss every
// block an existing file starts in.
TEST_F(XfsQuickEngine, FreeRunsAreWhatTheFreeSpaceTreesHold) {
  ASSERT_EQ(engine_.Scan({}), 0);
  ASSERT_EQ(engine_.BuildAllocationMap(), 0);
  std::vector<std::pair<uint64_t, uint64_t>> runs;
  uint64_t total = 0;
  for (uint64_t from = 0;;) {
    uint64_t sector = from, length = 0;
    if (engine_.NextUnallocatedRun(sector, length) == 0 || length == 0) break;
    ASSERT_GE(sector, from);
    runs.emplace_back(sector, length);
    total += length;
    from = sector + length;
  }
  ASSERT_FALSE(runs.empty());
  EXPECT_LE(runs.back().first + runs.back().second, 64u * 2048);
  // The superblock also counts the few blocks each group keeps on its free list for its own trees.
  const XfsGeometry& g = *engine_.Geometry();
  EXPECT_LE(total * 512, g.freeBlocks * g.blockSize);
  EXPECT_GE(total * 512 + uint64_t{g.agCount} * 8 * g.blockSize, g.freeBlocks * g.blockSize);
  RecordList all;
  engine_.SearchByType(kAllTypes, all);
  for (const FoundFileRecord& r : all) {
    if (r.fileSize <= 60 || !IsExistingFile(r)) continue;  // kept in the inode, or deleted
    for (const auto& [sector, length] : runs)
      EXPECT_FALSE(r.dataStartSector >= sector && r.dataStartSector < sector + length) << r.Name();
  }
}

// A file deleted after the log took it, whose blocks another file took since: still named, never intact.
TEST(XfsDeleted, AFileWhoseBlocksWereTakenSinceIsListedDamaged) {
  test::ScratchScanStore appData;
  test::TempDir dir;
  const fs::path image = dir.path() / "reused.img";
  test::GunzipFixture("xfs/reused.img.gz", image);
  CFastXfsRecovery engine(appData.store());
  ASSERT_EQ(engine.Open(ImageVolume(image, u'X')), 0u);
  ASSERT_EQ(engine.Scan({}), 0);
  RecordList all;
  engine.SearchByType(kAllTypes, all);
  const auto old =
      std::find_if(all.begin(), all.end(), [](const FoundFileRecord& r) { return r.Name() == "old.bin"; });
  ASSERT_NE(old, all.end());
  EXPECT_EQ(WasDeleted(*old), true);
  EXPECT_EQ(old->fileSize, 300000u);
  EXPECT_EQ(old->isIntact, 0u);
}

// A version-4 volume (no checksums, shorter block headers, version-2 inodes): its folder of one block and its
// files come back as written.
TEST(XfsVersion4, FilesComeBackAsWritten) {
  test::ScratchScanStore appData;
  test::TempDir dir;
  const fs::path image = dir.path() / "v4.img";
  test::GunzipFixture("xfs/v4.img.gz", image);
  CFastXfsRecovery engine(appData.store());
  ASSERT_EQ(engine.Open(ImageVolume(image, u'X')), 0u);
  ASSERT_TRUE(engine.Geometry().has_value());
  EXPECT_FALSE(engine.Geometry()->v5);
  ASSERT_EQ(engine.Scan({}), 0);
  RecordList all;
  engine.SearchByType(kAllTypes, all);
  ASSERT_EQ(all.size(), 41u);
  for (const FoundFileRecord& r : all) {
    const std::string name(r.Name());
    std::string expected;
    if (name == "big.bin") {
      for (size_t k = 0; k < 300000; ++k) expected += static_cast<char>((k * 7 + k / 4096) % 251);
    } else {
      const int i = std::stoi(name.substr(1, 2));
      for (int n = 0; n <= i; ++n) expected += "version 4 file " + std::to_string(i) + "\n";
    }
    const fs::path out = dir.path() / "out" / name;
    ASSERT_EQ(engine.RecoverRecord(&r, out, 0), 0) << name;
    EXPECT_EQ(test::ReadFile(out), std::vector<uint8_t>(expected.begin(), expected.end())) << name;
  }
}

// A folder block damaged in the middle: the entries before the damage are read, nothing past it, and an
// entry whose length runs past the block ends the walk too.
TEST(XfsStructures, AFolderBlockEndsWhereItsEntriesStopMakingSense) {
  test::TempDir dir;
  const fs::path image = dir.path() / "xfs.img";
  test::GunzipFixture("xfs/xfs.img.gz", image);
  const std::vector<uint8_t> disk = test::ReadFile(image);
  const std::optional<XfsGeometry> g = ParseXfsSuperblock(ByteSpan(disk).first(512));
  ASSERT_TRUE(g.has_value());
  // The one-block folder "block": the first block holding its magic and the name of its first file.
  std::vector<uint8_t> block;
  for (size_t at = 0; at + g->blockSize <= disk.size(); at += g->blockSize) {
    const ByteSpan b = ByteSpan(disk).subspan(at, g->blockSize);
    if (Be32(b, 0) != 0x58444233) continue;
    const std::vector<XfsDirEntry> entries = ParseXfsDirBlock(b, *g);
    if (entries.size() == 41 && entries.back().name == "file039.txt") block.assign(b.begin(), b.end());
  }
  ASSERT_EQ(block.size(), g->blockSize);
  // Entry 10's tag no longer names it.
  auto entryBytes = [&](size_t at) { return (size_t{8} + 1 + block[at + 8] + 1 + 2 + 7) / 8 * 8; };
  size_t at = 64;
  for (int i = 0; i < 10; ++i) {
    while (Be16(block, at) == 0xffff) at += Be16(block, at + 2);
    at += entryBytes(at);
  }
  while (Be16(block, at) == 0xffff) at += Be16(block, at + 2);
  const size_t size = entryBytes(at);
  std::vector<uint8_t> bad = block;
  bad[at + size - 1] ^= 0x40;
  EXPECT_EQ(ParseXfsDirBlock(bad, *g).size(), 10u);
  bad = block;
  bad[at + 8] = 255;  // a name longer than the rest of the block
  EXPECT_EQ(ParseXfsDirBlock(bad, *g).size(), 10u);
}

}  // namespace
}  // namespace snapsave
