// Rescue copies of failing media: what the passes read, what the map says, and that an interrupted copy
// resumes to the same image and map as one that ran through. ddrescue's own ddrescuelog reads the map where
// installed.
#include "storage/rescue_copy.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "os/error.h"
#include "tests/support/test_support.h"

namespace snapsave {
namespace {

namespace fs = std::filesystem;

// A medium whose sectors in `bad` fail every read that touches them (or, with `healAfter`, only the first
// `healAfter` reads of each); counts reads per sector. With `dieAfter`, every read after that many fails
// with `death` (a card that died for good, or one pulled out).
class FailingSource final : public ImageSource {
 public:
  FailingSource(std::vector<uint8_t> bytes, std::set<uint64_t> bad, int healAfter = -1)
      : bytes_(std::move(bytes)), bad_(std::move(bad)), healAfter_(healAfter) {}
  uint32_t ReadAt(uint64_t offset, std::span<uint8_t> buffer, size_t& got) override {
    got = 0;
    if (dieAfter >= 0 && ++served > dieAfter) {
      ++failedAfterDeath;
      return death;
    }
    if (offset >= bytes_.size()) return err::kSuccess;
    const size_t n = std::min<size_t>(buffer.size(), bytes_.size() - offset);
    for (uint64_t s = offset / 512; s <= (offset + n - 1) / 512; ++s) {
      ++reads[s];
      if (bad_.count(s) != 0 && (healAfter_ < 0 || reads[s] <= healAfter_)) return err::kReadFault;
    }
    std::copy_n(bytes_.begin() + static_cast<ptrdiff_t>(offset), n, buffer.begin());
    got = n;
    return err::kSuccess;
  }
  std::map<uint64_t, int> reads;
  int dieAfter = -1;
  uint32_t death = err::kReadFault;
  int served = 0;
  int failedAfterDeath = 0;

 private:
  std::vector<uint8_t> bytes_;
  std::set<uint64_t> bad_;
  int healAfter_;
};

std::vector<uint8_t> Medium(size_t sectors) {
  std::vector<uint8_t> v(sectors * 512);
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>(i * 13 + i / 512 + 1);
  return v;
}

// The medium as the image should hold it: bad sectors zero.
std::vector<uint8_t> Expected(std::vector<uint8_t> v, const std::set<uint64_t>& bad) {
  for (uint64_t s : bad) std::fill_n(v.begin() + static_cast<ptrdiff_t>(s * 512), 512, 0);
  return v;
}

std::set<uint64_t> BadSectorsOf(const RescueMap& map) {
  std::set<uint64_t> bad;
  for (const auto& r : map.Ranges()) {
    if (r.status != BlockStatus::kBad) continue;
    for (uint64_t s = r.pos / 512; s < (r.pos + r.size) / 512; ++s) bad.insert(s);
  }
  return bad;
}

class RescueCopyTest : public ::testing::Test {
 protected:
  RescueOptions Options() const {
    RescueOptions o;
    o.blockBytes = 64 << 10;
    o.firstSkipBytes = 32 << 10;
    o.saveIntervalMs = 0;  // every step: a stop anywhere finds the map current
    o.commandLine = "snapsave-cli image test";
    return o;
  }
  test::TempDir dir_;
  fs::path image_ = dir_.path() / "card.img";
  fs::path map_ = dir_.path() / "card.img.map";
};

// Bad areas come back as exactly their sectors, zero in the image; the first pass reads each at most a
// couple of times, the rest of the medium once.
TEST_F(RescueCopyTest, BadAreasAreTrimmedAndScrapedToTheirSectors) {
  const std::vector<uint8_t> medium = Medium(4096);  // 2 MiB
  std::set<uint64_t> bad = {5, 6, 7, 300, 1500};
  for (uint64_t s = 2000; s < 2300; ++s) bad.insert(s);  // a scratch of 150 KiB
  FailingSource source(medium, bad);
  RescueMap map;
  ASSERT_EQ(RescueCopy::Run(source, medium.size(), image_, map_, Options(), map), 0);
  EXPECT_EQ(map.phase, RescuePhase::kFinished);
  EXPECT_EQ(BadSectorsOf(map), bad);
  EXPECT_EQ(map.Bytes(BlockStatus::kFinished) + map.Bytes(BlockStatus::kBad), medium.size());
  EXPECT_TRUE(test::ReadFile(image_) == Expected(medium, bad));
  // The first and last sectors are read again now and then in long bad runs, to tell a bad area from a
  // medium that stopped answering.
  const uint64_t last = medium.size() / 512 - 1;
  int most = 0;
  for (const auto& [sector, n] : source.reads) {
    if (sector != 0 && sector != last) most = std::max(most, bad.count(sector) != 0 ? 0 : n);
  }
  EXPECT_LE(most, 2) << "a good sector read over and over";
  EXPECT_LE(source.reads[0] + source.reads[last], 12);
  for (uint64_t s : bad) EXPECT_LE(source.reads[s], 3) << s;

  // The map on disk says the same, and reads back.
  const std::optional<RescueMap> saved = RescueMap::Load(map_, medium.size());
  ASSERT_TRUE(saved);
  EXPECT_EQ(BadSectorsOf(*saved), bad);
  EXPECT_EQ(saved->phase, RescuePhase::kFinished);
}

// Sectors that fail only at first come back in the retry passes.
TEST_F(RescueCopyTest, RetriesRecoverSectorsThatHealed) {
  const std::vector<uint8_t> medium = Medium(1024);
  FailingSource source(medium, {10, 11, 700}, /*healAfter=*/2);
  RescueOptions options = Options();
  options.retries = 2;
  RescueMap map;
  ASSERT_EQ(RescueCopy::Run(source, medium.size(), image_, map_, options, map), 0);
  EXPECT_EQ(map.Bytes(BlockStatus::kBad), 0u);
  EXPECT_TRUE(test::ReadFile(image_) == medium);
}

// Stopped after every possible number of steps, then resumed: the same image and map as an uninterrupted
// copy.
TEST_F(RescueCopyTest, AnInterruptedCopyResumesToTheSameResult) {
  const std::vector<uint8_t> medium = Medium(2048);
  std::set<uint64_t> bad = {3, 400, 401, 1900};
  for (uint64_t s = 1000; s < 1100; ++s) bad.insert(s);
  RescueMap whole;
  {
    FailingSource source(medium, bad);
    ASSERT_EQ(RescueCopy::Run(source, medium.size(), dir_.path() / "whole.img", dir_.path() / "whole.map",
                              Options(), whole),
              0);
  }
  for (int stopAfter : {1, 2, 5, 17, 40, 100, 230}) {
    SCOPED_TRACE(stopAfter);
    fs::remove(image_);
    fs::remove(map_);
    int steps = 0;
    RescueMap map;
    FailingSource first(medium, bad);
    const int32_t stopped =
        RescueCopy::Run(first, medium.size(), image_, map_, Options(), map,
                        [&](const RescueMap&) { return ++steps >= stopAfter ? 1223 : 0; });
    if (stopped == 0) continue;  // finished before the stop
    ASSERT_EQ(stopped, 1223);
    FailingSource second(medium, bad);
    ASSERT_EQ(RescueCopy::Run(second, medium.size(), image_, map_, Options(), map), 0);
    EXPECT_EQ(BadSectorsOf(map), BadSectorsOf(whole));
    EXPECT_TRUE(test::ReadFile(image_) == Expected(medium, bad));
    // Only what the first run left was read again.
    for (const auto& [sector, n] : second.reads) {
      if (bad.count(sector) == 0) {
        EXPECT_LE(n, sector == 0 || sector == medium.size() / 512 - 1 ? 6 : 2) << sector;
      }
    }
  }
  // A map without its image, or for another size, is not believed: the copy starts over.
  fs::remove(image_);
  FailingSource again(medium, {});
  RescueMap fresh;
  ASSERT_EQ(RescueCopy::Run(again, medium.size(), image_, map_, Options(), fresh), 0);
  EXPECT_TRUE(test::ReadFile(image_) == medium);
}

// A medium that stops answering mid-copy, pulled out or dead for good (every read failing), stops the copy
// within a few reads with what it did not give left untried, not marked bad; back again, the same copy goes
// on to the image and map of one that ran through.
TEST_F(RescueCopyTest, AMediumThatStopsAnsweringStopsTheCopyAndItGoesOnWhenBack) {
  const std::vector<uint8_t> medium = Medium(4096);
  std::set<uint64_t> bad = {3, 900, 901};
  for (uint64_t s = 2000; s < 2100; ++s) bad.insert(s);
  for (const uint32_t death : {err::kReadFault, err::kDeviceGone}) {
    for (int dieAfter : {1, 10, 40, 150}) {
      SCOPED_TRACE(testing::Message() << death << " after " << dieAfter);
      fs::remove(image_);
      fs::remove(map_);
      FailingSource dying(medium, bad);
      dying.dieAfter = dieAfter;
      dying.death = death;
      RescueMap map;
      RescueOptions options = Options();
      options.saveIntervalMs = 60000;  // the stop saves the map itself
      const int32_t result = RescueCopy::Run(dying, medium.size(), image_, map_, options, map);
      if (result == 0) continue;  // finished before it died
      EXPECT_EQ(result, static_cast<int32_t>(err::kDeviceGone));
      EXPECT_LE(dying.failedAfterDeath, 20);
      for (uint64_t s : BadSectorsOf(map)) EXPECT_EQ(bad.count(s), 1u) << "a good sector marked bad: " << s;
      const std::optional<RescueMap> saved = RescueMap::Load(map_, medium.size());
      ASSERT_TRUE(saved);
      EXPECT_EQ(saved->Bytes(BlockStatus::kFinished), map.Bytes(BlockStatus::kFinished));
      EXPECT_LT(map.Bytes(BlockStatus::kFinished) + map.Bytes(BlockStatus::kBad), medium.size());

      FailingSource back(medium, bad);
      ASSERT_EQ(RescueCopy::Run(back, medium.size(), image_, map_, options, map), 0);
      EXPECT_EQ(BadSectorsOf(map), bad);
      EXPECT_TRUE(test::ReadFile(image_) == Expected(medium, bad));
    }
  }
}

TEST(RescueMap, SetJoinsAndSplitsRangesAndTheTextRoundTrips) {
  RescueMap map(10000);
  map.Set(1000, 500, BlockStatus::kFinished);
  map.Set(1500, 500, BlockStatus::kFinished);
  map.Set(1200, 100, BlockStatus::kBad);
  map.Set(9900, 1000, BlockStatus::kNonScraped);  // clipped at the end
  ASSERT_EQ(map.Ranges().size(), 6u);
  EXPECT_EQ(map.Ranges()[1].pos, 1000u);
  EXPECT_EQ(map.Ranges()[1].size, 200u);
  EXPECT_EQ(map.Ranges()[2].status, BlockStatus::kBad);
  EXPECT_EQ(map.Ranges()[3].size, 700u);
  EXPECT_EQ(map.Ranges().back().size, 100u);
  map.position = 0x1234;
  map.phase = RescuePhase::kScraping;
  const std::string text = map.Text("x");
  const std::optional<RescueMap> back = RescueMap::Parse(text, 10000);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->Text("x"), text);
  EXPECT_EQ(back->phase, RescuePhase::kScraping);
  // Hostile maps: gaps, overlaps, past the end, bad characters.
  for (const char* bad : {"0 + 1\n0x0 0x10 +\n0x20 0x10 +\n", "0 + 1\n0x0 0x10 +\n0x8 0x10 -\n",
                          "0 + 1\n0x0 0x100000 +\n", "0 + 1\n0x0 0x10 x\n", "0x0 0x10 +\n", ""}) {
    EXPECT_FALSE(RescueMap::Parse(bad, 10000)) << bad;
  }
}

// ddrescuelog, where installed, reads the map and lists the same bad sectors.
TEST_F(RescueCopyTest, DdrescuelogReadsTheMap) {
  if (std::system("command -v ddrescuelog >/dev/null 2>&1") != 0) GTEST_SKIP() << "ddrescuelog missing";
  const std::vector<uint8_t> medium = Medium(2048);
  const std::set<uint64_t> bad = {7, 8, 9, 1234, 2047};
  FailingSource source(medium, bad);
  RescueMap map;
  ASSERT_EQ(RescueCopy::Run(source, medium.size(), image_, map_, Options(), map), 0);
  const fs::path listed = dir_.path() / "listed.txt";
  ASSERT_EQ(
      std::system(("ddrescuelog -b512 -l- '" + map_.string() + "' > '" + listed.string() + "'").c_str()), 0);
  std::ifstream in(listed);
  std::set<uint64_t> theirs;
  for (uint64_t s; in >> s;) theirs.insert(s);
  EXPECT_EQ(theirs, bad);
  EXPECT_EQ(std::system(("ddrescuelog -t '" + map_.string() + "' >/dev/null").c_str()), 0);
}

}  // namespace
}  // namespace snapsave
