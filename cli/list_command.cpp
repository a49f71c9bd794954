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
#include "cli/sources.h"
#include "cli/terminal_text.h"
#include "cli/terminal_view.h"
#include "engines/engine_factory.h"
#include "filetypes/file_categories.h"
#include "os/clock.h"
#include "os/error.h"
#include "os/paths.h"
#include "os/volume_space.h"
#include "sessions/destination_checks.h"
#include "sessions/found_walk.h"
#include "sessions/image_session.h"
#include "sessions/recovery_session.h"
#include "sessions/scan_session.h"
#include "storage/disk_list.h"
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

}  // namespace

int RunListCommand(bool json) {
  bool ok = false;
  const std::vector<VolumeInfo> entries = ListEntries(ok);
  if (!ok) {
    std::fputs("cannot read the system's list of disks and volumes\n", stderr);
    return kExitOpen;
  }
  if (!json) {
    std::printf("%-4s %-6s %-11s %-10s %-12s %-10s %-7s %-16s %s\n", "ID", "DISK", "KIND", "SIZE", "START",
                "FREE", "FS", "LABEL", "DEVICE / MOUNT POINT");
  }
  for (const VolumeInfo& v : entries) {
    const uint32_t id = v.driveLetter;
    if (json) {
      nlohmann::json j{{"id", id},
                       {"disk", v.diskNumber},
                       {"kind", KindName(v.kind)},
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
      std::printf("%s\n", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
      continue;
    }
    std::string where = v.rootPath;
    if (!v.mountPoint.empty()) where += " on " + v.mountPoint;
    std::printf(
        "%-4u %-6s %-11s %-10s %-12llu %-10s %-7s %-16s %s\n", id,
        fmt::format("disk{}", v.diskNumber).c_str(), KindName(v.kind), cli::HumanSize(v.totalBytes).c_str(),
        static_cast<unsigned long long>(v.startSector),
        v.kind == EntryKind::kVolume && !v.mountPoint.empty() ? cli::HumanSize(v.freeBytes).c_str() : "-",
        v.fileSystemName.empty() ? "-" : Shown(v.fileSystemName).c_str(),
        v.volumeLabel.empty() ? "-" : Shown(v.volumeLabel).c_str(), Shown(where).c_str());
  }
  if (!json && entries.empty())
    std::fputs("no disks found (reading disks usually needs root or membership of the disk group)\n", stderr);
  return kExitOk;
}

}  // namespace snapsave::cli
