#include "catalog/found_file_record.h"

#include <cstring>

#include <gtest/gtest.h>

namespace snapsave {
namespace {

FoundFileRecord Sample() {
  FoundFileRecord r = MakeEmptyRecord();
  r.driveLetter = u'E';
  r.sourceKind = static_cast<uint32_t>(SourceKind::kFatDeep);
  r.isFolder = 1;
  r.isDeleted = 1;
  r.isIntact = 1;
  r.recordId = 0x11223344;
  r.entryRef = 0x55667788;
  r.clusterSize = 4096;
  r.creationTime = 0x0102030405060708ull;
  r.accessTime = 0x1112131415161718ull;
  r.writeTime = 0x2122232425262728ull;
  r.fileSize = 0x3132333435363738ull;
  r.dataStartSector = 0x4142434445464748ull;
  r.entryLocation = 0x5152535455565758ull;
  r.volumeStartSector = 0x6162636465666768ull;
  r.SetName("Holiday \xC3\xA9t\xC3\xA9.jpg");
  return r;
}

TEST(FoundFileRecord, EncodesEveryFieldAtItsOffsetLittleEndian) {
  std::array<uint8_t, kRecordSize> bytes{};
  EncodeRecord(Sample(), bytes);
  EXPECT_EQ(bytes[0], 'E');
  EXPECT_EQ(bytes[1], 0);
  EXPECT_EQ(bytes[2], 3);  // sourceKind
  EXPECT_EQ(bytes[6], 1);  // isFolder
  EXPECT_EQ(bytes[10], 1);
  EXPECT_EQ(bytes[14], 1);
  EXPECT_EQ(bytes[18], 0x44);  // recordId, low byte first
  EXPECT_EQ(bytes[21], 0x11);
  EXPECT_EQ(bytes[22], 0x88);
  EXPECT_EQ(bytes[26], 0x00);
  EXPECT_EQ(bytes[27], 0x10);  // 4096
  EXPECT_EQ(bytes[30], 0x08);
  EXPECT_EQ(bytes[37], 0x01);
  EXPECT_EQ(bytes[38], 0x18);
  EXPECT_EQ(bytes[46], 0x28);
  EXPECT_EQ(bytes[54], 0x38);
  EXPECT_EQ(bytes[62], 0x48);
  EXPECT_EQ(bytes[70], 0x58);
  EXPECT_EQ(bytes[78], 0x68);
  EXPECT_EQ(bytes[85], 0x61);
  EXPECT_EQ(bytes[86], 'H');
  EXPECT_EQ(bytes[345], 0);
}

TEST(FoundFileRecord, DecodeOfEncodeIsByteIdentical) {
  std::array<uint8_t, kRecordSize> first{};
  std::array<uint8_t, kRecordSize> second{};
  EncodeRecord(Sample(), first);
  FoundFileRecord back = DecodeRecord(first);
  EncodeRecord(back, second);
  EXPECT_EQ(first, second);
  EXPECT_EQ(back.Name(), Sample().Name());
  EXPECT_EQ(back.fileSize, 0x3132333435363738ull);
}

TEST(FoundFileRecord, NamesAreCutAtACharacterBoundaryAndAlwaysTerminated) {
  FoundFileRecord r = MakeEmptyRecord();
  std::string longName(258, 'a');
  longName += "\xC3\xA9\xC3\xA9";  // a two-byte character would straddle byte 259
  r.SetName(longName);
  EXPECT_EQ(r.Name().size(), 258u + 0u + 0u + 0u);
  EXPECT_EQ(r.name[259], 0);
  // An undecorated 260-byte name from a damaged record is bounded by the field, not read past it.
  std::memset(r.name, 'x', sizeof(r.name));
  EXPECT_EQ(r.Name().size(), 260u);
}

TEST(RecordList, FilesBeforeFoldersThenNamesWithAsciiFolding) {
  RecordList list;
  auto add = [&](const char* name, uint32_t folder) {
    FoundFileRecord r = MakeEmptyRecord();
    r.SetName(name);
    r.isFolder = folder;
    list.push_back(r);
  };
  add("a", 1);
  add("c.txt", 0);
  add("B.jpg", 0);
  add("B", 1);
  add("b.jpg.bak", 0);
  SortRecordList(list);
  std::vector<std::string> names;
  for (const auto& r : list) names.emplace_back(r.Name());
  EXPECT_EQ(names, (std::vector<std::string>{"B.jpg", "b.jpg.bak", "c.txt", "a", "B"}));
}

}  // namespace
}  // namespace snapsave
