#include <gtest/gtest.h>

#include <string>

#include "decode/field_readers.h"

namespace kvarn {
namespace {

struct NumberCase {
  const char* text;
  int32_t value;
};

class ReadNumberTable : public ::testing::TestWithParam<NumberCase> {};

TEST_P(ReadNumberTable, Reads) {
  EXPECT_EQ(ReadNumber(GetParam().text), GetParam().value) << '"' << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadNumberTable,
    ::testing::Values(
        NumberCase{"", 0}, NumberCase{"   ", 0}, NumberCase{"07", 7}, NumberCase{" 7", 7},
        NumberCase{"7 ", 7}, NumberCase{"7A", 7}, NumberCase{"A7", 0}, NumberCase{"-5", -5},
        NumberCase{"-5x", 5},  // a sign counts only when the digits reach the end
        NumberCase{"+5", 5}, NumberCase{"-", 0}, NumberCase{"- 5", 0}, NumberCase{"  -12", -12},
        NumberCase{"x9", 9}, NumberCase{"X1f", 0x1F}, NumberCase{"$1234", 0x1234},
        NumberCase{"0x12ab", 0x12AB}, NumberCase{"0XFF", 0xFF}, NumberCase{"0x", 0},
        NumberCase{"$", 0}, NumberCase{"$-1", 0}, NumberCase{"$ 1", 0}, NumberCase{"0", 0},
        NumberCase{"012", 12}, NumberCase{"$12 4", 0x12}, NumberCase{"  $A", 10},
        NumberCase{"-$10", 0},  // no sign before a hex prefix
        NumberCase{"$FFFFFFFF", -1},
        // The value stops growing before it would pass 32 bits.
        NumberCase{"$123456789", 0x12345678}, NumberCase{"$0FFFFFFFF", static_cast<int32_t>(0xFFFFFFFF)},
        NumberCase{"$00000000123456789", 0x12345678}, NumberCase{"$10000000F", 0x10000000}));

TEST(TakeField, CopiesTheSliceWithoutLeadingSpaces) {
  FrameText frame("ab  12CD");
  FrameText field("left over");
  TakeField(frame, field, 3, 4);
  EXPECT_EQ(field.View(), "12");
  TakeField(frame, field, 3, 2);
  EXPECT_EQ(field.View(), "");
  // A slice past the end takes only the characters that exist.
  TakeField(frame, field, 7, 5);
  EXPECT_EQ(field.View(), "CD");
  TakeField(frame, field, 20, 2);
  EXPECT_EQ(field.View(), "");
}

TEST(IsValidDate, GregorianLeapYears) {
  EXPECT_TRUE(IsValidDate(2024, 2, 29));
  EXPECT_TRUE(IsValidDate(2000, 2, 29));
  EXPECT_FALSE(IsValidDate(1900, 2, 29));
  EXPECT_FALSE(IsValidDate(2026, 2, 29));
  EXPECT_FALSE(IsValidDate(2026, 4, 31));
  EXPECT_TRUE(IsValidDate(2026, 12, 31));
  EXPECT_FALSE(IsValidDate(2026, 13, 1));
  EXPECT_FALSE(IsValidDate(2026, 0, 1));
  EXPECT_FALSE(IsValidDate(2026, 1, 0));
  EXPECT_FALSE(IsValidDate(0, 1, 1));
  EXPECT_FALSE(IsValidDate(10000, 1, 1));
}

// Runs ReadReceiverTime on `text` with the PC clock fixed at `clock`.
struct TimeRun {
  bool ok;
  TlfSystemTime stamp;
  int clockReads;
};

TimeRun RunTime(const std::string& text, TlfSystemTime clock, TlfSystemTime before = {}) {
  DecodeState state;
  state.Frame.Assign(text);
  state.Msg.Stamp = before;
  int reads = 0;
  state.UtcNow = [&] {
    ++reads;
    return clock;
  };
  bool ok = ReadReceiverTime(state);
  EXPECT_EQ(state.Frame.View(), text) << "the frame text is not changed";
  return {ok, state.Msg.Stamp, reads};
}

const TlfSystemTime kClock2026{2026, 12, 2, 8, 14, 3, 27, 500};

TEST(ReadReceiverTime, ReadsTheFieldsAroundTheFirstColon) {
  TimeRun r = RunTime("12:34:56 07/08 xxxx", kClock2026);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.stamp.wYear, 2026);
  EXPECT_EQ(r.stamp.wMonth, 8);
  EXPECT_EQ(r.stamp.wDay, 7);
  EXPECT_EQ(r.stamp.wHour, 12);
  EXPECT_EQ(r.stamp.wMinute, 34);
  EXPECT_EQ(r.stamp.wSecond, 56);
  // Day of week and milliseconds are the PC clock's, not recomputed.
  EXPECT_EQ(r.stamp.wDayOfWeek, 2);
  EXPECT_EQ(r.stamp.wMilliseconds, 500);
}

TEST(ReadReceiverTime, NoColonOrColonTooEarlyLeavesTheRestOfStampAlone) {
  const TlfSystemTime before{1, 2, 3, 4, 5, 6, 7, 8};
  for (const char* text : {"1234567890123456789", ":2:34:56 07/08 xxxx", "1:34:56 07/08 xxxxx"}) {
    TimeRun r = RunTime(text, kClock2026, before);
    EXPECT_FALSE(r.ok) << text;
    EXPECT_EQ(r.stamp.wYear, 0xFFFF) << text;
    EXPECT_EQ(r.stamp.wMonth, 2) << text;
    EXPECT_EQ(r.stamp.wMilliseconds, 8) << text;
    EXPECT_EQ(r.clockReads, 0) << "no clock read without a time: " << text;
  }
}

struct TimeCase {
  const char* text;
  bool ok;
};

class ReceiverTimeTable : public ::testing::TestWithParam<TimeCase> {};

TEST_P(ReceiverTimeTable, Validates) {
  TimeRun r = RunTime(GetParam().text, kClock2026);
  EXPECT_EQ(r.ok, GetParam().ok) << GetParam().text;
  if (!GetParam().ok) {
    EXPECT_EQ(r.stamp.wYear, 0xFFFF);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReceiverTimeTable,
    ::testing::Values(TimeCase{"23:59:59 31/12 0000", true}, TimeCase{"00:00:00 01/01 0000", true},
                      TimeCase{"24:00:00 01/01 0000", false}, TimeCase{"12:60:00 01/01 0000", false},
                      TimeCase{"12:00:60 01/01 0000", false}, TimeCase{"12:00:00 01/00 0000", false},
                      TimeCase{"12:00:00 01/13 0000", false}, TimeCase{"12:00:00 00/01 0000", false},
                      TimeCase{"12:00:00 31/04 0000", false}, TimeCase{"12:00:00 30/04 0000", true},
                      // 2026 is not a leap year.
                      TimeCase{"12:00:00 29/02 0000", false},
                      // Spaces read as the digit beside them, two spaces as 0.
                      TimeCase{" 1: 2:3  7/ 8 0000", true}, TimeCase{"  :  :   07/08 0000", true},
                      TimeCase{"12:00:00   /08 0000", false},
                      // A field starting with a letter reads 0; x starts hex.
                      TimeCase{"ab:00:00 07/08 0000", true}, TimeCase{"12:00:00 07/x9 0000", true},
                      TimeCase{"-1:00:00 07/08 0000", false},
                      // Colon at position 8: the month is the last two characters.
                      TimeCase{"abcde12:34:56 07/08", true},
                      // Colon at 9 or later: the month reaches past the end and
                      // reads only what is there.
                      TimeCase{"abcdef12:34:56 07/0", false}, TimeCase{"abcdefg12:34:56 07/", false}));

TEST(ReadReceiverTime, LeapDayFollowsThePcYear) {
  TlfSystemTime leap = kClock2026;
  leap.wYear = 2024;
  EXPECT_TRUE(RunTime("12:00:00 29/02 0000", leap).ok);
  leap.wYear = 2000;
  EXPECT_TRUE(RunTime("12:00:00 29/02 0000", leap).ok);
  leap.wYear = 1900;
  EXPECT_FALSE(RunTime("12:00:00 29/02 0000", leap).ok);
}

TEST(ReadReceiverTime, PastTheEndNeverReadsOldBufferBytes) {
  // Fill the buffer with a longer text first, then shorten it: the characters
  // past the new end must not be read as the month.
  DecodeState state;
  state.Frame.Assign("abcdef12:34:56 07/08");
  state.Frame.Truncate(18);  // "abcdef12:34:56 07/" : month would be "08" from old bytes
  state.UtcNow = [] { return kClock2026; };
  EXPECT_FALSE(ReadReceiverTime(state));
}

}  // namespace
}  // namespace kvarn
