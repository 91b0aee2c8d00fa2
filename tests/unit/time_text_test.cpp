#include <gtest/gtest.h>

#include "link/time_text.h"

namespace kvarn {
namespace {

using platform::TimeFormat;

TlfSystemTime At(unsigned short hour, unsigned short minute, unsigned short second) {
  TlfSystemTime t{};
  t.wYear = 2009;
  t.wMonth = 3;
  t.wDay = 5;
  t.wHour = hour;
  t.wMinute = minute;
  t.wSecond = second;
  return t;
}

TimeFormat Format24() {
  TimeFormat f;
  f.LeadingZero = true;
  f.TwelveHour = false;
  return f;
}

TimeFormat Format12(bool designatorFirst) {
  TimeFormat f;
  f.Separator = ".";
  f.TwelveHour = true;
  f.DesignatorFirst = designatorFirst;
  f.Am = "AM";
  f.Pm = "PM";
  return f;
}

struct HourCase {
  unsigned short hour;
  const char* h24;        // leading zero, ":"
  const char* h12After;   // no leading zero, "."
  const char* h12Before;
  const char* fallBack;   // ":", no leading zero, 12-hour, "am"/"pm" after
};

class TimeTextByHour : public ::testing::TestWithParam<HourCase> {};

TEST_P(TimeTextByHour, FollowsTheFormat) {
  const HourCase& c = GetParam();
  const TlfSystemTime t = At(c.hour, 3, 7);
  EXPECT_EQ(TimeText(t, Format24()), c.h24);
  EXPECT_EQ(TimeText(t, Format12(false)), c.h12After);
  EXPECT_EQ(TimeText(t, Format12(true)), c.h12Before);
  EXPECT_EQ(TimeText(t, TimeFormat{}), c.fallBack);
}

INSTANTIATE_TEST_SUITE_P(
    Hours, TimeTextByHour,
    ::testing::Values(HourCase{0, "00:03:07", "12.03.07 AM", "AM 12.03.07", "12:03:07 am"},
                      HourCase{9, "09:03:07", "9.03.07 AM", "AM 9.03.07", "9:03:07 am"},
                      HourCase{11, "11:03:07", "11.03.07 AM", "AM 11.03.07", "11:03:07 am"},
                      HourCase{12, "12:03:07", "12.03.07 PM", "PM 12.03.07", "12:03:07 pm"},
                      HourCase{13, "13:03:07", "1.03.07 PM", "PM 1.03.07", "1:03:07 pm"},
                      HourCase{23, "23:03:07", "11.03.07 PM", "PM 11.03.07", "11:03:07 pm"}));

TEST(TimeText, TwelveHourWithLeadingZero) {
  TimeFormat f = Format12(false);
  f.LeadingZero = true;
  EXPECT_EQ(TimeText(At(13, 0, 0), f), "01.00.00 PM");
}

TEST(TimeText, EmptyDesignatorLeavesNoSpace) {
  TimeFormat f = Format12(false);
  f.Am = "";
  EXPECT_EQ(TimeText(At(1, 2, 3), f), "1.02.03");
  f.DesignatorFirst = true;
  EXPECT_EQ(TimeText(At(1, 2, 3), f), "1.02.03");
}

struct PatternCase {
  const char* pattern;
  const char* ampmPattern;
  const char* expected;  // 13:04:05 in the format read from the pattern
};

class TimeFormatFromPatternTable : public ::testing::TestWithParam<PatternCase> {};

TEST_P(TimeFormatFromPatternTable, Reads) {
  const PatternCase& c = GetParam();
  const TimeFormat f = platform::TimeFormatFromPattern(c.pattern, c.ampmPattern, "AM", "PM");
  EXPECT_EQ(TimeText(At(13, 4, 5), f), c.expected) << '"' << c.pattern << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, TimeFormatFromPatternTable,
    ::testing::Values(
        PatternCase{"%H:%M:%S", "", "13:04:05"},         // the C locale
        PatternCase{"%T", "", "13:04:05"},
        PatternCase{"%H.%M.%S", "", "13.04.05"},
        PatternCase{"%k:%M:%S", "", "13:04:05"},
        PatternCase{"%-H:%M:%S", "", "13:04:05"},
        PatternCase{"%I:%M:%S %p", "", "01:04:05 PM"},
        PatternCase{"%l:%M:%S %p", "", "1:04:05 PM"},
        PatternCase{"%p %I:%M:%S", "", "PM 01:04:05"},
        PatternCase{"%P %-I:%M:%S", "", "pm 1:04:05"},
        PatternCase{"%r", "%I:%M:%S %p", "01:04:05 PM"},
        PatternCase{"%r", "", "01:04:05 PM"},
        PatternCase{"%r", "%p %lh%Mm%Ss", "PM 1h04h05"},
        PatternCase{"%OH:%EM:%S", "", "13:04:05"},
        PatternCase{"", "", "1:04:05 PM"},  // no pattern: the fall-backs
        PatternCase{"%X", "", "1:04:05 PM"}));

}  // namespace
}  // namespace kvarn
