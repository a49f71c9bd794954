#include "sessions/session.h"

#include <chrono>
#include <string>

#include <fmt/core.h>

#include "os/error.h"

namespace snapsave {

Session::~Session() {
  Wait();
}

void Session::Start() {
  Wait();
  {
    std::lock_guard<std::mutex> guard(lock_);
    cancelRequested_ = false;
  }
  workerDone_.store(false);
  returned_.store(false);
  worker_ = std::thread([this] {
    Run();
    returned_.store(true);
  });
}

bool Session::RequestCancel(std::string_view confirmMessageId) {
  std::unique_lock<std::mutex> guard(lock_);
  if (!view_.AskYesNo(confirmMessageId)) return false;
  cancelRequested_ = true;
  guard.unlock();
  // The worker may end without setting workerDone (no engine for a target), so wait for the thread itself.
  while (!returned_.load()) {
    if (pump_) pump_();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  Wait();
  return true;
}

void Session::Wait() {
  if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id()) worker_.join();
}

bool Session::CancelRequested() {
  std::lock_guard<std::mutex> guard(lock_);
  return cancelRequested_;
}

int32_t Session::ReportPercent(std::string_view messageId, int32_t percent) {
  Report report(*this);
  if (!report.Go()) return ScanCancelled;
  view_.SetLine(ViewLine::kPercent, Percented(view_.Message(messageId), percent));
  view_.SetBar(percent);
  return 0;
}

std::string FormatDuration(uint64_t seconds) {
  if (seconds >= 3600) return fmt::format("{} Hour {} Min", seconds / 3600, seconds % 3600 / 60);
  if (seconds >= 60) return fmt::format("{} Min {} Sec", seconds / 60, seconds % 60);
  return fmt::format("{} Sec", seconds);
}

std::string FormatMessage(std::string_view format, std::initializer_list<std::string_view> arguments) {
  std::string out;
  const std::string_view* next = arguments.begin();
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') {
      out += format[i];
      continue;
    }
    if (i + 1 < format.size() && format[i + 1] == '%') {
      out += '%';
      ++i;
      continue;
    }
    // Flags, width, precision and length modifiers, then the conversion letter.
    size_t j = i + 1;
    while (j < format.size() &&
           std::string_view("-+ #0123456789.hlLqjztI").find(format[j]) != std::string_view::npos)
      ++j;
    if (j >= format.size()) {
      out.append(format.substr(i));
      break;
    }
    if (next != arguments.end()) out.append(*next++);
    i = j;
  }
  return out;
}

std::string Prefixed(std::string_view text, std::string_view value) {
  return fmt::format("{} {}", text, value);
}

std::string Percented(std::string_view text, int32_t percent) {
  return fmt::format("{} {}%", text, percent);
}

std::string OutOf(std::string_view text, uint64_t done, uint64_t total) {
  return fmt::format("{} {} / {}", text, done, total);
}

}  // namespace snapsave
