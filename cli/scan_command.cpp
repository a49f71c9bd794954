#include "cli/commands.h"
#include "os/text.h"

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

namespace {

// With `state`, a last column says whether the file was deleted or still exists.
void PrintRecord(const FoundFileRecord& r, const std::string& path, bool json, bool state,
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
                            {"deleted", WasDeleted(r).value_or(false)},
                            {"nameGuessed", (r.isDeleted & kDeletedNameGuessed) != 0}});
    std::printf("%s\n", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return;
  }
  std::printf("%s\t%s\t%s\t%llu\t%s\t%s\t%s%s\n", r.isFolder != 0 ? "folder" : "file", Shown(path).c_str(),
              Shown(r.Name()).c_str(), static_cast<unsigned long long>(r.fileSize),
              FormatFileTime(r.writeTime).c_str(), FormatFileTime(r.creationTime).c_str(),
              r.isIntact != 0 ? "intact" : "damaged",
              !state                          ? ""
              : WasDeleted(r).value_or(false) ? "\tdeleted"
                                              : "\texisting");
}

void PrintGrouped(const RecordList& found, IFileRecoveryParse& engine, bool json, bool state,
                  const std::string& source) {
  // By category, then extension, then name: the groups a user sorts a card's photos and videos into.
  std::map<std::tuple<std::string, std::string>, std::vector<const FoundFileRecord*>> groups;
  for (const FoundFileRecord& r : found) {
    if (r.isFolder != 0) continue;
    groups[{std::string(ClassifyFileName(r.Name())), ExtensionOf(r.Name())}].push_back(&r);
  }
  for (const auto& [key, records] : groups) {
    const auto& [category, extension] = key;
    if (!json) std::printf("# %s .%s: %zu\n", category.c_str(), Shown(extension).c_str(), records.size());
    for (const FoundFileRecord* r : records) {
      std::string path;
      if (r->Kind() == SourceKind::kCarved || engine.GetRecordPath(r, path) != err::kSuccess) path.clear();
      std::string folder = "/" + path;
      std::replace(folder.begin(), folder.end(), '\\', '/');
      nlohmann::json extra{{"category", category}, {"extension", extension}};
      if (!source.empty()) extra["source"] = source;
      PrintRecord(*r, folder, json, state, std::move(extra));
    }
  }
}

// Prints `text` as the heading of one target's results when the source has several.
void PrintHeading(const NamedTarget& t, bool several, bool json) {
  if (several && !json) std::printf("## %s\n", Shown(t.name).c_str());
}

// The scan's outcome for one target: 0, or the exit code it calls for (after saying why).
int ScanOutcome(const NamedTarget& t, int32_t scanned, bool quick, const std::string& sourceText) {
  if (scanned == ScanCancelled) {
    if (!quick)
      std::fprintf(stderr,
                   "stopped; the scan's position is saved: run 'snapsave-cli scan %s --resume' to go on\n",
                   Shown(sourceText).c_str());
    return kExitCancelled;
  }
  if (scanned == static_cast<int32_t>(err::kDeviceGone) && !quick) {
    std::fprintf(
        stderr,
        "%s went away or stopped answering in the middle of the scan (unplugged, its connection lost, or "
        "every read failing); the scan is saved as "
        "of its last checkpoint: connect it again and run 'snapsave-cli scan %s --resume' to go on\n",
        Shown(t.name).c_str(), Shown(sourceText).c_str());
    return kExitScan;
  }
  if (scanned != 0) {
    std::fprintf(stderr, "scan of %s failed: %s\n", Shown(t.name).c_str(),
                 ErrorText(static_cast<uint32_t>(scanned)).c_str());
    return kExitScan;
  }
  DeepScanControl* deep = t.target->engine->DeepControl();
  if (deep != nullptr) {
    const uint64_t joined = deep->JoinedFiles();
    const uint64_t damaged = deep->DamagedCarvedFiles();
    auto files = [](uint64_t n) { return fmt::format("{} carved file{}", n, n == 1 ? "" : "s"); };
    if (joined != 0 || damaged != 0)
      std::fprintf(stderr,
                   "%s: %s put back together from two pieces; %s damaged (listed, and recovered as far as "
                   "they go)\n",
                   Shown(t.name).c_str(), files(joined).c_str(), files(damaged).c_str());
  }
  if (deep != nullptr && !deep->LostVolumes().empty()) {
    // Their files were found by the pass already; a scan of each volume lists them in its own tree.
    const auto& lost = deep->LostVolumes();
    std::string which;
    for (const LostVolumeExtent& v : lost) {
      const std::string id = t.target->IsDisk()
                                 ? fmt::format("sector {}", v.startSector)
                                 : fmt::format("{}@{}", os::Utf8OfPath(t.target->imagePath), v.startSector);
      which += fmt::format("{}{} ({}, {})", which.empty() ? "" : ", ", Shown(id), v.fileSystem,
                           HumanSize(v.sectorCount * SectorReader::kImageSectorSize));
    }
    std::fprintf(
        stderr, "%s: %zu volume%s found by %s own structures where no partition table names %s: %s%s\n",
        Shown(t.name).c_str(), lost.size(), lost.size() == 1 ? "" : "s", lost.size() == 1 ? "its" : "their",
        lost.size() == 1 ? "it" : "them", which.c_str(),
        t.target->IsDisk() ? ""
                           : "; 'snapsave-cli scan IMAGE@SECTOR' scans one of them as a volume, with "
                             "its folders and names");
  }
  if (deep != nullptr && deep->UnreadableSectors() != 0) {
    // The stretches, the first ten of them: where a failing disk is bad.
    std::string where;
    const auto& ranges = deep->UnreadableRanges();
    constexpr size_t kShown = 10;
    for (size_t i = 0; i < ranges.size() && i < kShown; ++i) {
      where += i == 0 ? " " : ", ";
      where += ranges[i].count == 1
                   ? fmt::format("{}", ranges[i].firstSector)
                   : fmt::format("{}-{}", ranges[i].firstSector, ranges[i].firstSector + ranges[i].count - 1);
    }
    if (ranges.size() > kShown) where += fmt::format(" and {} more stretches", ranges.size() - kShown);
    std::fprintf(stderr,
                 "%s: %llu unreadable sectors were skipped, the first at sector %llu; unreadable:%s\n",
                 Shown(t.name).c_str(), static_cast<unsigned long long>(deep->UnreadableSectors()),
                 static_cast<unsigned long long>(deep->FirstUnreadableSector().value_or(0)), where.c_str());
  }
  return 0;
}

// Where a found file goes below the recovery folder: its found folder, below the target's own. Carved files
// have no folder of their own: they go to their category's (which the recovery picks when there is no base).
std::optional<fs::path> FolderOf(const FoundFileRecord& r, const fs::path& base, const fs::path& folder) {
  if (r.Kind() != SourceKind::kCarved) return base / folder;
  if (base.empty()) return std::nullopt;
  return base / std::string(ClassifyFileName(r.Name()));
}

// Lists and gathers one target's results: its files to recover (below `t.folder`) and its folders.
int GatherResults(const ScanOptions& o, const NamedTarget& t, bool several, const std::string& extensionList,
                  std::vector<RecoveryItem>& items, std::vector<fs::path>& folders) {
  IFileRecoveryParse& engine = *t.target->engine;
  const fs::path base = t.folder;
  PrintHeading(t, several && o.list, o.json);
  if (!extensionList.empty()) {
    RecordList found;
    cli::TerminalView view;
    SearchSession search(view, {t.target.get()}, extensionList, found);
    RunSession(search, view, "MSG1205");
    if (g_cancel.load()) return kExitCancelled;
    if (!o.all) std::erase_if(found, [](const FoundFileRecord& r) { return IsExistingFile(r); });
    if (o.list) PrintGrouped(found, engine, o.json, o.all, several ? t.name : std::string());
    size_t matching = 0;
    for (const FoundFileRecord& r : found) {
      if (r.isFolder != 0) continue;
      ++matching;
      // A search gathers by type: everything goes to its category's folder.
      items.push_back({r,
                       base.empty() ? std::nullopt
                                    : std::optional<fs::path>(base / std::string(ClassifyFileName(r.Name()))),
                       t.name});
    }
    if (!o.list && o.recoverTo.empty())
      std::printf("%s%zu matching files found\n", several ? (t.name + ": ").c_str() : "", matching);
    return kExitOk;
  }
  // Counted as walked: a continued scan's engine counts only what it found itself.
  uint64_t walkedCount = 0;
  const uint32_t walked =
      WalkMerged(engine, [&](const FoundFileRecord& r, const std::string& path, const fs::path& folder) {
        if (!o.all && IsExistingFile(r)) return;
        ++walkedCount;
        if (o.list)
          PrintRecord(r, path, o.json, o.all,
                      several ? nlohmann::json{{"source", t.name}} : nlohmann::json::object());
        if (o.recoverTo.empty()) return;
        if (r.isFolder != 0) {
          folders.push_back(base / folder / os::PathFromUtf8(SanitizeNameComponent(r.Name())));
        } else {
          items.push_back({r, FolderOf(r, base, folder), t.name});
        }
      });
  if (walked != err::kSuccess) {
    std::fprintf(stderr, "cannot list the results of %s: %s\n", Shown(t.name).c_str(),
                 ErrorText(walked).c_str());
    return kExitScan;
  }
  if (!o.list && o.recoverTo.empty())
    std::printf("%s%llu items found\n", several ? (Shown(t.name) + ": ").c_str() : "",
                static_cast<unsigned long long>(walkedCount));
  return kExitOk;
}

}  // namespace

int RunScan(os::DiskTable& disks, const ScanOptions& o) {
  bool listed = false;
  std::vector<VolumeInfo> entries;
  const bool looksLikeFile = fs::is_regular_file(fs::path(o.source));
  if (!looksLikeFile) entries = ListEntries(disks, listed);
  const SourceOrError resolved = ResolveSource(o.source, entries, disks);
  if (!resolved.source) {
    std::fprintf(stderr, "cannot use %s: %s\n", Shown(o.source).c_str(), resolved.error.c_str());
    return kExitOpen;
  }
  const Source& source = *resolved.source;
  WarnAboutImage(source);
  std::string extensionList;
  if (!o.types.empty()) {
    const TypesOrError types = ParseTypes(o.types);
    if (!types.error.empty()) {
      std::fprintf(stderr, "--types: %s\n", Shown(types.error).c_str());
      return kExitUsage;
    }
    extensionList = types.extensionList;
  }
  // Declared before the targets: their engines keep catalogues and saved positions here.
  SavedScanStore store(os::ScanLogFolder());
  std::vector<NamedTarget> targets = OpenTargets(source, !o.quick);
  if (targets.empty()) {
    if (source.kind == Source::Kind::kImageDisk)
      std::fprintf(stderr, "cannot use %s: it holds no FAT, exFAT, NTFS, ext, XFS or Btrfs volume for a quick scan\n",
                   Shown(source.description).c_str());
    return kExitOpen;
  }
  const bool several = targets.size() > 1;
  std::vector<ScanTarget*> pointers;
  for (const NamedTarget& t : targets) pointers.push_back(t.target.get());
  // Checked before the scan, which may take hours: files written onto the source overwrite what is lost,
  // and a folder that cannot be written would be found out only afterwards.
  if (!o.recoverTo.empty()) {
    const fs::path folder = TrimDestination(o.recoverTo);
    const WriteCheck check = CheckRecoveryDestination(folder, pointers, 0, 0, o.force, nullptr);
    if (check.problem == WriteProblem::kNotWritable) {
      std::fprintf(stderr, "cannot recover into %s: %s\n", Shown(o.recoverTo).c_str(),
                   ErrorText(check.error).c_str());
      return kExitUsage;
    }
    if (const int code = ReportWriteProblem(check, o.recoverTo, source.description); code != kExitOk)
      return code;
  }
  // A Ctrl-C while the source was being looked at: nothing was scanned, and nothing is wrong with it.
  if (g_cancel.load()) {
    std::fputs("stopped before the scan started\n", stderr);
    return kExitCancelled;
  }
  const cli::ResumePolicy policy = o.resume  ? cli::ResumePolicy::kResume
                                   : o.fresh ? cli::ResumePolicy::kFresh
                                             : cli::ResumePolicy::kAsk;
  {
    cli::TerminalView view(policy);
    EngineMaker makeEngine = DefaultEngineMaker(store);
    if (o.checkpointMib > 0) {
      makeEngine = [inner = std::move(makeEngine), bytes = uint64_t{o.checkpointMib} << 20](
                       const ScanTarget& target, bool deep) {
        std::unique_ptr<IFileRecoveryParse> engine = inner(target, deep);
        if (engine) {
          if (DeepScanControl* control = engine->DeepControl()) control->SetCheckpointInterval(30'000, bytes);
        }
        return engine;
      };
    }
    ScanSession session(view, pointers, !o.quick, std::move(makeEngine));
    RunSession(session, view, "MSG0709");
    const std::vector<int32_t>& results = session.Results();
    // Stopped before the first target was even opened: nothing was scanned, and nothing is wrong with it.
    if (results.empty() && g_cancel.load()) {
      std::fputs("stopped before the scan started\n", stderr);
      return kExitCancelled;
    }
    if (view.EndCode() == kEndFailed) {
      const NamedTarget& failed = targets[std::min(results.size(), targets.size() - 1)];
      Source named = source;
      named.description = failed.name;
      ReportNoEngine(named, *failed.target, o.quick);
      return kExitOpen;
    }
    for (size_t i = 0; i < targets.size(); ++i) {
      const int code =
          ScanOutcome(targets[i], i < results.size() ? results[i] : ScanCancelled, o.quick, o.source);
      if (code != 0) return code;
    }
  }

  std::vector<RecoveryItem> items;
  std::vector<fs::path> folders;  // made first, so that empty found folders come back too
  for (const NamedTarget& t : targets) {
    if (const int code = GatherResults(o, t, several, extensionList, items, folders); code != kExitOk)
      return code;
  }
  if (o.recoverTo.empty()) return kExitOk;

  const fs::path destination = TrimDestination(o.recoverTo);
  // Now that the files are known: whether they fit where they are to go.
  uint64_t totalBytes = 0;
  uint64_t largestFile = 0;
  for (const RecoveryItem& item : items) {
    totalBytes += item.record.fileSize;
    largestFile = std::max(largestFile, item.record.fileSize);
  }
  bool listedVolumes = false;
  const std::vector<VolumeInfo> volumes = ListEntries(disks, listedVolumes);
  const WriteCheck fits =
      CheckRecoveryDestination(destination, pointers, totalBytes, largestFile, true,
                               [&](const fs::path& p) { return TargetVolumeOf(p, volumes); });
  if (const int code = ReportWriteProblem(fits, destination, source.description); code != kExitOk)
    return code;
  if (uint32_t e = os::CreateFolders(destination); e != err::kSuccess && !IsAlreadyExists(e)) {
    std::fprintf(stderr, "cannot create %s: %s\n", Shown(os::Utf8OfPath(destination)).c_str(),
                 ErrorText(e).c_str());
    return kExitIncomplete;
  }
  bool folderFailed = false;
  for (const fs::path& folder : folders) {
    if (uint32_t e = os::CreateFolders(destination / folder); e != err::kSuccess && !IsAlreadyExists(e)) {
      std::fprintf(stderr, "failed: %s: %s\n", Shown(os::Utf8OfPath(destination / folder)).c_str(),
                   ErrorText(e).c_str());
      folderFailed = true;
    }
  }
  cli::TerminalView view;
  RecoverySession recovery(view, pointers, destination, std::move(items));
  // The report beside the files: what was written, from where, its hash and what could not be read.
  recovery.WriteReport(
      {"snapsave-cli", SNAPSAVE_VERSION, o.commandLine, source.description, SectorReader::kImageSectorSize});
  RunSession(recovery, view, "MSG1103");
  if (recovery.Cancelled()) return kExitCancelled;
  const RecoverySession::Counters counters = recovery.Totals();
  if (recovery.SourceGone()) {
    std::fprintf(stderr,
                 "%s went away or stopped answering during the recovery: %u of %u files recovered into %s, "
                 "the last one tried broken and the rest not tried; connect it again and run the same "
                 "command\n",
                 Shown(source.description).c_str(), counters.finished - counters.failed, counters.total,
                 Shown(os::Utf8OfPath(destination)).c_str());
    return kExitScan;
  }
  if (const uint32_t e = recovery.ReportError(); e != err::kSuccess)
    std::fprintf(stderr, "cannot write the recovery report in %s: %s\n",
                 Shown(os::Utf8OfPath(destination)).c_str(), ErrorText(e).c_str());
  std::fprintf(
      stderr, "%u of %u files recovered into %s%s%s\n", counters.finished - counters.failed, counters.total,
      Shown(os::Utf8OfPath(destination)).c_str(),
      counters.damaged != 0
          ? fmt::format(", {} of them damaged (what could not be read is zeros in them)", counters.damaged)
                .c_str()
          : "",
      counters.failed != 0 ? fmt::format(", {} failed", counters.failed).c_str() : "");
  return counters.failed != 0 || counters.damaged != 0 || folderFailed ? kExitIncomplete : kExitOk;
}

}  // namespace snapsave::cli
