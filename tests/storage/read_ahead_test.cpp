// Reading ahead: what the pass takes is the medium's bytes wherever the thread read them; jumps, gaps and
// failed reads leave the pass to read for itself.
#include "storage/read_ahead.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "tests/support/test_support.h"

namespace snapsave {
namespace {

namespace fs = std::filesystem;

class ReadAheadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bytes_.resize(1000 * 512);
    for (size_t i = 0; i < bytes_.size(); ++i) bytes_[i] = static_cast<uint8_t>(i * 31 + i / 512);
    test::WriteFile(path_, bytes_);
    ASSERT_EQ(reader_.OpenFile(path_), 0u);
  }
  // Takes `count` sectors at `sector` and checks them against the medium.
  bool Took(ReadAhead& ahead, uint64_t sector, uint32_t count) {
    std::vector<uint8_t> out(size_t{count} * 512);
    if (!ahead.Take(sector, count, out)) return false;
    EXPECT_TRUE(std::equal(out.begin(), out.end(), bytes_.begin() + static_cast<ptrdiff_t>(sector * 512)))
        << sector;
    return true;
  }
  test::TempDir dir_;
  fs::path path_ = dir_.path() / "medium.img";
  std::vector<uint8_t> bytes_;
  SectorReader reader_;
};

TEST_F(ReadAheadTest, StretchesInOrderAcrossBlocksWithJumpsAndGaps) {
  ReadAhead ahead(reader_, 512, 64 * 512, 2);
  ahead.Enqueue(0, 300);
  ahead.Enqueue(500, 400);
  EXPECT_TRUE(Took(ahead, 0, 128));
  EXPECT_TRUE(Took(ahead, 128, 100));
  EXPECT_TRUE(Took(ahead, 228, 72));  // across two blocks of 64
  EXPECT_TRUE(Took(ahead, 500, 10));
  ahead.DropBefore(700);  // the pass jumps
  EXPECT_TRUE(Took(ahead, 700, 128));
  EXPECT_FALSE(Took(ahead, 950, 10));  // never asked for: the pass reads it itself
}

TEST_F(ReadAheadTest, AFailedReadIsLeftToThePass) {
  ReadAhead ahead(reader_, 512, 64 * 512, 3);
  fs::resize_file(path_, 200 * 512);  // the medium stops answering after sector 200
  ahead.Enqueue(0, 1000);
  EXPECT_TRUE(Took(ahead, 0, 64));
  EXPECT_TRUE(Took(ahead, 128, 64));
  EXPECT_FALSE(Took(ahead, 192, 64));  // a block that failed
  EXPECT_FALSE(Took(ahead, 600, 64));
}

// Several reads in flight finish in any order; the observer still sees every block once, in disk order.
TEST_F(ReadAheadTest, BlocksReadTogetherAreSeenAndTakenInOrder) {
  for (int run = 0; run < 20; ++run) {
    std::vector<uint64_t> seen;
    {
      ReadAhead ahead(reader_, 512, 8 * 512, 2, 4);
      ahead.SetObserver([&](uint64_t first, std::span<const uint8_t> bytes) {
        EXPECT_TRUE(
            std::equal(bytes.begin(), bytes.end(), bytes_.begin() + static_cast<ptrdiff_t>(first * 512)));
        seen.push_back(first);
      });
      ahead.Enqueue(0, 1000);
      for (uint64_t at = 0; at + 24 <= 1000; at += 24) {
        EXPECT_TRUE(Took(ahead, at, 24));
      }
      EXPECT_GE(ahead.Depth(), 1u);
      EXPECT_LE(ahead.Depth(), 4u);
    }
    ASSERT_FALSE(seen.empty());
    for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], i * 8);
  }
}

TEST_F(ReadAheadTest, StopsCleanlyWhateverIsPending) {
  for (int i = 0; i < 20; ++i) {
    ReadAhead ahead(reader_, 512, 8 * 512, 2);
    ahead.Enqueue(0, 1000);
    if (i % 2 == 0) {
      EXPECT_TRUE(Took(ahead, 0, 8));
    }
  }
}

}  // namespace
}  // namespace snapsave
