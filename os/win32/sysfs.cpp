#include "os/sysfs.h"

#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <vector>

#include "os/win32/win32_util.h"

namespace snapsave::os {

bool IsRemovableDisk(const std::filesystem::path& device, const std::filesystem::path&) {
  if (!win32::PhysicalDriveNumber(device)) return false;
  win32::Handle h = win32::OpenForQuery(device.wstring());
  if (!h.valid()) return false;
  STORAGE_PROPERTY_QUERY query{};
  query.PropertyId = StorageDeviceProperty;
  query.QueryType = PropertyStandardQuery;
  std::vector<uint8_t> buf(1024);
  DWORD got = 0;
  if (!::DeviceIoControl(h.get(), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, buf.data(),
                         static_cast<DWORD>(buf.size()), &got, nullptr) ||
      got < sizeof(STORAGE_DEVICE_DESCRIPTOR))
    return false;
  STORAGE_DEVICE_DESCRIPTOR d{};
  std::memcpy(&d, buf.data(), sizeof d);
  // Card readers say removable; sticks and external drives often say fixed but sit on USB.
  return d.RemovableMedia || d.BusType == BusTypeUsb || d.BusType == BusTypeSd || d.BusType == BusTypeMmc;
}

}  // namespace snapsave::os
