// What a volume's first bytes say it spans, over arbitrary bytes: every file system's row, whether or not its
// probe accepts them (the probe runs first in use, but a size read must hold on its own), never past the
// bytes given and never a size that wraps.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "engines/file_system_registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  // As the engines read it: a probe of kProbeBytes, the input at its start and zeros after.
  std::vector<uint8_t> probe(kProbeBytes, 0);
  std::copy_n(data, std::min<size_t>(size, probe.size()), probe.begin());
  const ByteSpan bytes(probe);
  for (const FileSystem& fs : FileSystems()) {
    if (fs.statedBytes == nullptr) continue;
    const bool accepted = fs.probe(bytes);
    const auto stated = fs.statedBytes(bytes);
    // Below 2^40 units of at most 64 KiB (an ext block): nothing computed from a size wraps.
    if (stated && *stated > (uint64_t{1} << 56)) std::abort();
    (void)accepted;
  }
  return 0;
}
