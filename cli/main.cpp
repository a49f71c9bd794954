// snapsave-cli: the command-line front end over the scan engines.
//
// Exit codes: 0 success; 1 usage error; 2 the source could not be opened or holds no known volume; 3 the scan
// failed; 4 one or more files could not be recovered; 130 cancelled with Ctrl-C.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <deque>
#include <set>
#include <string>
#include <tuple>
#include <utility>

#include <fmt/core.h>
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "carve/deep_scan_engine.h"
#include "carve/file_categories.h"
#include "cli/terminal_text.h"
#include "os/error.h"
#include "os/paths.h"
#include "scan/engine_factory.h"
#include "scan/recovery_output.h"
#include "storage/sector_reader.h"

namespace {

using namespace snapsave;

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitOpen = 2;
constexpr int kExitScan = 3;
constexpr int kExitRecover = 4;
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

struct Progress {
  bool terminal = isatty(STDERR_FILENO) != 0;
  uint32_t failed = 0;
  uint32_t recovered = 0;
};

std::string Clock(int32_t seconds) {
  if (seconds < 0) return "--:--";
  return seconds >= 3600 ? fmt::format("{}:{:02}:{:02}", seconds / 3600, seconds / 60 % 60, seconds % 60)
                         : fmt::format("{}:{:02}", seconds / 60, seconds % 60);
}

int32_t ScanProgress(void* context, int32_t progress, int32_t weight, int32_t secondsLeft, uint64_t,
                     uint64_t totalSectors, uint64_t filesFound, uint32_t) {
  auto* p = static_cast<Progress*>(context);
  if (p->terminal) {
    const int32_t percent = std::min(progress * weight / 100, 100);
    if (totalSectors != 0) {
      std::fprintf(stderr, "\rscanning %3d%%  %llu found  %s left   ", percent,
                   static_cast<unsigned long long>(filesFound), Clock(secondsLeft).c_str());
    } else {
      std::fprintf(stderr, "\rscanning %3d%%   ", percent);
    }
  }
  return g_cancel.load() ? ScanCancelled : 0;
}

int32_t RecoverProgress(void* context, int32_t progress, int32_t scale, uint32_t error,
                        const std::filesystem::path& path) {
  auto* p = static_cast<Progress*>(context);
  if (g_cancel.load()) return ScanCancelled;
  if (progress * scale / 100 == 100) {
    if (error != 0) {
      ++p->failed;
      std::fprintf(stderr, "failed: %s: %s\n", Shown(path.native()).c_str(), ErrorText(error).c_str());
    } else {
      ++p->recovered;
      std::printf("recovered %s\n", Shown(path.native()).c_str());
    }
  }
  return 0;
}

// "YYYY-MM-DD HH:MM:SS" of a FILETIME, taken as it was stored (no time zone); empty when unknown.
std::string FormatFileTime(uint64_t fileTime) {
  if (fileTime == 0) return "";
  const uint64_t seconds = fileTime / 10'000'000;
  const auto days = static_cast<int64_t>(seconds / 86400) - 134774;  // days since 1970-01-01
  const uint64_t rest = seconds % 86400;
  // Civil date from a day count (proleptic Gregorian).
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const int64_t m = mp < 10 ? mp + 3 : mp - 9;
  const int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
  return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", y, m, d, rest / 3600, rest / 60 % 60, rest % 60);
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

void PrintRecord(const FoundFileRecord& r, const std::string& path, bool json) {
  if (json) {
    nlohmann::json j{{"type", r.isFolder != 0 ? "folder" : "file"},
                     {"path", path},
                     {"name", std::string(r.Name())},
                     {"size", r.fileSize},
                     {"modified", FormatFileTime(r.writeTime)},
                     {"created", FormatFileTime(r.creationTime)},
                     {"intact", r.isIntact != 0},
                     {"deleted", r.isDeleted != 0}};
    std::printf("%s\n", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return;
  }
  std::printf("%s\t%s\t%s\t%llu\t%s\t%s\t%s\n", r.isFolder != 0 ? "folder" : "file", Shown(path).c_str(),
              Shown(r.Name()).c_str(), static_cast<unsigned long long>(r.fileSize),
              FormatFileTime(r.writeTime).c_str(), FormatFileTime(r.creationTime).c_str(),
              r.isIntact != 0 ? "intact" : "damaged");
}

int RecoverAll(IFileRecoveryParse& engine, const std::filesystem::path& destination, Progress& progress) {
  if (uint32_t e = os::CreateFolders(destination); e != err::kSuccess && !IsAlreadyExists(e)) {
    std::fprintf(stderr, "cannot create %s: %s\n", Shown(destination.native()).c_str(), ErrorText(e).c_str());
    return kExitRecover;
  }
  engine.SetCallbacks(nullptr, RecoverProgress, &progress, 100);
  const auto baseDepth = static_cast<int32_t>(CountSeparators(destination.string()));
  int result = kExitOk;
  bool cancelled = false;
  // File by file, so that the merged results decide what is written; folders are made as they come.
  const uint32_t walked = WalkMerged(
      engine, [&](const FoundFileRecord& r, const std::string&, const std::filesystem::path& folder) {
        if (cancelled) return;
        const std::filesystem::path parent = destination / folder;
        if (r.isFolder != 0) {
          const std::filesystem::path made = parent / SanitizeNameComponent(r.Name());
          if (uint32_t e = os::CreateFolders(made); e != err::kSuccess && !IsAlreadyExists(e)) {
            std::fprintf(stderr, "failed: %s: %s\n", Shown(made.native()).c_str(), ErrorText(e).c_str());
            result = kExitRecover;
          }
          return;
        }
        if (uint32_t e = os::CreateFolders(parent); e != err::kSuccess && !IsAlreadyExists(e)) {
          std::fprintf(stderr, "failed: %s: %s\n", Shown(parent.native()).c_str(), ErrorText(e).c_str());
          result = kExitRecover;
          return;
        }
        const auto target = MakeUniquePath(parent / SanitizeNameComponent(r.Name()));
        const int32_t code = engine.RecoverRecord(&r, target, baseDepth);
        if (code == ScanCancelled) cancelled = true;
        if (code != 0) result = kExitRecover;
      });
  if (cancelled) return kExitCancelled;
  if (walked != err::kSuccess) {
    std::fprintf(stderr, "cannot list the results: %s\n", ErrorText(walked).c_str());
    return kExitScan;
  }
  if (progress.failed != 0) result = kExitRecover;
  return result;
}

int RunScan(const std::string& image, bool quick, bool resume, bool list, bool json,
            const std::string& recoverTo) {
  auto engine = CreateScanEngineForImage(image, u'A', !quick);
  if (!engine) {
    SectorReader probe;
    const uint32_t error = probe.OpenFile(image);
    std::fprintf(stderr, "cannot open %s: %s\n", Shown(image).c_str(),
                 error != err::kSuccess ? ErrorText(error).c_str()
                 : quick                ? "no FAT or NTFS volume found"
                                        : "the image is too short");
    return kExitOpen;
  }
  auto* deep = dynamic_cast<CProfessionalRecovery*>(engine.get());
  if (deep != nullptr && deep->HasSavedProgress() && !resume) deep->DiscardSavedProgress();
  Progress progress;
  engine->SetCallbacks(ScanProgress, nullptr, &progress, 100);
  const int32_t scanned = engine->Scan({});
  if (progress.terminal) std::fputs("\n", stderr);
  if (scanned == ScanCancelled) {
    if (deep != nullptr) std::fputs("stopped; run the same scan with --resume to continue\n", stderr);
    return kExitCancelled;
  }
  if (scanned != 0) {
    std::fprintf(stderr, "scan failed: %s\n", ErrorText(static_cast<uint32_t>(scanned)).c_str());
    return kExitScan;
  }
  if (deep != nullptr && deep->UnreadableSectors() != 0) {
    std::fprintf(stderr, "%llu unreadable sectors were skipped, the first at sector %llu\n",
                 static_cast<unsigned long long>(deep->UnreadableSectors()),
                 static_cast<unsigned long long>(deep->FirstUnreadableSector().value_or(0)));
  }
  if (list) {
    WalkMerged(*engine, [&](const FoundFileRecord& r, const std::string& path, const std::filesystem::path&) {
      PrintRecord(r, path, json);
    });
  }
  if (!recoverTo.empty()) return RecoverAll(*engine, recoverTo, progress);
  if (!list) std::printf("%llu items found\n", static_cast<unsigned long long>(engine->GetRecordCount()));
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Snapsave: find and recover deleted files on disks, volumes and disk images."};
  app.set_version_flag("--version", "snapsave-cli 0.1.0");
  app.require_subcommand(0, 1);
  app.footer(
      "Exit codes: 0 success, 1 usage error, 2 source not opened or no known volume, 3 scan failed,\n"
      "4 some files not recovered, 130 cancelled.");

  auto* scan = app.add_subcommand("scan", "Scan a disk image for deleted and lost files");
  std::string image;
  bool quick = false;
  bool list = false;
  bool json = false;
  std::string recoverTo;
  bool resume = false;
  scan->add_option("image", image, "Disk image file (*.img)")->required()->check(CLI::ExistingFile);
  scan->add_flag("--quick", quick,
                 "Walk the file system's metadata only (default: a deep scan that also rebuilds lost folders "
                 "and carves files by their signatures)");
  scan->add_flag("--resume", resume, "Continue an interrupted deep scan of the same, unchanged image");
  scan->add_flag("--list", list,
                 "Print every found file and folder: type, folder path, name, size, modified, created, "
                 "intact/damaged (tab-separated)");
  scan->add_flag("--json", json, "With --list: one JSON object per line");
  scan->add_option("--recover", recoverTo,
                   "Recover everything found into this folder, keeping the found tree");

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
  return RunScan(image, quick, resume, list, json, recoverTo);
}
