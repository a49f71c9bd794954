#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "catalog/recovery_output.h"
#include "fs/fat/fat_dir_entry.h"
#include "fs/fat/fat_quick_engine.h"
#include "os/byte_reader.h"
#include "os/error.h"
#include "os/paths.h"
#include "tests/support/found_tree.h"
#include "tests/support/scan_store.h"
#include "tests/support/test_support.h"

namespace snapsave {
namespace {

namespace fs = std::filesystem;

using test::FoundTree;

std::vector<uint8_t> Original(const std::string& name) {
  return test::ReadFile(test::Fixture("fat/originals/" + name));
}

// Found path -> original file, for the deleted files whose clusters nothing reused.
const std::map<std::string, std::string> kIntactDeleted = {
    {"!one.txt", "gone.txt"},
    {"DCIM/IMG_0002.JPG", "img2.jpg"},
    {"DCIM/Sub Folder With Long Name/Photo-13c.txt", "long13.txt"},
    {"DCIM/Sub Folder With Long Name/twenty-six-characters!.txt", "long26.txt"},
    {"DCIM/Sub Folder With Long Name/"
     "a-very-long-file-name-that-goes-on-and-on-for-well-over-one-hundred-characters-to-test-collection.txt",
     "long100.txt"},
    {"DCIM/Sub Folder With Long Name/\xc3\x9cn\xc3\xaf"
     "c\xc3\xb6"
     "d\xc3\xa9 \xd1\x84\xd0\xbe\xd1\x82\xd0\xbe.jpg",
     "unicode.jpg"},
    {"Holiday Trip/beach.jpg", "beach.jpg"},
    {"Holiday Trip/notes.txt", "notes.txt"},
    {"Holiday Trip/a.bin", "a.bin"},
    {"Holiday Trip/c.bin", "c.bin"},
    {"Holiday Trip/frag.bin", "frag.bin"},
    {"Old Stuff/!ld1.txt", "old1.txt"},
    {"Old Stuff/!ld2.jpg", "old2.jpg"},
};

// Deleted 8.3 names get their lost first letter from the siblings of their pattern ("DSC_0002.JPG" for
// "?SC_0003.JPG", "MUSIC001.MID" for "?USIC002.MID"), and recover byte for byte under it; a name no sibling
// explains ("?EADME.TXT") or that siblings explain two ways ("?BC_0003.TXT" beside ABC_0001 and XBC_0002)
// keeps its mark.
TEST(FatNames, DeletedShortNamesTakeTheirSiblingsFirstLetter) {
  test::ScratchScanStore appData;
  test::TempDir dir;
  const fs::path image = dir.path() / "names.img";
  test::GunzipFixture("fat/names.img.gz", image);
  CFastFatRecovery engine(appData.store());
  ASSERT_EQ(engine.Open(ImageVolume(image, u'E')), 0u);
  ASSERT_EQ(engine.Scan({}), 0);
  auto tree = FoundTree(engine);
  size_t guessed = 0;
  for (const test::ManifestFile& m : test::ReadManifest("fat/names.manifest")) {
    if (!m.deleted || m.path.find('/') == std::string::npos) continue;
    // Short names come back in the capitals the card shows, the guessed first letter too.
    const std::string& found = m.path;
    ASSERT_EQ(tree.count(found), 1u) << found;
    EXPECT_EQ(tree[found].isDeleted, kDeletedNameGuessed) << found;
    const fs::path out = dir.path() / "out" / fs::path(found).filename();
    ASSERT_EQ(engine.RecoverRecord(&tree[found], out, 0), 0) << found;
    const std::vector<uint8_t> data = test::ReadFile(out);
    EXPECT_EQ(test::Crc(data), m.crc) << found;
    ++guessed;
  }
  EXPECT_EQ(guessed, 7u);
  for (const char* unexplained : {"!EADME.TXT", "!BC_0003.TXT"}) {
    ASSERT_EQ(tree.count(unexplained), 1u) << unexplained;
    EXPECT_EQ(tree[unexplained].isDeleted, 0u) << unexplained;
  }
}

class FatImage : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    image_ = dir_.path() / "v.img";
    test::GunzipFixture("fat/" + GetParam() + ".img.gz", image_);
  }
  void Scan() {
    ASSERT_EQ(engine_.Open(ImageVolume(image_, u'E')), 0u);
    ASSERT_EQ(engine_.Scan({}), 0);
  }
  test::ScratchScanStore appData_;
  test::TempDir dir_;
  fs::path image_;
  CFastFatRecovery engine_{appData_.store()};
};

TEST_P(FatImage, ListsDeletedFilesAndRecoversThemByteForByte) {
  Scan();
  auto tree = FoundTree(engine_);
  // Live files of live folders are listed marked as existing, which the front ends show only when asked;
  // the re-created file's old entry is listed as deleted.
  EXPECT_EQ(tree.count("readme.txt"), 0u);
  const auto all = FoundTree(engine_, nullptr, true);
  EXPECT_TRUE(IsExistingFile(all.at("readme.txt")));
  EXPECT_TRUE(IsExistingFile(all.at("DCIM/IMG_0001.JPG")));
  // Its short name's lost first letter comes from the live "AGAIN.TXT" beside it, and says so.
  ASSERT_EQ(tree.count("AGAIN.TXT"), 1u);
  EXPECT_EQ(tree["AGAIN.TXT"].isDeleted, kDeletedNameGuessed);
  // "GONE.TXT" has no sibling of its pattern: its placeholder stays (on FAT32 a later file took its entry).
  EXPECT_EQ(tree.count("!one.txt"), GetParam() == "fat32" ? 0u : 1u);
  for (const auto& [path, original] : kIntactDeleted) {
    // On FAT32 the later files took the entries of these two.
    if (GetParam() == "fat32" && (path == "!one.txt" || path == "DCIM/IMG_0002.JPG")) continue;
    auto it = tree.find(path);
    ASSERT_NE(it, tree.end()) << path;
    EXPECT_EQ(it->second.fileSize, Original(original).size()) << path;
    const fs::path out = dir_.path() / "out" / original;
    ASSERT_EQ(engine_.RecoverRecord(&it->second, out, 0), 0) << path;
    EXPECT_EQ(test::ReadFile(out), Original(original)) << path;
  }
  if (GetParam() == "fat32") {
    // Deleted with its high cluster word cleared: found by probing for the picture's header.
    const FoundFileRecord& high = tree.at("DCIM/!IGHWORD.JPG");
    EXPECT_GT(high.entryRef, 0xFFFFu);
    ASSERT_EQ(engine_.RecoverRecord(&high, dir_.path() / "high.jpg", 0), 0);
    EXPECT_EQ(test::ReadFile(dir_.path() / "high.jpg"), Original("img1.jpg"));
  }
  EXPECT_EQ(tree.at("Holiday Trip").isDeleted, 1u);
  EXPECT_EQ(tree.at("DCIM").isDeleted, 0u);
  uint32_t count = 0;
  ASSERT_EQ(engine_.CountFolderFiles(nullptr, 0, count), 0u);
  EXPECT_GE(count, kIntactDeleted.size() - 1);
}

TEST_P(FatImage, FolderRecoveryBelowACategoryFolderRecreatesTheTree) {
  Scan();
  auto tree = FoundTree(engine_);
  const fs::path destination = dir_.path() / "rec";
  // The recovery writer nests a folder below its category folder: destination/photo/NAME.
  const fs::path target = destination / "photo" / "dcim";
  ASSERT_EQ(engine_.RecoverRecord(&tree.at("DCIM"), target,
                                  static_cast<int32_t>(CountSeparators(destination.string()))),
            0);
  if (GetParam() == "fat32") {
    EXPECT_EQ(test::ReadFile(target / "!IGHWORD.JPG"), Original("img1.jpg"));
  } else {
    EXPECT_EQ(test::ReadFile(target / "IMG_0002.JPG"), Original("img2.jpg"));
  }
  EXPECT_EQ(test::ReadFile(target / "Sub Folder With Long Name" / "Photo-13c.txt"), Original("long13.txt"));
}

TEST_P(FatImage, PreviewWritesPicturesToTheTemporaryFileAndTextToTheBuffer) {
  Scan();
  auto tree = FoundTree(engine_);
  fs::path path;
  uint32_t size = 0;
  std::vector<uint8_t> buffer(100);
  ASSERT_EQ(engine_.ExtractForPreview(&tree.at("Old Stuff/!ld2.jpg"), path, buffer, size, nullptr, nullptr),
            0u);
  EXPECT_EQ(path.filename(), "tmp.jpg");
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(test::ReadFile(path), Original("old2.jpg"));

  path.clear();
  ASSERT_EQ(engine_.ExtractForPreview(&tree.at("Old Stuff/!ld1.txt"), path, buffer, size, nullptr, nullptr),
            0u);
  EXPECT_TRUE(path.empty());
  ASSERT_EQ(size, buffer.size());
  const auto text = Original("old1.txt");
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), text.begin()));
}

INSTANTIATE_TEST_SUITE_P(Images, FatImage, ::testing::Values("fat12", "fat16", "fat32"));

class FatEngine : public ::testing::Test {
 protected:
  std::vector<uint8_t> Load(const std::string& name) {
    test::GunzipFixture("fat/" + name + ".img.gz", dir_.path() / "src.img");
    return test::ReadFile(dir_.path() / "src.img");
  }
  fs::path Save(const std::vector<uint8_t>& bytes) {
    const fs::path p = dir_.path() / ("v" + std::to_string(++n_) + ".img");
    test::WriteFile(p, bytes);
    return p;
  }
  test::ScratchScanStore appData_;
  test::TempDir dir_;
  int n_ = 0;
};

TEST_F(FatEngine, ContractEdges) {
  CFastFatRecovery engine{appData_.store()};
  RecordList out;
  EXPECT_EQ(engine.Scan({}), static_cast<int32_t>(err::kInvalidParameter));  // never opened
  ASSERT_EQ(engine.Open(ImageVolume(Save(Load("fat16")), u'E')), 0u);
  EXPECT_EQ(engine.Open(ImageVolume("/nonexistent", u'E')), 0u);  // already open
  EXPECT_EQ(engine.SetCallbacks([](void*, int32_t, int32_t, int32_t, uint64_t, uint64_t, uint64_t,
                                   uint32_t) { return ScanCancelled; },
                                nullptr, nullptr, 100),
            0);
  EXPECT_EQ(engine.Scan({}), ScanCancelled);
  engine.SetCallbacks(nullptr, nullptr, nullptr, 100);
  ASSERT_EQ(engine.Scan({}), 0);
  EXPECT_EQ(engine.ListFolder(nullptr, 1, out), err::kInvalidParameter);
  EXPECT_EQ(engine.RecoverRecord(nullptr, dir_.path() / "x", 0),
            static_cast<int32_t>(err::kInvalidParameter));
  uint64_t sector = UINT64_MAX;
  uint64_t length = 7;
  EXPECT_EQ(engine.NextUnallocatedRun(sector, length), 1);
  EXPECT_EQ(sector, engine.Geometry()->volumeSectors);
  EXPECT_EQ(length, 0u);
  sector = 0;
  ASSERT_EQ(engine.NextUnallocatedRun(sector, length), 1);
  EXPECT_GE(sector, engine.Geometry()->dataStart);
  EXPECT_GT(length, 0u);
}

TEST_F(FatEngine, FreshScansOfTheSameVolumeListEachFileOnce) {
  // Scans of one volume within the same minute share a log name: two program runs, then a rescan.
  const fs::path image = Save(Load("fat16"));
  size_t listed = 0;
  std::map<std::string, FoundFileRecord> first;
  {
    CFastFatRecovery engine(appData_.store());
    ASSERT_EQ(engine.Open(ImageVolume(image, u'E')), 0u);
    ASSERT_EQ(engine.Scan({}), 0);
    first = FoundTree(engine, &listed, true);
  }
  ASSERT_EQ(listed, first.size());
  ASSERT_GT(listed, 10u);
  CFastFatRecovery engine{appData_.store()};
  ASSERT_EQ(engine.Open(ImageVolume(image, u'E')), 0u);
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(engine.Scan({}), 0);
    size_t again = 0;
    const auto tree = FoundTree(engine, &again, true);
    EXPECT_EQ(again, listed) << "round " << round;
    EXPECT_EQ(tree.size(), first.size());
    EXPECT_EQ(engine.GetRecordCount(), first.size());
  }
}

TEST_F(FatEngine, HostileImagesFailCleanly) {
  auto image = Load("fat16");
  {
    CFastFatRecovery engine(appData_.store());
    EXPECT_NE(engine.Open(ImageVolume(Save(std::vector<uint8_t>(image.begin(), image.begin() + 300)), u'E')),
              0u);
  }
  {
    auto absurd = image;
    PutLe16(absurd, 11, 65024);
    absurd[13] = 128;
    CFastFatRecovery engine(appData_.store());
    EXPECT_EQ(engine.Open(ImageVolume(Save(absurd), u'E')), err::kInvalidData);
  }
  {
    // Truncated after the FAT: the scan ends without crashing, the files cannot be read.
    CFastFatRecovery engine(appData_.store());
    ASSERT_EQ(
        engine.Open(ImageVolume(Save(std::vector<uint8_t>(image.begin(), image.begin() + 80 * 1024)), u'E')),
        0u);
    EXPECT_EQ(engine.Scan({}), 0);
  }
  // Find the DCIM folder's cluster and the deleted picture's entry through a normal scan first.
  // Its catalogue is let go before the next scans of the same card write their own (Windows keeps open
  // files).
  auto probe = std::make_unique<CFastFatRecovery>(appData_.store());
  ASSERT_EQ(probe->Open(ImageVolume(Save(image), u'E')), 0u);
  ASSERT_EQ(probe->Scan({}), 0);
  auto tree = FoundTree(*probe);
  const FatGeometry geo = *probe->Geometry();
  probe.reset();
  const uint32_t dcim = tree.at("DCIM").entryRef;
  const FoundFileRecord frag = tree.at("Holiday Trip/frag.bin");
  auto fatEntry = [&](std::vector<uint8_t>& img, uint32_t cluster, uint16_t value) {
    PutLe16(img, static_cast<size_t>(geo.fatStart * geo.sectorSize + cluster * 2), value);
  };
  {
    // A directory chain that loops through two clusters, and a file chain that points past the volume.
    auto looped = image;
    fatEntry(looped, dcim, static_cast<uint16_t>(dcim + 1));
    fatEntry(looped, dcim + 1, static_cast<uint16_t>(dcim));
    fatEntry(looped, frag.entryRef, 0xFFF0);
    CFastFatRecovery engine(appData_.store());
    ASSERT_EQ(engine.Open(ImageVolume(Save(looped), u'E')), 0u);
    ASSERT_EQ(engine.Scan({}), 0);
    auto t = FoundTree(engine);
    EXPECT_EQ(t.count("DCIM/IMG_0002.JPG"), 1u);
    const fs::path out = dir_.path() / "frag.bin";
    EXPECT_EQ(engine.RecoverRecord(&t.at("Holiday Trip/frag.bin"), out, 0),
              static_cast<int32_t>(err::kHandleEof));
    EXPECT_EQ(fs::file_size(out), geo.clusterBytes);  // what was read is kept
  }
  {
    // A sub-folder entry that names its own parent: the walk must not revisit it.
    auto self = image;
    const size_t dcimOffset = static_cast<size_t>(geo.ClusterSector(dcim) * geo.sectorSize);
    for (size_t off = dcimOffset + 64; off < dcimOffset + geo.clusterBytes; off += 32) {
      if (self[off + 11] == fat_attr::kDirectory) PutLe16(self, off + 26, static_cast<uint16_t>(dcim));
    }
    CFastFatRecovery engine(appData_.store());
    ASSERT_EQ(engine.Open(ImageVolume(Save(self), u'E')), 0u);
    EXPECT_EQ(engine.Scan({}), 0);
  }
}

TEST_F(FatEngine, AChainThatLoopsIsReadOnceRound) {
  auto image = Load("fat16");
  // Its catalogue is let go before the next scan of the same card writes its own (Windows keeps open files).
  auto probe = std::make_unique<CFastFatRecovery>(appData_.store());
  ASSERT_EQ(probe->Open(ImageVolume(Save(image), u'E')), 0u);
  ASSERT_EQ(probe->Scan({}), 0);
  const FatGeometry geo = *probe->Geometry();
  // A live file of the folder that was deleted with its files in place: its chain is followed as stored.
  const FoundFileRecord frag = FoundTree(*probe).at("Holiday Trip/frag.bin");
  probe.reset();
  const size_t fat = static_cast<size_t>(geo.fatStart * geo.sectorSize);
  std::vector<uint32_t> chain{frag.entryRef};
  for (uint32_t next = Le16(image, fat + chain.back() * 2); next < 0xFFF8; next = Le16(image, fat + next * 2))
    chain.push_back(next);
  ASSERT_GT(chain.size(), 2u);
  // The last cluster leads back to the first, and the entry claims 64 MiB on a 16 MiB card.
  PutLe16(image, fat + chain.back() * 2, static_cast<uint16_t>(chain.front()));
  const size_t entrySector = static_cast<size_t>(frag.entryLocation * geo.sectorSize);
  size_t entry = 0;
  for (size_t off = entrySector; off < entrySector + geo.sectorSize; off += 32) {
    if (Le16(image, off + 26) == frag.entryRef && image[off + 11] == fat_attr::kArchive) entry = off;
  }
  ASSERT_NE(entry, 0u);
  PutLe32(image, entry + 28, 64u << 20);

  CFastFatRecovery engine{appData_.store()};
  ASSERT_EQ(engine.Open(ImageVolume(Save(image), u'E')), 0u);
  ASSERT_EQ(engine.Scan({}), 0);
  const FoundFileRecord looped = FoundTree(engine).at("Holiday Trip/frag.bin");
  ASSERT_EQ(looped.fileSize, 64u << 20);
  const fs::path out = dir_.path() / "looped.bin";
  EXPECT_EQ(engine.RecoverRecord(&looped, out, 0), static_cast<int32_t>(err::kHandleEof));
  EXPECT_EQ(fs::file_size(out), uint64_t{chain.size()} * geo.clusterBytes);
  const auto original = Original("frag.bin");
  const auto bytes = test::ReadFile(out);
  EXPECT_TRUE(std::equal(original.begin(), original.end(), bytes.begin()));
  fs::path preview;
  uint32_t size = 0;
  std::vector<uint8_t> buffer(1 << 20);
  EXPECT_EQ(engine.ExtractForPreview(&looped, preview, buffer, size, nullptr, nullptr), err::kHandleEof);
  EXPECT_EQ(size, uint64_t{chain.size()} * geo.clusterBytes);
}

}  // namespace
}  // namespace snapsave
