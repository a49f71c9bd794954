// A session's progress as one line on a terminal's stderr, its results as lines on stdout.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>

#include "sessions/session.h"

namespace snapsave::cli {

// What to do when a deep scan of the source was stopped earlier.
enum class ResumePolicy { kAsk, kResume, kFresh };

class TerminalView : public ProgressView {
 public:
  explicit TerminalView(ResumePolicy resume = ResumePolicy::kAsk);
  ~TerminalView() override;

  std::string Message(std::string_view id) override;
  void SetLine(ViewLine line, const std::string& text) override;
  void ShowLine(ViewLine line, bool visible) override;
  bool AskYesNo(std::string_view messageId) override;
  void AddResult(const std::string& path, const std::string& outcome, bool failed) override;
  void ShowReport(const std::string& path) override;
  void Close(int32_t endCode) override;

  bool Closed() const { return endCode_.load() != 0; }
  int32_t EndCode() const { return endCode_.load(); }
  // Ends the progress line so that what follows starts on a fresh one.
  void EndProgressLine();
  // True when a saved scan was found and the answer was to discard it.
  bool DiscardedSavedScan() const { return discarded_; }

 private:
  void Draw(bool force);

  bool terminal_;
  ResumePolicy resume_;
  std::map<ViewLine, std::string> lines_;
  std::map<ViewLine, bool> hidden_;
  uint64_t lastDraw_ = 0;
  bool drawn_ = false;
  bool discarded_ = false;
  std::atomic<int32_t> endCode_{0};
};

}  // namespace snapsave::cli
