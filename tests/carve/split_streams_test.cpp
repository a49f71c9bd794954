// Framed video and sound cut in two with other data between the pieces: each family finds its second piece
// by what its own structure carries, and a file whose rest is not found is listed damaged.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "tests/support/carve_layout.h"
#include "tests/support/carve_test_support.h"
#include "tests/support/scan_store.h"

namespace snapsave {
namespace {

using test::kCarveSector;
using test::Media;

std::vector<uint8_t> Head(const std::vector<uint8_t>& file, uint64_t sectors) {
  return {file.begin(), file.begin() + static_cast<ptrdiff_t>(sectors * kCarveSector)};
}
std::vector<uint8_t> Rest(const std::vector<uint8_t>& file, uint64_t sectors) {
  return {file.begin() + static_cast<ptrdiff_t>(sectors * kCarveSector), file.end()};
}

class SplitStreamsTest : public ::testing::Test {
 protected:
  std::map<uint64_t, test::Saved> CarveAndRecover(test::Layout& layout, uint64_t* stitched = nullptr) {
    test::SectorImage image(layout.bytes());
    test::Carver carver(image);
    carver.Pass();
    if (stitched != nullptr) *stitched = carver.engine.StitchedFiles();
    return test::RecoverAll(carver.engine, dir_.path());
  }
  test::ScratchScanStore appData_;
  test::TempDir dir_;
};

// Transport streams: cut inside a packet over random data, over another stream of the same kind (whose
// counters start afresh), over zeros for 192-byte packets. With the rest missing, and cut inside the last
// packet (nothing after the cut shows where the rest went), it ends where its packets do.
TEST_F(SplitStreamsTest, TransportStreamsAreJoinedWhereEveryStreamsCounterCarriesOn) {
  const auto ts = Media("long.ts");       // 395 packets, 146 sectors
  const auto other = Media("movie.ts");   // its own counters, from 0
  const auto m2ts = Media("movie.m2ts");  // 64 packets of 192 bytes, 24 sectors
  test::Layout layout;
  layout.Random(3);
  const uint64_t overRandom = layout.Place(Head(ts, 40), false);
  layout.Random(50);
  layout.Place(Rest(ts, 40), false);
  layout.Random(2);
  const uint64_t overStream = layout.Place(Head(ts, 97), false);
  layout.Random(1);
  const uint64_t between = layout.Place(other, false);
  layout.Random(7);
  layout.Place(Rest(ts, 97), false);
  layout.Random(2);
  const uint64_t timestamped = layout.Place(Head(m2ts, 13), false);
  layout.Zeros(30);
  layout.Place(Rest(m2ts, 13), false);
  layout.Random(2);
  const uint64_t lastPacket = layout.Place(Head(ts, 145), false);
  layout.Random(9);
  layout.Place(Rest(ts, 145), false);
  layout.Random(2);
  const uint64_t cutOff = layout.Place(Head(ts, 60), false);
  layout.Random(40);
  uint64_t stitched = 0;
  const auto saved = CarveAndRecover(layout, &stitched);

  for (const uint64_t at : {overRandom, overStream}) {
    SCOPED_TRACE(at);
    EXPECT_TRUE(saved.at(at).intact);
    EXPECT_EQ(saved.at(at).bytes, ts);
  }
  EXPECT_TRUE(saved.at(between).intact);
  EXPECT_EQ(saved.at(between).bytes, other);
  EXPECT_TRUE(saved.at(timestamped).intact);
  EXPECT_EQ(saved.at(timestamped).bytes, m2ts);
  EXPECT_EQ(stitched, 3u);
  // Without its rest a stream ends where its packets do, as one whose last sector holds old data.
  const auto& cut = saved.at(cutOff).bytes;
  ASSERT_EQ(cut.size(), (60 * kCarveSector / 188 + 1) * 188);
  EXPECT_TRUE(std::equal(cut.begin(), cut.begin() + 60 * kCarveSector, ts.begin()));
  EXPECT_EQ(saved.at(lastPacket).bytes.size(), ts.size() + 188) << "a random sync byte after its end";
  EXPECT_EQ(saved.size(), 6u) << "no second piece is carved on its own";
}

}  // namespace
}  // namespace snapsave
