#include "os/file.h"

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <vector>

#include "os/error.h"
#include "os/win32/win32_util.h"

namespace snapsave::os {

namespace {

HANDLE H(intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

// ReadFile and WriteFile take 32-bit counts.
constexpr size_t kMaxTransfer = size_t{1} << 30;

OVERLAPPED At(uint64_t offset) {
  OVERLAPPED o{};
  o.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
  o.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return o;
}

bool IsReparsePoint(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION info{};
  return ::GetFileInformationByHandle(h, &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace

void File::Close() {
  if (handle_ != kNoHandle) {
    ::CloseHandle(H(handle_));
    handle_ = kNoHandle;
  }
}

uint32_t File::OpenRead(const std::filesystem::path& path) {
  Close();
  // Read access only; others may go on reading and writing the disk or file while it is scanned, and a file
  // read here may be replaced by its new copy (a catalogue rewritten) as on POSIX.
  HANDLE h = ::CreateFileW(win32::LongPath(path).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return ::GetLastError();
  handle_ = reinterpret_cast<intptr_t>(h);
  return err::kSuccess;
}

uint32_t File::OpenReadUncached(const std::filesystem::path& path, bool& direct) {
  // A disk opened by its device is read past the cache already; files go through it.
  direct = false;
  return OpenRead(path);
}

void File::ForgetCached(uint64_t, uint64_t) const {
  // Disks opened by their device are read past the cache already.
}

uint32_t File::OpenWrite(const std::filesystem::path& path, bool truncate) {
  Close();
  // The link itself is opened, then refused: a recovered file never goes where a planted link points. Others
  // may open, rename or delete it meanwhile, as on POSIX (a catalogue's temporary file is renamed still open,
  // and a second scan opens the catalogues the first one holds).
  HANDLE h = ::CreateFileW(win32::LongPath(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return ::GetLastError();
  handle_ = reinterpret_cast<intptr_t>(h);
  if (IsReparsePoint(h)) {
    Close();
    return err::kAccessDenied;
  }
  if (truncate) {
    if (const uint32_t e = Truncate(0); e != err::kSuccess) {
      Close();
      return e;
    }
  }
  return err::kSuccess;
}

uint32_t File::Size(uint64_t& bytes) const {
  bytes = 0;
  if (handle_ == kNoHandle) return err::kInvalidParameter;
  if (::GetFileType(H(handle_)) == FILE_TYPE_DISK) {
    LARGE_INTEGER size{};
    if (::GetFileSizeEx(H(handle_), &size) && size.QuadPart > 0) {
      bytes = static_cast<uint64_t>(size.QuadPart);
      return err::kSuccess;
    }
  }
  // A disk or volume: its length, not a file size.
  GET_LENGTH_INFORMATION length{};
  DWORD got = 0;
  if (::DeviceIoControl(H(handle_), IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length, &got,
                        nullptr)) {
    bytes = static_cast<uint64_t>(length.Length.QuadPart);
    return err::kSuccess;
  }
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(H(handle_), &size)) return ::GetLastError();
  bytes = static_cast<uint64_t>(size.QuadPart);
  return err::kSuccess;
}

uint32_t File::ReadAt(uint64_t offset, std::span<uint8_t> buffer, size_t& got) const {
  got = 0;
  if (handle_ == kNoHandle) return err::kInvalidParameter;
  if (offset > static_cast<uint64_t>(INT64_MAX)) return err::kInvalidParameter;
  OVERLAPPED o = At(offset);
  DWORD n = 0;
  const auto want = static_cast<DWORD>(std::min(buffer.size(), kMaxTransfer));
  if (!::ReadFile(H(handle_), buffer.data(), want, &n, &o)) {
    const DWORD e = ::GetLastError();
    if (e == ERROR_HANDLE_EOF) return err::kSuccess;
    return e;
  }
  got = n;
  return err::kSuccess;
}

uint32_t File::WriteAllAt(uint64_t offset, std::span<const uint8_t> data) const {
  if (handle_ == kNoHandle) return err::kInvalidParameter;
  size_t done = 0;
  while (done < data.size()) {
    if (offset + done > static_cast<uint64_t>(INT64_MAX)) return err::kInvalidParameter;
    OVERLAPPED o = At(offset + done);
    DWORD n = 0;
    const auto want = static_cast<DWORD>(std::min(data.size() - done, kMaxTransfer));
    if (!::WriteFile(H(handle_), data.data() + done, want, &n, &o)) return ::GetLastError();
    if (n == 0) return err::kWriteFault;
    done += n;
  }
  return err::kSuccess;
}

uint32_t File::Truncate(uint64_t bytes) const {
  if (handle_ == kNoHandle) return err::kInvalidParameter;
  if (bytes > static_cast<uint64_t>(INT64_MAX)) return err::kInvalidParameter;
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(bytes);
  if (!::SetFileInformationByHandle(H(handle_), FileEndOfFileInfo, &end, sizeof end)) return ::GetLastError();
  return err::kSuccess;
}

uint32_t File::Sync() const {
  if (handle_ == kNoHandle) return err::kInvalidParameter;
  if (!::FlushFileBuffers(H(handle_))) return ::GetLastError();
  return err::kSuccess;
}

bool StillAt(const File& file, const std::filesystem::path& path) {
  const std::wstring name = win32::LongPath(path);
  win32::Handle there(::CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!there.valid()) return false;
  if (!file.IsOpen()) return true;
  BY_HANDLE_FILE_INFORMATION a{}, b{};
  // A disk has no file identity; that its name still opens is what can be known.
  if (!::GetFileInformationByHandle(H(file.NativeHandle()), &a)) return true;
  if (!::GetFileInformationByHandle(there.get(), &b)) return false;
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

uint32_t SetFileTimes(const std::filesystem::path& path, uint64_t writeTime, uint64_t accessTime,
                      uint64_t creationTime) {
  if (writeTime == 0 && accessTime == 0 && creationTime == 0) return err::kSuccess;
  HANDLE h = ::CreateFileW(win32::LongPath(path).c_str(), FILE_WRITE_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return ::GetLastError();
  auto ft = [](uint64_t t) {
    FILETIME f{};
    f.dwLowDateTime = static_cast<DWORD>(t);
    f.dwHighDateTime = static_cast<DWORD>(t >> 32);
    return f;
  };
  const FILETIME w = ft(writeTime), a = ft(accessTime), c = ft(creationTime);
  const BOOL ok = ::SetFileTime(h, creationTime != 0 ? &c : nullptr, accessTime != 0 ? &a : nullptr,
                                writeTime != 0 ? &w : nullptr);
  const DWORD e = ok ? 0 : ::GetLastError();
  ::CloseHandle(h);
  return ok ? err::kSuccess : e;
}

uint64_t UtcOfLocalFileTime(uint64_t localTime) {
  if (localTime == 0) return 0;
  FILETIME local{static_cast<DWORD>(localTime), static_cast<DWORD>(localTime >> 32)};
  SYSTEMTIME localClock{}, utcClock{};
  FILETIME utc{};
  if (!::FileTimeToSystemTime(&local, &localClock) ||
      !::TzSpecificLocalTimeToSystemTime(nullptr, &localClock, &utcClock) ||
      !::SystemTimeToFileTime(&utcClock, &utc))
    return 0;
  return (uint64_t{utc.dwHighDateTime} << 32) | utc.dwLowDateTime;
}

uint32_t MoveReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (!::MoveFileExW(win32::LongPath(from).c_str(), win32::LongPath(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return ::GetLastError();
  return err::kSuccess;
}

}  // namespace snapsave::os
