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

}  // namespace

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
  // Declared before the target: its engine keeps catalogues and saved positions here.
  SavedScanStore store(os::ScanLogFolder());
  ScanTarget target;
  if (!MakeTarget(source, target)) return kExitOpen;
  // Checked before the scan, which may take hours: files written onto the source overwrite what is lost.
  if (!o.recoverTo.empty() && !o.force && DestinationOnSource(o.recoverTo, target)) {
    std::fprintf(stderr,
                 "%s is on %s, the source being recovered from: writing there may overwrite the lost files.\n"
                 "Choose a folder on another disk, or add --force to write there anyway.\n",
                 Shown(o.recoverTo).c_str(), Shown(source.description).c_str());
    return kExitOnSource;
  }
  const cli::ResumePolicy policy = o.resume  ? cli::ResumePolicy::kResume
                                   : o.fresh ? cli::ResumePolicy::kFresh
                                             : cli::ResumePolicy::kAsk;
  {
    cli::TerminalView view(policy);
    ScanSession session(view, {&target}, !o.quick, DefaultEngineMaker(store));
    RunSession(session, view, "MSG0709");
    // Stopped before the first target was even opened: nothing was scanned, and nothing is wrong with it.
    if (!target.engine && g_cancel.load()) {
      std::fputs("stopped before the scan started\n", stderr);
      return kExitCancelled;
    }
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
  const DeepScanControl* deep = DeepControlOf(engine);
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

}  // namespace snapsave::cli
