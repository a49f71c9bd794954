// Catalogue throughput and memory: one million records reserved and filed in 10,000 folders, a search by type
// over all of them, and the listing of a 100,000-record folder. Raw writes and reads of the same bytes
// through the same file class are the baseline.
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

#include <fmt/format.h>

#include "catalog/found_file_catalogue.h"
#include "filetypes/file_categories.h"
#include "os/file.h"

namespace {

using namespace snapsave;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kRecords = 1'000'000;
constexpr uint32_t kFolders = 10'000;
constexpr uint32_t kBigFolder = 100'000;
constexpr uint32_t kRootRef = 2;

// CPU time of this thread, user and system: the machine is shared, so wall time mostly measures the
// neighbours.
struct Stamp {
  Clock::time_point wall;
  double cpu;
};
double CpuNow() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}
Stamp Now() {
  return {Clock::now(), CpuNow()};
}
struct Span {
  double wall;
  double cpu;
};
Span Since(const Stamp& s) {
  return {std::chrono::duration<double>(Clock::now() - s.wall).count(), CpuNow() - s.cpu};
}
Span Best(Span a, Span b) {
  return {std::min(a.wall, b.wall), std::min(a.cpu, b.cpu)};
}

// kB value of a /proc/self/status line such as "VmHWM:".
uint64_t StatusKb(const std::string& key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) == 0) return std::stoull(line.substr(key.size()));
  }
  return 0;
}

const char* kExtensions[] = {".jpg", ".txt", ".mp3", ".doc", ".png", ".avi", ".zip", ".dat"};

FoundFileRecord MakeRecord(uint32_t n, bool folder) {
  FoundFileRecord r = MakeEmptyRecord();
  r.isFolder = folder ? 1 : 0;
  r.isIntact = 1;
  r.entryRef = folder ? 1000 + n : n;
  r.fileSize = n * 37ull;
  char name[40] = "file";
  char* end = std::to_chars(name + 4, name + 24, n).ptr;
  if (!folder) {
    const char* ext = kExtensions[n % 8];
    while (*ext != '\0') *end++ = *ext++;
  }
  *end = '\0';
  r.SetName(name);
  return r;
}

}  // namespace

// `baseline` is the raw rate in MB/s of the same kind of I/O.
void Report(const char* what, const std::string& detail, Span t, double mb, double baseline) {
  std::printf("%-7s %s: wall %.3f s, cpu %.3f s -> %.0f MB/s (cpu); raw %.0f MB/s, ratio %.2f\n", what,
              detail.c_str(), t.wall, t.cpu, mb / t.cpu, baseline, mb / t.cpu / baseline);
}

int main() {
  const fs::path dir = fs::temp_directory_path() / ("catalogue-bench-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const double mb = static_cast<double>(kRecords) * kRecordSize / 1e6;

  // Baseline: the same bytes written and read in 69200-byte pieces through the same file class.
  Span rawWrite{};
  Span rawRead{};
  {
    std::vector<uint8_t> block(FoundFileCatalogue::kBufferCapacity, 0x5A);
    os::File f;
    f.OpenWrite(dir / "raw", true);
    Stamp t = Now();
    for (uint64_t off = 0; off < uint64_t{kRecords} * kRecordSize; off += block.size())
      f.WriteAllAt(off, block);
    rawWrite = Since(t);
    rawRead = {1e9, 1e9};
    for (int round = 0; round < 3; ++round) {
      t = Now();
      size_t got = 0;
      for (uint64_t off = 0;; off += got) {
        f.ReadFullAt(off, block, got);
        if (got == 0) break;
      }
      rawRead = Best(rawRead, Since(t));
    }
  }
  fs::remove(dir / "raw");

  const uint64_t rssBefore = StatusKb("VmRSS:");
  FoundFileCatalogue c;
  if (c.OpenIn(dir, "Pro_Fat_0_2024379 5") != 0) return 1;

  Stamp t = Now();
  // Folders first at the root, then files: 100,000 in the first folder, the rest spread over the others.
  for (uint32_t i = 0; i < kFolders; ++i) {
    FoundFileRecord r = MakeRecord(i, true);
    const uint32_t id = c.ReserveRecord(r);
    c.AddToFolder(kRootRef, 0, id, r.entryRef, r.Name());
  }
  for (uint32_t i = 0; i < kRecords - kFolders; ++i) {
    FoundFileRecord r = MakeRecord(i, false);
    const uint32_t folder = i < kBigFolder ? 0 : 1 + (i % (kFolders - 1));
    const uint32_t id = c.ReserveRecord(r);
    c.AddToFolder(1000 + folder, 1, id, r.entryRef);
  }
  if (c.Flush() != 0) return 2;
  const Span append = Since(t);
  const uint64_t rssAfter = StatusKb("VmRSS:");

  // Best of three: the machine is shared.
  Span search{1e9, 1e9};
  Span none{1e9, 1e9};
  Span list{1e9, 1e9};
  size_t foundCount = 0;
  size_t listedCount = 0;
  for (int round = 0; round < 3; ++round) {
    t = Now();
    RecordList found;
    c.SearchByType(kPhotoList, found);
    search = Best(search, Since(t));
    foundCount = found.size();
    found = {};

    t = Now();
    c.SearchByType("*.xyz|", found);
    none = Best(none, Since(t));

    t = Now();
    RecordList listed;
    c.ListFolder(MakeFolderKey(1, 1000), listed);
    list = Best(list, Since(t));
    listedCount = listed.size();
  }

  t = Now();
  uint32_t counted = 0;
  c.CountFiles(0, counted);
  const Span count = Since(t);

  std::printf("records file %.0f MB\n", mb);
  Report("append", fmt::format("{} records reserved, filed, flushed", kRecords), append, mb,
         mb / rawWrite.cpu);
  std::printf("        = %.2f M records/s (cpu), %.2f M records/s (wall)\n", kRecords / append.cpu / 1e6,
              kRecords / append.wall / 1e6);
  Report("search", fmt::format("photos, {} matches", foundCount), search, mb, mb / rawRead.cpu);
  Report("search", "no matches", none, mb, mb / rawRead.cpu);
  Report("list", fmt::format("one folder, {} records", listedCount), list,
         static_cast<double>(listedCount) * kRecordSize / 1e6, mb / rawRead.cpu);
  std::printf("        = %.2f M records/s (cpu)\n", static_cast<double>(listedCount) / list.cpu / 1e6);
  Report("count", fmt::format("{} files below the root", counted), count, mb, mb / rawRead.cpu);
  std::printf(
      "memory  %.1f bytes per record held (RSS %llu -> %llu kB); peak RSS %llu kB (includes search "
      "results)\n",
      static_cast<double>(rssAfter - rssBefore) * 1024.0 / kRecords,
      static_cast<unsigned long long>(rssBefore), static_cast<unsigned long long>(rssAfter),
      static_cast<unsigned long long>(StatusKb("VmHWM:")));
  fs::remove_all(dir);
  return 0;
}
