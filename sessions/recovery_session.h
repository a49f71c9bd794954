// Copies chosen found files (and whole found folders) into a destination folder, each into the folder of its
// category unless the caller names one, with unique names, counting what finished and what failed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "sessions/recovery_report.h"
#include "sessions/scan_session.h"

namespace snapsave {

struct RecoveryItem {
  FoundFileRecord record{};
  // Below the destination (empty: the destination itself); nothing: the record's category folder ("photo",
  // "audio", ... "others").
  std::optional<std::filesystem::path> folder;
  std::string source{};  // what it was found on, for the report
};

// "64 unreadable sectors written as zeros: 2944-3007" for what a recovery could not read; the first ten
// stretches are named.
std::string DescribeUnreadable(const std::vector<SectorStretch>& stretches);

class RecoverySession final : public Session {
 public:
  enum class Mode { kMultiple, kSingle };

  struct Counters {
    uint32_t finished = 0;
    uint32_t failed = 0;
    uint32_t total = 0;
    uint32_t damaged = 0;  // finished, with sectors that could not be read written as zeros
  };

  using FileOutcome = RecoveryOutcome;

  RecoverySession(ProgressView& view, std::vector<ScanTarget*> targets, std::filesystem::path destination,
                  std::vector<RecoveryItem> selection, Mode mode = Mode::kMultiple);
  ~RecoverySession() override { Wait(); }

  // Before Start: once every item is handled (or the run is stopped), report.xml and report.json are written
  // into the destination, and listed as a result.
  void WriteReport(RecoveryReportInfo info) { report_ = std::move(info); }

  // Safe to read once the worker is done.
  Counters Totals();
  // The report's files as written; empty when none was asked for, or writing it failed (reportError).
  std::filesystem::path ReportXml();
  uint32_t ReportError();
  std::vector<FileOutcome> Outcomes();
  bool Cancelled() const { return cancelled_; }
  // The source went away or stopped answering: the run stopped at the file it was reading (counted failed);
  // the files after it were not tried.
  bool SourceGone() const { return sourceGone_; }

  static int32_t OnRecoverProgress(void* context, int32_t progress, int32_t scale, uint32_t error,
                                   const std::filesystem::path& filePath);

 private:
  void Run() override;
  // One item: 0, ScanCancelled or the failure reported.
  int32_t RecoverItem(const RecoveryItem& item);
  void CountFailure(const std::filesystem::path& path, const std::string& text);
  // Writes the report asked for with WriteReport.
  void FinishReport();
  void ShowCounts();

  std::vector<ScanTarget*> targets_;
  std::filesystem::path destination_;
  std::vector<RecoveryItem> selection_;
  Mode mode_;
  Counters counters_;                     // under the session's lock
  std::vector<FileOutcome> outcomes_;     // under the lock
  IFileRecoveryParse* engine_ = nullptr;  // the engine recovering the current item
  const RecoveryItem* item_ = nullptr;    // the current item
  uint32_t failuresSeen_ = 0;             // failures reported by the engine, under the lock
  bool cancelled_ = false;
  bool sourceGone_ = false;
  std::optional<RecoveryReportInfo> report_;
  std::optional<EarlierRecoveries> earlier_;  // where a report is kept: what earlier runs wrote
  std::filesystem::path reportXml_;           // under the lock
  uint32_t reportError_ = 0;                  // under the lock
};

// The destination as chosen, without trailing separators (the root stays "/").
std::filesystem::path TrimDestination(const std::filesystem::path& destination);

}  // namespace snapsave
