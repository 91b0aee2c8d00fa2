// The traffic log's time text from the user's regional settings. Wine takes
// them from LC_ALL; tests/win32/wine_check.py runs this under several locales.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "link/time_text.h"
#include "platform/time_format.h"

namespace kvarn {
namespace {

struct Row {
  const char* Locale;
  const char* Afternoon;  // 14:03:27
  const char* Morning;    // 09:05:07
};

constexpr Row kRows[] = {
    {"en-US", "2:03:27 PM", "9:05:07 AM"},   // 12-hour, designator after
    {"de-DE", "14:03:27", "09:05:07"},       // 24-hour, leading zero
    {"fi-FI", "14.03.27", "9.05.07"},        // own separator, no leading zero
    {"ko-KR", "PM 2:03:27", "AM 9:05:07"},   // designator first
};

TlfSystemTime At(int h, int m, int s) {
  TlfSystemTime t{};
  t.wHour = static_cast<uint16_t>(h);
  t.wMinute = static_cast<uint16_t>(m);
  t.wSecond = static_cast<uint16_t>(s);
  return t;
}

TEST(RegionalTime, FollowsTheUsersLocale) {
  char name[LOCALE_NAME_MAX_LENGTH] = {};
  ASSERT_GT(GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SNAME, name, sizeof name), 0);
  for (const Row& row : kRows) {
    if (std::string(name) != row.Locale) continue;
    const platform::TimeFormat& f = RegionalTimeFormat();
    EXPECT_EQ(TimeText(At(14, 3, 27), f), row.Afternoon);
    EXPECT_EQ(TimeText(At(9, 5, 7), f), row.Morning);
    return;
  }
  GTEST_SKIP() << "no expectations for locale " << name;
}

}  // namespace
}  // namespace kvarn
