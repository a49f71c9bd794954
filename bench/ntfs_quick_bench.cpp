// Quick scan of an NTFS volume with about 100,000 MFT records, a few percent of them deleted, against
// `fls -r -d` of The Sleuth Kit on the same image in the same run. The image is made once by
// make_ntfs_bench_image.sh (root: it mounts through ntfs-3g) and cached under /tmp.
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <fmt/format.h>

#include "catalog/saved_scan_store.h"
#include "fs/ntfs/ntfs_quick_engine.h"
#include "os/paths.h"

namespace {

using namespace snapsave;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kRounds = 3;

double Seconds(Clock::time_point from) {
  return std::chrono::duration<double>(Clock::now() - from).count();
}

double CpuSeconds(int who) {
  rusage u{};
  ::getrusage(who, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long PeakKb(int who) {
  rusage u{};
  ::getrusage(who, &u);
  return u.ru_maxrss;
}

struct Timing {
  double wall = 1e30;
  double cpu = 1e30;
  uint64_t found = 0;
};

Timing QuickScan(const fs::path& image) {
  Timing best;
  for (int i = 0; i < kRounds; ++i) {
    const double cpu0 = CpuSeconds(RUSAGE_SELF);
    const auto t0 = Clock::now();
    SavedScanStore store(os::ScanLogFolder());
    CFastNtfsRecovery engine(store);
    if (engine.Open(ImageVolume(image, u'F')) != 0 || engine.Scan({}) != 0) {
      fmt::print(stderr, "quick scan failed\n");
      std::exit(1);
    }
    best.wall = std::min(best.wall, Seconds(t0));
    best.cpu = std::min(best.cpu, CpuSeconds(RUSAGE_SELF) - cpu0);
    best.found = engine.GetRecordCount();
  }
  return best;
}

Timing Fls(const fs::path& image) {
  Timing best;
  const std::string command = fmt::format("fls -r -d '{}'", image.string());
  for (int i = 0; i < kRounds; ++i) {
    const double cpu0 = CpuSeconds(RUSAGE_CHILDREN);
    const auto t0 = Clock::now();
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) std::exit(1);
    uint64_t lines = 0;
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) ++lines;
    if (::pclose(pipe) != 0) {
      fmt::print(stderr, "fls failed (sleuthkit installed?)\n");
      std::exit(1);
    }
    best.wall = std::min(best.wall, Seconds(t0));
    best.cpu = std::min(best.cpu, CpuSeconds(RUSAGE_CHILDREN) - cpu0);
    best.found = lines;
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path image = argc > 1 ? fs::path(argv[1]) : fs::path("/tmp/snapsave-ntfs-bench.img");
  if (!fs::exists(image)) {
    const fs::path script = fs::path(__FILE__).parent_path() / "make_ntfs_bench_image.sh";
    fmt::print("making {} with {}\n", image.string(), script.string());
    const auto t0 = Clock::now();
    if (std::system(fmt::format("'{}' '{}'", script.string(), image.string()).c_str()) != 0) return 1;
    fmt::print("image made in {:.1f} s\n", Seconds(t0));
  }
  // The catalogue goes to a scratch folder, not the user's scan log.
  const fs::path scratch = fs::temp_directory_path() / "snapsave-ntfs-bench-data";
  fs::create_directories(scratch);
  ::setenv("XDG_DATA_HOME", scratch.c_str(), 1);

  // Warm the page cache once so both sides read from memory.
  Fls(image);
  const Timing fls = Fls(image);
  const Timing quick = QuickScan(image);
  fmt::print("image {} ({} MiB), best of {}\n", image.string(), fs::file_size(image) >> 20, kRounds);
  fmt::print("quick scan   wall {:7.3f} s  cpu {:7.3f} s  records {}\n", quick.wall, quick.cpu, quick.found);
  fmt::print("fls -r -d    wall {:7.3f} s  cpu {:7.3f} s  lines {}\n", fls.wall, fls.cpu, fls.found);
  fmt::print("ratio fls/quick  wall {:.2f}  cpu {:.2f}\n", fls.wall / quick.wall, fls.cpu / quick.cpu);
  fmt::print("peak RSS  quick scan process {} KiB, fls {} KiB\n", PeakKb(RUSAGE_SELF),
             PeakKb(RUSAGE_CHILDREN));
  fs::remove_all(scratch);
  return 0;
}
