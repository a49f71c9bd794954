#include "os/win32/win32_util.h"

#include <winioctl.h>

#include <cstring>
#include <cwctype>

namespace snapsave::os::win32 {

std::wstring LongPath(const std::filesystem::path& path) {
  std::wstring p = path.wstring();
  for (wchar_t& c : p) {
    if (c == L'/') c = L'\\';
  }
  if (p.rfind(L"\\\\", 0) == 0) return p;  // already a device, volume or "\\?\" path
  std::error_code ec;
  std::wstring absolute = std::filesystem::absolute(path, ec).wstring();
  if (ec) return p;
  for (wchar_t& c : absolute) {
    if (c == L'/') c = L'\\';
  }
  if (absolute.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + absolute.substr(2);
  if (absolute.size() >= 2 && absolute[1] == L':') return L"\\\\?\\" + absolute;
  return p;
}

std::string Utf8(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                      nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr,
                        nullptr);
  return out;
}

Handle OpenForQuery(const std::wstring& device) {
  return Handle(::CreateFileW(device.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr));
}

bool Query(HANDLE device, DWORD code, std::vector<uint8_t>& out) {
  for (size_t size = 4096; size <= (size_t{1} << 20); size *= 4) {
    out.assign(size, 0);
    DWORD got = 0;
    if (::DeviceIoControl(device, code, nullptr, 0, out.data(), static_cast<DWORD>(out.size()), &got,
                          nullptr)) {
      out.resize(got);
      return true;
    }
    const DWORD e = ::GetLastError();
    if (e != ERROR_INSUFFICIENT_BUFFER && e != ERROR_MORE_DATA) return false;
  }
  return false;
}

std::optional<uint32_t> PhysicalDriveNumber(const std::filesystem::path& device) {
  const std::wstring p = device.wstring();
  static const std::wstring kPrefix = L"\\\\.\\PhysicalDrive";
  if (p.size() <= kPrefix.size() || _wcsnicmp(p.c_str(), kPrefix.c_str(), kPrefix.size()) != 0)
    return std::nullopt;
  uint32_t n = 0;
  for (size_t i = kPrefix.size(); i < p.size(); ++i) {
    if (!std::iswdigit(p[i]) || n > 100000) return std::nullopt;
    n = n * 10 + static_cast<uint32_t>(p[i] - L'0');
  }
  return n;
}

std::vector<VolumePlace> MountedVolumes() {
  std::vector<VolumePlace> out;
  wchar_t name[MAX_PATH + 1] = {};
  HANDLE find = ::FindFirstVolumeW(name, MAX_PATH);
  if (find == INVALID_HANDLE_VALUE) return out;
  do {
    VolumePlace v;
    v.name = name;
    // The volume itself is named without the trailing backslash.
    std::wstring device = v.name;
    if (!device.empty() && device.back() == L'\\') device.pop_back();
    Handle h = OpenForQuery(device);
    std::vector<uint8_t> buf;
    if (!h.valid() || !Query(h.get(), IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, buf) ||
        buf.size() < sizeof(VOLUME_DISK_EXTENTS))
      continue;
    VOLUME_DISK_EXTENTS extents{};
    std::memcpy(&extents, buf.data(), sizeof extents);
    if (extents.NumberOfDiskExtents == 0) continue;
    v.disk = extents.Extents[0].DiskNumber;
    v.startBytes = static_cast<uint64_t>(extents.Extents[0].StartingOffset.QuadPart);
    v.lengthBytes = static_cast<uint64_t>(extents.Extents[0].ExtentLength.QuadPart);
    v.spansDisks = extents.NumberOfDiskExtents > 1;
    std::vector<wchar_t> paths(1024, L'\0');
    DWORD length = 0;
    if (::GetVolumePathNamesForVolumeNameW(v.name.c_str(), paths.data(), static_cast<DWORD>(paths.size()),
                                           &length) &&
        paths[0] != L'\0')
      v.mountPath = paths.data();  // the first of the list; a drive letter comes first when there is one
    out.push_back(std::move(v));
  } while (::FindNextVolumeW(find, name, MAX_PATH));
  ::FindVolumeClose(find);
  return out;
}

uint32_t SectorSizeOfDisk(uint32_t disk) {
  Handle h = OpenForQuery(L"\\\\.\\PhysicalDrive" + std::to_wstring(disk));
  std::vector<uint8_t> buf;
  if (!h.valid() || !Query(h.get(), IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, buf) ||
      buf.size() < sizeof(DISK_GEOMETRY))
    return 512;
  DISK_GEOMETRY geometry{};
  std::memcpy(&geometry, buf.data(), sizeof geometry);
  return geometry.BytesPerSector != 0 ? geometry.BytesPerSector : 512;
}

}  // namespace snapsave::os::win32
