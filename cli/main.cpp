// snapsave-cli: the command-line front end over the scan, recovery and image sessions.
//
// Exit codes: 0 success; 1 usage error; 2 the source could not be opened or holds no known volume; 3 the scan
// or the copy failed; 4 incomplete: some files were not recovered, or some sectors could not be read (they
// are zeros in the image); 5 the destination lies on the source (see --force); 130 cancelled with Ctrl-C.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

#include <fmt/core.h>
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "catalog/recovery_output.h"
#include "cli/sources.h"
#include "cli/terminal_text.h"
#include "cli/terminal_view.h"
#include "engines/deep_scan_engine.h"
#include "filetypes/file_categories.h"
#include "os/clock.h"
#include "os/error.h"
#include "os/paths.h"
#include "os/volume_space.h"
#include "sessions/image_session.h"
#include "sessions/recovery_session.h"
#include "sessions/scan_session.h"
#include "storage/disk_list.h"
#include "storage/sector_reader.h"

namespace {

using namespace snapsave;
namespace fs = std::filesystem;

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitOpen = 2;
constexpr int kExitScan = 3;
constexpr int kExitIncomplete = 4;
constexpr int kExitOnSource = 5;
constexpr int kExitCancelled = 130;
// Deeper than any real tree; a damaged catalogue cannot make the walk descend for ever.
constexpr uint32_t kMaxDepth = 512;

std::atomic<bool> g_cancel{false};

// Names and paths come from the scanned medium or the command line: never print them raw.
std::string Shown(std::string_view text) {
  return cli::EscapeForTerminal(text);
}

extern "C" void OnInterrupt(int) {
  g_cancel.store(true);
}

// Runs a session to its end on this thread's behalf; Ctrl-C is its cancel button.
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

// "YYYY-MM-DD HH:MM:SS" of a FILETIME, taken as it was stored (no time zone); empty when unknown.
std::string FormatFileTime(uint64_t fileTime) {
  if (fileTime == 0) return "";
  const os::LocalTime t = os::CivilTimeOfFileTime(fileTime);
  return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", t.year, t.month, t.day, t.hour, t.minute,
                     t.second);
}

// Every found item, breadth first, with its folder path in the found tree ("/" for the root) and the folder a
// recovery puts it in below the destination. Carved files sit in the root; they are shown and recovered in
// the folder of their category ("/photo/").
template <typename Fn>
uint32_t WalkFound(IFileRecoveryParse& engine, Fn&& fn) {
  struct Level {
    RecordList list;
    uint32_t depth;  // of the listed items' children
    std::string path;
    std::filesystem::path folder;
  };
  RecordList root;
  if (uint32_t e = engine.ListFolder(nullptr, 0, root); e != err::kSuccess) return e;
  std::deque<Level> pending;
  pending.push_back({std::move(root), 1, "/", {}});
  // A folder is known by its engine, depth and entryRef: two engines may number different folders alike.
  std::set<std::tuple<uint32_t, uint32_t, uint32_t>> seen;
  while (!pending.empty()) {
    Level level = std::move(pending.front());
    pending.pop_front();
    for (const FoundFileRecord& r : level.list) {
      if (r.Kind() == SourceKind::kCarved && level.depth == 1) {
        const std::string category(ClassifyFileName(r.Name()));
        fn(r, "/" + category + "/", std::filesystem::path(category));
        continue;
      }
      fn(r, level.path, level.folder);
      if (r.isFolder == 0 || level.depth > kMaxDepth ||
          !seen.insert({r.sourceKind, level.depth, r.entryRef}).second)
        continue;
      RecordList children;
      if (engine.ListFolder(&r, static_cast<int32_t>(level.depth), children) != err::kSuccess) continue;
      pending.push_back({std::move(children), level.depth + 1, level.path + std::string(r.Name()) + "/",
                         level.folder / SanitizeNameComponent(r.Name())});
    }
  }
  return err::kSuccess;
}

// The deep scan's merged results: what a file-system engine found is listed once, and carved files only where
// no file-system engine found the same file.
template <typename Fn>
uint32_t WalkMerged(IFileRecoveryParse& engine, Fn&& fn) {
  auto* deep = dynamic_cast<CProfessionalRecovery*>(&engine);
  if (deep == nullptr) return WalkFound(engine, fn);
  deep->ClearMerge();
  if (uint32_t e = WalkFound(engine, [&](const FoundFileRecord& r, const std::string&,
                                         const std::filesystem::path&) { deep->NoteForMerge(r); });
      e != err::kSuccess) {
    return e;
  }
  return WalkFound(
      engine, [&](const FoundFileRecord& r, const std::string& path, const std::filesystem::path& folder) {
        if (deep->KeptInMerge(r)) fn(r, path, folder);
      });
}

void PrintRecord(const FoundFileRecord& r, const std::string& path, bool json,
                 nlohmann::json extra = nlohmann::json::object()) {
  if (json) {
    nlohmann::json j = std::move(extra);
    j.update(nlohmann::json{{"type", r.isFolder != 0 ? "folder" : "file"},
                            {"path", path},
                            {"name", std::string(r.Name())},
                            {"size", r.fileSize},
                            {"modified", FormatFileTime(r.writeTime)},
                            {"created", FormatFileTime(r.creationTime)},
                            {"intact", r.isIntact != 0},
                            {"deleted", r.isDeleted != 0}});
    std::printf("%s\n", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return;
  }
  std::printf("%s\t%s\t%s\t%llu\t%s\t%s\t%s\n", r.isFolder != 0 ? "folder" : "file", Shown(path).c_str(),
              Shown(r.Name()).c_str(), static_cast<unsigned long long>(r.fileSize),
              FormatFileTime(r.writeTime).c_str(), FormatFileTime(r.creationTime).c_str(),
              r.isIntact != 0 ? "intact" : "damaged");
}

// The listing of disks, volumes and free stretches; entries are what SOURCE can name.
std::vector<VolumeInfo> ListEntries(bool& ok) {
  DiskMap disks;
  ok = disks.Refresh();
  std::vector<VolumeInfo> entries;
  disks.GetAll(entries);
  return entries;
}

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

// The source as a scan target; a whole disk gets its size from the device when the listing had none.
bool MakeTarget(const cli::Source& source, ScanTarget& target) {
  if (source.kind == cli::Source::Kind::kImage) {
    target.imagePath = source.imagePath;
    target.imageDriveLetter = cli::kImageLetter;
    return true;
  }
  target.volume = source.volume;
  if (source.kind == cli::Source::Kind::kWholeDisk) {
    SectorReader reader;
    if (uint32_t e = reader.OpenDisk(source.volume.diskNumber); e != err::kSuccess) {
      std::fprintf(stderr, "cannot open %s: %s%s\n", Shown(source.description).c_str(), ErrorText(e).c_str(),
                   e == err::kAccessDenied ? " (run as root, or join the disk group)" : "");
      return false;
    }
    target.volume->startSector = 0;
    target.volume->sectorCount = reader.TotalSectors();
  }
  return true;
}

// Why no engine could be made for the target, in words.
void ReportNoEngine(const cli::Source& source, const ScanTarget& target, bool quick) {
  SectorReader probe;
  const uint32_t error =
      target.IsDisk() ? probe.OpenDisk(target.volume->diskNumber) : probe.OpenFile(source.imagePath);
  std::fprintf(stderr, "cannot open %s: %s%s\n", Shown(source.description).c_str(),
               error != err::kSuccess ? ErrorText(error).c_str()
               : quick                ? "no FAT or NTFS volume found"
                                      : "the source is too short",
               error == err::kAccessDenied ? " (run as root, or join the disk group)" : "");
}

struct ScanOptions {
  std::string source;
  bool quick = false;
  bool resume = false;
  bool fresh = false;
  bool list = false;
  bool json = false;
  bool force = false;
  std::string types;
  std::string recoverTo;
};

void PrintGrouped(const RecordList& found, IFileRecoveryParse& engine, bool json) {
  // By category, then extension, then name: the groups a user sorts a card's photos and videos into.
  std::map<std::tuple<std::string, std::string>, std::vector<const FoundFileRecord*>> groups;
  for (const FoundFileRecord& r : found) {
    if (r.isFolder != 0) continue;
    groups[{std::string(ClassifyFileName(r.Name())), cli::ExtensionOf(r.Name())}].push_back(&r);
  }
  for (const auto& [key, records] : groups) {
    const auto& [category, extension] = key;
    if (!json) std::printf("# %s .%s: %zu\n", category.c_str(), Shown(extension).c_str(), records.size());
    for (const FoundFileRecord* r : records) {
      std::string path;
      if (r->Kind() == SourceKind::kCarved || engine.GetRecordPath(r, path) != err::kSuccess) path.clear();
      std::string folder = "/" + path;
      std::replace(folder.begin(), folder.end(), '\\', '/');
      PrintRecord(*r, folder, json, nlohmann::json{{"category", category}, {"extension", extension}});
    }
  }
}

int RunScan(const ScanOptions& o) {
  bool listed = false;
  std::vector<VolumeInfo> entries;
  const bool looksLikeFile = fs::is_regular_file(fs::path(o.source));
  if (!looksLikeFile) entries = ListEntries(listed);
  const cli::SourceOrError resolved = cli::ResolveSource(o.source, entries);
  if (!resolved.source) {
    std::fprintf(stderr, "cannot use %s: %s\n", Shown(o.source).c_str(), resolved.error.c_str());
    return kExitOpen;
  }
  const cli::Source& source = *resolved.source;
  std::string extensionList;
  if (!o.types.empty()) {
    const cli::TypesOrError types = cli::ParseTypes(o.types);
    if (!types.error.empty()) {
      std::fprintf(stderr, "--types: %s\n", Shown(types.error).c_str());
      return kExitUsage;
    }
    extensionList = types.extensionList;
  }
  // Checked before the scan, which may take hours: files written onto the source overwrite what is lost.
  if (!o.recoverTo.empty() && source.kind != cli::Source::Kind::kImage && !o.force &&
      os::DestinationOnSource(o.recoverTo, source.volume.diskNumber, source.volume.startSector,
                              source.kind == cli::Source::Kind::kWholeDisk)) {
    std::fprintf(stderr,
                 "%s is on %s, the source being recovered from: writing there may overwrite the lost files.\n"
                 "Choose a folder on another disk, or add --force to write there anyway.\n",
                 Shown(o.recoverTo).c_str(), Shown(source.description).c_str());
    return kExitOnSource;
  }

  // Declared before the target: its engine keeps catalogues and saved positions here.
  SavedScanStore store(os::ScanLogFolder());
  ScanTarget target;
  if (!MakeTarget(source, target)) return kExitOpen;
  const cli::ResumePolicy policy = o.resume  ? cli::ResumePolicy::kResume
                                   : o.fresh ? cli::ResumePolicy::kFresh
                                             : cli::ResumePolicy::kAsk;
  {
    cli::TerminalView view(policy);
    ScanSession session(view, {&target}, !o.quick, DefaultEngineMaker(store));
    RunSession(session, view, "MSG0709");
    if (view.EndCode() == kEndFailed || !target.engine) {
      ReportNoEngine(source, target, o.quick);
      return kExitOpen;
    }
    const int32_t scanned = session.Results().empty() ? ScanCancelled : session.Results().front();
    if (scanned == ScanCancelled) {
      if (!o.quick)
        std::fprintf(stderr,
                     "stopped; the scan's position is saved: run 'snapsave-cli scan %s --resume' to go on\n",
                     Shown(o.source).c_str());
      return kExitCancelled;
    }
    if (scanned != 0) {
      std::fprintf(stderr, "scan failed: %s\n", ErrorText(static_cast<uint32_t>(scanned)).c_str());
      return kExitScan;
    }
  }
  IFileRecoveryParse& engine = *target.engine;
  auto* deep = dynamic_cast<CProfessionalRecovery*>(&engine);
  if (deep != nullptr && deep->UnreadableSectors() != 0) {
    std::fprintf(stderr, "%llu unreadable sectors were skipped, the first at sector %llu\n",
                 static_cast<unsigned long long>(deep->UnreadableSectors()),
                 static_cast<unsigned long long>(deep->FirstUnreadableSector().value_or(0)));
  }

  std::vector<RecoveryItem> items;
  std::vector<fs::path> folders;  // made first, so that empty found folders come back too
  if (!extensionList.empty()) {
    RecordList found;
    cli::TerminalView view;
    SearchSession search(view, {&target}, extensionList, found);
    RunSession(search, view, "MSG1205");
    if (g_cancel.load()) return kExitCancelled;
    if (o.list) PrintGrouped(found, engine, o.json);
    for (const FoundFileRecord& r : found) {
      if (r.isFolder == 0) items.push_back({r, std::nullopt});
    }
    if (!o.list && o.recoverTo.empty()) std::printf("%zu matching files found\n", items.size());
  } else {
    const uint32_t walked =
        WalkMerged(engine, [&](const FoundFileRecord& r, const std::string& path, const fs::path& folder) {
          if (o.list) PrintRecord(r, path, o.json);
          if (o.recoverTo.empty()) return;
          if (r.isFolder != 0) {
            folders.push_back(folder / SanitizeNameComponent(r.Name()));
          } else {
            // Carved files have no folder of their own: they go to their category's.
            items.push_back(
                {r, r.Kind() == SourceKind::kCarved ? std::nullopt : std::optional<fs::path>(folder)});
          }
        });
    if (walked != err::kSuccess) {
      std::fprintf(stderr, "cannot list the results: %s\n", ErrorText(walked).c_str());
      return kExitScan;
    }
    if (!o.list && o.recoverTo.empty())
      std::printf("%llu items found\n", static_cast<unsigned long long>(engine.GetRecordCount()));
  }
  if (o.recoverTo.empty()) return kExitOk;

  const fs::path destination = TrimDestination(o.recoverTo);
  if (uint32_t e = os::CreateFolders(destination); e != err::kSuccess && !IsAlreadyExists(e)) {
    std::fprintf(stderr, "cannot create %s: %s\n", Shown(destination.native()).c_str(), ErrorText(e).c_str());
    return kExitIncomplete;
  }
  bool folderFailed = false;
  for (const fs::path& folder : folders) {
    if (uint32_t e = os::CreateFolders(destination / folder); e != err::kSuccess && !IsAlreadyExists(e)) {
      std::fprintf(stderr, "failed: %s: %s\n", Shown((destination / folder).native()).c_str(),
                   ErrorText(e).c_str());
      folderFailed = true;
    }
  }
  cli::TerminalView view;
  RecoverySession recovery(view, {&target}, destination, std::move(items));
  RunSession(recovery, view, "MSG1103");
  if (recovery.Cancelled()) return kExitCancelled;
  const RecoverySession::Counters counters = recovery.Totals();
  std::fprintf(stderr, "%u of %u files recovered into %s%s\n", counters.finished - counters.failed,
               counters.total, Shown(destination.native()).c_str(),
               counters.failed != 0 ? fmt::format(", {} failed", counters.failed).c_str() : "");
  return counters.failed != 0 || folderFailed ? kExitIncomplete : kExitOk;
}

int RunImage(const std::string& sourceText, const std::string& imagePath, bool force) {
  bool listed = false;
  std::vector<VolumeInfo> entries;
  if (!fs::is_regular_file(fs::path(sourceText))) entries = ListEntries(listed);
  const cli::SourceOrError resolved = cli::ResolveSource(sourceText, entries);
  if (!resolved.source) {
    std::fprintf(stderr, "cannot use %s: %s\n", Shown(sourceText).c_str(), resolved.error.c_str());
    return kExitOpen;
  }
  const cli::Source& source = *resolved.source;
  if (source.kind != cli::Source::Kind::kImage && !force &&
      os::DestinationOnSource(
          fs::path(imagePath).parent_path().empty() ? fs::path(".") : fs::path(imagePath).parent_path(),
          source.volume.diskNumber, source.volume.startSector,
          source.kind == cli::Source::Kind::kWholeDisk)) {
    std::fprintf(stderr,
                 "%s is on %s, the source being copied: writing there may overwrite the lost files.\n"
                 "Choose a folder on another disk, or add --force to write there anyway.\n",
                 Shown(imagePath).c_str(), Shown(source.description).c_str());
    return kExitOnSource;
  }
  ScanTarget target;
  std::vector<ScanTarget*> targets;
  int32_t wholeDisk = -1;
  if (source.kind == cli::Source::Kind::kWholeDisk) {
    wholeDisk = source.volume.diskNumber;
  } else {
    if (!MakeTarget(source, target)) return kExitOpen;
    targets.push_back(&target);
  }
  cli::TerminalView view;
  ImageSession session(view, imagePath, targets, wholeDisk);
  RunSession(session, view, "MSG0306");
  const int32_t result = session.Result();
  const DiskImageWriter& writer = session.Writer();
  const uint64_t copied = writer.SectorsCopied();
  if (result == ScanCancelled) {
    std::fprintf(stderr, "stopped; %s holds the first %llu sectors\n", Shown(imagePath).c_str(),
                 static_cast<unsigned long long>(copied));
    return kExitCancelled;
  }
  if (const std::string bad = DescribeBadSectors(writer); !bad.empty())
    std::fprintf(stderr, "%s\n", bad.c_str());
  if (result != 0) {
    std::fprintf(stderr, "copy failed after %llu sectors: %s\n", static_cast<unsigned long long>(copied),
                 ErrorText(static_cast<uint32_t>(result)).c_str());
    return result == static_cast<int32_t>(err::kAccessDenied) || copied == 0 ? kExitOpen : kExitScan;
  }
  std::printf("copied %llu sectors (%s) of %s to %s\n", static_cast<unsigned long long>(copied),
              cli::HumanSize(copied * writer.SectorSize()).c_str(), Shown(source.description).c_str(),
              Shown(imagePath).c_str());
  return writer.BadSectorCount() != 0 ? kExitIncomplete : kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Snapsave: find and recover deleted and lost files on disks, volumes and disk images."};
  app.set_version_flag("--version", "snapsave-cli 0.2.0");
  app.require_subcommand(0, 1);
  app.footer(
      "SOURCE is a disk image file, a whole disk as 'disk0', 'disk1' ..., or the ID of a volume or free\n"
      "stretch that 'snapsave-cli list' shows (a device such as /dev/sdb1 works too). Reading disks needs "
      "root\n"
      "or membership of the disk group; nothing is ever written to a source.\n\n"
      "Examples:\n"
      "  snapsave-cli list\n"
      "  snapsave-cli scan card.img --list\n"
      "  snapsave-cli scan 3 --types photo,video --recover ~/rescued\n"
      "  snapsave-cli image disk1 ~/card.img && snapsave-cli scan ~/card.img --recover ~/rescued\n\n"
      "Exit codes: 0 success; 1 usage error; 2 source not opened or no known volume; 3 scan or copy failed;\n"
      "4 incomplete (files not recovered, or unreadable sectors zeroed in an image); 5 destination on the\n"
      "source; 130 cancelled (Ctrl-C).");

  auto* list =
      app.add_subcommand("list", "List disks, volumes and unallocated stretches that can be scanned");
  bool listJson = false;
  list->add_flag("--json", listJson, "One JSON object per entry and line");

  auto* scan =
      app.add_subcommand("scan", "Scan a source for deleted and lost files, list them, recover them");
  ScanOptions o;
  scan->add_option("source", o.source, "Image file, diskN, or an ID from 'list'")->required();
  scan->add_flag("--quick", o.quick,
                 "Walk the file system's metadata only (default: a deep scan that also rebuilds lost folders "
                 "and carves files by their signatures)");
  scan->add_option("--types", o.types,
                   "Keep only these types: categories (photo, audio, video, document, archive) or extensions "
                   "(jpg,pdf), comma-separated");
  scan->add_flag("--list", o.list,
                 "Print every found file and folder: type, folder path, name, size, modified, created, "
                 "intact/damaged (tab-separated); with --types, grouped by type");
  scan->add_flag("--json", o.json, "With --list: one JSON object per line");
  scan->add_option("--recover", o.recoverTo,
                   "Recover into this folder: the found tree as it was, carved and --types matches in "
                   "category folders (photo, video, ...)");
  scan->add_flag("--force", o.force, "Recover even onto the source being scanned (may destroy lost files)");
  auto* resume = scan->add_flag("--resume", o.resume, "Continue an interrupted deep scan of the same source");
  auto* fresh = scan->add_flag("--fresh", o.fresh, "Start over, forgetting an interrupted deep scan");
  resume->excludes(fresh);

  auto* image = app.add_subcommand("image", "Copy a disk or volume sector by sector into an image file");
  std::string imageSource;
  std::string imagePath;
  bool imageForce = false;
  image->add_option("source", imageSource, "diskN, an ID from 'list', or an image file")->required();
  image->add_option("file", imagePath, "The image file to write (FILE.img)")->required();
  image->add_flag("--force", imageForce, "Write the image even onto the source being copied");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? kExitOk : kExitUsage;
  }
  if (app.get_subcommands().empty()) {
    std::fputs(app.help().c_str(), stdout);
    return kExitOk;
  }
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigaction(SIGINT, &action, nullptr);
  if (list->parsed()) return RunListCommand(listJson);
  if (image->parsed()) return RunImage(imageSource, imagePath, imageForce);
  return RunScan(o);
}
