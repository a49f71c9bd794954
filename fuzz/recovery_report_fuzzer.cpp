// The reports of earlier recoveries in a destination folder, as anyone may have left them: reading one never
// crashes, and a path it names is only ever compared with, never opened unless the folder holds it.
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "sessions/recovery_report.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::filesystem::path folder = [] {
    auto p = std::filesystem::temp_directory_path() / ("snapsave-report-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(p / "photo");
    std::ofstream(p / "photo" / "a.jpg") << "abc";
    return p;
  }();
  {
    std::ofstream out(folder / "report.json", std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  const snapsave::EarlierRecoveries earlier(folder);
  for (const char* name : {"photo/a.jpg", "photo/b.jpg", "report.json", "../x", ""})
    (void)earlier.Wrote(folder / name);
  return 0;
}
