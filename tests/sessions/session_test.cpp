// Sessions: the cancel protocol, end codes, the scan callback's lines, and where recovered files land.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "catalog/recovery_output.h"
#include "os/device.h"
#include "sessions/destination_checks.h"
#include "sessions/image_session.h"
#include "sessions/recovery_session.h"
#include "sessions/scan_session.h"
#include "tests/support/fake_engine.h"
#include "tests/support/test_support.h"

namespace snapsave {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::FakeEngine;

// How long a test waits for a session before it fails.
constexpr auto kDeadline = 20s;

// Polls `done` until it holds; false after the deadline.
template <typename Done>
bool Eventually(Done&& done) {
  const auto deadline = std::chrono::steady_clock::now() + kDeadline;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Records what a session shows; AskYesNo can be held until the test answers.
class FakeView : public ProgressView {
 public:
  std::string Message(std::string_view id) override {
    static const std::map<std::string_view, std::string> texts{
        {"MSG0702", "Scanning volume %d"},
        {"MSG0703", "Scanning image"},
        {"MSG0704", "Progress:"},
        {"MSG0705", "Estimating time left..."},
        {"MSG0706", "Sector"},
        {"MSG0707", "Files found:"},
        {"MSG0708", "Time left: "},
        {"MSG1101", "Progress:"},
        {"MSG1102", "%d of %d files done: %d saved, %d failed"},
        {"MSG1105", "%d of the saved damaged"}};
    auto it = texts.find(id);
    return it == texts.end() ? std::string() : it->second;
  }
  void SetLine(ViewLine line, const std::string& text) override { lines[line] = text; }
  void ShowLine(ViewLine line, bool visible) override { shown[line] = visible; }
  void SetBar(int32_t percent) override { bar = percent; }
  bool AskYesNo(std::string_view id) override {
    asked.push_back(std::string(id));
    if (!holdAnswers) return answer;
    std::unique_lock<std::mutex> lock(m);
    asking = true;
    cv.notify_all();
    cv.wait(lock, [&] { return released; });
    released = false;
    asking = false;
    return answer;
  }
  void AddResult(const std::string& path, const std::string& outcome, bool failed) override {
    results.push_back({fs::path(path), outcome, failed});
  }
  void ShowFinished() override { finishedShown = true; }
  void NotifyOwner(uint32_t message) override { notified.push_back(message); }
  void Close(int32_t code) override { endCode = code; }

  // False when no question came within the deadline; the test then fails instead of hanging.
  bool WaitUntilAsking() {
    std::unique_lock<std::mutex> lock(m);
    return cv.wait_for(lock, kDeadline, [&] { return asking; });
  }
  void Answer(bool yes) {
    std::lock_guard<std::mutex> lock(m);
    answer = yes;
    released = true;
    cv.notify_all();
  }

  struct Row {
    fs::path path;
    std::string outcome;
    bool failed;
  };
  std::map<ViewLine, std::string> lines;
  std::map<ViewLine, bool> shown;
  int32_t bar = -1;
  std::vector<std::string> asked;
  std::vector<Row> results;
  bool finishedShown = false;
  std::vector<uint32_t> notified;
  std::atomic<int32_t> endCode{0};
  bool holdAnswers = false;
  bool answer = false;

 private:
  std::mutex m;
  std::condition_variable cv;
  bool asking = false;
  bool released = false;
};

ScanTarget ImageTarget(const char* name, char16_t letter) {
  ScanTarget t;
  t.imagePath = name;
  t.imageDriveLetter = letter;
  return t;
}

// Hands out fake engines and remembers them, so the test can look at them after the session made them.
struct EngineShop {
  std::vector<FakeEngine*> made;
  int refuseFrom = 1000;
  EngineMaker Maker() {
    return [this](const ScanTarget&, bool) -> std::unique_ptr<IFileRecoveryParse> {
      if (static_cast<int>(made.size()) >= refuseFrom) return nullptr;
      auto engine = std::make_unique<FakeEngine>();
      made.push_back(engine.get());
      return engine;
    };
  }
};

TEST(ScanSession, CancelPausesTheEngineUntilAnsweredAndNoResumesWithoutLoss) {
  FakeView view;
  view.holdAnswers = true;
  EngineShop shop;
  ScanTarget target = ImageTarget("card.img", u'1');
  ScanSession session(view, {&target}, false, shop.Maker());
  session.Start();
  ASSERT_TRUE(Eventually([&] { return !shop.made.empty() && shop.made[0]->steps >= 10; }));

  auto cancel = std::async(std::launch::async, [&] { return session.RequestCancel("MSG0709"); });
  ASSERT_TRUE(view.WaitUntilAsking());
  const int32_t atQuestion = shop.made[0]->steps;
  std::this_thread::sleep_for(100ms);
  // At most the step that was under way when the lock was taken completes.
  EXPECT_LE(shop.made[0]->steps, atQuestion + 1);
  view.Answer(false);
  EXPECT_FALSE(cancel.get());

  session.Wait();
  EXPECT_EQ(shop.made[0]->steps, 100);
  EXPECT_EQ(view.endCode, kEndFinished);
  EXPECT_TRUE(session.WorkerDone());
  EXPECT_EQ(view.notified, std::vector<uint32_t>{kScanDoneMessage});
  EXPECT_EQ(view.asked, std::vector<std::string>{"MSG0709"});
}

TEST(ScanSession, CancellingTheSecondOfThreeTargetsEndsTheSession) {
  FakeView view;
  view.holdAnswers = true;
  EngineShop shop;
  ScanTarget a = ImageTarget("a.img", u'1'), b = ImageTarget("b.img", u'2'), c = ImageTarget("c.img", u'3');
  ScanSession session(view, {&a, &b, &c}, false, shop.Maker());
  session.Start();
  ASSERT_TRUE(Eventually([&] { return shop.made.size() >= 2 && shop.made[1]->steps >= 5; }));
  auto cancel = std::async(std::launch::async, [&] { return session.RequestCancel("MSG0709"); });
  ASSERT_TRUE(view.WaitUntilAsking());
  view.Answer(true);
  EXPECT_TRUE(cancel.get());
  EXPECT_TRUE(session.WorkerDone());
  EXPECT_EQ(shop.made.size(), 2u);
  EXPECT_EQ(shop.made[0]->steps, 100);
  EXPECT_LT(shop.made[1]->steps, 100);
  EXPECT_EQ(c.engine, nullptr);
  EXPECT_EQ(view.endCode, kEndFinished);
  EXPECT_EQ(view.lines[ViewLine::kStage], "Scanning image b.img");
  // Engines stay with their targets for browsing, with no callback into the ended session.
  ASSERT_NE(b.engine, nullptr);
  EXPECT_EQ(shop.made[1]->callbacks.context, nullptr);
}

TEST(ScanSession, NoEngineEndsWithCodeThreeBeforeLaterTargets) {
  FakeView view;
  EngineShop shop;
  shop.refuseFrom = 1;
  ScanTarget a = ImageTarget("a.img", u'1'), b = ImageTarget("b.img", u'2'), c = ImageTarget("c.img", u'3');
  ScanSession session(view, {&a, &b, &c}, false, shop.Maker());
  session.Start();
  session.Wait();
  EXPECT_EQ(view.endCode, kEndFailed);
  EXPECT_FALSE(session.WorkerDone());
  EXPECT_TRUE(view.notified.empty());
  EXPECT_EQ(shop.made.size(), 1u);
  // Cancelling after such an end must not wait for a flag that is never set.
  view.answer = true;
  EXPECT_TRUE(session.RequestCancel("MSG0709"));
}

TEST(ScanSession, CallbackLines) {
  FakeView view;
  ScanTarget target;
  target.volume = VolumeInfo{};
  target.volume->driveLetter = 3;
  ScanSession session(view, {&target}, false, {});
  EXPECT_EQ(TargetStage(view, target, "MSG0701", "MSG0702", "MSG0703"), "Scanning volume 3");

  EXPECT_EQ(ScanSession::OnScanProgress(&session, 100, 9, 40, 0, 0, 0, 0), 0);
  EXPECT_EQ(view.bar, 9);
  EXPECT_EQ(view.lines[ViewLine::kPercent], "Progress: 9%");
  EXPECT_EQ(view.lines[ViewLine::kTime], "Estimating time left...");
  EXPECT_FALSE(view.shown[ViewLine::kSectors]);

  ScanSession::OnScanProgress(&session, 50, 100, 125, 500, 1000, 7, 0);
  EXPECT_EQ(view.lines[ViewLine::kTime], "Time left: 2 Min 5 Sec");
  EXPECT_EQ(view.lines[ViewLine::kSectors], "Sector 500 / 1000");
  EXPECT_EQ(view.lines[ViewLine::kFiles], "Files found: 7");
  EXPECT_TRUE(view.shown[ViewLine::kFiles]);

  ScanSession::OnScanProgress(&session, 50, 100, -1, 0, 0, 0, 0);
  EXPECT_EQ(view.lines[ViewLine::kTime], "");
}

TEST(SessionText, DurationsAndMessageFormatsFromEditableFiles) {
  EXPECT_EQ(FormatDuration(3725), "1 Hour 2 Min");
  EXPECT_EQ(FormatDuration(125), "2 Min 5 Sec");
  EXPECT_EQ(FormatDuration(59), "59 Sec");
  EXPECT_EQ(FormatMessage("%d of %d files done: %d saved, %d failed", {"3", "3", "2", "1"}),
            "3 of 3 files done: 2 saved, 1 failed");
  EXPECT_EQ(FormatMessage("Scanning drive %c:", {"E"}), "Scanning drive E:");
  EXPECT_EQ(FormatMessage("100%% of %I64u", {"12"}), "100% of 12");
  // A translation with more conversions than arguments, or printf's dangerous ones, prints no memory.
  EXPECT_EQ(FormatMessage("%s%n%x%08.3lf end %", {"a"}), "a end %");
}

FoundFileRecord FileRecord(const char* name, uint64_t size, uint16_t letter = u'1') {
  FoundFileRecord r = MakeEmptyRecord();
  r.SetName(name);
  r.fileSize = size;
  r.driveLetter = letter;
  return r;
}

struct RecoveryFixture {
  test::TempDir dir;
  FakeView view;
  ScanTarget target = ImageTarget("card.img", u'1');
  FakeEngine* engine = nullptr;
  RecoveryFixture() {
    auto e = std::make_unique<FakeEngine>();
    engine = e.get();
    target.engine = std::move(e);
  }
  RecoverySession::Counters Run(std::vector<RecoveryItem> items) {
    RecoverySession session(view, {&target}, dir.path() / "out/", std::move(items));
    session.Start();
    session.Wait();
    EXPECT_TRUE(session.WorkerDone());
    return session.Totals();
  }
  fs::path Out(const char* relative) const { return dir.path() / "out" / relative; }
};

TEST(RecoverySession, CategoryFoldersAndUniqueNames) {
  RecoveryFixture f;
  const auto counters = f.Run({{FileRecord("PHOTO.JPG", 10), {}},
                               {FileRecord("PHOTO.JPG", 20), {}},
                               {FileRecord("song.mp3", 5), {}},
                               {FileRecord("README", 3), {}},
                               {FileRecord("README", 4), {}},
                               {FileRecord("a.JPG", 6), "DCIM/100"}});
  EXPECT_EQ(fs::file_size(f.Out("photo/PHOTO.JPG")), 10u);
  EXPECT_EQ(fs::file_size(f.Out("photo/PHOTO(1).JPG")), 20u);
  EXPECT_EQ(fs::file_size(f.Out("audio/song.mp3")), 5u);
  // No extension: every list holds the empty one, so it goes with the photos, and the counter goes last.
  EXPECT_EQ(fs::file_size(f.Out("photo/README")), 3u);
  EXPECT_EQ(fs::file_size(f.Out("photo/README(1)")), 4u);
  EXPECT_EQ(fs::file_size(f.Out("DCIM/100/a.JPG")), 6u);
  EXPECT_EQ(counters.finished, 6u);
  EXPECT_EQ(counters.failed, 0u);
  EXPECT_TRUE(f.view.finishedShown);
  EXPECT_EQ(f.view.lines[ViewLine::kCount], "6 of 6 files done: 6 saved, 0 failed");
}

TEST(RecoverySession, EveryFailureIsCountedAndTheRestGoOn) {
  RecoveryFixture f;
  f.engine->failWith112 = {"big.jpg"};
  f.engine->failSilently = {"broken.jpg"};
  f.engine->unreadable = {"one.jpg"};
  FoundFileRecord orphan = FileRecord("orphan.jpg", 8, u'9');  // found on a source no longer open
  const auto counters = f.Run({{FileRecord("one.jpg", 10), {}},
                               {FileRecord("big.jpg", 1000), {}},
                               {FileRecord("broken.jpg", 10), {}},
                               {orphan, {}},
                               {FileRecord("two.jpg", 10), {}}});
  EXPECT_EQ(counters.total, 5u);
  EXPECT_EQ(counters.finished, 5u);
  EXPECT_EQ(counters.failed, 3u);
  // Saved with zeros where the source could not be read: saved, and said to be damaged.
  EXPECT_EQ(counters.damaged, 1u);
  EXPECT_EQ(f.view.lines[ViewLine::kCount], "5 of 5 files done: 2 saved, 3 failed, 1 of the saved damaged");
  EXPECT_EQ(f.view.results.front().outcome, "damaged: 4 unreadable sectors written as zeros: 100-103");
  EXPECT_TRUE(fs::exists(f.Out("photo/two.jpg")));
  std::vector<std::string> failed;
  for (const auto& row : f.view.results) {
    if (row.failed) failed.push_back(row.path.filename().string() + ": " + row.outcome);
  }
  ASSERT_EQ(failed.size(), 3u);
  EXPECT_EQ(failed[0], "big.jpg: " + ErrorText(err::kDiskFull));
  EXPECT_EQ(failed[1], "broken.jpg: " + ErrorText(err::kInvalidData));
  EXPECT_EQ(failed[2].rfind("orphan.jpg: ", 0), 0u);
}

// A source gone in the middle of a file ends the run there: that file failed, the rest not tried (each would
// fail after its own reads of a dead disk).
TEST(RecoverySession, ASourceGoneMidFileEndsTheRun) {
  RecoveryFixture f;
  f.engine->sourceGoneAt = {"two.jpg"};
  RecoverySession session(
      f.view, {&f.target}, f.dir.path() / "out/",
      {{FileRecord("one.jpg", 10), {}}, {FileRecord("two.jpg", 10), {}}, {FileRecord("three.jpg", 10), {}}});
  session.Start();
  session.Wait();
  EXPECT_TRUE(session.SourceGone());
  const auto counters = session.Totals();
  EXPECT_EQ(counters.total, 3u);
  EXPECT_EQ(counters.finished, 2u);
  EXPECT_EQ(counters.failed, 1u);
  EXPECT_TRUE(fs::exists(f.Out("photo/one.jpg")));
  EXPECT_FALSE(fs::exists(f.Out("photo/three.jpg")));
}

// Run again into the same folder after a broken run, a recovery replaces the files its report says it wrote
// (the broken one included) instead of adding name(1) copies; a file changed since is kept, the new copy
// beside it.
TEST(RecoverySession, ARunAgainReplacesItsOwnFilesFromTheEarlierReport) {
  RecoveryFixture f;
  f.engine->sourceGoneAt = {"two.jpg"};
  auto run = [&f] {
    RecoverySession session(f.view, {&f.target}, f.dir.path() / "out/",
                            {{FileRecord("one.jpg", 10), {}}, {FileRecord("two.jpg", 10), {}}});
    session.WriteReport({"test", "1", "test", "card.img", 512});
    session.Start();
    session.Wait();
  };
  run();
  ASSERT_TRUE(fs::exists(f.Out("photo/two.jpg")));
  f.engine->sourceGoneAt.clear();
  run();
  EXPECT_FALSE(fs::exists(f.Out("photo/one(1).jpg")));
  EXPECT_FALSE(fs::exists(f.Out("photo/two(1).jpg")));
  EXPECT_EQ(fs::file_size(f.Out("photo/two.jpg")), 10u);
  test::WriteFile(f.Out("photo/one.jpg"), std::vector<uint8_t>{1, 2, 3});
  run();
  EXPECT_TRUE(fs::exists(f.Out("photo/one(1).jpg")));
  EXPECT_EQ(fs::file_size(f.Out("photo/one.jpg")), 3u);
  EXPECT_FALSE(fs::exists(f.Out("photo/two(1).jpg")));
}

TEST(RecoverySession, SingleModeTakesOneRecordAndCancelStopsWithoutFinishing) {
  RecoveryFixture f;
  {
    RecoverySession session(f.view, {&f.target}, f.dir.path() / "one",
                            {{FileRecord("x.pdf", 7), {}}, {FileRecord("y.pdf", 7), {}}},
                            RecoverySession::Mode::kSingle);
    session.Start();
    session.Wait();
    EXPECT_EQ(session.Totals().total, 1u);
  }
  EXPECT_TRUE(fs::exists(f.dir.path() / "one/document/x.pdf"));
  EXPECT_FALSE(fs::exists(f.dir.path() / "one/document/y.pdf"));

  FakeView cancelled;
  cancelled.answer = true;
  f.engine->stepTime = 2ms;
  std::vector<RecoveryItem> many;
  for (int i = 0; i < 200; ++i) many.push_back({FileRecord("z.pdf", 7), {}});
  RecoverySession session(cancelled, {&f.target}, f.dir.path() / "two", many);
  session.Start();
  ASSERT_TRUE(Eventually([&] { return fs::exists(f.dir.path() / "two/document/z.pdf"); }));
  EXPECT_TRUE(session.RequestCancel("MSG1103"));
  EXPECT_TRUE(session.Cancelled());
  EXPECT_LT(session.Totals().finished, 200u);
  EXPECT_FALSE(cancelled.finishedShown);
}

TEST(ImageSession, EndCodesAndLines) {
  test::TempDir dir;
  std::vector<uint8_t> disk(1000 * 512);
  for (size_t i = 0; i < disk.size(); ++i) disk[i] = static_cast<uint8_t>(i * 7);
  test::WriteFile(dir.path() / "disk.img", disk);

  FakeView copied;
  ImageSession whole(copied, dir.path() / "whole.img", {}, dir.path() / "disk.img");
  whole.Start();
  whole.Wait();
  EXPECT_EQ(copied.endCode, kEndFinished);
  EXPECT_TRUE(whole.WorkerDone());
  EXPECT_EQ(test::ReadFile(dir.path() / "whole.img"), disk);
  EXPECT_EQ(copied.lines[ViewLine::kSectors].substr(copied.lines[ViewLine::kSectors].find(' ') + 1),
            "1000 / 1000");
  EXPECT_EQ(copied.lines[ViewLine::kCount], "rescued 500.0 KiB, bad 0 B in 0 areas, not yet read 0 B");
  EXPECT_TRUE(fs::exists(dir.path() / "whole.img.map"));

  // One listed volume of the disk: just its sectors.
  ScanTarget volume;
  volume.volume = VolumeInfo{};
  volume.volume->diskNumber = 0;
  volume.volume->diskPath = (dir.path() / "disk.img").string();
  volume.volume->startSector = 100;
  volume.volume->sectorCount = 10;
  FakeView part;
  ImageSession stretch(part, dir.path() / "part.img", {&volume}, {});
  stretch.Start();
  stretch.Wait();
  EXPECT_EQ(part.endCode, kEndFinished);
  EXPECT_EQ(test::ReadFile(dir.path() / "part.img"),
            std::vector<uint8_t>(disk.begin() + 100 * 512, disk.begin() + 110 * 512));

  FakeView failed;
  ImageSession nowhere(failed, dir.path() / "no/such/folder/x.img", {}, dir.path() / "disk.img");
  nowhere.Start();
  nowhere.Wait();
  EXPECT_EQ(failed.endCode, kEndFailed);
  EXPECT_NE(nowhere.Result(), 0);
}

// Where an image may go: on the source first, then the file-size limits of FAT32 (under 4 GiB) and FAT
// (2 GiB), then free space; file-system names in any case.
TEST(DestinationChecks, ImageTargetsAreRefusedInOrder) {
  constexpr uint64_t kGiB = uint64_t{1} << 30;
  const TargetVolume fat32{"fat32", 100 * kGiB};
  const TargetVolume fat{"FAT", 100 * kGiB};
  EXPECT_EQ(CheckImageTarget(true, fat32, 1), ImageTargetCheck::kOnSource);
  EXPECT_EQ(CheckImageTarget(false, fat32, 4 * kGiB - 1), ImageTargetCheck::kFits);
  EXPECT_EQ(CheckImageTarget(false, fat32, 4 * kGiB), ImageTargetCheck::kFat32TooSmall);
  EXPECT_EQ(CheckImageTarget(false, fat, 2 * kGiB), ImageTargetCheck::kFits);
  EXPECT_EQ(CheckImageTarget(false, fat, 2 * kGiB + 1), ImageTargetCheck::kFatTooSmall);
  EXPECT_EQ(CheckImageTarget(false, {"ext4", kGiB}, kGiB + 1), ImageTargetCheck::kNotEnoughSpace);
  EXPECT_EQ(CheckImageTarget(false, {"", 0}, 0), ImageTargetCheck::kFits);
  EXPECT_EQ(ImageTargetMessageId(ImageTargetCheck::kFat32TooSmall), "MSG0220");

  // An image file is its own source; a folder beside it is not.
  test::TempDir dir;
  test::WriteFile(dir.path() / "card.img", std::vector<uint8_t>(512, 0));
  const ScanTarget image = ImageTarget((dir.path() / "card.img").string().c_str(), u'1');
  EXPECT_TRUE(DestinationOnSource(dir.path() / "card.img", image));
  EXPECT_FALSE(DestinationOnSource(dir.path(), image));
}

}  // namespace
}  // namespace snapsave
