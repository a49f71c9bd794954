// The pattern every long operation follows: a worker thread drives an engine, the engine's callbacks update a
// progress view under one lock and check for cancelling, and the worker closes the view with an end code.
// Written once here; the desktop's progress windows and snapsave-cli's terminal line are the views.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace snapsave {

// End codes with which a worker closes its view.
inline constexpr int32_t kEndFinished = 1;   // also after a cancelled scan or search
inline constexpr int32_t kEndCancelled = 2;  // preview extraction or image copy cancelled
inline constexpr int32_t kEndFailed = 3;     // no engine for a target, or the image copy failed

// Messages the scan and search workers send to the view's owner when they are done.
inline constexpr uint32_t kScanDoneMessage = 0x401;
inline constexpr uint32_t kSearchDoneMessage = 0x402;

enum class ViewLine { kStage, kPercent, kTime, kSectors, kFiles, kCurrentFile, kCount };

// What a session shows. Everything but Message is called on the worker thread with the session's lock held,
// except AskYesNo for a confirmation the worker itself needs (the saved-scan question).
class ProgressView {
 public:
  virtual ~ProgressView() = default;

  // The text of a language message ("MSG0704"); empty when there is none.
  virtual std::string Message(std::string_view id) = 0;
  virtual void SetLine(ViewLine line, const std::string& text) = 0;
  virtual void ShowLine(ViewLine /*line*/, bool /*visible*/) {}
  virtual void SetBar(int32_t /*percent*/) {}
  // Hides the view, asks the message's question and shows the view again; true for Yes.
  virtual bool AskYesNo(std::string_view messageId) = 0;
  // A finished file of a recovery: failures go to the top of the list, successes at the end.
  virtual void AddResult(const std::string& /*path*/, const std::string& /*outcome*/, bool /*failed*/) {}
  // The recovery's report was written there.
  virtual void ShowReport(const std::string& path) { AddResult(path, "Recovery report", false); }
  // Recovery done: the finish control replaces the cancel control.
  virtual void ShowFinished() {}
  virtual void NotifyOwner(uint32_t /*message*/) {}
  virtual void Close(int32_t endCode) = 0;
};

// Owns the worker thread, the lock and the two flags. The worker never outlives the session: every concrete
// session calls Wait() in its destructor, before its own members go.
class Session {
 public:
  explicit Session(ProgressView& view) : view_(view) {}
  virtual ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Clears both flags and starts the worker.
  void Start();
  // The cancel button, on the view's thread. Holding the lock while the user decides stops the worker at its
  // next report, so the engine makes no progress meanwhile. On Yes the worker is told and awaited; true then.
  bool RequestCancel(std::string_view confirmMessageId);
  // Waits until the worker has returned.
  void Wait();
  // Called every 50 ms while RequestCancel waits for the worker, so that a view whose worker waits on the
  // view's own thread (a question it asks) keeps answering.
  void SetWaitPump(std::function<void()> pump) { pump_ = std::move(pump); }

  bool WorkerDone() const { return workerDone_.load(); }
  bool CancelRequested();

 protected:
  virtual void Run() = 0;

  // For callbacks: holds the lock while it lives; Go() is false once a cancel was confirmed.
  class Report {
   public:
    explicit Report(Session& session) : lock_(session.lock_), go_(!session.cancelRequested_) {}
    bool Go() const { return go_; }

   private:
    std::unique_lock<std::mutex> lock_;
    bool go_;
  };

  void MarkDone() { workerDone_.store(true); }
  // The percent line (the message's text and the percentage) and the bar of a report. 0, or ScanCancelled
  // once a cancel was confirmed.
  int32_t ReportPercent(std::string_view messageId, int32_t percent);

  ProgressView& view_;

 private:
  std::mutex lock_;
  bool cancelRequested_ = false;
  std::atomic<bool> workerDone_{false};
  std::atomic<bool> returned_{true};
  std::function<void()> pump_;
  std::thread worker_;
};

// "%d Hour %d Min", "%d Min %d Sec" or "%d Sec".
std::string FormatDuration(uint64_t seconds);

// Puts the arguments in place of the printf-style conversions of `format` ("%d", "%c", "%s", "%I64u" ...), in
// order, and turns "%%" into "%"; a conversion without an argument is dropped. Message texts come from
// editable files, so they are never handed to printf.
std::string FormatMessage(std::string_view format, std::initializer_list<std::string_view> arguments);

// The forms the views share: "<text> <value>", "<text> <n>%", "<text> <a> / <b>".
std::string Prefixed(std::string_view text, std::string_view value);
std::string Percented(std::string_view text, int32_t percent);
std::string OutOf(std::string_view text, uint64_t done, uint64_t total);

}  // namespace snapsave
