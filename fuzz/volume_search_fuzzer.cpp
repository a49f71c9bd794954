// The search for lost volumes over a mutated disk: every boot sector, superblock and GPT it notes is checked
// with bounded reads, and no volume it keeps lies past the disk's end or overlaps another.
#include <cstdint>
#include <cstdlib>

#include "engines/volume_search.h"
#include "fuzz/memory_image.h"
#include "storage/sector_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  fuzz::MemoryImage image(data, size);
  if (!image.ok()) return 0;
  SectorReader reader;
  if (reader.OpenFile(image.path()) != 0) return 0;
  const uint64_t sectors = reader.TotalSectors();
  const std::vector<FoundVolume> found = SearchLostVolumes(reader, sectors);
  uint64_t end = 0;
  for (const FoundVolume& v : found) {
    if (v.startSector < end || v.sectorCount == 0 || v.startSector + v.sectorCount > sectors) std::abort();
    end = v.startSector + v.sectorCount;
  }
  // A name typed by hand: the volume at a place nothing was found.
  if (sectors > 0) (void)FindVolumeAt(reader, size % sectors, sectors);
  return 0;
}
