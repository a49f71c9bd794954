// Whole scenarios, each once: a fixture scanned as the front ends scan it, everything found recovered, and
// what came back compared with what was there.
#include "tests/support/scenario.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "os/paths.h"
#include "tests/support/test_support.h"

namespace snapsave {
namespace {

namespace fs = std::filesystem;
using test::Crc;
using test::FixtureRows;
using test::ScanAndRecover;

class ScenarioTest : public ::testing::Test {
 protected:
  fs::path Unpack(const std::string& fixture) {
    const fs::path image = dir_.path() / fs::path(fixture).filename().replace_extension();
    test::GunzipFixture(fixture, image);
    return image;
  }
  uint32_t MediaCrc(const std::string& name) {
    test::GunzipFixture("carve/media/" + name + ".gz", dir_.path() / name);
    return Crc(test::ReadFile(dir_.path() / name));
  }
  fs::path Out(const std::string& name) const { return dir_.path() / name; }

  test::TempDir dir_;
};

// FAT volumes: the quick scan lists the deleted files The Sleuth Kit lists (name, folder and size; a lost
// first letter guessed or marked where fls marks it), and the deleted photos of the cards whose clusters skip
// the live files written between them come back byte for byte.
TEST_F(ScenarioTest, FatVolumesListAsSleuthKitAndFragmentedPhotosComeBack) {
  for (const std::string name : {"fat12", "fat16", "fat32", "holes16", "holes32"}) {
    SCOPED_TRACE(name);
    const test::Scenario found = ScanAndRecover(Unpack("fat/" + name + ".img.gz"), false, Out(name));
    ASSERT_EQ(found.scanned, 0);
    // Names as fls shows them, case included; only its "_" for a lost first letter differs.
    auto key = [](std::string path) {
      const size_t first = path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1;
      if (path[first] == '!') path[first] = '_';
      return path;
    };
    std::map<std::string, uint64_t> ours, theirs;
    for (const auto& [path, r] : found.files) {
      std::string name2 = path;
      if ((r.isDeleted & kDeletedNameGuessed) != 0) name2[name2.rfind('/') + 1] = '_';
      // Files of the folder deleted with its files still live are ours alone: fls does not open it.
      if (!path.starts_with("Holiday Trip/")) ours[key(name2)] = r.fileSize;
    }
    for (const test::FlsFile& f : test::StoredFls("fat/" + name + ".fls")) theirs[key(f.path)] = f.size;
    EXPECT_EQ(ours, theirs);
    std::map<std::string, std::string> expected{{"Old Stuff/!ld2.jpg", "old2.jpg"},
                                                {"Holiday Trip/frag.bin", "frag.bin"}};
    if (name.starts_with("holes")) {
      expected.clear();
      for (int i = 101; i <= 108; ++i)
        expected["DCIM/!MG_" + std::to_string(i) + ".JPG"] = "holes/IMG_" + std::to_string(i) + ".JPG";
    }
    for (const auto& [path, original] : expected)
      EXPECT_EQ(found.recovered.at(path), Crc(test::ReadFile(test::Fixture("fat/originals/" + original))))
          << path;
  }
}

// A camera card quick-formatted after its photos were taken: the deep scan finds the old folders' entry sets
// in the new volume's free space and brings every file back named, in its folder, byte for byte (the old
// root was overwritten, so its folders come back as lost folders); no carved copy repeats them. Without its
// boot regions (zeroed as by a partitioning tool) the geometry is inferred and the result is the same.
TEST_F(ScenarioTest, AQuickFormattedExfatCardComesBackNamedWithOrWithoutItsBootRegion) {
  for (const bool zeroed : {false, true}) {
    SCOPED_TRACE(zeroed);
    const fs::path image = Unpack("exfat/formatted.img.gz");
    if (zeroed) {
      std::vector<uint8_t> bytes = test::ReadFile(image);
      std::fill(bytes.begin(), bytes.begin() + 24 * 512, 0);
      test::WriteFile(image, bytes);
    }
    const fs::path out = Out(zeroed ? "zeroed" : "kept");
    const test::Scenario found = ScanAndRecover(image, true, out);
    ASSERT_EQ(found.scanned, 0);
    std::map<std::string, std::string> below;  // path below its lost folder -> SHA-256
    for (const auto& [path, crc] : found.recovered)
      if (path.starts_with("LostFolder")) below[path.substr(path.find('/') + 1)] = test::Sha256Of(out / path);
    std::map<std::string, std::string> expected;
    for (const auto& m : FixtureRows("exfat/formatted.manifest"))
      expected[m[0].substr(m[0].find('/') + 1)] = m[2];
    EXPECT_EQ(below, expected);
    EXPECT_EQ(found.recovered.size(), 7u) << "nothing else, nothing twice";
  }
}

// NTFS: every deleted file of the manifest is listed in its folder (the orphan under the folder made up for
// its lost parent) with its size; the quick scan's recovery rebuilds that tree byte for byte, and the deep
// scan's lists each once (no carved copy beside it).
TEST_F(ScenarioTest, AnNtfsVolumesDeletedFilesComeBackOnceFromEitherScan) {
  const fs::path image = Unpack("ntfs/ntfs_small.img.gz");
  std::map<std::string, uint32_t> expected;
  for (const auto& m : FixtureRows("ntfs/ntfs_small.manifest")) expected[m[0]] = test::CrcField(m[2]);
  ASSERT_FALSE(expected.empty());
  const test::Scenario quick = ScanAndRecover(image, false, Out("quick"));
  ASSERT_EQ(quick.scanned, 0);
  std::map<std::string, uint32_t> recovered;
  for (const auto& [path, crc] : quick.recovered)
    recovered[path.starts_with("LostFolder") ? "reused" + path.substr(path.find('/')) : path] = crc;
  EXPECT_EQ(recovered, expected);
  const test::Scenario deep = ScanAndRecover(image, true, Out("deep"));
  ASSERT_EQ(deep.scanned, 0);
  std::map<uint32_t, int> byContent;
  for (const auto& [path, crc] : deep.recovered) ++byContent[crc];
  // The many small text files share no contents, so each CRC names one file.
  for (const auto& [path, crc] : expected) EXPECT_EQ(byContent[crc], 1) << path;
}

// ext4 and ext3 cards whose kernel cleared the deleted entries and block maps: the quick scan finds the names
// in the journal's copies of the folders and the inodes in its copies of the inode table (one of them reused
// by a file written later), and recovers each deleted file byte for byte under its own name and folder. The
// deep scan of ext4 and ext2 cards carves only the blocks the bitmaps leave free: the deleted files come back
// once (named, where the quick scan found them) and no copy of a live file is carved beside them.
TEST_F(ScenarioTest, ExtCardsComeBackThroughTheJournalAndFromTheirFreeBlocks) {
  const std::map<std::string, std::string> sources = {
      {"IMG_0001.jpg", "photo.jpg"}, {"MVI_0003.mp4", "movie.mp4"}, {"letter.pdf", "letter.pdf"}};
  for (const std::string card : {"card", "card-ext3"}) {
    SCOPED_TRACE(card);
    std::map<std::string, uint32_t> expected;
    for (const auto& line : FixtureRows("ext/" + card + ".manifest")) {
      std::istringstream fields(line[0]);
      std::string path, size, state;
      fields >> path >> size >> state;
      if (state == "deleted") expected[path] = MediaCrc(sources.at(fs::path(path).filename().string()));
    }
    ASSERT_EQ(expected.size(), 3u);
    const test::Scenario found = ScanAndRecover(Unpack("ext/" + card + ".img.gz"), false, Out(card));
    ASSERT_EQ(found.scanned, 0);
    EXPECT_EQ(found.recovered, expected);
  }
  std::multiset<uint32_t> deleted;
  for (const char* name : {"photo.jpg", "movie.mp4", "letter.pdf"}) deleted.insert(MediaCrc(name));
  for (const std::string card : {"card", "card-ext2"}) {
    SCOPED_TRACE(card);
    const test::Scenario found = ScanAndRecover(Unpack("ext/" + card + ".img.gz"), true, Out(card + "-deep"));
    ASSERT_EQ(found.scanned, 0);
    std::multiset<uint32_t> carved;
    for (const auto& [path, crc] : found.recovered) carved.insert(crc);
    EXPECT_EQ(carved, deleted);
  }
}

// Deleted names left in the slack of the entries before them (as older drivers and e2fsprogs leave them): the
// quick scan lists the deleted files The Sleuth Kit's `fls -r -d -p` lists, path for path (slack.fls, made
// with the image), and recovers them through the maps their inodes kept.
TEST_F(ScenarioTest, AnExtVolumesSlackNamesAreListedAsFlsListsThem) {
  const fs::path out = Out("out");
  const test::Scenario found = ScanAndRecover(Unpack("ext/slack.img.gz"), false, out);
  ASSERT_EQ(found.scanned, 0);
  std::set<std::string> listed, fls;
  for (const auto& [path, r] : found.files) listed.insert(path);
  for (const test::FlsFile& f : test::StoredFls("ext/slack.fls")) fls.insert(f.path);
  ASSERT_EQ(fls.size(), 7u);
  EXPECT_EQ(listed, fls);
  std::string big2;
  for (int n = 0; n < 4000; ++n) big2 += "big 2 line " + std::to_string(n) + "\n";
  EXPECT_EQ(found.recovered.at("c/big2.txt"),
            Crc(std::span(reinterpret_cast<const uint8_t*>(big2.data()), big2.size())));
  const std::vector<uint8_t> small = test::ReadFile(out / "a" / "f3.txt");
  EXPECT_EQ(std::string(small.begin(), small.end()), "file 3\n");
}

// The deep scan of a FAT32 card with deleted files lists the quick engine's finds once each in their folders,
// lists no carved copy of one of them, and recovers each file once, byte for byte, carved files in category
// folders.
TEST_F(ScenarioTest, AFatCardsDeepScanListsEachDeletedFileOnce) {
  const fs::path image = Unpack("fat/fat32.img.gz");
  const test::Scenario quick = ScanAndRecover(image, false);
  const test::Scenario deep = ScanAndRecover(image, true, Out("out"));
  ASSERT_EQ(deep.scanned, 0);
  for (const auto& [path, r] : quick.files) EXPECT_EQ(deep.files.count(path), 1u) << path;
  const auto& files = deep.recovered;
  EXPECT_EQ(files.at("Holiday Trip/frag.bin"), Crc(test::ReadFile(test::Fixture("fat/originals/frag.bin"))));
  EXPECT_EQ(files.at("Old Stuff/!ld2.jpg"), Crc(test::ReadFile(test::Fixture("fat/originals/old2.jpg"))));
  std::multiset<uint32_t> fromFileSystem;
  for (const auto& [path, crc] : files) {
    const std::string top = path.substr(0, path.find('/'));
    if (top != "photo" && top != "video" && top != "audio" && top != "document" && top != "archive" &&
        top != "others")
      fromFileSystem.insert(crc);
  }
  for (const auto& [path, crc] : files) {
    if (path.starts_with("photo/") || path.starts_with("document/")) {
      EXPECT_EQ(fromFileSystem.count(crc), 0u) << path;
    }
  }
}

// Formatted FAT media: a quick-formatted camera card's old folders and files come back from the deep engines
// alone, each once, byte for byte; of a formatted stick of documents, what lay in its old folders comes back
// under its own name in a lost folder and what lay in the overwritten root comes back carved into its
// category's folder, all byte for byte, once.
TEST_F(ScenarioTest, FormattedFatMediaComeBackOnce) {
  const test::Scenario card = ScanAndRecover(Unpack("fat/card-formatted.img.gz"), true, Out("card"));
  ASSERT_EQ(card.scanned, 0);
  std::map<std::string, uint32_t> byName;
  for (const auto& [path, crc] : card.recovered) byName[path.substr(path.rfind('/') + 1)] = crc;
  EXPECT_EQ(byName.size(), card.recovered.size()) << "no name twice";
  for (const auto& m : FixtureRows("fat/card-formatted.manifest")) {
    std::string name = m[0].substr(m[0].rfind('/') + 1);
    // A deleted photo gets its first letter back from its siblings; "plan.txt" has none to give it.
    if (m[3] == "deleted" && m[0] != "DCIM/100CAM/IMG_0005.JPG") name[0] = '!';
    ASSERT_EQ(byName.count(name), 1u) << m[0];
    EXPECT_EQ(byName.at(name), test::CrcField(m[2])) << m[0];
  }
  EXPECT_EQ(card.recovered.size(), 56u) << "nothing else";

  const test::Scenario stick = ScanAndRecover(Unpack("fat/stick-formatted.img.gz"), true, Out("stick"));
  ASSERT_EQ(stick.scanned, 0);
  size_t checked = 0;
  for (const auto& m : FixtureRows("fat/stick-formatted.manifest")) {
    const std::string& path = m[0];
    const uint32_t crc = test::CrcField(m[2]);
    const bool found = std::any_of(stick.recovered.begin(), stick.recovered.end(), [&](const auto& file) {
      const std::string& rel = file.first;
      if (path.find('/') == std::string::npos)  // a document from the root: carved, named by its type
        return rel.starts_with("document/") && rel.ends_with(path.substr(path.rfind('.'))) &&
               file.second == crc;
      // Its top folder's name was in the root.
      return rel.starts_with("LostFolder") &&
             rel.substr(rel.find('/') + 1) == path.substr(path.find('/') + 1) && file.second == crc;
    });
    EXPECT_TRUE(found) << path;
    ++checked;
  }
  EXPECT_EQ(checked, 11u);
  EXPECT_EQ(stick.recovered.size(), checked) << "nothing else, nothing twice";
}

// A volume in a container (the reading of each format is the storage layer's to show): both scans list and
// recover what they do from the raw image.
TEST_F(ScenarioTest, ContainerImagesScanLikeTheRawVolume) {
#ifndef SNAPSAVE_HAVE_LIBYAL
  GTEST_SKIP() << "built without the libyal readers";
#endif
  const fs::path raw = Unpack("fat/holes16.img.gz");
  const fs::path vhd = Unpack("images/holes16.vhd.gz");
  for (const bool deep : {false, true}) {
    SCOPED_TRACE(deep);
    const test::Scenario plain = ScanAndRecover(raw, deep, Out(deep ? "deep-raw" : "raw"));
    ASSERT_GE(plain.files.size(), 20u);  // eight photos and twelve other deleted files
    const test::Scenario found = ScanAndRecover(vhd, deep, Out(deep ? "deep-vhd" : "vhd"));
    ASSERT_EQ(found.scanned, 0);
    EXPECT_EQ(found.recovered, plain.recovered);
  }
}

// Names crafted to climb out ("..", absolute paths, separators in a name) are recovered inside the folder.
TEST_F(ScenarioTest, CraftedNamesStayInsideTheDestination) {
  const fs::path out = dir_.path() / "a" / "b" / "out";
  const test::Scenario found = ScanAndRecover(Unpack("fat/traversal.img.gz"), false, out);
  ASSERT_EQ(found.scanned, 0);
  size_t files = 0;
  for (const auto& e : fs::recursive_directory_iterator(dir_.path())) {
    // Not is_regular_file: Wine cannot stat the name "_.." it listed.
    if (e.is_directory() || e.path().extension() == ".img") continue;
    EXPECT_TRUE(os::IsStrictlyInside(e.path(), out)) << e.path();
    ++files;
  }
  EXPECT_EQ(files, 4u);
  EXPECT_FALSE(fs::exists("/tmp/escape2.txt"));
}

}  // namespace
}  // namespace snapsave
