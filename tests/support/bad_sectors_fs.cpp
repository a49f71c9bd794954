// A FUSE file system for the tests and benchmarks: a failing disk. One read-only file, "disk.img", with the
// bytes of a backing file, except that any read touching a listed sector fails with EIO, as a failing disk's
// would. Reads bypass the page cache (direct I/O) unless --page-cache is given, when the kernel reads pages
// and reads ahead as it does for a block device opened without O_DIRECT.
//   bad_sectors_fs BACKING MOUNTPOINT SECTORS [DELAY_US [RATE_MBPS]] [options]
//     SECTORS         "100-107,5000,9000-9999" or "-"
//     DELAY_US        each request waits this long first
//     RATE_MBPS       and as long again as the bytes take at this rate
//   --parallel        serve requests on several threads (a device with many in flight); else one at a time
//   --die-after-ms N  every read fails from N ms after the first one (a card that died for good)
//   --die-after-bytes N  every read fails once N bytes were served
//   --page-cache      let the kernel cache and read ahead
// A second file, "stats", reads as "reads R\nfailed F\nbytes B\n": the requests served so far.
// Runs in the foreground until unmounted (fusermount3 -u MOUNTPOINT).
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

int backing = -1;
off_t backingSize = 0;
std::vector<std::pair<uint64_t, uint64_t>> bad;  // inclusive sector ranges
useconds_t delay = 0;
double rate = 0;  // MB/s; 0 for no limit
int64_t dieAfterMs = -1;
int64_t dieAfterBytes = -1;
bool pageCache = false;
std::atomic<int64_t> firstReadMs{-1};
std::atomic<uint64_t> reads{0}, failed{0}, bytes{0};
constexpr const char* kName = "/disk.img";
constexpr const char* kStats = "/stats";
constexpr size_t kStatsBytes = 96;

int64_t NowMs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t{t.tv_sec} * 1000 + t.tv_nsec / 1000000;
}

bool Touches(uint64_t offset, size_t size) {
  if (size == 0) return false;
  const uint64_t first = offset / 512, last = (offset + size - 1) / 512;
  for (const auto& [lo, hi] : bad) {
    if (first <= hi && last >= lo) return true;
  }
  return false;
}

bool Dead() {
  if (dieAfterBytes >= 0 && bytes.load() >= static_cast<uint64_t>(dieAfterBytes)) return true;
  if (dieAfterMs < 0) return false;
  int64_t expected = -1;
  const int64_t now = NowMs();
  firstReadMs.compare_exchange_strong(expected, now);
  return now - firstReadMs.load() >= dieAfterMs;
}

std::string StatsText() {
  std::string text = "reads " + std::to_string(reads.load()) + "\nfailed " + std::to_string(failed.load()) +
                     "\nbytes " + std::to_string(bytes.load()) + "\n";
  text.resize(kStatsBytes, ' ');
  return text;
}

int GetAttr(const char* path, struct stat* st, struct fuse_file_info*) {
  std::memset(st, 0, sizeof *st);
  if (std::strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0555;
    st->st_nlink = 2;
    return 0;
  }
  st->st_mode = S_IFREG | 0444;
  st->st_nlink = 1;
  if (std::strcmp(path, kName) == 0) {
    st->st_size = backingSize;
  } else if (std::strcmp(path, kStats) == 0) {
    st->st_size = kStatsBytes;
  } else {
    return -ENOENT;
  }
  return 0;
}

int ReadDir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, struct fuse_file_info*,
            enum fuse_readdir_flags) {
  if (std::strcmp(path, "/") != 0) return -ENOENT;
  fill(buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buffer, kName + 1, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buffer, kStats + 1, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  return 0;
}

int Open(const char* path, struct fuse_file_info* fi) {
  if (std::strcmp(path, kName) != 0 && std::strcmp(path, kStats) != 0) return -ENOENT;
  if ((fi->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
  fi->direct_io = pageCache && std::strcmp(path, kName) == 0 ? 0 : 1;
  return 0;
}

int Read(const char* path, char* buffer, size_t size, off_t offset, struct fuse_file_info*) {
  if (std::strcmp(path, kStats) == 0) {
    const std::string text = StatsText();
    if (offset < 0 || static_cast<size_t>(offset) >= text.size()) return 0;
    const size_t n = std::min(size, text.size() - static_cast<size_t>(offset));
    std::memcpy(buffer, text.data() + offset, n);
    return static_cast<int>(n);
  }
  if (std::strcmp(path, kName) != 0) return -ENOENT;
  reads.fetch_add(1);
  if (delay != 0) ::usleep(delay);
  if (rate > 0) ::usleep(static_cast<useconds_t>(static_cast<double>(size) / rate));  // bytes / (MB/s) = us
  if (Dead() || Touches(static_cast<uint64_t>(offset), size)) {
    failed.fetch_add(1);
    return -EIO;
  }
  const ssize_t n = ::pread(backing, buffer, size, offset);
  if (n < 0) return -errno;
  bytes.fetch_add(static_cast<uint64_t>(n));
  return static_cast<int>(n);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> positional;
  bool parallel = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--parallel") == 0) {
      parallel = true;
    } else if (std::strcmp(argv[i], "--page-cache") == 0) {
      pageCache = true;
    } else if (std::strcmp(argv[i], "--die-after-bytes") == 0 && i + 1 < argc) {
      dieAfterBytes = std::strtoll(argv[++i], nullptr, 10);
    } else if (std::strcmp(argv[i], "--die-after-ms") == 0 && i + 1 < argc) {
      dieAfterMs = std::strtoll(argv[++i], nullptr, 10);
    } else {
      positional.push_back(argv[i]);
    }
  }
  if (positional.size() < 3) {
    std::fprintf(stderr,
                 "usage: %s BACKING MOUNTPOINT SECTORS [DELAY_US [RATE_MBPS]] [--parallel] "
                 "[--die-after-ms N] [--die-after-bytes N] [--page-cache]\n",
                 argv[0]);
    return 2;
  }
  backing = ::open(positional[0], O_RDONLY);
  if (backing < 0) return 1;
  backingSize = ::lseek(backing, 0, SEEK_END);
  if (std::strcmp(positional[2], "-") != 0) {
    std::istringstream list(positional[2]);
    for (std::string item; std::getline(list, item, ',');) {
      const size_t dash = item.find('-');
      const uint64_t lo = std::stoull(item.substr(0, dash));
      bad.emplace_back(lo, dash == std::string::npos ? lo : std::stoull(item.substr(dash + 1)));
    }
  }
  if (positional.size() > 3) delay = static_cast<useconds_t>(std::strtoul(positional[3], nullptr, 10));
  if (positional.size() > 4) rate = std::strtod(positional[4], nullptr);
  struct fuse_operations ops {};
  ops.getattr = GetAttr;
  ops.readdir = ReadDir;
  ops.open = Open;
  ops.read = Read;
  char foreground[] = "-f", single[] = "-s";
  std::vector<char*> fuseArgs = {argv[0], positional[1], foreground};
  if (!parallel) fuseArgs.push_back(single);
  return fuse_main(static_cast<int>(fuseArgs.size()), fuseArgs.data(), &ops, nullptr);
}
