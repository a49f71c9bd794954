// Feeds every sector of a mutated disk to the deep FAT engine as the deep scan's dispatcher would (folder
// heads, directory blocks), finishes the scan, then lists and recovers what it found. Seed with pieces of
// tests/fixtures/fat/card-formatted.img.gz around its folder clusters.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

#include "catalog/saved_scan_store.h"
#include "fs/fat/fat_deep_engine.h"
#include "fs/fat/fat_dir_entry.h"
#include "fuzz/memory_image.h"
#include "fuzz/output_bound.h"
#include "os/paths.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  const std::filesystem::path& scratch = fuzz::ScratchFolder("snapsave-fatdeepfuzz");
  fuzz::MemoryImage image(data, size);
  if (!image.ok()) return 0;
  {
    SavedScanStore store(os::ScanLogFolder(), [](int32_t, uint64_t) { return uint64_t{0}; });
    CProfessionalFatRecovery engine(store);
    if (engine.Open(ImageVolume(image.path(), u'F')) == 0 && engine.StartPass({}) == 0) {
      for (size_t at = 0; at + 512 <= size; at += 512) {
        const std::span<const uint8_t> sector(data + at, 512);
        // Sectors that merely start like a head reach the engine too: it must not rely on the test.
        if (IsDotPair(sector) || sector[0] == '.') {
          engine.TakeFolderHead(sector, at / 512);
        } else if (IsDirectoryBlock(sector)) {
          engine.TakeDirectoryBlock(sector, at / 512);
        }
      }
      engine.FinishPass();
      RecordList root;
      engine.ListFolder(nullptr, 0, root);
      const std::filesystem::path out = scratch / "out";
      size_t tried = 0;
      for (const FoundFileRecord& r : root) {
        if (++tried > 8) break;
        engine.RecoverRecord(&r, out / "item", 0);
        // Files are read from consecutive sectors of the image and stop at its end.
        fuzz::AbortIfLargerThan(out, size);
        std::error_code ec;
        std::filesystem::remove_all(out, ec);
      }
    }
  }
  // Recovery must only have written below `out`; the scan log lives in the app-data folder.
  fuzz::AbortIfWrittenOutside(scratch);
  return 0;
}
