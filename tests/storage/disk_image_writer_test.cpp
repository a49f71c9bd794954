#include "storage/disk_image_writer.h"

#include <algorithm>
#include <cstring>
#include <map>

#include <gtest/gtest.h>

#include "os/device.h"
#include "os/error.h"
#include "tests/support/test_support.h"

namespace snapsave {

bool operator==(const DiskImageWriter::BadRange& a, const DiskImageWriter::BadRange& b) {
  return a.firstSector == b.firstSector && a.count == b.count;
}

namespace {

constexpr size_t kSector = 512;

std::vector<uint8_t> Pattern(size_t sectors) {
  std::vector<uint8_t> v(sectors * kSector);
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>(i * 13 + i / kSector + 1);
  return v;
}

struct Progress {
  std::vector<uint64_t> done;
  std::vector<uint64_t> totals;
  std::vector<int32_t> secondsLeft;
  int32_t percent = -1;
  int32_t answer = 0;
};

int32_t Record(void* context, int32_t percent, uint64_t done, uint64_t total, int32_t secondsLeft) {
  auto* p = static_cast<Progress*>(context);
  p->done.push_back(done);
  p->totals.push_back(total);
  p->secondsLeft.push_back(secondsLeft);
  p->percent = percent;
  return p->answer;
}

// Media over a byte pattern: sectors that fail a number of times (-1: always), and an optional early end.
class FakeSource : public ImageSource {
 public:
  explicit FakeSource(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  std::map<uint64_t, int> failures;
  uint64_t endSector = UINT64_MAX;

  uint32_t ReadAt(uint64_t offset, std::span<uint8_t> buffer, size_t& got) override {
    got = 0;
    const uint64_t first = offset / kSector, last = (offset + buffer.size() - 1) / kSector;
    bool fail = false;
    for (auto& [sector, left] : failures) {
      if (sector < first || sector > last || left == 0) continue;
      if (left > 0) --left;
      fail = true;
    }
    if (fail) return err::kReadFault;
    const uint64_t end = std::min<uint64_t>(bytes_.size(), endSector * kSector);
    if (offset >= end) return err::kSuccess;
    got = static_cast<size_t>(std::min<uint64_t>(buffer.size(), end - offset));
    std::memcpy(buffer.data(), bytes_.data() + offset, got);
    return err::kSuccess;
  }

 private:
  std::vector<uint8_t> bytes_;
};

class DiskImageWriterTest : public ::testing::Test {
 protected:
  DiskImageWriterTest() : disk_(Pattern(1000)) { test::WriteFile(diskPath(), disk_); }
  std::filesystem::path diskPath() const { return dir_.path() / "disk0.img"; }
  std::filesystem::path imagePath() const { return dir_.path() / "copy.img"; }
  std::vector<uint8_t> Sectors(size_t first, size_t count) const {
    return {disk_.begin() + static_cast<ptrdiff_t>(first * kSector),
            disk_.begin() + static_cast<ptrdiff_t>((first + count) * kSector)};
  }

  // The copy loop driven step by step, as with a swapped-in source.
  static uint32_t Drive(DiskImageWriter& w) {
    std::vector<uint8_t> buffer(DiskImageWriter::kTransferBytes);
    uint32_t result = 0;
    while (w.SectorsCopied() < w.SectorCount() && result == 0) {
      uint32_t got = 0, written = 0;
      result = w.ReadChunk(buffer, 128, got);
      if (uint32_t e = w.WriteChunk(buffer, got, written); e != 0) return e;
    }
    uint32_t e = w.CloseImage();
    return result != 0 ? result : e;
  }

  test::TempDir dir_;
  std::vector<uint8_t> disk_;
};

TEST_F(DiskImageWriterTest, WholeDiskArrivesInTransferSizedChunks) {
  DiskImageWriter w;
  Progress p;
  ASSERT_EQ(w.CreateImage(diskPath(), 0, 0, imagePath(), Record, &p), 0);
  EXPECT_EQ(p.done, (std::vector<uint64_t>{128, 256, 384, 512, 640, 768, 896, 1000}));
  EXPECT_EQ(p.totals, std::vector<uint64_t>(8, 1000));
  EXPECT_EQ(p.secondsLeft, std::vector<int32_t>(8, -1));
  EXPECT_EQ(p.percent, 100);
  EXPECT_EQ(test::ReadFile(imagePath()), disk_);

  // An image of an image takes the same route.
  Progress again;
  ASSERT_EQ(w.CreateImageFromFile(imagePath(), 0, 0, dir_.path() / "copy2.img", Record, &again), 0);
  EXPECT_EQ(again.done, p.done);
  EXPECT_EQ(test::ReadFile(dir_.path() / "copy2.img"), disk_);
}

TEST_F(DiskImageWriterTest, StretchesCopyExactlyTheirSectorsAndStayInsideTheDisk) {
  DiskImageWriter w;
  ASSERT_EQ(w.CreateImage(diskPath(), 100, 300, imagePath(), nullptr, nullptr), 0);
  EXPECT_EQ(test::ReadFile(imagePath()), Sectors(100, 300));
  // Without a count, the rest of the disk from the start sector.
  ASSERT_EQ(w.CreateImage(diskPath(), 990, 0, imagePath(), nullptr, nullptr), 0);
  EXPECT_EQ(test::ReadFile(imagePath()), Sectors(990, 10));

  EXPECT_EQ(w.CreateImage(diskPath(), 900, 101, imagePath(), nullptr, nullptr), 87);
  EXPECT_EQ(w.CreateImage(diskPath(), UINT64_MAX, 2, imagePath(), nullptr, nullptr), 87);
  EXPECT_EQ(w.CreateImage(diskPath(), 1, UINT64_MAX, imagePath(), nullptr, nullptr), 87);
  EXPECT_EQ(w.CreateImage(dir_.path() / "no-such-disk", 0, 0, imagePath(), nullptr, nullptr), 2);
  // A refused range leaves the last good image as it was.
  EXPECT_EQ(test::ReadFile(imagePath()), Sectors(990, 10));
}

TEST_F(DiskImageWriterTest, UnreadableSectorsBecomeZerosAndAreListedOnce) {
  DiskImageWriter w;
  ASSERT_EQ(w.OpenForImage(diskPath(), 100, 600, imagePath(), nullptr, nullptr), 0u);
  auto fake = std::make_unique<FakeSource>(disk_);
  fake->failures = {{150, -1}, {160, 2}, {400, -1}, {401, -1}, {402, -1}, {500, 3}};
  w.SetSource(std::move(fake), 600);
  ASSERT_EQ(Drive(w), 0u);

  // 160 fails its piece and its first sector read, then answers the retry; 500 fails the retry too.
  const std::vector<DiskImageWriter::BadRange> expected{{150, 1}, {400, 3}, {500, 1}};
  EXPECT_EQ(w.BadSectors(), expected);
  EXPECT_EQ(w.BadSectorCount(), 5u);

  auto want = Sectors(100, 600);
  for (uint64_t bad : {150u, 400u, 401u, 402u, 500u})
    std::fill_n(want.begin() + static_cast<ptrdiff_t>((bad - 100) * kSector), kSector, 0);
  EXPECT_EQ(test::ReadFile(imagePath()), want);
}

TEST_F(DiskImageWriterTest, ImageEndsAtTheCopiedLength) {
  test::WriteFile(imagePath(), std::vector<uint8_t>(3000 * kSector, 0xEE));
  DiskImageWriter w;
  ASSERT_EQ(w.CreateImage(diskPath(), 0, 0, imagePath(), nullptr, nullptr), 0);
  EXPECT_EQ(test::ReadFile(imagePath()), disk_);

  // A source that stops answering after 300 sectors, the last one half there.
  ASSERT_EQ(w.OpenForImage(diskPath(), 0, 1000, imagePath(), nullptr, nullptr), 0u);
  auto fake =
      std::make_unique<FakeSource>(std::vector<uint8_t>(disk_.begin(), disk_.begin() + 300 * 512 + 256));
  w.SetSource(std::move(fake), 1000);
  std::vector<uint8_t> buffer(DiskImageWriter::kTransferBytes);
  uint32_t got = 0, written = 0;
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(w.ReadChunk(buffer, 128, got), 0u);
    ASSERT_EQ(w.WriteChunk(buffer, got, written), 0u);
  }
  EXPECT_EQ(w.ReadChunk(buffer, 128, got), 30u);
  EXPECT_EQ(got, 44u);
  ASSERT_EQ(w.WriteChunk(buffer, got, written), 0u);
  EXPECT_EQ(w.ReadChunk(buffer, 128, got), 30u);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(w.CloseImage(), 0u);
  EXPECT_EQ(test::ReadFile(imagePath()), Sectors(0, 300));
}

TEST_F(DiskImageWriterTest, CallbackStopsTheCopyAfterTheChunkItSaw) {
  DiskImageWriter w;
  Progress p;
  p.answer = ScanCancelled;
  EXPECT_EQ(w.CreateImage(diskPath(), 0, 0, imagePath(), Record, &p), ScanCancelled);
  EXPECT_EQ(p.done, std::vector<uint64_t>{128});
  EXPECT_EQ(test::ReadFile(imagePath()), Sectors(0, 128));
}

TEST_F(DiskImageWriterTest, EmptySourceGivesAnEmptyImageWithoutProgress) {
  test::WriteFile(dir_.path() / "empty.img", {});
  DiskImageWriter w;
  Progress p;
  test::WriteFile(imagePath(), Sectors(0, 4));
  EXPECT_EQ(w.CreateImageFromFile(dir_.path() / "empty.img", 0, 0, imagePath(), Record, &p), 0);
  EXPECT_TRUE(p.done.empty());
  EXPECT_TRUE(std::filesystem::exists(imagePath()));
  EXPECT_EQ(std::filesystem::file_size(imagePath()), 0u);
}

TEST_F(DiskImageWriterTest, WriteFailuresAreReported) {
  DiskImageWriter w;
#ifdef _WIN32
  EXPECT_EQ(w.CreateImage(diskPath(), 0, 0, dir_.path() / "missing" / "copy.img", nullptr, nullptr),
            3);  // native
#else
  EXPECT_EQ(w.CreateImage(diskPath(), 0, 0, dir_.path() / "missing" / "copy.img", nullptr, nullptr), 2);
#endif
  if (os::File full; full.OpenWrite("/dev/full", false) == 0) {
    full.Close();
    EXPECT_EQ(w.CreateImage(diskPath(), 0, 0, "/dev/full", nullptr, nullptr), 112);
  }
}

TEST_F(DiskImageWriterTest, RefusesToWriteOverItsSource) {
  DiskImageWriter w;
  std::error_code ec;
  std::filesystem::create_symlink(diskPath(), dir_.path() / "alias.img", ec);
  if (ec) GTEST_SKIP() << "no symbolic links here";
  EXPECT_EQ(w.CreateImage(diskPath(), 0, 0, diskPath(), nullptr, nullptr), 87);
  EXPECT_EQ(w.CreateImage(diskPath(), 0, 0, dir_.path() / "alias.img", nullptr, nullptr), 87);
  EXPECT_EQ(w.CreateImageFromFile(diskPath(), 0, 10, diskPath(), nullptr, nullptr), 87);
  EXPECT_EQ(test::ReadFile(diskPath()), disk_);
}

}  // namespace
}  // namespace snapsave
