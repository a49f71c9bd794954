#include "os/volume_space.h"

#include <fcntl.h>
#include <unistd.h>

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

#include "os/device.h"
#include "os/sysfs.h"

namespace snapsave::os {

namespace fs = std::filesystem;

namespace {

std::string Unescape(std::string_view field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      int value = 0;
      bool octal = true;
      for (size_t k = 1; k <= 3; ++k) {
        const char c = field[i + k];
        if (c < '0' || c > '7') octal = false;
        value = value * 8 + (c - '0');
      }
      if (octal) {
        out.push_back(static_cast<char>(value));
        i += 3;
        continue;
      }
    }
    out.push_back(field[i]);
  }
  return out;
}

}  // namespace

std::optional<std::string> FindVolumeDevice(const fs::path& diskSysDir, uint64_t startSector) {
  // Partition starts are kept in 512-byte units whatever the disk's sector size.
  const uint64_t sectorSize = ReadNumberFile(diskSysDir / "queue" / "logical_block_size").value_or(512);
  if (sectorSize == 0 || startSector > UINT64_MAX / sectorSize) return std::nullopt;
  const uint64_t startBytes = startSector * sectorSize;
  std::error_code ec;
  for (fs::directory_iterator it(diskSysDir, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path part = it->path();
    if (!fs::exists(part / "partition", ec)) continue;
    const std::optional<uint64_t> start = ReadNumberFile(part / "start");
    if (start && *start <= UINT64_MAX / 512 && *start * 512 == startBytes) {
      std::string dev = Trimmed(ReadSmallFile(part / "dev"));
      if (!dev.empty()) return dev;
    }
  }
  if (startSector == 0) {
    std::string dev = Trimmed(ReadSmallFile(diskSysDir / "dev"));
    if (!dev.empty()) return dev;
  }
  return std::nullopt;
}

std::optional<fs::path> MountPointOf(std::string_view mountinfo, std::string_view majorMinor) {
  size_t pos = 0;
  while (pos < mountinfo.size()) {
    size_t eol = mountinfo.find('\n', pos);
    if (eol == std::string_view::npos) eol = mountinfo.size();
    const std::string_view line = mountinfo.substr(pos, eol - pos);
    pos = eol + 1;
    // mount id, parent id, major:minor, root, mount point, ...
    std::string_view fields[5];
    size_t count = 0;
    size_t p = 0;
    while (count < 5 && p < line.size()) {
      const size_t space = std::min(line.find(' ', p), line.size());
      fields[count++] = line.substr(p, space - p);
      p = space + 1;
    }
    if (count == 5 && fields[2] == majorMinor) return fs::path(Unescape(fields[4]));
  }
  return std::nullopt;
}

std::optional<fs::path> MountPointOfVolume(const fs::path& disk, uint64_t startSector) {
  if (disk.empty()) return std::nullopt;
  const fs::path sysDir = fs::path("/sys/class/block") / disk.filename();
  std::error_code ec;
  if (!fs::is_directory(sysDir, ec)) return std::nullopt;
  const std::optional<std::string> dev = FindVolumeDevice(sysDir, startSector);
  if (!dev) return std::nullopt;
  return MountPointOf(ReadSmallFile("/proc/self/mountinfo"), *dev);
}

uint64_t VolumeFreeBytes(const fs::path& disk, uint64_t startSector) {
  const std::optional<fs::path> mount = MountPointOfVolume(disk, startSector);
  if (!mount) return 0;
  struct statvfs st {};
  if (::statvfs(mount->c_str(), &st) != 0) return 0;
  return static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
}

void FlushVolume(const fs::path& disk, uint64_t startSector) {
  const std::optional<fs::path> mount = MountPointOfVolume(disk, startSector);
  if (!mount) return;
  const int fd = ::open(mount->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::syncfs(fd);
  ::close(fd);
}

std::optional<fs::path> NearestExisting(const fs::path& path) {
  std::error_code ec;
  fs::path existing = fs::absolute(path, ec).lexically_normal();
  struct stat st {};
  while (::stat(existing.c_str(), &st) != 0) {
    if (!existing.has_relative_path()) return std::nullopt;
    existing = existing.parent_path();
  }
  return existing;
}

std::set<std::string> DevicesUnderPath(const fs::path& path, const fs::path& sysRoot) {
  std::set<std::string> out;
  std::error_code ec;
  const std::optional<fs::path> existing = NearestExisting(path);
  struct stat st {};
  if (!existing || ::stat(existing->c_str(), &st) != 0) return out;
  std::vector<std::string> pending{std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev))};
  // Device stacks are shallow; the bound only keeps a looping sysfs fake from running on.
  while (!pending.empty() && out.size() < 256) {
    const std::string dev = pending.back();
    pending.pop_back();
    if (!out.insert(dev).second) continue;
    const fs::path slaves = sysRoot / "dev" / "block" / dev / "slaves";
    for (fs::directory_iterator it(slaves, ec), end; !ec && it != end; it.increment(ec)) {
      std::string below = Trimmed(ReadSmallFile(it->path() / "dev"));
      if (!below.empty()) pending.push_back(std::move(below));
    }
  }
  return out;
}

std::set<std::string> DevicesOfSource(const fs::path& disk, uint64_t startSector, bool wholeDisk) {
  std::set<std::string> out;
  if (disk.empty()) return out;
  const fs::path sysDir = fs::path("/sys/class/block") / disk.filename();
  std::error_code ec;
  if (!fs::is_directory(sysDir, ec)) {
    // A disk that is a plain file (an image standing in for a disk): its own file system holds it, not it.
    return out;
  }
  if (!wholeDisk) {
    if (std::optional<std::string> dev = FindVolumeDevice(sysDir, startSector)) out.insert(*dev);
    return out;
  }
  if (std::string dev = Trimmed(ReadSmallFile(sysDir / "dev")); !dev.empty()) out.insert(dev);
  for (fs::directory_iterator it(sysDir, ec), end; !ec && it != end; it.increment(ec)) {
    if (!fs::exists(it->path() / "partition", ec)) continue;
    if (std::string dev = Trimmed(ReadSmallFile(it->path() / "dev")); !dev.empty()) out.insert(dev);
  }
  return out;
}

bool DestinationOnSource(const fs::path& destination, const fs::path& disk, uint64_t startSector,
                         bool wholeDisk) {
  const std::set<std::string> source = DevicesOfSource(disk, startSector, wholeDisk);
  for (const std::string& dev : DevicesUnderPath(destination)) {
    if (source.count(dev) != 0) return true;
  }
  return false;
}

}  // namespace snapsave::os
