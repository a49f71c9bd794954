#include "os/sysfs.h"

#include <system_error>

namespace snapsave::os {

bool IsRemovableDisk(const std::filesystem::path& device, const std::filesystem::path& sysClassBlock) {
  if (device.parent_path() != "/dev" || !device.has_filename()) return false;
  const std::filesystem::path entry = sysClassBlock / device.filename();
  if (ReadNumberFile(entry / "removable") == 1u) return true;
  std::error_code ec;
  const std::string real = std::filesystem::canonical(entry, ec).generic_string();
  return !ec && real.find("/usb") != std::string::npos;
}

}  // namespace snapsave::os
