// The whole deep scan over a mutated image: the factory's classification, the quick phase, the pass that
// feeds the deep engines and the carver, the merged search, and recovery of what it found into a scratch
// folder. Seed with small images from tests/fixtures (fat, ntfs) and pieces of carve/media.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "catalog/saved_scan_store.h"
#include "engines/engine_factory.h"
#include "filetypes/file_categories.h"
#include "fuzz/memory_image.h"
#include "fuzz/output_bound.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  const std::filesystem::path& scratch = fuzz::ScratchFolder("snapsave-deepscanfuzz");
  fuzz::MemoryImage image(data, size);
  if (!image.ok()) return 0;
  {
    // Every input is a new source: no saved scan carries over from the last one.
    SavedScanStore store(scratch / "Vornel Snapsave" / "ScanLog",
                         [](const std::filesystem::path&, uint64_t) { return uint64_t{0}; });
    auto engine = CreateScanEngine(store, ImageVolume(image.path(), u'F'), true);
    if (engine && engine->Scan({}) == 0) {
      RecordList all;
      engine->SearchByType(std::string(kPhotoList) + std::string(kVideoList) + std::string(kAudioList) +
                               std::string(kDocumentList) + std::string(kArchiveList),
                           all);
      RecordList root;
      engine->ListFolder(nullptr, 0, root);
      all.insert(all.end(), root.begin(), root.end());
      const std::filesystem::path out = scratch / "out";
      size_t tried = 0;
      for (const FoundFileRecord& r : all) {
        if (++tried > 8) break;
        engine->RecoverRecord(&r, out / "item", 0);
        // Nothing comes out larger than the medium it was read from.
        fuzz::AbortIfLargerThan(out, size);
        std::error_code ec;
        std::filesystem::remove_all(out, ec);
      }
    }
  }
  fuzz::AbortIfWrittenOutside(scratch);
  return 0;
}
