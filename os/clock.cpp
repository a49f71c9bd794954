#include "os/clock.h"

namespace snapsave::os {

LocalTime CivilTimeOfFileTime(uint64_t fileTime) {
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
  LocalTime out;
  out.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  out.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  out.year = static_cast<int>(yoe + era * 400 + (out.month <= 2 ? 1 : 0));
  out.hour = static_cast<int>(rest / 3600);
  out.minute = static_cast<int>(rest / 60 % 60);
  out.second = static_cast<int>(rest % 60);
  out.millisecond = static_cast<int>(fileTime / 10'000 % 1000);
  return out;
}

uint64_t FileTimeOfCivilTime(const LocalTime& t) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (t.year < 1601 || t.month < 1 || t.month > 12 || t.day < 1) return 0;
  const bool leap = (t.year % 4 == 0 && t.year % 100 != 0) || t.year % 400 == 0;
  if (t.day > (t.month == 2 && leap ? 29 : kDays[t.month - 1])) return 0;
  if (t.hour < 0 || t.hour > 23 || t.minute < 0 || t.minute > 59 || t.second < 0 || t.second > 59 ||
      t.millisecond < 0 || t.millisecond > 999)
    return 0;
  // Days since 1970-01-01 of the proleptic Gregorian date.
  const int y = t.year - (t.month <= 2 ? 1 : 0);
  const int era = y / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (t.month + (t.month > 2 ? -3 : 9)) + 2) / 5 + t.day - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t days = int64_t{era} * 146097 + doe - 719468 + 134774;  // then since 1601-01-01
  const auto seconds =
      static_cast<uint64_t>(days) * 86400 + static_cast<uint64_t>(t.hour * 3600 + t.minute * 60 + t.second);
  return seconds * 10'000'000 + static_cast<uint64_t>(t.millisecond) * 10'000;
}

uint64_t FileTimeOfUnix(int64_t seconds, uint32_t ns) {
  constexpr int64_t kUnixEpochSeconds = 11644473600;  // 1601 to 1970
  if (seconds == 0 && ns == 0) return 0;
  if (seconds < -kUnixEpochSeconds || seconds > INT64_MAX / 10'000'000 - kUnixEpochSeconds) return 0;
  return static_cast<uint64_t>(seconds + kUnixEpochSeconds) * 10'000'000 + ns / 100;
}

}  // namespace snapsave::os
