// Checks fuzz targets make of what a recovery wrote: nothing outside its folder, no file larger than the
// image it came from.
#pragma once

#include <stdlib.h>
#include <cstdint>

#include <cstdlib>
#include <filesystem>
#include <string>
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

// A scratch folder made once per process, which also becomes the app-data folder so that scan logs and
// preview files stay in it.
inline const std::filesystem::path& ScratchFolder(const char* name) {
  static const std::filesystem::path dir = [name] {
    std::string tmpl = (std::filesystem::temp_directory_path() / (std::string(name) + "-XXXXXX")).string();
    std::filesystem::path made = mkdtemp(tmpl.data());
    setenv("XDG_DATA_HOME", made.c_str(), 1);
    return made;
  }();
  return dir;
}

// Aborts when anything but the scan log lies in `scratch` (recoveries write below a folder the target removes
// itself), then empties it so that every input starts from an empty scan log.
inline void AbortIfWrittenOutside(const std::filesystem::path& scratch) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(scratch, ec)) {
    if (entry.path().filename() != "Vornel Snapsave") abort();
    std::filesystem::remove_all(entry.path(), ec);
  }
}

}  // namespace snapsave::fuzz
