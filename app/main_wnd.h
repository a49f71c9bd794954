// The main window: mode, source, file types, scan, results, preview and recovery, one page after another.
#pragma once

#include <QString>
#include <QTimer>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/language_table.h"
#include "app/photo_wall.h"
#include "app/preview.h"
#include "app/result_views.h"
#include "catalog/record_filter.h"
#include "os/paths.h"
#include "sessions/destination_checks.h"
#include "sessions/scan_plan.h"
#include "sessions/scan_session.h"
#include "storage/disk_list.h"
#include "ui/window.h"

namespace snapsave::ui {
class COptionUI;
}

namespace snapsave::app {

// What the window asks outside its own pages: message boxes and the file dialogs. Tests script them.
class UserPrompts {
 public:
  virtual ~UserPrompts() = default;
  // A message box of a CMessageBox kind; 1 for OK.
  virtual int Message(QWidget* owner, int kind, const QString& text, int width, int height);
  // Empty when cancelled.
  virtual QString OpenImageFile(QWidget* owner);
  virtual QString SaveImageFile(QWidget* owner, const QString& proposedName);
  virtual QString RecoveryFolder(QWidget* owner);
};

// The file system and free space of where a path would be written.
class CMainWnd : public ui::CWindowUI {
 public:
  enum Page { kModePage = 0, kSourcePage = 1, kTypePage = 2, kResultPage = 3 };

  // Without `disks`, the disks are the running system's.
  explicit CMainWnd(std::unique_ptr<UserPrompts> prompts = std::make_unique<UserPrompts>(),
                    std::unique_ptr<DiskMap> disks = nullptr);
  ~CMainWnd() override;

  void Notify(const ui::TNotifyUI& msg) override;
  ui::CControlUI* CreateControl(const QString& element) override;

  // The buttons' work, callable directly.
  void ChooseMode(int mode);
  void AddImageFile(const std::filesystem::path& path);
  void StartScan();
  void LoadImage();
  // Reads the chosen disk or disk image for volumes its partition table does not name, and lists them under
  // it ("found volume at sector N ...") to be scanned like any volume.
  void SearchLostVolumes();
  // Lists the volumes found on `disk` (an image, or a disk of the list) under it; those it lists.
  std::vector<VolumeInfo> AddFoundVolumes(VolumeInfo disk, const std::vector<FoundVolume>& found);
  void CreateImage();
  void Recover();
  void GoBack();
  // A device came or went: the list refreshes once, five seconds after the last of a burst.
  void DeviceChanged(bool arrival);
  // Refills the disk list: 0 everything, 1 disks that arrived, 2 drop disks that are gone.
  void RefreshDiskList(int mode);

  int CurrentPage() const;
  int Mode() const { return mode_; }
  bool SourceChosen() const { return sourceChosen_; }
  const std::map<QString, ui::COptionUI*>& ChosenTypes() const { return chosenTypes_; }
  // "*.jpg|*.png" of the chosen types.
  std::string ExtensionPattern() const;
  const std::map<QString, SharedRecords>& SearchResult() const { return searchResult_; }
  // Reads the find and filter bar and narrows the tree, its counts and the list to what matches; typing
  // calls it a moment after the last key.
  void ApplyFilter();
  // The results by folder (the found tree of each volume, carved files under their categories) or by type;
  // the file selected in one is selected in the other.
  void ShowResultView(bool byFolder);
  bool ByFolder() const { return byFolder_; }
  const RecordFilter& Filter() const { return filter_; }
  const std::map<RecordKey, FoundFileRecord>& CheckedFiles() const { return checkedFiles_; }
  MediaPlayers& Players() { return players_; }
  std::filesystem::path PreviewPath() const { return previewPath_; }

  // The saved scans of this user's scan-log folder, which the engines of every scan keep their catalogues in.
  SavedScanStore& ScanStore() { return scanStore_; }

 private:
  // Declared before makeEngine, which hands it to every engine it makes.
  SavedScanStore scanStore_{os::ScanLogFolder()};

 public:
  // Seams over the system: engines for the scans, whether a folder is on a source being read, and the volume
  // a file would be written to.
  EngineMaker makeEngine = DefaultEngineMaker(scanStore_);
  std::function<bool(const std::filesystem::path&, const ScanTarget&)> destinationOnSource;
  std::function<TargetVolume(const std::filesystem::path&)> targetVolume;
  // Whether this user may read a disk device (root, or the disk group).
  std::function<bool(const std::filesystem::path&)> deviceReadable;

  // The extensions of the file-type page that are not ticked there: their files are left out of the results.
  std::set<QString> UntickedTypes();

  // The folder below the destination that a file chosen by folder goes to: its found folders, the volume's
  // root being the destination; nothing for a carved file or one whose engine keeps no folders.
  std::optional<std::filesystem::path> FoundFolderOf(const FoundFileRecord& record);

  // The key a record is filed under in the result: its lower-cased extension, synonyms folded ("jpeg" ->
  // "jpg").
  static QString ResultKey(const FoundFileRecord& record);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  // Closing the window ends the program; while a progress window runs, that window comes forward instead
  // (its Stop asks first).
  void closeEvent(QCloseEvent* event) override;

 private:
  struct Source {
    std::vector<std::unique_ptr<ScanTarget>> targets;  // engines not made yet
    std::optional<int32_t> wholeDisk;
    VolumeInfo wholeDiskEntry;  // what the listing says of that disk: its device, or its image file
    uint64_t bytes = 0;
    QString proposedImageName;
  };

  void Initialise();
  void ApplyTexts();
  void SetPageTexts(int page);
  void ShowModePage();
  // Pages 1 to 3: their buttons, banner and texts.
  void ShowStep(int page);
  // Selects the step tab of a page; its "selectchanged" shows the page.
  void SelectStep(int page);
  void SelectDefaultSource();
  void ShowDetails(int row);
  std::optional<Source> SelectedSource() const;
  // The listing's entry of a disk (its device or image file), from any entry of it shown.
  std::optional<VolumeInfo> DiskEntry(int32_t disk) const;
  // False, after telling the user how to get the rights, when a disk of the source may not be read.
  bool MayRead(const Source& source);
  void OnScanFinished(std::vector<std::unique_ptr<ScanTarget>> targets);
  void OnResultsReady(RecordList found);
  void FillTree();
  void ShowTypeNode(const QString& nodeName);
  void ApplyNodeCheck(const QString& nodeName, bool checked);
  // Where a record sits in the folder tree: its nodes from the volume down, as (name, text).
  using FolderChain = std::vector<std::pair<QString, QString>>;
  std::shared_ptr<const FolderChain> FolderChainOf(const FoundFileRecord& record);
  void FillFolderTree();
  void ShowFolderNode(const QString& nodeName);
  void ApplyFolderCheck(const QString& nodeName, bool checked);
  // The trees' check states from the ticked files: the view not shown is settled when it is shown.
  void SyncFolderChecks();
  void SyncTypeChecks();
  void OnRowCheck(int row, bool checked);
  void UpdateSelectedInfo();
  void Preview(int row);
  // Shows the bytes of the last preview as text or hex lines as wide as the box is now.
  void ShowBytesPreview();
  // The list's rows as a photo wall instead, or the list again.
  void ShowWall(bool wall);
  // The wall follows the list's rows after a fill, a filter or a sort.
  void ReloadWall();
  // A picture's thumbnail, decoded at reduced size from the data the preview reads.
  QImage Thumbnail(const FoundFileRecord& record, QSize size);
  // The facts the preview box shows beneath a file: size, first sector, the engine, deleted, intact.
  QString FactsOf(const FoundFileRecord& record);
  void OnFileTypeOption(ui::COptionUI* option);
  void OnFileTypeGroup(const QString& boxName);
  void OpenAssistMenu();
  void OpenStateMenu();
  void OnMenuItem(const QString& name);
  int Ask(int kind, const QString& messageId, int width, int height);
  QString Message(const QString& id);
  // The message for `count` things: its singular form for one, where the language file has it.
  QString CountedMessage(const QString& id, uint64_t count);
  void Show(const QString& name, bool visible);
  void Enable(const QString& name, bool enabled);

  std::unique_ptr<UserPrompts> prompts_;
  // The system's disks by number, with the whole-disk images loaded, numbered after them.
  os::DiskTable diskTable_;
  std::unique_ptr<DiskMap> disks_;
  // Loaded images of whole disks, listed after the system's disks.
  std::vector<ImageDisk> imageDisks_;
  LanguageTable::Section* messages_ = nullptr;
  CDiskListUI* diskList_ = nullptr;
  CFileTreeUI* tree_ = nullptr;
  CListExUI* fileList_ = nullptr;
  CPhotoWallUI* wall_ = nullptr;
  int mode_ = 0;
  bool sourceChosen_ = false;
  bool fromTypePage_ = false;
  bool scanRunning_ = false;
  std::optional<int32_t> stoppedAt_;  // the last scan was stopped by the user, with its bar there
  std::filesystem::path destinationFolder_;
  std::vector<std::unique_ptr<ScanTarget>> scanTargets_;
  std::map<RecordKey, FoundFileRecord> checkedFiles_;
  std::map<QString, SharedRecords> searchResult_;
  // searchResult_ narrowed by filter_: what the tree counts and the list shows.
  std::map<QString, SharedRecords> shown_;
  RecordFilter filter_;
  bool showExisting_ = false;  // "Show existing files"
  std::vector<VolumeInfo> foundVolumes_;
  size_t lostVolumesFound_ = 0;  // by the last deep scan's pass, listed under their disk  // of the system's
                                 // disks, found by a search for lost volumes
  RecordFilter::State chosenState_ = RecordFilter::State::kAny;  // from the state menu, applied with the rest
  QTimer* filterTimer_ = nullptr;
  ui::CTreeUI* folderTree_ = nullptr;
  bool byFolder_ = false;
  QString currentFolderNode_;
  // The shown files lying directly in each folder node; the chain of each record, kept for the result.
  std::map<QString, std::vector<const FoundFileRecord*>> folderFiles_;
  std::map<RecordKey, std::shared_ptr<const FolderChain>> folderChains_;
  std::map<QString, std::shared_ptr<const FolderChain>> chainsByLeaf_;
  std::map<QString, ui::COptionUI*> chosenTypes_;
  QString currentTypeNode_;
  std::filesystem::path previewPath_;
  std::vector<uint8_t> previewBytes_;
  MediaPlayers players_;
};

}  // namespace snapsave::app
