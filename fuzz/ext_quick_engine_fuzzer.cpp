// The ext quick engine over a mutated image: the superblock and descriptor parsers, the journal index, the
// folder walk and the recovery of what it lists, and the free-run walk over the group bitmaps never crash,
// hang or write outside the scratch folder, nothing recovered is larger than the image, and the runs ascend
// inside the volume. Seed with small images made by mkfs.ext2/3/4 (1 KiB and 4 KiB blocks, 32- and 64-bit
// descriptors) and tests/fixtures/ext.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "catalog/saved_scan_store.h"
#include "filetypes/file_categories.h"
#include "fs/ext/ext_quick_engine.h"
#include "fuzz/memory_image.h"
#include "fuzz/output_bound.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  ParseExtSuperblock(std::span(data, size).subspan(0, std::min<size_t>(size, 1024)));
  fuzz::MemoryImage image(data, size);
  if (!image.ok()) return 0;
  const std::filesystem::path& scratch = fuzz::ScratchFolder("snapsave-extfuzz");
  SavedScanStore store(scratch / "Vornel Snapsave" / "ScanLog",
                       [](int32_t, uint64_t) { return uint64_t{0}; });
  CFastExtRecovery engine(store);
  if (engine.Open(ImageVolume(image.path(), u'E')) != 0) return 0;
  if (engine.Scan({}) == 0) {
    RecordList all;
    engine.SearchByType(std::string(kPhotoList) + std::string(kVideoList) + std::string(kDocumentList), all);
    RecordList root;
    engine.ListFolder(nullptr, 0, root);
    all.insert(all.end(), root.begin(), root.end());
    size_t tried = 0;
    for (const FoundFileRecord& r : all) {
      if (++tried > 8) break;
      engine.RecoverRecord(&r, scratch / "out" / "item", 0);
      fuzz::AbortIfLargerThan(scratch / "out", size);
      std::error_code ec;
      std::filesystem::remove_all(scratch / "out", ec);
    }
  }
  fuzz::AbortIfWrittenOutside(scratch);
  if (engine.BuildAllocationMap() != 0) return 0;
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
