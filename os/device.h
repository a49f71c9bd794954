// Whole disks by number, and the geometry queries the storage layer needs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <vector>

#include "os/file.h"

namespace snapsave::os {

struct DriveGeometry {
  uint64_t cylinders = 0;
  uint32_t tracksPerCylinder = 0;
  uint32_t sectorsPerTrack = 0;
  uint32_t bytesPerSector = 0;
};

// Geometry of an open device. A regular file (an image standing in for a disk) reports 512-byte sectors and a
// geometry derived from its length.
uint32_t QueryGeometry(const File& file, DriveGeometry& out);
// Device length in bytes.
uint32_t QueryLength(const File& file, uint64_t& bytes);

// Maps disk numbers to device paths: the whole-disk block devices of /sys/block, sorted by kernel name. Tests
// replace the table to point disk numbers at image files.
class DiskTable {
 public:
  // Path of disk `number`, or nothing when there is no such disk.
  static std::optional<std::filesystem::path> PathOf(int32_t number);
  // All disks, in number order.
  static std::vector<std::filesystem::path> List();

  // Replaces the table until the returned guard is destroyed.
  class Override {
   public:
    explicit Override(std::vector<std::filesystem::path> paths);
    ~Override();
    Override(const Override&) = delete;
    Override& operator=(const Override&) = delete;

   private:
    std::optional<std::vector<std::filesystem::path>> previous_;
  };

  // Reads /sys/block (or `sysBlock`, for tests) into a table.
  static std::vector<std::filesystem::path> Discover(const std::filesystem::path& sysBlock = "/sys/block",
                                                     const std::filesystem::path& devDir = "/dev");

 private:
  static std::mutex mutex_;
  static std::optional<std::vector<std::filesystem::path>> override_;
};

}  // namespace snapsave::os
