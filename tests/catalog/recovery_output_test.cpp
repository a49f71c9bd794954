#include "catalog/recovery_output.h"

#include <map>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace snapsave {
namespace {

namespace fs = std::filesystem;

TEST(SanitizeNameComponent, NeverYieldsAPathThatLeavesItsFolder) {
  EXPECT_EQ(SanitizeNameComponent("../../etc/passwd"), ".._.._etc_passwd");
#ifdef _WIN32
  // Windows drops a trailing dot, so the name is fitted before "." and ".." could arise.
  EXPECT_EQ(SanitizeNameComponent(".."), "._");
  EXPECT_EQ(SanitizeNameComponent("."), "_");
#else
  EXPECT_EQ(SanitizeNameComponent(".."), "_..");
  EXPECT_EQ(SanitizeNameComponent("."), "_.");
#endif
  EXPECT_EQ(SanitizeNameComponent(""), "_");
  EXPECT_EQ(SanitizeNameComponent("a\\b"), "a_b");
  EXPECT_EQ(SanitizeNameComponent(std::string("a\0b\x1F", 4)), "a_b_");
  EXPECT_EQ(SanitizeNameComponent("\xC3\xA9t\xC3\xA9.jpg"), "\xC3\xA9t\xC3\xA9.jpg");
  std::string longName(254, 'a');
  longName += "\xC3\xA9";
  EXPECT_EQ(SanitizeNameComponent(longName).size(), 254u);
}

TEST(MakeUniquePath, CountsUpBeforeTheExtension) {
  test::TempDir dir;
  test::WriteFile(dir.path() / "IMG_1.JPG", std::vector<uint8_t>{1});
  test::WriteFile(dir.path() / "IMG_1(1).JPG", std::vector<uint8_t>{1});
  EXPECT_EQ(MakeUniquePath(dir.path() / "IMG_1.JPG"), dir.path() / "IMG_1(2).JPG");
  test::WriteFile(dir.path() / "README", std::vector<uint8_t>{1});
  EXPECT_EQ(MakeUniquePath(dir.path() / "README"), dir.path() / "README(1)");
  EXPECT_EQ(MakeUniquePath(dir.path() / "new.txt"), dir.path() / "new.txt");
}

TEST(CountSeparators, IgnoresATrailingSeparator) {
  EXPECT_EQ(CountSeparators("D:"), 0u);
  EXPECT_EQ(CountSeparators("D:\\Rec"), 1u);
  EXPECT_EQ(CountSeparators("D:\\Rec\\"), 1u);
  EXPECT_EQ(CountSeparators("/home/u/rec"), 3u);
}

struct Progress {
  std::vector<std::pair<int32_t, uint32_t>> calls;
  int32_t answer = 0;
};

int32_t OnRecover(void* ctx, int32_t progress, int32_t scale, uint32_t error, const fs::path&) {
  auto* p = static_cast<Progress*>(ctx);
  EXPECT_EQ(scale, 100);
  p->calls.emplace_back(progress, error);
  return p->answer;
}

TEST(RecoveredFileWriter, WritesOnlyFileSizeFreshAndReportsEachPiece) {
  test::TempDir dir;
  const fs::path dest = dir.path() / "sub" / "f.bin";
  test::WriteFile(dest, std::vector<uint8_t>(5000, 9));  // an older, longer file must not leave its tail
  Progress progress;
  RecoveredFileWriter w(OnRecover, &progress, dest, 1000);
  ASSERT_EQ(w.Open(), 0u);
  std::vector<uint8_t> piece(512, 1);
  EXPECT_EQ(w.Append(piece), 0);
  EXPECT_EQ(w.Append(piece), 0);
  EXPECT_EQ(w.Finish(0), 0);
  EXPECT_EQ(test::ReadFile(dest).size(), 1000u);
  // 100 only once the outcome is known: after the last piece a read may still turn out to have failed.
  ASSERT_EQ(progress.calls.size(), 3u);
  EXPECT_EQ(progress.calls[0].first, 51);
  EXPECT_EQ(progress.calls[1].first, 99);
  EXPECT_EQ(progress.calls[2], (std::pair<int32_t, uint32_t>{100, 0}));
}

TEST(RecoveredFileWriter, EmptyFileReportsOnceAndFailureIsReported) {
  test::TempDir dir;
  Progress progress;
  RecoveredFileWriter w(OnRecover, &progress, dir.path() / "empty", 0);
  ASSERT_EQ(w.Open(), 0u);
  w.Finish(0);
  ASSERT_EQ(progress.calls.size(), 1u);
  EXPECT_EQ(progress.calls[0], (std::pair<int32_t, uint32_t>{100, 0}));
  Progress failed;
  RecoveredFileWriter v(OnRecover, &failed, dir.path() / "f", 10);
  ASSERT_EQ(v.Open(), 0u);
  EXPECT_EQ(v.Finish(30), 30);
  ASSERT_EQ(failed.calls.size(), 1u);
  EXPECT_EQ(failed.calls[0], (std::pair<int32_t, uint32_t>{100, 30}));
}

TEST(PreviewSink, PicturesGoToTmpJpgAndTextFillsTheBuffer) {
  test::ScratchAppData appData;
  FoundFileRecord pic = MakeEmptyRecord();
  pic.SetName("x.JPG");
  pic.fileSize = 3;
  std::vector<uint8_t> buffer(2);
  PreviewSink sink(pic, buffer, nullptr, nullptr);
  fs::path out;
  ASSERT_EQ(sink.Begin(out), 0u);
  EXPECT_EQ(out.filename(), "tmp.jpg");
  const uint8_t data[] = {1, 2, 3, 4};
  EXPECT_EQ(sink.Append(data), 0);
  uint32_t size = 7;
  sink.Finish(0, size);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(test::ReadFile(out).size(), 3u);

  FoundFileRecord txt = MakeEmptyRecord();
  txt.SetName("notes.txt");
  txt.fileSize = 10;
  PreviewSink textSink(txt, buffer, nullptr, nullptr);
  fs::path none;
  ASSERT_EQ(textSink.Begin(none), 0u);
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(textSink.Total(), 2u);
  EXPECT_EQ(textSink.Append(data), 0);
  textSink.Finish(0, size);
  EXPECT_EQ(size, 2u);
  EXPECT_EQ(buffer, (std::vector<uint8_t>{1, 2}));
}

// An engine whose catalogue is a map from (depth, entryRef) to children.
class TreeEngine : public IFileRecoveryParse {
 public:
  std::map<std::pair<int32_t, uint32_t>, RecordList> tree;
  uint32_t Open(const VolumeSource&) override { return 0; }
  int32_t SetCallbacks(ScanProgressCallback, RecoverProgressCallback, void*, int32_t) override { return 0; }
  int32_t Scan(std::string_view) override { return 0; }
  uint32_t ListFolder(const FoundFileRecord* f, int32_t depth, RecordList& out) override {
    auto it = tree.find({depth, f->entryRef});
    if (it != tree.end()) out.insert(out.end(), it->second.begin(), it->second.end());
    return 0;
  }
  uint32_t CountFolderFiles(const FoundFileRecord*, int32_t, uint32_t&) override { return 0; }
  uint64_t GetRecordCount() override { return 0; }
  uint32_t GetRecordPath(const FoundFileRecord*, std::string&) override { return 0; }
  int32_t RecoverRecord(const FoundFileRecord*, const fs::path&, int32_t) override { return 0; }
  int32_t NextUnallocatedRun(uint64_t&, uint64_t&) override { return 0; }
  uint32_t SetSearchCallback(SearchProgressCallback, void*) override { return 0; }
  uint32_t SearchByType(std::string_view, RecordList&) override { return 1; }
  int32_t BuildAllocationMap() override { return 0; }
  uint32_t ExtractForPreview(const FoundFileRecord*, fs::path&, std::span<uint8_t>, uint32_t&,
                             PreviewProgressCallback, void*) override {
    return 0;
  }
};

FoundFileRecord Rec(const char* name, uint32_t ref, uint32_t folder) {
  FoundFileRecord r = MakeEmptyRecord();
  r.SetName(name);
  r.entryRef = ref;
  r.isFolder = folder;
  return r;
}

TEST(RecoverFolderTree, RecreatesTheTreeWithoutOverwritingOrEscaping) {
  test::TempDir dir;
  TreeEngine engine;
  FoundFileRecord top = Rec("top", 10, 1);
  engine.tree[{1, 10}] = {Rec("a.txt", 11, 0), Rec("a.txt", 12, 0), Rec("../evil", 13, 0), Rec("sub", 20, 1)};
  engine.tree[{2, 20}] = {Rec("b.txt", 21, 0), Rec("loop", 10, 1)};
  engine.tree[{3, 10}] = {Rec("deeper", 10, 1)};  // a folder that keeps containing itself
  for (uint32_t d = 4; d < 600; ++d) engine.tree[{static_cast<int32_t>(d), 10}] = {Rec("again", 10, 1)};
  std::vector<fs::path> written;
  int32_t r =
      RecoverFolderTree(engine, top, 1, dir.path() / "top", [&](const FoundFileRecord&, const fs::path& p) {
        written.push_back(p);
        test::WriteFile(p, std::vector<uint8_t>{1});
        return 0;
      });
  EXPECT_EQ(r, 0);
  EXPECT_TRUE(fs::exists(dir.path() / "top" / "a.txt"));
  EXPECT_TRUE(fs::exists(dir.path() / "top" / "a(1).txt"));
  EXPECT_TRUE(fs::exists(dir.path() / "top" / ".._evil"));
  EXPECT_TRUE(fs::exists(dir.path() / "top" / "sub" / "b.txt"));
  EXPECT_FALSE(fs::exists(dir.path() / "evil"));
  for (const auto& p : written) EXPECT_EQ(p.string().rfind((dir.path() / "top").string(), 0), 0u) << p;
}

TEST(RecoverFolderTree, CancelStopsAtOnce) {
  test::TempDir dir;
  TreeEngine engine;
  engine.tree[{1, 10}] = {Rec("a", 11, 0), Rec("b", 12, 0)};
  int calls = 0;
  int32_t r =
      RecoverFolderTree(engine, Rec("top", 10, 1), 1, dir.path() / "t", [&](const auto&, const auto&) {
        ++calls;
        return ScanCancelled;
      });
  EXPECT_EQ(r, ScanCancelled);
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace snapsave
