// The FAT parsers over arbitrary bytes: boot sector, geometry, directory entries and blocks, long names.
#include <cstddef>
#include <cstdint>
#include <span>

#include "fs/fat/fat_boot_sector.h"
#include "fs/fat/fat_dir_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  const std::span<const uint8_t> bytes(data, size);
  IsFatBootSector(bytes);
  if (auto geo = ParseFatGeometry(bytes, 0, size / 512)) {
    geo->ClusterSector(geo->LastCluster());
  }
  IsDirectoryBlock(bytes);
  LongNameCollector names;
  for (size_t off = 0; off + kDirEntrySize <= size; off += kDirEntrySize) {
    const auto rest = bytes.subspan(off);
    const auto entry = rest.first(kDirEntrySize);
    IsValidDirEntry(rest);
    BuildShortName(entry, (entry[11] & fat_attr::kDirectory) != 0);
    DecodeCreationTime(entry);
    if (entry[11] == fat_attr::kLongName) {
      if (!names.Add(entry)) names.Take();
    } else {
      names.Take();
    }
  }
  return 0;
}
