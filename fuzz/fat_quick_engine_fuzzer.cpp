// Open, scan, list and recover over a mutated FAT image. Seed with the images of tests/fixtures/fat.
#include "fs/fat/fat_quick_engine.h"
#include "fuzz/engine_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  return fuzz::WithEngine<CFastFatRecovery>("snapsave-fatfuzz", data, size,
                                            [&](auto& engine, const auto& scratch) {
                                              if (engine.Scan({}) != 0) return;
                                              // Each file is read from clusters of the image, each cluster
                                              // once.
                                              fuzz::RecoverRoot(engine, scratch, size, SIZE_MAX);
                                              fuzz::WalkFreeRuns(engine);
                                            });
}
