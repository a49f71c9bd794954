// The saved-scan store's "config" as it may be found after a crash or tampering: every complete record is
// read, nothing past the input, and writing it back reproduces the complete part byte for byte.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "catalog/saved_scan_store.h"

using namespace snapsave;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const SavedScanConfig config = ParseSavedScanConfig(std::span<const uint8_t>(data, size));
  if (size < 8) {
    if (config.counter != 0 || !config.records.empty()) std::abort();
    return 0;
  }
  if (config.records.size() != (size - 8) / kSavedScanRecordSize) std::abort();
  const std::vector<uint8_t> bytes = EncodeSavedScanConfig(config);
  if (bytes.size() > size || std::memcmp(bytes.data(), data, bytes.size()) != 0) std::abort();
  for (const SavedScanRecord& r : config.records) {
    if (r.Folder().size() >= kSavedScanPathChars || r.ImagePath().size() >= kSavedScanPathChars + 1)
      std::abort();
  }
  return 0;
}
