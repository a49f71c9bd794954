// A deep scan continued from a crafted checkpoint and metadata log (they sit in a folder anyone may have
// changed) over a mutated image: the restore, the replay of the logged sectors and the rest of the pass never
// crash, hang or write outside the scratch folder. Input: 2 bytes checkpoint body length, the body (its check
// sum is added here), 2 bytes log length, the log, then the image.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "catalog/saved_scan_store.h"
#include "engines/engine_factory.h"
#include "engines/scan_checkpoint.h"
#include "fuzz/memory_image.h"
#include "fuzz/output_bound.h"
#include "os/file.h"
#include "os/text.h"

namespace {

// Stops the pass (not the quick phase before it) at its first report.
int32_t StopThePass(void*, int32_t, int32_t weight, int32_t, uint64_t, uint64_t, uint64_t, uint32_t) {
  return weight >= 90 ? snapsave::ScanCancelled : 0;
}

std::span<const uint8_t> TakeSized(std::span<const uint8_t>& in) {
  if (in.size() < 2) return {};
  const size_t n = std::min<size_t>(in.size() - 2, size_t{in[0]} | size_t{in[1]} << 8);
  const std::span<const uint8_t> piece = in.subspan(2, n);
  in = in.subspan(2 + n);
  return piece;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  const std::filesystem::path& scratch = fuzz::ScratchFolder("snapsave-deepresumefuzz");
  std::span<const uint8_t> in(data, size);
  const std::span<const uint8_t> body = TakeSized(in);
  const std::span<const uint8_t> log = TakeSized(in);
  fuzz::MemoryImage image(in.data(), in.size());
  if (!image.ok()) return 0;
  {
    SavedScanStore store(scratch / "Vornel Snapsave" / "ScanLog",
                         [](const std::filesystem::path&, uint64_t) { return uint64_t{0}; });
    // A scan stopped in its pass leaves a saved scan and its folder.
    std::filesystem::path folder;
    {
      auto engine = CreateScanEngine(store, ImageVolume(image.path(), u'F'), true);
      if (!engine) return 0;
      engine->SetCallbacks(StopThePass, nullptr, nullptr, 100);
      engine->Scan({});
    }
    for (const SavedScanRecord& r : store.Records()) folder = os::Utf16ToUtf8(r.Folder());
    if (!folder.empty()) {
      std::vector<uint8_t> sealed(body.begin(), body.end());
      const auto crc = static_cast<uint32_t>(crc32(0, body.data(), static_cast<uInt>(body.size())));
      for (int shift = 0; shift < 32; shift += 8) sealed.push_back(static_cast<uint8_t>(crc >> shift));
      os::ReplaceFile(folder / kCheckpointFileName, sealed);
      os::ReplaceFile(folder / kMetadataLogFileName, log);
      auto engine = CreateScanEngine(store, ImageVolume(image.path(), u'F'), true);
      if (engine) engine->Scan({});
    }
  }
  fuzz::AbortIfWrittenOutside(scratch);
  return 0;
}
