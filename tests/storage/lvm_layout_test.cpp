// LVM2 volume groups made by the real tools (tests/fixtures/lvm/make-lvm.sh): where their logical volumes
// lie, how a volume in two runs reads, and what damaged or crafted metadata leaves.
#include "storage/lvm_layout.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "storage/sector_reader.h"
#include "tests/support/test_support.h"

namespace snapsave {
namespace {

namespace fs = std::filesystem;

// lvm.img: the physical volume is partition 1 from sector 2048; its metadata area starts 4 KiB in and its
// extents (1 MiB, 2048 sectors) 1 MiB in.
constexpr uint64_t kPv = 2048;
constexpr uint64_t kArea = (kPv + 8) * 512;
constexpr uint64_t kExtent0 = kPv + 2048;
constexpr uint64_t kExtent = 2048;

std::vector<LogicalVolumeOnDisk> Find(const fs::path& image) {
  SectorReader reader;
  EXPECT_EQ(reader.OpenFile(image), 0u);
  const std::vector<LvmPlace> places{{kPv, reader.TotalSectors() - kPv}};
  return FindLogicalVolumes(reader, 512, places);
}

const LogicalVolumeOnDisk* Named(const std::vector<LogicalVolumeOnDisk>& found, const std::string& name) {
  for (const LogicalVolumeOnDisk& lv : found)
    if (lv.groupName + "/" + lv.name == name) return &lv;
  return nullptr;
}

uint32_t LvmCrc(const uint8_t* data, size_t size) {
  return ~static_cast<uint32_t>(::crc32(~0xf597a6cfu & 0xffffffffu, data, static_cast<uInt>(size)));
}

// Puts `text` where the metadata area's header points, as the current metadata, with both checksums made
// good: metadata LVM could have written.
void RewriteMetadata(std::vector<uint8_t>& disk, const std::string& text) {
  uint8_t* header = disk.data() + kArea;
  const uint64_t offset = Le64({header, 512}, 40);
  std::copy(text.begin(), text.end(), disk.begin() + static_cast<std::ptrdiff_t>(kArea + offset));
  disk[kArea + offset + text.size()] = 0;
  PutLe64({header, 512}, 48, text.size() + 1);
  PutLe32({header, 512}, 56, LvmCrc(disk.data() + kArea + offset, text.size() + 1));
  PutLe32({header, 512}, 0, LvmCrc(header + 4, 508));
}

TEST(LvmLayout, VolumesLieWhereLvmPutThemAndAVolumeInTwoRunsReadsAsOne) {
  test::TempDir dir;
  const fs::path image = dir.path() / "lvm.img";
  test::GunzipFixture("lvm/lvm.img.gz", image);
  const std::vector<LogicalVolumeOnDisk> found = Find(image);
  ASSERT_EQ(found.size(), 3u);

  // data: extents 0-7, then 14-17 after the extension; pad: 12-13; old: 8-11, named by older copies only.
  const LogicalVolumeOnDisk* data = Named(found, "vg0/data");
  ASSERT_NE(data, nullptr);
  EXPECT_FALSE(data->removed);
  EXPECT_TRUE(data->unreadable.empty());
  EXPECT_EQ(data->sectorCount, 12 * kExtent);
  EXPECT_EQ(data->pieces,
            (std::vector<SectorMapping>{{kExtent0, kExtent0, 8 * kExtent},
                                        {kExtent0 + 8 * kExtent, kExtent0 + 14 * kExtent, 4 * kExtent}}));
  EXPECT_FALSE(data->Contiguous());
  const LogicalVolumeOnDisk* pad = Named(found, "vg0/pad");
  ASSERT_NE(pad, nullptr);
  EXPECT_TRUE(pad->Contiguous());
  EXPECT_EQ(pad->StartSector(), kExtent0 + 12 * kExtent);
  const LogicalVolumeOnDisk* old = Named(found, "vg0/old");
  ASSERT_NE(old, nullptr);
  EXPECT_TRUE(old->removed);
  EXPECT_EQ(old->StartSector(), kExtent0 + 8 * kExtent);
  EXPECT_EQ(old->sectorCount, 4 * kExtent);

  // Four sectors across the seam: the last two of the first run, the first two of the second.
  SectorReader disk;
  ASSERT_EQ(disk.OpenFile(image), 0u);
  SectorReader volume;
  ASSERT_EQ(volume.OpenDiskVolume(image, data->pieces), 0u);
  const uint64_t seam = kExtent0 + 8 * kExtent;
  std::vector<uint8_t> across(4 * 512), expected(4 * 512);
  uint32_t got = 0;
  ASSERT_EQ(volume.ReadSectors(across, 4, seam - 2, 512, &got), 0u);
  ASSERT_EQ(disk.ReadSectors(std::span(expected).first(1024), 2, seam - 2, 512, &got), 0u);
  ASSERT_EQ(disk.ReadSectors(std::span(expected).subspan(1024), 2, kExtent0 + 14 * kExtent, 512, &got), 0u);
  EXPECT_EQ(across, expected);
  // Its last sector, and nothing past it.
  std::vector<uint8_t> one(512);
  EXPECT_EQ(volume.ReadSectors(one, 1, kExtent0 + 12 * kExtent - 1, 512, &got), 0u);
  EXPECT_NE(volume.ReadSectors(one, 1, volume.TotalSectors(), 512, &got), 0u);
  // Pieces that overlap, or lie past the disk, are refused.
  SectorReader bad;
  EXPECT_NE(bad.OpenDiskVolume(image, std::vector<SectorMapping>{{100, 100, 10}, {105, 300, 10}}), 0u);
  EXPECT_NE(bad.OpenDiskVolume(image, std::vector<SectorMapping>{{100, disk.TotalSectors() - 5, 10}}), 0u);
  // A striped piece needs every stripe, one chunk size and a length that goes round them evenly.
  EXPECT_NE(bad.OpenDiskVolume(image, std::vector<SectorMapping>{{100, 100, 64, 2, 0, 16}}), 0u);
  EXPECT_NE(bad.OpenDiskVolume(image,
                               std::vector<SectorMapping>{{100, 100, 64, 2, 0, 16}, {100, 300, 64, 2, 1, 8}}),
            0u);
  EXPECT_NE(bad.OpenDiskVolume(
                image, std::vector<SectorMapping>{{100, 100, 48, 2, 0, 16}, {100, 300, 48, 2, 1, 16}}),
            0u);
  EXPECT_EQ(bad.OpenDiskVolume(
                image, std::vector<SectorMapping>{{100, 100, 64, 2, 1, 16}, {100, 300, 64, 2, 0, 16}}),
            0u);
}

// Two physical volumes of one group on one disk: a volume striped over both in 64 KiB chunks goes round them
// chunk by chunk, and one that runs from the second into the first reads across.
TEST(LvmLayout, AStripedVolumeGoesRoundItsStripesChunkByChunk) {
  test::TempDir dir;
  const fs::path image = dir.path() / "striped.img";
  test::GunzipFixture("lvm/striped.img.gz", image);
  SectorReader disk;
  ASSERT_EQ(disk.OpenFile(image), 0u);
  const std::vector<LvmPlace> places{{2048, 24576}, {26624, disk.TotalSectors() - 26624}};
  const std::vector<LogicalVolumeOnDisk> found = FindLogicalVolumes(disk, 512, places);
  const LogicalVolumeOnDisk* stripes = Named(found, "vg2/stripes");
  ASSERT_NE(stripes, nullptr);
  ASSERT_EQ(stripes->pieces.size(), 2u);
  EXPECT_EQ(stripes->pieces[1].device, 26624u + 2048);
  SectorReader volume;
  ASSERT_EQ(volume.OpenDiskVolume(image, stripes->pieces), 0u);
  // Chunk 5 (of 128 sectors) is the third chunk of the second stripe.
  std::vector<uint8_t> got(512), expected(512);
  uint32_t n = 0;
  ASSERT_EQ(volume.ReadSectors(got, 1, stripes->StartSector() + 5 * 128 + 7, 512, &n), 0u);
  ASSERT_EQ(disk.ReadSectors(expected, 1, 26624 + 2048 + 2 * 128 + 7, 512, &n), 0u);
  EXPECT_EQ(got, expected);
  const LogicalVolumeOnDisk* span = Named(found, "vg2/span");
  ASSERT_NE(span, nullptr);
  EXPECT_EQ(span->sectorCount, 12u * 2048);
  EXPECT_EQ(span->pieces.size(), 2u);
}

// A label whose checksum fails is no label; a metadata area whose header is damaged still gives its group
// from the newest copy in its ring.
TEST(LvmLayout, DamagedLabelsAreNotTrustedAndARingOutlivesItsHeader) {
  test::TempDir dir;
  const fs::path image = dir.path() / "lvm.img";
  test::GunzipFixture("lvm/lvm.img.gz", image);
  const std::vector<uint8_t> original = test::ReadFile(image);

  std::vector<uint8_t> disk = original;
  disk[(kPv + 1) * 512 + 40] ^= 1;  // inside the volume's UUID
  test::WriteFile(image, disk);
  EXPECT_TRUE(Find(image).empty());

  disk = original;
  disk[kArea + 300] ^= 1;
  test::WriteFile(image, disk);
  const std::vector<LogicalVolumeOnDisk> found = Find(image);
  EXPECT_EQ(found.size(), 3u);
  const LogicalVolumeOnDisk* data = Named(found, "vg0/data");
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data->pieces.size(), 2u);
  ASSERT_NE(Named(found, "vg0/old"), nullptr);
  EXPECT_TRUE(Named(found, "vg0/old")->removed);
}

// Metadata that parses but maps nothing readable: each volume says why, and none is given pieces off its
// physical volume.
TEST(LvmLayout, VolumesThatCannotBeReadSayWhy) {
  test::TempDir dir;
  const fs::path image = dir.path() / "lvm.img";
  test::GunzipFixture("lvm/lvm.img.gz", image);
  std::vector<uint8_t> disk = test::ReadFile(image);
  const auto id = [&] {
    const std::string text(reinterpret_cast<const char*>(disk.data() + (kPv + 1) * 512 + 32), 32);
    return text.substr(0, 6) + "-" + text.substr(6, 4) + "-" + text.substr(10, 4) + "-" + text.substr(14, 4) +
           "-" + text.substr(18, 4) + "-" + text.substr(22, 4) + "-" + text.substr(26, 6);
  }();
  auto lv = [](const std::string& name, const std::string& segments) {
    return name + " {\nid = \"x\"\nstatus = [\"READ\", \"WRITE\", \"VISIBLE\"]\n" + segments + "}\n";
  };
  auto segment = [](int n, int start, int count, const std::string& stripes, const char* type = "striped") {
    return "segment" + std::to_string(n) + " {\nstart_extent = " + std::to_string(start) +
           "\nextent_count = " + std::to_string(count) + "\ntype = \"" + type + "\"\nstripes = [" + stripes +
           "]\n}\n";
  };
  // The group's own id, so that its older copies still count as its own.
  const std::string ring(reinterpret_cast<const char*>(disk.data() + kArea + 512), 200);
  const size_t idAt = ring.find("id = \"") + 6;
  const std::string group = ring.substr(idAt, ring.find('"', idAt) - idAt);
  const std::string text =
      "vg0 {\nid = \"" + group + "\"\nseqno = 99\nextent_size = 2048\nphysical_volumes {\npv0 {\nid = \"" +
      id + "\"\npe_start = 2048\npe_count = 18\n}\n}\nlogical_volumes {\n" +
      lv("good", segment(1, 0, 2, "\"pv0\", 0")) +
      lv("twostripes", segment(1, 0, 2, "\"pv0\", 0, \"pv1\", 0")) +
      lv("offdisk", segment(1, 0, 4, "\"pv0\", 18446744073709551")) +
      lv("gaps", segment(1, 0, 1, "\"pv0\", 0") + segment(2, 3, 1, "\"pv0\", 5")) +
      lv("thin", segment(1, 0, 1, "\"pool\", 0", "thin")) + "hidden {\nid = \"h\"\nstatus = [\"READ\"]\n" +
      segment(1, 0, 1, "\"pv0\", 0") + "}\n}\n}\n";
  RewriteMetadata(disk, text);
  test::WriteFile(image, disk);
  const std::vector<LogicalVolumeOnDisk> found = Find(image);
  ASSERT_NE(Named(found, "vg0/good"), nullptr);
  EXPECT_TRUE(Named(found, "vg0/good")->unreadable.empty());
  for (const char* name : {"vg0/twostripes", "vg0/offdisk", "vg0/gaps", "vg0/thin"}) {
    const LogicalVolumeOnDisk* bad = Named(found, name);
    ASSERT_NE(bad, nullptr) << name;
    EXPECT_FALSE(bad->unreadable.empty()) << name;
    EXPECT_TRUE(bad->pieces.empty()) << name;
  }
  EXPECT_EQ(Named(found, "vg0/hidden"), nullptr);
  // The volumes of the real metadata are all in older copies now: listed as removed.
  ASSERT_NE(Named(found, "vg0/data"), nullptr);
  EXPECT_TRUE(Named(found, "vg0/data")->removed);
}

TEST(LvmMetadata, TextsNoWriterMakesAreRefused) {
  const std::string ok = "vg {\nid = \"a\"\nextent_size = 8\n}\n";
  ASSERT_TRUE(ParseLvmMetadata(ok).has_value());
  std::string deep = "vg {\nextent_size = 8\n";
  for (int i = 0; i < 64; ++i) deep += "s {\n";
  EXPECT_FALSE(ParseLvmMetadata(deep).has_value());
  EXPECT_FALSE(ParseLvmMetadata("vg {\nextent_size = 8\nid = \"never closed\n}\n").has_value());
  EXPECT_FALSE(ParseLvmMetadata("vg {\nextent_size = 99999999999999999999999\n}\n").has_value());
  EXPECT_FALSE(ParseLvmMetadata("vg {\nid = \"no extent size\"\n}\n").has_value());
  EXPECT_FALSE(ParseLvmMetadata("vg {\nextent_size = 8\n").has_value());
  EXPECT_FALSE(ParseLvmMetadata("vg {\nextent_size = 8\nlist = [1, 2\n}\n").has_value());
}

}  // namespace
}  // namespace snapsave
