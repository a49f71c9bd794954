// The running Linux system's disks and volumes: sysfs, libblkid, udev, mountinfo.
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <system_error>

#include <blkid/blkid.h>

#include "os/device.h"
#include "os/error.h"
#include "os/file.h"
#include "os/sysfs.h"
#include "os/volume_space.h"
#include "storage/disk_list.h"

namespace snapsave {

namespace fs = std::filesystem;

namespace {

struct Probe {
  std::string type, version, label, entryType;
};

// libblkid on the device itself; needs read access (root or the disk group).
bool ProbeWithBlkid(const fs::path& device, Probe& out) {
  blkid_probe pr = blkid_new_probe_from_filename(device.c_str());
  if (pr == nullptr) return false;
  blkid_probe_enable_superblocks(pr, 1);
  blkid_probe_set_superblocks_flags(pr, BLKID_SUBLKS_TYPE | BLKID_SUBLKS_LABEL | BLKID_SUBLKS_VERSION);
  blkid_probe_enable_partitions(pr, 1);
  blkid_probe_set_partitions_flags(pr, BLKID_PARTS_ENTRY_DETAILS);
  if (blkid_do_safeprobe(pr) >= 0) {
    const char* value = nullptr;
    size_t len = 0;
    auto take = [&](const char* name, std::string& field) {
      if (blkid_probe_lookup_value(pr, name, &value, &len) == 0 && value != nullptr)
        field.assign(value, strnlen(value, len));
    };
    take("TYPE", out.type);
    take("VERSION", out.version);
    take("LABEL", out.label);
    take("PART_ENTRY_TYPE", out.entryType);
  }
  blkid_free_probe(pr);
  return true;
}

// What udev learnt when the device appeared, for users who cannot read the device.
void ProbeWithUdev(const std::string& majorMinor, Probe& out) {
  const std::string record = os::ReadSmallFile(fs::path("/run/udev/data") / ("b" + majorMinor));
  using disk_list_detail::UdevProperty;
  out.type = UdevProperty(record, "ID_FS_TYPE").value_or("");
  out.version = UdevProperty(record, "ID_FS_VERSION").value_or("");
  out.label = UdevProperty(record, "ID_FS_LABEL").value_or("");
  out.entryType = UdevProperty(record, "ID_PART_ENTRY_TYPE").value_or("");
}

class SystemDiskFacts final : public DiskFactSource {
 public:
  explicit SystemDiskFacts(const os::DiskTable& disks) : disks_(disks) {}
  Probed ProbeVolume(const std::string& devicePath, uint64_t start, uint64_t bytes) override {
    Probed out;
    const int fd = ::open(devicePath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return out;
    if (blkid_probe pr = blkid_new_probe(); pr != nullptr) {
      if (blkid_probe_set_device(pr, fd, static_cast<blkid_loff_t>(start),
                                 static_cast<blkid_loff_t>(bytes)) == 0) {
        blkid_probe_enable_superblocks(pr, 1);
        blkid_probe_set_superblocks_flags(pr, BLKID_SUBLKS_TYPE | BLKID_SUBLKS_LABEL | BLKID_SUBLKS_VERSION);
        blkid_probe_enable_partitions(pr, 0);
        if (blkid_do_safeprobe(pr) == 0) {
          auto value = [&](const char* name) {
            const char* text = nullptr;
            size_t length = 0;
            if (blkid_probe_lookup_value(pr, name, &text, &length) != 0 || text == nullptr)
              return std::string();
            return std::string(text, strnlen(text, length));
          };
          out.fileSystemName = disk_list_detail::FileSystemName(value("TYPE"), value("VERSION"));
          out.label = value("LABEL");
        }
      }
      blkid_free_probe(pr);
    }
    ::close(fd);
    return out;
  }

  bool Collect(std::vector<DiskFacts>& out) override {
    const std::string mountinfo = os::ReadSmallFile("/proc/self/mountinfo", 1 << 22);
    const std::vector<fs::path> disks = disks_.List();
    for (size_t n = 0; n < disks.size(); ++n) {
      DiskFacts disk;
      disk.diskNumber = static_cast<int32_t>(n);
      disk.devicePath = disks[n].string();
      const fs::path sys = fs::path("/sys/class/block") / disks[n].filename();
      ReadGeometry(disks[n], sys, disk);
      if (os::Trimmed(os::ReadSmallFile(sys / "device" / "type", 16)) == "5") disk.isHardDisk = false;
      std::error_code ec;
      for (fs::directory_iterator it(sys, ec), end; !ec && it != end; it.increment(ec)) {
        if (!fs::exists(it->path() / "partition", ec)) continue;
        disk.partitions.push_back(ReadPartition(it->path(), mountinfo));
      }
      std::sort(disk.partitions.begin(), disk.partitions.end(),
                [](const PartitionFacts& a, const PartitionFacts& b) { return a.startBytes < b.startBytes; });
      out.push_back(std::move(disk));
    }
    return true;
  }

 private:
  static void ReadGeometry(const fs::path& device, const fs::path& sys, DiskFacts& disk) {
    os::File file;
    os::DriveGeometry geo;
    if (file.OpenRead(device) == err::kSuccess && os::QueryGeometry(file, geo) == err::kSuccess &&
        geo.bytesPerSector != 0) {
      disk.bytesPerSector = geo.bytesPerSector;
      disk.sectorsPerTrack = geo.sectorsPerTrack;
      disk.tracksPerCylinder = geo.tracksPerCylinder;
      disk.cylinders = geo.cylinders;
      return;
    }
    // Without read access sysfs still knows the size: "size" counts 512-byte units whatever the sectors.
    const std::optional<uint64_t> size = os::ReadNumberFile(sys / "size");
    const uint64_t sector = os::ReadNumberFile(sys / "queue" / "logical_block_size").value_or(512);
    if (!size || sector == 0 || *size > UINT64_MAX / 512) {
      disk.geometryKnown = false;
      return;
    }
    disk.bytesPerSector = static_cast<uint32_t>(std::min<uint64_t>(sector, 1u << 16));
    disk.sectorsPerTrack = 63;
    disk.tracksPerCylinder = 255;
    disk.cylinders = *size * 512 / disk.bytesPerSector / (255 * 63);
  }

  static PartitionFacts ReadPartition(const fs::path& sys, const std::string& mountinfo) {
    PartitionFacts p;
    p.partitionNumber = static_cast<int32_t>(
        std::min<uint64_t>(os::ReadNumberFile(sys / "partition").value_or(0), INT32_MAX));
    const uint64_t start = os::ReadNumberFile(sys / "start").value_or(0);
    const uint64_t size = os::ReadNumberFile(sys / "size").value_or(0);
    p.startBytes = start <= UINT64_MAX / 512 ? start * 512 : 0;
    p.lengthBytes = size <= UINT64_MAX / 512 ? size * 512 : 0;
    p.devicePath = (fs::path("/dev") / sys.filename()).string();
    const std::string majorMinor = os::Trimmed(os::ReadSmallFile(sys / "dev", 64));
    Probe probe;
    os::File readable;
    if (readable.OpenRead(p.devicePath) == err::kSuccess) {
      readable.Close();
      ProbeWithBlkid(p.devicePath, probe);
    } else if (!majorMinor.empty()) {
      ProbeWithUdev(majorMinor, probe);
    }
    p.fileSystemName = disk_list_detail::FileSystemName(probe.type, probe.version);
    p.label = probe.label;
    p.typeByte = disk_list_detail::PartitionTypeByte(probe.entryType);
    if (!majorMinor.empty()) {
      if (const std::optional<fs::path> mount = os::MountPointOf(mountinfo, majorMinor)) {
        p.mountPoint = mount->string();
        struct statvfs st {};
        if (::statvfs(p.mountPoint.c_str(), &st) == 0) {
          p.totalBytes = static_cast<uint64_t>(st.f_blocks) * st.f_frsize;
          p.freeBytes = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
        }
      }
    }
    return p;
  }

 private:
  const os::DiskTable& disks_;
};

}  // namespace

std::unique_ptr<DiskFactSource> MakeSystemDiskFacts(const os::DiskTable& disks) {
  return std::make_unique<SystemDiskFacts>(disks);
}

}  // namespace snapsave
