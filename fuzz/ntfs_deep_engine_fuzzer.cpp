// Feeds every sector of a mutated disk that starts like an MFT record to the deep NTFS engine, as the deep
// scan's dispatcher would, finishes the scan, then lists and recovers what it found. Seed with
// tests/fixtures/ntfs/*.img.gz (decompressed, or pieces of them around their MFTs).
#include "fs/ntfs/ntfs_deep_engine.h"
#include "fuzz/engine_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  return fuzz::WithEngine<CProfessionalNtfsRecovery>(
      "snapsave-ntfsdeepfuzz", data, size, [&](auto& engine, const auto& scratch) {
        fuzz::DeepPass(engine, std::span(data, size), scratch, [](auto& deep, auto rest, uint64_t sector) {
          const uint32_t recordSize = deep.RecordSize();
          // Records that only carry the signature reach the engine too: it must not rely on the test.
          if (rest.size() >= recordSize && rest[0] == 'F' && rest[1] == 'I' && rest[2] == 'L' &&
              rest[3] == 'E')
            deep.TakeFileRecord(rest.first(recordSize), sector);
        });
      });
}
