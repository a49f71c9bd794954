#include "sessions/volume_search_session.h"

#include <algorithm>

#include "os/error.h"
#include "os/text.h"
#include "sessions/scan_plan.h"
#include "storage/image_layout.h"
#include "storage/sector_reader.h"

namespace snapsave {

VolumeSearchSession::VolumeSearchSession(ProgressView& view, std::filesystem::path disk, bool isImage,
                                         std::vector<FoundVolume>& found, uint32_t& error)
    : Session(view), disk_(std::move(disk)), isImage_(isImage), found_(found), error_(error) {}

void VolumeSearchSession::Run() {
  found_.clear();
  SectorReader reader;
  error_ = isImage_ ? reader.OpenFile(disk_) : reader.OpenDisk(disk_);
  if (error_ == err::kSuccess) {
    {
      Report report(*this);
      view_.SetLine(ViewLine::kStage, view_.Message("MSG0224"));
    }
    found_ = SearchLostVolumes(reader, reader.TotalSectors(), [this](uint64_t done, uint64_t total) {
      const auto percent = static_cast<int32_t>(total == 0 ? 100 : done * 100 / total);
      return ReportPercent("MSG0225", percent) == 0;
    });
  }
  MarkDone();
  view_.Close(error_ == err::kSuccess ? kEndFinished : kEndFailed);
}

std::vector<VolumeInfo> FoundVolumeEntries(const VolumeInfo& diskEntry, const std::vector<FoundVolume>& found,
                                           const std::vector<VolumeInfo>& known, uint32_t firstNumber) {
  std::vector<VolumeInfo> out;
  const std::filesystem::path disk = os::PathFromUtf8(diskEntry.diskPath);
  for (const FoundVolume& f : found) {
    if (f.fileSystem == nullptr) continue;
    const bool listed = std::any_of(known.begin(), known.end(), [&](const VolumeInfo& v) {
      return v.diskNumber == diskEntry.diskNumber && v.kind == EntryKind::kVolume &&
             v.startSector == f.startSector;
    });
    if (listed) continue;
    VolumeInfo v;
    if (diskEntry.diskIsImage) {
      v = FoundVolumeEntry(disk, f, firstNumber);
    } else {
      v.kind = EntryKind::kVolume;
      v.startSector = f.startSector;
      v.sectorCount = f.sectorCount;
      v.totalBytes = f.sectorCount * SectorReader::kImageSectorSize;
      v.fileSystemName = f.fileSystem->name == "ext" ? "ext4" : std::string(f.fileSystem->name);
      v.diskPath = diskEntry.diskPath;
      v.diskBytes = diskEntry.diskBytes;
    }
    v.diskNumber = diskEntry.diskNumber;
    v.driveLetter = static_cast<char16_t>(firstNumber++);
    v.rootPath = DescribeFoundVolume(f, v.fileSystemName, v.volumeLabel);
    out.push_back(std::move(v));
  }
  return out;
}

}  // namespace snapsave
