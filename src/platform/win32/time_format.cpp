#include "platform/time_format.h"

#include <windows.h>

namespace kvarn::platform {
namespace {

// One regional setting of the user as text; false when it cannot be read.
bool ReadSetting(LCTYPE type, std::string& out) {
  char text[100];
  const int n = GetLocaleInfoA(LOCALE_USER_DEFAULT, type, text, sizeof text);
  if (n <= 0) return false;
  out.assign(text, static_cast<size_t>(n - 1));  // n counts the terminating zero
  return true;
}

}  // namespace

TimeFormat ReadTimeFormat() {
  TimeFormat f;
  std::string v;
  if (ReadSetting(LOCALE_STIME, v) && !v.empty()) f.Separator = v;
  if (ReadSetting(LOCALE_ITLZERO, v)) f.LeadingZero = v == "1";
  if (ReadSetting(LOCALE_ITIME, v)) f.TwelveHour = v != "1";
  if (ReadSetting(LOCALE_ITIMEMARKPOSN, v)) f.DesignatorFirst = v == "1";
  if (ReadSetting(LOCALE_S1159, v)) f.Am = v;
  if (ReadSetting(LOCALE_S2359, v)) f.Pm = v;
  return f;
}

}  // namespace kvarn::platform
