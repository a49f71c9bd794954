// Open, scan, list and recover over a mutated FAT image. Seed with the images of tests/fixtures/fat.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "fs/fat/fat_quick_engine.h"
#include "fuzz/memory_image.h"
#include "fuzz/output_bound.h"

namespace {

const std::filesystem::path& Scratch() {
  static const std::filesystem::path dir = [] {
    std::string tmpl = (std::filesystem::temp_directory_path() / "snapsave-fatfuzz-XXXXXX").string();
    std::filesystem::path made = mkdtemp(tmpl.data());
    setenv("XDG_DATA_HOME", made.c_str(), 1);
    return made;
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  const std::filesystem::path& scratch = Scratch();
  fuzz::MemoryImage image(data, size);
  if (!image.ok()) return 0;
  {
    CFastFatRecovery engine;
    if (engine.OpenImageFile(image.path(), u'F') == 0 && engine.Scan({}) == 0) {
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
  // Recovery must only have written below `out`; the scan log lives in the app-data folder. Both are
  // cleared so every input starts from an empty scan log.
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(scratch, ec)) {
    if (entry.path().filename() != "Vornel Snapsave") abort();
    std::filesystem::remove_all(entry.path(), ec);
  }
  return 0;
}
