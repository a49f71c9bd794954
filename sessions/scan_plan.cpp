#include "sessions/scan_plan.h"

#include <algorithm>
#include <charconv>
#include <system_error>

#include <fmt/core.h>

#include "engines/engine_factory.h"
#include "engines/file_system_registry.h"
#include "engines/volume_search.h"
#include "filetypes/file_categories.h"
#include "filetypes/file_type_catalogue.h"
#include "os/device.h"
#include "os/error.h"
#include "os/text.h"
#include "storage/image_container.h"
#include "storage/image_layout.h"
#include "storage/lvm_layout.h"
#include "storage/sector_reader.h"

namespace snapsave {

namespace fs = std::filesystem;

namespace {

std::optional<uint32_t> ParseNumber(std::string_view text) {
  uint32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

std::string Describe(const VolumeInfo& v) {
  const std::string device = v.rootPath.empty() ? "" : " (" + v.rootPath + ")";
  switch (v.kind) {
    case EntryKind::kWholeDisk:
      return fmt::format("disk {}{}", v.diskNumber, device);
    case EntryKind::kUnallocated:
      return fmt::format("unallocated space {} of disk {}", EntryId(v.driveLetter), v.diskNumber);
    case EntryKind::kVolume:
      break;
  }
  return fmt::format("volume {}{}", EntryId(v.driveLetter), device);
}

Source FromEntry(const VolumeInfo& v) {
  Source s;
  s.kind = v.kind == EntryKind::kWholeDisk ? Source::Kind::kWholeDisk : Source::Kind::kVolume;
  s.volume = v;
  s.description = Describe(v);
  return s;
}

// An image file as a source: one volume, or a whole disk with its entries.
SourceOrError FromImage(const fs::path& path, const ImageDiskReader& readImage) {
  Source s;
  s.imagePath = path;
  s.description = os::Utf8OfPath(path);
  ImageDisk disk;
  if (readImage) {
    if (const uint32_t e = readImage(path, disk); e == err::kNotSupported) {
      return {std::nullopt, fmt::format("{} images are not read by this build (raw and split raw images are)",
                                        ImageFormatName(DetectImageFormat(path)))};
    } else if (e != 0) {
      const std::string why = ImageProblem(path);
      return {std::nullopt, why.empty() ? fmt::format("cannot read the image: {}", ErrorText(e)) : why};
    }
  }
  // Nothing to scan or copy: not even one sector.
  if (ImageMediaBytes(path) < SectorReader::kImageSectorSize)
    return {std::nullopt, "the file is empty (or shorter than one sector): no disk image"};
  if (disk.diskNumber >= 0) {
    s.kind = Source::Kind::kImageDisk;
    s.entries = std::move(disk.entries);
  }
  return {s, {}};
}

// "IMAGE:N": entry N of a whole-disk image, or "IMAGE:VG/LV" its logical volume; nothing when the text is no
// such name.
std::optional<SourceOrError> FromImageEntry(std::string_view text, const ImageDiskReader& readImage) {
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  const std::string_view name = text.substr(colon + 1);
  const std::optional<uint32_t> id = ParseNumber(name);
  const bool logical = !id && name.find('/') != std::string_view::npos;
  const fs::path path{std::string(text.substr(0, colon))};
  std::error_code ec;
  if ((!id && !logical) || !fs::is_regular_file(path, ec)) return std::nullopt;
  SourceOrError image = FromImage(path, readImage);
  if (!image.source) return image;
  if (image.source->kind != Source::Kind::kImageDisk)
    return SourceOrError{std::nullopt, "the image holds no partition table: name the image itself"};
  for (const VolumeInfo& v : image.source->entries) {
    if (id ? static_cast<uint32_t>(v.driveLetter) != *id : v.logicalVolume != name) continue;
    Source s = FromEntry(v);
    s.kind = Source::Kind::kVolume;
    s.imagePath = path;
    s.description = ImageEntryName(path, v);
    return SourceOrError{s, {}};
  }
  return SourceOrError{std::nullopt,
                       fmt::format("the image has no entry {} ('snapsave-cli list {}')",
                                   id ? std::to_string(*id) : std::string(name), os::Utf8OfPath(path))};
}

// "IMAGE@SECTOR" or "diskN@SECTOR": the volume whose structures start at that sector of an image or a disk
// of `entries` (one a search for lost volumes found); nothing when the text is no such name.
std::optional<SourceOrError> FromFoundVolume(std::string_view text, const std::vector<VolumeInfo>& entries) {
  const size_t at = text.rfind('@');
  if (at == std::string_view::npos || at == 0) return std::nullopt;
  const std::string_view number = text.substr(at + 1);
  uint64_t sector = 0;
  const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), sector);
  const fs::path path{std::string(text.substr(0, at))};
  std::error_code fe;
  if (number.empty() || ec != std::errc() || end != number.data() + number.size()) return std::nullopt;
  if (!fs::is_regular_file(path, fe)) {
    const std::string_view disk = text.substr(0, at);
    const std::optional<uint32_t> n = disk.starts_with("disk") ? ParseNumber(disk.substr(4)) : std::nullopt;
    if (!n) return std::nullopt;
    const auto entry = std::find_if(entries.begin(), entries.end(), [&](const VolumeInfo& v) {
      return v.diskNumber == static_cast<int32_t>(*n) && !v.diskPath.empty();
    });
    if (entry == entries.end())
      return SourceOrError{std::nullopt,
                           fmt::format("no disk {} in the list of disks ('snapsave-cli list')", *n)};
    SectorReader reader;
    if (const uint32_t e = reader.OpenDisk(entry->diskPath); e != err::kSuccess)
      return SourceOrError{std::nullopt, fmt::format("cannot read the disk: {}", ErrorText(e))};
    const std::optional<FoundVolume> found = FindVolumeAt(reader, sector, reader.TotalSectors());
    const std::vector<VolumeInfo> listed =
        found ? FoundVolumeEntries(*entry, {*found}, {}, 1) : std::vector<VolumeInfo>{};
    if (listed.empty())
      return SourceOrError{std::nullopt,
                           fmt::format("no volume starts at sector {} of disk {} ('snapsave-cli "
                                       "list {} --search' lists the volumes found on it)",
                                       sector, *n, disk)};
    Source s;
    s.kind = Source::Kind::kVolume;
    s.volume = listed.front();
    s.description = std::string(text);
    return SourceOrError{s, {}};
  }
  SectorReader reader;
  if (const uint32_t e = reader.OpenFile(path); e != err::kSuccess)
    return SourceOrError{std::nullopt, fmt::format("cannot read the image: {}", ErrorText(e))};
  const std::optional<FoundVolume> found = FindVolumeAt(reader, sector, reader.TotalSectors());
  if (!found)
    return SourceOrError{
        std::nullopt,
        fmt::format("no volume starts at sector {} of the image ('snapsave-cli list {} --search' "
                    "lists the volumes found in it)",
                    sector, os::Utf8OfPath(path))};
  Source s;
  s.kind = Source::Kind::kVolume;
  s.imagePath = path;
  s.volume = FoundVolumeEntry(path, *found, 1);
  s.description = std::string(text);
  return SourceOrError{s, {}};
}

// Every extension a category lists or the carving table carves, lower-case and sorted.
std::vector<std::string> KnownExtensions() {
  std::vector<std::string> out;
  for (std::string_view list : {kPhotoList, kAudioList, kVideoList, kDocumentList, kArchiveList}) {
    for (size_t at = list.find("*."); at != std::string_view::npos; at = list.find("*.", at + 2)) {
      const size_t end = list.find('|', at);
      out.emplace_back(list.substr(at + 2, end - at - 2));
    }
  }
  for (const CarvingTypeRow& row : CarvingTypeTable()) {
    std::string ext(row.extension);
    for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (!ext.empty()) out.push_back(std::move(ext));
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

}  // namespace

std::string EntryId(char16_t driveLetter) {
  if (driveLetter >= u'A' && driveLetter <= u'Z') return {static_cast<char>(driveLetter), ':'};
  return std::to_string(static_cast<uint32_t>(driveLetter));
}

std::optional<uint32_t> ParseEntryId(std::string_view text) {
  if (text.size() == 2 && text[1] == ':') text.remove_suffix(1);
  if (text.size() == 1 && ((text[0] >= 'A' && text[0] <= 'Z') || (text[0] >= 'a' && text[0] <= 'z')))
    return static_cast<uint32_t>(text[0] & ~0x20);
  return ParseNumber(text);
}

VolumeInfo FoundVolumeEntry(const fs::path& image, const FoundVolume& found, uint32_t number) {
  VolumeInfo v;
  v.kind = EntryKind::kVolume;
  v.driveLetter = static_cast<char16_t>(number);
  v.diskNumber = os::DiskTable::kFirstImageDisk;
  v.startSector = found.startSector;
  v.sectorCount = found.sectorCount;
  v.totalBytes = found.sectorCount * SectorReader::kImageSectorSize;
  v.diskBytes = ImageMediaBytes(image);
  v.diskPath = os::Utf8OfPath(image);
  v.diskIsImage = true;
  const ImageVolumeFacts facts = ProbeImageVolume(image, found.startSector, found.sectorCount);
  v.fileSystemName = facts.fileSystemName;
  v.volumeLabel = facts.label;
  // What the engines know it by, where the probe says nothing (a volume whose first sectors are gone).
  if (!QuickScannableName(v.fileSystemName) && found.fileSystem != nullptr)
    v.fileSystemName = found.fileSystem->name == "ext" ? "ext4" : std::string(found.fileSystem->name);
  return v;
}

std::vector<VolumeInfo> FoundVolumeEntries(const VolumeInfo& diskEntry, const std::vector<FoundVolume>& found,
                                           const std::vector<VolumeInfo>& known, uint32_t firstNumber) {
  std::vector<VolumeInfo> out;
  const std::filesystem::path disk = os::PathFromUtf8(diskEntry.diskPath);
  for (const FoundVolume& f : found) {
    if (f.fileSystem == nullptr) continue;
    const bool listed = std::any_of(known.begin(), known.end(), [&](const VolumeInfo& v) {
      return v.diskNumber == diskEntry.diskNumber && v.kind == EntryKind::kVolume &&
             v.startSector == f.startSector;
    });
    if (listed) continue;
    VolumeInfo v;
    if (diskEntry.diskIsImage) {
      v = FoundVolumeEntry(disk, f, firstNumber);
    } else {
      v.kind = EntryKind::kVolume;
      v.startSector = f.startSector;
      v.sectorCount = f.sectorCount;
      v.totalBytes = f.sectorCount * SectorReader::kImageSectorSize;
      v.fileSystemName = f.fileSystem->name == "ext" ? "ext4" : std::string(f.fileSystem->name);
      v.diskPath = diskEntry.diskPath;
      v.diskBytes = diskEntry.diskBytes;
    }
    v.diskNumber = diskEntry.diskNumber;
    v.driveLetter = static_cast<char16_t>(firstNumber++);
    v.rootPath = DescribeFoundVolume(f, v.fileSystemName, v.volumeLabel);
    out.push_back(std::move(v));
  }
  return out;
}

std::string FoundVolumeName(const fs::path& image, const FoundVolume& found) {
  return fmt::format("{}@{}", os::Utf8OfPath(image), found.startSector);
}

std::string ImageEntryName(const fs::path& image, const VolumeInfo& entry) {
  return fmt::format("{}:{}", os::Utf8OfPath(image), static_cast<uint32_t>(entry.driveLetter));
}

SourceOrError ResolveSource(std::string_view text, const std::vector<VolumeInfo>& entries,
                            const ImageDiskReader& readImage) {
  if (text.empty()) return {std::nullopt, "no source given"};
  std::error_code ec;
  const fs::path path{std::string(text)};
  const fs::file_status status = fs::status(path, ec);
  if (fs::is_regular_file(status)) return FromImage(path, readImage);
  if (std::optional<SourceOrError> entry = FromImageEntry(text, readImage)) return *std::move(entry);
  if (std::optional<SourceOrError> found = FromFoundVolume(text, entries)) return *std::move(found);
  if (text.substr(0, 4) == "disk") {
    const std::optional<uint32_t> n = ParseNumber(text.substr(4));
    if (!n) return {std::nullopt, "a disk is named disk0, disk1, ... as 'snapsave-cli list' shows"};
    Source s;
    s.kind = Source::Kind::kWholeDisk;
    s.volume.kind = EntryKind::kWholeDisk;
    s.volume.diskNumber = static_cast<int32_t>(*n);
    s.volume.driveLetter = kUnnumbered;
    // The listing knows the disk's device and size; a disk with volumes has no whole-disk entry of its own.
    for (const VolumeInfo& v : entries) {
      if (v.diskNumber != s.volume.diskNumber) continue;
      s.volume.diskPath = v.diskPath;
      s.volume.diskIsImage = v.diskIsImage;
      if (v.kind == EntryKind::kWholeDisk) s.volume = v;
    }
    s.description = fmt::format("disk {}", *n);
    return {s, {}};
  }
  if (const std::optional<uint32_t> id = ParseEntryId(text)) {
    for (const VolumeInfo& v : entries) {
      if (static_cast<uint32_t>(v.driveLetter) == *id) return {FromEntry(v), {}};
    }
    return {std::nullopt,
            fmt::format("no entry {} in the list of disks and volumes ('snapsave-cli list')", text)};
  }
  if (fs::is_block_file(status)) {
    const fs::path wanted = fs::weakly_canonical(path, ec);
    for (const VolumeInfo& v : entries) {
      if (v.rootPath.empty()) continue;
      std::error_code e2;
      if (fs::weakly_canonical(v.rootPath, e2) == wanted) return {FromEntry(v), {}};
    }
    return {std::nullopt, "that device is not a listed disk or volume ('snapsave-cli list')"};
  }
  if (!fs::exists(status)) return {std::nullopt, "no such file, disk or volume"};
  return {std::nullopt, "not an image file, a disk or a volume"};
}

SourceOrError ResolveSource(std::string_view text, const std::vector<VolumeInfo>& entries,
                            os::DiskTable& disks) {
  return ResolveSource(text, entries, [&disks](const fs::path& image, ImageDisk& out) {
    return ReadImageDisk(disks, image, out);
  });
}

TypesOrError ParseTypes(std::string_view text) {
  static constexpr std::pair<std::string_view, std::string_view> kCategories[] = {
      {kCategoryPhoto, kPhotoList},
      {kCategoryAudio, kAudioList},
      {kCategoryVideo, kVideoList},
      {kCategoryDocument, kDocumentList},
      {kCategoryArchive, kArchiveList}};
  TypesOrError out;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t comma = text.find(',', pos);
    if (comma == std::string_view::npos) comma = text.size();
    std::string name(text.substr(pos, comma - pos));
    pos = comma + 1;
    name.erase(std::remove(name.begin(), name.end(), ' '), name.end());
    if (name.empty()) continue;
    std::transform(name.begin(), name.end(), name.begin(),
                   [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
    if (name.front() == '.') name.erase(0, 1);
    if (name.rfind("*.", 0) == 0) name.erase(0, 2);
    bool category = false;
    for (const auto& [cat, list] : kCategories) {
      if (name == cat) {
        out.extensionList += list;
        category = true;
      }
    }
    if (category) continue;
    const std::vector<std::string> known = KnownExtensions();
    if (!std::binary_search(known.begin(), known.end(), name)) {
      std::string all;
      for (const std::string& e : known) all += (all.empty() ? "" : ", ") + e;
      return {{},
              fmt::format("'{}' is neither a category (photo, audio, video, document, archive) nor a known "
                          "extension ({})",
                          name, all)};
    }
    out.extensionList += "*." + name + "|";
  }
  if (out.extensionList.empty()) out.error = "no types given";
  return out;
}

std::vector<std::string> KnownTypeNames() {
  std::vector<std::string> names = {std::string(kCategoryPhoto), std::string(kCategoryAudio),
                                    std::string(kCategoryVideo), std::string(kCategoryDocument),
                                    std::string(kCategoryArchive)};
  for (std::string& e : KnownExtensions()) names.push_back(std::move(e));
  return names;
}

std::string ExtensionOf(std::string_view name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return {};
  std::string ext(name.substr(dot + 1));
  for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return ext;
}

std::string HumanSize(uint64_t bytes) {
  return os::HumanSize(bytes);
}

void LearnVolumeSpace(VolumeInfo& v) {
  if (v.spaceKnown || v.kind != EntryKind::kVolume || v.diskPath.empty() || v.sectorCount == 0) return;
  SectorReader reader;
  if ((v.diskIsImage ? reader.OpenFile(v.diskPath) : reader.OpenDisk(v.diskPath)) != err::kSuccess) return;
  if (!v.pieces.empty() && reader.MapVolume(v.pieces) != err::kSuccess) return;
  const uint32_t sectorSize = reader.DeviceSectorSize();
  const std::optional<uint64_t> free = VolumeFreeBytes(reader, v.startSector, v.sectorCount, sectorSize);
  if (!free || *free > v.totalBytes) return;
  v.freeBytes = *free;
  v.usedBytes = v.totalBytes - *free;
  v.spaceKnown = true;
}

uint32_t ReadImageDisk(os::DiskTable& disks, const fs::path& image, ImageDisk& out) {
  out = ImageDisk{};
  SectorReader reader;
  if (const uint32_t e = reader.OpenFile(image); e != err::kSuccess) return e;
  reader.Close();
  if (ProbeImageStart(image) != nullptr) return err::kSuccess;
  ImageLayout layout;
  if (const uint32_t e = ReadImageLayout(image, layout); e != err::kSuccess) return e;
  // A whole image that is an LVM2 physical volume is a disk of logical volumes.
  if (layout.partitions.empty()) {
    SectorReader lvm;
    if (lvm.OpenFile(image) != err::kSuccess || !HasLvmLabel(lvm, SectorReader::kImageSectorSize, 0))
      return err::kSuccess;
  }
  const int32_t number = disks.AddImage(image);
  DiskMap map(MakeImageDiskFacts(image, number));
  if (!map.Refresh()) return err::kReadFault;
  map.GetAll(out.entries);
  if (out.entries.empty()) return err::kSuccess;
  out.diskNumber = number;
  return err::kSuccess;
}

uint32_t MakeTarget(const Source& source, ScanTarget& target) {
  // A whole-disk image is copied or scanned whole as its file.
  if (source.kind == Source::Kind::kImage || source.kind == Source::Kind::kImageDisk) {
    target.imagePath = source.imagePath;
    target.imageDriveLetter = kImageLetter;
    return err::kSuccess;
  }
  target.volume = source.volume;
  if (source.kind == Source::Kind::kWholeDisk) {
    SectorReader reader;
    if (const uint32_t e = reader.OpenDisk(source.volume.diskPath); e != err::kSuccess) return e;
    target.volume->startSector = 0;
    target.volume->sectorCount = reader.TotalSectors();
    target.volume->totalBytes = reader.TotalSectors() * reader.DeviceSectorSize();
  }
  return err::kSuccess;
}

bool QuickScannable(const VolumeInfo& v) {
  return v.kind == EntryKind::kVolume && QuickScannableName(v.fileSystemName);
}

std::vector<NamedTarget> MakeTargets(const Source& source, bool deep, uint32_t& error) {
  error = err::kSuccess;
  std::vector<NamedTarget> targets;
  if (source.kind != Source::Kind::kImageDisk) {
    NamedTarget one;
    one.name = source.description;
    one.target = std::make_unique<ScanTarget>();
    error = MakeTarget(source, *one.target);
    if (error == err::kSuccess) targets.push_back(std::move(one));
    return targets;
  }
  // Physical volumes whose logical volumes are listed are scanned through them.
  const bool logical = std::any_of(source.entries.begin(), source.entries.end(),
                                   [](const VolumeInfo& v) { return !v.logicalVolume.empty(); });
  for (const VolumeInfo& v : source.entries) {
    if (!deep && !QuickScannable(v)) continue;
    if (logical && (v.fileSystemName == kLvmMemberName || v.kind == EntryKind::kWholeDisk)) continue;
    NamedTarget t;
    t.name = ImageEntryName(source.imagePath, v);
    const uint32_t id = v.driveLetter;  // entries of an image are numbered, never lettered
    t.folder =
        v.kind == EntryKind::kVolume ? fmt::format("volume {}", id) : fmt::format("unallocated {}", id);
    t.target = std::make_unique<ScanTarget>();
    t.target->volume = v;
    targets.push_back(std::move(t));
  }
  return targets;
}

uint64_t SourceBytes(const ScanTarget& target) {
  if (target.IsDisk()) return target.volume->totalBytes;
  return ImageMediaBytes(target.imagePath);
}

std::string ImageWarningsOf(const fs::path& image) {
  std::string text = ImageWarnings(image);
  if (const std::string lacks = VolumeShortfall(image); !lacks.empty())
    text += (text.empty() ? "" : "; ") + lacks;
  return text;
}

std::string WhyNoEngine(const ScanTarget& target, bool quick, uint32_t& error) {
  SectorReader probe;
  error = target.IsDisk() ? probe.OpenDisk(target.volume->diskPath) : probe.OpenFile(target.imagePath);
  if (error != err::kSuccess) return ErrorText(error);
  if (!quick) return "the source is too short";
  // A boot sector that cannot be read says nothing of what the volume is.
  const uint64_t first = target.IsDisk() ? target.volume->startSector : 0;
  std::vector<uint8_t> sector(probe.DeviceSectorSize());
  uint32_t got = 0;
  if (probe.TotalSectors() > first &&
      probe.ReadSectors(sector, 1, first, probe.DeviceSectorSize(), &got) != err::kSuccess) {
    error = err::kReadFault;
    return fmt::format(
        "its first sector (sector {}) cannot be read{}", first,
        target.IsDisk() ? "" : ", so no volume can be found in it (the image may be cut short)");
  }
  std::string names;
  for (const FileSystem& f : FileSystems()) {
    if (!names.empty()) names += &f == &FileSystems().back() ? " or " : ", ";
    names += f.name;
  }
  return fmt::format("no {} volume found", names);
}

std::string WhyCannotScan(const ScanTarget& target, bool quick) {
  if (!target.IsDisk()) {
    std::error_code ec;
    if (!fs::exists(target.imagePath, ec)) return "the file is not there any more";
    if (fs::is_regular_file(target.imagePath, ec) &&
        ImageMediaBytes(target.imagePath) < SectorReader::kImageSectorSize)
      return "the file is empty or shorter than one sector, so it is no disk image";
    if (const std::string why = ImageProblem(target.imagePath); !why.empty()) return why;
  }
  uint32_t error = err::kSuccess;
  const std::string why = WhyNoEngine(target, quick, error);
  switch (error) {
    case err::kAccessDenied:
      return target.IsDisk() ? "you have no right to read this disk: start Snapsave as an administrator "
                               "(root) or join the \"disk\" group"
                             : "you have no right to read this file";
    case err::kFileNotFound:
    case err::kPathNotFound:
    case err::kDeviceGone:
      return "the source is not there any more (unplugged or removed)";
    case err::kReadFault:
    case err::kCrc:
      return "it cannot be read: " + why;
    default:
      return why;
  }
}

std::optional<FoundBy> FoundByOf(const FoundFileRecord& record) {
  if (record.Kind() == SourceKind::kCarved) return FoundBy{"MSG0917", {}};
  const FileSystem* fs = FileSystemOfKind(record.Kind());
  if (fs == nullptr) return std::nullopt;
  const bool quick = record.Kind() == fs->quickKind;
  const std::string_view own = quick ? fs->quickMessageId : fs->deepMessageId;
  if (!own.empty()) return FoundBy{own, {}};
  return FoundBy{quick ? "MSG0921" : "MSG0922", fs->name};
}

WriteCheck CheckRecoveryDestination(const fs::path& folder, std::span<ScanTarget* const> targets,
                                    uint64_t totalBytes, uint64_t largestFile, bool force,
                                    const TargetVolumeFn& volumeOf) {
  WriteCheck check;
  for (const ScanTarget* t : targets) {
    if (force || t == nullptr || !DestinationOnSource(folder, *t)) continue;
    check.problem = WriteProblem::kOnSource;
    return check;
  }
  if (const uint32_t e = CheckWritableFolder(folder); e != err::kSuccess) {
    check.problem = WriteProblem::kNotWritable;
    check.error = e;
    return check;
  }
  const TargetVolume volume = volumeOf ? volumeOf(folder) : TargetVolume{};
  switch (CheckImageTarget(false, volume, largestFile)) {
    case ImageTargetCheck::kFatTooSmall:
      return {WriteProblem::kFatTooSmall, 0, largestFile, {}};
    case ImageTargetCheck::kFat32TooSmall:
      return {WriteProblem::kFat32TooSmall, 0, largestFile, {}};
    default:
      break;
  }
  // A volume whose free space could not be told is not refused for it.
  if (volumeOf && volume.freeBytes < totalBytes && !volume.fileSystemName.empty())
    return {WriteProblem::kNotEnoughSpace, 0, totalBytes, {}};
  return check;
}

WriteCheck CheckImageDestination(const fs::path& image, const ScanTarget& source, uint64_t sourceBytes,
                                 bool force, const TargetVolumeFn& volumeOf) {
  const bool onSource = !force && DestinationOnSource(image, source);
  if (onSource) return {WriteProblem::kOnSource, 0, 0, {}};
  // Found out now rather than after the source was read; never tried on the source itself.
  if (const uint32_t e = CheckWritableFile(image); e != err::kSuccess)
    return {WriteProblem::kNotWritable, e, 0, {}};
  switch (CheckImageTarget(false, volumeOf ? volumeOf(image) : TargetVolume{}, sourceBytes)) {
    case ImageTargetCheck::kFatTooSmall:
      return {WriteProblem::kFatTooSmall, 0, sourceBytes, {}};
    case ImageTargetCheck::kFat32TooSmall:
      return {WriteProblem::kFat32TooSmall, 0, sourceBytes, {}};
    case ImageTargetCheck::kNotEnoughSpace:
      return {WriteProblem::kNotEnoughSpace, 0, sourceBytes, {}};
    default:
      return {};
  }
}

std::string PlainWriteReason(uint32_t error) {
  switch (error) {
    case err::kAccessDenied:
      return "you have no right to write there";
    case err::kWriteProtect:
      return "the disk is write-protected or mounted read-only";
    case err::kDiskFull:
      return "the disk is full";
    case err::kFileNotFound:
    case err::kPathNotFound:
      return "the folder is not there and cannot be made";
    case err::kDeviceGone:
      return "the disk is not there any more";
    default:
      return ErrorText(error);
  }
}

std::string WriteProblemText(const WriteCheck& check, const fs::path& where) {
  const std::string path = os::Utf8OfPath(where);
  switch (check.problem) {
    case WriteProblem::kNone:
      return {};
    case WriteProblem::kNotWritable:
      return fmt::format("{} cannot be written: {}", path, PlainWriteReason(check.error));
    case WriteProblem::kOnSource:
      return fmt::format("{} is on the source being read: writing there may overwrite the lost files", path);
    case WriteProblem::kFatTooSmall:
    case WriteProblem::kFat32TooSmall:
      return fmt::format("{} is on a {} volume, which cannot hold a file of {}", path,
                         check.problem == WriteProblem::kFatTooSmall ? "FAT" : "FAT32",
                         HumanSize(check.bytes));
    case WriteProblem::kNotEnoughSpace:
      return fmt::format("not enough free space for {}: {} are needed", path, HumanSize(check.bytes));
  }
  return {};
}

}  // namespace snapsave
