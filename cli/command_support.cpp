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
#include "storage/image_container.h"
#include "storage/image_layout.h"
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

std::vector<VolumeInfo> ListEntries(const os::DiskTable& disks, bool& ok) {
  DiskMap map(MakeSystemDiskFacts(disks));
  ok = map.Refresh();
  std::vector<VolumeInfo> entries;
  map.GetAll(entries);
  return entries;
}

std::vector<NamedTarget> OpenTargets(const Source& source, bool deep) {
  uint32_t error = err::kSuccess;
  std::vector<NamedTarget> targets = MakeTargets(source, deep, error);
  if (error != err::kSuccess)
    std::fprintf(stderr, "cannot open %s: %s%s\n", Shown(source.description).c_str(),
                 ErrorText(error).c_str(),
                 error == err::kAccessDenied ? fmt::format(" ({})", kDiskRights).c_str() : "");
  return targets;
}

void WarnAboutImage(const Source& source) {
  if (source.imagePath.empty()) return;
  if (const std::string damage = ImageWarningsOf(source.imagePath); !damage.empty())
    std::fprintf(stderr, "warning: %s: %s\n", Shown(os::Utf8OfPath(source.imagePath)).c_str(),
                 Shown(damage).c_str());
}

void ReportNoEngine(const Source& source, const ScanTarget& target, bool quick) {
  uint32_t error = err::kSuccess;
  const std::string why = WhyNoEngine(target, quick, error);
  std::fprintf(stderr, "cannot open %s: %s%s\n", Shown(source.description).c_str(), why.c_str(),
               error == err::kAccessDenied ? fmt::format(" ({})", kDiskRights).c_str() : "");
  // An image of a whole disk whose partition table is gone looks like this too.
  if (quick && error == err::kSuccess && source.kind == Source::Kind::kImage)
    std::fprintf(stderr,
                 "if it is an image of a whole disk whose partition table was wiped, 'snapsave-cli list %s "
                 "--search' finds its volumes by their boot sectors and superblocks, and a deep scan lists "
                 "them too\n",
                 Shown(os::Utf8OfPath(source.imagePath)).c_str());
}

int ReportWriteProblem(const WriteCheck& check, const fs::path& where, const std::string& source) {
  switch (check.problem) {
    case WriteProblem::kNone:
      return kExitOk;
    case WriteProblem::kOnSource:
      std::fprintf(stderr,
                   "%s is on %s, the source being read: writing there may overwrite the lost files.\n"
                   "Choose a folder on another disk, or add --force to write there anyway.\n",
                   Shown(os::Utf8OfPath(where)).c_str(), Shown(source).c_str());
      return kExitOnSource;
    case WriteProblem::kNotWritable:
      std::fprintf(stderr, "cannot write %s: %s\n", Shown(os::Utf8OfPath(where)).c_str(),
                   ErrorText(check.error).c_str());
      return kExitUsage;
    case WriteProblem::kFatTooSmall:
    case WriteProblem::kFat32TooSmall:
    case WriteProblem::kNotEnoughSpace:
      std::fprintf(stderr, "%s\n", Shown(WriteProblemText(check, where)).c_str());
      return kExitScan;
  }
  return kExitOk;
}

}  // namespace snapsave::cli
