#include "fs/fat/fat_deep_engine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "catalog/saved_scan_store.h"
#include "fs/fat/fat_dir_entry.h"
#include "os/error.h"
#include "tests/support/found_tree.h"
#include "tests/support/scan_store.h"
#include "tests/support/test_support.h"

namespace snapsave {
namespace {

namespace fs = std::filesystem;
using test::FoundTree;

constexpr uint32_t kSector = 512;
constexpr uint16_t kDate2021 = ((2021 - 1980) << 9) | (3 << 5) | 14;
constexpr uint16_t kNoon = 12 << 11;

// One 32-byte short entry.
std::vector<uint8_t> ShortEntry(const std::string& name11, uint8_t attr, uint32_t cluster, uint32_t size) {
  std::vector<uint8_t> e(32, 0);
  std::memcpy(e.data(), name11.data(), 11);
  e[11] = attr;
  auto put16 = [&](size_t off, uint16_t v) {
    e[off] = static_cast<uint8_t>(v);
    e[off + 1] = static_cast<uint8_t>(v >> 8);
  };
  put16(14, kNoon);
  put16(16, kDate2021);
  put16(18, kDate2021);
  put16(20, static_cast<uint16_t>(cluster >> 16));
  put16(22, kNoon);
  put16(24, kDate2021);
  put16(26, static_cast<uint16_t>(cluster));
  for (int i = 0; i < 4; ++i) e[28 + static_cast<size_t>(i)] = static_cast<uint8_t>(size >> (8 * i));
  return e;
}

std::vector<uint8_t> Dots(uint32_t self, uint32_t parent) {
  auto dot = ShortEntry(".          ", fat_attr::kDirectory, self, 0);
  auto dotdot = ShortEntry("..         ", fat_attr::kDirectory, parent, 0);
  dot.insert(dot.end(), dotdot.begin(), dotdot.end());
  return dot;
}

// The long-name entries of `name` (ASCII) for `shortEntry`, in disk order, followed by the short entry.
std::vector<uint8_t> LongNamed(const std::string& name, const std::vector<uint8_t>& shortEntry) {
  const uint8_t sum = ShortNameChecksum(shortEntry);
  std::u16string chars(name.begin(), name.end());
  chars.push_back(0);
  while (chars.size() % 13 != 0) chars.push_back(0xFFFF);
  const size_t pieces = chars.size() / 13;
  static constexpr size_t kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  std::vector<uint8_t> out;
  for (size_t p = pieces; p-- > 0;) {
    std::vector<uint8_t> e(32, 0);
    e[0] = static_cast<uint8_t>((p + 1) | (p + 1 == pieces ? 0x40 : 0));
    e[11] = fat_attr::kLongName;
    e[13] = sum;
    for (size_t i = 0; i < 13; ++i) {
      const char16_t c = chars[p * 13 + i];
      e[kOffsets[i]] = static_cast<uint8_t>(c);
      e[kOffsets[i] + 1] = static_cast<uint8_t>(c >> 8);
    }
    out.insert(out.end(), e.begin(), e.end());
  }
  out.insert(out.end(), shortEntry.begin(), shortEntry.end());
  return out;
}

std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A disk image built sector by sector, saved to a file the engine opens.
class SyntheticDisk {
 public:
  explicit SyntheticDisk(uint64_t sectors) : bytes_(sectors * kSector, 0) {}
  void Put(uint64_t sector, const std::vector<uint8_t>& data) {
    std::memcpy(bytes_.data() + sector * kSector, data.data(), data.size());
  }
  fs::path Save(const fs::path& dir) const {
    const fs::path path = dir / "disk.img";
    test::WriteFile(path, bytes_);
    return path;
  }
  const std::vector<uint8_t>& Bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

// What the deep scan's dispatcher does for FAT: folder heads and directory blocks, in ascending order.
void FeedDirectorySectors(CProfessionalFatRecovery& engine, const std::vector<uint8_t>& image,
                          uint64_t from = 0, uint64_t to = UINT64_MAX) {
  for (uint64_t s = from; s < to && s * kSector + kSector <= image.size(); ++s) {
    const std::span<const uint8_t> sector(image.data() + s * kSector, kSector);
    if (IsDotPair(sector)) {
      engine.TakeFolderHead(sector, s);
    } else if (IsDirectoryBlock(sector)) {
      engine.TakeDirectoryBlock(sector, s);
    }
  }
}

// A whole deep FAT scan of sectors [from, to) of `image`, read from `bytes`: open, start (on the saved
// catalogue `logName` when given), the boot guess, the sectors, finish. Failures are the test's.
void ScanSectors(CProfessionalFatRecovery& engine, const fs::path& image, const std::vector<uint8_t>& bytes,
                 uint64_t from = 0, uint64_t to = UINT64_MAX, const std::string& logName = {}) {
  ASSERT_EQ(engine.Open(ImageVolume(image, u'F')), 0u);
  ASSERT_EQ(engine.StartPass(logName), 0u);
  FeedDirectorySectors(engine, bytes, from, to);
  ASSERT_EQ(engine.FinishPass(), 0);
}

class DeepFat : public ::testing::Test {
 protected:
  void Scan(const SyntheticDisk& disk) {
    ASSERT_EQ(engine_.Open(ImageVolume(disk.Save(dir_.path()), u'E')), 0u);
    ASSERT_EQ(engine_.StartPass(""), 0u);
    FeedDirectorySectors(engine_, disk.Bytes());
    ASSERT_EQ(engine_.FinishPass(), 0);
  }

  test::ScratchScanStore appData_;
  test::TempDir dir_;
  CProfessionalFatRecovery engine_{appData_.store()};
};

// Folders at clusters 5 and 9 whose heads lie at sectors 10400 and 10432: 8 sectors per cluster, cluster 2 at
// 10376. Neither folder's own entry survives, so both come back as lost folders holding their files.
TEST_F(DeepFat, InfersTheGeometryFromTwoFolderHeadsAndPlacesBoth) {
  SyntheticDisk disk(10800);
  disk.Put(10400, Cat({Dots(5, 0), ShortEntry("PHOTO   JPG", fat_attr::kArchive, 40, 3000)}));
  disk.Put(10432, Cat({Dots(9, 0), ShortEntry("NOTES   TXT", fat_attr::kArchive, 41, 100)}));
  std::vector<uint8_t> notes(100, 'n');
  disk.Put(10376 + (41 - 2) * 8, notes);
  Scan(disk);

  ASSERT_EQ(engine_.Guesses().size(), 1u);
  EXPECT_EQ(engine_.Guesses()[0].sectorsPerCluster, 8u);
  EXPECT_EQ(engine_.Guesses()[0].DataSector(), 10376u);
  auto tree = FoundTree(engine_);
  // The photo's first cluster holds no JPEG: it is listed, damaged.
  ASSERT_EQ(tree.count("LostFolder5/PHOTO.JPG"), 1u);
  EXPECT_EQ(tree["LostFolder5/PHOTO.JPG"].isIntact, 0u);
  EXPECT_EQ(tree.count("LostFolder5"), 1u);
  ASSERT_EQ(tree.count("LostFolder9/NOTES.TXT"), 1u);
  const FoundFileRecord notesRecord = tree["LostFolder9/NOTES.TXT"];
  EXPECT_EQ(notesRecord.Kind(), SourceKind::kFatDeep);
  EXPECT_EQ(notesRecord.entryLocation, 10432u);
  EXPECT_EQ(notesRecord.clusterSize, 4096u);
  EXPECT_EQ(notesRecord.dataStartSector, 10376u);

  const fs::path out = dir_.path() / "notes.txt";
  ASSERT_EQ(engine_.RecoverRecord(&notesRecord, out, 0), 0);
  EXPECT_EQ(test::ReadFile(out), notes);
}

TEST_F(DeepFat, HeadsWhoseDistancesDoNotFitGiveNoGuessAndListNothing) {
  SyntheticDisk disk(10800);
  disk.Put(10400, Cat({Dots(5, 0), ShortEntry("PHOTO   JPG", fat_attr::kArchive, 40, 3000)}));
  disk.Put(10430, Cat({Dots(9, 0), ShortEntry("NOTES   TXT", fat_attr::kArchive, 41, 100)}));  // 30 / 4
  disk.Put(10500, Cat({Dots(7, 0), ShortEntry("OTHER   TXT", fat_attr::kArchive, 42, 100)}));  // 100 / 2
  Scan(disk);
  EXPECT_TRUE(engine_.Guesses().empty());
  EXPECT_EQ(engine_.GetRecordCount(), 0u);
}

// A file and its folder under a boot-less guess, with the long name split across the head's sector boundary
// (8 sectors per cluster, so the next sector belongs to the same cluster).
TEST_F(DeepFat, ReadsALongNameThatStraddlesASectorBoundary) {
  SyntheticDisk disk(10800);
  const std::string name = "a long name that crosses the sector end.txt";  // 4 pieces
  const auto file = LongNamed(name, ShortEntry("ALONGN~1TXT", fat_attr::kArchive, 50, 10));
  ASSERT_EQ(file.size(), 5u * 32);
  std::vector<uint8_t> head = Dots(5, 0);
  // 12 plain entries, then three of the name's four pieces end the sector.
  for (int i = 0; i < 11; ++i) {
    const auto e = ShortEntry("FILLER" + std::string(1, static_cast<char>('A' + i)) + " BIN",
                              fat_attr::kArchive, 60 + static_cast<uint32_t>(i), 1);
    head.insert(head.end(), e.begin(), e.end());
  }
  head.insert(head.end(), file.begin(), file.begin() + 3 * 32);
  ASSERT_EQ(head.size(), 512u);
  disk.Put(10400, head);
  disk.Put(10401, std::vector<uint8_t>(file.begin() + 3 * 32, file.end()));
  disk.Put(10432, Cat({Dots(9, 0), ShortEntry("NOTES   TXT", fat_attr::kArchive, 41, 100)}));
  Scan(disk);

  auto tree = FoundTree(engine_);
  EXPECT_EQ(tree.count("LostFolder5/" + name), 1u);
  EXPECT_EQ(tree.count("LostFolder5/FILLERA.BIN"), 1u);
  size_t inFive = 0;
  for (const auto& [path, r] : tree) inFive += path.starts_with("LostFolder5/") ? 1u : 0u;
  EXPECT_EQ(inFive, 12u) << "the name is listed once, whole";
}

// Folders whose ".." entries name each other never reach a root: the walk ends, one of them is listed at the
// root as a lost folder, and every file of the loop is still reachable from the root.
TEST_F(DeepFat, FoldersWhoseParentsFormALoopEndUnderALostFolder) {
  SyntheticDisk disk(10800);
  disk.Put(10400, Cat({Dots(5, 9), ShortEntry("INFIVE  TXT", fat_attr::kArchive, 40, 10)}));
  disk.Put(10432, Cat({Dots(9, 5), ShortEntry("INNINE  TXT", fat_attr::kArchive, 41, 10)}));
  disk.Put(10464, Cat({Dots(13, 13), ShortEntry("SELF    TXT", fat_attr::kArchive, 42, 10)}));
  Scan(disk);

  size_t listed = 0;
  auto tree = FoundTree(engine_, &listed);
  size_t files = 0;
  bool lostAtRoot = false;
  for (const auto& [path, r] : tree) {
    if (r.isFolder == 0) ++files;
    if (r.isFolder != 0 && path.find('/') == std::string::npos && path.starts_with("LostFolder"))
      lostAtRoot = true;
  }
  EXPECT_EQ(files, 3u);
  EXPECT_TRUE(lostAtRoot);
  EXPECT_EQ(listed, tree.size());
}

// Without a boot sector cluster 2 is taken for the root, unless it starts like any other folder.
TEST_F(DeepFat, ClusterTwoIsTheRootOnlyWhenItHoldsNoFolderHead) {
  SyntheticDisk disk(10800);
  disk.Put(10376, Cat({ShortEntry("ROOTFILETXT", fat_attr::kArchive, 40, 1)}));
  disk.Put(10400, Cat({Dots(5, 0), ShortEntry("INFIVE  TXT", fat_attr::kArchive, 41, 1)}));
  disk.Put(10432, Cat({Dots(9, 0), ShortEntry("INNINE  TXT", fat_attr::kArchive, 42, 1)}));
  Scan(disk);
  auto tree = FoundTree(engine_);
  EXPECT_EQ(tree.count("ROOTFILE.TXT"), 1u);
  EXPECT_EQ(tree.count("LostFolder5/INFIVE.TXT"), 1u);
}

TEST_F(DeepFat, AFolderAtClusterTwoIsNoRoot) {
  SyntheticDisk disk(10800);
  disk.Put(10376, Cat({Dots(2, 0), ShortEntry("INTWO   TXT", fat_attr::kArchive, 40, 1)}));
  disk.Put(10400, Cat({Dots(5, 2), ShortEntry("INFIVE  TXT", fat_attr::kArchive, 41, 1)}));
  Scan(disk);
  auto tree = FoundTree(engine_);
  EXPECT_EQ(tree.count("LostFolder2/INTWO.TXT"), 1u);
  EXPECT_EQ(tree.count("LostFolder2/LostFolder5/INFIVE.TXT"), 1u);
}

// Bounds turn away what does not fit and say so; the scan still ends normally.
TEST_F(DeepFat, LimitsBoundFilesHeadsAndGuesses) {
  CProfessionalFatRecovery::Limits limits;
  limits.files = 2;
  limits.guesses = 1;
  limits.pendingHeads = 1;
  engine_.SetLimits(limits);
  SyntheticDisk disk(12000);
  // A pair that makes a guess, then heads that no guess places and that pair with nothing.
  disk.Put(10400, Cat({Dots(5, 0), ShortEntry("ONE     TXT", fat_attr::kArchive, 40, 1),
                       ShortEntry("TWO     TXT", fat_attr::kArchive, 41, 1),
                       ShortEntry("THREE   TXT", fat_attr::kArchive, 42, 1)}));
  disk.Put(10432, Cat({Dots(9, 0), ShortEntry("FOUR    TXT", fat_attr::kArchive, 43, 1)}));
  disk.Put(11001, Cat({Dots(1000, 0), ShortEntry("FIVE    TXT", fat_attr::kArchive, 44, 1)}));
  disk.Put(11003, Cat({Dots(3000, 0), ShortEntry("SIX     TXT", fat_attr::kArchive, 45, 1)}));
  Scan(disk);
  EXPECT_EQ(engine_.Guesses().size(), 1u);
  EXPECT_EQ(engine_.DroppedCounts().files, 2u);
  EXPECT_EQ(engine_.DroppedCounts().pendingHeads, 1u);
  size_t files = 0;
  for (const auto& [path, r] : FoundTree(engine_)) files += r.isFolder == 0 ? 1u : 0u;
  EXPECT_EQ(files, 2u);
}

// A file claiming more bytes than the medium holds comes out no larger than the medium, and the failure is
// reported.
TEST_F(DeepFat, RecoveryStopsWhereTheMediumEnds) {
  SyntheticDisk disk(10800);
  disk.Put(10400, Cat({Dots(5, 0), ShortEntry("HUGE    BIN", fat_attr::kArchive, 45, 0xF0000000u)}));
  disk.Put(10432, Cat({Dots(9, 0)}));
  disk.Put(10440, Cat({Dots(10, 9), ShortEntry("X       BIN", fat_attr::kArchive, 46, 1)}));
  Scan(disk);
  auto tree = FoundTree(engine_);
  ASSERT_EQ(tree.count("LostFolder5/HUGE.BIN"), 1u);
  const fs::path out = dir_.path() / "out" / "huge.bin";
  EXPECT_EQ(engine_.RecoverRecord(&tree["LostFolder5/HUGE.BIN"], out, 0),
            static_cast<int32_t>(err::kReadFault));
  std::error_code ec;
  EXPECT_LE(fs::file_size(out, ec), disk.Bytes().size());
}

using test::ManifestFile;
using test::ReadManifest;

// The found path a manifest file should have: the top folder's own entry was in the root, which the format
// cleared, so it is a lost folder; a deleted name has its lost first letter back from its siblings, or a mark
// for it.
bool Matches(const std::string& found, const ManifestFile& e) {
  const std::string expected = e.path.substr(e.path.find('/'));
  if (!found.starts_with("LostFolder")) return false;
  std::string rest = found.substr(found.find('/'));
  // Short names come back in lower case.
  auto lower = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  if (lower(rest) == lower(expected)) return true;
  // A deleted name whose first letter no sibling gave keeps its mark.
  std::string marked = expected;
  marked[marked.rfind('/') + 1] = '!';
  return e.deleted && lower(rest) == lower(marked);
}

class FormattedCard : public ::testing::TestWithParam<bool> {};

// A card filled with folders and quick-formatted: the old folders come back with their names and files,
// whether or not the boot sector survives, and contiguous files recover byte for byte.
TEST_P(FormattedCard, ListsTheOldTreeAndRecoversItsFiles) {
  const bool zeroBoot = GetParam();
  test::ScratchScanStore appData;
  test::TempDir dir;
  const fs::path image = dir.path() / "card.img";
  test::GunzipFixture("fat/card-formatted.img.gz", image);
  std::vector<uint8_t> bytes = test::ReadFile(image);
  if (zeroBoot) {
    std::fill(bytes.begin(), bytes.begin() + kSector, 0);
    test::WriteFile(image, bytes);
  }
  CProfessionalFatRecovery engine{appData.store()};
  ScanSectors(engine, image, bytes);
  if (HasFatalFailure()) return;
  ASSERT_FALSE(engine.Guesses().empty());
  EXPECT_EQ(engine.Guesses()[0].sectorsPerCluster, 2u);

  size_t listed = 0;
  auto tree = FoundTree(engine, &listed);
  EXPECT_EQ(listed, tree.size()) << "an item is listed twice";
  const auto manifest = ReadManifest("fat/card-formatted.manifest");
  size_t found = 0, exact = 0;
  // Each folder comes back as one folder: "many" goes on in a cluster after file data.
  std::map<std::string, std::set<std::string>> foundFolders;
  for (const ManifestFile& e : manifest) {
    const FoundFileRecord* match = nullptr;
    for (const auto& [path, r] : tree) {
      if (r.isFolder == 0 && Matches(path, e)) {
        match = &r;
        foundFolders[e.path.substr(0, e.path.rfind('/'))].insert(path.substr(0, path.rfind('/')));
      }
    }
    if (match == nullptr) {
      ADD_FAILURE() << "not found: " << e.path;
      continue;
    }
    ++found;
    const fs::path out = dir.path() / "out" / std::to_string(found);
    ASSERT_EQ(engine.RecoverRecord(match, out, 0), 0) << e.path;
    const auto data = test::ReadFile(out);
    EXPECT_EQ(data.size(), e.size) << e.path;
    if (test::Crc(data) == e.crc) ++exact;
  }
  EXPECT_EQ(found, manifest.size());
  EXPECT_EQ(exact, manifest.size());
  for (const auto& [folder, places] : foundFolders) EXPECT_EQ(places.size(), 1u) << folder;
  size_t files = 0;
  for (const auto& [path, r] : tree) files += r.isFolder == 0 ? 1u : 0u;
  EXPECT_EQ(files, manifest.size()) << "every file once, nothing else";
  if (HasFailure()) {
    for (const auto& [path, r] : tree) std::cerr << path << "\n";
  }
}

INSTANTIATE_TEST_SUITE_P(BootSector, FormattedCard, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "Zeroed" : "Kept"; });

// The camera and music folders of a quick-formatted card come back whole, and their deleted 8.3 names with
// the first letter their live siblings give: every file of them named as it was and byte for byte.
TEST(DeepFatNames, AFormattedCardsDeletedShortNamesAreGuessed) {
  test::ScratchScanStore appData;
  test::TempDir dir;
  const fs::path image = dir.path() / "card.img";
  test::GunzipFixture("fat/names-formatted.img.gz", image);
  const std::vector<uint8_t> bytes = test::ReadFile(image);
  CProfessionalFatRecovery engine{appData.store()};
  ScanSectors(engine, image, bytes);
  if (HasFatalFailure()) return;
  auto tree = FoundTree(engine);
  size_t named = 0, guessed = 0;
  for (const ManifestFile& e : ReadManifest("fat/names.manifest")) {
    if (e.path.find('/') == std::string::npos) continue;  // the root's entries went with the format
    const std::string name = e.path.substr(e.path.rfind('/') + 1);
    const FoundFileRecord* match = nullptr;
    for (const auto& [path, r] : tree) {
      if (r.isFolder == 0 && path.ends_with("/" + name)) match = &r;
    }
    ASSERT_NE(match, nullptr) << e.path;
    ++named;
    EXPECT_EQ(match->isDeleted, e.deleted ? kDeletedNameGuessed : 0u) << e.path;
    guessed += e.deleted ? 1u : 0u;
    const fs::path out = dir.path() / "out" / name;
    ASSERT_EQ(engine.RecoverRecord(match, out, 0), 0) << e.path;
    const auto data = test::ReadFile(out);
    EXPECT_EQ(test::Crc(data), e.crc) << e.path;
  }
  EXPECT_EQ(named, 42u);
  EXPECT_EQ(guessed, 7u);
}

// A scan stopped inside a folder and continued from its saved catalogue files that folder's later files under
// the folder registered the first time, and lists the folder once.
TEST(DeepFatResume, AContinuedScanListsEachFolderOnce) {
  test::ScratchScanStore appData;
  test::TempDir dir;
  const fs::path image = dir.path() / "card.img";
  test::GunzipFixture("fat/card-formatted.img.gz", image);
  const std::vector<uint8_t> bytes = test::ReadFile(image);
  // Sector 1134 is the head of "many"; its second sector goes to the continued scan.
  constexpr uint64_t kStop = 1135;
  {
    CProfessionalFatRecovery first(appData.store());
    ScanSectors(first, image, bytes, 0, kStop);
    if (HasFatalFailure()) return;
  }
  std::string logName;
  for (const auto& entry : fs::recursive_directory_iterator(appData.path())) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with("Pro_Fat_") && name.find("_Relation") == std::string::npos &&
        name.find("_DirInfo") == std::string::npos) {
      logName = name;
    }
  }
  ASSERT_FALSE(logName.empty());
  CProfessionalFatRecovery second(appData.store());
  ScanSectors(second, image, bytes, kStop, UINT64_MAX, logName);
  if (HasFatalFailure()) return;

  size_t listed = 0;
  const auto tree = FoundTree(second, &listed);
  EXPECT_EQ(listed, tree.size());
  size_t files = 0;
  for (const auto& [path, r] : tree) files += r.isFolder == 0 ? 1u : 0u;
  EXPECT_EQ(files, ReadManifest("fat/card-formatted.manifest").size());
}

}  // namespace
}  // namespace snapsave
