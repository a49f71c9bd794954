#include "catalog/found_file_catalogue.h"

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "catalog/catalogue_format.h"
#include "filetypes/file_categories.h"
#include "os/error.h"
#include "tests/support/test_support.h"

namespace snapsave {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kRootRef = 5;

FoundFileRecord Rec(std::string_view name, bool folder = false, uint32_t entryRef = 0, uint32_t intact = 1) {
  FoundFileRecord r = MakeEmptyRecord();
  r.driveLetter = u'E';
  r.isFolder = folder ? 1 : 0;
  r.isIntact = intact;
  r.entryRef = entryRef;
  r.fileSize = name.size();
  r.SetName(name);
  return r;
}

// Reserves `r` and files it in the folder (depth, parentRef); folders are named in the folder file.
uint32_t File(FoundFileCatalogue& c, uint32_t depth, uint32_t parentRef, FoundFileRecord& r,
              bool named = true) {
  const uint32_t id = c.ReserveRecord(r);
  std::optional<std::string_view> name;
  if (r.isFolder != 0 && named) name = r.Name();
  c.AddToFolder(parentRef, depth, id, r.entryRef, name);
  return id;
}

uint32_t File(FoundFileCatalogue& c, uint32_t depth, uint32_t parentRef, FoundFileRecord&& r,
              bool named = true) {
  return File(c, depth, parentRef, r, named);
}

std::vector<std::string> Names(const RecordList& list) {
  std::vector<std::string> names;
  for (const auto& r : list) names.emplace_back(r.Name());
  return names;
}

std::string Text(const std::vector<uint8_t>& bytes) {
  return {bytes.begin(), bytes.end()};
}
std::span<const uint8_t> Bytes(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

TEST(RelationText, WritesEntriesAndReadsThemBack) {
  std::string text;
  const std::vector<uint32_t> ids{1, 5};
  AppendRelationEntry(text, 2, ids);
  EXPECT_EQ(text, " | 2 - [1,5]");
  AppendRelationEntry(text, MakeFolderKey(3, 0xFFFFFFFF), std::vector<uint32_t>{});
  const RelationMap parsed = ParseRelationText(Bytes(text));
  ASSERT_EQ(parsed.size(), 2u);
  EXPECT_EQ(parsed.at(2), ids);
  EXPECT_TRUE(parsed.at(MakeFolderKey(3, 0xFFFFFFFF)).empty());

  const RelationMap deep = ParseRelationText(Bytes(" | 4294967298 - [7]"));
  ASSERT_EQ(deep.size(), 1u);
  EXPECT_EQ(FolderKeyDepth(deep.begin()->first), 1u);
  EXPECT_EQ(FolderKeyRef(deep.begin()->first), 2u);
  EXPECT_EQ(deep.begin()->second, std::vector<uint32_t>{7});
}

TEST(RelationText, SurvivesDamagedText) {
  // A key seen twice keeps its last list; a cut-off entry keeps the ids that were complete.
  const RelationMap parsed = ParseRelationText(Bytes("junk | 2 - [1] | 2 - [3,4] | x - [9] | 8 - [10,11,1"));
  EXPECT_EQ(parsed.at(2), (std::vector<uint32_t>{3, 4}));
  EXPECT_EQ(parsed.at(8), (std::vector<uint32_t>{10, 11}));
  EXPECT_EQ(parsed.size(), 2u);
  // Ids too large for a record number are dropped; a negative key wraps like the writer's cast.
  const RelationMap odd = ParseRelationText(Bytes(" | -1 - [99999999999,,2] | 3 - ["));
  EXPECT_EQ(odd.at(~uint64_t{0}), std::vector<uint32_t>{2});
  EXPECT_TRUE(odd.at(3).empty());
  EXPECT_TRUE(ParseRelationText(Bytes(" | ")).empty());
  EXPECT_TRUE(ParseRelationText(Bytes(" | 12")).empty());
}

TEST(FolderNames, RoundTripAndIgnoreATrailingPartialRecord) {
  FolderNameEntry entry{0x01020304, 9, std::string(300, 'n')};
  std::vector<uint8_t> bytes(kFolderNameRecordSize + 100, 0xEE);
  EncodeFolderName(entry, std::span<uint8_t, kFolderNameRecordSize>(bytes.data(), kFolderNameRecordSize));
  EXPECT_EQ(bytes[0], 0x04);
  EXPECT_EQ(bytes[4], 9);
  EXPECT_EQ(bytes[8 + 258], 'n');
  EXPECT_EQ(bytes[8 + 259], 0);  // the terminator always fits
  const auto parsed = ParseFolderNames(bytes);
  ASSERT_EQ(parsed.size(), 1u);
  EXPECT_EQ(parsed[0].entryRef, 0x01020304u);
  EXPECT_EQ(parsed[0].name, std::string(259, 'n'));
}

TEST(FormatSizeAndLogName, MatchTheStoredForms) {
  EXPECT_EQ(FormatSize(1536), "1.5 KiB");
  EXPECT_EQ(FormatSize(1023), "1023 B");
  EXPECT_EQ(FormatSize(3ll << 30), "3.0 GiB");
  EXPECT_EQ(FormatSize(5ll << 20), "5.0 MiB");
  EXPECT_EQ(FormatSize(3ll << 40), "3.0 TiB");
  os::LocalTime t{2024, 3, 7, 9, 5, 0, 0};
  EXPECT_EQ(MakeLogName(log_prefix::kFast, 2048, t), "Fast_2048_2024379 5");
  t.minute = 42;
  EXPECT_EQ(MakeLogName(log_prefix::kFileType, 0, t), "File_Type_0_202437942");
  EXPECT_EQ(MakeLogName(log_prefix::kProFat, 63, t), "Pro_Fat_63_202437942");
  EXPECT_EQ(MakeLogName(log_prefix::kProNtfs, 63, t), "Pro_Ntfs_63_202437942");
}

class CatalogueTest : public ::testing::Test {
 protected:
  test::TempDir dir_;
  fs::path Path(std::string_view suffix = "") const {
    return dir_.path() / ("Fast_0_2024379 5" + std::string(suffix));
  }
  void Open(FoundFileCatalogue& c) { ASSERT_EQ(c.OpenIn(dir_.path(), "Fast_0_2024379 5"), 0u); }
};

TEST_F(CatalogueTest, FilesAreWrittenByteForByte) {
  std::vector<FoundFileRecord> added;
  {
    FoundFileCatalogue c;
    Open(c);
    FoundFileRecord folder = Rec("DCIM", true, 10);
    File(c, 0, kRootRef, folder);
    File(c, 1, 10, Rec("a.jpg"));
    File(c, 0, kRootRef, Rec("b.txt"));
    ASSERT_EQ(c.Flush(), 0u);
    EXPECT_EQ(c.GetRecordCount(), 3u);
  }
  const auto records = test::ReadFile(Path());
  ASSERT_EQ(records.size(), 3 * kRecordSize);
  const FoundFileRecord second =
      DecodeRecord(std::span<const uint8_t, kRecordSize>(records.data() + kRecordSize, kRecordSize));
  EXPECT_EQ(uint32_t{second.recordId}, 2u);  // a packed field cannot bind to a reference
  EXPECT_EQ(second.Name(), "a.jpg");
  EXPECT_EQ(Text(test::ReadFile(Path("_Relation"))), " | 5 - [1,3] | 4294967306 - [2]");
  const auto dirInfo = test::ReadFile(Path("_DirInfo"));
  ASSERT_EQ(dirInfo.size(), kFolderNameRecordSize);
  EXPECT_EQ(dirInfo[0], 10);
  EXPECT_EQ(dirInfo[4], 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(dirInfo.data() + 8)), "DCIM");
}

TEST_F(CatalogueTest, TheTwoHundredAndFirstRecordWritesTheFirstTwoHundred) {
  FoundFileCatalogue c;
  Open(c);
  for (int i = 0; i < 200; ++i) File(c, 0, kRootRef, Rec("f" + std::to_string(i)));
  EXPECT_EQ(fs::file_size(Path()), 0u);
  File(c, 0, kRootRef, Rec("f200"));
  EXPECT_EQ(fs::file_size(Path()), FoundFileCatalogue::kBufferCapacity);
  ASSERT_EQ(c.Flush(), 0u);
  EXPECT_EQ(fs::file_size(Path()), 201 * kRecordSize);
}

TEST_F(CatalogueTest, ListFolderSortsFilesFirstAndListsDamagedPhotos) {
  FoundFileCatalogue c;
  Open(c);
  File(c, 0, kRootRef, Rec("a", true, 10));
  File(c, 0, kRootRef, Rec("c.txt"));
  File(c, 0, kRootRef, Rec("B.jpg"));
  File(c, 0, kRootRef, Rec("broken.JPG", false, 0, 0));  // photo that failed its content check
  File(c, 0, kRootRef, Rec("broken.doc", false, 0, 0));
  RecordList out;
  ASSERT_EQ(c.ListFolder(0, out), 0u);
  EXPECT_EQ(Names(out), (std::vector<std::string>{"B.jpg", "broken.doc", "broken.JPG", "c.txt", "a"}));
  RecordList same;
  ASSERT_EQ(c.ListFolder(MakeFolderKey(0, kRootRef), same), 0u);
  EXPECT_EQ(Names(same), Names(out));
  RecordList none;
  EXPECT_EQ(c.ListFolder(MakeFolderKey(7, 7), none), 0u);
  EXPECT_TRUE(none.empty());
  uint32_t count = 0;
  ASSERT_EQ(c.CountFiles(0, count), 0u);
  EXPECT_EQ(count, 4u);
}

TEST_F(CatalogueTest, LargeListingsKeepTheRecordOrderIncludingTies) {
  FoundFileCatalogue c;
  Open(c);
  RecordList added;
  const char* names[] = {"img.JPG",    "Img.jpg",     "a",        "B", "b",
                         "abcdefghij", "ABCDEFGHIJK", "abcdefgh", "",  "~x"};
  for (int i = 0; i < 300; ++i) {
    FoundFileRecord r = Rec(names[(i * 7) % 10], i % 3 == 0, static_cast<uint32_t>(100 + i));
    r.fileSize = static_cast<uint64_t>(i);  // tells equal names apart
    File(c, 0, kRootRef, r, /*named=*/false);
    added.push_back(r);
  }
  SortRecordList(added);
  RecordList listed;
  listed.push_back(Rec("zz-already-there"));
  ASSERT_EQ(c.ListFolder(0, listed), 0u);
  ASSERT_EQ(listed.size(), added.size() + 1);
  listed.erase(std::find_if(listed.begin(), listed.end(),
                            [](const auto& r) { return r.Name() == "zz-already-there"; }));
  EXPECT_EQ(std::memcmp(listed.data(), added.data(), added.size() * kRecordSize), 0);
}

TEST_F(CatalogueTest, CountFilesWalksNestedFoldersAndStopsOnLoops) {
  FoundFileCatalogue c;
  Open(c);
  File(c, 0, kRootRef, Rec("root.txt"));
  File(c, 0, kRootRef, Rec("A", true, 10));
  File(c, 1, 10, Rec("a1.txt"));
  File(c, 1, 10, Rec("B", true, 20));
  File(c, 2, 20, Rec("b1.txt"));
  File(c, 2, 20, Rec("b2.txt"));
  // Damaged media: a folder that lists itself under the next depth, twice.
  File(c, 3, 30, Rec("loop", true, 30));
  File(c, 3, 30, Rec("loop", true, 30));
  File(c, 2, 20, Rec("L", true, 30));
  uint32_t count = 0;
  ASSERT_EQ(c.CountFiles(0, count), 0u);
  EXPECT_EQ(count, 4u);
  ASSERT_EQ(c.CountFiles(MakeFolderKey(1, 10), count), 0u);
  EXPECT_EQ(count, 3u);
}

TEST_F(CatalogueTest, RecordPathsFollowFoldersAndDegradeOnDamage) {
  FoundFileCatalogue c;
  Open(c);
  FoundFileRecord inRoot = Rec("top.txt");
  File(c, 0, kRootRef, inRoot);
  File(c, 0, kRootRef, Rec("A", true, 10));
  File(c, 1, 10, Rec("B", true, 20), /*named=*/false);  // a folder missing from the folder file
  FoundFileRecord deep = Rec("deep.txt");
  File(c, 2, 20, deep);
  File(c, 0, kRootRef, Rec("only-a-file", false, 40));
  FoundFileRecord orphan = Rec("orphan.txt");
  File(c, 1, 40, orphan);  // its parent ref matches only a file record

  std::string path;
  ASSERT_EQ(c.GetRecordPath(&inRoot, path), 0u);
  EXPECT_EQ(path, "");
  ASSERT_EQ(c.GetRecordPath(&deep, path), 0u);
  EXPECT_EQ(path, "A/B/");
  RecordList ancestors;
  ASSERT_EQ(c.CollectAncestors(&deep, ancestors), 0u);
  EXPECT_EQ(Names(ancestors), (std::vector<std::string>{"B", "A"}));
  RecordList partial;
  EXPECT_EQ(c.CollectAncestors(&orphan, partial), err::kInvalidParameter);
  EXPECT_TRUE(partial.empty());
  ASSERT_EQ(c.GetRecordPath(&orphan, path), 0u);
  EXPECT_EQ(path, "");
  EXPECT_EQ(c.CollectAncestors(nullptr, partial), err::kInvalidParameter);
}

TEST_F(CatalogueTest, AncestorWalkEndsOnAFolderCycle) {
  FoundFileCatalogue c;
  Open(c);
  File(c, 0, kRootRef, Rec("root.txt"));
  File(c, 1, 60, Rec("X", true, 50));  // X lies in Y ...
  File(c, 1, 50, Rec("Y", true, 60));  // ... and Y in X
  FoundFileRecord inner = Rec("inner.txt");
  File(c, 2, 50, inner);
  std::string path;
  ASSERT_EQ(c.GetRecordPath(&inner, path), 0u);
  EXPECT_EQ(path, "Y/X/");
}

TEST_F(CatalogueTest, ReopenListsTheSameAndAppendsAfterStoredRecords) {
  RecordList before;
  {
    FoundFileCatalogue c;
    Open(c);
    File(c, 0, kRootRef, Rec("zeta.txt"));
    File(c, 0, kRootRef, Rec("Alpha", true, 10));
    File(c, 0, kRootRef, Rec("beta.txt"));
    File(c, 1, 10, Rec("inside.txt"));
    ASSERT_EQ(c.ListFolder(0, before), 0u);
  }
  FoundFileCatalogue c;
  Open(c);
  EXPECT_EQ(c.GetRecordCount(), 0u);
  RecordList after;
  ASSERT_EQ(c.ListFolder(0, after), 0u);
  ASSERT_EQ(Names(after), Names(before));
  EXPECT_EQ(std::memcmp(after.data(), before.data(), before.size() * kRecordSize), 0);
  std::string path;
  FoundFileRecord alpha = after.back();  // a record read back keeps its id
  ASSERT_EQ(c.GetRecordPath(&alpha, path), 0u);
  EXPECT_EQ(path, "");

  // New records continue after the stored ones instead of overwriting record 1.
  FoundFileRecord more = Rec("more.txt");
  EXPECT_EQ(File(c, 1, 10, more), 5u);
  EXPECT_EQ(c.GetRecordCount(), 1u);
  RecordList inAlpha;
  ASSERT_EQ(c.ListFolder(MakeFolderKey(1, 10), inAlpha), 0u);
  EXPECT_EQ(Names(inAlpha), (std::vector<std::string>{"inside.txt", "more.txt"}));
  ASSERT_EQ(c.GetRecordPath(&more, path), 0u);
  EXPECT_EQ(path, "Alpha/");
}

// Back to a checkpoint's record count: later records leave the file, their filings and folder names go, and
// new ids continue from the count, so nothing is listed twice.
TEST_F(CatalogueTest, KeepingTheFirstRecordsDropsLaterOnesAndTheirFilings) {
  {
    FoundFileCatalogue c;
    Open(c);
    File(c, 0, kRootRef, Rec("kept.txt"));
    File(c, 0, kRootRef, Rec("Kept", true, 10));
    File(c, 0, kRootRef, Rec("Late", true, 11));
    File(c, 1, 10, Rec("late.txt"));
    ASSERT_EQ(c.Flush(), 0u);
  }
  FoundFileCatalogue c;
  Open(c);
  ASSERT_EQ(c.TotalRecords(), 4u);
  ASSERT_EQ(c.KeepRecords(2), 0u);
  EXPECT_EQ(fs::file_size(Path()), 2 * kRecordSize);
  EXPECT_EQ(File(c, 1, 10, Rec("again.txt")), 3u);
  ASSERT_EQ(c.Flush(), 0u);
  FoundFileCatalogue reopened;
  Open(reopened);
  RecordList root, inKept;
  ASSERT_EQ(reopened.ListFolder(MakeFolderKey(0, kRootRef), root), 0u);
  ASSERT_EQ(reopened.ListFolder(MakeFolderKey(1, 10), inKept), 0u);
  EXPECT_EQ(Names(root), (std::vector<std::string>{"kept.txt", "Kept"}));
  EXPECT_EQ(Names(inKept), (std::vector<std::string>{"again.txt"}));
  EXPECT_EQ(reopened.FolderEntryRefs(), (std::vector<uint32_t>{10}));
  EXPECT_FALSE(fs::exists(Path("_Relation.tmp")));
}

TEST_F(CatalogueTest, RecordsBeyondFourGibibytesLandAtTheirOwnOffset) {
  // 12.5 million stored records: past both the signed and the unsigned 32-bit byte range. Sparse, so cheap.
  constexpr uint64_t kStored = 12'500'000;
  { std::ofstream(Path()).flush(); }
  fs::resize_file(Path(), kStored * kRecordSize);
  FoundFileCatalogue c;
  Open(c);
  FoundFileRecord r = Rec("far.txt");
  const uint32_t id = File(c, 0, kRootRef, r);
  EXPECT_EQ(id, kStored + 1);
  ASSERT_EQ(c.Flush(), 0u);
  EXPECT_EQ(fs::file_size(Path()), (kStored + 1) * kRecordSize);
  RecordList out;
  ASSERT_EQ(c.ListFolder(0, out), 0u);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].Name(), "far.txt");
}

#ifndef _WIN32
TEST_F(CatalogueTest, AFailedBufferWriteIsReportedByTheNextFlush) {
  FoundFileCatalogue c;
  Open(c);
  // Let the first buffer through and fail the second: writes past the limit fail with EFBIG.
  struct sigaction ignore {};
  struct sigaction previousAction {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &previousAction), 0);
  rlimit previous{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
  rlimit limited = previous;
  limited.rlim_cur = 100'000;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  for (int i = 0; i < 401; ++i) File(c, 0, kRootRef, Rec("f"));
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &previous), 0);
  sigaction(SIGXFSZ, &previousAction, nullptr);
  EXPECT_NE(c.Flush(), 0u);
  EXPECT_EQ(c.Flush(), 0u);  // reported once; later records are written again
  EXPECT_EQ(fs::file_size(Path()), 401 * kRecordSize);
}
#endif

int32_t StopAfterFirst(void* context, int32_t percent, int32_t) {
  static_cast<std::vector<int32_t>*>(context)->push_back(percent);
  return ScanCancelled;
}

int32_t Record(void* context, int32_t percent, int32_t) {
  static_cast<std::vector<int32_t>*>(context)->push_back(percent);
  return 0;
}

TEST_F(CatalogueTest, SearchByTypeMatchesExtensionsAsSubstrings) {
  FoundFileCatalogue c;
  Open(c);
  File(c, 0, kRootRef, Rec("x.JPG"));
  File(c, 0, kRootRef, Rec("short.jp"));
  File(c, 0, kRootRef, Rec("song.mp3"));
  File(c, 0, kRootRef, Rec("noext"));
  File(c, 0, kRootRef, Rec("broken.jpg", false, 0, 0));
  File(c, 0, kRootRef, Rec("album.jpg", true, 10));
  for (int i = 0; i < 250; ++i) File(c, 1, 10, Rec("p" + std::to_string(i) + ".png"));
  std::vector<int32_t> percents;
  c.SetSearchCallback(Record, &percents);
  RecordList out;
  EXPECT_EQ(c.SearchByType(kPhotoList, out), 1u);
  ASSERT_EQ(out.size(), 253u);  // the damaged photo too
  EXPECT_EQ(out[0].Name(), "broken.jpg");
  EXPECT_EQ(percents, (std::vector<int32_t>{78, 100}));
  RecordList all;
  EXPECT_EQ(c.SearchByType(kAllTypes, all), 1u);
  EXPECT_EQ(all.size(), 255u);  // the song and the file without an extension too

  std::vector<int32_t> stopped;
  c.SetSearchCallback(StopAfterFirst, &stopped);
  RecordList first;
  EXPECT_EQ(c.SearchByType(kPhotoList, first), 1u);
  EXPECT_EQ(first.size(), 197u);  // the first block only
  EXPECT_EQ(stopped.size(), 1u);

  FoundFileCatalogue closed;
  EXPECT_EQ(closed.SearchByType(kPhotoList, out), 0u);
}

TEST_F(CatalogueTest, RejectsLogNamesThatLeaveTheFolder) {
  FoundFileCatalogue c;
  EXPECT_EQ(c.OpenIn(dir_.path() / "sub", "../escape"), err::kInvalidParameter);
  EXPECT_EQ(c.OpenIn(dir_.path(), ".."), err::kInvalidParameter);
  EXPECT_FALSE(fs::exists(dir_.path() / "escape"));
}

}  // namespace
}  // namespace snapsave
