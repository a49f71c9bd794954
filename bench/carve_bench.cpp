// Carving throughput: a deep scan's pass over a 1 GiB image of random filler with real files every MiB, every
// sector offered to CarveAt, timed against `cat IMAGE > /dev/null` and against reading the same chunks
// without carving, in the same run with the page cache warm. Also the carving work alone on random sectors in
// memory. The image is generated once and cached under /tmp.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "carve/file_type_recovery.h"
#include "catalog/saved_scan_store.h"
#include "filetypes/carving_context.h"
#include "os/paths.h"
#include "storage/sector_reader.h"

namespace {

using namespace snapsave;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kImageBytes = uint64_t{1} << 30;
constexpr uint32_t kSector = 512;
constexpr int kRounds = 3;

double Seconds(Clock::time_point from) {
  return std::chrono::duration<double>(Clock::now() - from).count();
}

double CpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::vector<uint8_t> Gunzip(const fs::path& file) {
  std::vector<uint8_t> out;
  FILE* pipe = popen(("gzip -dc '" + file.string() + "'").c_str(), "r");
  if (pipe == nullptr) return out;
  uint8_t buf[65536];
  size_t n = 0;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.insert(out.end(), buf, buf + n);
  pclose(pipe);
  return out;
}

// Random filler with one real file (round robin over the media fixtures) at the start of every MiB.
void MakeImage(const fs::path& path) {
  std::vector<std::vector<uint8_t>> media;
  for (const auto& e : fs::directory_iterator(fs::path(SNAPSAVE_SOURCE_DIR) / "tests/fixtures/carve/media"))
    media.push_back(Gunzip(e.path()));
  std::ofstream out(path, std::ios::binary);
  std::mt19937_64 rng(42);
  std::vector<uint8_t> mib(1 << 20);
  for (uint64_t i = 0; i < kImageBytes / mib.size(); ++i) {
    for (size_t k = 0; k < mib.size(); k += 8) {
      const uint64_t v = rng();
      std::copy_n(reinterpret_cast<const uint8_t*>(&v), 8, mib.begin() + static_cast<ptrdiff_t>(k));
    }
    const auto& file = media[i % media.size()];
    std::copy(file.begin(), file.end(), mib.begin());
    std::fill(mib.begin() + static_cast<ptrdiff_t>(file.size()),
              mib.begin() + static_cast<ptrdiff_t>((file.size() + kSector - 1) / kSector * kSector), 0);
    out.write(reinterpret_cast<const char*>(mib.data()), static_cast<std::streamsize>(mib.size()));
  }
}

// The store over the scan-log folder of the scratch data folder main() chose.
SavedScanStore& BenchStore() {
  static SavedScanStore store(os::ScanLogFolder());
  return store;
}

// A carver attached to `image` as the deep scan attaches it.
std::unique_ptr<CFileTypeRecovery> AttachCarver(const fs::path& image) {
  auto engine = std::make_unique<CFileTypeRecovery>(BenchStore());
  if (engine->Attach(ImageVolume(image, u'B'), "File_Type_bench", kSector,
                     FoundFileCatalogue::Mode::kFresh) != 0)
    std::exit(1);
  return engine;
}

struct Timing {
  double wall = 1e30;
  double cpu = 1e30;
  uint64_t found = 0;
};

// Reads the image in 64 KiB chunks; with `carve`, offers every sector not inside a carved file to CarveAt.
Timing Pass(const fs::path& image, bool carve) {
  Timing best;
  for (int round = 0; round < kRounds; ++round) {
    SectorReader reader;
    if (reader.OpenFile(image) != 0) std::exit(1);
    const auto engine = AttachCarver(image);
    std::vector<uint8_t> chunk(SectorReader::kChunkBytes);
    const uint32_t perChunk = SectorReader::kChunkBytes / kSector;
    const uint64_t total = reader.TotalSectors();
    uint64_t found = 0;
    uint64_t next = 0;  // first sector still to offer
    const double cpu0 = CpuSeconds();
    const auto t0 = Clock::now();
    for (uint64_t at = 0; at < total; at += perChunk) {
      uint32_t got = 0;
      reader.ReadSectors(chunk, static_cast<int32_t>(std::min<uint64_t>(perChunk, total - at)), at, kSector,
                         &got);
      if (!carve) continue;
      for (uint64_t s = std::max(next, at); s < at + got; s = std::max(s + 1, next)) {
        uint64_t consumed = 1;
        engine->CarveAt(std::span<const uint8_t>(chunk).subspan((s - at) * kSector, kSector), s, s, total, -1,
                        &reader, kSector, consumed, found);
        next = s + consumed;
      }
    }
    best.wall = std::min(best.wall, Seconds(t0));
    best.cpu = std::min(best.cpu, CpuSeconds() - cpu0);
    best.found = found;
  }
  return best;
}

double CatSeconds(const fs::path& image) {
  double best = 1e30;
  for (int round = 0; round < kRounds; ++round) {
    const auto t0 = Clock::now();
    if (std::system(("cat '" + image.string() + "' > /dev/null").c_str()) != 0) std::exit(1);
    best = std::min(best, Seconds(t0));
  }
  return best;
}

// CarveAt on random sectors held in memory: the work every sector of a pass costs when it starts nothing.
double RandomSectorsCpuSeconds(const fs::path& image, uint64_t bytes) {
  std::vector<uint8_t> data(bytes);
  std::mt19937_64 rng(7);
  for (size_t k = 0; k + 8 <= data.size(); k += 8) {
    const uint64_t v = rng();
    std::copy_n(reinterpret_cast<const uint8_t*>(&v), 8, data.begin() + static_cast<ptrdiff_t>(k));
  }
  SectorReader reader;
  if (reader.OpenFile(image) != 0) std::exit(1);
  const auto engine = AttachCarver(image);
  double best = 1e30;
  for (int round = 0; round < kRounds; ++round) {
    uint64_t found = 0;
    const double cpu0 = CpuSeconds();
    for (uint64_t s = 0; s < bytes / kSector;) {
      uint64_t consumed = 1;
      engine->CarveAt(std::span<const uint8_t>(data).subspan(s * kSector, kSector), s, s, bytes / kSector, -1,
                      &reader, kSector, consumed, found);
      s += consumed;
    }
    best = std::min(best, CpuSeconds() - cpu0);
  }
  return best;
}

}  // namespace

int main() {
  const fs::path image = fs::temp_directory_path() / "snapsave-carve-bench.img";
  if (!fs::exists(image) || fs::file_size(image) != kImageBytes) {
    fmt::print("making {} ...\n", image.string());
    MakeImage(image);
  }
  const fs::path scratch = fs::temp_directory_path() / "snapsave-carve-bench-data";
  setenv("XDG_DATA_HOME", scratch.c_str(), 1);
  const double mib = static_cast<double>(kImageBytes) / (1 << 20);

  CatSeconds(image);  // warm the page cache
  const double cat = CatSeconds(image);
  const Timing read = Pass(image, false);
  const Timing carve = Pass(image, true);
  const double carveCpu = std::max(carve.cpu - read.cpu, 1e-9);
  constexpr uint64_t kRandomBytes = uint64_t{256} << 20;
  const double random = RandomSectorsCpuSeconds(image, kRandomBytes);

  fmt::print("image: 1 GiB, random filler with a real file every MiB; best of {} rounds, page cache warm\n",
             kRounds);
  fmt::print("cat > /dev/null           {:8.3f} s wall  {:8.0f} MB/s\n", cat, mib / cat);
  fmt::print("read chunks, no carving   {:8.3f} s wall  {:8.0f} MB/s  ({:.3f} s CPU)\n", read.wall,
             mib / read.wall, read.cpu);
  fmt::print("carving pass              {:8.3f} s wall  {:8.0f} MB/s  ({:.3f} s CPU), {} files carved\n",
             carve.wall, mib / carve.wall, carve.cpu, carve.found);
  fmt::print("carving pass / cat        {:8.2f}x the time\n", carve.wall / cat);
  fmt::print("carving work alone        {:8.0f} MB/s CPU (pass CPU minus the read-only pass)\n",
             mib / carveCpu);
  fmt::print("random sectors in memory  {:8.0f} MB/s CPU ({} MiB)\n", (kRandomBytes >> 20) / random,
             kRandomBytes >> 20);
  fs::remove_all(scratch);
  return 0;
}
