// Opening and scanning a mutated NTFS volume with the quick engine, then reading back what it listed:
// previews and recoveries never larger than the medium, whatever sizes and runs the records claim.
#include <vector>

#include "fs/ntfs/ntfs_quick_engine.h"
#include "fuzz/engine_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  return fuzz::WithEngine<CFastNtfsRecovery>(
      "snapsave-ntfsfuzz", data, size, [&](auto& engine, const auto& scratch) {
        if (engine.Scan({}) != 0) return;
        RecordList all;
        engine.SearchByType("*.bin|*.txt|*.jpg|", all);
        std::vector<uint8_t> buffer(4096);
        for (size_t i = 0; i < all.size() && i < 8; ++i) {
          std::filesystem::path path;
          uint32_t got = static_cast<uint32_t>(buffer.size());
          engine.ExtractForPreview(&all[i], path, buffer, got, nullptr, nullptr);
          if (!path.empty()) fuzz::AbortIfLargerThan(path, size);
        }
        fuzz::RecoverRoot(engine, scratch, size);
        fuzz::WalkFreeRuns(engine);
      });
}
