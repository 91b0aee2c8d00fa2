#include "platform/clock.h"

#include <windows.h>

namespace kvarn::platform {
namespace {

TlfSystemTime FromSystemTime(const SYSTEMTIME& s) {
  TlfSystemTime t;
  t.wYear = s.wYear;
  t.wMonth = s.wMonth;
  t.wDayOfWeek = s.wDayOfWeek;
  t.wDay = s.wDay;
  t.wHour = s.wHour;
  t.wMinute = s.wMinute;
  t.wSecond = s.wSecond;
  t.wMilliseconds = s.wMilliseconds;
  return t;
}

}  // namespace

TlfSystemTime UtcNow() {
  SYSTEMTIME s;
  GetSystemTime(&s);
  return FromSystemTime(s);
}

TlfSystemTime LocalNow() {
  SYSTEMTIME s;
  GetLocalTime(&s);
  return FromSystemTime(s);
}

uint64_t MonotonicMs() { return GetTickCount64(); }

}  // namespace kvarn::platform
