#include "sessions/recovery_session.h"

#include <exception>
#include <string>

#include <fmt/core.h>

#include "catalog/recovery_output.h"
#include "filetypes/file_categories.h"
#include "os/error.h"
#include "os/paths.h"
#include "os/text.h"
#include "sessions/recovery_report.h"

namespace snapsave {

namespace fs = std::filesystem;

fs::path TrimDestination(const fs::path& destination) {
  std::string text = os::Utf8OfPath(destination);
  while (text.size() > 1 && (text.back() == '/' || text.back() == '\\')) text.pop_back();
  return text;
}

RecoverySession::RecoverySession(ProgressView& view, std::vector<ScanTarget*> targets, fs::path destination,
                                 std::vector<RecoveryItem> selection, Mode mode)
    : Session(view),
      targets_(std::move(targets)),
      destination_(TrimDestination(destination)),
      selection_(std::move(selection)),
      mode_(mode) {}

RecoverySession::Counters RecoverySession::Totals() {
  Report report(*this);
  return counters_;
}

std::vector<RecoverySession::FileOutcome> RecoverySession::Outcomes() {
  Report report(*this);
  return outcomes_;
}

fs::path RecoverySession::ReportXml() {
  Report report(*this);
  return reportXml_;
}

uint32_t RecoverySession::ReportError() {
  Report report(*this);
  return reportError_;
}

void RecoverySession::FinishReport() {
  if (!report_) return;
  std::vector<FileOutcome> outcomes;
  {
    Report report(*this);
    outcomes = outcomes_;
  }
  // Hashing reads every written file back: outside the lock, so the view stays live.
  fs::path xml, json;
  const uint32_t e = WriteRecoveryReport(destination_, *report_, outcomes, xml, json);
  Report report(*this);
  reportError_ = e;
  if (e == err::kSuccess) {
    reportXml_ = xml;
    view_.ShowReport(os::Utf8OfPath(xml));
  }
}

std::string DescribeUnreadable(const std::vector<SectorStretch>& stretches) {
  uint64_t sectors = 0;
  std::string where;
  constexpr size_t kShown = 10;
  for (size_t i = 0; i < stretches.size(); ++i) {
    sectors += stretches[i].count;
    if (i >= kShown) continue;
    const SectorStretch& s = stretches[i];
    where += i == 0 ? " " : ", ";
    where += s.count == 1 ? fmt::format("{}", s.first) : fmt::format("{}-{}", s.first, s.first + s.count - 1);
  }
  if (stretches.size() > kShown) where += fmt::format(" and {} more stretches", stretches.size() - kShown);
  return fmt::format("{} unreadable sector{} written as zeros:{}", sectors, sectors == 1 ? "" : "s", where);
}

void RecoverySession::Run() {
  if (selection_.empty()) {
    MarkDone();
    return;
  }
  if (report_) earlier_.emplace(destination_);
  {
    Report report(*this);
    counters_ = Counters{0, 0, static_cast<uint32_t>(mode_ == Mode::kSingle ? 1 : selection_.size())};
    ShowCounts();
  }
  const size_t count = mode_ == Mode::kSingle ? 1 : selection_.size();
  for (size_t i = 0; i < count; ++i) {
    const int32_t result = RecoverItem(selection_[i]);
    if (result == ScanCancelled) {
      cancelled_ = true;
      FinishReport();
      MarkDone();
      return;
    }
    // Every file after it would fail the same way, each after its own failing reads.
    if (result == static_cast<int32_t>(err::kDeviceGone)) {
      sourceGone_ = true;
      break;
    }
  }
  FinishReport();
  {
    Report report(*this);
    view_.ShowFinished();
  }
  MarkDone();
}

int32_t RecoverySession::RecoverItem(const RecoveryItem& item) {
  const FoundFileRecord& record = item.record;
  const fs::path folder = item.folder ? *item.folder : os::PathFromUtf8(ClassifyFileName(record.Name()));
  const fs::path path = destination_ / folder / os::PathFromUtf8(SanitizeNameComponent(record.Name()));
  IFileRecoveryParse* engine = FindEngine(targets_, record.driveLetter);
  if (engine == nullptr) {
    Report report(*this);
    item_ = &item;
    CountFailure(path, "The source this file was found on is no longer open.");
    return err::kInvalidParameter;
  }
  uint32_t failuresBefore = 0;
  {
    Report report(*this);
    failuresBefore = failuresSeen_;
  }
  {
    Report report(*this);
    engine_ = engine;
    item_ = &item;
  }
  int32_t result = 0;
  try {
    if (uint32_t e = os::CreateFolders(path.parent_path()); e != err::kSuccess && !IsAlreadyExists(e)) {
      result = static_cast<int32_t>(e);
    } else {
      // A file of an earlier, broken run into this folder is replaced, not kept beside a new copy.
      const fs::path unique = earlier_ && earlier_->Wrote(path) ? path : MakeUniquePath(path);
      engine->SetCallbacks(nullptr, OnRecoverProgress, this, 100);
      const auto baseDepth = static_cast<int32_t>(CountSeparators(os::Utf8OfPath(destination_)));
      result = engine->RecoverRecord(&record, unique, baseDepth);
      engine->SetCallbacks(nullptr, nullptr, nullptr, 100);
    }
  } catch (const std::exception& e) {
    engine->SetCallbacks(nullptr, nullptr, nullptr, 100);
    Report report(*this);
    CountFailure(path, e.what());
    return err::kNotEnoughMemory;
  }
  if (result == ScanCancelled) return result;
  // An engine that gives up before it writes anything (a record it cannot read, a folder it cannot make)
  // reports no file; the item still failed and must be shown so.
  // 23: written whole with zeros where the source could not be read, and reported so file by file.
  if (result > 0 && result != static_cast<int32_t>(err::kCrc)) {
    Report report(*this);
    if (failuresSeen_ == failuresBefore) CountFailure(path, ErrorText(static_cast<uint32_t>(result)));
  }
  return result;
}

void RecoverySession::CountFailure(const fs::path& path, const std::string& text) {
  ++counters_.finished;
  ++counters_.failed;
  ++failuresSeen_;
  FileOutcome outcome{path, FileOutcome::State::kFailed, text, {}, {}, std::nullopt, {}};
  if (item_ != nullptr) {
    outcome.source = item_->source;
    if (item_->record.isFolder == 0) outcome.record = item_->record;
  }
  outcomes_.push_back(std::move(outcome));
  view_.AddResult(os::Utf8OfPath(path), text, true);
  view_.SetLine(ViewLine::kCurrentFile, os::Utf8OfPath(path));
  ShowCounts();
}

void RecoverySession::ShowCounts() {
  std::string counts = FormatMessage(
      view_.Message("MSG1102"),
      {std::to_string(counters_.finished), std::to_string(counters_.total),
       std::to_string(counters_.finished - counters_.failed), std::to_string(counters_.failed)});
  // Saved with zeros where the source could not be read: saved, but not as it was.
  if (const std::string damaged = view_.Message("MSG1105"); counters_.damaged != 0 && !damaged.empty())
    counts += ", " + FormatMessage(damaged, {std::to_string(counters_.damaged)});
  view_.SetLine(ViewLine::kCount, counts);
}

int32_t RecoverySession::OnRecoverProgress(void* context, int32_t progress, int32_t scale, uint32_t error,
                                           const fs::path& filePath) {
  auto* session = static_cast<RecoverySession*>(context);
  Report report(*session);
  if (!report.Go()) return ScanCancelled;
  ProgressView& view = session->view_;
  const int32_t bar = progress * scale / 100;
  if (bar == 100) {
    ++session->counters_.finished;
    FileOutcome outcome{filePath, FileOutcome::State::kWritten, {}, {}, {}, std::nullopt, {}};
    if (const RecoveryItem* item = session->item_) {
      outcome.source = item->source;
      if (item->record.isFolder == 0) {
        outcome.record = item->record;
        if (session->engine_ != nullptr) outcome.runs = session->engine_->DataRuns(item->record);
      }
    }
    if (error == 0) {
      view.AddResult(os::Utf8OfPath(filePath), "Success", false);
    } else if (error == err::kCrc && session->engine_ != nullptr) {
      // Written whole, with zeros where the source could not be read.
      ++session->counters_.damaged;
      outcome.state = FileOutcome::State::kDamaged;
      outcome.unreadable = session->engine_->LastFileUnreadable();
      view.AddResult(os::Utf8OfPath(filePath), "damaged: " + DescribeUnreadable(outcome.unreadable), false);
    } else {
      ++session->counters_.failed;
      ++session->failuresSeen_;
      outcome.state = FileOutcome::State::kFailed;
      outcome.failure = ErrorText(error);
      view.AddResult(os::Utf8OfPath(filePath), outcome.failure, true);
    }
    session->outcomes_.push_back(std::move(outcome));
  }
  view.SetBar(bar);
  view.SetLine(ViewLine::kCurrentFile, os::Utf8OfPath(filePath));
  view.SetLine(ViewLine::kPercent, Percented(view.Message("MSG1101"), bar));
  session->ShowCounts();
  return 0;
}

}  // namespace snapsave
