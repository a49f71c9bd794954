// The running Windows system's disks and volumes: the physical drives' geometry and partition layout, and the
// mounted volumes found through their disk extents, with their drive letters, file systems and free space.
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "os/device.h"
#include "os/win32/win32_util.h"
#include "storage/disk_list.h"

namespace snapsave {

namespace fs = std::filesystem;
namespace win32 = os::win32;

namespace {

std::string GuidText(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
                g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

void ReadGeometry(HANDLE disk, DiskFacts& out) {
  std::vector<uint8_t> buf;
  if (!win32::Query(disk, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, buf) ||
      buf.size() < offsetof(DISK_GEOMETRY_EX, DiskSize) + sizeof(LARGE_INTEGER)) {
    out.geometryKnown = false;
    return;
  }
  DISK_GEOMETRY_EX g{};
  std::memcpy(&g, buf.data(), std::min(buf.size(), sizeof g));
  if (g.Geometry.BytesPerSector == 0) {
    out.geometryKnown = false;
    return;
  }
  out.bytesPerSector = g.Geometry.BytesPerSector;
  if (g.Geometry.TracksPerCylinder != 0 && g.Geometry.SectorsPerTrack != 0) {
    out.tracksPerCylinder = g.Geometry.TracksPerCylinder;
    out.sectorsPerTrack = g.Geometry.SectorsPerTrack;
  }
  const auto bytes = static_cast<uint64_t>(g.DiskSize.QuadPart);
  out.exactSectors = bytes / out.bytesPerSector;
  out.cylinders = bytes / out.bytesPerSector / (uint64_t{out.tracksPerCylinder} * out.sectorsPerTrack);
}

void ReadPartitions(HANDLE disk, uint32_t driveNumber, DiskFacts& out) {
  std::vector<uint8_t> buf;
  if (!win32::Query(disk, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, buf) ||
      buf.size() < offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry))
    return;
  DRIVE_LAYOUT_INFORMATION_EX head{};
  std::memcpy(&head, buf.data(), offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry));
  const size_t first = offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry);
  for (DWORD i = 0; i < head.PartitionCount; ++i) {
    const size_t at = first + i * sizeof(PARTITION_INFORMATION_EX);
    if (at + sizeof(PARTITION_INFORMATION_EX) > buf.size()) break;
    PARTITION_INFORMATION_EX e{};
    std::memcpy(&e, buf.data() + at, sizeof e);
    if (e.PartitionLength.QuadPart <= 0 || e.PartitionNumber == 0) continue;  // unused slots, containers
    PartitionFacts p;
    p.partitionNumber = static_cast<int32_t>(e.PartitionNumber);
    p.startBytes = static_cast<uint64_t>(e.StartingOffset.QuadPart);
    p.lengthBytes = static_cast<uint64_t>(e.PartitionLength.QuadPart);
    if (e.PartitionStyle == PARTITION_STYLE_MBR) {
      if (e.Mbr.PartitionType == PARTITION_EXTENDED || e.Mbr.PartitionType == PARTITION_XINT13_EXTENDED)
        continue;
      p.typeByte = e.Mbr.PartitionType;
    } else if (e.PartitionStyle == PARTITION_STYLE_GPT) {
      p.typeByte = disk_list_detail::PartitionTypeByte(GuidText(e.Gpt.PartitionType));
    }
    p.devicePath = "\\\\?\\GLOBALROOT\\Device\\Harddisk" + std::to_string(driveNumber) + "\\Partition" +
                   std::to_string(e.PartitionNumber);
    out.partitions.push_back(std::move(p));
  }
}

// File system, label, drive letter and free space of the mounted volumes on this disk.
void ReadVolumes(uint32_t driveNumber, const std::vector<win32::VolumePlace>& volumes, DiskFacts& out) {
  for (PartitionFacts& p : out.partitions) {
    for (const win32::VolumePlace& v : volumes) {
      if (v.disk != driveNumber || v.startBytes != p.startBytes || v.spansDisks) continue;
      wchar_t label[MAX_PATH + 1] = {}, fileSystem[MAX_PATH + 1] = {};
      if (::GetVolumeInformationW(v.name.c_str(), label, MAX_PATH, nullptr, nullptr, nullptr, fileSystem,
                                  MAX_PATH)) {
        p.fileSystemName = disk_list_detail::FileSystemName(win32::Utf8(fileSystem), win32::Utf8(fileSystem));
        p.label = win32::Utf8(label);
      }
      if (!v.mountPath.empty()) {
        p.mountPoint = win32::Utf8(v.mountPath);
        if (v.mountPath.size() == 3 && v.mountPath[1] == L':')
          p.devicePath = "\\\\.\\" + p.mountPoint.substr(0, 2);
        ULARGE_INTEGER available{}, total{};
        if (::GetDiskFreeSpaceExW(v.mountPath.c_str(), &available, &total, nullptr)) {
          p.totalBytes = total.QuadPart;
          p.freeBytes = available.QuadPart;
        }
      }
    }
  }
}

class SystemDiskFacts final : public DiskFactSource {
 public:
  explicit SystemDiskFacts(const os::DiskTable& disks) : disks_(disks) {}
  bool Collect(std::vector<DiskFacts>& out) override {
    const std::vector<win32::VolumePlace> volumes = win32::MountedVolumes();
    const std::vector<fs::path> disks = disks_.List();
    for (size_t n = 0; n < disks.size(); ++n) {
      DiskFacts disk;
      disk.diskNumber = static_cast<int32_t>(n);
      disk.devicePath = disks[n].string();
      const std::optional<uint32_t> drive = win32::PhysicalDriveNumber(disks[n]);
      // Geometry and layout are answered without read rights; reading the disk later needs them.
      win32::Handle h = win32::OpenForQuery(disks[n].wstring());
      if (!drive || !h.valid()) {
        disk.geometryKnown = false;
        out.push_back(std::move(disk));
        continue;
      }
      ReadGeometry(h.get(), disk);
      ReadPartitions(h.get(), *drive, disk);
      ReadVolumes(*drive, volumes, disk);
      std::sort(disk.partitions.begin(), disk.partitions.end(),
                [](const PartitionFacts& a, const PartitionFacts& b) { return a.startBytes < b.startBytes; });
      out.push_back(std::move(disk));
    }
    return true;
  }

 private:
  const os::DiskTable& disks_;
};

}  // namespace

std::unique_ptr<DiskFactSource> MakeSystemDiskFacts(const os::DiskTable& disks) {
  return std::make_unique<SystemDiskFacts>(disks);
}

}  // namespace snapsave
