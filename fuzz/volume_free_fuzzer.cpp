// Counting a mutated volume's free space through each file system's allocation records (FAT, NTFS and exFAT
// bitmaps, the ext superblock): bounded reads, and no count that wraps.
#include <cstdint>
#include <cstdlib>

#include "engines/file_system_registry.h"
#include "fuzz/memory_image.h"
#include "storage/sector_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  fuzz::MemoryImage image(data, size);
  if (!image.ok()) return 0;
  SectorReader reader;
  if (reader.OpenFile(image.path()) != 0) return 0;
  const uint64_t sectors = reader.TotalSectors();
  for (const FileSystem& fs : FileSystems()) {
    if (fs.freeBytes == nullptr) continue;
    const auto free = fs.freeBytes(reader, 0, sectors, SectorReader::kImageSectorSize);
    // Clusters past the medium are not counted: at most what the volume's records describe, bounded by a
    // cluster count of 32 bits and clusters of 32 MiB.
    if (free && *free > (uint64_t{1} << 57)) std::abort();
  }
  const auto any = VolumeFreeBytes(reader, 0, sectors, SectorReader::kImageSectorSize);
  if (any && *any > (uint64_t{1} << 57)) std::abort();
  return 0;
}
