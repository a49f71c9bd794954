#include "app/main_wnd.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QKeyEvent>
#include <QThread>
#include <QUrl>

#include <unistd.h>

#include <algorithm>
#include <system_error>

#include "app/message_box.h"
#include "app/progress_windows.h"
#include "catalog/found_file_catalogue.h"
#include "os/device.h"
#include "os/sysfs.h"
#include "os/volume_space.h"
#include "sessions/session.h"
#include "ui/controls.h"
#include "ui/menu.h"

namespace snapsave::app {

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kScanFinished = 0x401;
constexpr uint32_t kResultsReady = 0x402;
constexpr int kEndFinished = 1;
constexpr int kEndFailed = 3;
constexpr int kTimerArrival = 0;
constexpr int kTimerRemoval = 1;
constexpr int kDeviceSettleMs = 5000;
constexpr size_t kPreviewCapacity = 1 << 20;
// Loaded image files are all read as one source; their records carry this letter.
constexpr char16_t kImageLetter = u'A';

const char* const kTypeGroups[] = {"FileTypePhoto", "FileTypeAudio", "FileTypeVideo"};
const char* const kGroupBoxes[] = {"OptPhotoFile", "OptAudioFile", "OptVideoFile"};
const char* const kCategoryNodes[] = {"NodePhoto", "NodeAudio", "NodeVideo"};

QString Q(const char* text) {
  return QString::fromLatin1(text);
}
QString Q(const std::string& text) {
  return QString::fromStdString(text);
}

// Every option of a group below its first row (the group box's row), in layout order.
std::vector<ui::COptionUI*> GroupOptions(ui::CControlUI* group) {
  std::vector<ui::COptionUI*> options;
  auto* box = dynamic_cast<ui::CContainerUI*>(group);
  if (box == nullptr) return options;
  for (size_t i = 1; i < box->Items().size(); ++i) {
    ui::CControlUI* row = box->Items()[i];
    if (auto* option = dynamic_cast<ui::COptionUI*>(row)) {
      options.push_back(option);
      continue;
    }
    if (auto* container = dynamic_cast<ui::CContainerUI*>(row)) {
      for (ui::CControlUI* item : container->Items()) {
        if (auto* option = dynamic_cast<ui::COptionUI*>(item)) options.push_back(option);
      }
    }
  }
  return options;
}

QStringList ExtensionsOf(const ui::COptionUI* option) {
  QStringList extensions;
  for (const QString& part : option->UserData().split(QLatin1Char('|'), Qt::SkipEmptyParts))
    extensions.push_back(part.trimmed().toLower());
  return extensions;
}

std::vector<ScanTarget*> PointersOf(const std::vector<std::unique_ptr<ScanTarget>>& targets) {
  std::vector<ScanTarget*> pointers;
  for (const auto& t : targets) pointers.push_back(t.get());
  return pointers;
}

std::unique_ptr<ScanTarget> VolumeTarget(const VolumeInfo& volume) {
  auto target = std::make_unique<ScanTarget>();
  target->volume = volume;
  return target;
}

}  // namespace

int UserPrompts::Message(QWidget* owner, int kind, const QString& text, int width, int height) {
  return CMessageBox::Show(owner, kind, std::nullopt, text, width, height);
}

QString UserPrompts::OpenImageFile(QWidget* owner) {
  return QFileDialog::getOpenFileName(owner, QString(), QString(),
                                      QStringLiteral("Image Files (*.img);;All Files(*.*) (*)"));
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
      disks_(std::move(disks)),
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
}

CMainWnd::~CMainWnd() = default;

ui::CControlUI* CMainWnd::CreateControl(const QString& element) {
  if (element == QLatin1String("DiskList")) return new CDiskListUI;
  if (element == QLatin1String("FileTree")) return new CFileTreeUI;
  if (element == QLatin1String("ListEx")) return new CListExUI;
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
    int found = 0;
    for (const auto& [key, records] : searchResult_) found += static_cast<int>(records.size());
    set("Txt1", Message("MSG0801"));
    set("Txt2", Q(FormatMessage(Message("MSG0802").toStdString(), {std::to_string(found)})));
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
    for (const char* name : {"BtnLoadImage", "BtnAdvanceScan", "BtnScan", "TabFileType", "TabRecover"})
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
    for (const char* name : {"BtnAdvanceScan", "BtnLoadImage"}) Show(Q(name), false);
  } else {
    for (const char* name : {"BtnScan", "BtnAdvanceScan", "BtnLoadImage"}) Show(Q(name), false);
  }
  Show(QStringLiteral("BtnRecover"), page == kResultPage);
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

void CMainWnd::SelectDefaultSource() {
  if (diskList_ == nullptr) return;
  int chosen = -1;
  for (int row = 1; row < diskList_->RowCount(); ++row) {
    if (diskList_->IsRowShown(row) && diskList_->IsRemovableRow(row)) {
      chosen = row;
      break;
    }
  }
  if (chosen < 0 && diskList_->RowCount() >= 2) chosen = 1;
  if (chosen >= 0) diskList_->SelectRow(chosen);
}

void CMainWnd::RefreshDiskList(int mode) {
  if (diskList_ == nullptr) return;
  std::vector<VolumeInfo> known;
  for (int row = 0; row < diskList_->RowCount(); ++row) {
    if (const VolumeInfo* v = diskList_->EntryOf(row)) known.push_back(*v);
  }
  std::vector<VolumeInfo> entries;
  std::vector<VolumeInfo> arrived;
  if (mode == 1) {
    disks_->FindNewVolumes(known, arrived);
    entries = known;
    entries.insert(entries.end(), arrived.begin(), arrived.end());
    std::stable_sort(entries.begin(), entries.end(),
                     [](const VolumeInfo& a, const VolumeInfo& b) { return a.diskNumber < b.diskNumber; });
  } else {
    disks_->Refresh();
    disks_->GetAll(entries);
  }
  // Keep the user's choice when it is still there.
  const int selected = diskList_->SelectedRow();
  std::optional<VolumeInfo> selectedEntry;
  std::optional<CDiskListUI::ImageFile> selectedImage;
  if (const VolumeInfo* v = diskList_->EntryOf(selected)) selectedEntry = *v;
  if (const CDiskListUI::ImageFile* image = diskList_->ImageOf(selected)) selectedImage = *image;
  const std::optional<int32_t> selectedDisk = diskList_->DiskOfNode(selected);

  auto caption = [this](int32_t disk, bool removable) {
    return Message(removable ? "MSG0202" : "MSG0201") + QLatin1Char(' ') + QString::number(disk + 1);
  };
  auto isRemovable = [](int32_t disk) {
    const std::optional<fs::path> device = os::DiskTable::PathOf(disk);
    return device && os::IsRemovableDisk(*device);
  };
  diskList_->Fill(entries, caption, isRemovable);
  diskList_->SetImageRowsVisible(mode_ == 0);

  int reselect = -1;
  for (int row = 0; row < diskList_->RowCount() && reselect < 0; ++row) {
    const VolumeInfo* v = diskList_->EntryOf(row);
    if (selectedEntry && v != nullptr && v->diskNumber == selectedEntry->diskNumber &&
        v->startSector == selectedEntry->startSector && v->kind == selectedEntry->kind)
      reselect = row;
    const CDiskListUI::ImageFile* image = diskList_->ImageOf(row);
    if (selectedImage && image != nullptr && image->path == selectedImage->path) reselect = row;
    if (selectedDisk && diskList_->DiskOfNode(row) == selectedDisk) reselect = row;
  }
  if (mode == 1 && !arrived.empty() && !scanRunning_) {
    for (int row = 0; row < diskList_->RowCount(); ++row) {
      const VolumeInfo* v = diskList_->EntryOf(row);
      if (v == nullptr || !diskList_->IsRemovableRow(row)) continue;
      const bool isNew = std::any_of(arrived.begin(), arrived.end(), [&](const VolumeInfo& a) {
        return a.diskNumber == v->diskNumber && a.startSector == v->startSector;
      });
      if (isNew) {
        reselect = row;
        break;
      }
    }
  }
  if (reselect >= 0) {
    diskList_->SelectRow(reselect);
  } else if (selected >= 0) {
    // What was chosen is gone: nothing is chosen until the user picks again.
    sourceChosen_ = false;
    Enable(QStringLiteral("BtnAdvanceScan"), false);
    Enable(QStringLiteral("TabFileType"), false);
    ShowDetails(-1);
  }
}

void CMainWnd::DeviceChanged(bool arrival) {
  if (ui::CControlUI* bar = FindControl(QStringLiteral("PartitionListBar")))
    SetTimer(bar, arrival ? kTimerArrival : kTimerRemoval, kDeviceSettleMs);
}

std::optional<CMainWnd::Source> CMainWnd::SelectedSource() const {
  if (diskList_ == nullptr) return std::nullopt;
  const int row = diskList_->SelectedRow();
  Source source;
  if (const CDiskListUI::ImageFile* image = diskList_->ImageOf(row)) {
    auto target = std::make_unique<ScanTarget>();
    target->imagePath = image->path;
    target->imageDriveLetter = kImageLetter;
    source.targets.push_back(std::move(target));
    source.bytes = image->size;
    source.proposedImageName = QString::fromStdString(image->path.stem().string()) + QStringLiteral(" copy");
    return source;
  }
  if (const std::optional<int32_t> disk = diskList_->DiskOfNode(row)) {
    source.wholeDisk = *disk;
    for (int r : diskList_->RowsOfNode(row)) {
      const VolumeInfo* v = diskList_->EntryOf(r);
      source.targets.push_back(VolumeTarget(*v));
      source.bytes += v->totalBytes;
    }
    source.proposedImageName = QStringLiteral("Physical Disk %1").arg(*disk + 1);
    return source;
  }
  if (const VolumeInfo* v = diskList_->EntryOf(row)) {
    source.targets.push_back(VolumeTarget(*v));
    source.bytes = v->totalBytes;
    const QString number =
        v->driveLetter != kUnnumbered ? QString(QChar(v->driveLetter)) : QString::number(v->partitionNumber);
    const QString fileSystem = v->fileSystemName.empty() ? QStringLiteral("RAW") : Q(v->fileSystemName);
    source.proposedImageName =
        QStringLiteral("%1 (%2, %3)")
            .arg(number, fileSystem, Q(FormatSize(static_cast<int64_t>(v->totalBytes))));
    return source;
  }
  return std::nullopt;
}

void CMainWnd::ShowDetails(int row) {
  for (int i = 1; i <= 10; ++i) {
    if (ui::CControlUI* label = FindControl(QStringLiteral("Label%1").arg(i))) label->SetText(QString());
  }
  if (diskList_ == nullptr || row < 0) return;
  auto set = [this](int index, const char* id, const QString& value) {
    if (ui::CControlUI* label = FindControl(QStringLiteral("Label%1").arg(index)))
      label->SetText(Q(Prefixed(Message(id).toStdString(), value.toStdString())));
  };
  auto size = [](uint64_t bytes) { return Q(FormatSize(static_cast<int64_t>(bytes))); };
  if (const CDiskListUI::ImageFile* image = diskList_->ImageOf(row)) {
    set(1, "MSG0209", QString::fromStdString(image->path.filename().string()));
    set(2, "MSG0210", size(image->size));
    if (ui::CControlUI* label = FindControl(QStringLiteral("Label7")))
      label->SetText(QString::fromStdString(image->path.parent_path().string()));
    return;
  }
  if (const std::optional<int32_t> disk = diskList_->DiskOfNode(row)) {
    uint64_t total = 0;
    for (int r : diskList_->RowsOfNode(row)) total += diskList_->EntryOf(r)->totalBytes;
    set(1, "MSG0203", diskList_->Row(row).cells[0].text);
    set(4, "MSG0206", size(total));
    if (const std::optional<fs::path> device = os::DiskTable::PathOf(*disk)) {
      if (ui::CControlUI* label = FindControl(QStringLiteral("Label7")))
        label->SetText(QString::fromStdString(device->string()));
    }
    return;
  }
  if (const VolumeInfo* v = diskList_->EntryOf(row)) {
    set(1, "MSG0203", result_view::VolumeCaption(*v).trimmed());
    set(2, "MSG0204", v->fileSystemName.empty() ? QStringLiteral("-") : Q(v->fileSystemName));
    set(3, "MSG0205", v->volumeLabel.empty() ? QStringLiteral("-") : Q(v->volumeLabel));
    set(4, "MSG0206", size(v->totalBytes));
    set(5, "MSG0207", size(v->usedBytes));
    set(6, "MSG0208", size(v->freeBytes));
    if (ui::CControlUI* label = FindControl(QStringLiteral("Label7"))) label->SetText(Q(v->rootPath));
    if (ui::CControlUI* label = FindControl(QStringLiteral("Label8"))) label->SetText(Q(v->mountPoint));
  }
}

void CMainWnd::AddImageFile(const fs::path& path) {
  if (diskList_ == nullptr) return;
  std::error_code ec;
  const uintmax_t size = fs::file_size(path, ec);
  const int row = diskList_->AddImageFile(path, ec ? 0 : size, QStringLiteral("Image File"));
  diskList_->SetImageRowsVisible(mode_ == 0);
  diskList_->SelectRow(row);
}

void CMainWnd::LoadImage() {
  const QString path = prompts_->OpenImageFile(this);
  if (path.isEmpty()) return;
  std::error_code ec;
  if (!fs::is_regular_file(path.toStdString(), ec)) return;
  AddImageFile(path.toStdString());
}

std::string CMainWnd::ExtensionPattern() const {
  std::string pattern;
  for (const auto& [ext, option] : chosenTypes_) {
    if (!pattern.empty()) pattern += '|';
    pattern += "*." + ext.toStdString();
  }
  return pattern;
}

bool CMainWnd::MayRead(const Source& source) {
  std::vector<int32_t> disks;
  if (source.wholeDisk) disks.push_back(*source.wholeDisk);
  for (const auto& t : source.targets) {
    if (t->IsDisk()) disks.push_back(t->volume->diskNumber);
  }
  for (int32_t disk : disks) {
    const std::optional<fs::path> device = os::DiskTable::PathOf(disk);
    if (device && deviceReadable && !deviceReadable(*device)) {
      Ask(CMessageBox::Information, QStringLiteral("MSG0506"), 420, 170);
      return false;
    }
  }
  return true;
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
  {
    CScanProcessWnd window(pointers, true, makeEngine);
    window.onOwnerMessage = [&finished](uint32_t message) {
      if (message == kScanFinished) finished = true;
    };
    scanRunning_ = true;
    endCode = window.Create(this, 350, 250) ? window.ShowModal() : kEndFailed;
    scanRunning_ = false;
  }
  if (endCode == kEndFailed) {
    Ask(CMessageBox::Warning, QStringLiteral("MSG0504"), 300, 160);
    return;
  }
  if (finished) OnScanFinished(std::move(targets));
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
    CSearchProcessWnd window(searched, ExtensionPattern(), found);
    window.onOwnerMessage = [&ready](uint32_t message) {
      if (message == kResultsReady) ready = true;
    };
    if (window.Create(this, 370, 220)) window.ShowModal();
  }
  if (ready) OnResultsReady(std::move(found));
}

void CMainWnd::OnResultsReady(RecordList found) {
  if (fileList_ != nullptr) fileList_->RemoveAll();
  if (auto* box = Find<ui::CRichEditUI>(QStringLiteral("PreviewEdit"))) box->Clear();
  searchResult_.clear();
  std::vector<QString> order;
  for (const FoundFileRecord& record : found) {
    const QString key = ResultKey(record);
    auto [it, added] = searchResult_.try_emplace(key);
    if (added) order.push_back(key);
    it->second.push_back(record);
  }
  Enable(QStringLiteral("TabRecover"), true);
  currentTypeNode_.clear();
  SelectStep(kResultPage);
  FillTree();
}

void CMainWnd::FillTree() {
  if (tree_ == nullptr) return;
  std::vector<CFileTreeUI::TypeOption> options;
  for (size_t g = 0; g < std::size(kTypeGroups); ++g) {
    for (ui::COptionUI* option : GroupOptions(FindControl(Q(kTypeGroups[g])))) {
      for (const QString& ext : ExtensionsOf(option)) {
        const auto chosen = chosenTypes_.find(ext);
        if (chosen != chosenTypes_.end() && chosen->second == option)
          options.push_back({ext, option->Text(), Q(kCategoryNodes[g])});
      }
    }
  }
  std::map<QString, QString> captions;
  auto& section = LanguageTable::Instance().GetSection(QStringLiteral("MainWnd"));
  captions[QStringLiteral("NodePhoto")] = LanguageTable::Text(section, QStringLiteral("MSG0807"));
  captions[QStringLiteral("NodeAudio")] = LanguageTable::Text(section, QStringLiteral("MSG0808"));
  captions[QStringLiteral("NodeVideo")] = LanguageTable::Text(section, QStringLiteral("MSG0809"));
  // The tree lists types in the order of the file-type page.
  std::vector<std::pair<QString, RecordList>> result;
  for (const CFileTreeUI::TypeOption& option : options) {
    const auto it = searchResult_.find(option.extension);
    if (it != searchResult_.end()) result.emplace_back(it->first, it->second);
  }
  tree_->Fill(result, options, captions);  // selects the first type, which fills the list
  SetPageTexts(kResultPage);
}

void CMainWnd::ShowTypeNode(const QString& nodeName) {
  if (fileList_ == nullptr) return;
  const qsizetype dot = nodeName.indexOf(QLatin1Char('.'));
  if (dot < 0) return;  // a category: its types are below it
  currentTypeNode_ = nodeName;
  const QString ext = nodeName.mid(dot + 1);
  const auto it = searchResult_.find(ext);
  std::set<RecordKey> checked;
  for (const auto& [key, record] : checkedFiles_) checked.insert(key);
  fileList_->Fill(it == searchResult_.end() ? RecordList{} : it->second, checked);
  if (auto* all = Find<ui::CCheckBoxUI>(QStringLiteral("ChkSelAll")))
    all->SetCheck(fileList_->RowCount() > 0 && fileList_->RowsState() == ui::CheckState::Checked, false);
  // The first file is marked, not previewed: a preview reads the source and should wait to be asked for.
  if (fileList_->RowCount() > 0) fileList_->SelectRow(0, false);
}

void CMainWnd::ApplyNodeCheck(const QString& nodeName, bool checked) {
  if (tree_ == nullptr) return;
  ui::TreeNode* node = tree_->FindNode(nodeName);
  if (node == nullptr) return;
  std::vector<ui::TreeNode*> types;
  if (node->style == QLatin1String("filetype")) {
    types.push_back(node);
  } else {
    for (const auto& child : node->children) types.push_back(child.get());
  }
  for (ui::TreeNode* type : types) {
    const auto it = searchResult_.find(type->name.mid(type->name.indexOf(QLatin1Char('.')) + 1));
    if (it == searchResult_.end()) continue;
    for (const FoundFileRecord& record : it->second) {
      if (checked) {
        checkedFiles_[KeyOf(record)] = record;
      } else {
        checkedFiles_.erase(KeyOf(record));
      }
    }
    if (type->name == currentTypeNode_ && fileList_ != nullptr) {
      fileList_->CheckAll(checked);
      if (auto* all = Find<ui::CCheckBoxUI>(QStringLiteral("ChkSelAll"))) all->SetCheck(checked, false);
    }
  }
  UpdateSelectedInfo();
}

void CMainWnd::OnRowCheck(int row, bool checked) {
  if (fileList_ == nullptr || row < 0 || row >= fileList_->RowCount()) return;
  const FoundFileRecord& record = fileList_->RecordOf(row);
  fileList_->NoteRowCheck(row, checked);
  if (checked) {
    checkedFiles_[KeyOf(record)] = record;
  } else {
    checkedFiles_.erase(KeyOf(record));
  }
  const ui::CheckState state = fileList_->RowsState();
  if (auto* all = Find<ui::CCheckBoxUI>(QStringLiteral("ChkSelAll")))
    all->SetCheck(state == ui::CheckState::Checked, false);
  if (tree_ != nullptr) {
    if (ui::TreeNode* node = tree_->FindNode(currentTypeNode_)) tree_->SetCheckState(node, state);
  }
  UpdateSelectedInfo();
}

void CMainWnd::UpdateSelectedInfo() {
  uint64_t total = 0;
  for (const auto& [key, record] : checkedFiles_) total += record.fileSize;
  if (ui::CControlUI* info = FindControl(QStringLiteral("SelectedFileInfo"))) {
    if (checkedFiles_.empty()) {
      info->SetText(Message("MSG0803"));
    } else {
      info->SetText(
          Q(FormatMessage(Message("MSG0804").toStdString(),
                          {FormatSize(static_cast<int64_t>(total)), std::to_string(checkedFiles_.size())})));
    }
  }
  Enable(QStringLiteral("BtnRecover"), !checkedFiles_.empty());
}

void CMainWnd::CreateImage() {
  const std::optional<Source> source = SelectedSource();
  if (!sourceChosen_ || !source || (source->targets.empty() && !source->wholeDisk)) {
    Ask(CMessageBox::Information, QStringLiteral("MSG0216"), 400, 160);
    return;
  }
  if (!MayRead(*source)) return;
  // What the checks compare with: the volume or image read, or the whole disk.
  ScanTarget wholeDisk;
  if (source->wholeDisk) {
    wholeDisk.volume = VolumeInfo{};
    wholeDisk.volume->kind = EntryKind::kWholeDisk;
    wholeDisk.volume->diskNumber = *source->wholeDisk;
  }
  const ScanTarget& checked = source->wholeDisk ? wholeDisk : *source->targets.front();
  QString chosen;
  QString proposed = source->proposedImageName;
  for (;;) {
    chosen = prompts_->SaveImageFile(this, proposed);
    if (chosen.isEmpty()) return;
    if (fs::path(chosen.toStdString()).extension().empty()) chosen += QStringLiteral(".img");
    proposed = chosen;
    const fs::path path = chosen.toStdString();
    const bool onSource = destinationOnSource && destinationOnSource(path, checked);
    const TargetVolume volume = onSource || !targetVolume ? TargetVolume{} : targetVolume(path);
    const ImageTargetCheck check = CheckImageTarget(onSource, volume, source->bytes);
    if (check != ImageTargetCheck::kFits) {
      Ask(CMessageBox::Information, Q(std::string(ImageTargetMessageId(check))), 300, 160);
      continue;
    }
    break;
  }
  std::vector<ScanTarget*> pointers;
  if (!source->wholeDisk) pointers.push_back(source->targets.front().get());
  const fs::path imagePath = chosen.toStdString();
  int endCode = 0;
  {
    CCreateImageProcessWnd window(imagePath, pointers, source->wholeDisk.value_or(-1));
    endCode = window.Create(this, 450, 270) ? window.ShowModal() : kEndFailed;
  }
  if (endCode == kEndFailed) {
    QThread::msleep(100);
    Ask(CMessageBox::Information, QStringLiteral("MSG0217"), 300, 160);
  }
  // Only a finished image is worth scanning; a failed or stopped one is incomplete.
  if (endCode != kEndFinished) return;
  if (Ask(CMessageBox::Question, QStringLiteral("MSG0214"), 400, 160) != 1) return;
  ChooseMode(0);
  AddImageFile(imagePath);
}

void CMainWnd::Recover() {
  if (checkedFiles_.empty()) return;
  QString chosen = prompts_->RecoveryFolder(this);
  if (chosen.isEmpty()) return;
  while (chosen.size() > 1 && (chosen.endsWith(QLatin1Char('/')) || chosen.endsWith(QLatin1Char('\\'))))
    chosen.chop(1);
  destinationFolder_ = chosen.toStdString();
  for (const auto& target : scanTargets_) {
    if (target->engine == nullptr || !target->IsDisk()) continue;
    if (destinationOnSource && destinationOnSource(destinationFolder_, *target)) {
      if (Ask(CMessageBox::Confirm, QStringLiteral("MSG0805"), 450, 160) != 1) return;
      break;
    }
  }
  std::vector<RecoveryItem> items;
  items.reserve(checkedFiles_.size());
  for (const auto& [key, record] : checkedFiles_) items.push_back({record, std::nullopt});
  CRecoverProcessWnd window(PointersOf(scanTargets_), destinationFolder_, std::move(items));
  if (window.Create(this, 500, 240)) window.ShowModal();
}

void CMainWnd::Preview(int row) {
  if (fileList_ == nullptr || row < 0 || row >= fileList_->RowCount()) return;
  auto* box = Find<ui::CRichEditUI>(QStringLiteral("PreviewEdit"));
  const FoundFileRecord record = fileList_->RecordOf(row);
  if (record.isFolder != 0) {
    ShowTextInBox(box, Message("MSG0904"));
    return;
  }
  if (box != nullptr) box->Clear();
  PreviewResult result;
  int endCode = 0;
  {
    CPreviewProcessWnd window(PointersOf(scanTargets_), record, kPreviewCapacity, result,
                              [this] { players_.EndAll(); });
    endCode = window.Create(this, 370, 220) ? window.ShowModal() : 0;
  }
  if (endCode != kEndFinished) return;
  if (!result.isMedia || result.path.empty()) {
    previewPath_ = result.path;
    if (!result.path.empty())
      ShowPictureInBox(box, QString::fromStdString(result.path.string()), Message("MSG0905"));
    return;
  }
  const QString path = QString::fromStdString(result.path.string());
  if (!result.isAudio) {
    QPointer<CMainWnd> self(this);
    players_.PlayVideo(path, [self] {
      if (self) self->Ask(CMessageBox::Information, QStringLiteral("MSG1207"), 330, 150);
    });
  } else {
    players_.PlayAudio(path);
  }
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

void CMainWnd::OnMenuItem(const QString& name) {
  static const std::map<QString, QString> kPages = {
      {QStringLiteral("item_help"), QStringLiteral("https://snapsave.example.org/help")},
      {QStringLiteral("item_faq"), QStringLiteral("https://snapsave.example.org/faq")},
      {QStringLiteral("item_about"), QStringLiteral("https://snapsave.example.org/about")},
      {QStringLiteral("item_support"), QStringLiteral("https://snapsave.example.org/support")}};
  if (name == QLatin1String("item_exit")) {
    close();
    return;
  }
  if (const auto it = kPages.find(name); it != kPages.end()) {
    QDesktopServices::openUrl(QUrl(it->second));
    return;
  }
  if (name.startsWith(QLatin1String("lang:"))) {
    LanguageTable::Instance().SetLanguage(name.mid(5));
    ApplyTexts();
    if (!searchResult_.empty()) FillTree();
  }
}

void CMainWnd::Notify(const ui::TNotifyUI& msg) {
  const QString& type = msg.type;
  const QString& name = msg.name;
  if (type == QLatin1String("windowinit")) {
    Initialise();
    return;
  }
  if (type == QLatin1String("click")) {
    if (name == QLatin1String("BtnRecoverMode")) return ChooseMode(0);
    if (name == QLatin1String("BtnCreateImageMode")) return ChooseMode(1);
    if (name == QLatin1String("BtnScan")) return StartScan();
    if (name == QLatin1String("BtnAdvanceScan")) return SelectStep(kTypePage);
    if (name == QLatin1String("BtnLoadImage")) return LoadImage();
    if (name == QLatin1String("BtnCreateImage")) return CreateImage();
    if (name == QLatin1String("BtnRecover")) return Recover();
    if (name == QLatin1String("BtnPrev")) return GoBack();
    if (name == QLatin1String("BtnAssist")) return OpenAssistMenu();
    if (name == QLatin1String("ChkSelAll")) {
      auto* all = Find<ui::CCheckBoxUI>(name);
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
    if (!option->UserData().isEmpty()) OnFileTypeOption(option);
    return;
  } else if (type == QLatin1String("itemselect")) {
    if (msg.sender == diskList_) {
      const int row = static_cast<int>(msg.wParam);
      const bool chosen =
          row >= 0 && (diskList_->EntryOf(row) != nullptr || diskList_->ImageOf(row) != nullptr ||
                       diskList_->DiskOfNode(row).has_value());
      ShowDetails(chosen ? row : -1);
      sourceChosen_ = chosen;
      Enable(QStringLiteral("BtnAdvanceScan"), chosen);
      Enable(QStringLiteral("TabFileType"), chosen);
      return;
    }
    if (msg.sender == fileList_) return Preview(static_cast<int>(msg.wParam));
    if (msg.sender == tree_) return ShowTypeNode(msg.lParam.toString());
  } else if (type == QLatin1String("checkboxselectchanged")) {
    if (msg.sender == tree_) ApplyNodeCheck(msg.lParam.toString(), msg.wParam != 0);
    return;
  } else if (type == QLatin1String("list_check_click")) {
    if (msg.sender == fileList_) OnRowCheck(static_cast<int>(msg.wParam), msg.lParam.toBool());
    return;
  } else if (type == QLatin1String("headerclick")) {
    if (fileList_ != nullptr && msg.sender != nullptr && msg.sender->parentWidget() == fileList_->Header())
      fileList_->SortByHeader(name);
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
  } else if (type == QLatin1String("itemactivate") || type == QLatin1String("itemexpand") ||
             type == QLatin1String("list_item_dbclick")) {
    return;  // the lists fold their nodes themselves
  }
  ui::CWindowUI::Notify(msg);
}

}  // namespace snapsave::app
