// Joining split files over arbitrary media: a carve pass over a mutated image (seeded with photos cut in two
// with other data between), then every carved file saved. A joined file's pieces lie on the medium, in order
// and apart; nothing saved is larger than the image or lies outside its folder. The pieces side file is read
// from the same bytes, as a damaged one would be.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <system_error>
#include <vector>

#include "carve/file_type_recovery.h"
#include "carve/piece_store.h"
#include "catalog/saved_scan_store.h"
#include "fuzz/memory_image.h"
#include "fuzz/output_bound.h"
#include "os/paths.h"
#include "storage/sector_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  const std::filesystem::path& scratch = fuzz::ScratchFolder("snapsave-stitch-fuzz");
  constexpr uint32_t kSector = 512;
  for (const auto& [id, pieces] : PieceStore::Decode(std::span<const uint8_t>(data, size), 1000)) {
    if (id == 0 || id > 1000 || pieces.size() < 2 || pieces.size() > PieceStore::kMaxPieces) abort();
  }
  if (size < 2 * kSector) return 0;
  fuzz::MemoryImage memory(data, size);
  if (!memory.ok()) return 0;
  SectorReader reader;
  if (reader.OpenFile(memory.path()) != 0) return 0;
  const uint64_t sectors = size / kSector;
  {
    SavedScanStore store(os::ScanLogFolder(),
                         [](const std::filesystem::path&, uint64_t) { return uint64_t{0}; });
    CFileTypeRecovery engine(store);
    if (engine.Attach(ImageVolume(memory.path(), u'F'), "File_Type_fuzz", kSector,
                      FoundFileCatalogue::Mode::kFresh) != 0) {
      return 0;
    }
    uint64_t found = 0;
    for (uint64_t s = 0; s < sectors && found < 8;) {
      uint64_t consumed = 0;
      engine.CarveAt(std::span<const uint8_t>(data + s * kSector, kSector), s, s, sectors, -1, &reader,
                     kSector, consumed, found);
      if (consumed == 0) abort();
      s += consumed;
    }
    RecordList records;
    engine.ListFolder(nullptr, 0, records);
    const std::filesystem::path out = scratch / "out";
    for (const FoundFileRecord& r : records) {
      if (r.entryLocation >= sectors || r.fileSize > (sectors - r.entryLocation) * kSector) abort();
      engine.RecoverRecord(&r, out / "carved", 0);
      fuzz::AbortIfLargerThan(out, size);
      std::error_code ec;
      std::filesystem::remove_all(out, ec);
    }
  }
  fuzz::AbortIfWrittenOutside(scratch);
  return 0;
}
