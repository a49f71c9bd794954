// Checks fuzz targets make of what a recovery wrote: nothing outside its folder, no file larger than the
// image it came from.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace snapsave::fuzz {

// Aborts when a regular file below `folder` (or `folder` itself) is larger than `limit` bytes.
inline void AbortIfLargerThan(const std::filesystem::path& folder, uint64_t limit) {
  std::error_code ec;
  if (std::filesystem::is_regular_file(folder, ec)) {
    if (std::filesystem::file_size(folder, ec) > limit) abort();
    return;
  }
  for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_regular_file(ec) && it->file_size(ec) > limit) abort();
  }
}

}  // namespace snapsave::fuzz
