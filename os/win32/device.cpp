#include "os/device.h"

#include <windows.h>
#include <winioctl.h>

#include <cstring>

#include "os/error.h"
#include "os/win32/win32_util.h"

namespace snapsave::os {

namespace fs = std::filesystem;

uint32_t QueryGeometry(const File& file, DriveGeometry& out) {
  out = {};
  if (!file.IsOpen()) return err::kInvalidParameter;
  std::vector<uint8_t> buf;
  if (win32::Query(reinterpret_cast<HANDLE>(file.NativeHandle()), IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, buf) &&
      buf.size() >= sizeof(DISK_GEOMETRY)) {
    DISK_GEOMETRY g{};
    std::memcpy(&g, buf.data(), sizeof g);
    out.bytesPerSector = g.BytesPerSector;
    out.tracksPerCylinder = g.TracksPerCylinder;
    out.sectorsPerTrack = g.SectorsPerTrack;
  }
  if (out.bytesPerSector == 0) out.bytesPerSector = 512;  // an image file standing in for a disk
  if (out.tracksPerCylinder == 0 || out.sectorsPerTrack == 0) {
    out.tracksPerCylinder = 255;
    out.sectorsPerTrack = 63;
  }
  // From the exact length, as on every platform, so that a disk's last partial cylinder is not dropped twice.
  uint64_t length = 0;
  if (file.Size(length) == err::kSuccess)
    out.cylinders = length / out.bytesPerSector / (uint64_t{out.tracksPerCylinder} * out.sectorsPerTrack);
  return err::kSuccess;
}

std::vector<fs::path> DiskTable::Discover(const fs::path&, const fs::path&) {
  // Drives that come and go leave gaps in the numbering; a disk keeps its own number all the same.
  std::vector<fs::path> paths;
  for (int n = 0; n < 64; ++n) {
    const std::wstring name = L"\\\\.\\PhysicalDrive" + std::to_wstring(n);
    if (win32::OpenForQuery(name).valid()) paths.emplace_back(name);
  }
  return paths;
}

}  // namespace snapsave::os
