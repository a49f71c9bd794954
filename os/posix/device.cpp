#include "os/device.h"

#include <linux/fs.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "os/error.h"

namespace snapsave::os {

namespace fs = std::filesystem;

namespace {

bool IsBlockDevice(const File& file) {
  struct stat st {};
  return ::fstat(static_cast<int>(file.NativeHandle()), &st) == 0 && S_ISBLK(st.st_mode);
}

std::string ReadFirstLine(const fs::path& p) {
  std::ifstream in(p);
  std::string line;
  std::getline(in, line);
  return line;
}

bool HasPrefix(const std::string& s, const char* prefix) {
  return s.rfind(prefix, 0) == 0;
}

}  // namespace

uint32_t QueryGeometry(const File& file, DriveGeometry& out) {
  out = {};
  if (!file.IsOpen()) return err::kInvalidParameter;
  uint64_t length = 0;
  if (IsBlockDevice(file)) {
    int logical = 0;
    if (::ioctl(static_cast<int>(file.NativeHandle()), BLKSSZGET, &logical) != 0) return LastWin32Error();
    if (logical <= 0) return err::kInvalidParameter;
    out.bytesPerSector = static_cast<uint32_t>(logical);
    struct hd_geometry geo {};
    if (::ioctl(static_cast<int>(file.NativeHandle()), HDIO_GETGEO, &geo) == 0 && geo.heads != 0 &&
        geo.sectors != 0) {
      out.tracksPerCylinder = geo.heads;
      out.sectorsPerTrack = geo.sectors;
    }
  } else {
    out.bytesPerSector = 512;
  }
  if (out.tracksPerCylinder == 0) {
    // No geometry from the device: the conventional translation of a large disk.
    out.tracksPerCylinder = 255;
    out.sectorsPerTrack = 63;
  }
  if (file.Size(length) == err::kSuccess) {
    out.cylinders = length / out.bytesPerSector / (uint64_t{out.tracksPerCylinder} * out.sectorsPerTrack);
  }
  return err::kSuccess;
}

std::vector<fs::path> DiskTable::Discover(const fs::path& sysBlock, const fs::path& devDir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(sysBlock, ec)) {
    std::string name = entry.path().filename().string();
    bool wanted = HasPrefix(name, "sd") || HasPrefix(name, "nvme") || HasPrefix(name, "mmcblk") ||
                  HasPrefix(name, "vd") || HasPrefix(name, "hd") || HasPrefix(name, "xvd") ||
                  HasPrefix(name, "loop");
    if (!wanted) continue;
    if (HasPrefix(name, "loop") && ReadFirstLine(entry.path() / "loop" / "backing_file").empty()) continue;
    if (ReadFirstLine(entry.path() / "size") == "0") continue;
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  std::vector<fs::path> paths;
  paths.reserve(names.size());
  for (const auto& n : names) paths.push_back(devDir / n);
  return paths;
}

}  // namespace snapsave::os
