// Free space of a volume, found through the mount point of the partition it lives on.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace snapsave::os {

// Free bytes of the file system mounted from the volume of disk `diskNumber` (DiskTable) that starts at
// `startSector` (the disk's logical sectors); 0 when it is not mounted or cannot be found.
uint64_t VolumeFreeBytes(int32_t diskNumber, uint64_t startSector);

// Where the volume of disk `diskNumber` starting at `startSector` is mounted, when it is.
std::optional<std::filesystem::path> MountPointOfVolume(int32_t diskNumber, uint64_t startSector);

// Pushes what the system still holds for a mounted volume onto the medium (syncfs), so that a raw read sees it.
// Nothing happens for a volume that is not mounted.
void FlushVolume(int32_t diskNumber, uint64_t startSector);

// "major:minor" of the partition below `diskSysDir` (a /sys/class/block/<disk> folder) whose start is
// `startSector`; the disk itself for start 0 when no partition starts there.
std::optional<std::string> FindVolumeDevice(const std::filesystem::path& diskSysDir, uint64_t startSector);

// First mount point of the device "major:minor" in /proc/self/mountinfo text.
std::optional<std::filesystem::path> MountPointOf(std::string_view mountinfo, std::string_view majorMinor);

}  // namespace snapsave::os
