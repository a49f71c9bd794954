// Saves pictures of the program's windows so they can be looked at without a disk to scan: each message-box
// kind; the main window's pages, a scan running over it, the results of a fixture image with a picture
// previewed, and the assist menu; each progress window over a scripted engine half-way (paused by its own
// cancel question), the question itself, and the recovery window's detail list at the end.
// tools/screenshots.sh runs it at each scaling. Usage:
// snapsave_window_gallery <output folder> <program folder with config.ini and Languages/>
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <thread>

#include "app/embedded_skin.h"
#include "app/language_table.h"
#include "app/main_wnd.h"
#include "app/message_box.h"
#include "app/preview.h"
#include "app/progress_windows.h"
#include "os/device.h"
#include "tests/support/fake_engine.h"
#include "tests/support/test_support.h"
#include "ui/controls.h"
#include "ui/menu.h"
#include "ui/tree.h"

namespace snapsave::app {
namespace {

namespace fs = std::filesystem;

// The fake engine with a search and a preview extraction that take their time and report as they go.
class GalleryEngine final : public test::FakeEngine {
 public:
  uint32_t SetSearchCallback(SearchProgressCallback callback, void* context) override {
    search_ = callback;
    searchContext_ = context;
    return 0;
  }
  uint32_t SearchByType(std::string_view, RecordList&) override {
    for (int32_t percent = 0; percent <= 100; ++percent) {
      if (search_ != nullptr && search_(searchContext_, percent, 0) == ScanCancelled) return 0;
      std::this_thread::sleep_for(stepTime);
    }
    return 1;
  }
  uint32_t ExtractForPreview(const FoundFileRecord*, fs::path&, std::span<uint8_t>, uint32_t& size,
                             PreviewProgressCallback callback, void* context) override {
    size = 0;
    for (int32_t percent = 0; percent <= 100; ++percent) {
      if (callback != nullptr && callback(context, percent, 0) == ScanCancelled)
        return static_cast<uint32_t>(ScanCancelled);
      std::this_thread::sleep_for(stepTime);
    }
    return 0;
  }

 private:
  SearchProgressCallback search_ = nullptr;
  void* searchContext_ = nullptr;
};

void Wait(const std::function<bool()>& done, int timeoutMs = 20000) {
  for (int waited = 0; !done() && waited < timeoutMs; waited += 5) QTest::qWait(5);
}

CMessageBox* VisibleBox() {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (auto* box = dynamic_cast<CMessageBox*>(w); box != nullptr && box->isVisible()) return box;
  }
  return nullptr;
}

class Gallery {
 public:
  explicit Gallery(QString folder) : folder_(std::move(folder)) {}
  bool ok = true;

  void Save(QWidget& w, const QString& name) {
    QApplication::processEvents();
    const QString path = QDir(folder_).filePath(name);
    if (!w.grab().save(path)) {
      std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
      ok = false;
      return;
    }
    std::printf("%s\n", qPrintable(path));
  }

  // What the screen shows around `w`, pop-ups over it included.
  void SaveScreen(QWidget& w, const QString& name, int margin = 0) {
    QApplication::processEvents();
    const QRect r = w.frameGeometry().adjusted(-margin, -margin, margin, margin);
    const QString path = QDir(folder_).filePath(name);
    QScreen* screen = w.screen();
    if (screen == nullptr || !screen->grabWindow(0, r.x(), r.y(), r.width(), r.height()).save(path)) {
      std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
      ok = false;
      return;
    }
    std::printf("%s\n", qPrintable(path));
  }

  // Waits for `ready`, asks to cancel (which holds the worker), lets the queued reports land,
  // takes the picture and answers: No lets the work go on, Yes ends it.
  void PauseAndShoot(CPopUpWnd& window, const char* cancelButton, const std::function<bool()>& ready,
                     const QString& name, bool answerYes, const QString& questionName = {}) {
    Wait(ready);
    // The question runs modally inside the click, so the picture and the answer are queued first.
    QTimer::singleShot(0, [&, name, questionName, answerYes] {
      Wait([] { return VisibleBox() != nullptr; });
      QTest::qWait(300);
      Save(window, name);
      CMessageBox* box = VisibleBox();
      if (box == nullptr) {
        std::fprintf(stderr, "%s: no cancel question\n", qPrintable(name));
        ok = false;
        return;
      }
      if (!questionName.isEmpty()) Save(*box, questionName);
      QTest::mouseClick(box->FindControl(answerYes ? QStringLiteral("okbtn") : QStringLiteral("cancelbtn")),
                        Qt::LeftButton);
    });
    if (ui::CControlUI* cancel = window.FindControl(QString::fromLatin1(cancelButton))) {
      QTest::mouseClick(cancel, Qt::LeftButton);
    } else {
      std::fprintf(stderr, "%s: no %s\n", qPrintable(name), cancelButton);
      ok = false;
    }
  }

  // Shows the window modally while `script` drives it.
  int Run(CPopUpWnd& window, int width, int height, std::function<void()> script) {
    if (!window.Create(nullptr, width, height)) {
      ok = false;
      return -1;
    }
    QTimer::singleShot(0, std::move(script));
    return window.ShowModal();
  }

 private:
  QString folder_;
};

// True once the window's bar has reached `percent`.
std::function<bool()> BarAt(CPopUpWnd& window, int percent) {
  return [&window, percent] {
    auto* bar = window.Find<ui::CProgressUI>(QStringLiteral("progress"));
    return bar == nullptr || bar->Value() >= percent;
  };
}

ScanTarget Target(std::unique_ptr<IFileRecoveryParse> engine = nullptr) {
  ScanTarget t;
  t.imagePath = "card.img";
  t.imageDriveLetter = u'1';
  t.engine = std::move(engine);
  return t;
}

std::unique_ptr<GalleryEngine> SlowEngine(int stepMs) {
  auto e = std::make_unique<GalleryEngine>();
  e->stepTime = std::chrono::milliseconds(stepMs);
  e->stepsWanted = 400;
  e->secondsLeft = 3725;
  e->reportSectors = true;
  return e;
}

FoundFileRecord File(const std::string& name, uint64_t size) {
  FoundFileRecord r = MakeEmptyRecord();
  r.SetName(name);
  r.fileSize = size;
  r.isIntact = 1;
  r.driveLetter = u'1';
  return r;
}

// Real messages of each kind, so the boxes are reviewed with the wording users will see.
void MessageBoxShots(Gallery& g) {
  static const struct {
    const char* name;
    const char* text;
  } kKinds[] = {{"error", "MSG0217"},
                {"confirm", "MSG0805"},
                {"information", "MSG0505"},
                {"warning", "MSG0504"},
                {"question", "MSG0214"}};
  for (int kind = 0; kind < 5; ++kind) {
    const QString text =
        LanguageTable::Instance().Text(QStringLiteral("Messages"), QString::fromLatin1(kKinds[kind].text));
    auto box = CMessageBox::Create(nullptr, kind, std::nullopt, text, 400, 160);
    if (!box) {
      g.ok = false;
      continue;
    }
    box->show();
    g.Save(*box, QStringLiteral("messagebox-%1-%2.png").arg(kind).arg(QLatin1String(kKinds[kind].name)));
  }
  // The menu's help texts, at the sizes the program opens them.
  for (const auto& [id, width, height] : {std::tuple{"MSG1210", 440, 220}, std::tuple{"MSG1211", 520, 300},
                                          std::tuple{"MSG1212", 520, 300}, std::tuple{"MSG1213", 520, 300}}) {
    const QString text = LanguageTable::Instance().Text(QStringLiteral("Messages"), QString::fromLatin1(id));
    auto box = CMessageBox::Create(nullptr, CMessageBox::Information, std::nullopt,
                                   QString::fromStdString(FormatMessage(text.toStdString(), {"0.2.0"})),
                                   width, height);
    if (!box) {
      g.ok = false;
      continue;
    }
    box->show();
    g.Save(*box, QStringLiteral("help-%1.png").arg(QLatin1String(id)));
  }
}

// A formatted stick of documents scanned: a PDF's preview (a hex view) with its facts; then the same box with
// a text file's first lines, as a text preview shows them.
void DocumentPreviewShots(Gallery& g, CMainWnd& window, const fs::path& dir) {
  const fs::path image = dir / "stick-formatted.img";
  test::GunzipFixture("fat/stick-formatted.img.gz", image);
  window.GoBack();
  window.GoBack();
  window.AddImageFile(image);
  window.SendNotify(window.FindControl(QStringLiteral("BtnAdvanceScan")), QStringLiteral("click"));
  window.StartScan();
  ui::CTreeUI* tree = nullptr;
  auto* list = window.Find<CListExUI>(QStringLiteral("FileList"));
  if (window.CurrentPage() != CMainWnd::kResultPage ||
      window.FindTreeNode(QStringLiteral("NodeDocument.pdf"), &tree) == nullptr || list == nullptr) {
    std::fprintf(stderr, "the document scan did not reach the results\n");
    g.ok = false;
    return;
  }
  window.SendNotify(tree, QStringLiteral("itemselect"), 0, QStringLiteral("NodeDocument.pdf"));
  list->SelectRow(0);
  QTest::qWait(300);
  g.Save(window, QStringLiteral("main-4-preview-hex.png"));
  if (auto* box = window.Find<ui::CRichEditUI>(QStringLiteral("PreviewEdit"))) {
    const std::string text =
        "Dear Sir or Madam,\n\nPlease find enclosed the signed contract of 3 May.\n\nYours "
        "faithfully,\nA. Customer\n";
    box->Clear();
    box->AppendBlock(
        PreviewOfBytes(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()), 4).content,
        false);
    g.Save(window, QStringLiteral("main-5-preview-text.png"));
  }
  // The same results by folder: the old folders the deep scan rebuilt, then a filtered list.
  QTest::mouseClick(window.FindControl(QStringLiteral("ViewByFolder")), Qt::LeftButton);
  QTest::qWait(200);
  g.Save(window, QStringLiteral("main-6-by-folder.png"));
  QTest::mouseClick(window.FindControl(QStringLiteral("ViewByType")), Qt::LeftButton);
  if (auto* name = window.Find<ui::CEditUI>(QStringLiteral("FilterName"))) {
    QTest::keyClicks(name->Editor(), QStringLiteral("1*.p"));
    if (auto* min = window.Find<ui::CEditUI>(QStringLiteral("FilterMinSize")))
      QTest::keyClicks(min->Editor(), QStringLiteral("10 KB"));
    window.ApplyFilter();
    QTest::qWait(200);
    g.Save(window, QStringLiteral("main-7-filtered.png"));
  }
}

// The main window over the machine's own disks, with a fixture image loaded and scanned.
void MainWindowShots(Gallery& g) {
  test::ScratchAppData appData;
  test::TempDir dir;
  const fs::path image = dir.path() / "holes16.img";
  test::GunzipFixture("fat/holes16.img.gz", image);
  CMainWnd window;
  QString error;
  if (!window.LoadLayout(QStringLiteral("xml/skin.xml"), &error)) {
    std::fprintf(stderr, "%s\n", qPrintable(error));
    g.ok = false;
    return;
  }
  window.CenterWindow();
  window.show();
  QTest::qWait(200);
  g.Save(window, QStringLiteral("main-0-mode.png"));
  window.ChooseMode(1);
  g.Save(window, QStringLiteral("main-1-image-mode.png"));
  window.ChooseMode(0);
  window.AddImageFile(image);
  g.Save(window, QStringLiteral("main-1-source.png"));
  window.SendNotify(window.FindControl(QStringLiteral("BtnAdvanceScan")), QStringLiteral("click"));
  g.Save(window, QStringLiteral("main-2-types.png"));

  // A scripted scan slow enough to be seen running, then the real one.
  window.makeEngine = [](const ScanTarget&, bool) { return SlowEngine(10); };
  QTimer::singleShot(0, [&] {
    Wait([] {
      for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* scan = dynamic_cast<CScanProcessWnd*>(w);
        auto* bar = scan != nullptr ? scan->Find<ui::CProgressUI>(QStringLiteral("progress")) : nullptr;
        if (bar != nullptr && bar->Value() >= 40) return true;
      }
      return false;
    });
    g.SaveScreen(window, QStringLiteral("main-scan-running.png"));
  });
  window.StartScan();
  window.makeEngine = DefaultEngineMaker(window.ScanStore());
  window.SendNotify(window.FindControl(QStringLiteral("BtnAdvanceScan")), QStringLiteral("click"));
  window.StartScan();
  if (window.CurrentPage() != CMainWnd::kResultPage) {
    std::fprintf(stderr, "the fixture scan did not reach the results\n");
    g.ok = false;
    return;
  }
  ui::CTreeUI* tree = nullptr;
  if (ui::TreeNode* photos = window.FindTreeNode(QStringLiteral("NodePhoto"), &tree))
    tree->SetCheck(photos, true, true);
  if (auto* list = window.Find<CListExUI>(QStringLiteral("FileList"));
      list != nullptr && list->RowCount() > 0) {
    list->SetChecked(list->RowCount() - 1, false, true);
    g.Save(window, QStringLiteral("main-3-results.png"));
    list->SelectRow(1);  // runs the preview
    QTest::qWait(300);
    g.Save(window, QStringLiteral("main-3-preview.png"));
    // Every photo found, as thumbnails.
    window.SendNotify(tree, QStringLiteral("itemselect"), 0, QStringLiteral("NodePhoto"));
    QTest::mouseClick(window.FindControl(QStringLiteral("ViewWall")), Qt::LeftButton);
    QTest::qWait(500);
    g.Save(window, QStringLiteral("main-3-photo-wall.png"));
    QTest::mouseClick(window.FindControl(QStringLiteral("ViewWall")), Qt::LeftButton);
  }
  window.SendNotify(window.FindControl(QStringLiteral("BtnAssist")), QStringLiteral("click"));
  QTest::qWait(300);
  g.SaveScreen(window, QStringLiteral("main-menu.png"));
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (dynamic_cast<ui::CMenuWnd*>(w) != nullptr) w->close();
  }
  DocumentPreviewShots(g, window, dir.path());
}

int Main(const QString& folder, const fs::path& programFolder) {
  QString error;
  if (!LoadEmbeddedSkin(&error)) {
    std::fprintf(stderr, "skin: %s\n", qPrintable(error));
    return 1;
  }
  if (!QDir().mkpath(folder)) return 1;
  LanguageTable::Override languages(programFolder);
  Gallery g(folder);
  MessageBoxShots(g);
  MainWindowShots(g);

  {
    ScanTarget target = Target();
    CScanProcessWnd window({&target}, true, [](const ScanTarget&, bool) { return SlowEngine(10); });
    g.Run(window, 350, 250, [&] {
      g.PauseAndShoot(window, "cancelbtn", BarAt(window, 40), "scan.png", true, "scan-cancel-question.png");
    });
  }
  {
    ScanTarget target = Target(SlowEngine(20));
    RecordList found;
    CSearchProcessWnd window({&target}, "jpg|png|mp4", found);
    g.Run(window, 370, 220,
          [&] { g.PauseAndShoot(window, "cancelbtn", BarAt(window, 55), "search.png", true); });
  }
  {
    ScanTarget target = Target(SlowEngine(20));
    PreviewResult result;
    CPreviewProcessWnd window({&target}, File("IMG_20240612_181503.JPG", 4'718'592), 1 << 20, result);
    g.Run(window, 370, 220,
          [&] { g.PauseAndShoot(window, "CancelBtn", BarAt(window, 60), "preview.png", true); });
  }
  {
    test::TempDir out;
    auto engine = SlowEngine(150);
    engine->failWith112 = {"IMG_0103.JPG", "MVI_0107.MOV"};
    ScanTarget target = Target(std::move(engine));
    std::vector<RecoveryItem> items;
    for (int i = 0; i < 10; ++i) {
      const std::string name = i == 7 ? "MVI_0107.MOV" : "IMG_010" + std::to_string(i) + ".JPG";
      items.push_back({File(name, uint64_t{3'000'000} + uint64_t(i) * 250'000), std::nullopt});
    }
    CRecoverProcessWnd window({&target}, out.path() / "recovered", items);
    g.Run(window, 500, 240, [&] {
      g.PauseAndShoot(
          window, "CancelBtn", [&] { return window.Totals().finished >= 5; }, "recover.png", false);
      Wait([&] { return window.FindControl(QStringLiteral("FinishBtn"))->IsVisible(); });
      QTest::mouseClick(window.FindControl(QStringLiteral("DetailBtn")), Qt::LeftButton);
      g.Save(window, QStringLiteral("recover-finished-detail.png"));
      QTest::mouseClick(window.FindControl(QStringLiteral("FinishBtn")), Qt::LeftButton);
    });
  }
  {
    // A sparse 1 GiB disk copies for long enough to be caught half-way.
    test::TempDir dir;
    const fs::path disk = dir.path() / "disk.img";
    test::WriteFile(disk, {});
    fs::resize_file(disk, uint64_t{1} << 30);
    CCreateImageProcessWnd window(dir.path() / "copy.img", {}, disk);
    g.Run(window, 450, 290,
          [&] { g.PauseAndShoot(window, "cancelbtn", BarAt(window, 3), "image.png", true); });
  }
  return g.ok ? 0 : 1;
}

}  // namespace
}  // namespace snapsave::app

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: snapsave_window_gallery <output folder> <program folder>\n");
    return 2;
  }
  return snapsave::app::Main(QString::fromLocal8Bit(argv[1]), argv[2]);
}
