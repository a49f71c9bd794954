// Feeds every sector of a mutated disk that starts like an MFT record to the deep NTFS engine, as the deep
// scan's dispatcher would, finishes the scan, then lists and recovers what it found. Seed with
// tests/fixtures/ntfs/*.img.gz (decompressed, or pieces of them around their MFTs).
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

#include "catalog/saved_scan_store.h"
#include "fs/ntfs/ntfs_deep_engine.h"
#include "fuzz/memory_image.h"
#include "fuzz/output_bound.h"
#include "os/paths.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  const std::filesystem::path& scratch = fuzz::ScratchFolder("snapsave-ntfsdeepfuzz");
  fuzz::MemoryImage image(data, size);
  if (!image.ok()) return 0;
  {
    SavedScanStore store(os::ScanLogFolder(), [](int32_t, uint64_t) { return uint64_t{0}; });
    CProfessionalNtfsRecovery engine(store);
    if (engine.Open(ImageVolume(image.path(), u'N')) == 0 && engine.StartPass({}) == 0) {
      const uint32_t recordSize = engine.RecordSize();
      for (size_t at = 0; at + recordSize <= size; at += 512) {
        const std::span<const uint8_t> record(data + at, recordSize);
        // Records that only carry the signature reach the engine too: it must not rely on the test.
        if (record[0] == 'F' && record[1] == 'I' && record[2] == 'L' && record[3] == 'E') {
          engine.TakeFileRecord(record, at / 512);
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
        // What a record's runs name is read from the image and no more.
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
