// The commands of snapsave-cli apart from argument parsing: list, scan and image, and what they share.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cli/terminal_view.h"
#include "sessions/scan_plan.h"
#include "sessions/scan_session.h"
#include "sessions/session.h"
#include "storage/disk_list.h"

namespace snapsave::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 1;
inline constexpr int kExitOpen = 2;
inline constexpr int kExitScan = 3;
inline constexpr int kExitIncomplete = 4;
inline constexpr int kExitOnSource = 5;
inline constexpr int kExitCancelled = 130;

// What reading a disk takes, said where access was denied.
#ifdef _WIN32
inline constexpr const char* kDiskRights = "run it from a prompt started with \"Run as administrator\"";
#else
inline constexpr const char* kDiskRights = "run as root, or join the disk group";
#endif

// Set by Ctrl-C; a running session is then asked to stop.
extern std::atomic<bool> g_cancel;

// Names and paths come from the scanned medium or the command line: never print them raw.
std::string Shown(std::string_view text);
// Runs a session to its end on this thread's behalf; Ctrl-C is its cancel button.
void RunSession(Session& session, TerminalView& view, std::string_view confirmId);
// "YYYY-MM-DD HH:MM:SS" of a FILETIME, taken as it was stored (no time zone); empty when unknown.
std::string FormatFileTime(uint64_t fileTime);
// The listing of the disks of `disks`, with their volumes and free stretches; entries are what SOURCE can
// name.
std::vector<VolumeInfo> ListEntries(const os::DiskTable& disks, bool& ok);
// MakeTargets, saying on stderr why a source cannot be opened.
std::vector<NamedTarget> OpenTargets(const Source& source, bool deep);
// Says on stderr what is wrong with an image source that opened anyway (a missing segment, a cut end): its
// missing sectors read as unreadable.
void WarnAboutImage(const Source& source);

// Why no engine could be made for the target, in words.
void ReportNoEngine(const Source& source, const ScanTarget& target, bool quick);
// Says on stderr what stands against writing at `where`; the exit code it calls for (0 for nothing).
int ReportWriteProblem(const WriteCheck& check, const std::filesystem::path& where,
                       const std::string& source);

struct ScanOptions {
  std::string source;
  bool quick = false;
  bool resume = false;
  bool fresh = false;
  bool list = false;
  bool json = false;
  bool force = false;
  bool all = false;  // the files that still exist too
  std::string types;
  std::string recoverTo;
  uint32_t checkpointMib = 0;  // 0: the deep scan's own interval
  std::string commandLine;     // as run, for the recovery report
};

// Lists the system's disks, or with `image` the entries of that image file; with `search`, and the volumes
// found in it that its partition table does not name.
// Each takes the disks of the system as `disks` numbers them.
int RunListCommand(os::DiskTable& disks, bool json, const std::string& image, bool search);
int RunScan(os::DiskTable& disks, const ScanOptions& o);
int RunImage(os::DiskTable& disks, const std::string& sourceText, const std::string& imagePath, bool force,
             int retries);

}  // namespace snapsave::cli
