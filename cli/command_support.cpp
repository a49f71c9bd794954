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
#include "storage/image_container.h"
#include "storage/sector_reader.h"

namespace snapsave::cli {

namespace fs = std::filesystem;

std::atomic<bool> g_cancel{false};

std::string Shown(std::string_view text) {
  return cli::EscapeForTerminal(text);
}

void RunSession(Session& session, cli::TerminalView& view, std::string_view confirmId) {
  session.Start();
  while (!view.Closed() && !session.WorkerDone()) {
    if (g_cancel.load()) {
      session.RequestCancel(confirmId);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  session.Wait();
  view.EndProgressLine();
  // Results went to stdout, summaries follow on stderr: keep them in that order when both are redirected.
  std::fflush(stdout);
}

std::string FormatFileTime(uint64_t fileTime) {
  if (fileTime == 0) return "";
  const os::LocalTime t = os::CivilTimeOfFileTime(fileTime);
  return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", t.year, t.month, t.day, t.hour, t.minute,
                     t.second);
}

std::vector<VolumeInfo> ListEntries(bool& ok) {
  DiskMap disks;
  ok = disks.Refresh();
  std::vector<VolumeInfo> entries;
  disks.GetAll(entries);
  return entries;
}

bool MakeTarget(const cli::Source& source, ScanTarget& target) {
  // A whole-disk image is copied or scanned whole as its file.
  if (source.kind == cli::Source::Kind::kImage || source.kind == cli::Source::Kind::kImageDisk) {
    target.imagePath = source.imagePath;
    target.imageDriveLetter = cli::kImageLetter;
    return true;
  }
  target.volume = source.volume;
  if (source.kind == cli::Source::Kind::kWholeDisk) {
    SectorReader reader;
    if (uint32_t e = reader.OpenDisk(source.volume.diskNumber); e != err::kSuccess) {
      std::fprintf(stderr, "cannot open %s: %s%s\n", Shown(source.description).c_str(), ErrorText(e).c_str(),
                   e == err::kAccessDenied ? fmt::format(" ({})", kDiskRights).c_str() : "");
      return false;
    }
    target.volume->startSector = 0;
    target.volume->sectorCount = reader.TotalSectors();
    target.volume->totalBytes = reader.TotalSectors() * reader.DeviceSectorSize();
  }
  return true;
}

bool QuickScannable(const VolumeInfo& v) {
  const std::string& fs = v.fileSystemName;
  return v.kind == EntryKind::kVolume && (fs == "FAT" || fs == "FAT32" || fs == "exFAT" || fs == "NTFS" ||
                                          fs == "ext2" || fs == "ext3" || fs == "ext4");
}

std::vector<NamedTarget> MakeTargets(const cli::Source& source, bool deep) {
  std::vector<NamedTarget> targets;
  if (source.kind != cli::Source::Kind::kImageDisk) {
    NamedTarget one;
    one.name = source.description;
    one.target = std::make_unique<ScanTarget>();
    if (MakeTarget(source, *one.target)) targets.push_back(std::move(one));
    return targets;
  }
  for (const VolumeInfo& v : source.entries) {
    if (!deep && !QuickScannable(v)) continue;
    NamedTarget t;
    t.name = cli::ImageEntryName(source.imagePath, v);
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

void ReportNoEngine(const cli::Source& source, const ScanTarget& target, bool quick) {
  SectorReader probe;
  const uint32_t error =
      target.IsDisk() ? probe.OpenDisk(target.volume->diskNumber) : probe.OpenFile(source.imagePath);
  std::fprintf(stderr, "cannot open %s: %s%s\n", Shown(source.description).c_str(),
               error != err::kSuccess ? ErrorText(error).c_str()
               : quick                ? "no FAT or NTFS volume found"
                                      : "the source is too short",
               error == err::kAccessDenied ? fmt::format(" ({})", kDiskRights).c_str() : "");
}

}  // namespace snapsave::cli
