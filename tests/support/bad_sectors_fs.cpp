// A FUSE file system for the tests: one read-only file, "disk.img", with the bytes of a backing file except
// that any read touching a listed sector fails with EIO, as a failing disk's would. Reads bypass the page
// cache (direct I/O), so every read of the program under test reaches this one. Optionally slow: each read
// waits the given microseconds, so that a copy can be stopped half-way.
//   bad_sectors_fs BACKING MOUNTPOINT SECTORS [DELAY_US]     SECTORS: "100-107,5000,9000-9999" or "-"
// Runs in the foreground until unmounted (fusermount3 -u MOUNTPOINT).
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
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
constexpr const char* kName = "/disk.img";

bool Touches(uint64_t offset, size_t size) {
  if (size == 0) return false;
  const uint64_t first = offset / 512, last = (offset + size - 1) / 512;
  for (const auto& [lo, hi] : bad) {
    if (first <= hi && last >= lo) return true;
  }
  return false;
}

int GetAttr(const char* path, struct stat* st, struct fuse_file_info*) {
  std::memset(st, 0, sizeof *st);
  if (std::strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0555;
    st->st_nlink = 2;
    return 0;
  }
  if (std::strcmp(path, kName) != 0) return -ENOENT;
  st->st_mode = S_IFREG | 0444;
  st->st_nlink = 1;
  st->st_size = backingSize;
  return 0;
}

int ReadDir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, struct fuse_file_info*,
            enum fuse_readdir_flags) {
  if (std::strcmp(path, "/") != 0) return -ENOENT;
  fill(buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buffer, kName + 1, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  return 0;
}

int Open(const char* path, struct fuse_file_info* fi) {
  if (std::strcmp(path, kName) != 0) return -ENOENT;
  if ((fi->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
  fi->direct_io = 1;
  return 0;
}

int Read(const char* path, char* buffer, size_t size, off_t offset, struct fuse_file_info*) {
  if (std::strcmp(path, kName) != 0) return -ENOENT;
  if (delay != 0) ::usleep(delay);
  if (rate > 0) ::usleep(static_cast<useconds_t>(static_cast<double>(size) / rate));  // bytes / (MB/s) = us
  if (Touches(static_cast<uint64_t>(offset), size)) return -EIO;
  const ssize_t n = ::pread(backing, buffer, size, offset);
  return n < 0 ? -errno : static_cast<int>(n);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s BACKING MOUNTPOINT SECTORS [DELAY_US [RATE_MBPS]]\n", argv[0]);
    return 2;
  }
  backing = ::open(argv[1], O_RDONLY);
  if (backing < 0) return 1;
  backingSize = ::lseek(backing, 0, SEEK_END);
  if (std::strcmp(argv[3], "-") != 0) {
    std::istringstream list(argv[3]);
    for (std::string item; std::getline(list, item, ',');) {
      const size_t dash = item.find('-');
      const uint64_t lo = std::stoull(item.substr(0, dash));
      bad.emplace_back(lo, dash == std::string::npos ? lo : std::stoull(item.substr(dash + 1)));
    }
  }
  if (argc > 4) delay = static_cast<useconds_t>(std::strtoul(argv[4], nullptr, 10));
  if (argc > 5) rate = std::strtod(argv[5], nullptr);
  struct fuse_operations ops {};
  ops.getattr = GetAttr;
  ops.readdir = ReadDir;
  ops.open = Open;
  ops.read = Read;
  char foreground[] = "-f", single[] = "-s";
  char* fuseArgs[] = {argv[0], argv[2], foreground, single, nullptr};
  return fuse_main(4, fuseArgs, &ops, nullptr);
}
