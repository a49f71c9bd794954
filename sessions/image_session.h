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
  // With no targets, whole disk `wholeDisk` (its device; empty for none); else the first target only: its
  // volume's sectors, or the image file it names.
  // The copy is a rescue copy with its map beside the image (see DiskImageWriter::UseRescuePasses), with
  // `retries` passes over the sectors still bad at the end.
  ImageSession(ProgressView& view, std::filesystem::path imagePath, std::vector<ScanTarget*> targets,
               std::filesystem::path wholeDisk, int retries = 0);
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
  std::filesystem::path wholeDisk_;
  DiskImageWriter writer_;
  int32_t result_ = 0;
};

// "12 unreadable sectors were written as zeros: 100-107, 2000, 4096-4098"; empty when there were none. At
// most `maxRanges` ranges are named.
std::string DescribeBadSectors(const DiskImageWriter& writer, size_t maxRanges = 20);

// "rescued 7.8 MiB, bad 12 KiB in 3 areas, not yet read 0 B": the map's summary.
std::string DescribeRescueMap(const RescueMap& map);

}  // namespace snapsave
