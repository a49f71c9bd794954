// Free space of a volume, found through the mount point of the partition it lives on.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace snapsave::os {

// Disks are named by their device ("/dev/sdb", "\\.\PhysicalDrive1"), or by an image file standing in for
// one (never mounted).

// Free bytes of the file system mounted from the volume of disk `disk` that starts at `startSector` (the
// disk's logical sectors); 0 when it is not mounted or cannot be found.
uint64_t VolumeFreeBytes(const std::filesystem::path& disk, uint64_t startSector);

// Where the volume of disk `disk` starting at `startSector` is mounted, when it is.
std::optional<std::filesystem::path> MountPointOfVolume(const std::filesystem::path& disk,
                                                        uint64_t startSector);

// Pushes what the system still holds for a mounted volume onto the medium (syncfs), so that a raw read sees
// it. Nothing happens for a volume that is not mounted.
void FlushVolume(const std::filesystem::path& disk, uint64_t startSector);

// The path made absolute, or its nearest parent that exists when it does not exist yet; nothing when not even
// the root can be reached.
std::optional<std::filesystem::path> NearestExisting(const std::filesystem::path& path);

// True when files written below `destination` would land on the scanned source.
bool DestinationOnSource(const std::filesystem::path& destination, const std::filesystem::path& disk,
                         uint64_t startSector, bool wholeDisk);

#ifndef _WIN32
// Linux: devices by "major:minor", as sysfs and mountinfo name them.

// "major:minor" of the partition below `diskSysDir` (a /sys/class/block/<disk> folder) whose start is
// `startSector`; the disk itself for start 0 when no partition starts there.
std::optional<std::string> FindVolumeDevice(const std::filesystem::path& diskSysDir, uint64_t startSector);

// First mount point of the device "major:minor" in /proc/self/mountinfo text.
std::optional<std::filesystem::path> MountPointOf(std::string_view mountinfo, std::string_view majorMinor);

// "major:minor" of the device a path's file system lives on and of every device below it (the partitions
// under a device-mapper or RAID device, found through <sysRoot>/dev/block/<dev>/slaves). A path that does not
// exist yet is taken at its nearest existing parent.
std::set<std::string> DevicesUnderPath(const std::filesystem::path& path,
                                       const std::filesystem::path& sysRoot = "/sys");

// The devices a scan of disk `disk` reads: the partition starting at `startSector`, or the disk and all its
// partitions for a whole disk.
std::set<std::string> DevicesOfSource(const std::filesystem::path& disk, uint64_t startSector,
                                      bool wholeDisk);
#endif

}  // namespace snapsave::os
