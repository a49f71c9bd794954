#include "fs/exfat/exfat_quick_engine.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "fs/exfat/exfat_structures.h"
#include "tests/support/found_tree.h"
#include "tests/support/scan_store.h"
#include "tests/support/test_support.h"

namespace snapsave {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// What tests/fixtures/exfat/make-small.sh wrote into a file: a JFIF header for a photo, then its name and a
// newline over and over.
Bytes Written(const std::string& name, size_t size) {
  Bytes out;
  if (name.ends_with(".jpg") || name.ends_with(".JPG"))
    out = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0};
  while (out.size() < size) {
    for (char c : name + "\n") out.push_back(static_cast<uint8_t>(c));
  }
  out.resize(size);
  return out;
}

class ExfatQuick : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = dir_.path() / "small.img";
    test::GunzipFixture("exfat/small.img.gz", image_);
  }
  // Rewrites the stream extension of the root entry set named `name` with `edit` and mends its checksum.
  template <typename Edit>
  void EditSet(const std::string& name, Edit edit) {
    Bytes image = test::ReadFile(image_);
    const size_t root = 4120 * 512;
    for (size_t at = root; at < root + 4096; at += kExfatEntrySize) {
      const auto set = ParseEntrySet(ByteSpan(image).subspan(at, root + 4096 - at));
      if (!set || set->name != name) continue;
      edit(std::span<uint8_t>(image).subspan(at + kExfatEntrySize, kExfatEntrySize));
      const uint16_t sum = EntrySetChecksum(ByteSpan(image).subspan(at, size_t{set->entryCount} * 32), true);
      image[at + 2] = static_cast<uint8_t>(sum);
      image[at + 3] = static_cast<uint8_t>(sum >> 8);
      test::WriteFile(image_, image);
      return;
    }
    FAIL() << name;
  }

  test::ScratchScanStore appData_;
  test::TempDir dir_;
  fs::path image_;
};

// Deleted files keep their names, folders and bytes; live files are not listed, the folders on the way are.
TEST_F(ExfatQuick, DeletedFilesComeBackNamedAndExact) {
  CFastExfatRecovery engine(appData_.store());
  ASSERT_EQ(engine.Open(ImageVolume(image_, u'E')), 0u);
  ASSERT_EQ(engine.Scan({}), 0);
  auto tree = test::FoundTree(engine);
  std::vector<std::string> paths;
  for (const auto& [path, r] : tree) paths.push_back(path);
  EXPECT_EQ(paths,
            (std::vector<std::string>{"DCIM", "DCIM/100CANON", "DCIM/100CANON/IMG_0002.JPG",
                                      "Holiday photo at the lake 2024.jpg", "Old trip", "Old trip/day 1",
                                      "Old trip/day 1/beach.jpg", "Old trip/plan.txt", "split.bin"}));
  // The split file's chain was freed with it: read on in the clusters no live file holds, it comes back
  // whole.
  for (const auto& [path, size] : {std::pair<std::string, size_t>{"DCIM/100CANON/IMG_0002.JPG", 9000},
                                   {"Holiday photo at the lake 2024.jpg", 20000},
                                   {"Old trip/day 1/beach.jpg", 12000},
                                   {"Old trip/plan.txt", 500},
                                   {"split.bin", 20000}}) {
    const FoundFileRecord& r = tree.at(path);
    EXPECT_EQ(r.isDeleted, 1u);
    EXPECT_EQ(r.isIntact, 1u);
    EXPECT_EQ(r.fileSize, size);
    const fs::path out = dir_.path() / "out" / fs::path(path).filename();
    ASSERT_EQ(engine.RecoverRecord(&r, out, 0), 0) << path;
    EXPECT_EQ(test::ReadFile(out), Written(fs::path(path).filename().string(), size)) << path;
  }
  // The whole folder, as a front end recovers it.
  ASSERT_EQ(engine.RecoverRecord(&tree.at("DCIM"), dir_.path() / "tree" / "DCIM", 0), 0);
  EXPECT_EQ(test::ReadFile(dir_.path() / "tree" / "DCIM" / "100CANON" / "IMG_0002.JPG"),
            Written("IMG_0002.JPG", 9000));

  // The free clusters the deep scan passes over hold the deleted files, not the live ones.
  const ExfatGeometry& g = *engine.Geometry();
  auto isFree = [&](uint32_t cluster) {
    const uint64_t sector = g.heapStart + uint64_t{cluster - 2} * g.sectorsPerCluster;
    uint64_t at = 0, length = 0;
    while (engine.NextUnallocatedRun(at, length) == 1 && length != 0) {
      if (sector >= at && sector < at + length) return true;
      at += length;
    }
    return false;
  };
  EXPECT_TRUE(isFree(tree.at("Holiday photo at the lake 2024.jpg").entryRef));
  EXPECT_FALSE(isFree(tree.at("DCIM").entryRef));
  EXPECT_FALSE(isFree(g.rootCluster));
}

// Bytes past a file's valid length were never written for it and come back as zeros; a length no volume
// holds ends with the heap.
TEST_F(ExfatQuick, ValidLengthAndCraftedSizes) {
  EditSet("Holiday photo at the lake 2024.jpg", [](std::span<uint8_t> stream) {
    stream[8] = 0xE8;  // valid length 1000
    stream[9] = 0x03;
    stream[10] = 0;
  });
  EditSet("notes.txt", [](std::span<uint8_t>) {});
  {
    CFastExfatRecovery engine(appData_.store());
    ASSERT_EQ(engine.Open(ImageVolume(image_, u'E')), 0u);
    ASSERT_EQ(engine.Scan({}), 0);
    auto tree = test::FoundTree(engine);
    const fs::path out = dir_.path() / "valid.jpg";
    ASSERT_EQ(engine.RecoverRecord(&tree.at("Holiday photo at the lake 2024.jpg"), out, 0), 0);
    Bytes expected = Written("Holiday photo at the lake 2024.jpg", 20000);
    std::fill(expected.begin() + 1000, expected.end(), 0);
    EXPECT_EQ(test::ReadFile(out), expected);
  }
  EditSet("Holiday photo at the lake 2024.jpg", [](std::span<uint8_t> stream) {
    for (size_t i = 8; i < 16; ++i) stream[i] = 0xFF;  // valid length and size of 16 EiB
    for (size_t i = 24; i < 32; ++i) stream[i] = 0xFF;
    stream[31] = 0x7F;
  });
  CFastExfatRecovery engine(appData_.store());
  ASSERT_EQ(engine.Open(ImageVolume(image_, u'E')), 0u);
  ASSERT_EQ(engine.Scan({}), 0);
  auto tree = test::FoundTree(engine);
  const fs::path out = dir_.path() / "huge.jpg";
  engine.RecoverRecord(&tree.at("Holiday photo at the lake 2024.jpg"), out, 0);
  EXPECT_LE(fs::file_size(out), uint64_t{1536} * 4096);
}

}  // namespace
}  // namespace snapsave
