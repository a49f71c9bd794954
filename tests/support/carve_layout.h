// Synthetic images for the carving tests, laid out sector by sector, and a carve pass over them as the deep
// scan runs it.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "carve/file_type_recovery.h"
#include "catalog/saved_scan_store.h"
#include "os/error.h"
#include "os/paths.h"
#include "tests/support/carve_test_support.h"

namespace snapsave::test {

inline constexpr uint32_t kCarveSector = 512;

// Builds an image sector by sector: files start on sector boundaries, the rest of a file's last sector is
// zero (as systems write it) or random, and the filler between files is random or zero.
class Layout {
 public:
  void Random(size_t sectors) {
    for (size_t i = 0; i < sectors * kCarveSector; ++i) bytes_.push_back(static_cast<uint8_t>(rng_()));
  }
  void Zeros(size_t sectors) { bytes_.resize(bytes_.size() + sectors * kCarveSector, 0); }
  // A sector that starts a file no rule carves: it ends any walk.
  void Stopper() {
    const size_t at = bytes_.size();
    Zeros(1);
    std::memcpy(&bytes_[at], "MSCF", 4);  // a cabinet: recognised, never carved
  }
  uint64_t Place(const std::vector<uint8_t>& file, bool randomTail) {
    const uint64_t sector = bytes_.size() / kCarveSector;
    bytes_.insert(bytes_.end(), file.begin(), file.end());
    while (bytes_.size() % kCarveSector != 0)
      bytes_.push_back(randomTail ? static_cast<uint8_t>(rng_() | 1) : 0);
    return sector;
  }
  std::vector<uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
  std::mt19937 rng_{20261207};
};

struct Carved {
  std::string name;
  uint64_t size = 0;
  uint64_t consumed = 0;
};

// What a deep scan's pass does with the carver: every sector offered in turn, moving on by what it consumed.
inline std::map<uint64_t, Carved> CarvePass(CFileTypeRecovery& engine, const SectorImage& image,
                                            uint64_t sectors) {
  std::map<uint64_t, Carved> out;
  uint64_t found = 0;
  for (uint64_t s = 0; s < sectors;) {
    const std::vector<uint8_t> sector = image.Sector(s);
    uint64_t consumed = 0;
    const uint64_t before = found;
    const int32_t r =
        engine.CarveAt(sector, s, s, sectors, -1, &image.reader(), kCarveSector, consumed, found);
    EXPECT_TRUE(r == 0 || r == static_cast<int32_t>(err::kInvalidParameter)) << r;
    EXPECT_GE(consumed, 1u);
    if (r == 0) {
      EXPECT_EQ(found, before + 1);
      out[s].consumed = consumed;
    }
    s += consumed;
  }
  RecordList records;
  EXPECT_EQ(engine.ListFolder(nullptr, 0, records), 0u);
  for (const FoundFileRecord& r : records) {
    out[r.entryLocation].name = std::string(r.Name());
    out[r.entryLocation].size = r.fileSize;
  }
  return out;
}

// An engine attached to an image, as the deep scan attaches it.
class Carver {
 public:
  explicit Carver(const SectorImage& image) : image_(image) {
    EXPECT_EQ(engine.Attach(ImageVolume(image.path(), u'C'), "File_Type_test", kCarveSector,
                            FoundFileCatalogue::Mode::kFresh),
              0u);
  }
  std::map<uint64_t, Carved> Pass(uint64_t sectors) { return CarvePass(engine, image_, sectors); }
  std::map<uint64_t, Carved> Pass() { return Pass(image_.reader().TotalSectors()); }
  // CarveAt on one sector; returns its result and fills `consumed`.
  int32_t At(uint64_t sector, uint64_t& consumed, uint64_t scanTotal = 1000) {
    uint64_t found = 0;
    return engine.CarveAt(image_.Sector(sector), sector, sector, scanTotal, -1, &image_.reader(),
                          kCarveSector, consumed, found);
  }
  // Over the scan-log folder of the test's scratch data folder; before the engine, which keeps it.
  SavedScanStore store{os::ScanLogFolder()};
  CFileTypeRecovery engine{store};

 private:
  const SectorImage& image_;
};

// Every carved file recovered into `folder`, by start sector: whether it is listed intact, and its bytes.
struct Saved {
  bool intact = false;
  std::vector<uint8_t> bytes;
  std::string name;
};
inline std::map<uint64_t, Saved> RecoverAll(CFileTypeRecovery& engine, const std::filesystem::path& folder) {
  std::map<uint64_t, Saved> out;
  RecordList records;
  EXPECT_EQ(engine.ListFolder(nullptr, 0, records), 0u);
  for (const FoundFileRecord& r : records) {
    const std::filesystem::path to = folder / std::string(r.Name());
    EXPECT_EQ(engine.RecoverRecord(&r, to, 0), 0) << r.Name();
    out[r.entryLocation] = {r.isIntact != 0, ReadFile(to), std::string(r.Name())};
  }
  return out;
}

}  // namespace snapsave::test
