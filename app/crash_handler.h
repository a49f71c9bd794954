// A report of a crash, written beside where the program was started: the signal and a backtrace, in a file
// named by the local time ("2026-12-07-18-56-07-123.dmp").
#pragma once

#include <string>

namespace snapsave::app {

void InstallCrashHandler();
// The report's file name for a moment of local time.
std::string CrashFileName(int year, int month, int day, int hour, int minute, int second, int millisecond);

}  // namespace snapsave::app
