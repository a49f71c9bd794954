// Open, scan, list and recover over a mutated FAT image. Seed with the images of tests/fixtures/fat.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "catalog/saved_scan_store.h"
#include "fs/fat/fat_quick_engine.h"
#include "fuzz/memory_image.h"
#include "fuzz/output_bound.h"
#include "os/paths.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  const std::filesystem::path& scratch = fuzz::ScratchFolder("snapsave-fatfuzz");
  fuzz::MemoryImage image(data, size);
  if (!image.ok()) return 0;
  {
    SavedScanStore store(os::ScanLogFolder(), [](int32_t, uint64_t) { return uint64_t{0}; });
    CFastFatRecovery engine(store);
    if (engine.Open(ImageVolume(image.path(), u'F')) == 0 && engine.Scan({}) == 0) {
      RecordList root;
      engine.ListFolder(nullptr, 0, root);
      const std::filesystem::path out = scratch / "out";
      for (const FoundFileRecord& r : root) {
        engine.RecoverRecord(&r, out / "item", 0);
        // Each file is read from clusters of the image, each cluster once.
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
