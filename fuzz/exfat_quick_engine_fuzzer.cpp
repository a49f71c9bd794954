// Open, scan, list and recover over a mutated exFAT image. Seed with small exFAT images (mkfs.exfat -c 512 -b
// 512).
#include "fs/exfat/exfat_quick_engine.h"
#include "fuzz/engine_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  return fuzz::WithEngine<CFastExfatRecovery>("snapsave-exfatfuzz", data, size,
                                              [&](auto& engine, const auto& scratch) {
                                                if (engine.Scan({}) != 0) return;
                                                // Each file is read from clusters of the image, each cluster
                                                // once.
                                                fuzz::RecoverRoot(engine, scratch, size, SIZE_MAX);
                                                fuzz::WalkFreeRuns(engine);
                                              });
}
