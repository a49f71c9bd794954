#include "fs/exfat/exfat_structures.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "os/clock.h"
#include "tests/support/test_support.h"

namespace snapsave {
namespace {

using Bytes = std::vector<uint8_t>;

// The card of tests/fixtures/exfat/make-small.sh, read whole.
class SmallCard : public ::testing::Test {
 protected:
  void SetUp() override {
    test::GunzipFixture("exfat/small.img.gz", dir_.path() / "small.img");
    image_ = test::ReadFile(dir_.path() / "small.img");
    ASSERT_EQ(image_.size(), 8u << 20);
  }
  ByteSpan Sectors(uint64_t first, size_t count) const {
    return ByteSpan(image_).subspan(first * 512, count * 512);
  }

  test::TempDir dir_;
  Bytes image_;
};

// The geometry agrees with fsstat's layout of the same image; the checksum sector repeats the boot region's
// checksum, which ignores the volume flags and the percentage in use but nothing else.
TEST_F(SmallCard, BootRegionAndGeometry) {
  ASSERT_TRUE(IsExfatBootSector(Sectors(0, 1)));
  const auto g = ParseExfatGeometry(Sectors(0, 1), 0, 16384);
  ASSERT_TRUE(g.has_value());
  EXPECT_EQ(g->sectorSize, 512u);
  EXPECT_EQ(g->clusterBytes, 4096u);
  EXPECT_EQ(g->fatStart, 2048u);
  EXPECT_EQ(g->fatSectors, 16u);
  EXPECT_EQ(g->heapStart, 4096u);
  EXPECT_EQ(g->clusterCount, 1536u);
  EXPECT_EQ(g->ClusterSector(g->rootCluster), 4120u);

  Bytes region(Sectors(0, 11).begin(), Sectors(0, 11).end());
  const uint32_t sum = BootRegionChecksum(region, 512);
  EXPECT_TRUE(ChecksumSectorHolds(Sectors(11, 1), sum));
  EXPECT_TRUE(ChecksumSectorHolds(Sectors(23, 1), BootRegionChecksum(Sectors(12, 11), 512)));  // the backup
  region[106] ^= 1;                                                                            // volume dirty
  region[112] = 77;  // percent in use
  EXPECT_EQ(BootRegionChecksum(region, 512), sum);
  region[600] ^= 1;  // boot code in the extended boot sectors
  EXPECT_NE(BootRegionChecksum(region, 512), sum);
}

// Each broken field of a boot sector turns it away: a crafted card cannot send reads outside its volume.
TEST_F(SmallCard, BootSectorsThatLieAreRefused) {
  const Bytes good(Sectors(0, 1).begin(), Sectors(0, 1).end());
  auto with = [&](size_t at, std::initializer_list<uint8_t> bytes) {
    Bytes b = good;
    for (uint8_t v : bytes) b[at++] = v;
    return b;
  };
  const std::map<std::string, Bytes> kBroken = {
      {"name", with(3, {'F', 'A', 'T'})},
      {"FAT parameters", with(11, {0x00, 0x02})},
      {"signature", with(510, {0x55, 0xAB})},
      {"sector shift", with(108, {13})},
      {"cluster shift", with(109, {17})},  // 64 MiB clusters
      {"FAT count", with(110, {3})},
      {"FAT in the boot region", with(80, {20, 0, 0, 0})},
      {"FAT into the heap", with(84, {0x01, 0x08, 0, 0})},
      {"heap past the volume", with(92, {0x01, 0x06, 0, 0})},
      {"FAT too short for its clusters", with(84, {1, 0, 0, 0})},
      {"root outside the heap", with(96, {0x02, 0x06, 0, 0})},
      {"no clusters", with(92, {0, 0, 0, 0})},
  };
  for (const auto& [what, b] : kBroken) EXPECT_FALSE(ParseExfatGeometry(b, 0, 16384).has_value()) << what;
  // A medium shorter than the volume claims bounds the volume, not the parse.
  const auto cut = ParseExfatGeometry(good, 0, 8192);
  ASSERT_TRUE(cut.has_value());
  EXPECT_EQ(cut->volumeSectors, 8192u);
}

// The root folder's entry sets, live and deleted, as The Sleuth Kit lists them.
TEST_F(SmallCard, EntrySetsOfTheRootFolder) {
  const ByteSpan root = Sectors(4120, 8);
  std::map<std::string, ExfatEntrySet> sets;
  for (size_t at = 0; at + kExfatEntrySize <= root.size(); at += kExfatEntrySize) {
    if (auto s = ParseEntrySet(root.subspan(at))) sets[s->name] = *s;
  }
  for (const char* name :
       {"DCIM", "Holiday photo at the lake 2024.jpg", "notes.txt", "Old trip", "split.bin"})
    EXPECT_EQ(sets.count(name), 1u) << name;
  EXPECT_TRUE(sets.at("Old trip").deleted);
  EXPECT_FALSE(sets.at("split.bin").noFatChain);  // it did not fit its hole: a chain
  const ExfatEntrySet& dcim = sets.at("DCIM");
  EXPECT_TRUE(dcim.IsDirectory());
  EXPECT_FALSE(dcim.deleted);
  const ExfatEntrySet& holiday = sets.at("Holiday photo at the lake 2024.jpg");  // three name entries
  EXPECT_TRUE(holiday.deleted);
  EXPECT_EQ(holiday.entryCount, 5u);
  EXPECT_EQ(holiday.dataLength, 20000u);
  EXPECT_EQ(holiday.validDataLength, 20000u);
  EXPECT_TRUE(holiday.nameHashHolds);
  EXPECT_TRUE(holiday.noFatChain);
  const ExfatEntrySet& unicode = sets.at("\xC3\x9Cn\xC3\xAF\x63\xC3\xB6\x64\xC3\xA9 name.txt");
  EXPECT_EQ(unicode.dataLength, 3000u);
  EXPECT_FALSE(unicode.nameHashHolds);  // its capitals are not ASCII: only the volume's table knows them
  const ExfatEntrySet& notes = sets.at("notes.txt");
  EXPECT_EQ(notes.dataLength, 100u);
  const os::LocalTime t = os::CivilTimeOfFileTime(ExfatTimeToFileTime(notes.modified));
  EXPECT_EQ(t.year, 2024);
  EXPECT_EQ(t.month, 7);
  EXPECT_EQ(t.day, 14);
  EXPECT_EQ(t.hour * 3600 + t.minute * 60 + t.second, 12 * 3600 + 34 * 60 + 56);
  // The 10 ms increments add up to 1.99 s (this driver writes none); 200 and above are no increment.
  ExfatTime fine = notes.modified;
  fine.tenMs = 178;
  EXPECT_EQ(ExfatTimeToFileTime(fine) - ExfatTimeToFileTime(notes.modified), 17'800'000u);
  fine.tenMs = 200;
  EXPECT_EQ(ExfatTimeToFileTime(fine), ExfatTimeToFileTime(notes.modified));
  EXPECT_EQ(ExfatTimeToFileTime({0x00000000, 0, 0}), 0u);  // month 0
}

// A set is taken whole or not at all.
TEST_F(SmallCard, DamagedEntrySetsAreRefused) {
  const ByteSpan root = Sectors(4120, 8);
  size_t at = 0;
  while (at < root.size() &&
         !(ParseEntrySet(root.subspan(at)) && ParseEntrySet(root.subspan(at))->entryCount == 5))
    at += kExfatEntrySize;
  ASSERT_LT(at, root.size());
  const Bytes set(root.begin() + static_cast<ptrdiff_t>(at),
                  root.begin() + static_cast<ptrdiff_t>(at + 5 * 32));
  auto changed = [&](size_t offset, uint8_t value) {
    Bytes b = set;
    b[offset] = value;
    return b;
  };
  EXPECT_FALSE(ParseEntrySet(changed(70, set[70] ^ 0x20)).has_value());  // a name character: checksum
  EXPECT_FALSE(ParseEntrySet(changed(1, 19)).has_value());               // more secondaries than a name needs
  EXPECT_FALSE(ParseEntrySet(changed(1, 1)).has_value());                // no room for a name
  EXPECT_FALSE(ParseEntrySet(changed(32, 0xC0)).has_value());            // a live stream in a deleted set
  EXPECT_FALSE(ParseEntrySet(changed(35, 60)).has_value());              // a name longer than its entries
  EXPECT_FALSE(ParseEntrySet(ByteSpan(set).first(4 * 32)).has_value());  // cut short
  EXPECT_TRUE(ParseEntrySet(set).has_value());
}

}  // namespace
}  // namespace snapsave
