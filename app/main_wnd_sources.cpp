// The main window's source page: the disk list, the details of the chosen entry, image files, and making
// a disk image.
#include "app/main_wnd.h"
#include "app/main_wnd_shared.h"

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
#include "os/text.h"
#include "os/volume_space.h"
#include "sessions/session.h"
#include "storage/image_container.h"
#include "ui/controls.h"
#include "ui/menu.h"

namespace snapsave::app {

namespace fs = std::filesystem;
using namespace wnd;

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
    for (const ImageDisk& disk : imageDisks_)
      entries.insert(entries.end(), disk.entries.begin(), disk.entries.end());
    // Found volumes of a disk still there, after its own entries.
    for (const VolumeInfo& found : foundVolumes_) {
      const auto last = std::find_if(entries.rbegin(), entries.rend(),
                                     [&](const VolumeInfo& v) { return v.diskNumber == found.diskNumber; });
      if (last != entries.rend()) entries.insert(last.base(), found);
    }
  }
  // Keep the user's choice when it is still there.
  const int selected = diskList_->SelectedRow();
  std::optional<VolumeInfo> selectedEntry;
  std::optional<CDiskListUI::ImageFile> selectedImage;
  if (const VolumeInfo* v = diskList_->EntryOf(selected)) selectedEntry = *v;
  if (const CDiskListUI::ImageFile* image = diskList_->ImageOf(selected)) selectedImage = *image;
  const std::optional<int32_t> selectedDisk = diskList_->DiskOfNode(selected);

  // Each disk's device, or its image file, as the listing gives it.
  std::map<int32_t, const VolumeInfo*> diskOf;
  for (const VolumeInfo& v : entries) diskOf.emplace(v.diskNumber, &v);
  auto caption = [this, &diskOf](int32_t disk, bool removable) {
    const auto at = diskOf.find(disk);
    if (at != diskOf.end() && at->second->diskIsImage)
      return QString::fromStdString(fs::path(at->second->diskPath).filename().string());
    return Message(removable ? "MSG0202" : "MSG0201") + QLatin1Char(' ') + QString::number(disk + 1);
  };
  auto isRemovable = [&diskOf](int32_t disk) {
    const auto at = diskOf.find(disk);
    return at != diskOf.end() && !at->second->diskIsImage && !at->second->diskPath.empty() &&
           os::IsRemovableDisk(at->second->diskPath);
  };
  diskList_->SetUnallocatedText(Message("MSG0222"));
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

std::optional<VolumeInfo> CMainWnd::DiskEntry(int32_t disk) const {
  if (diskList_ == nullptr) return std::nullopt;
  for (int row = 0; row < diskList_->RowCount(); ++row) {
    if (const VolumeInfo* v = diskList_->EntryOf(row); v != nullptr && v->diskNumber == disk) return *v;
  }
  return std::nullopt;
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
    source.wholeDiskEntry = DiskEntry(*disk).value_or(VolumeInfo{});
    for (int r : diskList_->RowsOfNode(row)) {
      const VolumeInfo* v = diskList_->EntryOf(r);
      source.targets.push_back(VolumeTarget(*v));
      source.bytes += v->totalBytes;
    }
    const VolumeInfo& entry = source.wholeDiskEntry;
    source.proposedImageName =
        entry.diskIsImage
            ? QString::fromStdString(fs::path(entry.diskPath).stem().string()) + QStringLiteral(" copy")
            : QStringLiteral("Physical Disk %1").arg(*disk + 1);
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
    const std::optional<VolumeInfo> entry = DiskEntry(*disk);
    uint64_t total = entry ? entry->diskBytes : 0;
    if (total == 0) {  // geometry unknown: what its entries span
      for (int r : diskList_->RowsOfNode(row)) total += diskList_->EntryOf(r)->totalBytes;
    }
    set(1, "MSG0203", diskList_->Row(row).cells[0].text);
    set(4, "MSG0206", size(total));
    if (entry && !entry->diskPath.empty()) {
      if (ui::CControlUI* label = FindControl(QStringLiteral("Label7")))
        label->SetText(QString::fromStdString(entry->diskPath));
    }
    return;
  }
  if (const VolumeInfo* v = diskList_->EntryOf(row)) {
    if (!v->spaceKnown && v->kind == EntryKind::kVolume) {
      // Not mounted: the file system's own records say, read once.
      VolumeInfo learnt = *v;
      LearnVolumeSpace(learnt);
      diskList_->SetEntrySpace(row, learnt);
    }
    set(1, "MSG0203", result_view::VolumeName(*v, Message("MSG0222"), false));
    set(2, "MSG0204", v->fileSystemName.empty() ? QStringLiteral("-") : Q(v->fileSystemName));
    set(3, "MSG0205", v->volumeLabel.empty() ? QStringLiteral("-") : Q(v->volumeLabel));
    set(4, "MSG0206", size(v->totalBytes));
    set(5, "MSG0207", v->spaceKnown ? size(v->usedBytes) : Message("MSG0223"));
    set(6, "MSG0208", v->spaceKnown ? size(v->freeBytes) : Message("MSG0223"));
    if (ui::CControlUI* label = FindControl(QStringLiteral("Label7"))) label->SetText(Q(v->rootPath));
    if (ui::CControlUI* label = FindControl(QStringLiteral("Label8"))) label->SetText(Q(v->mountPoint));
  }
}

void CMainWnd::AddImageFile(const fs::path& path) {
  if (diskList_ == nullptr) return;
  // An image of a whole disk is shown as a disk, with its volumes and free stretches to choose from.
  ImageDisk disk;
  if (ReadImageDisk(diskTable_, path, disk) == 0 && disk.diskNumber >= 0) {
    std::erase_if(imageDisks_, [&](const ImageDisk& known) { return known.diskNumber == disk.diskNumber; });
    const int32_t number = disk.diskNumber;
    imageDisks_.push_back(std::move(disk));
    RefreshDiskList(0);
    for (int row = 0; row < diskList_->RowCount(); ++row) {
      if (diskList_->DiskOfNode(row) == number) diskList_->SelectRow(row);
    }
    return;
  }
  const int row = diskList_->AddImageFile(path, ImageMediaBytes(path), QStringLiteral("Image File"));
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

void CMainWnd::SearchLostVolumes() {
  if (diskList_ == nullptr) return;
  const int row = diskList_->SelectedRow();
  VolumeInfo disk;
  if (const CDiskListUI::ImageFile* image = diskList_->ImageOf(row)) {
    disk.diskPath = os::Utf8OfPath(image->path);
    disk.diskIsImage = true;
    disk.diskBytes = image->size;
  } else if (const std::optional<int32_t> number = diskList_->DiskOfNode(row)) {
    disk = DiskEntry(*number).value_or(VolumeInfo{});
    disk.diskNumber = *number;
  } else {
    return;
  }
  if (disk.diskPath.empty()) return;
  std::vector<FoundVolume> found;
  uint32_t error = err::kSuccess;
  {
    CVolumeSearchWnd window(disk.diskPath, disk.diskIsImage, found, error);
    if (window.Create(this, 370, 220)) window.ShowModal();
  }
  if (error != err::kSuccess) {
    prompts_->Message(this, CMessageBox::Information,
                      Q(FormatMessage(Message("MSG0229").toStdString(), {ErrorText(error)})), 400, 160);
    return;
  }
  const std::vector<VolumeInfo> entries = AddFoundVolumes(disk, found);
  if (entries.empty()) {
    Ask(CMessageBox::Information, QStringLiteral("MSG0228"), 400, 160);
    return;
  }
  for (int r = 0; r < diskList_->RowCount(); ++r) {
    const VolumeInfo* v = diskList_->EntryOf(r);
    if (v != nullptr && v->diskNumber == entries.front().diskNumber &&
        v->startSector == entries.front().startSector) {
      diskList_->SelectRow(r);
      break;
    }
  }
  prompts_->Message(this, CMessageBox::Information,
                    Q(FormatMessage(CountedMessage(QStringLiteral("MSG0227"), entries.size()).toStdString(),
                                    {std::to_string(entries.size())})),
                    400, 160);
}

std::vector<VolumeInfo> CMainWnd::AddFoundVolumes(VolumeInfo disk, const std::vector<FoundVolume>& found) {
  std::vector<VolumeInfo> known;
  for (int r = 0; r < diskList_->RowCount(); ++r)
    if (const VolumeInfo* v = diskList_->EntryOf(r)) known.push_back(*v);
  // An image already turned into a disk by an earlier search or scan keeps that disk.
  if (disk.diskIsImage && disk.diskNumber < 0) {
    for (const ImageDisk& d : imageDisks_)
      if (!d.entries.empty() && d.entries.front().diskPath == disk.diskPath) disk.diskNumber = d.diskNumber;
  }
  std::vector<VolumeInfo> entries;
  if (disk.diskIsImage && disk.diskNumber < 0) {
    // An image without a table becomes a disk of its own: its found volumes are its entries.
    disk.diskNumber = diskTable_.AddImage(disk.diskPath);
    entries = FoundVolumeEntries(disk, found, {}, 1);
    if (!entries.empty()) imageDisks_.push_back({disk.diskNumber, entries});
  } else {
    // Numbered after the disk's own entries, so that no two rows share a number.
    uint32_t next = 1;
    for (const VolumeInfo& v : known)
      next = std::max<uint32_t>(next, static_cast<uint32_t>(v.driveLetter) + 1);
    entries = FoundVolumeEntries(disk, found, known, next);
    const auto image = std::find_if(imageDisks_.begin(), imageDisks_.end(),
                                    [&](const ImageDisk& d) { return d.diskNumber == disk.diskNumber; });
    for (const VolumeInfo& v : entries) {
      if (image != imageDisks_.end()) {
        image->entries.push_back(v);
      } else {
        foundVolumes_.push_back(v);
      }
    }
  }
  if (!entries.empty()) RefreshDiskList(0);
  return entries;
}

bool CMainWnd::MayRead(const Source& source) {
  std::vector<const VolumeInfo*> disks;
  if (source.wholeDisk) disks.push_back(&source.wholeDiskEntry);
  for (const auto& t : source.targets) {
    if (t->IsDisk()) disks.push_back(&*t->volume);
  }
  for (const VolumeInfo* disk : disks) {
    if (!disk->diskPath.empty() && deviceReadable && !deviceReadable(disk->diskPath)) {
      Ask(CMessageBox::Information, QStringLiteral("MSG0506"), 420, 170);
      return false;
    }
  }
  return true;
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
    wholeDisk.volume->diskPath = source->wholeDiskEntry.diskPath;
    wholeDisk.volume->diskIsImage = source->wholeDiskEntry.diskIsImage;
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
    CCreateImageProcessWnd window(imagePath, pointers,
                                  source->wholeDisk ? fs::path(source->wholeDiskEntry.diskPath) : fs::path());
    endCode = window.Create(this, 450, 290) ? window.ShowModal() : kEndFailed;
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

}  // namespace snapsave::app
