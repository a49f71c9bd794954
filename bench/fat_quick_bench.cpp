// Quick scan of a FAT32 volume holding 100,000 files in 1,000 folders (3% of the files and 5 folders deleted)
// against The Sleuth Kit's `fls -r -d` over the same image in the same run. The image is laid out here, entry
// by entry (formatting tools take far too long to fill it), and cached under /tmp; file contents are holes
// except for the deleted files, whose first cluster carries a header matching their extension.
//
//   fat_quick_bench [image path]   (default /tmp/snapsave-fat-bench-v1.img)
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "catalog/saved_scan_store.h"
#include "fs/fat/fat_quick_engine.h"
#include "os/paths.h"

namespace {

using namespace snapsave;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kGroups = 10;
constexpr uint32_t kFoldersPerGroup = 100;
constexpr uint32_t kFilesPerFolder = 100;
constexpr uint32_t kSectorSize = 512;
constexpr uint32_t kSectorsPerCluster = 8;
constexpr uint32_t kClusterBytes = kSectorSize * kSectorsPerCluster;
constexpr uint32_t kReserved = 32;
constexpr uint32_t kClusters = 120'000;  // FAT32 needs at least 65,525
constexpr uint32_t kFatSectors = ((kClusters + 2) * 4 + kSectorSize - 1) / kSectorSize;
constexpr uint64_t kTotalSectors = kReserved + 2ull * kFatSectors + uint64_t{kClusters} * kSectorsPerCluster;
constexpr uint32_t kEndOfChain = 0x0FFFFFFF;
constexpr uint16_t kDate = (44u << 9) | (3u << 5) | 14u;  // 2024-03-14
constexpr uint16_t kTime = 12u << 11;

constexpr std::array<const char*, 4> kExtensions = {"txt", "jpg", "pdf", "zip"};

bool FileDeleted(uint32_t n) {
  return (n * 2654435761u >> 16) % 100 < 3;
}
bool FolderDeleted(uint32_t leaf) {
  return leaf % 200 == 7;
}

void Put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  Put16(p, v & 0xFFFF);
  Put16(p + 2, v >> 16);
}

// One folder's entries: long-name pieces, last piece first, then the short entry.
class DirBuilder {
 public:
  DirBuilder() = default;  // the root, which has no dot entries
  DirBuilder(uint32_t self, uint32_t parent) {
    Short(".          ", 0x10, self, 0, false);
    Short("..         ", 0x10, parent, 0, false);
  }

  void Add(const std::string& longName, const std::string& shortName, uint8_t attr, uint32_t cluster,
           uint32_t size, bool deleted) {
    static constexpr std::array<size_t, 13> kOffsets = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    uint8_t sum = 0;
    for (char c : shortName)
      sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + static_cast<uint8_t>(c));
    std::vector<uint16_t> units(longName.begin(), longName.end());
    const size_t pieces = (units.size() + 12) / 13;
    if (units.size() % 13 != 0) units.push_back(0);
    units.resize(pieces * 13, 0xFFFF);
    for (size_t p = pieces; p-- > 0;) {
      std::array<uint8_t, 32> e{};
      e[0] = deleted ? 0xE5 : static_cast<uint8_t>((p + 1) | (p + 1 == pieces ? 0x40 : 0));
      e[11] = 0x0F;
      e[13] = sum;
      for (size_t i = 0; i < 13; ++i) Put16(&e[kOffsets[i]], units[p * 13 + i]);
      Append(e);
    }
    Short(shortName, attr, cluster, size, deleted);
  }

  uint32_t Clusters() const {
    return static_cast<uint32_t>((bytes_.size() + kClusterBytes - 1) / kClusterBytes);
  }
  std::vector<uint8_t> Padded() const {
    std::vector<uint8_t> out(bytes_);
    out.resize(size_t{Clusters()} * kClusterBytes, 0);
    return out;
  }

 private:
  void Append(const std::array<uint8_t, 32>& e) {
    const size_t at = bytes_.size();
    bytes_.resize(at + e.size());
    std::memcpy(bytes_.data() + at, e.data(), e.size());
  }
  void Short(const std::string& name11, uint8_t attr, uint32_t cluster, uint32_t size, bool deleted) {
    std::array<uint8_t, 32> e{};
    std::memcpy(e.data(), name11.data(), 11);
    if (deleted) e[0] = 0xE5;
    e[11] = attr;
    Put16(&e[14], kTime);
    Put16(&e[16], kDate);
    Put16(&e[18], kDate);
    Put16(&e[20], cluster >> 16);
    Put16(&e[22], kTime);
    Put16(&e[24], kDate);
    Put16(&e[26], cluster & 0xFFFF);
    Put32(&e[28], size);
    Append(e);
  }

  std::vector<uint8_t> bytes_;
};

class ImageWriter {
 public:
  explicit ImageWriter(int fd) : fd_(fd), fat_(kClusters + 2, 0) {}

  // `count` consecutive clusters, chained in the table unless the item is deleted (then left free).
  uint32_t Allocate(uint32_t count, bool free) {
    const uint32_t first = next_;
    next_ += count;
    if (!free) {
      for (uint32_t c = first; c < first + count; ++c) fat_[c] = c + 1 == first + count ? kEndOfChain : c + 1;
    }
    return first;
  }
  void Write(uint32_t cluster, const std::vector<uint8_t>& data) {
    Pwrite(data.data(), data.size(),
           (kReserved + 2ull * kFatSectors + uint64_t{cluster - 2} * kSectorsPerCluster) * kSectorSize);
  }
  bool Overflowed() const { return next_ > kClusters + 2; }

  // Boot sector and its backup, the information sector and both tables.
  void Finish() {
    if (::ftruncate(fd_, static_cast<off_t>(kTotalSectors * kSectorSize)) != 0) std::perror("ftruncate");
    std::vector<uint8_t> boot(kSectorSize, 0);
    const std::array<uint8_t, 3> jump = {0xEB, 0x58, 0x90};
    std::memcpy(boot.data(), jump.data(), 3);
    std::memcpy(&boot[3], "MSWIN4.1", 8);
    Put16(&boot[11], kSectorSize);
    boot[13] = kSectorsPerCluster;
    Put16(&boot[14], kReserved);
    boot[16] = 2;
    boot[21] = 0xF8;
    Put16(&boot[24], 32);
    Put16(&boot[26], 64);
    Put32(&boot[32], static_cast<uint32_t>(kTotalSectors));
    Put32(&boot[36], kFatSectors);
    Put32(&boot[44], 2);
    Put16(&boot[48], 1);
    Put16(&boot[50], 6);
    boot[64] = 0x80;
    boot[66] = 0x29;
    Put32(&boot[67], 0x1234ABCD);
    std::memcpy(&boot[71], "BENCH      FAT32   ", 19);
    boot[510] = 0x55;
    boot[511] = 0xAA;
    Pwrite(boot.data(), boot.size(), 0);
    Pwrite(boot.data(), boot.size(), 6 * kSectorSize);
    std::vector<uint8_t> info(kSectorSize, 0);
    Put32(&info[0], 0x41615252);
    Put32(&info[484], 0x61417272);
    Put32(&info[488], 0xFFFFFFFF);
    Put32(&info[492], 0xFFFFFFFF);
    Put32(&info[508], 0xAA550000);
    Pwrite(info.data(), info.size(), kSectorSize);

    fat_[0] = 0x0FFFFFF8;
    fat_[1] = kEndOfChain;
    std::vector<uint8_t> table(size_t{kFatSectors} * kSectorSize, 0);
    for (size_t i = 0; i < fat_.size(); ++i) Put32(&table[i * 4], fat_[i]);
    for (uint64_t copy = 0; copy < 2; ++copy)
      Pwrite(table.data(), table.size(), (kReserved + copy * kFatSectors) * kSectorSize);
  }

 private:
  void Pwrite(const uint8_t* data, size_t size, uint64_t offset) {
    if (::pwrite(fd_, data, size, static_cast<off_t>(offset)) != static_cast<ssize_t>(size))
      std::perror("pwrite");
  }

  int fd_;
  uint32_t next_ = 2;
  std::vector<uint32_t> fat_;
};

std::vector<uint8_t> HeaderFor(const char* ext, uint32_t n) {
  std::vector<uint8_t> h;
  const std::string e = ext;
  if (e == "jpg") {
    h = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J',  'F',  'I',  'F',
         0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00};
  } else if (e == "pdf") {
    const std::string s = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n1 0 obj\n";
    h.assign(s.begin(), s.end());
  } else if (e == "zip") {
    h = {'P', 'K', 0x03, 0x04, 0x14, 0x00, 0x00, 0x00, 0x08, 0x00};
  } else {
    const std::string s = "plain text file " + std::to_string(n) + "\n";
    h.assign(s.begin(), s.end());
  }
  h.resize(kClusterBytes, 0);
  return h;
}

struct Expected {
  uint64_t deletedFiles = 0;
  uint64_t deletedFolders = 0;
  uint64_t filesInDeletedFolders = 0;
};

// Root -> 10 groups -> 100 folders each -> 100 files each. Folders and files are laid out in walk order.
bool BuildImage(const fs::path& path, Expected& expected) {
  const fs::path partial = path.string() + ".partial";
  const int fd = ::open(partial.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  ImageWriter image(fd);
  char shortName[12];
  const uint32_t root = image.Allocate(1, false);
  DirBuilder rootDir;
  uint32_t fileNumber = 0;
  for (uint32_t g = 0; g < kGroups; ++g) {
    const uint32_t groupClusters = (2 + kFoldersPerGroup * 3 + 127) / 128;
    const uint32_t group = image.Allocate(groupClusters, false);
    std::snprintf(shortName, sizeof shortName, "GROUP%03u   ", g);
    rootDir.Add("Group " + std::to_string(g), shortName, 0x10, group, 0, false);
    DirBuilder groupDir(group, 0);
    for (uint32_t f = 0; f < kFoldersPerGroup; ++f) {
      const uint32_t leaf = g * kFoldersPerGroup + f;
      const bool leafDeleted = FolderDeleted(leaf);
      const uint32_t leafClusters = (2 + kFilesPerFolder * 3 + 127) / 128;
      const uint32_t folder = image.Allocate(leafClusters, leafDeleted);
      std::snprintf(shortName, sizeof shortName, "FOLD%04u   ", leaf);
      groupDir.Add("Folder number " + std::to_string(leaf), shortName, 0x10, folder, 0, leafDeleted);
      DirBuilder leafDir(folder, group);
      if (leafDeleted) ++expected.deletedFolders;
      for (uint32_t i = 0; i < kFilesPerFolder; ++i, ++fileNumber) {
        const bool deleted = leafDeleted || FileDeleted(fileNumber);
        const char* ext = kExtensions[fileNumber % kExtensions.size()];
        const uint32_t size = 100 + (fileNumber * 37) % (kClusterBytes - 100);
        const uint32_t cluster = image.Allocate(1, deleted);
        std::snprintf(shortName, sizeof shortName, "D%07u%.3s", fileNumber, ext);
        for (char& c : shortName) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        leafDir.Add("Document " + std::to_string(fileNumber) + "." + ext, shortName, 0x20, cluster, size,
                    deleted);
        if (leafDeleted) {
          ++expected.filesInDeletedFolders;
        } else if (deleted) {
          ++expected.deletedFiles;
        }
        if (deleted) image.Write(cluster, HeaderFor(ext, fileNumber));
      }
      if (leafDir.Clusters() != leafClusters) return false;
      image.Write(folder, leafDir.Padded());
    }
    if (groupDir.Clusters() != groupClusters) return false;
    image.Write(group, groupDir.Padded());
  }
  if (rootDir.Clusters() != 1 || image.Overflowed()) return false;
  image.Write(root, rootDir.Padded());
  image.Finish();
  ::close(fd);
  fs::rename(partial, path);
  return true;
}

double ProcessCpu() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}
double ChildrenCpu() {
  rusage u{};
  ::getrusage(RUSAGE_CHILDREN, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

struct Timing {
  double wall = 1e9;
  double cpu = 1e9;
  uint64_t items = 0;
};

// One fresh quick scan; the catalogue goes to a scratch scan-log folder that is removed afterwards.
Timing QuickScan(const fs::path& image) {
  std::string tmpl = (fs::temp_directory_path() / "snapsave-fat-bench-XXXXXX").string();
  const fs::path scratch = ::mkdtemp(tmpl.data());
  ::setenv("XDG_DATA_HOME", scratch.c_str(), 1);
  Timing t;
  const auto start = Clock::now();
  const double cpu = ProcessCpu();
  {
    SavedScanStore store(os::ScanLogFolder());
    CFastFatRecovery engine(store);
    if (engine.Open(ImageVolume(image, u'F')) != 0 || engine.Scan({}) != 0) {
      std::fprintf(stderr, "quick scan failed\n");
      std::exit(1);
    }
    t.items = engine.GetRecordCount();
  }
  t.wall = Seconds(start);
  t.cpu = ProcessCpu() - cpu;
  std::error_code ec;
  fs::remove_all(scratch, ec);
  return t;
}

Timing Fls(const fs::path& image) {
  const std::string command = "fls -r -d -f fat32 '" + image.string() + "'";
  Timing t;
  const auto start = Clock::now();
  const double cpu = ChildrenCpu();
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) std::exit(1);
  std::array<char, 1 << 16> buffer;
  size_t got = 0;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
    t.items +=
        static_cast<uint64_t>(std::count(buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(got), '\n'));
  if (::pclose(pipe) != 0) {
    std::fprintf(stderr, "fls failed\n");
    std::exit(1);
  }
  t.wall = Seconds(start);
  t.cpu = ChildrenCpu() - cpu;
  return t;
}

void Keep(Timing& best, const Timing& t) {
  best.wall = std::min(best.wall, t.wall);
  best.cpu = std::min(best.cpu, t.cpu);
  best.items = t.items;
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path image =
      argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / "snapsave-fat-bench-v1.img";
  Expected expected;
  if (!fs::exists(image)) {
    const auto start = Clock::now();
    if (!BuildImage(image, expected)) {
      std::fprintf(stderr, "could not build %s\n", image.c_str());
      return 1;
    }
    std::printf("built %s in %.1f s: %llu deleted files, %llu deleted folders holding %llu files\n",
                image.c_str(), Seconds(start), static_cast<unsigned long long>(expected.deletedFiles),
                static_cast<unsigned long long>(expected.deletedFolders),
                static_cast<unsigned long long>(expected.filesInDeletedFolders));
  }
  std::printf("image %s, %.0f MB, %u files in %u folders\n", image.c_str(),
              static_cast<double>(fs::file_size(image)) / 1e6, kGroups * kFoldersPerGroup * kFilesPerFolder,
              kGroups * kFoldersPerGroup);

  // Interleaved rounds, best of each: the machine is shared, and the first round warms the page cache.
  constexpr int kRounds = 5;
  Timing scan;
  Timing fls;
  for (int round = 0; round < kRounds; ++round) {
    Keep(scan, QuickScan(image));
    Keep(fls, Fls(image));
  }
  rusage self{};
  rusage children{};
  ::getrusage(RUSAGE_SELF, &self);
  ::getrusage(RUSAGE_CHILDREN, &children);
  std::printf("quick scan: wall %.3f s, cpu %.3f s, %llu records, peak RSS %ld KiB\n", scan.wall, scan.cpu,
              static_cast<unsigned long long>(scan.items), self.ru_maxrss);
  std::printf("fls -r -d:  wall %.3f s, cpu %.3f s, %llu lines, peak RSS %ld KiB\n", fls.wall, fls.cpu,
              static_cast<unsigned long long>(fls.items), children.ru_maxrss);
  std::printf("ratio fls/quick scan: wall %.2f, cpu %.2f (above 1: the quick scan is faster)\n",
              fls.wall / scan.wall, fls.cpu / scan.cpu);
  return 0;
}
