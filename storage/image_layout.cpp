#include "storage/image_layout.h"

#ifdef SNAPSAVE_HAVE_BLKID
#include <blkid/blkid.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <system_error>

#include <fmt/core.h>

#include "os/byte_reader.h"
#include "os/error.h"
#include "os/file.h"
#include "os/text.h"
#include "storage/image_container.h"
#include "storage/rescue_map.h"

namespace snapsave {

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kSectorSize = 512;

bool IsContainer(const ImagePartition& p) {
  return p.typeByte == 0x05 || p.typeByte == 0x0F || p.typeByte == 0x85;
}

#ifdef SNAPSAVE_HAVE_BLKID
struct ProbeDeleter {
  void operator()(blkid_struct_probe* probe) const { blkid_free_probe(probe); }
};

// A range start that counts its length back from the end of the medium.
constexpr uint64_t kFromTheEnd = UINT64_MAX;

// libblkid reads through a descriptor: for a raw image the file itself; for a container image, or a medium
// made to look `atLeast` bytes long (a disk image cut short), a sparse copy in memory holding only `ranges`
// (offset, length) of it, the places the probe looks at. `bytes` receives the image's own size. -1 when it
// cannot be made.
int OpenMediumForProbe(const fs::path& image, const std::vector<std::pair<uint64_t, uint64_t>>& ranges,
                       uint64_t& bytes, uint64_t atLeast = 0) {
  const ImageFormat format = DetectImageFormat(image);
  std::unique_ptr<ImageContainer> container;
  os::File file;
  if (format == ImageFormat::kRaw) {
    std::error_code ec;
    bytes = fs::file_size(image, ec);
    if (ec) return -1;
    if (atLeast <= bytes) return ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
    if (file.OpenRead(image) != err::kSuccess) return -1;
  } else {
    if (OpenImageContainer(image, format, container) != err::kSuccess) return -1;
    bytes = container->MediaBytes();
  }
  const int fd = ::memfd_create("snapsave-probe", MFD_CLOEXEC);
  if (fd < 0) return -1;
  if (::ftruncate(fd, static_cast<off_t>(std::max(bytes, atLeast))) != 0) {
    ::close(fd);
    return -1;
  }
  std::vector<uint8_t> buffer(size_t{1} << 16);
  for (const auto& [from, length] : ranges) {
    const uint64_t start = from == kFromTheEnd ? bytes - std::min(bytes, length) : std::min(from, bytes);
    const uint64_t end = start + std::min(length, bytes - start);
    for (uint64_t at = start; at < end;) {
      size_t got = 0;
      const auto want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), end - at));
      const std::span<uint8_t> piece = std::span(buffer).first(want);
      const uint32_t e = container ? container->ReadAt(at, piece, got) : file.ReadFullAt(at, piece, got);
      if (e != err::kSuccess || got == 0) break;
      if (::pwrite(fd, buffer.data(), got, static_cast<off_t>(at)) != static_cast<ssize_t>(got)) break;
      at += got;
    }
  }
  return fd;
}

// The disk a GPT header at sector 1 was written for ends at its backup header's sector: where an image
// ends before it, the image was cut short. 0 when there is no GPT header or it is not past the end.
uint64_t GptDiskBytes(int fd, uint64_t bytes) {
  std::array<uint8_t, 48> header{};
  if (::pread(fd, header.data(), header.size(), static_cast<off_t>(kSectorSize)) !=
      static_cast<ssize_t>(header.size()))
    return 0;
  if (std::memcmp(header.data(), "EFI PART", 8) != 0) return 0;
  const uint64_t backup = Le64(header, 32);
  // Beyond 2^40 sectors (512 TiB) no disk this is a copy of: a crafted value.
  if (backup >= (uint64_t{1} << 40) || (backup + 1) * kSectorSize <= bytes) return 0;
  return (backup + 1) * kSectorSize;
}

// Where partition tables lie: the first sectors (MBR, GPT and the extended partitions near them) and the last
// (the backup GPT).
constexpr uint64_t kTableHead = uint64_t{8} << 20;
constexpr uint64_t kTableTail = uint64_t{1} << 20;
// Where file systems keep what names them.
constexpr uint64_t kSuperblockSpan = uint64_t{1} << 20;

#endif

}  // namespace

ImageLayout SanitizeLayout(std::string scheme, std::vector<ImagePartition> entries, uint64_t imageSectors) {
  ImageLayout layout;
  layout.scheme = std::move(scheme);
  layout.imageSectors = imageSectors;
  std::erase_if(entries, [&](const ImagePartition& p) {
    if (IsContainer(p) || p.sectorCount == 0) return true;
    const uint64_t end = p.startSector + std::min(p.sectorCount, UINT64_MAX - p.startSector);
    layout.claimedSectors = std::max(layout.claimedSectors, end);
    return p.startSector >= imageSectors;
  });
  for (ImagePartition& p : entries) {
    const uint64_t held = std::min(p.sectorCount, imageSectors - p.startSector);
    p.missingSectors = p.sectorCount - held;
    p.sectorCount = held;
  }
  std::stable_sort(entries.begin(), entries.end(), [](const ImagePartition& a, const ImagePartition& b) {
    return a.startSector < b.startSector;
  });
  uint64_t end = 0;
  for (ImagePartition& p : entries) {
    if (!layout.partitions.empty() && p.startSector < end) continue;  // overlaps the one kept before it
    end = p.startSector + p.sectorCount;
    layout.partitions.push_back(std::move(p));
  }
  return layout;
}

uint32_t ReadImageLayout(const fs::path& image, ImageLayout& out) {
  out = ImageLayout{};
  std::error_code ec;
  if (!fs::exists(image, ec)) return err::kFileNotFound;
#ifdef SNAPSAVE_HAVE_BLKID
  uint64_t bytes = 0;
  int fd = OpenMediumForProbe(image, {{0, kTableHead}, {kFromTheEnd, kTableTail}}, bytes);
  if (fd < 0) return err::kAccessDenied;
  struct Closer {
    int fd;
    ~Closer() {
      if (fd >= 0) ::close(fd);
    }
  } closer{fd};
  // A GPT disk copied only in part: its table says the disk is longer than the image, which the probe takes
  // for an invalid table. Probed as the disk it was, its entries are kept as far as the image holds them.
  if (const uint64_t disk = GptDiskBytes(fd, bytes); disk != 0) {
    ::close(fd);
    closer.fd = fd = OpenMediumForProbe(image, {{0, kTableHead}}, bytes, disk);
    if (fd < 0) return err::kAccessDenied;
  }
  std::unique_ptr<blkid_struct_probe, ProbeDeleter> probe(blkid_new_probe());
  if (!probe || blkid_probe_set_device(probe.get(), fd, 0, 0) != 0) return err::kAccessDenied;
  blkid_probe_enable_superblocks(probe.get(), 0);
  blkid_probe_enable_partitions(probe.get(), 1);
  blkid_probe_set_partitions_flags(probe.get(), BLKID_PARTS_ENTRY_DETAILS);
  if (blkid_do_safeprobe(probe.get()) != 0) return err::kSuccess;
  blkid_partlist list = blkid_probe_get_partitions(probe.get());
  if (list == nullptr) return err::kSuccess;
  std::string scheme;
  if (blkid_parttable table = blkid_partlist_get_table(list); table != nullptr) {
    if (const char* type = blkid_parttable_get_type(table); type != nullptr) scheme = type;
  }
  std::vector<ImagePartition> entries;
  const int count = blkid_partlist_numof_partitions(list);
  for (int i = 0; i < count; ++i) {
    blkid_partition part = blkid_partlist_get_partition(list, i);
    if (part == nullptr) continue;
    const blkid_loff_t start = blkid_partition_get_start(part);
    const blkid_loff_t size = blkid_partition_get_size(part);
    if (start < 0 || size <= 0) continue;
    ImagePartition p;
    p.number = blkid_partition_get_partno(part);
    p.startSector = static_cast<uint64_t>(start);
    p.sectorCount = static_cast<uint64_t>(size);
    if (scheme == "dos") {
      p.typeByte = static_cast<uint16_t>(blkid_partition_get_type(part) & 0xFF);
      char hex[8];
      std::snprintf(hex, sizeof hex, "0x%02x", p.typeByte);
      p.typeName = hex;
    } else if (const char* name = blkid_partition_get_type_string(part); name != nullptr) {
      p.typeName = name;
    }
    entries.push_back(std::move(p));
  }
  out = SanitizeLayout(std::move(scheme), std::move(entries), bytes / kSectorSize);
  return err::kSuccess;
#else
  // Built without libblkid (the Windows build): no partition table is read, so the image is scanned whole.
  return err::kSuccess;
#endif
}

namespace {

#ifdef SNAPSAVE_HAVE_BLKID
// Where a FAT volume's root folder starts, relative to the volume, when `boot` is a FAT boot sector: its
// label is kept there, and on a large volume it lies past the first MiB the probe copies from a container.
std::optional<std::pair<uint64_t, uint64_t>> FatRootSpan(std::span<const uint8_t> boot) {
  if (boot.size() < 512 || boot[510] != 0x55 || boot[511] != 0xAA) return std::nullopt;
  const uint32_t sectorSize = Le16(boot, 11);
  const uint32_t perCluster = boot[13];
  const uint32_t reserved = Le16(boot, 14);
  const uint32_t fats = boot[16];
  const uint32_t rootEntries = Le16(boot, 17);
  const uint32_t fatSectors = Le16(boot, 22) != 0 ? Le16(boot, 22) : Le32(boot, 36);
  if (sectorSize < 512 || sectorSize > 4096 || (sectorSize & (sectorSize - 1)) != 0 || perCluster == 0 ||
      (perCluster & (perCluster - 1)) != 0 || fats == 0 || fats > 4 || reserved == 0 || fatSectors == 0)
    return std::nullopt;
  const uint64_t rootRegion = (uint64_t{reserved} + uint64_t{fats} * fatSectors) * sectorSize;
  if (rootEntries != 0) return std::pair{rootRegion, std::min<uint64_t>(uint64_t{rootEntries} * 32, 1 << 16)};
  // FAT32: the root is a cluster chain; its first cluster holds the label entry, as a rule.
  const uint32_t rootCluster = Le32(boot, 44);
  const uint64_t clusterBytes = uint64_t{perCluster} * sectorSize;
  if (rootCluster < 2) return std::nullopt;
  return std::pair{rootRegion + (rootCluster - 2) * clusterBytes, std::min<uint64_t>(clusterBytes, 1 << 16)};
}
#endif

// The file system and label inside one partition of the image.
void ProbeVolume([[maybe_unused]] const fs::path& image, [[maybe_unused]] const ImagePartition& p,
                 [[maybe_unused]] PartitionFacts& out) {
#ifdef SNAPSAVE_HAVE_BLKID
  uint64_t bytes = 0;
  const uint64_t start = p.startSector * kSectorSize;
  int fd = OpenMediumForProbe(image, {{start, kSuperblockSpan}}, bytes);
  if (fd < 0) return;
  // A FAT volume's root folder past the copied span is copied too.
  std::array<uint8_t, 512> boot{};
  if (::pread(fd, boot.data(), boot.size(), static_cast<off_t>(start)) == static_cast<ssize_t>(boot.size())) {
    if (const auto root = FatRootSpan(boot);
        root && root->first + root->second > kSuperblockSpan && root->first < p.sectorCount * kSectorSize) {
      ::close(fd);
      fd = OpenMediumForProbe(image, {{start, kSuperblockSpan}, {start + root->first, root->second}}, bytes);
      if (fd < 0) return;
    }
  }
  std::unique_ptr<blkid_struct_probe, ProbeDeleter> probe(blkid_new_probe());
  if (probe && blkid_probe_set_device(probe.get(), fd, static_cast<blkid_loff_t>(p.startSector * kSectorSize),
                                      static_cast<blkid_loff_t>(p.sectorCount * kSectorSize)) == 0) {
    blkid_probe_enable_superblocks(probe.get(), 1);
    blkid_probe_set_superblocks_flags(probe.get(),
                                      BLKID_SUBLKS_TYPE | BLKID_SUBLKS_LABEL | BLKID_SUBLKS_VERSION);
    blkid_probe_enable_partitions(probe.get(), 0);
    if (blkid_do_safeprobe(probe.get()) == 0) {
      auto value = [&](const char* name) {
        const char* text = nullptr;
        size_t length = 0;
        if (blkid_probe_lookup_value(probe.get(), name, &text, &length) != 0 || text == nullptr)
          return std::string();
        return std::string(text, strnlen(text, length));
      };
      out.fileSystemName = disk_list_detail::FileSystemName(value("TYPE"), value("VERSION"));
      out.label = value("LABEL");
    }
  }
  probe.reset();
  ::close(fd);
#endif
}

class ImageDiskFacts final : public DiskFactSource {
 public:
  ImageDiskFacts(fs::path image, int32_t diskNumber) : image_(std::move(image)), diskNumber_(diskNumber) {}

  Probed ProbeVolume(const std::string& devicePath, uint64_t start, uint64_t bytes) override {
    ImagePartition p;
    p.startSector = start / kSectorSize;
    p.sectorCount = bytes / kSectorSize;
    PartitionFacts facts;
    if (p.sectorCount != 0) snapsave::ProbeVolume(os::PathFromUtf8(devicePath), p, facts);
    return {facts.fileSystemName, facts.label};
  }

  bool Collect(std::vector<DiskFacts>& out) override {
    const uint64_t bytes = ImageMediaBytes(image_);
    ImageLayout layout;
    if (bytes == 0 || ReadImageLayout(image_, layout) != err::kSuccess) return false;
    DiskFacts disk;
    disk.diskNumber = diskNumber_;
    disk.devicePath = image_.string();
    disk.isImageFile = true;
    disk.bytesPerSector = kSectorSize;
    disk.cylinders = bytes / kSectorSize / (uint64_t{disk.tracksPerCylinder} * disk.sectorsPerTrack);
    disk.exactSectors = bytes / kSectorSize;
    for (const ImagePartition& p : layout.partitions) {
      PartitionFacts facts;
      facts.partitionNumber = p.number;
      facts.startBytes = p.startSector * kSectorSize;
      facts.lengthBytes = p.sectorCount * kSectorSize;
      facts.typeByte = disk_list_detail::PartitionTypeByte(p.typeName);
      snapsave::ProbeVolume(image_, p, facts);
      disk.partitions.push_back(std::move(facts));
    }
    out.push_back(std::move(disk));
    return true;
  }

 private:
  fs::path image_;
  int32_t diskNumber_;
};

}  // namespace

std::string ImageShortfall(const fs::path& image) {
  ImageLayout layout;
  if (ReadImageLayout(image, layout) != err::kSuccess || layout.claimedSectors <= layout.imageSectors)
    return {};
  std::string text = fmt::format(
      "the image holds {} but its partition table reaches to {}: the last {} are missing (the copy was cut "
      "short)",
      os::HumanSize(layout.imageSectors * kSectorSize), os::HumanSize(layout.claimedSectors * kSectorSize),
      os::HumanSize((layout.claimedSectors - layout.imageSectors) * kSectorSize));
  for (const ImagePartition& p : layout.partitions)
    if (p.missingSectors != 0)
      text +=
          fmt::format("; partition {} lacks its last {} (sectors {}-{}), and files there cannot be read",
                      p.number, os::HumanSize(p.missingSectors * kSectorSize), p.startSector + p.sectorCount,
                      p.startSector + p.sectorCount + p.missingSectors - 1);
  return text;
}

namespace {

// What the map of the rescue copy that made the image says it lacks.
std::string RescueMapWarning(const fs::path& image) {
  if (DetectImageFormat(image) != ImageFormat::kRaw) return {};
  const std::optional<MapBeside> beside = FindRescueMapBeside(image, ImageMediaBytes(image));
  if (!beside) return {};
  const std::vector<RescueMap::Range> holes = beside->map.Unrescued();
  if (holes.empty()) return {};
  uint64_t bytes = 0;
  for (const RescueMap::Range& r : holes) bytes += r.size;
  return fmt::format(
      "the rescue map beside it ({}) lists {} in {} stretch{} as not rescued: they are read as unreadable, "
      "and a file crossing them is recovered with zeros there and counted damaged",
      os::Utf8OfPath(beside->path.filename()), os::HumanSize(bytes), holes.size(),
      holes.size() == 1 ? "" : "es");
}

}  // namespace

std::string ImageWarnings(const fs::path& image) {
  std::string text;
  for (const std::string& part : {ImageProblem(image), ImageShortfall(image), RescueMapWarning(image)}) {
    if (part.empty()) continue;
    text += (text.empty() ? "" : "; ") + part;
  }
  return text;
}

ImageVolumeFacts ProbeImageVolume(const fs::path& image, uint64_t startSector, uint64_t sectorCount) {
  ImagePartition p;
  p.startSector = startSector;
  p.sectorCount = sectorCount;
  PartitionFacts facts;
  if (sectorCount != 0) ProbeVolume(image, p, facts);
  return {facts.fileSystemName, facts.label};
}

ImageVolumeFacts ProbeWholeImage(const fs::path& image) {
  ImagePartition whole;
  whole.sectorCount = ImageMediaBytes(image) / kSectorSize;
  PartitionFacts facts;
  if (whole.sectorCount != 0) ProbeVolume(image, whole, facts);
  return {facts.fileSystemName, facts.label};
}

std::unique_ptr<DiskFactSource> MakeImageDiskFacts(const fs::path& image, int32_t diskNumber) {
  return std::make_unique<ImageDiskFacts>(image, diskNumber);
}

}  // namespace snapsave
