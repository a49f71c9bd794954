// A rescue copy of a failing medium into an image, in passes as GNU ddrescue makes one: large reads first,
// skipping ahead (further and further) past areas that fail; then the failed blocks trimmed from both edges
// sector by sector, the rest between the edges scraped sector by sector, and optional retries of the bad
// sectors. The map beside the image (IMAGE.map, ddrescue's mapfile format) is saved as the copy goes, so that
// an interrupted copy resumes where it stopped. Unreadable sectors stay zeros in the image. Devices are read
// past the system's cache, so that a bad sector fails alone and once; a source that stops answering stops the
// copy with what it did not give left untried.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "storage/image_source.h"
#include "storage/rescue_map.h"

namespace snapsave {

struct RescueOptions {
  uint32_t sectorSize = 512;
  uint32_t blockBytes = 1 << 20;       // the first pass's reads
  uint64_t firstSkipBytes = 64 << 10;  // skipped after the first failure of a run of failures
  uint64_t maxSkipBytes = uint64_t{1} << 30;
  int retries = 0;                 // passes over the bad sectors after scraping
  uint64_t saveIntervalMs = 1000;  // the map is saved at most this often, and after each pass
  std::string commandLine;         // for the map's header
};

// Bytes so far by status, for progress reports; 0 goes on, anything else stops the copy (the map is saved).
using RescueProgress = std::function<int32_t(const RescueMap& map)>;

class RescueCopy {
 public:
  // Copies `size` bytes of `source` (from its offset 0) into `imagePath`, keeping the map at `mapPath`. An
  // existing map for the same size resumes the copy; without one the copy starts over (the image is reused,
  // never shortened while the map says what it holds). 0 when every pass ran (bad sectors may remain: see the
  // map), the callback's answer when it stopped the copy, kDeviceGone when the source went away or stopped
  // answering (sectors it read before fail too; the map keeps what failed since as untried), else a Win32
  // error.
  static int32_t Run(ImageSource& source, uint64_t size, const std::filesystem::path& imagePath,
                     const std::filesystem::path& mapPath, const RescueOptions& options, RescueMap& map,
                     const RescueProgress& progress = {});
};

}  // namespace snapsave
