#include "platform/clock.h"

#include <ctime>

namespace kvarn::platform {
namespace {

TlfSystemTime FromTm(const std::tm& tm, long nanos) {
  TlfSystemTime st{};
  st.wYear = static_cast<unsigned short>(tm.tm_year + 1900);
  st.wMonth = static_cast<unsigned short>(tm.tm_mon + 1);
  st.wDayOfWeek = static_cast<unsigned short>(tm.tm_wday);
  st.wDay = static_cast<unsigned short>(tm.tm_mday);
  st.wHour = static_cast<unsigned short>(tm.tm_hour);
  st.wMinute = static_cast<unsigned short>(tm.tm_min);
  // A leap second would read 60, which no SYSTEMTIME holds.
  st.wSecond = static_cast<unsigned short>(tm.tm_sec > 59 ? 59 : tm.tm_sec);
  st.wMilliseconds = static_cast<unsigned short>(nanos / 1000000);
  return st;
}

}  // namespace

TlfSystemTime UtcNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  std::tm tm{};
  gmtime_r(&ts.tv_sec, &tm);
  return FromTm(tm, ts.tv_nsec);
}

TlfSystemTime LocalNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  std::tm tm{};
  localtime_r(&ts.tv_sec, &tm);
  return FromTm(tm, ts.tv_nsec);
}

uint64_t MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

}  // namespace kvarn::platform
