// The search for lost volumes as a session: one read of a whole disk or disk image, with progress and a
// cancel button, for the desktop program's disk rows.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "engines/volume_search.h"
#include "sessions/session.h"
#include "storage/disk_list.h"

namespace snapsave {

class VolumeSearchSession final : public Session {
 public:
  // `disk` is an image file when `isImage`, else a disk's device. `found` receives what the search keeps (a
  // cancelled search keeps nothing); `error` the Win32 error of opening the source.
  VolumeSearchSession(ProgressView& view, std::filesystem::path disk, bool isImage,
                      std::vector<FoundVolume>& found, uint32_t& error);
  ~VolumeSearchSession() override { Wait(); }

 private:
  void Run() override;

  std::filesystem::path disk_;
  bool isImage_;
  std::vector<FoundVolume>& found_;
  uint32_t& error_;
};

}  // namespace snapsave
