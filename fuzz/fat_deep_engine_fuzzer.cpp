// Feeds every sector of a mutated disk to the deep FAT engine as the deep scan's dispatcher would (folder
// heads, directory blocks), finishes the scan, then lists and recovers what it found. Seed with pieces of
// tests/fixtures/fat/card-formatted.img.gz around its folder clusters.
#include "fs/fat/fat_deep_engine.h"
#include "fs/fat/fat_dir_entry.h"
#include "fuzz/engine_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  return fuzz::WithEngine<CProfessionalFatRecovery>(
      "snapsave-fatdeepfuzz", data, size, [&](auto& engine, const auto& scratch) {
        fuzz::DeepPass(engine, std::span(data, size), scratch, [](auto& deep, auto rest, uint64_t sector) {
          const auto head = rest.first(512);
          // Sectors that merely start like a head reach the engine too: it must not rely on the test.
          if (IsDotPair(head) || head[0] == '.') {
            deep.TakeFolderHead(head, sector);
          } else if (IsDirectoryBlock(head)) {
            deep.TakeDirectoryBlock(head, sector);
          }
        });
      });
}
