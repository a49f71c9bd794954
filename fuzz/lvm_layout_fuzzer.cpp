// LVM2 over a mutated disk: the label, the metadata area's ring and its texts, and the logical volumes mapped
// from them. No volume may map a sector off the disk, and every volume kept must read through its pieces.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "fuzz/memory_image.h"
#include "storage/lvm_layout.h"
#include "storage/sector_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  // The text alone, as a metadata area would hand it over.
  (void)ParseLvmMetadata(std::string_view(reinterpret_cast<const char*>(data), size));
  fuzz::MemoryImage image(data, size);
  if (!image.ok()) return 0;
  SectorReader reader;
  if (reader.OpenFile(image.path()) != 0) return 0;
  const uint64_t sectors = reader.TotalSectors();
  // The whole disk, and its two halves: a group over two physical volumes of one disk.
  const std::vector<LvmPlace> places{{0, sectors}, {0, sectors / 2}, {sectors / 2, sectors - sectors / 2}};
  for (const LogicalVolumeOnDisk& lv : FindLogicalVolumes(reader, 512, places)) {
    if (!lv.unreadable.empty()) continue;
    uint64_t count = 0;
    for (const SectorMapping& m : lv.pieces) {
      const uint64_t held = m.count / std::max<uint32_t>(m.stripes, 1);
      if (m.device > sectors || held > sectors - m.device) std::abort();
      if (m.stripe == 0) count += m.count;
    }
    if (count != lv.sectorCount) std::abort();
    SectorReader volume;
    if (volume.OpenDiskVolume(image.path(), lv.pieces) != 0) std::abort();
    std::vector<uint8_t> sector(512);
    uint32_t got = 0;
    if (lv.sectorCount != 0 &&
        volume.ReadSectors(sector, 1, lv.StartSector() + lv.sectorCount - 1, 512, &got) != 0)
      std::abort();
  }
  return 0;
}
