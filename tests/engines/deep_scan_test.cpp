#include "engines/deep_scan_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "catalog/saved_scan_store.h"
#include "engines/engine_factory.h"
#include "filetypes/carving_context.h"
#include "fs/fat/fat_quick_engine.h"
#include "tests/support/carve_test_support.h"
#include "tests/support/scan_store.h"
#include "tests/support/test_support.h"

namespace snapsave {
namespace {

namespace fs = std::filesystem;
constexpr uint32_t kSector = 512;

using test::Media;

// Bytes that no test mistakes for a structure: a fixed pseudo-random stream.
std::vector<uint8_t> Noise(size_t bytes, uint32_t seed) {
  std::vector<uint8_t> out(bytes);
  uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  for (uint8_t& b : out) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    b = static_cast<uint8_t>(x >> 24);
  }
  return out;
}

void Place(std::vector<uint8_t>& image, uint64_t sector, const std::vector<uint8_t>& file) {
  std::copy(file.begin(), file.end(), image.begin() + static_cast<std::ptrdiff_t>(sector * kSector));
  // The rest of the last sector is zero, as on a medium where the file ended.
  const size_t end = sector * kSector + file.size();
  std::fill(image.begin() + static_cast<std::ptrdiff_t>(end),
            image.begin() + static_cast<std::ptrdiff_t>((end + kSector - 1) / kSector * kSector), 0);
}

struct Reports {
  struct One {
    int32_t progress, weight;
    uint64_t current, total;
  };
  std::vector<One> seen;
  uint64_t stopAt = UINT64_MAX;  // answer ScanCancelled once the pass got this far
};

int32_t Record(void* context, int32_t progress, int32_t weight, int32_t, uint64_t current, uint64_t total,
               uint64_t, uint32_t) {
  auto* r = static_cast<Reports*>(context);
  r->seen.push_back({progress, weight, current, total});
  return weight == CProfessionalRecovery::kWeight && current >= r->stopAt ? ScanCancelled : 0;
}

class DeepScan : public ::testing::Test {
 protected:
  std::unique_ptr<IFileRecoveryParse> Open(const fs::path& image) {
    auto engine = CreateScanEngine(appData_.store(), ImageVolume(image, u'D'), true);
    EXPECT_NE(dynamic_cast<CProfessionalRecovery*>(engine.get()), nullptr);
    return engine;
  }
  fs::path Write(const std::vector<uint8_t>& bytes, const std::string& name = "disk.img") {
    const fs::path p = dir_.path() / name;
    test::WriteFile(p, bytes);
    return p;
  }
  static std::set<std::string> Carved(IFileRecoveryParse& engine, size_t* count = nullptr) {
    RecordList all;
    engine.SearchByType(std::string(kPhotoList) + std::string(kVideoList) + std::string(kAudioList), all);
    std::set<std::string> names;
    size_t n = 0;
    for (const FoundFileRecord& r : all) {
      if (r.Kind() != SourceKind::kCarved) continue;
      names.insert(std::string(r.Name()));
      ++n;
    }
    if (count != nullptr) *count = n;
    return names;
  }

  test::ScratchScanStore appData_{[](const fs::path&, uint64_t) { return uint64_t{0}; }};
  test::TempDir dir_;
};

// Without a recognised file system there is no quick engine: the whole volume is the extent and the pass
// reports from 10 on.
TEST_F(DeepScan, AnUnknownVolumeIsScannedWholeFromTen) {
  const fs::path image = Write(Noise(4 << 20, 1));
  auto engine = Open(image);
  auto* deep = dynamic_cast<CProfessionalRecovery*>(engine.get());
  ASSERT_NE(deep, nullptr);
  EXPECT_EQ(deep->QuickEngine(), nullptr);
  Reports reports;
  engine->SetCallbacks(Record, nullptr, &reports, 100);
  ASSERT_EQ(engine->Scan({}), 0);
  ASSERT_GE(reports.seen.size(), 2u);
  EXPECT_EQ(reports.seen.front().weight, CProfessionalRecovery::kWeight);
  EXPECT_EQ(reports.seen.front().total, 8192u);
  EXPECT_EQ(reports.seen.front().progress, static_cast<int32_t>(128 * 100 / 8192 + 10));
  EXPECT_EQ(reports.seen.back().progress, 100);
  EXPECT_EQ(reports.seen.back().weight, 100);
}

// A FAT volume's quick engine gives the map of free clusters: only those runs are read, and the progress
// total is their sum.
TEST_F(DeepScan, AFatVolumeScansOnlyItsFreeRuns) {
  const fs::path image = dir_.path() / "fat32.img";
  test::GunzipFixture("fat/fat32.img.gz", image);
  uint64_t free = 0;
  {
    CFastFatRecovery quick(appData_.store());
    ASSERT_EQ(quick.Open(ImageVolume(image, u'Q')), 0u);
    quick.BuildAllocationMap();
    for (uint64_t at = 0;;) {
      uint64_t length = 0;
      quick.NextUnallocatedRun(at, length);
      if (length == 0) break;
      free += length;
      at += length;
    }
  }
  auto engine = Open(image);
  Reports reports;
  engine->SetCallbacks(Record, nullptr, &reports, 100);
  ASSERT_EQ(engine->Scan({}), 0);
  uint64_t total = 0;
  for (const auto& r : reports.seen) {
    if (r.weight == CProfessionalRecovery::kWeight && r.total != 0) total = r.total;
  }
  EXPECT_GT(free, 0u);
  EXPECT_EQ(total, free);
  EXPECT_LT(total, fs::file_size(image) / kSector);
}

// A carved file that runs past the end of its chunk moves the pass on to its end.
TEST_F(DeepScan, ACarvedFileRunningPastItsChunkMovesThePassBeyondIt) {
  std::vector<uint8_t> image = Noise(1 << 20, 2);
  const std::vector<uint8_t> movie = Media("movie.mp4");
  const std::vector<uint8_t> photo = Media("photo.jpg");
  Place(image, 124, movie);  // 8 sectors from 124: across the first chunk's end at 128
  Place(image, 400, photo);
  auto engine = Open(Write(image));
  Reports reports;
  engine->SetCallbacks(Record, nullptr, &reports, 100);
  ASSERT_EQ(engine->Scan({}), 0);
  RecordList all;
  engine->SearchByType(kVideoList, all);
  ASSERT_EQ(all.size(), 1u);
  ASSERT_EQ(all[0].entryLocation, 124u);
  const uint64_t end = 124 + (all[0].fileSize + kSector - 1) / kSector;
  EXPECT_GT(end, 128u);
  EXPECT_EQ(Carved(*engine).count("400.jpg"), 1u);
  // The report after the first chunk counts the movie's sectors past the chunk's end: the next chunk starts
  // where the movie ends.
  EXPECT_TRUE(std::ranges::any_of(reports.seen, [&](const Reports::One& r) {
    return r.weight == CProfessionalRecovery::kWeight && r.current == end;
  }));
}

// Pictures decoded on worker threads ahead of the pass carve exactly what the pass decoding each itself
// carves: whole ones, one cut short, one in two pieces, and one inside another's extent.
TEST_F(DeepScan, PicturesCheckedAheadCarveAsThePassAloneDoes) {
  std::vector<uint8_t> image = Noise(8 << 20, 3);
  const std::vector<uint8_t> photo = Media("photo.jpg");
  const std::vector<uint8_t> large = Media("large.jpg");
  const std::vector<uint8_t> pic = Media("pic.jpg");
  Place(image, 100, photo);
  Place(image, 2000, large);
  Place(image, 2600, pic);
  // Cut short: its first half, then noise.
  Place(image, 6000,
        std::vector<uint8_t>(photo.begin(), photo.begin() + static_cast<std::ptrdiff_t>(photo.size() / 2)));
  // Two pieces 40 sectors apart.
  const size_t head = (large.size() / 2) / kSector * kSector;
  Place(image, 9000, std::vector<uint8_t>(large.begin(), large.begin() + static_cast<std::ptrdiff_t>(head)));
  Place(image, 9000 + head / kSector + 40,
        std::vector<uint8_t>(large.begin() + static_cast<std::ptrdiff_t>(head), large.end()));
  for (uint64_t sector = 12000; sector < 16000; sector += 700) Place(image, sector, pic);
  const fs::path path = Write(image);

  auto listing = [&](unsigned workers) {
    CProfessionalRecovery engine{appData_.store()};
    engine.SetCheckWorkers(workers);
    EXPECT_EQ(engine.Open(ImageVolume(path, u'D')), 0u);
    EXPECT_EQ(engine.Scan({}), 0);
    RecordList all;
    engine.SearchByType(kPhotoList, all);
    std::vector<std::string> rows;
    for (const FoundFileRecord& r : all)
      rows.push_back(std::string(r.Name()) + " " + std::to_string(r.fileSize) +
                     (r.isIntact != 0 ? "" : " damaged"));
    std::sort(rows.begin(), rows.end());
    return rows;
  };
  const std::vector<std::string> alone = listing(0);
  EXPECT_TRUE(std::ranges::count(alone, "100.jpg " + std::to_string(photo.size())) == 1);
#ifdef SNAPSAVE_HAVE_LIBJPEG  // the joins and the damage are told by decoding
  EXPECT_TRUE(std::ranges::count(alone, "9000.jpg " + std::to_string(large.size())) == 1);
  EXPECT_TRUE(std::ranges::any_of(
      alone, [](const std::string& r) { return r.starts_with("6000.jpg") && r.ends_with("damaged"); }));
#endif
  EXPECT_EQ(listing(1), alone);
  EXPECT_EQ(listing(2), alone);
}

#ifdef SNAPSAVE_HAVE_LIBJPEG  // damage is told by decoding
// A carve where a file the metadata found starts skips its decode only where the listing shows that file
// instead: a broken picture at a deleted text file's start is still checked and listed damaged.
TEST_F(DeepScan, ABrokenPictureWhereAnotherKindOfFileStartsIsStillChecked) {
  const fs::path image = dir_.path() / "fat32.img";
  test::GunzipFixture("fat/fat32.img.gz", image);
  // The deleted _GAIN.TXT (1090 bytes) and _IGHWORD.JPG (1042 bytes) of the fixture, as the quick scan finds
  // them.
  std::optional<uint64_t> text, photo;
  {
    CFastFatRecovery quick(appData_.store());
    ASSERT_EQ(quick.Open(ImageVolume(image, u'Q')), 0u);
    ASSERT_EQ(quick.Scan({}), 0);
    RecordList found;
    quick.SearchByType("*.txt|*.jpg|", found);
    for (const FoundFileRecord& r : found) {
      // Where its first cluster starts, as the merge places it.
      const uint64_t first = r.dataStartSector + uint64_t{r.entryRef - 2} * (r.clusterSize / kSector);
      if (r.fileSize == 1090) text = first;
      if (r.fileSize == 1042) photo = first;
    }
  }
  ASSERT_TRUE(text && photo);
  // A one-sector picture whose coded data lost its middle: its markers are whole, its decode ends early.
  std::vector<uint8_t> broken = Media("pic.jpg");
  ASSERT_LE(broken.size(), kSector);
  constexpr uint8_t kStartOfScan[] = {0xFF, 0xDA};
  const auto scan =
      std::search(broken.begin(), broken.end(), std::begin(kStartOfScan), std::end(kStartOfScan));
  ASSERT_NE(scan, broken.end());
  // The scan header is 14 bytes; 8 bytes of coded data stay, then the last 8 of the file with its end marker.
  const auto coded = scan + 14;
  ASSERT_LT(coded + 16, broken.end());
  broken.erase(coded + 8, broken.end() - 8);
  std::vector<uint8_t> bytes = test::ReadFile(image);
  Place(bytes, *text, broken);
  Place(bytes, *photo, broken);
  test::WriteFile(image, bytes);

  auto engine = Open(image);
  ASSERT_EQ(engine->Scan({}), 0);
  RecordList all;
  engine->SearchByType(kPhotoList, all);
  const std::string atText = std::to_string(*text) + ".jpg";
  const std::string atPhoto = std::to_string(*photo) + ".jpg";
  const auto carved = [&](const std::string& name) {
    return std::ranges::find_if(all, [&](const FoundFileRecord& r) { return r.Name() == name; });
  };
  ASSERT_NE(carved(atText), all.end());
  EXPECT_EQ(carved(atText)->isIntact, 0);
  // The carve at the photo's start is left out of the listing: the photo is listed as the file system has it.
  EXPECT_EQ(carved(atPhoto), all.end());
}
#endif

// Two deep scans in one process, the second run from inside the first one's progress report (a second source
// scanned meanwhile): each keeps its own carving state, and each saves its position in its own folder.
TEST_F(DeepScan, ASecondScanInsideTheFirstDisturbsNeither) {
  std::vector<uint8_t> a = Noise(2 << 20, 4);
  std::vector<uint8_t> b = Noise(1 << 20, 5);
  Place(a, 100, Media("long.ts"));
  Place(a, 3000, Media("photo.jpg"));
  Place(b, 60, Media("pic.png"));
  Place(b, 700, Media("movie.ts"));
  auto carvedAlone = [&](const std::vector<uint8_t>& bytes, const std::string& name) {
    auto engine = Open(Write(bytes, name));
    EXPECT_EQ(engine->Scan({}), 0);
    RecordList all;
    engine->SearchByType(std::string(kPhotoList) + std::string(kVideoList), all);
    std::set<std::pair<std::string, uint64_t>> out;
    for (const FoundFileRecord& r : all) out.emplace(std::string(r.Name()), r.fileSize);
    return out;
  };
  const auto aloneA = carvedAlone(a, "a-alone.img");
  const auto aloneB = carvedAlone(b, "b-alone.img");
  ASSERT_EQ(aloneA.size(), 2u);
  ASSERT_EQ(aloneB.size(), 2u);

  auto first = Open(Write(a, "a.img"));
  auto second = Open(Write(b, "b.img"));
  struct Nested {
    IFileRecoveryParse* inner;
    bool ran = false;
    int32_t result = -1;
  } nested{second.get()};
  first->SetCallbacks(
      [](void* context, int32_t, int32_t weight, int32_t, uint64_t, uint64_t, uint64_t, uint32_t) {
        auto* n = static_cast<Nested*>(context);
        // The first report of the pass comes from inside the stream's length rule.
        if (!n->ran && weight == CProfessionalRecovery::kWeight) {
          n->ran = true;
          n->result = n->inner->Scan({});
        }
        return 0;
      },
      nullptr, &nested, 100);
  ASSERT_EQ(first->Scan({}), 0);
  ASSERT_TRUE(nested.ran);
  EXPECT_EQ(nested.result, 0);
  auto carved = [](IFileRecoveryParse& engine) {
    RecordList all;
    engine.SearchByType(std::string(kPhotoList) + std::string(kVideoList), all);
    std::set<std::pair<std::string, uint64_t>> out;
    for (const FoundFileRecord& r : all) out.emplace(std::string(r.Name()), r.fileSize);
    return out;
  };
  EXPECT_EQ(carved(*first), aloneA);
  EXPECT_EQ(carved(*second), aloneB);

  std::set<std::u16string> folders;
  for (const SavedScanRecord& r : appData_.store().Records()) folders.insert(r.Folder());
  EXPECT_EQ(folders.size(), appData_.store().Records().size());
  for (const char* image : {"a.img", "b.img"}) {
    const auto saved = appData_.store().FindImageScan(dir_.path() / image);
    ASSERT_TRUE(saved.has_value()) << image;
    EXPECT_TRUE(appData_.store().FindFileByPrefix(fs::path(saved->Folder()), "File_Type_").has_value())
        << image;
  }
}

// The merge drops a carved file only where a file-system engine found the same file: same first data sector
// and the same type (a thumbnail carved as a JPEG counts), and a deep engine's find of a file the quick
// engine listed.
TEST_F(DeepScan, MergedResultsDropCarvedAndDeepDuplicatesOnly) {
  CProfessionalRecovery engine{appData_.store()};
  auto fat = [](SourceKind kind, const char* name, uint32_t cluster) {
    FoundFileRecord r = MakeEmptyRecord();
    r.sourceKind = static_cast<uint32_t>(kind);
    r.entryRef = cluster;
    r.clusterSize = 4096;
    r.dataStartSector = 100;
    r.SetName(name);
    return r;
  };
  auto carved = [](const char* name, uint64_t sector) {
    FoundFileRecord r = MakeEmptyRecord();
    r.sourceKind = static_cast<uint32_t>(SourceKind::kCarved);
    r.clusterSize = kNoClusterSize;
    r.entryLocation = sector;
    r.SetName(name);
    return r;
  };
  // Clusters 5, 6, 7 begin at sectors 124, 132, 140.
  const FoundFileRecord photo = fat(SourceKind::kFatQuick, "photo.JPG", 5);
  const FoundFileRecord clip = fat(SourceKind::kFatQuick, "clip.mp4", 6);
  const FoundFileRecord thumb = fat(SourceKind::kFatDeep, "thumb.thm", 7);
  for (const auto& r : {photo, clip, thumb}) engine.NoteForMerge(r);
  EXPECT_FALSE(engine.KeptInMerge(carved("124.jpg", 124)));
  EXPECT_TRUE(engine.KeptInMerge(carved("132.mov", 132)));
  EXPECT_FALSE(engine.KeptInMerge(carved("140.jpg", 140)));
  EXPECT_TRUE(engine.KeptInMerge(carved("148.jpg", 148)));
  EXPECT_TRUE(engine.KeptInMerge(photo));
  EXPECT_FALSE(engine.KeptInMerge(fat(SourceKind::kFatDeep, "PHOTO.jpg", 5)));
  EXPECT_TRUE(engine.KeptInMerge(fat(SourceKind::kFatDeep, "other.jpg", 5)));
  EXPECT_TRUE(engine.KeptInMerge(thumb));
}

// A scan stopped halfway is found again on the next open of the unchanged image and continued from where it
// stopped: it ends with the files of an uninterrupted scan, none twice. A changed image loses its saved scan.
TEST_F(DeepScan, AStoppedScanContinuesAndAChangedImageStartsAfresh) {
  std::vector<uint8_t> image = Noise(8 << 20, 3);
  const std::vector<std::string> names = {"photo.jpg", "pic.png",  "pic.gif",
                                          "movie.mp4", "tone.wav", "pic.bmp"};
  for (size_t i = 0; i < 24; ++i) Place(image, 300 + i * 650, Media(names[i % names.size()]));
  const fs::path whole = Write(image, "whole.img");
  const fs::path halves = Write(image, "halves.img");

  std::set<std::string> expected;
  {
    auto engine = Open(whole);
    ASSERT_EQ(engine->Scan({}), 0);
    expected = Carved(*engine);
  }
  ASSERT_GE(expected.size(), 20u);
  {
    auto engine = Open(halves);
    Reports reports;
    reports.stopAt = image.size() / kSector / 2;
    engine->SetCallbacks(Record, nullptr, &reports, 100);
    EXPECT_EQ(engine->Scan({}), ScanCancelled);
    EXPECT_LT(Carved(*engine).size(), expected.size());
  }
  {
    auto engine = Open(halves);
    auto* deep = dynamic_cast<CProfessionalRecovery*>(engine.get());
    ASSERT_TRUE(deep->HasSavedProgress());
    ASSERT_EQ(engine->Scan({}), 0);
    RecordList root;
    engine->ListFolder(nullptr, 0, root);
    size_t count = 0;
    EXPECT_EQ(Carved(*engine, &count), expected);
    EXPECT_EQ(count, expected.size());
  }
  // Written to since: the saved scan is of another image now.
  {
    std::vector<uint8_t> changed = image;
    changed[10] ^= 0xFF;
    const auto before = fs::last_write_time(halves);
    test::WriteFile(halves, changed);
    fs::last_write_time(halves, before + std::chrono::seconds(5));
    auto engine = Open(halves);
    EXPECT_FALSE(dynamic_cast<CProfessionalRecovery*>(engine.get())->HasSavedProgress());
  }
}

// Sectors the pass cannot read (here: an image cut short while it is scanned) are skipped and counted; the
// scan goes on and ends normally with what could be read.
TEST_F(DeepScan, UnreadableSectorsAreSkippedCountedAndTheScanGoesOn) {
  std::vector<uint8_t> image = Noise(2 << 20, 4);
  Place(image, 500, Media("photo.jpg"));
  const fs::path path = Write(image);
  auto engine = Open(path);
  auto* deep = dynamic_cast<CProfessionalRecovery*>(engine.get());
  fs::resize_file(path, image.size() / 2 + 100 * kSector);
  ASSERT_EQ(engine->Scan({}), 0);
  EXPECT_EQ(deep->UnreadableSectors(), image.size() / 2 / kSector - 100);
  EXPECT_EQ(deep->FirstUnreadableSector(), image.size() / 2 / kSector + 100);
  EXPECT_EQ(Carved(*engine).count("500.jpg"), 1u);
}

}  // namespace
}  // namespace snapsave
