// The exFAT parsers over arbitrary bytes: boot sector, geometry, boot checksum, entry sets at every entry.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "fs/exfat/exfat_structures.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  const std::span<const uint8_t> bytes(data, size);
  if (auto g = ParseExfatGeometry(bytes, 0, size / 512)) {
    // Every cluster the geometry admits lies inside the volume the boot sector states.
    if (g->ClusterSector(g->LastCluster()) + g->sectorsPerCluster > Le64(bytes, 72)) std::abort();
  }
  ChecksumSectorHolds(bytes, BootRegionChecksum(bytes, 512));
  for (size_t off = 0; off + kExfatEntrySize <= size; off += kExfatEntrySize) {
    if (auto set = ParseEntrySet(bytes.subspan(off))) {
      // At most 255 UTF-16 units, each at most three bytes of UTF-8.
      if (set->name.empty() || set->name.size() > 765 || set->entryCount < 3 || set->entryCount > 19)
        std::abort();
      ExfatTimeToFileTime(set->created);
      ExfatTimeToFileTime(set->modified);
    }
  }
  return 0;
}
