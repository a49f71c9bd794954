// Copies a whole disk or the first target's volume into a raw image file, as a session.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "sessions/scan_session.h"
#include "storage/disk_image_writer.h"

namespace snapsave {

class ImageSession final : public Session {
 public:
  // With no targets, whole disk `wholeDisk` (0 or more); else the first target only: its volume's sectors, or
  // the image file it names.
  ImageSession(ProgressView& view, std::filesystem::path imagePath, std::vector<ScanTarget*> targets,
               int32_t wholeDisk);
  ~ImageSession() override { Wait(); }

  // Safe to read once the worker is done.
  int32_t Result() const { return result_; }
  const DiskImageWriter& Writer() const { return writer_; }

  static int32_t OnImageProgress(void* context, int32_t percent, uint64_t sectorsDone, uint64_t totalSectors,
                                 int32_t secondsLeft);

 private:
  void Run() override;

  std::filesystem::path imagePath_;
  std::vector<ScanTarget*> targets_;
  int32_t wholeDisk_;
  DiskImageWriter writer_;
  int32_t result_ = 0;
};

// "12 unreadable sectors were written as zeros: 100-107, 2000, 4096-4098"; empty when there were none. At
// most `maxRanges` ranges are named.
std::string DescribeBadSectors(const DiskImageWriter& writer, size_t maxRanges = 20);

}  // namespace snapsave
