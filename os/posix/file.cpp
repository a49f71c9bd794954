#include "os/file.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>

#include "os/clock.h"
#include "os/error.h"

namespace snapsave::os {

namespace {
constexpr uint64_t kMaxOffset = static_cast<uint64_t>(LLONG_MAX);
int Fd(intptr_t handle) {
  return static_cast<int>(handle);
}
}  // namespace

void File::Close() {
  if (handle_ != kNoHandle) {
    ::close(Fd(handle_));
    handle_ = kNoHandle;
  }
}

uint32_t File::OpenRead(const std::filesystem::path& path) {
  Close();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return LastWin32Error();
  handle_ = fd;
  return err::kSuccess;
}

uint32_t File::OpenReadUncached(const std::filesystem::path& path, bool& direct) {
  Close();
  direct = false;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECT);
  // Some file systems (tmpfs) refuse direct I/O: read them through the cache.
  if (fd < 0 && errno == EINVAL) return OpenRead(path);
  if (fd < 0) return LastWin32Error();
  handle_ = fd;
  direct = true;
  return err::kSuccess;
}

void File::ForgetCached(uint64_t offset, uint64_t bytes) const {
  if (handle_ == kNoHandle || offset > kMaxOffset || bytes > kMaxOffset) return;
  ::posix_fadvise(Fd(handle_), static_cast<off_t>(offset), static_cast<off_t>(bytes), POSIX_FADV_DONTNEED);
}

uint32_t File::OpenWrite(const std::filesystem::path& path, bool truncate) {
  Close();
  int flags = O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW;
  if (truncate) flags |= O_TRUNC;
  int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) {
    if (errno == ELOOP) return err::kAccessDenied;
    return LastWin32Error(IoDirection::kWrite);
  }
  handle_ = fd;
  return err::kSuccess;
}

uint32_t File::Size(uint64_t& bytes) const {
  bytes = 0;
  if (handle_ == kNoHandle) return err::kInvalidParameter;
  struct stat st {};
  if (::fstat(Fd(handle_), &st) != 0) return LastWin32Error();
  if (S_ISBLK(st.st_mode)) {
    uint64_t length = 0;
    if (::ioctl(Fd(handle_), BLKGETSIZE64, &length) != 0) return LastWin32Error();
    bytes = length;
    return err::kSuccess;
  }
  if (st.st_size < 0) return err::kInvalidParameter;
  bytes = static_cast<uint64_t>(st.st_size);
  return err::kSuccess;
}

uint32_t File::ReadAt(uint64_t offset, std::span<uint8_t> buffer, size_t& got) const {
  got = 0;
  if (handle_ == kNoHandle) return err::kInvalidParameter;
  if (offset > kMaxOffset) return err::kInvalidParameter;
  for (;;) {
    ssize_t n = ::pread(Fd(handle_), buffer.data(), buffer.size(), static_cast<off_t>(offset));
    if (n >= 0) {
      got = static_cast<size_t>(n);
      return err::kSuccess;
    }
    if (errno != EINTR) return LastWin32Error(IoDirection::kRead);
  }
}

uint32_t File::WriteAllAt(uint64_t offset, std::span<const uint8_t> data) const {
  if (handle_ == kNoHandle) return err::kInvalidParameter;
  size_t done = 0;
  while (done < data.size()) {
    if (offset + done > kMaxOffset) return err::kInvalidParameter;
    ssize_t n =
        ::pwrite(Fd(handle_), data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastWin32Error(IoDirection::kWrite);
    }
    if (n == 0) return err::kWriteFault;
    done += static_cast<size_t>(n);
  }
  return err::kSuccess;
}

uint32_t File::Truncate(uint64_t bytes) const {
  if (handle_ == kNoHandle) return err::kInvalidParameter;
  if (bytes > kMaxOffset) return err::kInvalidParameter;
  if (::ftruncate(Fd(handle_), static_cast<off_t>(bytes)) != 0) return LastWin32Error(IoDirection::kWrite);
  return err::kSuccess;
}

uint32_t File::Sync() const {
  if (handle_ == kNoHandle) return err::kInvalidParameter;
  if (::fsync(Fd(handle_)) != 0) return LastWin32Error(IoDirection::kWrite);
  return err::kSuccess;
}

bool StillAt(const File& file, const std::filesystem::path& path) {
  struct stat there {};
  if (::stat(path.c_str(), &there) != 0) return false;
  if (!file.IsOpen()) return true;
  struct stat open {};
  if (::fstat(Fd(file.NativeHandle()), &open) != 0) return false;
  if (S_ISBLK(open.st_mode)) return S_ISBLK(there.st_mode) && there.st_rdev == open.st_rdev;
  return there.st_dev == open.st_dev && there.st_ino == open.st_ino;
}

namespace {

// FILETIME ticks (100 ns since 1601) at the Unix epoch.
constexpr int64_t kUnixEpochTicks = 116444736000000000;

timespec TimespecOfFileTime(uint64_t fileTime) {
  timespec ts{};
  if (fileTime == 0) {
    ts.tv_nsec = UTIME_OMIT;
    return ts;
  }
  const int64_t ticks = static_cast<int64_t>(std::min<uint64_t>(fileTime, INT64_MAX)) - kUnixEpochTicks;
  int64_t seconds = ticks / 10000000;
  int64_t rest = ticks % 10000000;
  if (rest < 0) {
    rest += 10000000;
    --seconds;
  }
  ts.tv_sec = static_cast<time_t>(seconds);
  ts.tv_nsec = static_cast<long>(rest * 100);
  return ts;
}

}  // namespace

uint32_t SetFileTimes(const std::filesystem::path& path, uint64_t writeTime, uint64_t accessTime,
                      uint64_t /*creationTime*/) {
  if (writeTime == 0 && accessTime == 0) return err::kSuccess;
  const timespec times[2] = {TimespecOfFileTime(accessTime), TimespecOfFileTime(writeTime)};
  if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
    return LastWin32Error(IoDirection::kWrite);
  return err::kSuccess;
}

uint64_t UtcOfLocalFileTime(uint64_t localTime) {
  if (localTime == 0) return 0;
  const LocalTime c = CivilTimeOfFileTime(localTime);
  std::tm tm{};
  tm.tm_year = c.year - 1900;
  tm.tm_mon = c.month - 1;
  tm.tm_mday = c.day;
  tm.tm_hour = c.hour;
  tm.tm_min = c.minute;
  tm.tm_sec = c.second;
  tm.tm_isdst = -1;  // the zone's rules say whether summer time held then
  const time_t t = ::mktime(&tm);
  if (t == static_cast<time_t>(-1)) return 0;
  const int64_t ticks = int64_t{t} * 10000000 + kUnixEpochTicks + int64_t{c.millisecond} * 10000;
  return ticks > 0 ? static_cast<uint64_t>(ticks) : 0;
}

uint32_t MoveReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return LastWin32Error(IoDirection::kWrite);
  return err::kSuccess;
}

}  // namespace snapsave::os
