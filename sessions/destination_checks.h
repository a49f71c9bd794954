// Where a front end may write: the checks made before a recovery or a disk image writes anything, so that it
// never writes onto the source it reads, nor starts a copy that cannot finish where it was put.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "sessions/scan_session.h"
#include "storage/disk_list.h"

namespace snapsave {

// The volume a file would be written to.
struct TargetVolume {
  std::string fileSystemName;  // "FAT32", "FAT", "NTFS", "ext4" ...; empty when unknown
  uint64_t freeBytes = 0;
};

// The file system of the mounted volume `path` lies on, from the listing `entries`; free space from the
// path's nearest existing folder.
TargetVolume TargetVolumeOf(const std::filesystem::path& path, const std::vector<VolumeInfo>& entries);

// Whether writing at `path` (a folder or a file) writes onto what `target` reads: its volume, its disk when
// it is a whole disk, or the image file itself.
bool DestinationOnSource(const std::filesystem::path& path, const ScanTarget& target);

enum class ImageTargetCheck {
  kFits,
  kOnSource,        // the image would be written onto what it copies
  kFatTooSmall,     // FAT12/16 holds no file over 2 GiB
  kFat32TooSmall,   // FAT32 holds no file of 4 GiB or more
  kNotEnoughSpace,  // less free space than the image needs
};

// Whether an image of `sourceBytes` may be written on `volume`; `onSource` from DestinationOnSource. The
// first refusal in the order above.
ImageTargetCheck CheckImageTarget(bool onSource, const TargetVolume& volume, uint64_t sourceBytes);

// Whether what a recovery or an image would write can be written, found out before anything is read: the
// folder is made and a probe file written into it and removed; the image file is opened for writing (made
// and removed when it did not exist). 0, or the Win32 error that would have ended the work later.
uint32_t CheckWritableFolder(const std::filesystem::path& folder);
uint32_t CheckWritableFile(const std::filesystem::path& file);

// The message that explains a refusal (empty for kFits).
std::string_view ImageTargetMessageId(ImageTargetCheck check);

}  // namespace snapsave
