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
#include "storage/sector_reader.h"

namespace snapsave::cli {

namespace fs = std::filesystem;

int RunImage(os::DiskTable& disks, const std::string& sourceText, const std::string& imagePath, bool force,
             int retries) {
  bool listed = false;
  std::vector<VolumeInfo> entries;
  if (!fs::is_regular_file(fs::path(sourceText))) entries = ListEntries(disks, listed);
  const SourceOrError resolved = ResolveSource(sourceText, entries, disks);
  if (!resolved.source) {
    std::fprintf(stderr, "cannot use %s: %s\n", Shown(sourceText).c_str(), resolved.error.c_str());
    return kExitOpen;
  }
  const Source& source = *resolved.source;
  WarnAboutImage(source);
  ScanTarget target;
  if (const uint32_t e = MakeTarget(source, target); e != err::kSuccess) {
    std::fprintf(stderr, "cannot open %s: %s%s\n", Shown(source.description).c_str(), ErrorText(e).c_str(),
                 e == err::kAccessDenied ? fmt::format(" ({})", kDiskRights).c_str() : "");
    return kExitOpen;
  }
  // The same checks as the desktop program's, before anything is written.
  if (entries.empty()) entries = ListEntries(disks, listed);  // the volumes the image may be written to
  const WriteCheck check =
      CheckImageDestination(imagePath, target, SourceBytes(target), force,
                            [&](const fs::path& p) { return TargetVolumeOf(p, entries); });
  if (const int code = ReportWriteProblem(check, imagePath, source.description); code != kExitOk) return code;
  std::vector<ScanTarget*> targets;
  fs::path wholeDisk;
  if (source.kind == Source::Kind::kWholeDisk) {
    wholeDisk = source.volume.diskPath;
  } else {
    targets.push_back(&target);
  }
  cli::TerminalView view;
  ImageSession session(view, imagePath, targets, wholeDisk, retries);
  RunSession(session, view, "MSG0306");
  const int32_t result = session.Result();
  const DiskImageWriter& writer = session.Writer();
  const uint64_t copied = writer.SectorsCopied();
  const RescueMap& map = writer.Map();
  if (map.Size() != 0) std::printf("%s\n", DescribeRescueMap(map).c_str());
  if (result == ScanCancelled) {
    std::fprintf(stderr, "stopped; the same command resumes the copy from %s\n",
                 Shown(os::Utf8OfPath(DiskImageWriter::MapPathOf(imagePath))).c_str());
    return kExitCancelled;
  }
  if (const std::string bad = DescribeBadSectors(writer); !bad.empty())
    std::fprintf(stderr, "%s\n", bad.c_str());
  if (result == static_cast<int32_t>(err::kDeviceGone) && map.Size() != 0) {
    std::fprintf(stderr,
                 "the source stopped answering (gone, or every read failing); what it did not give is left "
                 "untried in %s: connect it again and run the same command to go on\n",
                 Shown(os::Utf8OfPath(DiskImageWriter::MapPathOf(imagePath))).c_str());
    return kExitScan;
  }
  if (result != 0) {
    std::fprintf(stderr, "copy failed after %llu sectors: %s\n", static_cast<unsigned long long>(copied),
                 ErrorText(static_cast<uint32_t>(result)).c_str());
    return result == static_cast<int32_t>(err::kAccessDenied) || copied == 0 ? kExitOpen : kExitScan;
  }
  std::printf("copied %llu sectors (%s) of %s to %s\n", static_cast<unsigned long long>(copied),
              HumanSize(copied * writer.SectorSize()).c_str(), Shown(source.description).c_str(),
              Shown(imagePath).c_str());
  return writer.BadSectorCount() != 0 ? kExitIncomplete : kExitOk;
}

}  // namespace snapsave::cli
