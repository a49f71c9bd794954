// The deep exFAT engine over a mutated image: every sector that looks like folder data is fed to it as the
// deep scan would, then it places the sets (with or without a boot region), lists them and recovers them.
// Seed with small exFAT images, formatted ones and ones without their boot region.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>

#include "catalog/saved_scan_store.h"
#include "fs/exfat/exfat_deep_engine.h"
#include "fuzz/memory_image.h"
#include "fuzz/output_bound.h"
#include "os/paths.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  const std::filesystem::path& scratch = fuzz::ScratchFolder("snapsave-exfatdeepfuzz");
  fuzz::MemoryImage image(data, size);
  if (!image.ok()) return 0;
  {
    SavedScanStore store(os::ScanLogFolder(), [](int32_t, uint64_t) { return uint64_t{0}; });
    CProfessionalExfatRecovery engine(store);
    if (engine.Open(ImageVolume(image.path(), u'F')) == 0 && engine.StartPass({}) == 0) {
      const std::span<const uint8_t> bytes(data, size);
      for (size_t at = 0; at + 512 <= size; at += 512) {
        if (IsExfatDirectorySector(bytes.subspan(at, 512))) engine.Take(bytes.subspan(at), at / 512);
      }
      engine.FinishPass();
      RecordList root;
      engine.ListFolder(nullptr, 0, root);
      const std::filesystem::path out = scratch / "out";
      for (const FoundFileRecord& r : root) {
        engine.RecoverRecord(&r, out / "item", 0);
        fuzz::AbortIfLargerThan(out, size);
        std::error_code ec;
        std::filesystem::remove_all(out, ec);
      }
    }
  }
  fuzz::AbortIfWrittenOutside(scratch);
  return 0;
}
