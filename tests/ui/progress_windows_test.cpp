// The progress windows offscreen: captions in their forms, the cancel question pausing the worker, end codes,
// the recovery window's counts, rows and detail view.
#include <QApplication>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <fstream>

#include "app/embedded_skin.h"
#include "app/language_table.h"
#include "app/message_box.h"
#include "app/progress_windows.h"
#include "os/device.h"
#include "tests/support/fake_engine.h"
#include "tests/support/test_support.h"
#include "tests/ui/shipped_look.h"
#include "ui/controls.h"
#include "ui/list.h"

namespace snapsave::app {
namespace {

namespace fs = std::filesystem;
using test::FakeEngine;

class ProgressWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(look_.skinLoaded); }

  static QString Caption(CPopUpWnd& w, const char* name) {
    ui::CControlUI* c = w.FindControl(QString::fromLatin1(name));
    return c != nullptr ? c->Text() : QStringLiteral("<missing>");
  }
  // Clicks `button` of the question box as soon as one is up.
  static void AnswerQuestion(const char* button, int afterMs) {
    QTimer::singleShot(afterMs, [button] {
      for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* box = dynamic_cast<CMessageBox*>(w);
        if (box == nullptr || !box->isVisible()) continue;
        if (ui::CControlUI* c = box->FindControl(QString::fromLatin1(button)))
          QTest::mouseClick(c, Qt::LeftButton);
      }
    });
  }

  test::ShippedLook look_;
  test::TempDir dir_;
};

ScanTarget Image(char16_t letter) {
  ScanTarget t;
  t.imagePath = "card.img";
  t.imageDriveLetter = letter;
  return t;
}

TEST_F(ProgressWindowTest, ScanWindowShowsEachReportInItsForms) {
  ScanTarget target = Image(u'1');
  FakeEngine* engine = nullptr;
  auto maker = [&](const ScanTarget&, bool) -> std::unique_ptr<IFileRecoveryParse> {
    auto e = std::make_unique<FakeEngine>();
    e->stepsWanted = 50;
    e->secondsLeft = 125;
    e->reportSectors = true;
    engine = e.get();
    return e;
  };
  CScanProcessWnd window({&target}, false, maker);
  std::vector<uint32_t> messages;
  window.onOwnerMessage = [&](uint32_t m) { messages.push_back(m); };
  ASSERT_TRUE(window.Create(nullptr, 350, 250));
  EXPECT_EQ(window.ShowModal(), kEndFinished);
  ASSERT_NE(engine, nullptr);
  EXPECT_EQ(Caption(window, "stage"), "Scanning image card.img");
  EXPECT_EQ(Caption(window, "percent"), "Progress: 98%");  // the last report: step 49 of 50
  EXPECT_EQ(Caption(window, "time"), "Time left: 2 Min 5 Sec");
  EXPECT_EQ(Caption(window, "sectors"), "Sector 49 / 50");
  EXPECT_EQ(Caption(window, "totalfile"), "Files found: 4");
  EXPECT_EQ(window.Find<ui::CProgressUI>("progress")->Value(), 98);
  EXPECT_EQ(messages, std::vector<uint32_t>{kScanDoneMessage});
}

TEST_F(ProgressWindowTest, CancelAsksPausesAndEndsWithTheSessionsCode) {
  ScanTarget target = Image(u'1');
  std::atomic<FakeEngine*> engine{nullptr};
  auto maker = [&](const ScanTarget&, bool) -> std::unique_ptr<IFileRecoveryParse> {
    auto e = std::make_unique<FakeEngine>();
    e->stepsWanted = 100000;
    engine = e.get();
    return e;
  };
  CScanProcessWnd window({&target}, false, maker);
  ASSERT_TRUE(window.Create(nullptr, 350, 250));
  int32_t atQuestion = -1, afterNo = -1;
  // First press: No, after checking that the engine stood still while asked. Second press: Yes.
  QTimer::singleShot(100, [&] {
    QTimer::singleShot(150, [&] {
      atQuestion = engine.load()->steps;
      QTimer::singleShot(100, [&] {
        afterNo = engine.load()->steps;
        for (QWidget* w : QApplication::topLevelWidgets()) {
          if (auto* box = dynamic_cast<CMessageBox*>(w); box != nullptr && box->isVisible())
            QTest::mouseClick(box->FindControl("cancelbtn"), Qt::LeftButton);
        }
      });
    });
    QTest::mouseClick(window.FindControl("cancelbtn"), Qt::LeftButton);
    AnswerQuestion("okbtn", 200);
    QTest::mouseClick(window.FindControl("cancelbtn"), Qt::LeftButton);
  });
  EXPECT_EQ(window.ShowModal(), kEndFinished);  // a cancelled scan still lists what it found
  ASSERT_TRUE(window.StoppedAt().has_value());  // and says where it stopped
  EXPECT_LE(*window.StoppedAt(), 5);
  EXPECT_GE(atQuestion, 0);
  EXPECT_LE(afterNo, atQuestion + 1);
  EXPECT_LT(engine.load()->steps, 100000);
}

TEST_F(ProgressWindowTest, ScanWithoutAnEngineEndsWithThree) {
  ScanTarget target = Image(u'1');
  CScanProcessWnd window({&target}, false, [](const ScanTarget&, bool) { return nullptr; });
  ASSERT_TRUE(window.Create(nullptr, 350, 250));
  EXPECT_EQ(window.ShowModal(), kEndFailed);
}

FoundFileRecord File(const std::string& name) {
  FoundFileRecord r = MakeEmptyRecord();
  r.SetName(name);
  r.fileSize = 100;
  r.driveLetter = u'1';
  return r;
}

TEST_F(ProgressWindowTest, RecoveryCountsRowsAndDetailView) {
  ScanTarget target = Image(u'1');
  auto engine = std::make_unique<FakeEngine>();
  engine->failWith112 = {"f3.jpg", "f7.jpg"};
  target.engine = std::move(engine);
  std::vector<RecoveryItem> items;
  for (int i = 0; i < 10; ++i) items.push_back({File("f" + std::to_string(i) + ".jpg"), std::nullopt});
  CRecoverProcessWnd window({&target}, dir_.path() / "out", items);
  ASSERT_TRUE(window.Create(nullptr, 500, 240));
  const QSize initial = window.size();
  // Finished windows close at once on the close button, without asking.
  QTimer::singleShot(0, [&] {
    while (!window.FindControl("FinishBtn")->IsVisible()) QTest::qWait(10);
    QTest::mouseClick(window.FindControl("DetailBtn"), Qt::LeftButton);
    EXPECT_EQ(window.size(), initial + QSize(150, 300));
    EXPECT_TRUE(window.FindControl("DetailList")->IsVisible());
    QTest::mouseClick(window.FindControl("DetailBtn"), Qt::LeftButton);
    EXPECT_EQ(window.size(), initial);
    QTest::mouseClick(window.FindControl("closebtn"), Qt::LeftButton);
  });
  EXPECT_EQ(window.ShowModal(), kEndFinished);
  EXPECT_EQ(Caption(window, "recovered"), "10 of 10 files done: 8 saved, 2 failed");
  EXPECT_EQ(Caption(window, "stage"), "Done.");  // no "Please wait" once it is over
  EXPECT_FALSE(window.FindControl("CancelBtn")->IsVisible());
  auto* list = window.Find<ui::CListUI>("DetailList");
  ASSERT_NE(list, nullptr);
  // Each file, and last the report written beside them.
  ASSERT_EQ(list->RowCount(), 11);
  for (int row = 0; row < 2; ++row) {
    EXPECT_EQ(list->Row(row).textColor, QColor(0xFF, 0, 0));
    EXPECT_EQ(list->Row(row).cells[1].text.toStdString(), ErrorText(err::kDiskFull));
  }
  EXPECT_EQ(list->Row(2).cells[1].text, "Success");
  EXPECT_EQ(list->Row(10).cells[0].text, "report.xml");
  EXPECT_TRUE(fs::exists(dir_.path() / "out" / "report.json"));
}

// A source gone half-way ends the run: the window says so and how to go on, not "Done.".
TEST_F(ProgressWindowTest, RecoveryEndedByTheSourceGoingSaysSo) {
  ScanTarget target = Image(u'1');
  auto engine = std::make_unique<FakeEngine>();
  engine->sourceGoneAt = {"f2.jpg"};
  target.engine = std::move(engine);
  std::vector<RecoveryItem> items;
  for (int i = 0; i < 5; ++i) items.push_back({File("f" + std::to_string(i) + ".jpg"), std::nullopt});
  CRecoverProcessWnd window({&target}, dir_.path() / "out", items);
  ASSERT_TRUE(window.Create(nullptr, 500, 240));
  QTimer::singleShot(0, [&] {
    while (!window.FindControl("FinishBtn")->IsVisible()) QTest::qWait(10);
    QTest::mouseClick(window.FindControl("closebtn"), Qt::LeftButton);
  });
  EXPECT_EQ(window.ShowModal(), kEndFinished);
  EXPECT_EQ(Caption(window, "stage"), "Stopped: the source went away or stopped answering");
  EXPECT_EQ(Caption(window, "current"), "Connect it again and recover into this folder to go on.");
  EXPECT_EQ(Caption(window, "recovered"), "3 of 5 files done: 2 saved, 1 failed");
}

TEST_F(ProgressWindowTest, ImageWindowCopiesAndShowsSectors) {
  std::vector<uint8_t> disk(300 * 512, 0x42);
  test::WriteFile(dir_.path() / "disk.img", disk);
  CCreateImageProcessWnd window(dir_.path() / "copy.img", {}, dir_.path() / "disk.img");
  ASSERT_TRUE(window.Create(nullptr, 450, 290));
  EXPECT_EQ(window.ShowModal(), kEndFinished);
  EXPECT_EQ(Caption(window, "sectors"), "Sector 300 / 300");
  EXPECT_EQ(Caption(window, "percent"), "Progress: 100%");
  EXPECT_EQ(Caption(window, "time"), "Estimating time left...");
  EXPECT_EQ(Caption(window, "rescued"), "rescued 150.0 KiB, bad 0 B in 0 areas, not yet read 0 B");
  EXPECT_EQ(test::ReadFile(dir_.path() / "copy.img"), disk);
}

}  // namespace
}  // namespace snapsave::app
