#include "app/main_wnd.h"
#include "app/main_wnd_shared.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLineEdit>
#include <QThread>
#include <QUrl>

#include <unistd.h>

#include <algorithm>
#include <set>
#include <system_error>

#include "app/message_box.h"
#include "app/progress_windows.h"
#include "catalog/found_file_catalogue.h"
#include "os/device.h"
#include "os/sysfs.h"
#include "os/text.h"
#include "os/volume_space.h"
#include "sessions/scan_plan.h"
#include "sessions/session.h"
#include "ui/controls.h"
#include "ui/menu.h"

namespace snapsave::app {

namespace fs = std::filesystem;
using namespace wnd;

int UserPrompts::Message(QWidget* owner, int kind, const QString& text, int width, int height) {
  return CMessageBox::Show(owner, kind, std::nullopt, text, width, height);
}

QString UserPrompts::OpenImageFile(QWidget* owner) {
  // Told apart by content when opened; the patterns only help the user find them.
  return QFileDialog::getOpenFileName(
      owner, QString(), QString(),
      QStringLiteral(
          "Disk images (*.img *.dd *.raw *.bin *.iso *.001 *.E01 *.e01 *.vhd *.vhdx *.vmdk *.qcow2 "
          "*.qcow);;All Files(*.*) (*)"));
}

QString UserPrompts::SaveImageFile(QWidget* owner, const QString& proposedName) {
  QFileDialog dialog(owner, QString(), proposedName, QStringLiteral("Image Files (*.img)"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setDefaultSuffix(QStringLiteral("img"));
  // The checks after the dialog decide whether the place will do; a second question would only get in the
  // way.
  dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return dialog.selectedFiles().front();
}

QString UserPrompts::RecoveryFolder(QWidget* owner) {
  return QFileDialog::getExistingDirectory(owner, QStringLiteral("Select location for recovery"));
}

CMainWnd::CMainWnd(std::unique_ptr<UserPrompts> prompts, std::unique_ptr<DiskMap> disks)
    : prompts_(std::move(prompts)),
      disks_(disks ? std::move(disks) : std::make_unique<DiskMap>(MakeSystemDiskFacts(diskTable_))),
      players_(QCoreApplication::applicationDirPath().toStdString()) {
  destinationOnSource = [](const fs::path& path, const ScanTarget& target) {
    return DestinationOnSource(path, target);
  };
  targetVolume = [this](const fs::path& path) {
    std::vector<VolumeInfo> entries;
    disks_->GetAll(entries);
    return TargetVolumeOf(path, entries);
  };
  deviceReadable = [](const fs::path& device) { return ::access(device.c_str(), R_OK) == 0; };
  // Filtering a million files takes a moment; it waits for a pause in the typing.
  filterTimer_ = new QTimer(this);
  filterTimer_->setSingleShot(true);
  filterTimer_->setInterval(250);
  QObject::connect(filterTimer_, &QTimer::timeout, this, [this] { ApplyFilter(); });
}

CMainWnd::~CMainWnd() = default;

ui::CControlUI* CMainWnd::CreateControl(const QString& element) {
  if (element == QLatin1String("DiskList")) return new CDiskListUI;
  if (element == QLatin1String("FileTree")) return new CFileTreeUI;
  if (element == QLatin1String("ListEx")) return new CListExUI;
  if (element == QLatin1String("PhotoWall")) return new CPhotoWallUI;
  if (element == QLatin1String("ButtonEx")) return new CButtonExUI;
  return nullptr;
}

QString CMainWnd::ResultKey(const FoundFileRecord& record) {
  const std::string_view name = record.Name();
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return {};
  const QString ext =
      QString::fromUtf8(name.data() + dot + 1, static_cast<qsizetype>(name.size() - dot - 1)).toLower();
  static const std::map<QString, QString> kSynonyms = {{QStringLiteral("jpeg"), QStringLiteral("jpg")},
                                                       {QStringLiteral("tiff"), QStringLiteral("tif")},
                                                       {QStringLiteral("scr"), QStringLiteral("pcx")},
                                                       {QStringLiteral("midi"), QStringLiteral("mid")},
                                                       {QStringLiteral("m4p"), QStringLiteral("m4a")}};
  const auto it = kSynonyms.find(ext);
  return it == kSynonyms.end() ? ext : it->second;
}

QString CMainWnd::Message(const QString& id) {
  if (messages_ == nullptr) messages_ = &LanguageTable::Instance().GetSection(QStringLiteral("Messages"));
  return LanguageTable::Text(*messages_, id);
}

QString CMainWnd::CountedMessage(const QString& id, uint64_t count) {
  // The singular form, where the language file has one ("MSG0804_1"); else the plural for every count.
  if (count == 1) {
    const QString one = Message(id + QStringLiteral("_1"));
    if (!one.isEmpty()) return one;
  }
  return Message(id);
}

int CMainWnd::Ask(int kind, const QString& messageId, int width, int height) {
  return prompts_->Message(this, kind, Message(messageId), width, height);
}

void CMainWnd::Show(const QString& name, bool visible) {
  if (ui::CControlUI* c = FindControl(name)) c->setVisible(visible);
}

void CMainWnd::Enable(const QString& name, bool enabled) {
  if (ui::CControlUI* c = FindControl(name)) c->setEnabled(enabled);
}

int CMainWnd::CurrentPage() const {
  auto* tabs = Find<ui::CTabLayoutUI>(QStringLiteral("TabPage"));
  return tabs != nullptr ? tabs->CurrentIndex() : 0;
}

void CMainWnd::keyPressEvent(QKeyEvent* event) {
  // Neither key may close the window or press a button behind the user's back.
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter || event->key() == Qt::Key_Escape) {
    event->accept();
    return;
  }
  ui::CWindowUI::keyPressEvent(event);
}

void CMainWnd::Initialise() {
  diskList_ = Find<CDiskListUI>(QStringLiteral("DiskList"));
  tree_ = Find<CFileTreeUI>(QStringLiteral("TypeTree"));
  fileList_ = Find<CListExUI>(QStringLiteral("FileList"));
  folderTree_ = Find<ui::CTreeUI>(QStringLiteral("FolderTree"));
  wall_ = Find<CPhotoWallUI>(QStringLiteral("PhotoWall"));
  if (wall_ != nullptr) {
    wall_->SetList(fileList_);
    wall_->SetThumbnailer([this](const FoundFileRecord& r, QSize size) { return Thumbnail(r, size); });
  }
  if (fileList_ != nullptr) {
    // The folder a file-system engine found the file in ("/" for its root); carved files have none.
    fileList_->SetPathSource([this](const FoundFileRecord& r) {
      std::string path;
      IFileRecoveryParse* engine = FindEngine(PointersOf(scanTargets_), r.driveLetter);
      if (r.Kind() == SourceKind::kCarved || engine == nullptr || engine->GetRecordPath(&r, path) != 0)
        return QString();
      std::replace(path.begin(), path.end(), '\\', '/');
      while (!path.empty() && path.back() == '/') path.pop_back();
      return QString::fromStdString("/" + path);
    });
  }
  if (auto* hint = FindControl(QStringLiteral("TxtMainInfo"))) hint->SetUserData(hint->Text());
  ApplyTexts();
  RefreshDiskList(0);
  chosenTypes_.clear();
  for (const char* group : kTypeGroups) {
    for (ui::COptionUI* option : GroupOptions(FindControl(Q(group)))) {
      if (!option->IsSelected()) continue;
      for (const QString& ext : ExtensionsOf(option)) chosenTypes_[ext] = option;
    }
  }
  UpdateSelectedInfo();
  ShowModePage();
}

void CMainWnd::ApplyTexts() {
  messages_ = &LanguageTable::Instance().GetSection(QStringLiteral("Messages"));
  LanguageTable::Instance().ApplyToWindow(this, QStringLiteral("MainWnd"));
  if (ui::CControlUI* product = FindControl(QStringLiteral("LblProductName")))
    product->SetText(Message("MSG1209"));
  if (auto* hint = FindControl(QStringLiteral("TxtMainInfo"))) hint->SetUserData(hint->Text());
  for (const auto& [edit, tip] : {std::pair{"FilterName", "MSG0930"}, std::pair{"FilterMinSize", "MSG0931"},
                                  std::pair{"FilterMaxSize", "MSG0932"}, std::pair{"FilterFrom", "MSG0933"},
                                  std::pair{"FilterTo", "MSG0934"}}) {
    if (auto* field = Find<ui::CEditUI>(Q(edit))) field->Editor()->setPlaceholderText(Message(tip));
  }
  for (const auto& [edit, tip] : {std::pair{"FilterName", "MSG0946"}, std::pair{"FilterMinSize", "MSG0947"},
                                  std::pair{"FilterMaxSize", "MSG0947"}, std::pair{"FilterFrom", "MSG0945"},
                                  std::pair{"FilterTo", "MSG0945"}}) {
    if (auto* field = Find<ui::CEditUI>(Q(edit))) field->Editor()->setToolTip(Message(tip));
  }
  if (auto* state = FindControl(QStringLiteral("FilterState"))) {
    const QString chosen =
        LanguageTable::Text(LanguageTable::Instance().GetSection(QStringLiteral("menu_state")),
                            QStringLiteral("state_%1").arg(static_cast<int>(filter_.state)));
    if (!chosen.isEmpty()) state->SetText(chosen);
  }
  SetPageTexts(CurrentPage());
}

void CMainWnd::SetPageTexts(int page) {
  auto set = [this](const char* name, const QString& text) {
    if (ui::CControlUI* c = FindControl(Q(name))) c->SetText(text);
  };
  if (mode_ == 0) {
    set("TabScan", Message("MSG0503"));
  } else {
    set("TabScan", Message("MSG0211"));
  }
  if (page == kSourcePage) {
    set("Txt1", Message(mode_ == 0 ? "MSG0501" : "MSG0212"));
    set("Txt2", Message(mode_ == 0 ? "MSG0502" : "MSG0213"));
  } else if (page == kTypePage) {
    set("Txt1", Message("MSG0601"));
    set("Txt2", Message("MSG0602"));
  } else if (page == kResultPage) {
    // Files that still exist are counted where they are listed.
    int found = 0;
    uint64_t hidden = 0;
    for (const auto& [key, records] : searchResult_) {
      for (const FoundFileRecord& r : *records) {
        if (IsExistingFile(r) && !filter_.ShowsExisting()) {
          ++hidden;
        } else {
          ++found;
        }
      }
    }
    // A stopped scan says where it stopped and what it found so far; nothing found says what to try next.
    set("Txt1", stoppedAt_ ? Q(FormatMessage(Message("MSG0813").toStdString(), {std::to_string(*stoppedAt_)}))
                           : Message("MSG0801"));
    const char* foundId = stoppedAt_ ? "MSG0814" : found == 0 ? "MSG0815" : "MSG0802";
    QString said = Q(FormatMessage(
        CountedMessage(QString::fromLatin1(foundId), static_cast<uint64_t>(found)).toStdString(),
        {std::to_string(found)}));
    // Carved files put back together from two pieces: work no other tool does, and worth a word.
    uint64_t joined = 0;
    for (const auto& t : scanTargets_) {
      if (t->engine == nullptr) continue;
      if (const DeepScanControl* deep = t->engine->DeepControl()) joined += deep->JoinedFiles();
    }
    if (joined != 0)
      said +=
          QLatin1Char(' ') + Q(FormatMessage(CountedMessage(QStringLiteral("MSG0948"), joined).toStdString(),
                                             {std::to_string(joined)}));
    if (hidden != 0)
      said +=
          QLatin1Char(' ') + Q(FormatMessage(CountedMessage(QStringLiteral("MSG0949"), hidden).toStdString(),
                                             {std::to_string(hidden)}));
    if (lostVolumesFound_ != 0)
      said += QLatin1Char(' ') +
              Q(FormatMessage(CountedMessage(QStringLiteral("MSG0950"), lostVolumesFound_).toStdString(),
                              {std::to_string(lostVolumesFound_)}));
    if (!filter_.IsEmpty()) {
      // A filter that leaves nothing must not look like a scan that found nothing.
      uint64_t matching = 0;
      for (const auto& [key, records] : shown_) matching += records->size();
      said += QLatin1Char(' ') +
              Q(FormatMessage(CountedMessage(QStringLiteral("MSG0944"), matching).toStdString(),
                              {std::to_string(matching)}));
    }
    set("Txt2", said);
  }
  UpdateSelectedInfo();
}

void CMainWnd::ShowModePage() {
  for (const char* name : {"ToolBar2", "ToolBar3", "ToolBtn", "SubBar2", "Txt1", "Txt2"})
    Show(Q(name), false);
  Show(QStringLiteral("SubBar1"), true);
  if (auto* tabs = Find<ui::CTabLayoutUI>(QStringLiteral("TabPage"))) tabs->SelectItem(kModePage);
}

void CMainWnd::SelectStep(int page) {
  static const char* const kTabs[] = {"TabScan", "TabFileType", "TabRecover"};
  if (page < kSourcePage || page > kResultPage) return;
  auto* tab = Find<ui::COptionUI>(Q(kTabs[page - kSourcePage]));
  if (tab != nullptr && !tab->IsSelected()) {
    tab->Selected(true);  // its "selectchanged" sets the page up
    return;
  }
  ShowStep(page);
}

void CMainWnd::ShowStep(int page) {
  // Each step's banner, logo and title colour.
  static const struct {
    const char* banner;
    const char* logo;
    QRgb title;
  } kLooks[] = {{"banner_bg.png", "scan_files.png", 0xFF0089BE},
                {"banner_bg2.png", "advance_scan.png", 0xFFE47100},
                {"banner_bg1.png", "recover_file.png", 0xFF316D1E}};
  if (page < kSourcePage || page > kResultPage) return;
  if (page == kSourcePage) {
    for (const char* name : {"ToolBar2", "ToolBar3", "ToolBtn", "Txt1", "Txt2"}) Show(Q(name), true);
    const bool recovery = mode_ == 0;
    for (const char* name :
         {"BtnLoadImage", "BtnSearchVolumes", "BtnAdvanceScan", "BtnScan", "TabFileType", "TabRecover"})
      Show(Q(name), recovery);
    Show(QStringLiteral("BtnCreateImage"), !recovery);
    if (ui::CControlUI* tab = FindControl(QStringLiteral("TabScan"))) {
      tab->SetForeImage(recovery
                            ? QStringLiteral("file='Controls.png' source='1,159,33,191' dest='49,5,81,37'")
                            : QStringLiteral("file='btn_create_image.png' dest='49,5,77,37'"));
    }
    Show(QStringLiteral("SubBar1"), false);
    Show(QStringLiteral("SubBar2"), true);
  } else if (page == kTypePage) {
    Show(QStringLiteral("BtnScan"), true);
    for (const char* name : {"BtnAdvanceScan", "BtnLoadImage", "BtnSearchVolumes"}) Show(Q(name), false);
  } else {
    for (const char* name : {"BtnScan", "BtnAdvanceScan", "BtnLoadImage", "BtnSearchVolumes"})
      Show(Q(name), false);
  }
  Show(QStringLiteral("BtnRecover"), page == kResultPage);
  Show(QStringLiteral("ViewWall"), page == kResultPage);
  Show(QStringLiteral("ShowExisting"), page == kResultPage);
  Show(QStringLiteral("SelectedFileInfo"), page == kResultPage);
  const auto& look = kLooks[page - kSourcePage];
  if (ui::CControlUI* bar = FindControl(QStringLiteral("ToolBar2")))
    bar->SetBkImage(QStringLiteral("file='%1' corner='0,0,0,70'").arg(QLatin1String(look.banner)));
  if (ui::CControlUI* logo = FindControl(QStringLiteral("ToolBar2Logo")))
    logo->SetForeImage(QStringLiteral("file='%1' dest='15,5,65,55'").arg(QLatin1String(look.logo)));
  if (ui::CControlUI* txt = FindControl(QStringLiteral("Txt1")))
    txt->SetTextColor(QColor::fromRgba(look.title));
  if (auto* tabs = Find<ui::CTabLayoutUI>(QStringLiteral("TabPage"))) tabs->SelectItem(page);
  SetPageTexts(page);
}

void CMainWnd::ChooseMode(int mode) {
  mode_ = mode;
  if (diskList_ != nullptr) diskList_->SetImageRowsVisible(mode == 0);
  SelectStep(kSourcePage);
  SelectDefaultSource();
}

std::set<QString> CMainWnd::UntickedTypes() {
  std::set<QString> unticked;
  for (const char* group : kTypeGroups) {
    for (ui::COptionUI* option : GroupOptions(FindControl(Q(group)))) {
      for (const QString& ext : ExtensionsOf(option))
        if (chosenTypes_.count(ext) == 0) unticked.insert(ext);
    }
  }
  return unticked;
}

std::string CMainWnd::ExtensionPattern() const {
  std::string pattern;
  for (const auto& [ext, option] : chosenTypes_) {
    if (!pattern.empty()) pattern += '|';
    pattern += "*." + ext.toStdString();
  }
  return pattern;
}

void CMainWnd::StartScan() {
  std::optional<Source> source = SelectedSource();
  if (!sourceChosen_ || !source || source->targets.empty()) {
    Ask(CMessageBox::Information, QStringLiteral("MSG0505"), 400, 160);
    return;
  }
  if (!MayRead(*source)) return;
  fromTypePage_ = CurrentPage() == kTypePage;
  // The new targets replace the current result only once their scan has finished: a scan that fails or is
  // refused leaves the last result usable.
  std::vector<std::unique_ptr<ScanTarget>> targets = std::move(source->targets);
  const std::vector<ScanTarget*> pointers = PointersOf(targets);
  bool finished = false;
  int endCode = 0;
  bool sourceGone = false;
  {
    CScanProcessWnd window(pointers, true, makeEngine);
    window.onOwnerMessage = [&finished](uint32_t message) {
      if (message == kScanFinished) finished = true;
    };
    scanRunning_ = true;
    endCode = window.Create(this, 350, 250) ? window.ShowModal() : kEndFailed;
    scanRunning_ = false;
    stoppedAt_ = window.StoppedAt();
    for (int32_t result : window.Results())
      sourceGone = sourceGone || result == static_cast<int32_t>(err::kDeviceGone);
  }
  if (endCode == kEndFailed) {
    // Says why: the first source no engine could be made for.
    QString why;
    for (const auto& t : targets)
      if (t->engine == nullptr) {
        why = Q(WhyCannotScan(*t, false));
        break;
      }
    const QString text = Message("MSG0504");
    prompts_->Message(
        this, CMessageBox::Warning,
        why.isEmpty() ? text : Q(FormatMessage(Message("MSG0509").toStdString(), {why.toStdString()})), 420,
        180);
    return;
  }
  // What was found before it went is listed all the same.
  if (sourceGone) Ask(CMessageBox::Warning, QStringLiteral("MSG0507"), 340, 180);
  uint64_t unreadable = 0;
  bool disk = false;
  for (const auto& t : targets) {
    disk = disk || t->IsDisk();
    if (t->engine == nullptr) continue;
    if (const DeepScanControl* deep = t->engine->DeepControl()) unreadable += deep->UnreadableSectors();
  }
  // Volumes the pass found where no partition table names them: listed under their disk for a scan of their
  // own, as a search would list them.
  lostVolumesFound_ = 0;
  for (const auto& t : targets) {
    const DeepScanControl* deep = t->engine != nullptr ? t->engine->DeepControl() : nullptr;
    if (!finished || deep == nullptr || deep->LostVolumes().empty()) continue;
    VolumeInfo diskEntry;
    if (t->IsDisk()) {
      diskEntry = DiskEntry(t->volume->diskNumber).value_or(*t->volume);
      diskEntry.diskNumber = t->volume->diskNumber;
    } else {
      diskEntry.diskPath = os::Utf8OfPath(t->imagePath);
      diskEntry.diskIsImage = true;
      diskEntry.diskBytes = ImageMediaBytes(t->imagePath);
    }
    std::vector<FoundVolume> found;
    for (const LostVolumeExtent& lost : deep->LostVolumes()) {
      const auto row = std::find_if(FileSystems().begin(), FileSystems().end(),
                                    [&](const FileSystem& fs) { return fs.name == lost.fileSystem; });
      if (row != FileSystems().end())
        found.push_back({lost.startSector, lost.sectorCount, &*row, FoundVolume::kMain});
    }
    lostVolumesFound_ += AddFoundVolumes(diskEntry, found).size();
  }
  if (finished) OnScanFinished(std::move(targets));
  // A disk that failed reads is best copied before it is read again (to recover, or to scan once more).
  if (finished && !sourceGone && disk && unreadable != 0) {
    const QString text = Q(FormatMessage(CountedMessage(QStringLiteral("MSG0508"), unreadable).toStdString(),
                                         {std::to_string(unreadable)}));
    if (prompts_->Message(this, CMessageBox::Question, text, 420, 200) == 1) CreateImage();
  }
}

void CMainWnd::OnScanFinished(std::vector<std::unique_ptr<ScanTarget>> targets) {
  const bool anyEngine =
      std::any_of(targets.begin(), targets.end(), [](const auto& t) { return t->engine != nullptr; });
  if (!anyEngine) return;
  players_.EndAll();
  scanTargets_ = std::move(targets);
  checkedFiles_.clear();
  searchResult_.clear();
  if (fileList_ != nullptr) fileList_->RemoveAll();
  UpdateSelectedInfo();

  std::vector<ScanTarget*> searched;
  for (const auto& t : scanTargets_) {
    if (t->engine != nullptr) searched.push_back(t.get());
  }
  RecordList found;
  bool ready = false;
  {
    CSearchProcessWnd window(searched, std::string(kAllTypes), found);
    window.onOwnerMessage = [&ready](uint32_t message) {
      if (message == kResultsReady) ready = true;
    };
    if (window.Create(this, 370, 220)) window.ShowModal();
  }
  if (!ready) return;
  // Every found file is listed but those of the types the user unticked on the file-type page.
  const std::set<QString> unticked = UntickedTypes();
  if (!unticked.empty())
    std::erase_if(found, [&](const FoundFileRecord& r) { return unticked.count(ResultKey(r)) != 0; });
  OnResultsReady(std::move(found));
}

void CMainWnd::GoBack() {
  const int page = CurrentPage();
  if (page == kSourcePage) {
    ShowModePage();
  } else if (page == kTypePage || (page == kResultPage && !fromTypePage_)) {
    SelectStep(kSourcePage);
  } else if (page == kResultPage) {
    SelectStep(kTypePage);
  }
}

void CMainWnd::OnFileTypeOption(ui::COptionUI* option) {
  for (const QString& ext : ExtensionsOf(option)) {
    if (option->IsSelected()) {
      chosenTypes_[ext] = option;
    } else {
      const auto it = chosenTypes_.find(ext);
      if (it != chosenTypes_.end() && it->second == option) chosenTypes_.erase(it);
    }
  }
}

void CMainWnd::OnFileTypeGroup(const QString& boxName) {
  auto* box = Find<ui::COptionUI>(boxName);
  if (box == nullptr) return;
  for (size_t g = 0; g < std::size(kGroupBoxes); ++g) {
    if (boxName != QLatin1String(kGroupBoxes[g])) continue;
    for (ui::COptionUI* option : GroupOptions(FindControl(Q(kTypeGroups[g]))))
      option->Selected(box->IsSelected());
  }
}

void CMainWnd::OpenAssistMenu() {
  ui::CControlUI* button = FindControl(QStringLiteral("BtnAssist"));
  if (button == nullptr) return;
  // The menu deletes itself when it closes.
  QPointer<ui::CMenuWnd> menu = new ui::CMenuWnd(this);
  const QPoint at = button->mapToGlobal(QPoint(0, button->height()));
  if (!menu->Open(QStringLiteral("xml/menu_assist.xml"), at)) {
    menu->deleteLater();
    return;
  }
  LanguageTable& table = LanguageTable::Instance();
  table.ApplyToWindow(menu, QStringLiteral("menu_assist"));
  if (ui::CMenuElementUI* language = menu->Element(QStringLiteral("item_language"))) {
    language->ClearSubItems();
    for (const auto& [key, name] : table.Languages())
      language->AddSubItem(QStringLiteral("lang:") + key, name, key == table.CurrentLanguage());
  }
}

void CMainWnd::OpenStateMenu() {
  ui::CControlUI* button = FindControl(QStringLiteral("FilterState"));
  if (button == nullptr) return;
  QPointer<ui::CMenuWnd> menu = new ui::CMenuWnd(this);
  if (!menu->Open(QStringLiteral("xml/menu_state.xml"), button->mapToGlobal(QPoint(0, button->height())))) {
    menu->deleteLater();
    return;
  }
  LanguageTable::Instance().ApplyToWindow(menu, QStringLiteral("menu_state"));
  if (ui::CMenuElementUI* chosen =
          menu->Element(QStringLiteral("state_%1").arg(static_cast<int>(filter_.state))))
    chosen->SetMarked(true);
}

void CMainWnd::OnMenuItem(const QString& name) {
  if (name.startsWith(QLatin1String("state_"))) {
    bool ok = false;
    const int state = name.mid(6).toInt(&ok);
    if (!ok || state < 0 || state > static_cast<int>(RecordFilter::State::kExisting)) return;
    chosenState_ = static_cast<RecordFilter::State>(state);
    ApplyFilter();
    ApplyTexts();  // the button names the state
    return;
  }
  // Help, answers and support are said by the program itself: no web page stands behind them.
  static const std::map<QString, const char*> kTexts = {{QStringLiteral("item_help"), "MSG1211"},
                                                        {QStringLiteral("item_faq"), "MSG1212"},
                                                        {QStringLiteral("item_support"), "MSG1213"}};
  if (name == QLatin1String("item_exit")) {
    close();
    return;
  }
  if (name == QLatin1String("item_about")) {
    // Said here, from the program itself: the version that runs and the terms it comes under.
    prompts_->Message(this, CMessageBox::Information,
                      Q(FormatMessage(Message("MSG1210").toStdString(), {SNAPSAVE_VERSION})), 440, 220);
    return;
  }
  if (const auto it = kTexts.find(name); it != kTexts.end()) {
    prompts_->Message(this, CMessageBox::Information,
                      Q(FormatMessage(Message(it->second).toStdString(), {SNAPSAVE_VERSION})), 520, 300);
    return;
  }
  if (name.startsWith(QLatin1String("lang:"))) {
    LanguageTable::Instance().SetLanguage(name.mid(5));
    ApplyTexts();
    // The folder tree's texts ("deleted", "Carved files") are in the language they were made in.
    folderChains_.clear();
    chainsByLeaf_.clear();
    if (!searchResult_.empty()) FillTree();
  }
}

void CMainWnd::closeEvent(QCloseEvent* event) {
  if (QWidget* modal = QApplication::activeModalWidget(); modal != nullptr && modal != this) {
    event->ignore();
    modal->raise();
    modal->activateWindow();
    return;
  }
  event->accept();
  players_.EndAll();
  // Hidden windows (the shadow, a finished dialog) must not keep the program running.
  QApplication::quit();
}

void CMainWnd::Notify(const ui::TNotifyUI& msg) {
  const QString& type = msg.type;
  const QString& name = msg.name;
  if (type == QLatin1String("windowinit")) {
    Initialise();
    return;
  }
  if (type == QLatin1String("click")) {
    if (name == QLatin1String("closebtn")) {
      close();
      return;
    }
    if (name == QLatin1String("BtnRecoverMode")) return ChooseMode(0);
    if (name == QLatin1String("BtnCreateImageMode")) return ChooseMode(1);
    if (name == QLatin1String("BtnScan")) return StartScan();
    if (name == QLatin1String("BtnAdvanceScan")) return SelectStep(kTypePage);
    if (name == QLatin1String("BtnLoadImage")) return LoadImage();
    if (name == QLatin1String("BtnSearchVolumes")) return SearchLostVolumes();
    if (name == QLatin1String("BtnCreateImage")) return CreateImage();
    if (name == QLatin1String("BtnRecover")) return Recover();
    if (name == QLatin1String("BtnPrev")) return GoBack();
    if (name == QLatin1String("BtnAssist")) return OpenAssistMenu();
    if (name == QLatin1String("FilterState")) return OpenStateMenu();
    if (name == QLatin1String("ChkSelAll")) {
      auto* all = Find<ui::CCheckBoxUI>(name);
      if (all != nullptr && byFolder_ && fileList_ != nullptr) {
        // By folder the box ticks the files the list shows, not the folders below.
        fileList_->CheckAll(all->GetCheck());
        for (int row = 0; row < fileList_->RowCount(); ++row) {
          const FoundFileRecord& record = fileList_->RecordOf(row);
          if (all->GetCheck())
            checkedFiles_[KeyOf(record)] = record;
          else
            checkedFiles_.erase(KeyOf(record));
        }
        SyncFolderChecks();
        UpdateSelectedInfo();
        return;
      }
      if (all == nullptr || tree_ == nullptr || currentTypeNode_.isEmpty()) return;
      if (ui::TreeNode* node = tree_->FindNode(currentTypeNode_)) tree_->SetCheck(node, all->GetCheck());
      ApplyNodeCheck(currentTypeNode_, all->GetCheck());
      return;
    }
    for (const char* box : kGroupBoxes) {
      if (name == QLatin1String(box)) return OnFileTypeGroup(name);
    }
  } else if (type == QLatin1String("selectchanged")) {
    auto* option = dynamic_cast<ui::COptionUI*>(msg.sender);
    if (option == nullptr) return;
    if (name == QLatin1String("TabScan") || name == QLatin1String("TabFileType") ||
        name == QLatin1String("TabRecover")) {
      if (!option->IsSelected()) return;
      ShowStep(name == QLatin1String("TabScan")       ? kSourcePage
               : name == QLatin1String("TabFileType") ? kTypePage
                                                      : kResultPage);
      return;
    }
    if (name == QLatin1String("ViewByType") || name == QLatin1String("ViewByFolder")) {
      if (option->IsSelected()) ShowResultView(name == QLatin1String("ViewByFolder"));
      return;
    }
    if (name == QLatin1String("ViewWall")) return ShowWall(option->IsSelected());
    if (name == QLatin1String("ShowExisting")) {
      showExisting_ = option->IsSelected();
      ApplyFilter();
      return;
    }
    if (!option->UserData().isEmpty()) OnFileTypeOption(option);
    return;
  } else if (type == QLatin1String("itemselect") ||
             (type == QLatin1String("itemfocus") && msg.sender == diskList_)) {
    // A source is chosen by the keyboard's mark too; a file is previewed only when asked (a click, Enter).
    if (msg.sender == diskList_) {
      const int row = static_cast<int>(msg.wParam);
      const bool chosen =
          row >= 0 && (diskList_->EntryOf(row) != nullptr || diskList_->ImageOf(row) != nullptr ||
                       diskList_->DiskOfNode(row).has_value());
      ShowDetails(chosen ? row : -1);
      sourceChosen_ = chosen;
      // A search reads a whole disk: a disk's row, or an image file's.
      Enable(QStringLiteral("BtnSearchVolumes"),
             row >= 0 && (diskList_->ImageOf(row) != nullptr || diskList_->DiskOfNode(row).has_value()));
      Enable(QStringLiteral("BtnAdvanceScan"), chosen);
      Enable(QStringLiteral("TabFileType"), chosen);
      return;
    }
    if (msg.sender == fileList_) return Preview(static_cast<int>(msg.wParam));
    if (msg.sender == tree_) return ShowTypeNode(msg.lParam.toString());
    if (msg.sender == folderTree_) return ShowFolderNode(msg.lParam.toString());
  } else if (type == QLatin1String("list_check_all") && msg.sender == fileList_) {
    if (auto* all = Find<ui::CCheckBoxUI>(QStringLiteral("ChkSelAll"))) {
      all->SetCheck(true, false);
      SendNotify(all, QStringLiteral("click"));
    }
    return;
  } else if (type == QLatin1String("checkboxselectchanged")) {
    if (msg.sender == tree_) ApplyNodeCheck(msg.lParam.toString(), msg.wParam != 0);
    if (msg.sender == folderTree_) ApplyFolderCheck(msg.lParam.toString(), msg.wParam != 0);
    return;
  } else if (type == QLatin1String("list_check_click")) {
    if (msg.sender == fileList_) OnRowCheck(static_cast<int>(msg.wParam), msg.lParam.toBool());
    if (wall_ != nullptr) wall_->Refresh();
    return;
  } else if (type == QLatin1String("wallselect")) {
    // The facts of the picture picked; its preview waits for a double click, as in the list.
    if (auto* facts = Find<ui::CRichEditUI>(QStringLiteral("PreviewFacts"));
        facts != nullptr && fileList_ != nullptr)
      facts->SetText(FactsOf(fileList_->RecordOf(static_cast<int>(msg.wParam))));
    return;
  } else if (type == QLatin1String("wallactivate")) {
    return Preview(static_cast<int>(msg.wParam));
  } else if (type == QLatin1String("headerclick")) {
    if (fileList_ != nullptr && msg.sender != nullptr && msg.sender->parentWidget() == fileList_->Header())
      fileList_->SortByHeader(name);
    ReloadWall();
    return;
  } else if (type == QLatin1String("onhot") || type == QLatin1String("offhot")) {
    ui::CControlUI* hint = FindControl(QStringLiteral("TxtMainInfo"));
    if (hint == nullptr) return;
    if (type == QLatin1String("offhot")) {
      hint->SetText(hint->UserData());
    } else if (name == QLatin1String("BtnRecoverMode")) {
      hint->SetText(Message("MSG0101"));
    } else if (name == QLatin1String("BtnCreateImageMode")) {
      hint->SetText(Message("MSG0102"));
    }
    return;
  } else if (type == QLatin1String("timer")) {
    if (name == QLatin1String("PartitionListBar")) {
      KillTimer(msg.sender, static_cast<int>(msg.wParam));
      RefreshDiskList(msg.wParam == kTimerArrival ? 1 : 2);
      return;
    }
  } else if (type == QLatin1String("itemclick")) {
    return OnMenuItem(name);
  } else if (type == QLatin1String("textchanged")) {
    if (name.startsWith(QLatin1String("Filter"))) filterTimer_->start();
    return;
  } else if (type == QLatin1String("splittermoved")) {
    return ShowBytesPreview();
  } else if (type == QLatin1String("itemactivate") || type == QLatin1String("itemexpand") ||
             type == QLatin1String("list_item_dbclick")) {
    return;  // the lists fold their nodes themselves
  }
  ui::CWindowUI::Notify(msg);
}

}  // namespace snapsave::app
