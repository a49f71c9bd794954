#include "app/crash_handler.h"

#include <execinfo.h>
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace snapsave::app {

namespace {
constexpr char kNameFormat[] = "%d-%02d-%02d-%02d-%02d-%02d-%02d.dmp";
}  // namespace

std::string CrashFileName(int year, int month, int day, int hour, int minute, int second, int millisecond) {
  char name[64];
  std::snprintf(name, sizeof name, kNameFormat, year, month, day, hour, minute, second, millisecond);
  return name;
}

namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

void WriteAll(int fd, const char* text, size_t length) {
  while (length > 0) {
    const ssize_t n = ::write(fd, text, length);
    if (n <= 0) return;
    text += n;
    length -= static_cast<size_t>(n);
  }
}

extern "C" void OnCrash(int signal) {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  ::localtime_r(&now.tv_sec, &local);
  char name[64];
  std::snprintf(name, sizeof name, kNameFormat, local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(now.tv_nsec / 1000000));
  const int fd = ::open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd >= 0) {
    char line[96];
    const int n = std::snprintf(line, sizeof line, "Snapsave stopped on signal %d (%s)\nbacktrace:\n", signal,
                                sigabbrev_np(signal) != nullptr ? sigabbrev_np(signal) : "?");
    if (n > 0) WriteAll(fd, line, static_cast<size_t>(n));
    void* frames[64];
    const int count = ::backtrace(frames, 64);
    ::backtrace_symbols_fd(frames, count, fd);
    ::close(fd);
  }
  // The handler was reset on entry: the signal now ends the process as it would have.
  ::raise(signal);
}

}  // namespace

void InstallCrashHandler() {
  // backtrace() loads its unwinder on first use; do that now rather than inside the handler.
  void* warm[1];
  ::backtrace(warm, 1);
  struct sigaction action {};
  action.sa_handler = OnCrash;
  action.sa_flags = static_cast<int>(SA_RESETHAND | SA_NODEFER);
  sigemptyset(&action.sa_mask);
  for (int signal : kSignals) ::sigaction(signal, &action, nullptr);
}

}  // namespace snapsave::app
