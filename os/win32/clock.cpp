#include <windows.h>

#include "os/clock.h"

namespace snapsave::os {

LocalTime Now() {
  SYSTEMTIME t{};
  ::GetLocalTime(&t);
  LocalTime out;
  out.year = t.wYear;
  out.month = t.wMonth;
  out.day = t.wDay;
  out.hour = t.wHour;
  out.minute = t.wMinute;
  out.second = t.wSecond;
  out.millisecond = t.wMilliseconds;
  return out;
}

}  // namespace snapsave::os
