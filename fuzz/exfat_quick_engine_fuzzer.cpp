// Open, scan, list and recover over a mutated exFAT image. Seed with small exFAT images (mkfs.exfat -c 512 -b
// 512).
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "catalog/saved_scan_store.h"
#include "fs/exfat/exfat_quick_engine.h"
#include "fuzz/memory_image.h"
#include "fuzz/output_bound.h"
#include "os/paths.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  const std::filesystem::path& scratch = fuzz::ScratchFolder("snapsave-exfatfuzz");
  fuzz::MemoryImage image(data, size);
  if (!image.ok()) return 0;
  {
    SavedScanStore store(os::ScanLogFolder(), [](int32_t, uint64_t) { return uint64_t{0}; });
    CFastExfatRecovery engine(store);
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
      uint64_t sector = 0, length = 0;
      for (int runs = 0; runs < 1000 && engine.NextUnallocatedRun(sector, length) == 1 && length != 0; ++runs)
        sector += length;
    }
  }
  // Recovery must only have written below `out`; the scan log lives in the app-data folder.
  fuzz::AbortIfWrittenOutside(scratch);
  return 0;
}
