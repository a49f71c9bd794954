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

#include "catalog/saved_scan_store.h"
#include "fs/fat/fat_deep_engine.h"
#include "fs/fat/fat_dir_entry.h"
#include "fs/ntfs/ntfs_deep_engine.h"
#include "fs/ntfs/ntfs_record.h"
#include "os/paths.h"
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

void PutRecordAttributeHeader(uint8_t* a, uint32_t type, uint32_t length) {
  std::memcpy(a, &type, 4);
  std::memcpy(a + 4, &length, 4);
}

// Two sectors of an MFT record at sector `s` (even), planted to pass the record test.
void MakeRecord(uint64_t s, uint8_t* r) {
  std::memset(r, 0, 1024);
  const uint32_t h = Mix(s * 3 + 11);
  const uint32_t kind = h % 8;
  // Records in the second half lie in a planted contiguous MFT starting there, numbered by position.
  const bool planted = s >= kSectors / 2;
  const uint32_t number = kind == 7 ? 0
                          : planted ? static_cast<uint32_t>((s - kSectors / 2) / 2)
                                    : 12 + (h >> 8);
  const uint16_t flags = kind <= 2 ? 0x0003 : static_cast<uint16_t>(h >> 31);
  uint32_t parent = Mix(s * 3 + 12) & 0xFFFFF;
  if (planted && kind <= 4) parent = (h & 0x200) != 0 ? number + 1 : number - 1;  // chains and loops
  std::memcpy(r, "FILE", 4);
  Put16(r + 4, 48);
  Put16(r + 6, 3);
  Put16(r + 20, 56);
  Put16(r + 22, flags);
  const uint32_t allocated = 1024;
  std::memcpy(r + 28, &allocated, 4);
  std::memcpy(r + 44, &number, 4);
  size_t at = 56;
  // $FILE_NAME
  char16_t name[12];
  const size_t nameLength = kind == 7 ? 4 : 11;
  const char* text = kind == 7 ? "$MFT" : (kind <= 2 ? "folder_0000" : "photo_0.jpg");
  for (size_t i = 0; i < nameLength; ++i) name[i] = static_cast<char16_t>(text[i]);
  const uint32_t valueLength = static_cast<uint32_t>(66 + 2 * nameLength);
  const uint32_t fnLength = (24 + valueLength + 7) / 8 * 8;
  PutRecordAttributeHeader(r + at, kAttrFileName, fnLength);
  std::memcpy(r + at + 16, &valueLength, 4);
  Put16(r + at + 20, 24);
  uint8_t* v = r + at + 24;
  std::memcpy(v, &parent, 4);
  const uint64_t time = 0x01D0000000000000ull;
  std::memcpy(v + 8, &time, 8);
  std::memcpy(v + 16, &time, 8);
  std::memcpy(v + 32, &time, 8);
  const uint64_t size = 4096 + (h & 0xFFFF);
  std::memcpy(v + 48, &size, 8);
  v[64] = static_cast<uint8_t>(nameLength);
  v[65] = 1;
  for (size_t i = 0; i < nameLength; ++i) Put16(v + 66 + 2 * i, name[i]);
  at += fnLength;
  // Unnamed non-resident $DATA: a few clusters somewhere, with an allocated size that claims a cluster size.
  PutRecordAttributeHeader(r + at, kAttrData, 80);
  r[at + 8] = 1;
  Put16(r + at + 32, 64);
  const uint64_t allocatedData = uint64_t{8} << (h % 11);
  std::memcpy(r + at + 40, &allocatedData, 8);
  std::memcpy(r + at + 48, &size, 8);
  std::memcpy(r + at + 56, &size, 8);
  const uint32_t lcn = Mix(s + 99) & 0x3FFFFF;
  r[at + 64] = 0x31;
  r[at + 65] = 8;
  std::memcpy(r + at + 66, &lcn, 3);
  at += 80;
  const uint32_t end = 0xFFFFFFFF;
  std::memcpy(r + at, &end, 4);
  const uint32_t inUse = static_cast<uint32_t>(at + 8);
  std::memcpy(r + 24, &inUse, 4);
  // Update sequence: the tails of both sectors move into the array.
  Put16(r + 48, 0x0101);
  std::memcpy(r + 50, r + 510, 2);
  std::memcpy(r + 52, r + 1022, 2);
  Put16(r + 510, 0x0101);
  Put16(r + 1022, 0x0101);
}

void MakeRecordPair(uint64_t s, uint8_t* b) {
  if (s % 2 == 0) MakeRecord(s, b);
}

template <typename Maker>
bool BuildImage(const fs::path& path, Maker&& make) {
  std::error_code ec;
  if (fs::exists(path, ec) && fs::file_size(path, ec) == kImageBytes) return true;
  std::printf("building %s ...\n", path.c_str());
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  std::vector<uint8_t> chunk(1 << 20);
  const uint64_t perChunk = chunk.size() / kSector;
  for (uint64_t s = 0; s < kSectors; s += perChunk) {
    std::fill(chunk.begin(), chunk.end(), 0);
    for (uint64_t k = 0; k < perChunk; ++k) make(s + k, chunk.data() + k * kSector);
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

// Reads `image` in 64 KiB chunks and hands every sector to `take`; seconds spent.
template <typename Take>
double Pass(const fs::path& image, Take&& take) {
  SectorReader reader;
  if (reader.OpenFile(image) != 0) return -1;
  const auto t0 = Clock::now();
  std::vector<uint8_t> chunk(SectorReader::kChunkBytes + 1024);
  const uint32_t perChunk = SectorReader::kChunkBytes / kSector;
  for (uint64_t s = 0; s < reader.TotalSectors(); s += perChunk) {
    uint32_t got = 0;
    reader.ReadSectors(std::span(chunk).first(SectorReader::kChunkBytes),
                       static_cast<int32_t>(std::min<uint64_t>(perChunk, reader.TotalSectors() - s)), s,
                       kSector, &got);
    // A record crossing the chunk's end is read again whole, as the deep scan does.
    uint32_t tail = 0;
    reader.ReadSectors(std::span(chunk).subspan(SectorReader::kChunkBytes, 1024), 2, s + got, kSector, &tail);
    for (uint32_t k = 0; k < got; ++k)
      take(std::span<const uint8_t>(chunk.data() + size_t{k} * kSector, 1024), s + k);
  }
  return Seconds(t0);
}

double CatSeconds(const fs::path& image) {
  const std::string cat = "cat '" + image.string() + "' > /dev/null";
  if (std::system(cat.c_str()) != 0) return -1;  // warm the page cache
  const auto t0 = Clock::now();
  if (std::system(cat.c_str()) != 0) return -1;
  return Seconds(t0);
}

void Report(const char* what, double catSeconds, double passSeconds, double finishSeconds) {
  const double mib = static_cast<double>(kImageBytes) / (1 << 20);
  const double total = passSeconds + finishSeconds;
  std::printf("%s\n", what);
  std::printf("  cat (read limit)   %7.2f s  %8.1f MB/s\n", catSeconds, mib / catSeconds);
  std::printf("  pass + finish      %7.2f s + %.2f s  %8.1f MB/s  = %.1f x the read limit's time\n",
              passSeconds, finishSeconds, mib / total, total / catSeconds);
}

double PeakMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024;
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path folder = argc > 1 ? argv[1] : "/tmp";
  const fs::path fatImage = folder / "snapsave-deep-hostile-fat-v1.img";
  const fs::path ntfsImage = folder / "snapsave-deep-hostile-ntfs-v1.img";
  if (!BuildImage(fatImage, MakeSector) || !BuildImage(ntfsImage, MakeRecordPair)) {
    std::fprintf(stderr, "cannot build the images in %s\n", folder.c_str());
    return 1;
  }
  const fs::path logs = fs::temp_directory_path() / "snapsave-deep-bench-logs";
  fs::remove_all(logs);
  fs::create_directories(logs);
  setenv("XDG_DATA_HOME", logs.c_str(), 1);
  int result = 0;
  SavedScanStore store(os::ScanLogFolder());
  {
    CProfessionalFatRecovery fat(store);
    if (fat.Open(ImageVolume(fatImage, u'Z')) != 0 || fat.StartPass("") != 0) return 1;
    uint64_t heads = 0, blocks = 0;
    const double catSeconds = CatSeconds(fatImage);
    const double passSeconds = Pass(fatImage, [&](std::span<const uint8_t> span, uint64_t s) {
      const auto sector = span.first(kSector);
      if (IsDotPair(sector)) {
        fat.TakeFolderHead(sector, s);
        ++heads;
      } else if (IsDirectoryBlock(sector)) {
        fat.TakeDirectoryBlock(sector, s);
        ++blocks;
      }
    });
    const auto t0 = Clock::now();
    if (fat.FinishPass() != 0) result = 1;
    Report("deep FAT engine, 2048 MiB of directory-like sectors", catSeconds, passSeconds, Seconds(t0));
    const auto& d = fat.DroppedCounts();
    std::printf("  %llu folder heads, %llu directory blocks, %llu records, %zu guesses\n",
                static_cast<unsigned long long>(heads), static_cast<unsigned long long>(blocks),
                static_cast<unsigned long long>(fat.GetRecordCount()), fat.Guesses().size());
    std::printf(
        "  turned away: files %llu, pending heads %llu, stored blocks %llu, folders %llu, folder refs %llu\n",
        static_cast<unsigned long long>(d.files), static_cast<unsigned long long>(d.pendingHeads),
        static_cast<unsigned long long>(d.storedBlocks), static_cast<unsigned long long>(d.folders),
        static_cast<unsigned long long>(d.folderRefs));
    std::printf("  peak memory so far %.1f MiB\n", PeakMiB());
  }
  {
    CProfessionalNtfsRecovery ntfs(store);
    if (ntfs.Open(ImageVolume(ntfsImage, u'Y')) != 0 || ntfs.StartPass("") != 0) return 1;
    uint64_t records = 0;
    const double catSeconds = CatSeconds(ntfsImage);
    const double passSeconds = Pass(ntfsImage, [&](std::span<const uint8_t> span, uint64_t s) {
      if (!IsPlausibleFileRecord(span, 1024)) return;
      ntfs.TakeFileRecord(span, s);
      ++records;
    });
    const auto t0 = Clock::now();
    const int32_t finished = ntfs.FinishPass();
    Report("deep NTFS engine, 2048 MiB of MFT records", catSeconds, passSeconds, Seconds(t0));
    std::printf(
        "  %llu records taken, %llu listed, %zu known MFTs, %zu folders noted, %llu files turned away, "
        "finish result %d\n",
        static_cast<unsigned long long>(records), static_cast<unsigned long long>(ntfs.GetRecordCount()),
        ntfs.KnownMftCount(), ntfs.FolderCount(), static_cast<unsigned long long>(ntfs.DroppedFiles()),
        finished);
    std::printf("  peak memory so far %.1f MiB\n", PeakMiB());
  }
  fs::remove_all(logs);
  return result;
}
