// The carver over arbitrary media: every sector of a mutated image offered to CarveAt as a deep scan's pass
// offers it, the further sectors the length rules read served by the same image; then the carved files are
// saved. No length may pass the medium, and no saved file may be larger than the image.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <system_error>
#include <vector>

#include "carve/file_type_recovery.h"
#include "catalog/saved_scan_store.h"
#include "filetypes/carving_context.h"
#include "fuzz/memory_image.h"
#include "fuzz/output_bound.h"
#include "os/paths.h"
#include "storage/sector_reader.h"

namespace {
constexpr const char* kScratch = "/tmp/snapsave-carve-fuzz";
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("XDG_DATA_HOME", kScratch, 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  if (size < 2) return 0;
  const uint8_t flags = data[0];
  const uint32_t sectorSize = 512u << (flags & 3);
  const uint64_t scanTotal = (flags & 4) != 0 ? 0 : 1000;
  const uint8_t* image = data + 1;
  const size_t imageSize = size - 1;
  fuzz::MemoryImage memory(image, imageSize);
  if (!memory.ok()) return 0;
  SectorReader reader;
  if (reader.OpenFile(memory.path()) != 0) return 0;
  SavedScanStore store(os::ScanLogFolder(),
                       [](const std::filesystem::path&, uint64_t) { return uint64_t{0}; });
  CFileTypeRecovery engine(store);
  if (engine.Attach(ImageVolume(memory.path(), u'F'), "File_Type_fuzz", sectorSize,
                    FoundFileCatalogue::Mode::kFresh) != 0) {
    return 0;
  }
  const uint64_t sectors = imageSize / sectorSize;
  uint64_t found = 0;
  for (uint64_t s = 0; s < sectors && s < 64;) {
    const std::span<const uint8_t> sector(image + s * sectorSize, sectorSize);
    uint64_t consumed = 0;
    engine.CarveAt(sector, s, s, scanTotal, -1, &reader, sectorSize, consumed, found);
    if (consumed == 0) abort();
    s += consumed;
  }
  RecordList records;
  engine.ListFolder(nullptr, 0, records);
  const std::filesystem::path out = std::filesystem::path(kScratch) / "out";
  for (size_t i = 0; i < records.size(); ++i) {
    const FoundFileRecord& r = records[i];
    if (r.fileSize > imageSize - std::min<uint64_t>(imageSize, r.entryLocation * sectorSize) + sectorSize)
      abort();
    if (i >= 4) continue;
    engine.RecoverRecord(&r, out / "carved", 0);
    fuzz::AbortIfLargerThan(out, imageSize);
    std::error_code ec;
    std::filesystem::remove_all(out, ec);
  }
  return 0;
}
