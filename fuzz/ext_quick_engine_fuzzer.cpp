// The ext quick engine over a mutated image: the superblock and descriptor parsers and the free-run walk over
// the group bitmaps never crash or read past what they read, and the runs ascend inside the volume. Seed with
// small images made by mkfs.ext2/3/4 (1 KiB and 4 KiB blocks, 32- and 64-bit descriptors).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fs/ext/ext_quick_engine.h"
#include "fuzz/memory_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  ParseExtSuperblock(std::span(data, size).subspan(0, std::min<size_t>(size, 1024)));
  fuzz::MemoryImage image(data, size);
  if (!image.ok()) return 0;
  CFastExtRecovery engine;
  if (engine.OpenImageFile(image.path(), u'E') != 0 || engine.BuildAllocationMap() != 0) return 0;
  const uint64_t sectors = size / 512;
  uint64_t from = 0;
  for (int runs = 0; runs < 100000; ++runs) {
    uint64_t sector = from, length = 0;
    if (engine.NextUnallocatedRun(sector, length) == 0 || length == 0) break;
    if (sector < from || sector + length > sectors) std::abort();
    from = sector + length;
  }
  return 0;
}
