// Helpers the Windows side of `os` shares: wide paths, owned handles, device queries.
#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace snapsave::os::win32 {

// A HANDLE closed on destruction.
class Handle {
 public:
  explicit Handle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
  ~Handle() {
    if (valid()) ::CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

// The path as CreateFileW takes it: absolute paths get the "\\?\" prefix so that they may pass MAX_PATH;
// device and volume names ("\\.\PhysicalDrive0", "\\?\Volume{...}") are left as they are.
std::wstring LongPath(const std::filesystem::path& path);

std::string Utf8(const std::wstring& wide);

// Opens a disk or volume for IOCTL queries only: no read or write access is asked for.
Handle OpenForQuery(const std::wstring& device);

// DeviceIoControl into a buffer grown until the answer fits (up to 1 MiB).
bool Query(HANDLE device, DWORD code, std::vector<uint8_t>& out);

// N of "\\.\PhysicalDriveN".
std::optional<uint32_t> PhysicalDriveNumber(const std::filesystem::path& device);

// One mounted volume: its GUID name ("\\?\Volume{...}\"), where it sits and where it is mounted.
struct VolumePlace {
  std::wstring name;
  uint32_t disk = 0;
  uint64_t startBytes = 0;
  uint64_t lengthBytes = 0;
  bool spansDisks = false;
  std::wstring mountPath;  // "E:\" or a folder; empty when the volume is not mounted
};
std::vector<VolumePlace> MountedVolumes();

// The logical sector size of a physical drive (512 when it cannot be read).
uint32_t SectorSizeOfDisk(uint32_t disk);

}  // namespace snapsave::os::win32
