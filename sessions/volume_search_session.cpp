#include "sessions/volume_search_session.h"

#include <algorithm>

#include "os/error.h"
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

}  // namespace snapsave
