// The deep exFAT engine over a mutated image: every sector that looks like folder data is fed to it as the
// deep scan would, then it places the sets (with or without a boot region), lists them and recovers them.
// Seed with small exFAT images, formatted ones and ones without their boot region.
#include "fs/exfat/exfat_deep_engine.h"
#include "fuzz/engine_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  return fuzz::WithEngine<CProfessionalExfatRecovery>(
      "snapsave-exfatdeepfuzz", data, size, [&](auto& engine, const auto& scratch) {
        fuzz::DeepPass(engine, std::span(data, size), scratch, [](auto& deep, auto rest, uint64_t sector) {
          if (IsExfatDirectorySector(rest.first(512))) deep.Take(rest, sector);
        });
      });
}
