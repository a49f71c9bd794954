#include "storage/sector_reader.h"

#include <fcntl.h>

#include <gtest/gtest.h>

#include "os/device.h"
#include "tests/support/test_support.h"

namespace snapsave {
namespace {

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + i / 512);
  return v;
}

class SectorReaderTest : public ::testing::Test {
 protected:
  std::filesystem::path Image(const std::string& name, const std::vector<uint8_t>& bytes) {
    auto p = dir_.path() / name;
    test::WriteFile(p, bytes);
    return p;
  }
  test::TempDir dir_;
};

TEST_F(SectorReaderTest, TrailingPartialSectorIsNotAddressable) {
  SectorReader r;
  ASSERT_EQ(r.OpenFile(Image("a.img", Pattern(1000))), 0u);
  EXPECT_EQ(r.TotalSectors(), 1u);
  std::vector<uint8_t> buf(512);
  uint32_t got = 99;
  EXPECT_EQ(r.ReadSectors(buf, 1, 0, 512, &got), 0u);
  EXPECT_EQ(got, 1u);
  EXPECT_EQ(r.ReadSectors(buf, 1, 1, 512, &got), 87u);
  EXPECT_EQ(got, 0u);
}

TEST_F(SectorReaderTest, RangeChecksRefuseWithoutWrapping) {
  SectorReader r;
  ASSERT_EQ(r.OpenFile(Image("b.img", Pattern(4096))), 0u);
  std::vector<uint8_t> buf(4096);
  uint32_t got = 0;
  // The last sector may be read; one past it may not.
  EXPECT_EQ(r.ReadSectors(buf, 1, 7, 512, &got), 0u);
  EXPECT_EQ(r.ReadSectors(buf, 2, 7, 512, &got), 87u);
  // A start near 2^64 would wrap start + count to a small number.
  EXPECT_EQ(r.ReadSectors(buf, 2, UINT64_MAX, 512, &got), 87u);
  EXPECT_EQ(r.ReadSectors(buf, 1, UINT64_MAX - 0, 512, &got), 87u);
  EXPECT_EQ(r.ReadSectors(buf, -1, 0, 512, &got), 87u);
  // A buffer smaller than the request is refused rather than overrun.
  std::vector<uint8_t> small(100);
  EXPECT_EQ(r.ReadSectors(small, 1, 0, 512, &got), 87u);
}

TEST_F(SectorReaderTest, CountZeroSucceedsAndReadsNothing) {
  SectorReader r;
  ASSERT_EQ(r.OpenFile(Image("c.img", Pattern(2048))), 0u);
  std::vector<uint8_t> buf(1, 0xAA);
  uint32_t got = 5;
  EXPECT_EQ(r.ReadSectors(buf, 0, 4, 512, &got), 0u);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(buf[0], 0xAA);
}

TEST_F(SectorReaderTest, LargeReadsArriveWholeAcrossChunks) {
  auto bytes = Pattern(512 * 300);
  SectorReader r;
  ASSERT_EQ(r.OpenFile(Image("d.img", bytes)), 0u);
  std::vector<uint8_t> buf(512 * 290);
  uint32_t got = 0;
  ASSERT_EQ(r.ReadSectors(buf, 290, 10, 512, &got), 0u);
  EXPECT_EQ(got, 290u);
  EXPECT_TRUE(std::equal(buf.begin(), buf.end(), bytes.begin() + 5120));
  // Reads may name another sector size than the image's.
  std::vector<uint8_t> big(4096);
  ASSERT_EQ(r.ReadSectors(big, 1, 2, 4096, &got), 0u);
  EXPECT_TRUE(std::equal(big.begin(), big.end(), bytes.begin() + 8192));
}

TEST_F(SectorReaderTest, SourceShorterThanClaimedGivesReadFaultWithWhatArrived) {
  // A disk whose reported length exceeds what it delivers: a file standing in for it, cut after the reader
  // learned its size.
  auto path = Image("e.img", Pattern(512 * 10));
  SectorReader r;
  ASSERT_EQ(r.OpenDisk(path), 0u);
  EXPECT_EQ(r.TotalSectors(), 10u);
  EXPECT_EQ(r.DeviceSectorSize(), 512u);
  std::filesystem::resize_file(path, 512 * 4 + 100);
  std::vector<uint8_t> buf(512 * 8);
  uint32_t got = 0;
  EXPECT_EQ(r.ReadSectors(buf, 8, 1, 512, &got), 30u);
  EXPECT_EQ(got, 3u);
}

// An image with the map of the rescue copy that made it beside it (either name ddrescue users give it) reads
// as the copy went: what was not rescued cannot be read, and is zeros and noted where a reader asks for that.
// A map of another size is not this image's.
TEST_F(SectorReaderTest, AnImageReadsAsItsRescueMapSays) {
  const std::vector<uint8_t> bytes = Pattern(64 * 512);
  const std::string map =
      "# Mapfile\n0x00008000     +       1\n"
      "0x00000000  0x00001400  +\n0x00001400  0x00000400  -\n0x00001800  0x00003800  +\n"
      "0x00005000  0x00001000  ?\n0x00006000  0x00002000  +\n";
  for (const std::string mapName : {"card.map", "card.img.map"}) {
    SCOPED_TRACE(mapName);
    test::TempDir dir;
    const auto image = dir.path() / "card.img";
    test::WriteFile(image, bytes);
    test::WriteFile(dir.path() / mapName, std::vector<uint8_t>(map.begin(), map.end()));
    SectorReader r;
    ASSERT_EQ(r.OpenFile(image), 0u);
    std::vector<uint8_t> buf(bytes.size());
    uint32_t got = 0;
    EXPECT_EQ(r.ReadSectors(buf, 64, 0, 512, &got), 30u);
    EXPECT_EQ(got, 10u);
    EXPECT_EQ(r.ReadSectors(buf, 20, 12, 512, &got), 0u);
    {
      SectorReader::ZeroFill fill(r);
      ASSERT_EQ(r.ReadSectors(buf, 64, 0, 512, &got), 0u);
      EXPECT_EQ(got, 64u);
      const std::vector<SectorStretch> expected = {{10, 2}, {40, 8}};
      EXPECT_EQ(fill.Stretches(), expected);
    }
    std::vector<uint8_t> want = bytes;
    std::fill(want.begin() + 10 * 512, want.begin() + 12 * 512, 0);
    std::fill(want.begin() + 40 * 512, want.begin() + 48 * 512, 0);
    EXPECT_TRUE(buf == want);
  }
  test::TempDir dir;
  const auto image = dir.path() / "card.img";
  test::WriteFile(image, Pattern(128 * 512));
  test::WriteFile(dir.path() / "card.map", std::vector<uint8_t>(map.begin(), map.end()));
  SectorReader r;
  ASSERT_EQ(r.OpenFile(image), 0u);
  std::vector<uint8_t> buf(128 * 512);
  uint32_t got = 0;
  EXPECT_EQ(r.ReadSectors(buf, 128, 0, 512, &got), 0u);
}

TEST_F(SectorReaderTest, OpenFailuresAreWin32Codes) {
  SectorReader r;
  EXPECT_EQ(r.OpenFile(dir_.path() / "missing.img"), 2u);
  EXPECT_EQ(r.OpenDisk(dir_.path() / "no-such-disk"), 2u);
  EXPECT_EQ(r.OpenDisk({}), 2u);
  EXPECT_FALSE(r.IsOpen());
}

}  // namespace
}  // namespace snapsave
