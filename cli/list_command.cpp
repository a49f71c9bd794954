#include "cli/commands.h"

#include <fmt/core.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <deque>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include "catalog/recovery_output.h"
#include "cli/terminal_text.h"
#include "cli/terminal_view.h"
#include "filetypes/file_categories.h"
#include "os/clock.h"
#include "os/device.h"
#include "os/error.h"
#include "os/paths.h"
#include "os/text.h"
#include "os/volume_space.h"
#include "sessions/destination_checks.h"
#include "sessions/found_walk.h"
#include "sessions/image_session.h"
#include "sessions/recovery_session.h"
#include "sessions/scan_plan.h"
#include "sessions/scan_session.h"
#include "storage/disk_list.h"
#include "storage/image_container.h"
#include "storage/image_layout.h"
#include "storage/sector_reader.h"

namespace snapsave::cli {

namespace fs = std::filesystem;

namespace {

const char* KindName(EntryKind kind) {
  switch (kind) {
    case EntryKind::kVolume:
      return "volume";
    case EntryKind::kUnallocated:
      return "unallocated";
    case EntryKind::kWholeDisk:
      return "disk";
  }
  return "";
}

// One line (or JSON object) of the listing; `id` is what SOURCE names the entry by. A volume `found` by a
// search is of kind "found".
void PrintEntry(VolumeInfo v, const std::string& id, bool json, int idWidth = 4, bool found = false) {
  LearnVolumeSpace(v);
  const char* kind = found ? "found" : KindName(v.kind);
  if (json) {
    nlohmann::json j{{"id", id},
                     {"disk", v.diskNumber},
                     {"kind", kind},
                     {"partition", v.partitionNumber},
                     {"partitionType", v.partitionType},
                     {"startSector", v.startSector},
                     {"sectorCount", v.sectorCount},
                     {"totalBytes", v.totalBytes},
                     {"freeBytes", v.freeBytes},
                     {"usedBytes", v.usedBytes},
                     {"fileSystem", v.fileSystemName},
                     {"label", v.volumeLabel},
                     {"device", v.rootPath},
                     {"mountPoint", v.mountPoint}};
    // Unknown space is said so, not guessed.
    if (!v.spaceKnown) j["freeBytes"] = j["usedBytes"] = nullptr;
    if (!v.logicalVolume.empty()) {
      j["logicalVolume"] = v.logicalVolume;
      j["removed"] = v.logicalVolumeRemoved;
    }
    // The system's entries keep their numeric IDs.
    if (v.diskNumber < os::DiskTable::kFirstImageDisk) {
      if (v.driveLetter >= u'A' && v.driveLetter <= u'Z') {
        j["id"] = EntryId(v.driveLetter);
      } else {
        j["id"] = static_cast<uint32_t>(v.driveLetter);
      }
    }
    std::printf("%s\n", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return;
  }
  std::string where = v.rootPath;
  if (!v.mountPoint.empty()) where += " on " + v.mountPoint;
  const std::string disk =
      v.diskNumber < os::DiskTable::kFirstImageDisk ? fmt::format("disk{}", v.diskNumber) : "-";
  std::printf("%-*s %-6s %-11s %-10s %-12llu %-10s %-7s %-16s %s\n", idWidth, Shown(id).c_str(), disk.c_str(),
              kind, HumanSize(v.totalBytes).c_str(), static_cast<unsigned long long>(v.startSector),
              v.kind == EntryKind::kVolume && v.spaceKnown ? HumanSize(v.freeBytes).c_str() : "-",
              v.fileSystemName.empty() ? "-" : Shown(v.fileSystemName).c_str(),
              v.volumeLabel.empty() ? "-" : Shown(v.volumeLabel).c_str(), Shown(where).c_str());
}

void PrintHeader(bool json, int idWidth = 4) {
  if (!json)
    std::printf("%-*s %-6s %-11s %-10s %-12s %-10s %-7s %-16s %s\n", idWidth, "ID", "DISK", "KIND", "SIZE",
                "START", "FREE", "FS", "LABEL", "DEVICE / MOUNT POINT");
}

// Reads the whole image for volumes by their own structures and lists those its table does not name; says
// which of the table's entries hold no volume where they say.
// `disk` is the image (diskIsImage) or the system's disk (its diskNumber and device); `name` what its found
// volumes' IDs start with ("card.img", "disk1").
int SearchDisk(const VolumeInfo& disk, const std::string& name, const std::vector<VolumeInfo>& table,
               bool json, int width) {
  SectorReader reader;
  const fs::path path = os::PathFromUtf8(disk.diskPath);
  const uint32_t opened = disk.diskIsImage ? reader.OpenFile(path) : reader.OpenDisk(path);
  if (opened != err::kSuccess) {
    std::fprintf(stderr, "cannot read %s: %s%s\n", Shown(name).c_str(), ErrorText(opened).c_str(),
                 opened == err::kAccessDenied ? fmt::format(" ({})", kDiskRights).c_str() : "");
    return kExitOpen;
  }
  const bool terminal = ::isatty(STDERR_FILENO) != 0;
  uint64_t lastShown = 0;
  const std::vector<FoundVolume> found =
      SearchLostVolumes(reader, reader.TotalSectors(), [&](uint64_t done, uint64_t total) {
        if (g_cancel.load()) return false;
        const uint64_t now = os::TickMs();
        if (terminal && (now - lastShown >= 1000 || done == total)) {
          lastShown = now;
          std::fprintf(stderr, "\rsearching for lost volumes: %llu%%",
                       static_cast<unsigned long long>(total == 0 ? 100 : done * 100 / total));
        }
        return true;
      });
  if (terminal) std::fputs("\n", stderr);
  std::fflush(stdout);
  if (g_cancel.load()) {
    std::fputs("stopped: the search found nothing it could vouch for yet\n", stderr);
    return kExitCancelled;
  }
  for (const VolumeInfo& v : table) {
    if (v.kind != EntryKind::kVolume) continue;
    if (!CheckVolumeAt(reader, v.startSector, reader.TotalSectors()))
      std::fprintf(
          stderr,
          "warning: entry %u of the partition table (sectors %llu-%llu) holds no volume the search can "
          "read where the table puts it\n",
          static_cast<uint32_t>(v.driveLetter), static_cast<unsigned long long>(v.startSector),
          static_cast<unsigned long long>(v.startSector + v.sectorCount - 1));
  }
  std::vector<std::pair<VolumeInfo, std::string>> shown;
  for (const FoundVolume& f : found) {
    const bool named = std::any_of(table.begin(), table.end(), [&](const VolumeInfo& v) {
      return v.kind == EntryKind::kVolume && v.startSector == f.startSector && v.sectorCount >= f.sectorCount;
    });
    if (named) continue;
    for (const VolumeInfo& v : FoundVolumeEntries(disk, {f}, {}, static_cast<uint32_t>(shown.size() + 1)))
      shown.emplace_back(v, fmt::format("{}@{}", name, f.startSector));
  }
  // A table of their own: 'scan' takes their IDs.
  for (const auto& [v, id] : shown) width = std::max(width, static_cast<int>(Shown(id).size()));
  if (!json && !shown.empty()) {
    std::printf("\n");
    PrintHeader(json, width);
  }
  for (const auto& [v, id] : shown) PrintEntry(v, id, json, width, true);
  std::fflush(stdout);
  if (!json)
    std::fprintf(stderr, "%zu volume%s found that the partition table does not name\n", shown.size(),
                 shown.size() == 1 ? "" : "s");
  return kExitOk;
}

// The entries of an image file: its volumes and free stretches, or the image itself as one volume.
int ListImage(os::DiskTable& disks, bool json, const std::string& imageText, bool search) {
  const fs::path image(imageText);
  std::error_code ec;
  if (!fs::is_regular_file(image, ec)) {
    std::fprintf(stderr, "cannot use %s: not an image file\n", Shown(imageText).c_str());
    return kExitOpen;
  }
  if (ImageMediaBytes(image) < SectorReader::kImageSectorSize) {
    const std::string why = ImageProblem(image);
    std::fprintf(
        stderr, "cannot use %s: %s\n", Shown(imageText).c_str(),
        why.empty() ? "the file is empty (or shorter than one sector): no disk image" : Shown(why).c_str());
    return kExitOpen;
  }
  ImageDisk disk;
  if (const uint32_t e = ReadImageDisk(disks, image, disk); e != err::kSuccess) {
    const std::string why = ImageProblem(image);
    std::fprintf(stderr, "cannot read %s: %s\n", Shown(imageText).c_str(),
                 why.empty() ? ErrorText(e).c_str() : Shown(why).c_str());
    return kExitOpen;
  }
  if (const std::string damage = ImageWarningsOf(image); !damage.empty())
    std::fprintf(stderr, "warning: %s: %s\n", Shown(imageText).c_str(), Shown(damage).c_str());
  int width = static_cast<int>(Shown(os::Utf8OfPath(image)).size());
  for (const VolumeInfo& v : disk.entries)
    width = std::max(width, static_cast<int>(Shown(ImageEntryName(image, v)).size()));
  PrintHeader(json, width);
  if (disk.diskNumber < 0) {
    VolumeInfo whole;
    whole.kind = EntryKind::kVolume;
    whole.diskNumber = os::DiskTable::kFirstImageDisk;
    whole.totalBytes = ImageMediaBytes(image);
    whole.sectorCount = whole.totalBytes / SectorReader::kImageSectorSize;
    whole.rootPath = os::Utf8OfPath(image);
    whole.diskPath = whole.rootPath;
    whole.diskIsImage = true;
    const ImageVolumeFacts facts = ProbeWholeImage(image);
    whole.fileSystemName = facts.fileSystemName;
    whole.volumeLabel = facts.label;
    PrintEntry(whole, os::Utf8OfPath(image), json, width);
    return search ? SearchDisk(whole, os::Utf8OfPath(image), {}, json, width) : kExitOk;
  }
  for (const VolumeInfo& v : disk.entries) PrintEntry(v, ImageEntryName(image, v), json, width);
  VolumeInfo whole;
  whole.diskPath = os::Utf8OfPath(image);
  whole.diskIsImage = true;
  whole.diskNumber = disk.diskNumber;
  return search ? SearchDisk(whole, os::Utf8OfPath(image), disk.entries, json, width) : kExitOk;
}

}  // namespace

int RunListCommand(os::DiskTable& disks, bool json, const std::string& image, bool search) {
  std::error_code ec;
  if (search && image.starts_with("disk") && !fs::exists(image, ec)) {
    // A system disk: its entries as listed, then what the search finds on it.
    bool ok = false;
    const std::vector<VolumeInfo> entries = ListEntries(disks, ok);
    const SourceOrError resolved = ResolveSource(image, entries, disks);
    if (!resolved.source || resolved.source->kind != Source::Kind::kWholeDisk ||
        resolved.source->volume.diskPath.empty()) {
      std::fprintf(
          stderr, "cannot use %s: %s\n", Shown(image).c_str(),
          resolved.error.empty() ? "no such disk ('snapsave-cli list')" : Shown(resolved.error).c_str());
      return kExitOpen;
    }
    std::vector<VolumeInfo> table;
    for (const VolumeInfo& v : entries)
      if (v.diskNumber == resolved.source->volume.diskNumber) table.push_back(v);
    PrintHeader(json);
    for (const VolumeInfo& v : table) PrintEntry(v, EntryId(v.driveLetter), json);
    return SearchDisk(resolved.source->volume, image, table, json, 4);
  }
  if (!image.empty()) return ListImage(disks, json, image, search);
  if (search) {
    std::fputs(
        "--search reads a disk or a disk image: name one ('snapsave-cli list disk1 --search', "
        "'snapsave-cli list IMAGE --search')\n",
        stderr);
    return kExitUsage;
  }
  bool ok = false;
  const std::vector<VolumeInfo> entries = ListEntries(disks, ok);
  if (!ok) {
    std::fputs("cannot read the system's list of disks and volumes\n", stderr);
    return kExitOpen;
  }
  PrintHeader(json);
  for (const VolumeInfo& v : entries) PrintEntry(v, EntryId(v.driveLetter), json);
  if (!json && entries.empty()) std::fprintf(stderr, "no disks found (to read disks, %s)\n", kDiskRights);
  return kExitOk;
}

}  // namespace snapsave::cli
