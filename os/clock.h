#pragma once

#include <chrono>
#include <cstdint>

namespace snapsave::os {

// Milliseconds of a monotonic clock.
inline uint64_t TickMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

struct LocalTime {
  int year = 0;
  int month = 0;  // 1..12
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

LocalTime Now();

// The calendar fields of a FILETIME (100 ns ticks since 1601-01-01) as stored, without any time-zone change.
LocalTime CivilTimeOfFileTime(uint64_t fileTime);
// Its inverse; 0 for fields that name no calendar time (a 31st of April, hour 24) or a year before 1601.
uint64_t FileTimeOfCivilTime(const LocalTime& t);
// A FILETIME of Unix seconds and nanoseconds; 0 for none (both zero) or one a FILETIME cannot hold.
uint64_t FileTimeOfUnix(int64_t seconds, uint32_t ns);

}  // namespace snapsave::os
