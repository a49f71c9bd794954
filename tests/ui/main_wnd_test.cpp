// The main window offscreen, end to end: a fixture image scanned, its results counted as the command line
// counts them, checked and recovered byte for byte; the image-target checks, the same-volume question, page
// navigation; and the start-up pieces (single instance, crash report, players).
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QProcess>
#include <QScrollBar>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

#include <gtest/gtest.h>

#include <fmt/core.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <deque>
#include <fstream>
#include <future>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "app/crash_handler.h"
#include "app/embedded_skin.h"
#include "app/language_table.h"
#include "app/main_wnd.h"
#include "app/message_box.h"
#include "app/preview.h"
#include "app/progress_windows.h"
#include "app/single_instance.h"
#include "catalog/found_file_catalogue.h"
#include "filetypes/file_categories.h"
#include "os/clock.h"
#include "os/device.h"
#include "sessions/scan_plan.h"
#include "tests/support/test_support.h"
#include "tests/ui/shipped_look.h"
#include "ui/controls.h"
#include "ui/menu.h"
#include "ui/tree.h"

namespace snapsave::app {
namespace {

namespace fs = std::filesystem;

// Answers the window's questions from a script and remembers what it was told.
class ScriptedPrompts : public UserPrompts {
 public:
  int Message(QWidget*, int kind, const QString& text, int, int) override {
    said.push_back(text);
    kinds.push_back(kind);
    if (answers.empty()) return 1;
    const int answer = answers.front();
    answers.pop_front();
    return answer;
  }
  QString OpenImageFile(QWidget*) override { return Next(openPaths); }
  QString SaveImageFile(QWidget*, const QString& proposed) override {
    proposals.push_back(proposed);
    return Next(savePaths);
  }
  QString RecoveryFolder(QWidget*) override { return Next(folders); }

  std::deque<int> answers;
  std::deque<QString> openPaths, savePaths, folders;
  QStringList said, proposals;
  std::vector<int> kinds;

 private:
  static QString Next(std::deque<QString>& queue) {
    if (queue.empty()) return {};
    QString next = queue.front();
    queue.pop_front();
    return next;
  }
};

// A machine whose disks are the ones a test lists.
class ListedDisks : public DiskFactSource {
 public:
  explicit ListedDisks(std::vector<DiskFacts> disks) : disks_(std::move(disks)) {}
  bool Collect(std::vector<DiskFacts>& out) override {
    out = disks_;
    return true;
  }

 private:
  std::vector<DiskFacts> disks_;
};

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(look_.skinLoaded);
    image_ = dir_.path() / "holes16.img";
    test::GunzipFixture("fat/holes16.img.gz", image_);
  }

  std::unique_ptr<CMainWnd> MakeWindow(std::vector<DiskFacts> disks = {}) {
    auto prompts = std::make_unique<ScriptedPrompts>();
    prompts_ = prompts.get();
    auto window = std::make_unique<CMainWnd>(std::move(prompts),
                                             std::make_unique<DiskMap>(std::make_unique<ListedDisks>(disks)));
    QString error;
    EXPECT_TRUE(window->LoadLayout(QStringLiteral("xml/skin.xml"), &error)) << error.toStdString();
    window->show();
    return window;
  }

  // A window that scanned `image_` from the source page and shows its results.
  std::unique_ptr<CMainWnd> ScanToResults() {
    auto window = MakeWindow();
    window->ChooseMode(0);
    prompts_->openPaths.push_back(QString::fromStdString(image_.string()));
    window->LoadImage();
    window->StartScan();
    EXPECT_EQ(window->CurrentPage(), CMainWnd::kResultPage);
    return window;
  }

  // Opens the menu behind `button` and clicks its `item`, as a user does; false when no menu opened.
  static bool ClickMenuItem(CMainWnd& window, const char* button, const char* item) {
    std::set<QWidget*> before;
    for (QWidget* w : QApplication::topLevelWidgets()) before.insert(w);
    QTest::mouseClick(window.FindControl(QString::fromLatin1(button)), Qt::LeftButton);
    ui::CMenuWnd* menu = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* m = dynamic_cast<ui::CMenuWnd*>(w); m != nullptr && !before.contains(w)) menu = m;
    if (menu == nullptr) return false;
    QTest::mouseClick(menu->Element(QString::fromLatin1(item)), Qt::LeftButton);
    return true;
  }

  static QString Text(const char* id) {
    return LanguageTable::Instance().Text(QStringLiteral("Messages"), QString::fromLatin1(id));
  }
  // A message missing from the language file would be said as an empty box: that is never what was meant.
  bool Said(const char* id) const {
    const QString text = Text(id);
    return !text.isEmpty() && prompts_->said.contains(text);
  }

  // Once a visible window of type W holds a visible control `name`, `act` runs on it, once.
  template <class W>
  static void OnceShown(const char* name, std::function<void(W&, ui::CControlUI&)> act) {
    auto* poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, name, act] {
      for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* window = dynamic_cast<W*>(w);
        ui::CControlUI* c = window != nullptr && window->isVisible()
                                ? window->FindControl(QString::fromLatin1(name))
                                : nullptr;
        if (c != nullptr && c->IsVisible()) {
          poll->deleteLater();
          act(*window, *c);
          return;
        }
      }
    });
    poll->start(50);
  }
  // Closes the recovery window once it has finished, the way "Done" does.
  static void FinishRecoveryWhenDone() {
    OnceShown<CRecoverProcessWnd>("FinishBtn", [](CRecoverProcessWnd& w, ui::CControlUI&) { w.Close(1); });
  }
  // Says yes to the question boxes the progress windows raise themselves (continuing a saved scan).
  // `asked` gets the question's text.
  static void AnswerYesToQuestions(QString* asked = nullptr) {
    OnceShown<CMessageBox>("okbtn", [asked](CMessageBox& box, ui::CControlUI& ok) {
      if (asked != nullptr) *asked = box.FindControl(QStringLiteral("message"))->Text();
      QTest::mouseClick(&ok, Qt::LeftButton);
    });
  }

  // The "# photo .jpg: 8" lines of the command line's listing with the same types.
  std::map<QString, int> CliCounts(const std::string& pattern) {
    // "*.jpg|*.png" -> "jpg,png"
    const QString types = QString::fromStdString(pattern)
                              .remove(QStringLiteral("*."))
                              .replace(QLatin1Char('|'), QLatin1Char(','));
    QProcess cli;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), QString::fromStdString((dir_.path() / "cli-data").string()));
    cli.setProcessEnvironment(env);
    cli.start(QStringLiteral(SNAPSAVE_CLI), {QStringLiteral("scan"), QString::fromStdString(image_.string()),
                                             QStringLiteral("--types"), types, QStringLiteral("--list")});
    EXPECT_TRUE(cli.waitForFinished(120000));
    std::map<QString, int> counts;
    static const std::regex kLine(R"(^# \w+ \.(\S+): (\d+)$)");
    std::istringstream lines(cli.readAllStandardOutput().toStdString());
    for (std::string line; std::getline(lines, line);) {
      std::smatch m;
      if (std::regex_match(line, m, kLine)) counts[QString::fromStdString(m[1])] = std::stoi(m[2]);
    }
    return counts;
  }

  // The folder a folder node's text names: "Holiday Trip · deleted (5)" is "Holiday Trip".
  static QString Bare(QString text) {
    text = text.left(text.lastIndexOf(QStringLiteral(" (")));
    if (text.endsWith(QStringLiteral(" \u00B7 deleted"))) text.chop(10);
    return text;
  }
  // Every file the folder view shows, as "/folder/name" by the texts of the nodes above it (carved files at
  // "/", where the command line prints them), and the folders marked deleted; each node counts the files
  // below it.
  static void WalkFolders(CMainWnd& window, std::set<std::string>& shown, std::set<QString>& deleted) {
    auto* tree = window.Find<ui::CTreeUI>(QStringLiteral("FolderTree"));
    auto* list = window.Find<CListExUI>(QStringLiteral("FileList"));
    auto walk = [&](auto&& self, ui::TreeNode* node, const QString& path) -> int {
      tree->SelectNode(node);
      int files = list->RowCount();
      const QString at = node->name.contains(QLatin1Char('#')) ? QStringLiteral("/") : path;
      for (int row = 0; row < list->RowCount(); ++row) {
        const std::string_view name = list->RecordOf(row).Name();
        shown.insert(
            (at + QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()))).toStdString());
      }
      for (const auto& child : node->children) {
        if (child->text.contains(QStringLiteral(" \u00B7 deleted"))) deleted.insert(Bare(child->text));
        files += self(self, child.get(), path + Bare(child->text) + "/");
      }
      EXPECT_TRUE(node->text.endsWith(QStringLiteral("(%1)").arg(files))) << node->text.toStdString();
      return files;
    };
    ASSERT_EQ(tree->Root()->children.size(), 1u);  // one volume
    walk(walk, tree->Root()->children.front().get(), QStringLiteral("/"));
  }
  // Expects the folder view's files, folder for folder, to be the command line's but for the types unticked
  // on the file-type page; gives those and the folders marked deleted.
  std::set<std::string> FolderTreeAgainstTheCommandLine(CMainWnd& window, std::set<QString>& deleted) {
    std::set<std::string> shown;
    WalkFolders(window, shown, deleted);
    const std::set<std::string> listed = CliFiles(window.UntickedTypes());
    EXPECT_GE(listed.size(), 5u);
    EXPECT_EQ(shown, listed);
    return listed;
  }
  // "/folder/name" of every file the command line lists, but those of the `unticked` types.
  std::set<std::string> CliFiles(const std::set<QString>& unticked) {
    QProcess cli;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), QString::fromStdString((dir_.path() / "cli-data").string()));
    cli.setProcessEnvironment(env);
    cli.start(QStringLiteral(SNAPSAVE_CLI),
              {QStringLiteral("scan"), QString::fromStdString(image_.string()), QStringLiteral("--list")});
    EXPECT_TRUE(cli.waitForFinished(120000));
    std::set<std::string> files;
    std::istringstream lines(cli.readAllStandardOutput().toStdString());
    for (std::string line; std::getline(lines, line);) {
      std::vector<std::string> f;
      std::istringstream fields(line);
      for (std::string x; std::getline(fields, x, '\t');) f.push_back(x);
      if (f.size() <= 3 || f[0] != "file") continue;
      FoundFileRecord r{};
      r.SetName(f[2]);
      if (unticked.count(CMainWnd::ResultKey(r)) != 0) continue;
      // A carved file (no times) is printed in its category's folder, which the folder view shows at "/".
      const bool carved =
          f.size() > 4 && f[4].empty() && f[1] == "/" + std::string(ClassifyFileName(f[2])) + "/";
      files.insert((carved ? std::string("/") : f[1]) + f[2]);
    }
    return files;
  }

  test::ShippedLook look_;
  test::TempDir dir_;
  test::ScratchAppData appData_;
  fs::path image_;
  ScriptedPrompts* prompts_ = nullptr;
};

// The tree's type nodes with the counts they show.
std::map<QString, int> TreeCounts(CMainWnd& window) {
  std::map<QString, int> counts;
  ui::CTreeUI* tree = nullptr;
  window.FindTreeNode(QStringLiteral("NodePhoto"), &tree);
  if (tree == nullptr) return counts;
  for (const char* category : {"NodePhoto", "NodeAudio", "NodeVideo", "NodeDocument"}) {
    ui::TreeNode* node = tree->FindNode(QString::fromLatin1(category));
    if (node == nullptr) continue;
    for (const auto& child : node->children)
      counts[child->name.mid(child->name.indexOf(QLatin1Char('.')) + 1)] = CFileTreeUI::CountOf(child.get());
  }
  return counts;
}

bool Visible(CMainWnd& window, const char* name) {
  ui::CControlUI* c = window.FindControl(QString::fromLatin1(name));
  return c != nullptr && c->IsVisible();
}

TEST_F(MainWindowTest, FixtureImageIsScannedCountedAndRecoveredByteForByte) {
  auto window = MakeWindow();
  EXPECT_EQ(window->CurrentPage(), CMainWnd::kModePage);
  EXPECT_EQ(window->ChosenTypes().count(QStringLiteral("jpg")), 1u);  // every type starts chosen
  window->ChooseMode(0);
  EXPECT_EQ(window->CurrentPage(), CMainWnd::kSourcePage);
  EXPECT_TRUE(Visible(*window, "BtnLoadImage"));
  EXPECT_FALSE(Visible(*window, "BtnCreateImage"));

  // Nothing chosen yet: the scan is refused.
  window->StartScan();
  EXPECT_TRUE(Said("MSG0505"));

  prompts_->openPaths.push_back(QString::fromStdString(image_.string()));
  window->LoadImage();
  ASSERT_TRUE(window->SourceChosen());
  EXPECT_TRUE(window->FindControl(QStringLiteral("BtnAdvanceScan"))->isEnabled());
  EXPECT_TRUE(window->FindControl(QStringLiteral("Label1"))->Text().contains(QStringLiteral("holes16.img")));

  window->StartScan();
  ASSERT_EQ(window->CurrentPage(), CMainWnd::kResultPage);
  EXPECT_TRUE(window->FindControl(QStringLiteral("TabRecover"))->isEnabled());
  EXPECT_FALSE(window->FindControl(QStringLiteral("BtnRecover"))->isEnabled());  // nothing checked yet

  const std::map<QString, int> tree = TreeCounts(*window);
  const std::map<QString, int> cli = CliCounts(window->ExtensionPattern());
  ASSERT_FALSE(cli.empty());
  EXPECT_EQ(tree, cli);
  EXPECT_TRUE(window->PreviewPath().empty());  // the first row is marked, not previewed

  // The keyboard: Down marks the next file without reading it, Space ticks it, Ctrl+A ticks every file shown,
  // Enter previews the marked one; in the tree Space ticks the selected node.
  auto* keys = window->Find<CListExUI>(QStringLiteral("FileList"));
  QTest::keyClick(keys, Qt::Key_Down);
  EXPECT_EQ(keys->SelectedRow(), 1);
  EXPECT_TRUE(window->PreviewPath().empty());
  QTest::keyClick(keys, Qt::Key_Space);
  EXPECT_EQ(window->CheckedFiles().size(), 1u);
  QTest::keyClick(keys, Qt::Key_A, Qt::ControlModifier);
  EXPECT_EQ(window->CheckedFiles().size(), 8u);
  QTest::keyClick(keys, Qt::Key_Return);
  EXPECT_FALSE(window->PreviewPath().empty());
  ui::CTreeUI* typeTree = nullptr;
  ui::TreeNode* photos = window->FindTreeNode(QStringLiteral("NodePhoto"), &typeTree);
  ASSERT_NE(photos, nullptr);
  typeTree->SelectNode(photos, false);
  QTest::keyClick(typeTree, Qt::Key_Space);
  EXPECT_TRUE(window->CheckedFiles().empty());

  // Check every photo through the category node, as a click on its box does.
  typeTree->SetCheck(photos, true, true);
  EXPECT_EQ(window->CheckedFiles().size(), 8u);
  EXPECT_TRUE(window->FindControl(QStringLiteral("BtnRecover"))->isEnabled());
  EXPECT_TRUE(
      window->FindControl(QStringLiteral("SelectedFileInfo"))->Text().contains(QStringLiteral("8 files")));

  // Unticking one row in the list takes it out and leaves the node partial.
  auto* list = window->Find<CListExUI>(QStringLiteral("FileList"));
  ASSERT_GT(list->RowCount(), 0);
  // The name always has room for about twenty characters: at the smallest window the path, the type and
  // the creation date give way (cut, with their whole text in a tool tip); the size and the modification
  // date stay whole. In a wide window nothing is cut.
  window->resize(window->minimumSize());
  QApplication::processEvents();
  auto spans = list->ColumnSpans();
  ASSERT_EQ(spans.size(), 8u);
  EXPECT_GE(spans[1].second, list->NameRoom());
  for (const size_t col : {2u, 3u})
    EXPECT_TRUE(list->CutTextAt(QPoint(spans[col].first + spans[col].second / 2, 10)).isEmpty()) << col;
  window->resize(1600, 700);
  QApplication::processEvents();
  spans = list->ColumnSpans();
  for (const size_t col : {2u, 3u, 4u, 6u, 7u})
    EXPECT_TRUE(list->CutTextAt(QPoint(spans[col].first + spans[col].second / 2, 10)).isEmpty()) << col;
  // The state column says what the file is: these photos were deleted and look whole.
  EXPECT_EQ(list->Row(0).cells[7].text, QStringLiteral("Deleted, intact"));
  window->resize(1000, 650);
  QApplication::processEvents();
  list->SetChecked(0, false, true);
  EXPECT_EQ(window->CheckedFiles().size(), 7u);
  EXPECT_EQ(photos->check, ui::CheckState::Partial);
  // One file is "1 file", not "1 files".
  list->SetChecked(0, true, true);
  for (int row = 1; row < list->RowCount(); ++row) list->SetChecked(row, false, true);
  EXPECT_TRUE(
      window->FindControl(QStringLiteral("SelectedFileInfo"))->Text().endsWith(QStringLiteral(" in 1 file")))
      << window->FindControl(QStringLiteral("SelectedFileInfo"))->Text().toStdString();
  for (int row = 0; row < list->RowCount(); ++row) list->SetChecked(row, true, true);

  const fs::path out = dir_.path() / "rescued";
  fs::create_directories(out);
  prompts_->folders.push_back(QString::fromStdString(out.string()) + QStringLiteral("/"));
  FinishRecoveryWhenDone();
  window->Recover();

  std::vector<std::vector<uint8_t>> recovered;
  for (const auto& entry : fs::recursive_directory_iterator(out)) {
    if (entry.is_regular_file() && entry.path().parent_path() != out)
      recovered.push_back(test::ReadFile(entry.path()));
  }
  EXPECT_EQ(recovered.size(), 8u);
  EXPECT_TRUE(fs::exists(out / "report.xml"));
  for (int n = 101; n <= 108; ++n) {
    const auto original =
        test::ReadFile(test::Fixture("fat/originals/holes/IMG_" + std::to_string(n) + ".JPG"));
    EXPECT_NE(std::find(recovered.begin(), recovered.end(), original), recovered.end()) << "IMG_" << n;
  }

  // Back from the results goes to the page the scan started from: the source page here...
  window->GoBack();
  EXPECT_EQ(window->CurrentPage(), CMainWnd::kSourcePage);
  // ...and the file-type page when the scan started there.
  window->SendNotify(window->FindControl(QStringLiteral("BtnAdvanceScan")), QStringLiteral("click"));
  ASSERT_EQ(window->CurrentPage(), CMainWnd::kTypePage);
  QString asked;
  AnswerYesToQuestions(&asked);  // the finished scan of this image is kept: reading it back is enough
  window->StartScan();
  ASSERT_EQ(window->CurrentPage(), CMainWnd::kResultPage);
  EXPECT_EQ(asked, Text("MSG1208"));            // not the question about a stopped scan
  EXPECT_EQ(TreeCounts(*window), tree);         // the same results, read back
  EXPECT_TRUE(window->CheckedFiles().empty());  // a new result starts unchecked
  window->GoBack();
  EXPECT_EQ(window->CurrentPage(), CMainWnd::kTypePage);
  window->GoBack();
  EXPECT_EQ(window->CurrentPage(), CMainWnd::kSourcePage);
  window->GoBack();
  EXPECT_EQ(window->CurrentPage(), CMainWnd::kModePage);
  EXPECT_FALSE(Visible(*window, "ToolBar3"));
}

// Find and filter: a name pattern, size and date bounds and a state narrow the tree's counts and the list
// alike; a bound that cannot be read bounds nothing; ticking a type ticks only what is shown; the type
// looked at stays chosen.
TEST_F(MainWindowTest, FindAndFilterNarrowTheCountsTheListAndTheTicks) {
  auto window = ScanToResults();
  ASSERT_EQ(window->CurrentPage(), CMainWnd::kResultPage);
  const std::map<QString, int> all = TreeCounts(*window);
  ASSERT_EQ(all.at(QStringLiteral("jpg")), 8);
  RecordList photos = *window->SearchResult().at(QStringLiteral("jpg"));
  auto* list = window->Find<CListExUI>(QStringLiteral("FileList"));
  auto type = [&](const char* field, const char* text) {
    auto* edit = window->Find<ui::CEditUI>(QString::fromLatin1(field));
    edit->Editor()->clear();
    QTest::keyClicks(edit->Editor(), QString::fromLatin1(text));
    window->ApplyFilter();  // what the pause after typing does
  };

  type("FilterName", "G_10?.j");  // the deleted photos lost their first letter
  EXPECT_EQ(TreeCounts(*window), (std::map<QString, int>{{QStringLiteral("jpg"), 8}}));
  type("FilterName", "*_104.*");
  EXPECT_EQ(TreeCounts(*window), (std::map<QString, int>{{QStringLiteral("jpg"), 1}}));
  ASSERT_EQ(list->RowCount(), 1);
  EXPECT_TRUE(QString::fromStdString(std::string(list->RecordOf(0).Name()))
                  .endsWith(QStringLiteral("_104.JPG"), Qt::CaseInsensitive));
  type("FilterName", "");

  // Sizes: the bounds hold both ends; "12 parsecs" bounds nothing and turns red.
  std::sort(photos.begin(), photos.end(),
            [](const FoundFileRecord& a, const FoundFileRecord& b) { return a.fileSize < b.fileSize; });
  const uint64_t low = photos[2].fileSize, high = photos[5].fileSize;
  int between = 0;
  for (const FoundFileRecord& r : photos) between += r.fileSize >= low && r.fileSize <= high ? 1 : 0;
  type("FilterMinSize", std::to_string(low).c_str());
  type("FilterMaxSize", std::to_string(high).c_str());
  EXPECT_EQ(TreeCounts(*window).at(QStringLiteral("jpg")), between);
  EXPECT_EQ(list->RowCount(), between);
  for (int row = 0; row < list->RowCount(); ++row) {
    EXPECT_GE(list->RecordOf(row).fileSize, low);
    EXPECT_LE(list->RecordOf(row).fileSize, high);
  }
  // Ticking the type ticks the files shown, not those the filter hides.
  ui::CTreeUI* tree = nullptr;
  ui::TreeNode* node = window->FindTreeNode(QStringLiteral("NodePhoto.jpg"), &tree);
  ASSERT_NE(node, nullptr);
  tree->SetCheck(node, true, true);
  EXPECT_EQ(window->CheckedFiles().size(), static_cast<size_t>(between));
  type("FilterMaxSize", "12 parsecs");
  EXPECT_EQ(window->Filter().maxSize, std::nullopt);
  EXPECT_EQ(
      window->Find<ui::CEditUI>(QStringLiteral("FilterMaxSize"))->Editor()->palette().color(QPalette::Text),
      QColor(0xD0, 0x30, 0x30));
  // The ticks survive the refill: the type now shows more files than are ticked.
  node = tree->FindNode(QStringLiteral("NodePhoto.jpg"));
  EXPECT_EQ(node->check, between < 8 ? ui::CheckState::Partial : ui::CheckState::Checked);
  EXPECT_EQ(window->CheckedFiles().size(), static_cast<size_t>(between));
  type("FilterMinSize", "");
  type("FilterMaxSize", "");

  // Dates: the photos were written on one day; the day before holds none of them, that day all.
  const os::LocalTime written = os::CivilTimeOfFileTime(photos[0].writeTime);
  const std::string day =
      QString::asprintf("%04d-%02d-%02d", written.year, written.month, written.day).toStdString();
  type("FilterFrom", day.c_str());
  type("FilterTo", day.c_str());
  EXPECT_EQ(TreeCounts(*window).at(QStringLiteral("jpg")), 8);
  type("FilterFrom", "1999-01-01");
  type("FilterTo", "1999-12-31");
  EXPECT_TRUE(TreeCounts(*window).empty());
  EXPECT_EQ(list->RowCount(), 0);
  type("FilterFrom", "");
  type("FilterTo", "");

  // States, through the button's menu: every file of a quick scan was deleted; none of these names was
  // guessed.
  auto chooseState = [&](const char* item) { ASSERT_TRUE(ClickMenuItem(*window, "FilterState", item)); };
  chooseState("state_1");
  EXPECT_EQ(window->FindControl(QStringLiteral("FilterState"))->Text(), QStringLiteral("Deleted"));
  EXPECT_EQ(TreeCounts(*window), all);
  chooseState("state_4");
  EXPECT_EQ(static_cast<int>(window->Filter().state), 4);
  EXPECT_TRUE(TreeCounts(*window).empty());
  chooseState("state_0");
  EXPECT_EQ(TreeCounts(*window), all);

  // Files that still exist (the card's live photos between the deleted ones) are hidden, and the page says
  // how many; the switch lists them too, the state "Existing" them alone, whether the switch is on or not.
  // Every file the type tree counts, "Other files" (where the live .DAT files are) included.
  auto shown = [&] {
    ui::CTreeUI* types = nullptr;
    window->FindTreeNode(QStringLiteral("NodePhoto"), &types);
    int n = 0;
    for (const char* category : {"NodePhoto", "NodeAudio", "NodeVideo", "NodeDocument", "NodeOther"})
      if (ui::TreeNode* group = types->FindNode(QString::fromLatin1(category)))
        for (const auto& child : group->children) n += CFileTreeUI::CountOf(child.get());
    return n;
  };
  const int deletedOnly = shown();
  EXPECT_TRUE(window->FindControl(QStringLiteral("Txt2"))->Text().contains(QStringLiteral("Show existing")));
  auto* show = window->Find<ui::COptionUI>(QStringLiteral("ShowExisting"));
  ASSERT_TRUE(show != nullptr && show->isVisible());
  QTest::mouseClick(show, Qt::LeftButton);
  const int withExisting = shown();
  EXPECT_EQ(withExisting, deletedOnly + 20);
  EXPECT_FALSE(window->FindControl(QStringLiteral("Txt2"))->Text().contains(QStringLiteral("Show existing")));
  chooseState("state_5");
  EXPECT_EQ(shown(), 20);
  for (int row = 0; row < list->RowCount(); ++row) EXPECT_TRUE(IsExistingFile(list->RecordOf(row)));
  QTest::mouseClick(show, Qt::LeftButton);
  EXPECT_EQ(shown(), 20);
  chooseState("state_0");
  EXPECT_EQ(TreeCounts(*window), all);
}

// The results by folder: every file the command line lists lies in the folder tree under the folder the
// command line names (a deleted folder marked, counts of the files below each folder), ticks carry down the
// tree and up from the list, and the file marked in one view is marked in the other.
TEST_F(MainWindowTest, ResultsByFolderHoldTheCommandLinesTree) {
  image_ = dir_.path() / "fat32.img";
  test::GunzipFixture("fat/fat32.img.gz", image_);
  auto window = ScanToResults();
  ASSERT_EQ(window->CurrentPage(), CMainWnd::kResultPage);
  auto* list = window->Find<CListExUI>(QStringLiteral("FileList"));
  ASSERT_GT(list->RowCount(), 1);
  list->SelectRow(1, false);
  const RecordKey marked = KeyOf(list->RecordOf(1));
  QTest::mouseClick(window->FindControl(QStringLiteral("ViewByFolder")), Qt::LeftButton);
  ASSERT_TRUE(window->ByFolder());
  ASSERT_GE(list->SelectedRow(), 0);
  EXPECT_EQ(KeyOf(list->RecordOf(list->SelectedRow())), marked);

  auto* tree = window->Find<ui::CTreeUI>(QStringLiteral("FolderTree"));
  std::set<QString> deleted;
  const std::set<std::string> listed = FolderTreeAgainstTheCommandLine(*window, deleted);
  EXPECT_EQ(deleted, (std::set<QString>{QStringLiteral("Holiday Trip"), QStringLiteral("Old Stuff")}));
  // Types the file-type page does not offer are listed too, by type under "Other files".
  ui::CTreeUI* types = nullptr;
  ui::TreeNode* other = window->FindTreeNode(QStringLiteral("NodeOther"), &types);
  ASSERT_NE(other, nullptr);
  EXPECT_TRUE(other->text.startsWith(QStringLiteral("Other files (")));
  EXPECT_NE(types->FindNode(QStringLiteral("NodeOther.txt")), nullptr);
  EXPECT_NE(types->FindNode(QStringLiteral("NodeOther.bin")), nullptr);

  // Ticking a folder ticks every file below it; unticking one file in the list leaves it partial.
  ui::TreeNode* volume = tree->Root()->children.front().get();
  ui::TreeNode* dcim = nullptr;
  for (const auto& child : volume->children)
    if (Bare(child->text) == QStringLiteral("DCIM")) dcim = child.get();
  ASSERT_NE(dcim, nullptr);
  tree->SetCheck(dcim, true, true);
  size_t below = 0;
  for (const std::string& path : listed) below += path.starts_with("/DCIM/") ? 1u : 0u;
  EXPECT_EQ(window->CheckedFiles().size(), below);
  EXPECT_EQ(volume->check, ui::CheckState::Partial);
  tree->SelectNode(dcim);
  ASSERT_GT(list->RowCount(), 0);
  EXPECT_TRUE(list->Row(0).checked);
  list->SetChecked(0, false, true);
  EXPECT_EQ(window->CheckedFiles().size(), below - 1);
  EXPECT_EQ(dcim->check, ui::CheckState::Partial);

  // Back by type: the marked file stays marked, and the type tree shows the ticks made by folder.
  list->SelectRow(0, false);
  const RecordKey inDcim = KeyOf(list->RecordOf(0));
  QTest::mouseClick(window->FindControl(QStringLiteral("ViewByType")), Qt::LeftButton);
  ASSERT_FALSE(window->ByFolder());
  ASSERT_GE(list->SelectedRow(), 0);
  EXPECT_EQ(KeyOf(list->RecordOf(list->SelectedRow())), inDcim);
  ui::CTreeUI* typeTree = nullptr;
  ui::TreeNode* photos = window->FindTreeNode(QStringLiteral("NodePhoto"), &typeTree);
  ASSERT_NE(photos, nullptr);
  EXPECT_NE(photos->check, ui::CheckState::Unchecked);
}

// A quick-formatted card: the folders the deep scan rebuilt hold, by folder, what the command line lists.
TEST_F(MainWindowTest, AFormattedCardsRebuiltFoldersHoldTheCommandLinesTree) {
  image_ = dir_.path() / "card.img";
  test::GunzipFixture("fat/card-formatted.img.gz", image_);
  auto window = ScanToResults();
  ASSERT_EQ(window->CurrentPage(), CMainWnd::kResultPage);
  window->ShowResultView(true);
  std::set<QString> deleted;
  const std::set<std::string> listed = FolderTreeAgainstTheCommandLine(*window, deleted);

  // Recovered by folder, the files keep that tree below the chosen folder; carved ones go to their
  // category's folder, as the command line puts them.
  auto* tree = window->Find<ui::CTreeUI>(QStringLiteral("FolderTree"));
  tree->SetCheck(tree->Root()->children.front().get(), true, true);
  const fs::path out = dir_.path() / "rescued";
  prompts_->folders.push_back(QString::fromStdString(out.string()));
  FinishRecoveryWhenDone();
  window->Recover();
  std::set<std::string> recovered;
  for (const auto& entry : fs::recursive_directory_iterator(out)) {
    if (entry.is_regular_file() && !entry.path().filename().string().starts_with("report."))
      recovered.insert("/" + entry.path().lexically_relative(out).generic_string());
  }
  EXPECT_EQ(recovered.size(), listed.size());
  size_t inFolders = 0;
  for (const std::string& path : listed) {
    if (path.find('/', 1) == std::string::npos) continue;  // carved, or in the volume's root
    ++inFolders;
    EXPECT_EQ(recovered.count(path), 1u) << path;
  }
  EXPECT_GE(inFolders, 3u);
}

// A card's deleted files recovered by folder, from the desktop program and from the command line, are where
// The Sleuth Kit's fls lists them, as large as it says, with the modification time it reports (FAT's local
// time read in UTC here) and its bytes, which icat gives too; only the picture whose first cluster lost its
// high word differs from icat, which reads the wrong cluster, and is the original photo instead.
TEST_F(MainWindowTest, ACardsTreeRecoveredByFolderIsWhereFlsListsIt) {
  if (std::system("command -v fls >/dev/null 2>&1 && command -v icat >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "fls and icat (sleuthkit) are needed";
  const std::string zone = qEnvironmentVariable("TZ").toStdString();
  setenv("TZ", "UTC", 1);
  tzset();
  image_ = dir_.path() / "fat32.img";
  test::GunzipFixture("fat/fat32.img.gz", image_);
  auto window = ScanToResults();
  window->ShowResultView(true);
  auto* tree = window->Find<ui::CTreeUI>(QStringLiteral("FolderTree"));
  tree->SetCheck(tree->Root()->children.front().get(), true, true);
  const fs::path desktop = dir_.path() / "desktop", cli = dir_.path() / "cli";
  prompts_->folders.push_back(QString::fromStdString(desktop.string()));
  FinishRecoveryWhenDone();
  window->Recover();
  QProcess run;
  run.start(QStringLiteral(SNAPSAVE_CLI),
            {QStringLiteral("scan"), QString::fromStdString(image_.string()), QStringLiteral("--quick"),
             QStringLiteral("--recover"), QString::fromStdString(cli.string())});
  ASSERT_TRUE(run.waitForFinished(120000));
  auto tool = [](const std::string& command) {
    QProcess p;
    p.start(QStringLiteral("sh"), {QStringLiteral("-c"), QString::fromStdString(command)});
    p.waitForFinished(60000);
    return p.readAllStandardOutput().toStdString();
  };
  const std::string image = "'" + image_.string() + "'";
  std::istringstream body(tool("fls -r -d -p -m / -z UTC " + image));
  size_t compared = 0;
  for (std::string line; std::getline(body, line);) {
    // MD5|name|inode|mode|UID|GID|size|atime|mtime|ctime|crtime
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string x; std::getline(fields, x, '|');) f.push_back(x);
    if (f.size() < 11 || !f[3].starts_with("r/")) continue;
    std::string path = f[1].substr(0, f[1].rfind(" (deleted)"));
    const size_t slash = path.rfind('/');
    for (const fs::path& root : {desktop, cli}) {
      // fls writes "_" for a deleted short name's lost first letter; ours is guessed or "!".
      std::optional<fs::path> found;
      for (const auto& e : fs::directory_iterator(root / path.substr(1, slash)))
        if (e.path().filename().string().substr(1) == path.substr(slash + 2)) found = e.path();
      ASSERT_TRUE(found) << root << path;
      EXPECT_EQ(fs::file_size(*found), std::stoull(f[6])) << path;
      const auto written = std::chrono::file_clock::to_sys(fs::last_write_time(*found));
      EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(written.time_since_epoch()).count(),
                std::stoll(f[8]))
          << path;
      const std::string bytes = tool("icat " + image + " " + f[2]);
      const std::vector<uint8_t> got = test::ReadFile(*found);
      if (path.ends_with("IGHWORD.JPG"))
        EXPECT_EQ(got, test::ReadFile(test::Fixture("fat/originals/img1.jpg")));
      else
        EXPECT_EQ(std::string(got.begin(), got.end()), bytes) << path;
      ++compared;
    }
  }
  EXPECT_EQ(compared, 2 * 8u);
  if (zone.empty())
    unsetenv("TZ");
  else
    setenv("TZ", zone.c_str(), 1);
  tzset();
}

TEST_F(MainWindowTest, FileTypeChoicesMakeThePatternAndGroupBoxesApplyToTheirGroup) {
  auto window = MakeWindow();
  auto* jpg = window->Find<ui::COptionUI>(QStringLiteral("OptJPG"));
  ASSERT_NE(jpg, nullptr);
  EXPECT_NE(window->ExtensionPattern().find("*.jpeg"), std::string::npos);
  jpg->Selected(false);
  EXPECT_EQ(window->ExtensionPattern().find("*.jpg|"), std::string::npos);
  EXPECT_EQ(window->ExtensionPattern().find("*.jpeg"), std::string::npos);

  // The photo group box clears every photo type and keeps the others.
  auto* photos = window->Find<ui::CCheckBoxUI>(QStringLiteral("OptPhotoFile"));
  photos->SetCheck(false);
  window->SendNotify(photos, QStringLiteral("click"));
  EXPECT_EQ(window->ChosenTypes().count(QStringLiteral("png")), 0u);
  EXPECT_EQ(window->ChosenTypes().count(QStringLiteral("mp3")), 1u);
  photos->SetCheck(true);
  window->SendNotify(photos, QStringLiteral("click"));
  EXPECT_TRUE(jpg->IsSelected());
  EXPECT_EQ(window->ChosenTypes().count(QStringLiteral("jpg")), 1u);

  EXPECT_EQ(CMainWnd::ResultKey([] {
              FoundFileRecord r{};
              r.SetName("Holiday.JPEG");
              return r;
            }()),
            QStringLiteral("jpg"));
}

TEST_F(MainWindowTest, ImageTargetsAreCheckedBeforeAnythingIsWritten) {
  // A 3 GiB image file as the source; sparse, nothing is read from it here.
  const fs::path big = dir_.path() / "big.img";
  { std::ofstream(big).put('\0'); }
  fs::resize_file(big, uint64_t{3} << 30);

  auto window = MakeWindow();
  window->destinationOnSource = [](const fs::path& p, const ScanTarget&) { return p.stem() == "own"; };
  window->targetVolume = [](const fs::path& p) {
    const std::string where = p.stem().string();
    if (where == "fat") return TargetVolume{"FAT", uint64_t{1} << 40};
    if (where == "fat32") return TargetVolume{"FAT32", uint64_t{1} << 40};
    if (where == "fat32small") return TargetVolume{"FAT32", uint64_t{1} << 30};
    return TargetVolume{"ext4", uint64_t{1} << 40};
  };
  window->ChooseMode(0);
  window->AddImageFile(big);
  window->ChooseMode(1);
  EXPECT_TRUE(Visible(*window, "BtnCreateImage"));
  EXPECT_FALSE(Visible(*window, "BtnScan"));
  auto* list = window->Find<CDiskListUI>(QStringLiteral("DiskList"));
  // Image rows are hidden in image mode; pick the loaded file anyway through the list.
  int bigRow = -1;
  for (int r = 0; r < list->RowCount(); ++r) {
    if (list->ImageOf(r) != nullptr) bigRow = r;
  }
  ASSERT_GE(bigRow, 0);
  list->SelectRow(bigRow);

  const QString d = QString::fromStdString(dir_.path().string()) + QLatin1Char('/');
  for (const char* name : {"own", "fat", "fat32small"})
    prompts_->savePaths.push_back(d + QLatin1String(name));
  window->CreateImage();  // the fourth dialog is cancelled
  EXPECT_EQ(prompts_->proposals.size(), 4);
  EXPECT_EQ(prompts_->proposals.value(1), d + QStringLiteral("own.img"));  // ".img" added, the dialog reopens
  ASSERT_EQ(prompts_->said.size(), 3);
  EXPECT_EQ(prompts_->said[0], Text("MSG0218"));
  EXPECT_EQ(prompts_->said[1], Text("MSG0219"));  // 3 GiB is too much for FAT
  EXPECT_EQ(prompts_->said[2], Text("MSG0221"));  // FAT32 takes 3 GiB; the space does not
  EXPECT_FALSE(fs::exists(dir_.path() / "fat32small.img"));

  // 4 GiB and more do not fit FAT32.
  fs::resize_file(big, uint64_t{4} << 30);
  window->AddImageFile(big);  // the same row, its size is read again on load
  prompts_->said.clear();
  prompts_->savePaths.push_back(d + QStringLiteral("fat32"));
  window->CreateImage();
  EXPECT_EQ(prompts_->said, QStringList{Text("MSG0220")});
  EXPECT_FALSE(fs::exists(dir_.path() / "fat32.img"));
}

TEST_F(MainWindowTest, ImageOfASmallImageIsOfferedForScanningAfterItIsMade) {
  auto window = MakeWindow();
  window->ChooseMode(0);
  window->AddImageFile(image_);
  window->ChooseMode(1);
  auto* list = window->Find<CDiskListUI>(QStringLiteral("DiskList"));
  for (int r = 0; r < list->RowCount(); ++r) {
    if (list->ImageOf(r) != nullptr) list->SelectRow(r);
  }
  const fs::path copy = dir_.path() / "copy.img";
  prompts_->savePaths.push_back(QString::fromStdString(copy.string()));
  prompts_->answers.push_back(1);  // scan it now
  window->CreateImage();
  ASSERT_TRUE(fs::exists(copy));
  EXPECT_EQ(test::ReadFile(copy), test::ReadFile(image_));
  EXPECT_TRUE(Said("MSG0214"));
  EXPECT_EQ(window->Mode(), 0);
  EXPECT_EQ(window->CurrentPage(), CMainWnd::kSourcePage);
  const CDiskListUI::ImageFile* selected = list->ImageOf(list->SelectedRow());
  ASSERT_NE(selected, nullptr);
  EXPECT_EQ(selected->path, copy);
}

// A whole-disk image whose partition table was wiped opens as one image: "Search for lost volumes" on its
// row lists its four volumes under it by the sector they start at, and one of them scans to its files by
// name (the deleted one; the existing ones when asked).
TEST_F(MainWindowTest, ASearchListsTheVolumesOfAWipedTableUnderTheirImage) {
  image_ = dir_.path() / "wiped.img";
  test::GunzipFixture("disk/mbr.img.gz", image_);
  std::vector<uint8_t> bytes = test::ReadFile(image_);
  std::fill(bytes.begin(), bytes.begin() + 2048 * 512, 0);
  test::WriteFile(image_, bytes);
  auto window = MakeWindow();
  window->ChooseMode(0);
  prompts_->openPaths.push_back(QString::fromStdString(image_.string()));
  window->LoadImage();
  auto* search = window->FindControl(QStringLiteral("BtnSearchVolumes"));
  ASSERT_TRUE(search->isVisible() && search->isEnabled());
  QTest::mouseClick(search, Qt::LeftButton);
  ASSERT_FALSE(prompts_->said.isEmpty());
  EXPECT_TRUE(prompts_->said.back().startsWith(QStringLiteral("4 lost volumes")))
      << prompts_->said.back().toStdString();
  auto* list = window->Find<CDiskListUI>(QStringLiteral("DiskList"));
  std::set<uint64_t> starts;
  for (int r = 0; r < list->RowCount(); ++r) {
    const VolumeInfo* v = list->EntryOf(r);
    if (v == nullptr || !v->rootPath.starts_with("found volume at sector")) continue;
    starts.insert(v->startSector);
  }
  EXPECT_EQ(starts, (std::set<uint64_t>{2048, 38912, 110592, 129024}));
  const VolumeInfo* chosen = list->EntryOf(list->SelectedRow());
  ASSERT_NE(chosen, nullptr);
  EXPECT_EQ(chosen->startSector, 2048u);
  window->StartScan();
  ASSERT_EQ(window->CurrentPage(), CMainWnd::kResultPage);
  std::set<std::string> names;
  for (const auto& [key, records] : window->SearchResult())
    for (const FoundFileRecord& r : *records)
      names.insert(std::string(r.Name()) + (IsExistingFile(r) ? "+" : ""));
  EXPECT_TRUE(names.count("readme.txt+") == 1 && names.count("report.txt+") == 1)
      << ::testing::PrintToString(names);
  EXPECT_TRUE(
      std::any_of(names.begin(), names.end(), [](const std::string& n) { return n.ends_with("one.txt"); }));

  // A deep scan of the whole image finds them in its own pass: the results say so, and they wait under their
  // image on the first page.
  auto again = MakeWindow();
  again->ChooseMode(0);
  prompts_->openPaths.push_back(QString::fromStdString(image_.string()));
  again->LoadImage();
  again->StartScan();
  ASSERT_EQ(again->CurrentPage(), CMainWnd::kResultPage);
  EXPECT_TRUE(
      again->FindControl(QStringLiteral("Txt2"))->Text().contains(QStringLiteral("4 volumes that no")));
  auto* rows = again->Find<CDiskListUI>(QStringLiteral("DiskList"));
  size_t listed = 0;
  for (int r = 0; r < rows->RowCount(); ++r) {
    const VolumeInfo* v = rows->EntryOf(r);
    listed += v != nullptr && v->rootPath.starts_with("found volume at sector") ? 1u : 0u;
  }
  EXPECT_EQ(listed, 4u);
}

// An image whose partition is an LVM2 physical volume: its logical volumes are rows of their own under the
// image, named vg/lv (the removed one says so), and the one in two runs scans to its files.
TEST_F(MainWindowTest, LogicalVolumesAreRowsUnderTheirImageByName) {
  image_ = dir_.path() / "lvm.img";
  test::GunzipFixture("lvm/lvm.img.gz", image_);
  auto window = MakeWindow();
  window->ChooseMode(0);
  prompts_->openPaths.push_back(QString::fromStdString(image_.string()));
  window->LoadImage();
  auto* list = window->Find<CDiskListUI>(QStringLiteral("DiskList"));
  int data = -1;
  std::set<std::string> shown;
  for (int r = 0; r < list->RowCount(); ++r) {
    const VolumeInfo* v = list->EntryOf(r);
    if (v == nullptr || v->logicalVolume.empty()) continue;
    shown.insert(list->Row(r).cells[0].text.toStdString());
    if (v->logicalVolume == "vg0/data") data = r;
  }
  EXPECT_EQ(shown, (std::set<std::string>{"vg0/data \u00B7 DATA", "vg0/pad",
                                          "removed logical volume vg0/old \u00B7 OLD"}));
  ASSERT_GE(data, 0);
  list->SelectRow(data);
  window->StartScan();
  ASSERT_EQ(window->CurrentPage(), CMainWnd::kResultPage);
  bool deleted = false;
  for (const auto& [key, records] : window->SearchResult())
    for (const FoundFileRecord& r : *records) deleted = deleted || std::string(r.Name()).ends_with("one.txt");
  EXPECT_TRUE(deleted);
}

// A formatted stick of documents through the deep scan: the tree shows the documents and archives under their
// own category with the command line's counts, the rebuilt folders in the list and a document's preview.
TEST_F(MainWindowTest, FormattedStickDocumentsAreListedAndPreviewed) {
  image_ = dir_.path() / "stick-formatted.img";
  test::GunzipFixture("fat/stick-formatted.img.gz", image_);
  auto window = MakeWindow();
  window->ChooseMode(0);
  prompts_->openPaths.push_back(QString::fromStdString(image_.string()));
  window->LoadImage();
  ASSERT_TRUE(window->SourceChosen());
  window->SendNotify(window->FindControl(QStringLiteral("BtnAdvanceScan")), QStringLiteral("click"));
  ASSERT_EQ(window->CurrentPage(), CMainWnd::kTypePage);
  window->StartScan();
  ASSERT_EQ(window->CurrentPage(), CMainWnd::kResultPage);

  const std::map<QString, int> tree = TreeCounts(*window);
  EXPECT_EQ(tree, CliCounts(window->ExtensionPattern()));
  ui::CTreeUI* typeTree = nullptr;
  ui::TreeNode* documents = window->FindTreeNode(QStringLiteral("NodeDocument"), &typeTree);
  ASSERT_NE(documents, nullptr);
  EXPECT_TRUE(documents->text.startsWith(QStringLiteral("Documents and archives (")));
  for (const char* node :
       {"NodeDocument.pdf", "NodeDocument.docx", "NodeDocument.xlsx", "NodeDocument.odt", "NodeDocument.db",
        "NodeDocument.7z", "NodeDocument.gz", "NodePhoto.heic", "NodeAudio.m4a"})
    EXPECT_NE(typeTree->FindNode(QString::fromLatin1(node)), nullptr) << node;

  // A document's preview: its first bytes as text or as a hex view, and its facts beneath.
  window->SendNotify(typeTree, QStringLiteral("itemselect"), 0, QStringLiteral("NodeDocument.pdf"));
  auto* list = window->Find<CListExUI>(QStringLiteral("FileList"));
  ASSERT_GT(list->RowCount(), 0);
  // The "Path" column: the folder the deep scan rebuilt for a named file, none for a carved one.
  for (int row = 0; row < list->RowCount(); ++row) {
    const bool carved = list->RecordOf(row).Kind() == SourceKind::kCarved;
    EXPECT_EQ(list->Row(row).cells[5].text.startsWith(QLatin1Char('/')), !carved)
        << list->Row(row).cells[5].text.toStdString();
  }
  window->SendNotify(list, QStringLiteral("itemselect"), 0);
  const QString shown = window->Find<ui::CRichEditUI>(QStringLiteral("PreviewEdit"))->PlainContent();
  EXPECT_TRUE(shown.startsWith(QStringLiteral("%PDF-")) || shown.startsWith(QStringLiteral("0000 25 50 ")))
      << shown.left(200).toStdString();
  const QString facts = window->Find<ui::CRichEditUI>(QStringLiteral("PreviewFacts"))->PlainContent();
  for (const char* fact : {"Size: ", "First sector: ", "Found by: ", "Looks intact"})
    EXPECT_TRUE(facts.contains(QString::fromLatin1(fact))) << fact << "\n" << facts.toStdString();

  // At the smallest window every control of the filter bar is whole, the name field readable, the preview
  // at least 180 pixels wide and the facts whole beneath it.
  window->resize(window->minimumSize());
  QApplication::processEvents();
  ASSERT_EQ(window->size(), QSize(1000, 650));
  const ui::CControlUI* bar = window->FindControl(QStringLiteral("FilterBar"));
  for (const QObject* child : bar->children()) {
    const auto* control = qobject_cast<const QWidget*>(child);
    if (control == nullptr || control->isHidden()) continue;
    EXPECT_TRUE(bar->rect().contains(control->geometry())) << control->objectName().toStdString();
  }
  EXPECT_GE(window->FindControl(QStringLiteral("FilterName"))->width(), 100);
  EXPECT_GE(window->FindControl(QStringLiteral("PreviewPane"))->width(), 180);
  auto* factsBox = window->Find<ui::CRichEditUI>(QStringLiteral("PreviewFacts"));
  EXPECT_FALSE(factsBox->Editor()->verticalScrollBar()->isVisible());
  // A hex view is laid out again for the width the preview is dragged to.
  auto* box = window->Find<ui::CRichEditUI>(QStringLiteral("PreviewEdit"));
  auto firstLine = [&] { return box->PlainContent().section(QLatin1Char('\n'), 0, 0); };
  window->SendNotify(typeTree, QStringLiteral("itemselect"), 0, QStringLiteral("NodeDocument.7z"));
  window->SendNotify(list, QStringLiteral("itemselect"), 0);
  ASSERT_TRUE(firstLine().startsWith(QStringLiteral("0000 37 7A "))) << firstLine().toStdString();
  const qsizetype narrow = firstLine().size();
  window->resize(1600, 800);
  auto* splitter = window->Find<ui::CSplitterUI>(QStringLiteral("PreviewSplitter"));
  splitter->SetPreferredWidth(600);
  QApplication::processEvents();
  window->SendNotify(splitter, QStringLiteral("splittermoved"), 600);
  EXPECT_GT(firstLine().size(), narrow) << firstLine().toStdString();
  EXPECT_LE(box->PlainContent().section(QLatin1Char('\n'), 0, 0).size(), box->FixedColumns());
}

// A loaded image of a whole disk is a disk of the list: after the machine's disks, named by its file, with
// its volumes and free stretch as rows; scanning the disk scans every volume, as the command line does.
TEST_F(MainWindowTest, WholeDiskImageIsShownAsADiskWithItsVolumes) {
  if (std::system("command -v sfdisk >/dev/null 2>&1") != 0) GTEST_SKIP() << "sfdisk missing";
  const fs::path card = dir_.path() / "card.img";
  { std::ofstream(card).put('\0'); }
  fs::resize_file(card, uint64_t{96} << 20);
  ASSERT_EQ(std::system(("printf 'label: dos\\nstart=2048, size=32768, type=e\\nstart=40960, size=68000, "
                         "type=b\\n' | sfdisk -q '" +
                         card.string() + "' >/dev/null 2>&1")
                            .c_str()),
            0);
  for (const auto& [volume, start] : {std::pair{image_, 2048}, std::pair{dir_.path() / "h32.img", 40960}}) {
    if (!fs::exists(volume)) test::GunzipFixture("fat/holes32.img.gz", volume);
    const std::vector<uint8_t> bytes = test::ReadFile(volume);
    std::fstream disk(card, std::ios::in | std::ios::out | std::ios::binary);
    disk.seekp(static_cast<std::streamoff>(start) * 512);
    disk.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  DiskFacts system;
  system.diskNumber = 0;
  system.cylinders = 100;
  auto window = MakeWindow({system});
  window->ChooseMode(0);
  prompts_->openPaths.push_back(QString::fromStdString(card.string()));
  window->LoadImage();
  auto* list = window->Find<CDiskListUI>(QStringLiteral("DiskList"));
  const int node = list->SelectedRow();
  ASSERT_TRUE(list->DiskOfNode(node));
  EXPECT_GT(node, 1);  // below the machine's disk and its entry
  EXPECT_EQ(list->Row(node).cells[0].text, QStringLiteral("card.img"));
  std::vector<std::pair<EntryKind, uint64_t>> rows;
  for (int r : list->RowsOfNode(node))
    rows.emplace_back(list->EntryOf(r)->kind, list->EntryOf(r)->startSector);
  EXPECT_EQ(rows, (std::vector<std::pair<EntryKind, uint64_t>>{
                      {EntryKind::kVolume, 2048},
                      {EntryKind::kUnallocated, 34816},  // 3 MiB: listed on a disk this small
                      {EntryKind::kVolume, 40960},
                      {EntryKind::kUnallocated, 108960}}));
  EXPECT_EQ(list->EntryOf(list->RowsOfNode(node)[2])->fileSystemName, "FAT32");
  EXPECT_TRUE(window->FindControl(QStringLiteral("Label7"))->Text().contains(QStringLiteral("card.img")));
  // The disk's row and facts give the disk's size; a volume's, the space its file system counts as used and
  // free (as for the same volume in an image of its own), with a bar only once that is known.
  EXPECT_EQ(list->Row(node).cells[2].text, QStringLiteral("96.0 MiB"));
  EXPECT_EQ(window->FindControl(QStringLiteral("Label4"))->Text(), QStringLiteral("Capacity: 96.0 MiB"));
  const int volumeRow = list->RowsOfNode(node)[2];
  EXPECT_EQ(list->Row(volumeRow).cells[2].bar, -1);
  list->SelectRow(volumeRow);
  VolumeInfo alone;
  alone.diskPath = (dir_.path() / "h32.img").string();
  alone.diskIsImage = true;
  alone.totalBytes = fs::file_size(alone.diskPath);
  alone.sectorCount = alone.totalBytes / 512;
  LearnVolumeSpace(alone);
  ASSERT_TRUE(alone.spaceKnown);
  const QString free = QString::fromStdString(FormatSize(static_cast<int64_t>(alone.freeBytes)));
  EXPECT_EQ(window->FindControl(QStringLiteral("Label6"))->Text(), QStringLiteral("Free: ") + free);
  EXPECT_GT(list->Row(volumeRow).cells[2].bar, 0);
  list->SelectRow(node);

  // Both cards' deleted photos come back from the one scan; loading the image again keeps one disk.
  window->StartScan();
  ASSERT_EQ(window->CurrentPage(), CMainWnd::kResultPage);
  ui::CTreeUI* typeTree = nullptr;
  ui::TreeNode* photos = window->FindTreeNode(QStringLiteral("NodePhoto"), &typeTree);
  ASSERT_NE(photos, nullptr);
  typeTree->SetCheck(photos, true, true);
  std::set<uint16_t> volumes;
  for (const auto& [key, record] : window->CheckedFiles()) volumes.insert(record.driveLetter);
  EXPECT_EQ(volumes.size(), 2u);
  EXPECT_GE(window->CheckedFiles().size(), 16u);
  window->GoBack();
  window->AddImageFile(card);
  int nodes = 0;
  for (int r = 0; r < list->RowCount(); ++r) nodes += list->DiskOfNode(r) ? 1 : 0;
  EXPECT_EQ(nodes, 2);
}

// A disk whose scan met sectors it could not read: the window says how many and offers to copy it into an
// image first; taken up, the copy is made and offered for scanning.
TEST_F(MainWindowTest, ADiskWithUnreadableSectorsIsOfferedForCopyingFirst) {
  // Disk 0 is the fixture image; its rescue map beside it makes three sectors of two files unreadable.
  const std::string map =
      "# Mapfile\n0x00000000 + 1\n0x00000000 0x00014400 +\n0x00014400 0x00000400 -\n"
      "0x00014800 0x00004600 +\n0x00018E00 0x00000200 -\n0x00019000 " +
      fmt::format("{:#010x}", fs::file_size(image_) - 0x19000) + " +\n";
  test::WriteFile(dir_.path() / "holes16.map", std::vector<uint8_t>(map.begin(), map.end()));
  DiskFacts disk;
  disk.diskNumber = 0;
  disk.devicePath = image_.string();
  disk.cylinders = fs::file_size(image_) / (512 * 63 * 255) + 1;
  disk.exactSectors = fs::file_size(image_) / 512;
  auto window = MakeWindow({disk});
  window->deviceReadable = [](const fs::path&) { return true; };
  window->ChooseMode(0);
  const fs::path copy = dir_.path() / "copy.img";
  prompts_->answers = {1, 0};  // copy it first; do not scan the copy now
  prompts_->savePaths.push_back(QString::fromStdString(copy.string()));
  window->StartScan();
  ASSERT_EQ(window->CurrentPage(), CMainWnd::kResultPage);
  const QString offer = Text("MSG0508").replace(QStringLiteral("%d"), QStringLiteral("3"));
  EXPECT_TRUE(prompts_->said.contains(offer)) << prompts_->said.join(QLatin1Char('|')).toStdString();
  EXPECT_TRUE(fs::exists(copy));
  EXPECT_TRUE(Said("MSG0214"));
}

TEST_F(MainWindowTest, RecoveringOntoTheScannedVolumeAsksFirst) {
  // Disk 0 is the fixture image, with one FAT volume over all of it.
  DiskFacts disk;
  disk.diskNumber = 0;
  disk.devicePath = image_.string();
  disk.cylinders = fs::file_size(image_) / (512 * 63 * 255) + 1;
  PartitionFacts part;
  part.partitionNumber = 1;
  part.startBytes = 0;
  part.lengthBytes = fs::file_size(image_);
  part.typeByte = kPartitionFat;
  part.fileSystemName = "FAT";
  part.devicePath = image_.string();
  disk.partitions.push_back(part);
  auto window = MakeWindow({disk});
  bool onSource = true;
  window->destinationOnSource = [&onSource](const fs::path&, const ScanTarget& t) {
    return t.IsDisk() && onSource;
  };

  window->ChooseMode(0);
  auto* list = window->Find<CDiskListUI>(QStringLiteral("DiskList"));
  ASSERT_NE(list->EntryOf(list->SelectedRow()), nullptr);  // the volume is chosen by default

  // Without the rights to read the disk the user is told how to get them, and nothing starts.
  window->deviceReadable = [](const fs::path&) { return false; };
  window->StartScan();
  EXPECT_TRUE(Said("MSG0506"));
  EXPECT_EQ(window->CurrentPage(), CMainWnd::kSourcePage);
  window->deviceReadable = [](const fs::path&) { return true; };

  window->StartScan();
  ASSERT_EQ(window->CurrentPage(), CMainWnd::kResultPage);
  ui::CTreeUI* tree = nullptr;
  ui::TreeNode* photos = window->FindTreeNode(QStringLiteral("NodePhoto"), &tree);
  ASSERT_NE(photos, nullptr);
  tree->SetCheck(photos, true, true);
  ASSERT_FALSE(window->CheckedFiles().empty());

  const fs::path out = dir_.path() / "same";
  fs::create_directories(out);
  prompts_->folders.push_back(QString::fromStdString(out.string()));
  prompts_->answers.push_back(2);  // no
  window->Recover();
  EXPECT_TRUE(Said("MSG0805"));
  EXPECT_TRUE(fs::is_empty(out));

  // A folder that cannot be written, then one on a volume without the room, are refused before anything is
  // written, each in words, and another folder is asked for.
  prompts_->said.clear();
  onSource = false;
  const fs::path small = dir_.path() / "small";
  window->targetVolume = [&small](const fs::path& p) {
    return p == small ? TargetVolume{"ext4", 1} : TargetVolume{"ext4", uint64_t{1} << 40};
  };
  for (const fs::path& folder : {fs::path("/proc/forbidden"), small, out})
    prompts_->folders.push_back(QString::fromStdString(folder.string()));
  FinishRecoveryWhenDone();
  window->Recover();
  EXPECT_FALSE(Said("MSG0805"));
  ASSERT_EQ(prompts_->said.size(), 2) << prompts_->said.join(QLatin1Char('|')).toStdString();
  EXPECT_TRUE(prompts_->said[0].startsWith(Text("MSG0812").section(QLatin1Char('%'), 0, 0)));
  EXPECT_TRUE(prompts_->said[0].contains(QStringLiteral("you have no right to write there")) ||
              prompts_->said[0].contains(QStringLiteral("the folder is not there")))
      << prompts_->said[0].toStdString();
  EXPECT_TRUE(prompts_->said[1].startsWith(Text("MSG0811").section(QLatin1Char('('), 0, 0)));
  EXPECT_TRUE(!fs::exists(small) || fs::is_empty(small));
  EXPECT_FALSE(fs::is_empty(out));
}

TEST(SingleInstanceTest, SecondCopyAsksTheFirstAndAStaleSocketIsTakenOver) {
  const QString name = QStringLiteral("snapsave-test-%1").arg(QCoreApplication::applicationPid());
  {
    SingleInstance first(name);
    ASSERT_TRUE(first.Acquire());
    int asked = 0;
    first.onShowRequested = [&asked] {
      ++asked;
      return true;
    };
    SingleInstance second(name);
    EXPECT_FALSE(second.Acquire());
    // The second copy blocks on its answer; the first answers from the event loop.
    auto answer = std::async(std::launch::async, [&second] { return second.AskFirstToShow(5000); });
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 10000));
    EXPECT_TRUE(answer.get());
    EXPECT_EQ(asked, 1);

    first.onShowRequested = nullptr;  // still starting: no window to show
    auto none = std::async(std::launch::async, [&second] { return second.AskFirstToShow(5000); });
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return none.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 10000));
    EXPECT_FALSE(none.get());
  }
  // A copy that died leaves its socket file behind, bound but unanswered; the next copy still starts.
  const std::string path = (fs::path(QDir::tempPath().toStdString()) / name.toStdString()).string();
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof address.sun_path);
  std::copy(path.begin(), path.end(), address.sun_path);
  ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ::close(fd);
  ASSERT_TRUE(fs::exists(path));
  SingleInstance next(name);
  EXPECT_TRUE(next.Acquire());
}

TEST(CrashHandlerTest, ACrashLeavesAReportNamedByTheTime) {
  EXPECT_EQ(CrashFileName(2026, 12, 7, 8, 5, 3, 42), "2026-12-07-08-05-03-42.dmp");
  test::TempDir dir;
  const pid_t child = fork();
  if (child == 0) {
    if (chdir(dir.path().c_str()) != 0) _exit(2);
    InstallCrashHandler();
    std::raise(SIGSEGV);
    _exit(3);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status));
  std::vector<fs::path> reports;
  for (const auto& entry : fs::directory_iterator(dir.path())) reports.push_back(entry.path());
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].extension(), ".dmp");
  std::ifstream in(reports[0]);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("signal 11"), std::string::npos) << text;
}

class PlayersTest : public ::testing::Test {
 protected:
  void Script(const char* name, const std::string& body) {
    const fs::path path = dir_.path() / name;
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    fs::permissions(path, fs::perms::owner_all);
  }
  test::TempDir dir_;
};

TEST_F(PlayersTest, PlaybackCountsAsStartedOnlyWithProgressAndOwnPlayersEnd) {
  MediaPlayers players(dir_.path());
  Script("Player", "echo 'A: 0.1 (00.1) of 10.0 (10.0)  1%'; exec sleep 30");
  bool noPlayback = false;
  ASSERT_TRUE(players.PlayVideo(
      QStringLiteral("movie.avi"), [&] { noPlayback = true; }, 3000));
  EXPECT_EQ(players.RunningCount(), 1);
  QTest::qWait(300);
  EXPECT_FALSE(noPlayback);
  players.EndAll();
  EXPECT_EQ(players.RunningCount(), 0);

  Script("Player", "echo 'cannot open file'; exit 1");
  ASSERT_TRUE(players.PlayVideo(
      QStringLiteral("movie.avi"), [&] { noPlayback = true; }, 3000));
  EXPECT_TRUE(QTest::qWaitFor([&] { return noPlayback; }, 5000));

  Script("Player1", "exec sleep 30");
  EXPECT_TRUE(players.PlayAudio(QStringLiteral("song.rm")));
  EXPECT_EQ(players.Command(true, QStringLiteral("song.rm")).value(0),
            QString::fromStdString((dir_.path() / "Player1").string()));
  players.EndAll();
  EXPECT_TRUE(MediaKindOf(QStringLiteral("clip.RM")).isAudio);
  EXPECT_FALSE(MediaKindOf(QStringLiteral("clip.mkv")).isAudio);
  EXPECT_TRUE(MediaKindOf(QStringLiteral("clip.mkv")).isMedia);
  EXPECT_FALSE(MediaKindOf(QStringLiteral("photo.jpg")).isMedia);
}

// A source where nothing is found says so and what to do, not "Tick the ones you want".
TEST_F(MainWindowTest, NothingFoundSaysSo) {
  image_ = dir_.path() / "blank.img";
  test::WriteFile(image_, std::vector<uint8_t>(size_t{2} << 20, 0));
  auto window = ScanToResults();
  EXPECT_EQ(window->FindControl(QStringLiteral("Txt1"))->Text(), Text("MSG0801"));
  EXPECT_EQ(window->FindControl(QStringLiteral("Txt2"))->Text(), Text("MSG0815"));
}

// The photo wall: choosing "Photos" shows every photo found; "Show as thumbnails" turns the list into a grid
// whose thumbnails are made while the window is idle, decoded no larger than their cells. A tick on a
// thumbnail ticks the file; a double click previews it.
TEST_F(MainWindowTest, ThePhotoWallShowsEveryPhotoAsAThumbnail) {
  auto window = ScanToResults();
  ui::CTreeUI* typeTree = nullptr;
  ASSERT_NE(window->FindTreeNode(QStringLiteral("NodePhoto"), &typeTree), nullptr);
  window->SendNotify(typeTree, QStringLiteral("itemselect"), 0, QStringLiteral("NodePhoto"));
  auto* list = window->Find<CListExUI>(QStringLiteral("FileList"));
  ASSERT_EQ(list->RowCount(), 8);
  auto* toggle = window->Find<ui::COptionUI>(QStringLiteral("ViewWall"));
  ASSERT_TRUE(toggle != nullptr && toggle->isVisible());
  QTest::mouseClick(toggle, Qt::LeftButton);
  auto* wall = window->Find<CPhotoWallUI>(QStringLiteral("PhotoWall"));
  ASSERT_TRUE(wall->isVisible());
  EXPECT_FALSE(list->isVisible());
  for (int turn = 0; turn < 100 && !wall->Tried(7); ++turn) QApplication::processEvents();
  const auto [first, last] = wall->VisibleRows();
  EXPECT_EQ(first, 0);
  EXPECT_EQ(last, 8);
  for (int row = 0; row < 8; ++row) EXPECT_TRUE(wall->HasThumbnail(row)) << row;
  EXPECT_FALSE(wall->MakeNext());
  EXPECT_EQ(wall->Kept(), 8u);

  QTest::mouseClick(wall, Qt::LeftButton, {}, wall->CheckRect(2).center());
  EXPECT_TRUE(list->Row(2).checked);
  EXPECT_EQ(window->CheckedFiles().size(), 1u);
  QTest::mouseDClick(wall, Qt::LeftButton, {}, wall->CellRect(3).center());
  EXPECT_FALSE(window->PreviewPath().empty());
  QTest::mouseClick(toggle, Qt::LeftButton);
  EXPECT_TRUE(list->isVisible());
  EXPECT_FALSE(wall->isVisible());
}

// A source that cannot be scanned says why, in words: a text file is no disk image; a disk image that is
// no longer there is gone.
TEST_F(MainWindowTest, ASourceThatCannotBeScannedSaysWhy) {
  image_ = dir_.path() / "notes.txt";
  test::WriteFile(image_, std::vector<uint8_t>(33, 'a'));
  auto window = MakeWindow();
  window->ChooseMode(0);
  prompts_->openPaths.push_back(QString::fromStdString(image_.string()));
  window->LoadImage();
  window->StartScan();
  EXPECT_NE(window->CurrentPage(), CMainWnd::kResultPage);
  ASSERT_FALSE(prompts_->said.empty());
  EXPECT_TRUE(
      prompts_->said.back().contains(QStringLiteral("shorter than one sector, so it is no disk image")))
      << prompts_->said.back().toStdString();

  image_ = dir_.path() / "card.img";
  test::GunzipFixture("fat/fat12.img.gz", image_);
  prompts_->openPaths.push_back(QString::fromStdString(image_.string()));
  window->LoadImage();
  fs::remove(image_);
  window->StartScan();
  EXPECT_TRUE(prompts_->said.back().contains(QStringLiteral("not there any more")))
      << prompts_->said.back().toStdString();
}

// The menu's About, Help, answers and support items are answered by the program itself (no web page stands
// behind them), with the version that runs where it matters.
TEST_F(MainWindowTest, TheMenusHelpIsSaidByTheProgram) {
  auto window = MakeWindow();
  for (const auto& [item, said] :
       {std::pair{"item_about", "Snapsave " SNAPSAVE_VERSION},
        std::pair{"item_help", "Getting your files back"}, std::pair{"item_faq", "Questions and answers"},
        std::pair{"item_support", "Snapsave " SNAPSAVE_VERSION}}) {
    ASSERT_TRUE(ClickMenuItem(*window, "BtnAssist", item)) << item;
    ASSERT_FALSE(prompts_->said.empty()) << item;
    EXPECT_TRUE(prompts_->said.back().contains(QString::fromLatin1(said)))
        << prompts_->said.back().toStdString();
  }
  EXPECT_EQ(prompts_->said.size(), 4);
}

// The close button ends the program (the shadow and hidden dialogs do not keep it running); while a progress
// window runs, closing brings that window forward instead.
TEST_F(MainWindowTest, ClosingTheWindowEndsTheProgram) {
  auto window = MakeWindow();
  bool timedOut = false;
  QTimer::singleShot(
      0, [&] { QTest::mouseClick(window->FindControl(QStringLiteral("closebtn")), Qt::LeftButton); });
  QTimer::singleShot(10000, [&] {
    timedOut = true;
    QApplication::exit(1);
  });
  EXPECT_EQ(QApplication::exec(), 0);
  EXPECT_FALSE(timedOut);
  EXPECT_FALSE(window->isVisible());

  window = MakeWindow();
  ui::CWindowUI* shown = nullptr;
  OnceShown<CMessageBox>("okbtn", [&](CMessageBox& box, ui::CControlUI& ok) {
    shown = &box;
    EXPECT_FALSE(window->close());
    EXPECT_TRUE(window->isVisible());
    QTest::mouseClick(&ok, Qt::LeftButton);
  });
  EXPECT_EQ(CMessageBox::Show(window.get(), CMessageBox::Information, std::nullopt, QStringLiteral("busy"),
                              300, 150),
            1);
  EXPECT_NE(shown, nullptr);
}

}  // namespace
}  // namespace snapsave::app
