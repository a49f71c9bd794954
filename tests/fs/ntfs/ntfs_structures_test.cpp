#include <gtest/gtest.h>

#include "fs/ntfs/ntfs_boot_sector.h"
#include "fs/ntfs/ntfs_record.h"
#include "fs/ntfs/ntfs_run_list.h"
#include "fs/ntfs/ntfs_volume.h"
#include "storage/sector_reader.h"
#include "tests/fs/ntfs/ntfs_image_builder.h"
#include "tests/support/test_support.h"

namespace snapsave {
namespace {

using test::NtfsImageBuilder;

TEST(NtfsBootSector, AcceptsLargeClustersAndRejectsReservedSectors) {
  NtfsImageBuilder b;
  b.Boot()[13] = 128;
  ASSERT_TRUE(IsNtfsBootSector(b.Boot()));
  const NtfsGeometry g = ParseNtfsGeometry(b.Boot(), 100);
  EXPECT_EQ(g.sectorsPerCluster, 128u);
  EXPECT_EQ(g.clusterBytes, 65536u);
  EXPECT_EQ(g.mftStartSector, 100 + NtfsImageBuilder::kMftCluster * 128);
  EXPECT_EQ(g.recordSize, 1024u);

  PutLe16(b.Boot(), 14, 1);
  EXPECT_FALSE(IsNtfsBootSector(b.Boot()));
  PutLe16(b.Boot(), 14, 0);
  b.Boot()[13] = 3;
  EXPECT_FALSE(IsNtfsBootSector(b.Boot()));
  b.Boot()[13] = 8;
  PutLe64(b.Boot(), 40, 0);
  EXPECT_FALSE(IsNtfsBootSector(b.Boot()));
  EXPECT_FALSE(IsNtfsBootSector(b.Boot().first(100)));
}

std::vector<uint8_t> RunAttribute(const std::vector<uint8_t>& runs, uint32_t length = 0) {
  std::vector<uint8_t> a(length != 0 ? length : 64 + runs.size() + 8, 0);
  PutLe32(a, 4, static_cast<uint32_t>(a.size()));
  PutLe16(a, 32, 64);
  std::copy(runs.begin(), runs.end(), a.begin() + 64);
  return a;
}

TEST(NtfsRunList, DecodesRelativeNegativeAndSparseRuns) {
  RunList runs;
  DecodeRunList(RunAttribute({0x31, 0x08, 0x00, 0x00, 0x01,  // 8 clusters at 0x10000
                              0x31, 0x10, 0x00, 0x20, 0xFF,  // 16 clusters, -57344 back
                              0x01, 0x04,                    // 4 sparse clusters
                              0x11, 0x02, 0x05}),            // 2 clusters, 5 on from the last real run
                runs);
  ASSERT_EQ(runs.size(), 4u);
  EXPECT_EQ(runs[0].firstCluster, 0x10000u);
  EXPECT_EQ(runs[1].length, 16u);
  EXPECT_EQ(runs[1].offset, -57344);
  EXPECT_EQ(runs[1].firstCluster, 0x10000u - 57344u);
  EXPECT_TRUE(runs[2].sparse);
  EXPECT_EQ(runs[2].length, 4u);
  EXPECT_EQ(runs[3].firstCluster, 0x10000u - 57344u + 5u);
  EXPECT_EQ(TotalClusters(runs), 30u);
}

// One run of a cluster every other cluster from `first`: what a file written into a field of holes looks
// like.
std::vector<uint8_t> ScatteredRuns(size_t count, uint8_t first) {
  std::vector<uint8_t> runs{0x21, 0x01, first, 0x00};
  for (size_t i = 1; i < count; ++i) runs.insert(runs.end(), {0x11, 0x01, 0x02});
  return runs;
}

TEST(NtfsRunList, StopsOnOversizedFieldsAndAtTheAttributesEnd) {
  RunList runs;
  DecodeRunList(RunAttribute({0x11, 0x01, 0x02, 0x88, 1, 2, 3, 4, 5, 6, 7, 8}), runs);
  EXPECT_EQ(runs.size(), 1u) << "8-byte fields end the list";
  runs.clear();
  auto cut = RunAttribute({0x44, 0x01, 0x02});
  cut.resize(67);
  PutLe32(cut, 4, 67);
  DecodeRunList(cut, runs);
  EXPECT_TRUE(runs.empty()) << "a run that leaves the attribute is not decoded";

  // A heavily fragmented file: the attribute is longer than a sector and every run counts.
  const auto many = RunAttribute(ScatteredRuns(200, 0x10));
  ASSERT_GT(many.size(), 512u);
  DecodeRunList(many, runs);
  ASSERT_EQ(runs.size(), 200u);
  EXPECT_EQ(runs.back().firstCluster, 0x10u + 2 * 199);
  // A length field claiming more than was read is bounded by the bytes at hand.
  auto lying = many;
  lying.resize(64 + 4 + 3 * 9);
  PutLe32(lying, 4, 0xFFFFFFFF);
  runs.clear();
  DecodeRunList(lying, runs);
  EXPECT_EQ(runs.size(), 10u);
}

TEST(NtfsRecord, FixupsRestoreSectorTailsAndPlausibility) {
  NtfsImageBuilder b;
  b.BeginRecord(20, 0);
  b.AddResidentData(20, std::vector<uint8_t>(900, 0xAB));  // spans the first sector's tail
  b.EndRecord(20);
  std::vector<uint8_t> r(b.Record(20).begin(), b.Record(20).end());
  EXPECT_TRUE(IsPlausibleFileRecord(r, 1024));
  EXPECT_FALSE(IsPlausibleFileRecord(r, 4096));
  EXPECT_EQ(r[510], 0x01);
  ApplyFixups(r, 512, 2);
  EXPECT_EQ(r[510], 0xAB);
  const auto data = FindAttribute(r, 1024, kAttrData);
  ASSERT_TRUE(data);
  EXPECT_EQ(data->Value().size(), 900u);
}

TEST(NtfsRecord, HostileAttributeHeadersEndTheWalk) {
  NtfsImageBuilder b;
  auto walk = [&](uint64_t n) {
    std::vector<uint8_t> r(b.Record(n).begin(), b.Record(n).end());
    ApplyFixups(r, 512, 2);
    AttributeWalker w(r, RecordBytesInUse(r));
    size_t count = 0;
    while (w.Next()) ++count;
    return std::pair{count, w.Broken()};
  };
  // Length 0: end of walk, not broken.
  b.BeginRecord(20, 0);
  b.AddRaw(20, {0x30, 0, 0, 0, 0, 0, 0, 0});
  b.EndRecord(20);
  EXPECT_EQ(walk(20), (std::pair<size_t, bool>{0, false}));
  // Length 0xFFFFFFFF, and a name that leaves the attribute: broken.
  b.BeginRecord(21, 0);
  b.AddResidentData(21, {1, 2, 3});
  b.AddRaw(21, {0x80, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0});
  b.EndRecord(21);
  EXPECT_EQ(walk(21), (std::pair<size_t, bool>{1, true}));
  b.BeginRecord(22, 0);
  std::vector<uint8_t> named(32, 0);
  PutLe32(named, 0, 0x80);
  PutLe32(named, 4, 32);
  named[9] = 40;  // 80 bytes of name in a 32-byte attribute
  PutLe16(named, 10, 24);
  b.AddRaw(22, named);
  b.EndRecord(22);
  EXPECT_EQ(walk(22), (std::pair<size_t, bool>{0, true}));
  // Bytes in use far past the record: the record bounds the walk.
  b.BeginRecord(23, 0);
  b.AddResidentData(23, {1});
  b.EndRecord(23);
  PutLe32(b.Record(23), 24, 0x7FFFFFFF);
  PutLe32(b.Record(23), 56 + 32, 0x10);  // the end marker becomes an attribute running past the record
  PutLe32(b.Record(23), 56 + 36, 2000);
  EXPECT_EQ(walk(23).first, 1u);
}

TEST(NtfsRecord, AttributeListEntriesNeedSaneLengths) {
  std::vector<uint8_t> v(64, 0);
  PutLe32(v, 0, 0x80);
  PutLe16(v, 4, 32);
  PutLe32(v, 16, 40);
  PutLe16(v, 20, 1);
  PutLe32(v, 32, 0x80);
  PutLe16(v, 36, 0);  // zero length would loop forever
  const auto entries = ParseAttributeList(v);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].record, (uint64_t{1} << 32) | 40u);
}

class NtfsVolumeTest : public ::testing::Test {
 protected:
  void Open() {
    b.Save(dir.path() / "v.img");
    ASSERT_EQ(reader.OpenFile(dir.path() / "v.img"), 0u);
    volume.emplace(reader, 0, ParseNtfsGeometry(b.Boot(), 0));
    ASSERT_EQ(volume->LoadMftRuns(), 0);
  }
  test::TempDir dir;
  NtfsImageBuilder b;
  SectorReader reader;
  std::optional<NtfsVolume> volume;
};

TEST_F(NtfsVolumeTest, LocatesRecordsAndReadsSparseRunsAsZeros) {
  b.BeginRecord(30, 0);
  b.AddNonResident(30, 0x80, {0x21, 0x01, 0xC8, 0x00, 0x01, 0x02, 0x11, 0x01, 0x02}, 2048);
  b.EndRecord(30);
  b.WriteCluster(200, std::vector<uint8_t>(512, 0x11));
  b.WriteCluster(201, std::vector<uint8_t>(512, 0x22));  // what a sparse run must not pick up
  b.WriteCluster(202, std::vector<uint8_t>(512, 0x33));  // 200 + 2: the sparse run moves nothing
  Open();
  EXPECT_EQ(volume->RecordSector(30), NtfsImageBuilder::kMftCluster + 60);
  EXPECT_EQ(volume->RecordSector(NtfsImageBuilder::kMftRecords), 0u)
      << "past the MFT: the volume's first sector";
  RunList runs;
  ASSERT_EQ(volume->FindAttributeRuns(volume->RecordSector(30), 0x80, runs), 0);
  ASSERT_EQ(runs.size(), 3u);
  std::vector<uint8_t> data;
  ASSERT_EQ(volume->ReadRuns(runs, 2048,
                             [&](ByteSpan p) {
                               data.insert(data.end(), p.begin(), p.end());
                               return 0;
                             }),
            0);
  ASSERT_EQ(data.size(), 2048u);
  EXPECT_EQ(data[0], 0x11);
  EXPECT_EQ(data[600], 0x00);
  EXPECT_EQ(data[1100], 0x00);
  EXPECT_EQ(data[1600], 0x33);
  EXPECT_EQ(volume->FindAttributeRuns(volume->RecordSector(31), 0x80, runs), kNtfsNoFileRecord);
  EXPECT_EQ(volume->FindAttributeRuns(volume->RecordSector(0), 0x30, runs), kNtfsAttributeAbsent);
}

TEST_F(NtfsVolumeTest, ResidentDataAndAttributeLists) {
  b.BeginRecord(20, 0);
  b.AddResidentData(20, {'h', 'i'});
  b.EndRecord(20);
  // Record 21 keeps its data in record 22 through a resident list; record 23's list names itself and 23
  // again.
  b.BeginRecord(21, 0);
  b.AddDataAttributeList(21, {{21, 0, u""}, {22, 0, u""}, {22, 0, u""}});
  b.EndRecord(21);
  b.BeginRecord(22, 0);
  b.SetBaseRecord(22, 21);
  b.AddNonResident(22, 0x80, {0x11, 0x03, 0x64}, 1536);
  b.EndRecord(22);
  b.BeginRecord(23, 0);
  b.AddDataAttributeList(23, {{23, 0, u""}, {23, 0, u""}, {23, 0, u""}});
  b.EndRecord(23);
  Open();
  std::vector<uint8_t> value;
  EXPECT_EQ(volume->ReadResidentData(volume->RecordSector(20), value), 0);
  EXPECT_EQ(value, (std::vector<uint8_t>{'h', 'i'}));
  EXPECT_EQ(volume->ReadResidentData(volume->RecordSector(22), value), kNtfsNotResident);
  RunList runs;
  ASSERT_EQ(volume->FindAttributeRuns(volume->RecordSector(21), 0x80, runs), 0);
  ASSERT_EQ(runs.size(), 1u) << "each record is searched once";
  EXPECT_EQ(runs[0].firstCluster, 100u);
  runs.clear();
  EXPECT_EQ(volume->FindAttributeRuns(volume->RecordSector(23), 0x80, runs), kNtfsAttributeAbsent);
}

std::vector<uint8_t> ReadAll(const NtfsVolume& volume, const RunList& runs, uint64_t bytes) {
  std::vector<uint8_t> data;
  volume.ReadRuns(runs, bytes, [&](ByteSpan p) {
    data.insert(data.end(), p.begin(), p.end());
    return 0;
  });
  return data;
}

// Cluster `c` filled with its own low byte, so that the order of what is read shows.
void MarkClusters(NtfsImageBuilder& b, uint64_t from, uint64_t to) {
  for (uint64_t c = from; c < to; ++c) b.WriteCluster(c, std::vector<uint8_t>(512, static_cast<uint8_t>(c)));
}

TEST_F(NtfsVolumeTest, FragmentedFileWhoseRunListOutgrowsASector) {
  b.BeginRecord(30, 0);
  b.AddNonResident(30, 0x80, ScatteredRuns(200, 200), 200 * 512);
  b.EndRecord(30);
  MarkClusters(b, 200, 600);
  Open();
  RunList runs;
  ASSERT_EQ(volume->FindAttributeRuns(volume->RecordSector(30), 0x80, runs), 0);
  const auto data = ReadAll(*volume, runs, 200 * 512);
  ASSERT_EQ(data.size(), 200u * 512);
  EXPECT_EQ(data[199 * 512], static_cast<uint8_t>(200 + 2 * 199));
}

TEST_F(NtfsVolumeTest, DataContinuedInExtensionRecordsIsReadInVcnOrder) {
  // Record 40: clusters 200-201 at VCN 0; 41: 210-211 at VCN 2 and a named stream; 42: 220-221 at VCN 4;
  // 43 names 40 as its base no longer (reused) and must not contribute. The list is out of VCN order.
  b.BeginRecord(40, 0);
  b.AddDataAttributeList(40, {{40, 0, u""}, {42, 4, u""}, {43, 6, u""}, {41, 2, u""}, {41, 0, u"x"}});
  b.AddNonResident(40, 0x80, {0x21, 0x02, 200, 0}, 6 * 512);
  b.EndRecord(40);
  b.BeginRecord(41, 0);
  b.SetBaseRecord(41, 40);
  b.AddNonResident(41, 0x80, {0x21, 0x02, 210, 0}, 0, 2);
  b.AddNonResident(41, 0x80, {0x21, 0x01, 240, 0}, 512, 0, u"x");
  b.EndRecord(41);
  b.BeginRecord(42, 0);
  b.SetBaseRecord(42, 40);
  b.AddNonResident(42, 0x80, {0x21, 0x02, 220, 0}, 0, 4);
  b.EndRecord(42);
  b.BeginRecord(43, 0);
  b.AddNonResident(43, 0x80, {0x21, 0x02, 230, 0}, 0, 6);
  b.EndRecord(43);
  MarkClusters(b, 200, 250);
  Open();
  RunList runs;
  ASSERT_EQ(volume->FindAttributeRuns(volume->RecordSector(40), 0x80, runs), 0);
  const auto data = ReadAll(*volume, runs, 6 * 512);
  ASSERT_EQ(data.size(), 6u * 512);
  std::vector<uint8_t> order;
  for (size_t i = 0; i < data.size(); i += 512) order.push_back(data[i]);
  EXPECT_EQ(order, (std::vector<uint8_t>{200, 201, 210, 211, 220, 221}));
}

TEST_F(NtfsVolumeTest, RunsPastTheVolumeFailTheRead) {
  b.BeginRecord(20, 0);
  b.AddNonResident(20, 0x80, {0x41, 0x01, 0x00, 0x00, 0x00, 0x7F}, 512);
  b.EndRecord(20);
  Open();
  RunList runs;
  ASSERT_EQ(volume->FindAttributeRuns(volume->RecordSector(20), 0x80, runs), 0);
  EXPECT_EQ(volume->ReadRuns(runs, 512, [](ByteSpan) { return 0; }), 30);
}

}  // namespace
}  // namespace snapsave
