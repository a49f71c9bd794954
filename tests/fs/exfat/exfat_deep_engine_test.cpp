#include "fs/exfat/exfat_deep_engine.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "tests/support/found_tree.h"
#include "tests/support/scan_store.h"
#include "tests/support/test_support.h"

namespace snapsave {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// A live entry set of an ASCII name: file entry, stream extension, name entries, checksum mended.
Bytes EntrySet(const std::string& name, bool folder, uint32_t firstCluster, uint64_t length) {
  const size_t nameEntries = (name.size() + 14) / 15;
  Bytes set((2 + nameEntries) * kExfatEntrySize, 0);
  set[0] = exfat_entry::kFile;
  set[1] = static_cast<uint8_t>(1 + nameEntries);
  set[4] = folder ? 0x10 : 0x20;
  set[32] = exfat_entry::kStream;
  set[33] = 0x03;  // contiguous
  set[35] = static_cast<uint8_t>(name.size());
  for (size_t k = 0; k < 8; ++k) set[40 + k] = set[56 + k] = static_cast<uint8_t>(length >> (8 * k));
  for (size_t k = 0; k < 4; ++k) set[52 + k] = static_cast<uint8_t>(firstCluster >> (8 * k));
  for (size_t i = 0; i < name.size(); ++i) {
    const size_t entry = (2 + i / 15) * kExfatEntrySize;
    set[entry] = exfat_entry::kName;
    set[entry + 2 + 2 * (i % 15)] = static_cast<uint8_t>(name[i]);
  }
  const uint16_t sum = EntrySetChecksum(set);
  set[2] = static_cast<uint8_t>(sum);
  set[3] = static_cast<uint8_t>(sum >> 8);
  return set;
}

TEST(ExfatDirectorySector, EntryTypesThroughoutAndOneFileEntry) {
  test::TempDir dir;
  test::GunzipFixture("exfat/small.img.gz", dir.path() / "small.img");
  const Bytes image = test::ReadFile(dir.path() / "small.img");
  EXPECT_TRUE(IsExfatDirectorySector(ByteSpan(image).subspan(4120 * 512, 512)));  // the root folder
  EXPECT_FALSE(IsExfatDirectorySector(Bytes(512, 0)));                            // nothing in it
  Bytes names(512, 0);
  for (size_t at = 0; at < 512; at += 32) names[at] = exfat_entry::kName;
  EXPECT_FALSE(IsExfatDirectorySector(names));  // the rest of a set that began before
  names[64] = 0x05;                             // a deleted file entry
  EXPECT_TRUE(IsExfatDirectorySector(names));
  std::mt19937 random(5);
  Bytes noise(512);
  for (auto& b : noise) b = static_cast<uint8_t>(random());
  noise[0] = exfat_entry::kFile;
  EXPECT_FALSE(IsExfatDirectorySector(noise));
}

// Folders whose clusters hold each other's entries lead to no root: both come out, under lost folders, and
// the scan ends.
TEST(ExfatDeep, FoldersThatHoldEachOtherEndInLostFolders) {
  test::ScratchScanStore appData;
  test::TempDir dir;
  const fs::path path = dir.path() / "formatted.img";
  test::GunzipFixture("exfat/formatted.img.gz", path);
  Bytes image = test::ReadFile(path);
  ExfatGeometry g;
  {  // The geometry from the boot region; the probe's catalogue and image are closed before the scan opens
     // them.
    CProfessionalExfatRecovery probe(appData.store());
    ASSERT_EQ(probe.Open(ImageVolume(path, u'E')), 0u);
    ASSERT_EQ(probe.StartPass({}), 0u);
    ASSERT_NE(probe.Geometry(), nullptr);
    g = *probe.Geometry();
  }
  const uint32_t a = g.LastCluster() - 10, b = g.LastCluster() - 20;
  const Bytes inA = EntrySet("folder b", true, b, 4096), inB = EntrySet("folder a", true, a, 4096);
  std::copy(inA.begin(), inA.end(), image.begin() + static_cast<ptrdiff_t>(g.ClusterSector(a) * 512));
  std::copy(inB.begin(), inB.end(), image.begin() + static_cast<ptrdiff_t>(g.ClusterSector(b) * 512));
  test::WriteFile(path, image);

  CProfessionalExfatRecovery engine(appData.store());
  ASSERT_EQ(engine.Open(ImageVolume(path, u'E')), 0u);
  ASSERT_EQ(engine.StartPass({}), 0u);
  for (uint32_t c : {b, a}) {  // in ascending order, as the pass reads
    const auto at = static_cast<size_t>(g.ClusterSector(c) * 512);
    engine.Take(ByteSpan(image).subspan(at, 4096), g.ClusterSector(c));
  }
  EXPECT_EQ(engine.SetsFound(), 2u);
  ASSERT_EQ(engine.FinishPass(), 0);
  const auto tree = test::FoundTree(engine);
  size_t folders = 0;
  for (const auto& [found, r] : tree) folders += r.isFolder;
  EXPECT_EQ(tree.count("LostFolder" + std::to_string(b) + "/folder a"), 1u);
  EXPECT_EQ(folders, tree.size());  // the two folders and the lost folder the loop was cut into
  EXPECT_EQ(folders, 3u);
}

}  // namespace
}  // namespace snapsave
