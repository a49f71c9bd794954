// Opening and scanning a mutated NTFS volume with the quick engine, then reading back what it listed.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "catalog/saved_scan_store.h"
#include "fs/ntfs/ntfs_quick_engine.h"
#include "fuzz/memory_image.h"
#include "fuzz/output_bound.h"
#include "os/paths.h"

#include <cstdlib>

namespace {
constexpr const char* kScratch = "/tmp/snapsave-ntfs-fuzz";
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Catalogues and preview files go to a scratch folder, not the user's scan log.
  setenv("XDG_DATA_HOME", kScratch, 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  fuzz::MemoryImage image(data, size);
  if (!image.ok()) return 0;
  SavedScanStore store(os::ScanLogFolder(), [](int32_t, uint64_t) { return uint64_t{0}; });
  CFastNtfsRecovery engine(store);
  if (engine.Open(ImageVolume(image.path(), u'F')) != 0) return 0;
  if (engine.Scan({}) != 0) return 0;
  RecordList all;
  engine.SearchByType("*.bin|*.txt|*.jpg|", all);
  std::vector<uint8_t> buffer(4096);
  for (size_t i = 0; i < all.size() && i < 8; ++i) {
    std::filesystem::path path;
    uint32_t got = static_cast<uint32_t>(buffer.size());
    engine.ExtractForPreview(&all[i], path, buffer, got, nullptr, nullptr);
    if (!path.empty()) fuzz::AbortIfLargerThan(path, size);
  }
  // Recovery never writes more than the medium holds, whatever sizes and runs the records claim.
  RecordList root;
  engine.ListFolder(nullptr, 0, root);
  const std::filesystem::path out = std::filesystem::path(kScratch) / "out";
  for (size_t i = 0; i < root.size() && i < 8; ++i) {
    engine.RecoverRecord(&root[i], out / "item", 0);
    fuzz::AbortIfLargerThan(out, size);
    std::error_code ec;
    std::filesystem::remove_all(out, ec);
  }
  engine.BuildAllocationMap();
  uint64_t sector = 0, length = 0;
  for (int i = 0; i < 64 && engine.NextUnallocatedRun(sector, length) == 1 && length > 0; ++i)
    sector += length;
  return 0;
}
