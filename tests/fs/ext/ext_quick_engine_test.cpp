#include "fs/ext/ext_quick_engine.h"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "os/byte_reader.h"
#include "tests/support/scan_store.h"
#include "tests/support/test_support.h"

namespace snapsave {
namespace {

namespace fs = std::filesystem;

// The free runs of the card, in sectors: every run lies in blocks the group's bitmap leaves free, the runs
// ascend without overlap and end inside the volume.
std::vector<std::pair<uint64_t, uint64_t>> FreeRuns(CFastExtRecovery& engine) {
  std::vector<std::pair<uint64_t, uint64_t>> runs;
  if (engine.BuildAllocationMap() != 0) return runs;
  for (uint64_t from = 0;;) {
    uint64_t sector = from, length = 0;
    if (engine.NextUnallocatedRun(sector, length) == 0 || length == 0) break;
    runs.emplace_back(sector, length);
    from = sector + length;
  }
  return runs;
}

// The card's bitmaps give its free blocks: the blocks of the deleted files are in the runs, the superblock,
// descriptors, bitmaps, inode tables, journal and the live files' blocks are not.
TEST(ExtAllocationMap, FreeRunsAreTheBlocksTheBitmapsLeaveFree) {
  test::ScratchScanStore appData;
  test::TempDir dir;
  const fs::path image = dir.path() / "card.img";
  test::GunzipFixture("ext/card.img.gz", image);
  CFastExtRecovery engine(appData.store());
  ASSERT_EQ(engine.Open(ImageVolume(image, u'E')), 0u);
  ASSERT_TRUE(engine.Geometry().has_value());
  EXPECT_EQ(engine.Geometry()->blockSize, 4096u);
  EXPECT_EQ(engine.Geometry()->blocksCount, 4096u);
  const auto runs = FreeRuns(engine);
  ASSERT_FALSE(runs.empty());
  uint64_t free = 0, end = 0;
  for (const auto& [sector, length] : runs) {
    EXPECT_GE(sector, end);
    EXPECT_EQ(sector % 8, 0u);
    end = sector + length;
    free += length;
  }
  EXPECT_LE(end, 32768u);
  auto isFree = [&](uint64_t sector) {
    for (const auto& [s, l] : runs)
      if (sector >= s && sector < s + l) return true;
    return false;
  };
  EXPECT_FALSE(isFree(0));
  EXPECT_FALSE(isFree(8));  // the descriptor table
  // Where the whole-volume carve finds the files (fixed by the committed image): deleted, then live.
  for (uint64_t sector : {10352u, 10384u, 10400u}) EXPECT_TRUE(isFree(sector)) << sector;
  for (uint64_t sector : {10376u, 10392u, 10432u, 14448u}) EXPECT_FALSE(isFree(sector)) << sector;
  EXPECT_GT(free, 20000u);  // most of a nearly empty 16 MiB card
}

// A crafted superblock or descriptor never gives a map that skips free blocks it cannot vouch for: groups
// larger than a bitmap, an impossible descriptor size or a table past the volume leave the whole volume to
// the carver; a bitmap block past the end counts as free.
TEST(ExtAllocationMap, CraftedGeometryFallsBackToTheWholeVolume) {
  test::ScratchScanStore appData;
  test::TempDir dir;
  const fs::path image = dir.path() / "card.img";
  test::GunzipFixture("ext/card.img.gz", image);
  const std::vector<uint8_t> original = test::ReadFile(image);
  ASSERT_TRUE(ParseExtSuperblock(std::span(original).subspan(1024, 1024)).has_value());
  auto patched = [&](size_t offset, std::vector<uint8_t> bytes) {
    std::vector<uint8_t> b = original;
    std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<ptrdiff_t>(offset));
    test::WriteFile(image, b);
    CFastExtRecovery engine(appData.store());
    EXPECT_EQ(engine.Open(ImageVolume(image, u'E')), 0u);
    return FreeRuns(engine);
  };
  const uint16_t descriptorSize = Le16(std::span(original), 1024 + 0xFE);
  EXPECT_TRUE(patched(1024 + 0xFE, {48, 0}).empty()) << "descriptor size " << descriptorSize;
  EXPECT_TRUE(patched(1024 + 32, {0, 0, 1, 0}).empty());     // 65536 blocks per group, 32768 bits
  EXPECT_TRUE(patched(1024 + 0x150, {0, 0, 0, 1}).empty());  // 2^56 blocks: a table far past the volume
  // The card's one group with its bitmap pointing past the volume: the group counts as free end to end.
  const auto runs = patched(4096, {0xFF, 0xFF, 0xFF, 0x7F});
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs.front(), std::make_pair(uint64_t{0}, uint64_t{32768}));
}

}  // namespace
}  // namespace snapsave

namespace snapsave {
namespace {

// A fixture image in a scratch folder, the quick engine's scan of it, and what it recovers.
class ExtQuickScan : public ::testing::Test {
 protected:
  std::vector<uint8_t> Load(const std::string& fixture) {
    image_ = dir_.path() / (fixture + ".img");
    test::GunzipFixture("ext/" + fixture + ".img.gz", image_);
    return test::ReadFile(image_);
  }
  // The image (written anew from `bytes` when given) scanned, and the files of the types listed.
  RecordList Scan(std::string_view types, const std::vector<uint8_t>* bytes = nullptr) {
    if (bytes != nullptr) test::WriteFile(image_, *bytes);
    engine_ = std::make_unique<CFastExtRecovery>(appData_.store());
    RecordList all;
    if (engine_->Open(ImageVolume(image_, u'E')) == 0u && engine_->Scan({}) == 0)
      engine_->SearchByType(types, all);
    std::erase_if(all, [](const FoundFileRecord& r) { return IsExistingFile(r); });
    return all;
  }
  // The record recovered into the scratch folder, as text; "" when recovery fails.
  std::string Recover(const FoundFileRecord& r) {
    const fs::path out = dir_.path() / "out" / r.Name();
    fs::create_directories(out.parent_path());
    if (engine_->RecoverRecord(&r, out, 0) != 0) return {};
    const std::vector<uint8_t> bytes = test::ReadFile(out);
    return {bytes.begin(), bytes.end()};
  }
  static const FoundFileRecord* Named(const RecordList& all, std::string_view name) {
    const auto it =
        std::find_if(all.begin(), all.end(), [&](const FoundFileRecord& r) { return r.Name() == name; });
    return it == all.end() ? nullptr : &*it;
  }

  test::ScratchScanStore appData_;
  test::TempDir dir_;
  fs::path image_;
  std::unique_ptr<CFastExtRecovery> engine_;
};

// A deleted file whose name is gone from the journal too (its entry cleared in every copy of its folder
// block) still comes back, by its inode number, in "LostFolders", typed by its first block; a name the
// journal keeps is listed under it, not again as lost.
TEST_F(ExtQuickScan, AFileWithoutANameComesBackByItsInodeNumber) {
  std::vector<uint8_t> bytes = Load("card");
  const std::string lostName = "MVI_0003.mp4";
  size_t cleared = 0;
  // The entry goes whole in every copy: its inode number (eight bytes before the name) with its name.
  for (auto it = bytes.begin();
       (it = std::search(it, bytes.end(), lostName.begin(), lostName.end())) != bytes.end();) {
    std::fill_n(it - 8, lostName.size() + 8, uint8_t{0});
    ++cleared;
  }
  ASSERT_GE(cleared, 1u);
  const RecordList all = Scan("jpg;pdf;mp4", &bytes);
  EXPECT_EQ(std::count_if(all.begin(), all.end(),
                          [](const FoundFileRecord& r) { return r.Name() == "letter.pdf"; }),
            1);
  RecordList root;
  ASSERT_EQ(engine_->ListFolder(nullptr, 0, root), 0u);
  const FoundFileRecord* lost = Named(root, "LostFolders");
  ASSERT_NE(lost, nullptr);
  RecordList inside;
  ASSERT_EQ(engine_->ListFolder(lost, 1, inside), 0u);
  ASSERT_EQ(inside.size(), 1u);
  EXPECT_EQ(inside[0].Name(), "17.mp4");
  EXPECT_EQ(inside[0].isIntact, 1u);
  test::GunzipFixture("carve/media/movie.mp4.gz", dir_.path() / "movie.mp4");
  const std::vector<uint8_t> movie = test::ReadFile(dir_.path() / "movie.mp4");
  EXPECT_TRUE(Recover(inside[0]) == std::string(movie.begin(), movie.end()));
}

// Inline data: deleted files whose bytes are in their inodes come back whole, by name, from an inline folder
// and from one that has grown out of its inode since (the name only in the journal's copies of the inode);
// a deleted file whose block the grown folder took is listed, not as intact.
TEST_F(ExtQuickScan, InlineFilesAndFoldersComeBackByName) {
  Load("inline");
  const RecordList all = Scan("txt");
  std::string lines;
  for (int n = 0; n < 400; ++n) lines += fmt::format("line {}\n", n);
  const std::map<std::string, std::string> inlined = {
      {"a.txt", "short note\n"}, {"b.txt", std::string(100, 'x') + "\n"}, {"first.txt", "first\n"}};
  std::map<std::string, std::string> got;
  for (const FoundFileRecord& r : all) {
    if (r.Name() != "d.txt") {
      got[std::string(r.Name())] = Recover(r);
      continue;
    }
    EXPECT_EQ(r.isIntact, 0u);
    EXPECT_EQ(r.fileSize, lines.size());
  }
  EXPECT_EQ(all.size(), 4u);
  EXPECT_EQ(got, inlined);
}

// A file emptied and written again elsewhere, then deleted: the journal holds its inode for each version. The
// newest is given back; once another file holds the newest version's blocks, the older version, still whole,
// is given back instead.
TEST_F(ExtQuickScan, AnOlderVersionWhoseBlocksAreFreeIsPreferred) {
  std::vector<uint8_t> bytes = Load("rewritten");
  std::string newer, older;
  for (int i = 0; i < 500; ++i) {
    newer += "new version\n";
    older += "old version\n";
  }
  RecordList all = Scan("txt");
  ASSERT_EQ(all.size(), 1u);
  EXPECT_TRUE(Recover(all[0]) == newer);
  // The block taken in the group's bitmap (one group: descriptors in block 2, 1 KiB blocks from block 1).
  const uint64_t block = all[0].dataStartSector / 2;
  const auto geometry = ParseExtSuperblock(std::span(bytes).subspan(1024, 1024));
  ASSERT_TRUE(geometry.has_value());
  const auto groups = ParseExtGroupDescriptors(std::span(bytes).subspan(2048, 1024), *geometry);
  ASSERT_EQ(groups.size(), 1u);
  bytes[groups[0].blockBitmap * 1024 + (block - 1) / 8] |= static_cast<uint8_t>(1u << ((block - 1) % 8));
  all = Scan("txt", &bytes);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].isIntact, 1u);
  EXPECT_TRUE(Recover(all[0]) == older);
}

// A journal copy of an inode altered after it was written fails its checksum and is passed over; one crafted
// with its checksum to claim terabytes is recovered to its last mapped block, not terabytes of zeros.
TEST_F(ExtQuickScan, ACraftedInodeCopyFailsItsChecksumOrEndsAtTheLastMappedBlock) {
  std::vector<uint8_t> bytes = Load("card");
  RecordList all = Scan("jpg");
  ASSERT_TRUE(engine_->Geometry() && engine_->Geometry()->MetadataChecksums());
  const uint32_t seed = engine_->Geometry()->checksumSeed;
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].entryRef, 15u);
  // Inode 15 is the 15th of its group's table: 14 x 256 bytes into the block; its size's high half at 0x6C.
  const size_t at = all[0].entryLocation * 4096 + 14 * 256;
  bytes[at + 0x6C + 1] = 0x10;
  EXPECT_TRUE(Scan("jpg", &bytes).empty());
  const uint32_t sum = ExtInodeChecksum(std::span(bytes).subspan(at), 256, 15, seed);
  for (int i = 0; i < 2; ++i) {
    bytes[at + 0x7C + static_cast<size_t>(i)] = static_cast<uint8_t>(sum >> (8 * i));
    bytes[at + 0x82 + static_cast<size_t>(i)] = static_cast<uint8_t>(sum >> (16 + 8 * i));
  }
  all = Scan("jpg", &bytes);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].fileSize, 3u * 4096);
  EXPECT_EQ(Recover(all[0]).size(), 3u * 4096);
}

// A deleted file with an extent tree of its own: with its freed leaf block overwritten on the volume, the
// journal's copy of the leaf, as of the transaction of the inode copy, still maps it.
TEST_F(ExtQuickScan, AnOverwrittenExtentLeafIsReadFromTheJournal) {
  std::vector<uint8_t> bytes = Load("fragmented");
  constexpr size_t kLeafBlock = 1353;  // of the committed image (make-fragmented.sh prints it)
  ASSERT_EQ(Le16(std::span(bytes), kLeafBlock * 1024), 0xF30A);
  std::fill_n(bytes.begin() + static_cast<ptrdiff_t>(kLeafBlock * 1024), 1024, uint8_t{0});
  std::string expected;
  for (int i = 0; i < 9000; ++i) expected += fmt::format("big line {:06}\n", i);
  const RecordList all = Scan("txt", &bytes);
  const FoundFileRecord* big = Named(all, "big.txt");
  ASSERT_NE(big, nullptr);
  EXPECT_TRUE(Recover(*big) == expected);
}

}  // namespace
}  // namespace snapsave
