#include "os/file.h"

#include <system_error>

#include "os/error.h"

namespace snapsave::os {

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = kNoHandle;
  }
  return *this;
}

uint32_t File::ReadFullAt(uint64_t offset, std::span<uint8_t> buffer, size_t& got) const {
  got = 0;
  while (got < buffer.size()) {
    size_t n = 0;
    uint32_t e = ReadAt(offset + got, buffer.subspan(got), n);
    if (e != err::kSuccess) return e;
    if (n == 0) break;
    got += n;
  }
  return err::kSuccess;
}

uint32_t ReplaceFile(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
  std::filesystem::path tmp = path;
  tmp += ".tmp";
  uint32_t e = err::kSuccess;
  {
    File file;
    e = file.OpenWrite(tmp, true);
    if (e == err::kSuccess) e = file.WriteAllAt(0, bytes);
    if (e == err::kSuccess) e = file.Sync();
  }
  if (e != err::kSuccess) {
    std::error_code ec;
    std::filesystem::remove(tmp, ec);
    return e;
  }
  return MoveReplacing(tmp, path);
}

}  // namespace snapsave::os
