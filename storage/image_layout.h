// The partition table of a disk-image file, and the image as a disk of the disk list: its volumes and the
// stretches no volume covers. Read with libblkid's partition probing, then made safe to use: whatever a
// crafted table says, every entry lies inside the image and no two overlap.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "storage/disk_list.h"

namespace snapsave {

// Positions in the image's 512-byte sectors.
struct ImagePartition {
  int32_t number = -1;  // as the table numbers it (logical partitions from 5)
  uint64_t startSector = 0;
  uint64_t sectorCount = 0;
  uint16_t typeByte = 0;        // the MBR type; 0 on GPT
  std::string typeName;         // the GPT type GUID, or the MBR type as "0x0c"
  uint64_t missingSectors = 0;  // what the table gives it past the image's end (a copy cut short)
};

struct ImageLayout {
  std::string scheme;                      // "dos", "gpt", or empty when the image holds no partition table
  std::vector<ImagePartition> partitions;  // sorted by start
  uint64_t imageSectors = 0;
  uint64_t claimedSectors = 0;  // where the table's last entry ends; past imageSectors when the image is cut
};

// The table as read. 0, or the Win32 error of opening the image; an image without a table is no error.
uint32_t ReadImageLayout(const std::filesystem::path& image, ImageLayout& out);

// What a table may claim, made usable: extended-partition containers left out, entries starting past the
// image dropped and ones running past it cut at its end (both noted as missing), of two overlapping entries
// the one that starts first (or is listed first) kept.
ImageLayout SanitizeLayout(std::string scheme, std::vector<ImagePartition> entries, uint64_t imageSectors);

// What an image lacks of what its partition table claims, as a sentence; empty when it holds it all.
std::string ImageShortfall(const std::filesystem::path& image);

// What is wrong with an image, for a warning before it is used: its container's damage and its shortfall.
std::string ImageWarnings(const std::filesystem::path& image);

// The file system libblkid finds at the start of the image, treated as one volume, and its label; both
// empty when there is none (or no libblkid).
struct ImageVolumeFacts {
  std::string fileSystemName;
  std::string label;
};
ImageVolumeFacts ProbeWholeImage(const std::filesystem::path& image);
// The same for the volume at a place of the image that its table may not name (a volume found by a search).
ImageVolumeFacts ProbeImageVolume(const std::filesystem::path& image, uint64_t startSector,
                                  uint64_t sectorCount);

// The facts of the image as disk `diskNumber`: its geometry, and each partition of its table with the file
// system and label libblkid finds inside. An image without a table is a disk without partitions.
std::unique_ptr<DiskFactSource> MakeImageDiskFacts(const std::filesystem::path& image, int32_t diskNumber);

}  // namespace snapsave
