// An in-memory image for fuzz targets: the data lives in an anonymous memory file, so it is opened and read
// through the same read-only path as a real image.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>

namespace snapsave::fuzz {

class MemoryImage {
 public:
  MemoryImage(const uint8_t* data, size_t size) {
    fd_ = ::memfd_create("snapsave-fuzz", MFD_CLOEXEC);
    if (fd_ < 0) return;
    size_t done = 0;
    while (done < size) {
      ssize_t n = ::write(fd_, data + done, size - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
  }
  ~MemoryImage() {
    if (fd_ >= 0) ::close(fd_);
  }
  MemoryImage(const MemoryImage&) = delete;
  MemoryImage& operator=(const MemoryImage&) = delete;

  bool ok() const { return fd_ >= 0; }
  std::filesystem::path path() const { return "/proc/self/fd/" + std::to_string(fd_); }

 private:
  int fd_ = -1;
};

}  // namespace snapsave::fuzz
