// The deep file-system engines over a 2 GiB medium planted with directory-like data, as an attacker (or a
// disk of old folder clusters) would present it: folder heads with random clusters, heads that make a
// geometry and chains of ".." entries 1,000s deep and looping, blocks of deleted pictures whose lost high
// cluster words must be probed, long names split at every block end and folders named everywhere. Every
// sector reaches an engine. The pass is timed against `cat image > /dev/null` in the same run (the read
// limit, page cache warm), with the peak memory of the process.
//
//   deep_fs_bench [image path]   (default /tmp/snapsave-deep-hostile-v1.img)
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fs/fat/fat_deep_engine.h"
#include "fs/fat/fat_dir_entry.h"
#include "storage/sector_reader.h"

namespace {

using namespace snapsave;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kImageBytes = uint64_t{2} << 30;
constexpr uint32_t kSector = 512;
constexpr uint64_t kSectors = kImageBytes / kSector;
constexpr uint16_t kDate = (44u << 9) | (3u << 5) | 14u;
constexpr uint16_t kTime = 12u << 11;
// Cluster 2 of the planted geometry (one sector per cluster) lies here.
constexpr uint64_t kPlantedData = 4096;

uint32_t Mix(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdull;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ull;
  x ^= x >> 33;
  return static_cast<uint32_t>(x);
}

void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void Entry(uint8_t* e, const char* name11, uint8_t attr, uint32_t cluster, uint32_t size, bool deleted) {
  std::memcpy(e, name11, 11);
  if (deleted) e[0] = kDeletedMark;
  e[11] = attr;
  e[13] = 0;
  Put16(e + 14, kTime);
  Put16(e + 16, kDate);
  Put16(e + 18, kDate);
  Put16(e + 20, deleted ? 0 : static_cast<uint16_t>(cluster >> 16));
  Put16(e + 22, kTime);
  Put16(e + 24, kDate);
  Put16(e + 26, static_cast<uint16_t>(cluster));
  std::memcpy(e + 28, &size, 4);
}

void Name(char* out, const char* prefix, uint32_t n, const char* ext) {
  std::snprintf(out, 12, "%s%05u%s", prefix, n % 100000u, ext);
}

// Long-name pieces ending the block with no short entry after them.
void SplitTail(uint8_t* block, size_t fromEntry, uint8_t checksum) {
  for (size_t i = fromEntry; i < 16; ++i) {
    uint8_t* e = block + i * 32;
    std::memset(e, 0, 32);
    e[0] = static_cast<uint8_t>(16 - i) | (i == fromEntry ? 0x40 : 0);
    e[11] = fat_attr::kLongName;
    e[13] = checksum;
    for (size_t k : {1u, 3u, 5u, 7u, 9u, 14u, 16u, 18u, 20u, 22u, 24u, 28u, 30u}) {
      e[k] = static_cast<uint8_t>('a' + (i + k) % 26);
    }
  }
}

void MakeSector(uint64_t s, uint8_t* b) {
  std::memset(b, 0, kSector);
  const uint32_t h = Mix(s);
  char name[12];
  const uint32_t kind = h % 8;
  size_t first = 0;
  if (kind <= 2) {
    // A folder head: random (kind 0, 1) or placed by the planted geometry with its parent just before it, so
    // that ".." chains run thousands deep and some loop back (kind 2).
    uint32_t self = 2 + (Mix(s * 7 + 1) & 0x0FFFFFFF);
    uint32_t parent = Mix(s * 7 + 2) & 0x0FFFFFFF;
    if (kind == 2 && s >= kPlantedData) {
      self = static_cast<uint32_t>(s - kPlantedData + 2);
      parent = (h & 0x100) != 0 ? self + 3 : self - 1;
    }
    Entry(b, ".          ", fat_attr::kDirectory, self, 0, false);
    Entry(b + 32, "..         ", fat_attr::kDirectory, parent, 0, false);
    first = 2;
  }
  const bool split = (h & 0x30) == 0x30;
  const size_t last = split ? 13 : 16;
  for (size_t i = first; i < last; ++i) {
    uint8_t* e = b + i * 32;
    const uint32_t v = Mix(s * 31 + i);
    if (kind == 7 && i % 2 == 0) {
      Name(name, "DIR", v, "   ");
      Entry(e, name, fat_attr::kDirectory, 2 + (v & 0x0FFFFFFF), 0, (v & 1) != 0);
    } else if ((v & 3) != 0) {
      Name(name, "IMG", v, "JPG");
      Entry(e, name, fat_attr::kArchive, v & 0xFFFF, 1000 + (v & 0xFFFFF), true);
    } else {
      Name(name, "DOC", v, "TXT");
      Entry(e, name, fat_attr::kArchive, v & 0x0FFFFFFF, v & 0xFFFFFF, false);
    }
  }
  if (split) SplitTail(b, last, static_cast<uint8_t>(h >> 8));
}

bool BuildImage(const fs::path& path) {
  std::error_code ec;
  if (fs::exists(path, ec) && fs::file_size(path, ec) == kImageBytes) return true;
  std::printf("building %s (2 GiB of directory-like sectors) ...\n", path.c_str());
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  std::vector<uint8_t> chunk(1 << 20);
  const uint64_t perChunk = chunk.size() / kSector;
  for (uint64_t s = 0; s < kSectors; s += perChunk) {
    for (uint64_t k = 0; k < perChunk; ++k) MakeSector(s + k, chunk.data() + k * kSector);
    if (::pwrite(fd, chunk.data(), chunk.size(), static_cast<off_t>(s * kSector)) !=
        static_cast<ssize_t>(chunk.size())) {
      ::close(fd);
      return false;
    }
  }
  ::close(fd);
  return true;
}

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path image = argc > 1 ? argv[1] : "/tmp/snapsave-deep-hostile-v1.img";
  if (!BuildImage(image)) {
    std::fprintf(stderr, "cannot build %s\n", image.c_str());
    return 1;
  }
  const std::string cat = "cat '" + image.string() + "' > /dev/null";
  if (std::system(cat.c_str()) != 0) return 1;  // warm the page cache
  auto t0 = Clock::now();
  if (std::system(cat.c_str()) != 0) return 1;
  const double catSeconds = Seconds(t0);

  const fs::path logs = fs::temp_directory_path() / "snapsave-deep-bench-logs";
  fs::remove_all(logs);
  fs::create_directories(logs);
  setenv("XDG_DATA_HOME", logs.c_str(), 1);

  SectorReader reader;
  CProfessionalFatRecovery fat;
  if (reader.OpenFile(image) != 0 || fat.OpenImageFile(image, u'Z') != 0 || fat.StartScan("") != 0) {
    std::fprintf(stderr, "cannot open %s\n", image.c_str());
    return 1;
  }
  fat.ReadBootGuess();
  uint64_t heads = 0, blocks = 0;
  t0 = Clock::now();
  std::vector<uint8_t> chunk(SectorReader::kChunkBytes);
  const uint32_t perChunk = SectorReader::kChunkBytes / kSector;
  for (uint64_t s = 0; s < reader.TotalSectors(); s += perChunk) {
    uint32_t got = 0;
    reader.ReadSectors(chunk, static_cast<int32_t>(std::min<uint64_t>(perChunk, reader.TotalSectors() - s)),
                       s, kSector, &got);
    for (uint32_t k = 0; k < got; ++k) {
      const std::span<const uint8_t> sector(chunk.data() + size_t{k} * kSector, kSector);
      if (IsDotPair(sector)) {
        fat.TakeFolderHead(sector, s + k);
        ++heads;
      } else if (IsDirectoryBlock(sector)) {
        fat.TakeDirectoryBlock(sector, s + k);
        ++blocks;
      }
    }
  }
  const double passSeconds = Seconds(t0);
  t0 = Clock::now();
  const int32_t finished = fat.FinishScan();
  const double finishSeconds = Seconds(t0);

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const double mib = static_cast<double>(kImageBytes) / (1 << 20);
  const double total = passSeconds + finishSeconds;
  const auto& d = fat.DroppedCounts();
  std::printf("medium               2048 MiB, %llu folder heads, %llu directory blocks\n",
              static_cast<unsigned long long>(heads), static_cast<unsigned long long>(blocks));
  std::printf("cat (read limit)     %7.2f s  %8.1f MB/s\n", catSeconds, mib / catSeconds);
  std::printf("deep FAT pass        %7.2f s  %8.1f MB/s\n", passSeconds, mib / passSeconds);
  std::printf("deep FAT finish      %7.2f s  (result %d)\n", finishSeconds, finished);
  std::printf("deep FAT total       %7.2f s  %8.1f MB/s  = %.2f x the read limit's time\n", total,
              mib / total, total / catSeconds);
  std::printf("records              %llu, guesses %zu\n",
              static_cast<unsigned long long>(fat.GetRecordCount()), fat.Guesses().size());
  std::printf(
      "turned away          files %llu, pending heads %llu, stored blocks %llu, folders %llu, "
      "folder refs %llu\n",
      static_cast<unsigned long long>(d.files), static_cast<unsigned long long>(d.pendingHeads),
      static_cast<unsigned long long>(d.storedBlocks), static_cast<unsigned long long>(d.folders),
      static_cast<unsigned long long>(d.folderRefs));
  std::printf("peak memory          %.1f MiB\n", static_cast<double>(usage.ru_maxrss) / 1024);
  fs::remove_all(logs);
  return finished == 0 ? 0 : 1;
}
