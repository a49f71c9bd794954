#include "os/volume_space.h"

#include <windows.h>

#include <vector>

#include "os/device.h"
#include "os/win32/win32_util.h"

namespace snapsave::os {

namespace fs = std::filesystem;

namespace {

// N of the "\\.\PhysicalDriveN" that is `disk`; nothing for an image file.
std::optional<uint32_t> DriveOf(const fs::path& disk) {
  return disk.empty() ? std::nullopt : win32::PhysicalDriveNumber(disk);
}

// The mounted volume of disk `disk` starting at `startSector`, when there is one.
std::optional<win32::VolumePlace> VolumeAt(const fs::path& disk, uint64_t startSector) {
  const std::optional<uint32_t> drive = DriveOf(disk);
  if (!drive) return std::nullopt;
  const uint64_t sectorSize = win32::SectorSizeOfDisk(*drive);
  if (startSector > UINT64_MAX / sectorSize) return std::nullopt;
  for (win32::VolumePlace& v : win32::MountedVolumes()) {
    if (v.disk == *drive && v.startBytes == startSector * sectorSize) return std::move(v);
  }
  return std::nullopt;
}

}  // namespace

std::optional<fs::path> MountPointOfVolume(const fs::path& disk, uint64_t startSector) {
  const std::optional<win32::VolumePlace> v = VolumeAt(disk, startSector);
  if (!v || v->mountPath.empty()) return std::nullopt;
  return fs::path(v->mountPath);
}

uint64_t VolumeFreeBytes(const fs::path& disk, uint64_t startSector) {
  const std::optional<fs::path> mount = MountPointOfVolume(disk, startSector);
  if (!mount) return 0;
  ULARGE_INTEGER available{};
  if (!::GetDiskFreeSpaceExW(mount->wstring().c_str(), &available, nullptr, nullptr)) return 0;
  return available.QuadPart;
}

void FlushVolume(const fs::path& disk, uint64_t startSector) {
  const std::optional<win32::VolumePlace> v = VolumeAt(disk, startSector);
  if (!v || v->mountPath.empty()) return;
  std::wstring device = v->name;
  if (!device.empty() && device.back() == L'\\') device.pop_back();
  // Windows flushes a volume's cache only through a handle with write access; nothing is written through it.
  win32::Handle h(::CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  if (h.valid()) ::FlushFileBuffers(h.get());
}

std::optional<fs::path> NearestExisting(const fs::path& path) {
  std::error_code ec;
  fs::path existing = fs::absolute(path, ec).lexically_normal();
  while (!fs::exists(existing, ec)) {
    if (!existing.has_relative_path()) return std::nullopt;
    existing = existing.parent_path();
  }
  return existing;
}

bool DestinationOnSource(const fs::path& destination, const fs::path& disk, uint64_t startSector,
                         bool wholeDisk) {
  const std::optional<fs::path> existing = NearestExisting(destination);
  const std::optional<uint32_t> drive = DriveOf(disk);
  if (!existing || !drive) return false;  // an image file's own volume is not the source
  std::vector<wchar_t> mount(32768);
  std::vector<wchar_t> volume(MAX_PATH + 1);
  if (!::GetVolumePathNameW(existing->wstring().c_str(), mount.data(), static_cast<DWORD>(mount.size())) ||
      !::GetVolumeNameForVolumeMountPointW(mount.data(), volume.data(), static_cast<DWORD>(volume.size())))
    return false;
  const uint64_t sectorSize = win32::SectorSizeOfDisk(*drive);
  for (const win32::VolumePlace& v : win32::MountedVolumes()) {
    if (_wcsicmp(v.name.c_str(), volume.data()) != 0 || v.disk != *drive) continue;
    return wholeDisk || v.startBytes == startSector * sectorSize || v.spansDisks;
  }
  return false;
}

}  // namespace snapsave::os
