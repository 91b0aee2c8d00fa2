#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "link/time_text.h"
#include "platform/time_format.h"

namespace kvarn {
namespace {

// A host under the C locale (or one that never sets a locale) logs 24-hour
// times with leading zeros.
TEST(ReadTimeFormat, CLocaleGivesTwentyFourHours) {
  const std::string saved = std::setlocale(LC_TIME, nullptr);
  for (const char* name : {"C", "C.UTF-8"}) {
    if (!std::setlocale(LC_TIME, name)) continue;
    TlfSystemTime t{};
    t.wHour = 14;
    t.wMinute = 3;
    t.wSecond = 27;
    EXPECT_EQ(TimeText(t, platform::ReadTimeFormat()), "14:03:27") << name;
    t.wHour = 0;
    EXPECT_EQ(TimeText(t, platform::ReadTimeFormat()), "00:03:27") << name;
  }
  std::setlocale(LC_TIME, saved.c_str());
}

}  // namespace
}  // namespace kvarn
