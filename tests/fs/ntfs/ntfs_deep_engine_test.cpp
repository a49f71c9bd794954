#include "fs/ntfs/ntfs_deep_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "os/error.h"
#include "tests/fs/ntfs/ntfs_image_builder.h"
#include "tests/support/found_tree.h"
#include "tests/support/scan_store.h"
#include "tests/support/test_support.h"

namespace snapsave {
namespace {

namespace fs = std::filesystem;
using test::FoundTree;
using test::NtfsImageBuilder;

constexpr uint32_t kSector = 512;

// What the deep scan's dispatcher does for NTFS: every sector that starts a plausible record, in order.
void FeedRecords(CProfessionalNtfsRecovery& engine, const std::vector<uint8_t>& disk) {
  const uint32_t recordSize = engine.RecordSize();
  for (uint64_t s = 0; (s + 2) * kSector <= disk.size(); ++s) {
    const std::span<const uint8_t> at(disk.data() + s * kSector, recordSize);
    if (IsPlausibleFileRecord(at, recordSize)) engine.TakeFileRecord(at, s);
  }
}

// A volume of the builder placed at `offset` sectors into a larger disk whose first sector is wiped.
std::vector<uint8_t> PlaceVolume(NtfsImageBuilder& b, uint64_t offset, uint64_t diskSectors) {
  std::fill(b.Boot().begin(), b.Boot().end(), 0);
  std::vector<uint8_t> disk(diskSectors * kSector, 0);
  std::copy(b.Bytes().begin(), b.Bytes().end(), disk.begin() + static_cast<std::ptrdiff_t>(offset * kSector));
  return disk;
}

class DeepNtfs : public ::testing::Test {
 protected:
  void Open(const std::vector<uint8_t>& disk) {
    path_ = dir_.path() / "disk.img";
    test::WriteFile(path_, disk);
    ASSERT_EQ(engine_.Open(ImageVolume(path_, u'N')), 0u);
    ASSERT_EQ(engine_.StartPass(""), 0u);
  }
  void Scan(const std::vector<uint8_t>& disk) {
    Open(disk);
    FeedRecords(engine_, disk);
    ASSERT_EQ(engine_.FinishPass(), 0);
  }

  test::ScratchScanStore appData_;
  test::TempDir dir_;
  fs::path path_;
  CProfessionalNtfsRecovery engine_{appData_.store()};
};

// The builder's MFT with record 0 named, so that a deep scan recognises it.
void NameMft(NtfsImageBuilder& b) {
  b.BeginRecord(0, 0x0001);
  b.AddFileName(0, 5, u"$MFT", 3, 0);
  b.AddNonResident(0, 0x80,
                   {0x11, static_cast<uint8_t>(NtfsImageBuilder::kMftRecords * 2),
                    static_cast<uint8_t>(NtfsImageBuilder::kMftCluster)},
                   NtfsImageBuilder::kMftRecords * NtfsImageBuilder::kRecordSize);
  b.EndRecord(0);
}

// A disk whose volume (at sector 1000) lost its boot sector: records after the "$MFT" record are placed in
// that MFT and get its volume start; a copy of a record met before it can only be taken for part of a
// contiguous MFT on a volume that starts at the disk's first sector.
TEST_F(DeepNtfs, RecordsBeforeTheMftRecordUseTheContiguousAssumption) {
  NtfsImageBuilder b;
  NameMft(b);
  b.BeginRecord(20, 0x0001);  // a live file
  b.AddFileName(20, 5, u"live.txt", 1, 6);
  b.AddResidentData(20, {'l', 'i', 'v', 'e', '!', '\n'});
  b.EndRecord(20);
  b.BeginRecord(21, 0);  // a deleted one with data in clusters 300..301 of its volume
  b.AddFileName(21, 5, u"gone.bin", 1, 1000);
  b.AddNonResident(21, 0x80, {0x21, 2, 0x2C, 0x01}, 1000);
  b.EndRecord(21);
  std::vector<uint8_t> data(1024);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  b.WriteCluster(300, data);
  std::vector<uint8_t> disk = PlaceVolume(b, 1000, 4000);
  // An older copy of record 21 lies before the volume.
  const auto copy = b.Record(21);
  std::copy(copy.begin(), copy.end(), disk.begin() + 200 * kSector);
  Scan(disk);

  EXPECT_EQ(engine_.KnownMftCount(), 1u);
  RecordList root;
  ASSERT_EQ(engine_.ListFolder(nullptr, 0, root), 0u);
  std::map<uint64_t, FoundFileRecord> byLocation;
  for (const FoundFileRecord& r : root) byLocation[r.entryLocation] = r;
  ASSERT_EQ(byLocation.size(), 3u);
  EXPECT_EQ(byLocation.at(200).volumeStartSector, 0u);
  EXPECT_EQ(byLocation.at(1000 + 16 + 40).Name(), "live.txt");
  EXPECT_EQ(byLocation.at(1000 + 16 + 40).volumeStartSector, 1000u);
  const FoundFileRecord gone = byLocation.at(1000 + 16 + 42);
  EXPECT_EQ(gone.volumeStartSector, 1000u);
  EXPECT_EQ(gone.Kind(), SourceKind::kNtfsDeep);
  EXPECT_EQ(gone.clusterSize, 512u);
  const fs::path out = dir_.path() / "gone.bin";
  ASSERT_EQ(engine_.RecoverRecord(&gone, out, 0), 0);
  EXPECT_EQ(test::ReadFile(out), std::vector<uint8_t>(data.begin(), data.begin() + 1000));
}

// A 300 MiB range starts with one sector per cluster; a record whose data has 65536 bytes in 16 clusters
// shows the clusters are of 8 sectors.
TEST_F(DeepNtfs, ARecordRefinesTheClusterGuess) {
  NtfsImageBuilder b;
  b.BeginRecord(30, 0);
  b.AddFileName(30, 5, u"video.bin", 1, 65536);
  b.AddNonResident(30, 0x80, {0x11, 16, 0x40}, 65536);
  b.EndRecord(30);
  std::vector<uint8_t> disk = PlaceVolume(b, 0, 4096);
  path_ = dir_.path() / "big.img";
  test::WriteFile(path_, disk);
  fs::resize_file(path_, uint64_t{300} << 20);
  ASSERT_EQ(engine_.Open(ImageVolume(path_, u'N')), 0u);
  ASSERT_EQ(engine_.StartPass(""), 0u);
  EXPECT_EQ(engine_.ClusterGuess(), 1u);
  const auto record = b.Record(30);
  ASSERT_EQ(engine_.TakeFileRecord(record, 16 + 60), 0);
  EXPECT_EQ(engine_.ClusterGuess(), 8u);
  RecordList root;
  ASSERT_EQ(engine_.ListFolder(nullptr, 0, root), 0u);
  ASSERT_EQ(root.size(), 1u);
  EXPECT_EQ(root[0].clusterSize, 4096u);
}

TEST_F(DeepNtfs, RefusesBrokenRecordsAndListsLiveFilesButNotFolders) {
  NtfsImageBuilder b;
  b.BeginRecord(40, 0x0003);  // a folder in use
  b.AddFileName(40, 5, u"folder", 1, 0);
  b.EndRecord(40);
  b.AddNamedRecord(41, 0x0001, 40, u"in use.txt");
  b.AddNamedRecord(42, 0, 5, u"too long.txt");
  PutLe32(b.Record(42), 24, 4096);  // bytes in use beyond the record
  const std::vector<uint8_t> disk = PlaceVolume(b, 0, 2048);
  Open(disk);
  EXPECT_EQ(engine_.TakeFileRecord(b.Record(42), 16 + 84), static_cast<int32_t>(err::kInvalidParameter));
  EXPECT_EQ(engine_.TakeFileRecord(std::span<const uint8_t>(b.Record(41)).first(512), 16 + 82),
            static_cast<int32_t>(err::kInvalidParameter));
  FeedRecords(engine_, disk);
  ASSERT_EQ(engine_.FinishPass(), 0);
  const auto tree = FoundTree(engine_);
  EXPECT_EQ(tree.count("folder/in use.txt"), 1u);
  EXPECT_EQ(tree.count("folder"), 1u);
  EXPECT_EQ(tree.count("too long.txt"), 0u);
  EXPECT_EQ(tree.size(), 2u);
}

// Folders naming each other as parents never reach the root: the chain is cut, the cut folder is listed at
// the root as a lost folder, and every file below the loop stays reachable.
TEST_F(DeepNtfs, AFolderLoopEndsUnderALostFolder) {
  NtfsImageBuilder b;
  b.AddNamedRecord(50, 0x0003, 51, u"a");
  b.AddNamedRecord(51, 0x0003, 50, u"b");
  b.AddNamedRecord(52, 0, 50, u"in a.txt");
  b.AddNamedRecord(53, 0, 51, u"in b.txt");
  b.AddNamedRecord(54, 0x0003, 54, u"self");
  b.AddNamedRecord(55, 0, 54, u"in self.txt");
  Scan(PlaceVolume(b, 0, 2048));
  size_t listed = 0;
  const auto tree = FoundTree(engine_, &listed);
  EXPECT_EQ(listed, tree.size());
  std::set<std::string> files;
  bool lostAtRoot = false;
  for (const auto& [path, r] : tree) {
    if (r.isFolder == 0) files.insert(path.substr(path.rfind('/') + 1));
    if (r.isFolder != 0 && path.find('/') == std::string::npos && path.starts_with("LostFolder")) {
      lostAtRoot = true;
    }
  }
  EXPECT_EQ(files, (std::set<std::string>{"in a.txt", "in b.txt", "in self.txt"}));
  EXPECT_TRUE(lostAtRoot);
}

TEST_F(DeepNtfs, TheFolderListStopsAtItsLimit) {
  CProfessionalNtfsRecovery::Limits limits;
  limits.maxFolders = 2;
  CProfessionalNtfsRecovery engine(appData_.store(), limits);
  NtfsImageBuilder b;
  for (uint32_t n = 20; n < 30; ++n) {
    b.BeginRecord(n, 0x0003);
    b.AddFileName(n, n == 20 ? 5 : n - 1, u"d" + std::u16string(1, static_cast<char16_t>('0' + n - 20)), 1,
                  0);
    b.EndRecord(n);
  }
  for (uint32_t n = 30; n < 40; ++n) {
    b.AddNamedRecord(n, 0, n - 10, u"f.txt");
  }
  const std::vector<uint8_t> disk = PlaceVolume(b, 0, 2048);
  path_ = dir_.path() / "disk.img";
  test::WriteFile(path_, disk);
  ASSERT_EQ(engine.Open(ImageVolume(path_, u'N')), 0u);
  ASSERT_EQ(engine.StartPass(""), 0u);
  FeedRecords(engine, disk);
  ASSERT_EQ(engine.FinishPass(), 0);
  EXPECT_EQ(engine.FolderCount(), 2u);
  EXPECT_GT(engine.DroppedFiles(), 0u);
  size_t listed = 0;
  const auto tree = FoundTree(engine, &listed);
  EXPECT_EQ(listed, tree.size());
}

// The NTFS fixture with its boot sector wiped: every file record of the volume is listed at its path, as The
// Sleuth Kit lists the intact image, and the deleted files recover byte for byte.
TEST(DeepNtfsFixture, AVolumeWithoutBootSectorListsEveryFileRecord) {
  test::ScratchScanStore appData;
  test::TempDir dir;
  const fs::path image = dir.path() / "ntfs_small.img";
  test::GunzipFixture("ntfs/ntfs_small.img.gz", image);
  // The files The Sleuth Kit lists, live and deleted, without system files, streams and orphans.
  std::set<std::string> fls, flsDeleted;
  for (const test::FlsFile& f : test::StoredFls("ntfs/ntfs_small.fls")) {
    if (f.path.starts_with("$") || f.path.find(':') != std::string::npos) continue;
    fls.insert(f.path);
    if (f.deleted) flsDeleted.insert(f.path);
  }
  ASSERT_GT(fls.size(), 700u);
  std::vector<uint8_t> bytes = test::ReadFile(image);
  std::fill(bytes.begin(), bytes.begin() + kSector, 0);
  test::WriteFile(image, bytes);

  CProfessionalNtfsRecovery engine{appData.store()};
  ASSERT_EQ(engine.Open(ImageVolume(image, u'N')), 0u);
  ASSERT_EQ(engine.StartPass(""), 0u);
  FeedRecords(engine, bytes);
  ASSERT_EQ(engine.FinishPass(), 0);
  EXPECT_GE(engine.KnownMftCount(), 1u);

  size_t listed = 0;
  const auto tree = FoundTree(engine, &listed);
  EXPECT_EQ(listed, tree.size());
  std::set<std::string> found;
  for (const auto& [path, r] : tree) {
    if (r.isFolder == 0 && !path.starts_with("$")) found.insert(path);
  }
  // The orphan's parent record became a plain file: it is listed under a lost folder instead.
  std::set<std::string> expected = fls;
  expected.erase("reused/orphan.jpg");
  std::set<std::string> missing, extra;
  std::ranges::set_difference(expected, found, std::inserter(missing, missing.end()));
  std::ranges::set_difference(found, expected, std::inserter(extra, extra.end()));
  EXPECT_TRUE(missing.empty()) << missing.size() << " missing, first " << *missing.begin();
  for (const std::string& e : extra) EXPECT_TRUE(e.starts_with("LostFolder")) << e;
  // The records the volume freed say they were deleted; one in use cannot tell.
  for (const auto& [path, r] : tree) {
    if (r.isFolder != 0 || fls.count(path) == 0) continue;
    EXPECT_EQ(WasDeleted(r), flsDeleted.count(path) != 0 ? std::optional<bool>(true) : std::nullopt) << path;
  }

  size_t checked = 0;
  for (const test::ManifestFile& m : test::ReadManifest("ntfs/ntfs_small.manifest")) {
    const std::string& path = m.path;
    const std::string name = path.substr(path.rfind('/') + 1);
    const FoundFileRecord* match = nullptr;
    for (const auto& [p, r] : tree) {
      if (r.isFolder == 0 && (p == path || (p.starts_with("LostFolder") && p.ends_with("/" + name))))
        match = &r;
    }
    ASSERT_NE(match, nullptr) << path;
    const fs::path out = dir.path() / "out" / std::to_string(checked++);
    ASSERT_EQ(engine.RecoverRecord(match, out, 0), 0) << path;
    const auto data = test::ReadFile(out);
    EXPECT_EQ(data.size(), m.size) << path;
    EXPECT_EQ(test::Crc(data), m.crc) << path;
  }
  EXPECT_GT(checked, 20u);
}

// Two NTFS volumes on one disk, of different cluster sizes: each file is placed in its own volume and
// recovers byte for byte.
TEST(DeepNtfsFixture, EachFileGetsTheVolumeStartOfItsOwnMft) {
  test::ScratchScanStore appData;
  test::TempDir dir;
  const fs::path image = dir.path() / "two.img";
  test::GunzipFixture("ntfs/ntfs_two_volumes.img.gz", image);
  const std::vector<uint8_t> bytes = test::ReadFile(image);
  CProfessionalNtfsRecovery engine{appData.store()};
  ASSERT_EQ(engine.Open(ImageVolume(image, u'N')), 0u);
  ASSERT_EQ(engine.StartPass(""), 0u);
  FeedRecords(engine, bytes);
  ASSERT_EQ(engine.FinishPass(), 0);

  // Both volumes hold the same paths, so the tree lists each path twice, once per volume.
  size_t listed = 0;
  const auto tree = FoundTree(engine, &listed);
  EXPECT_EQ(tree.count("photos/2024/picture 1.bin"), 1u);
  EXPECT_EQ(tree.count("docs/note3.txt"), 1u);
  // "volume start<TAB>path<TAB>size<TAB>crc32" a line.
  std::map<std::pair<uint64_t, std::string>, test::ManifestFile> manifest;
  for (const auto& row : test::FixtureRows("ntfs/ntfs_two_volumes.manifest"))
    manifest[{std::stoull(row[0]), row[1]}] = {row[1], std::stoull(row[2]), test::CrcField(row[3])};
  ASSERT_EQ(manifest.size(), 14u);
  size_t matched = 0;
  RecordList all;
  ASSERT_EQ(engine.SearchByType("*.bin|*.txt|", all), 1u);
  for (const auto& [key, expected] : manifest) {
    // Folder records of the two volumes share numbers, so a path's records are told apart by volume start.
    const FoundFileRecord* match = nullptr;
    for (const FoundFileRecord& r : all) {
      if (r.volumeStartSector == key.first && key.second.ends_with(std::string(r.Name())) &&
          r.fileSize == expected.size) {
        match = &r;
      }
    }
    ASSERT_NE(match, nullptr) << key.first << " " << key.second;
    EXPECT_EQ(match->clusterSize, key.first == 2048 ? 4096u : 1024u) << key.second;
    const fs::path out = dir.path() / "out" / std::to_string(matched++);
    ASSERT_EQ(engine.RecoverRecord(match, out, 0), 0) << key.second;
    EXPECT_EQ(test::Crc(test::ReadFile(out)), expected.crc) << key.first << " " << key.second;
  }
}

}  // namespace
}  // namespace snapsave
