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

// Maps disk numbers to device paths: the whole-disk block devices of /sys/block, sorted by kernel name, or a
// fixed list (tests, a machine whose disks are image files). Image files of whole disks are registered
// apart, from kFirstImageDisk on, so that their numbers do not move when a device comes or goes. Each front
// end holds one and hands it to what lists and opens disks.
class DiskTable {
 public:
  static constexpr int32_t kFirstImageDisk = 1000;

  // The system's disks, read again at each query: devices come and go.
  DiskTable() = default;
  explicit DiskTable(std::vector<std::filesystem::path> disks) : fixed_(std::move(disks)) {}
  DiskTable(const DiskTable&) = delete;
  DiskTable& operator=(const DiskTable&) = delete;

  // Path of disk `number` (a registered image too), or nothing when there is no such disk.
  std::optional<std::filesystem::path> PathOf(int32_t number) const;
  // All disks, in number order; registered images are not among them.
  std::vector<std::filesystem::path> List() const;

  // The number of an image file read as a whole disk: the one it was given before, else the next free one.
  int32_t AddImage(const std::filesystem::path& image);
  // The image file behind `number`; nothing for a device or an unknown number.
  std::optional<std::filesystem::path> ImageOf(int32_t number) const;

  // Reads /sys/block (or `sysBlock`, for tests) into a list of disks.
  static std::vector<std::filesystem::path> Discover(const std::filesystem::path& sysBlock = "/sys/block",
                                                     const std::filesystem::path& devDir = "/dev");

 private:
  std::optional<std::vector<std::filesystem::path>> fixed_;
  mutable std::mutex mutex_;
  std::vector<std::filesystem::path> images_;
};

}  // namespace snapsave::os
