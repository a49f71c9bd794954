#include "sessions/destination_checks.h"

#include <fmt/core.h>
#include <unistd.h>

#include <system_error>

#include "os/device.h"
#include "os/error.h"
#include "os/file.h"
#include "os/paths.h"
#include "os/text.h"
#include "os/volume_space.h"

namespace snapsave {

namespace fs = std::filesystem;

TargetVolume TargetVolumeOf(const fs::path& path, const std::vector<VolumeInfo>& entries) {
  TargetVolume volume;
  const std::optional<fs::path> existing = os::NearestExisting(path);
  if (!existing) return volume;
  std::error_code ec;
  const fs::path resolved = fs::weakly_canonical(*existing, ec);
  const std::string where = os::Utf8OfPath(ec ? *existing : resolved);
  size_t best = 0;
  for (const VolumeInfo& v : entries) {
    const std::string& mount = v.mountPoint;
    if (mount.empty() || mount.size() < best) continue;
    const bool inside = mount == "/" || where == mount ||
                        (where.compare(0, mount.size(), mount) == 0 && where.size() > mount.size() &&
                         where[mount.size()] == '/');
    if (inside) {
      best = mount.size();
      volume.fileSystemName = v.fileSystemName;
    }
  }
  const fs::space_info space = fs::space(*existing, ec);
  volume.freeBytes = ec ? 0 : space.available;
  return volume;
}

bool DestinationOnSource(const fs::path& path, const ScanTarget& target) {
  std::error_code ec;
  if (target.IsDisk()) {
    const VolumeInfo& v = *target.volume;
    // A volume of a whole-disk image lives in its file, which only writing over it could harm.
    if (v.diskIsImage) return fs::equivalent(path, fs::path(v.diskPath), ec);
    return os::DestinationOnSource(path, v.diskPath, v.startSector, v.kind == EntryKind::kWholeDisk);
  }
  if (target.imagePath.empty()) return false;
  return fs::equivalent(path, target.imagePath, ec);
}

uint32_t CheckWritableFolder(const fs::path& folder) {
  if (uint32_t e = os::CreateFolders(folder); e != err::kSuccess && !IsAlreadyExists(e)) return e;
  return CheckWritableFile(folder / fmt::format(".snapsave-write-test-{}", ::getpid()));
}

uint32_t CheckWritableFile(const fs::path& file) {
  std::error_code ec;
  const bool existed = fs::exists(fs::symlink_status(file, ec));
  os::File probe;
  uint32_t e = probe.OpenWrite(file, false);
  if (e == err::kSuccess) e = probe.WriteAllAt(0, {});
  probe.Close();
  if (!existed) fs::remove(file, ec);
  return e;
}

ImageTargetCheck CheckImageTarget(bool onSource, const TargetVolume& volume, uint64_t sourceBytes) {
  if (onSource) return ImageTargetCheck::kOnSource;
  const std::string fileSystem = os::AsciiLower(volume.fileSystemName);
  if (fileSystem == "fat32" && sourceBytes >= (uint64_t{4} << 30)) return ImageTargetCheck::kFat32TooSmall;
  if (fileSystem == "fat" && sourceBytes > (uint64_t{2} << 30)) return ImageTargetCheck::kFatTooSmall;
  if (volume.freeBytes < sourceBytes) return ImageTargetCheck::kNotEnoughSpace;
  return ImageTargetCheck::kFits;
}

std::string_view ImageTargetMessageId(ImageTargetCheck check) {
  switch (check) {
    case ImageTargetCheck::kFits:
      return {};
    case ImageTargetCheck::kOnSource:
      return "MSG0218";
    case ImageTargetCheck::kFatTooSmall:
      return "MSG0219";
    case ImageTargetCheck::kFat32TooSmall:
      return "MSG0220";
    case ImageTargetCheck::kNotEnoughSpace:
      return "MSG0221";
  }
  return {};
}

}  // namespace snapsave
