// Deep-scan checkpoints over arbitrary bytes (the file sits in a folder anyone may have changed): parsing
// never crashes or reads past the input, and what parses encodes to a checkpoint that parses back the same.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "engines/scan_checkpoint.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  ParseScanCheckpoint(std::span(data, size));
  // Mostly the input taken as a body with its check sum added, or nothing would get past the check sum.
  std::vector<uint8_t> sealed(data, data + size);
  const auto crc = static_cast<uint32_t>(crc32(0, data, static_cast<uInt>(size)));
  for (int shift = 0; shift < 32; shift += 8) sealed.push_back(static_cast<uint8_t>(crc >> shift));
  const auto parsed = ParseScanCheckpoint(sealed);
  if (!parsed) return 0;
  const std::vector<uint8_t> encoded = EncodeScanCheckpoint(*parsed);
  const auto again = ParseScanCheckpoint(encoded);
  if (!again || EncodeScanCheckpoint(*again) != encoded) std::abort();
  return 0;
}
