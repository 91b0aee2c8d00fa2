// Frame files, escapes and traffic-log lines: what the simulator sends.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/frames.h"
#include "sim/scenarios.h"

namespace kvarn::sim {
namespace {

struct EscapeCase {
  const char* line;
  std::string frame;
};

void PrintTo(const EscapeCase& c, std::ostream* os) { *os << '"' << c.line << '"'; }

class EscapeTable : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeTable, Parses) {
  std::string frame, error;
  ASSERT_TRUE(ParseEscapes(GetParam().line, frame, error)) << error;
  EXPECT_EQ(frame, GetParam().frame);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EscapeTable,
    ::testing::Values(EscapeCase{"5011 181234E13001001", "5011 181234E13001001"},
                      EscapeCase{"AB\\x14CD", std::string("AB\x14" "CD")},
                      EscapeCase{"\\x00\\xff\\xAb", std::string("\0\xff\xab", 3)},
                      EscapeCase{"a\\\\b", "a\\b"}, EscapeCase{"\\\\x14", "\\x14"},
                      EscapeCase{"\\t\\r\\n", "\t\r\n"}, EscapeCase{"  spaces kept  ", "  spaces kept  "},
                      EscapeCase{"", ""}));

TEST(Escapes, BadEscapesNameTheColumn) {
  for (const char* bad : {"ab\\q", "ab\\x1", "ab\\xZZ", "ab\\", "ab\\x"}) {
    std::string frame, error;
    EXPECT_FALSE(ParseEscapes(bad, frame, error)) << bad;
    EXPECT_NE(error.find("column 3"), std::string::npos) << bad << ": " << error;
  }
}

TEST(Escapes, ShowFrameRoundTripsEveryByte) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  std::string shown = ShowFrame(all), back, error;
  for (char c : shown) EXPECT_TRUE(c >= 0x20 && c < 0x7F);
  ASSERT_TRUE(ParseEscapes(shown, back, error)) << error;
  EXPECT_EQ(back, all);
}

TEST(FrameFile, SkipsCommentsAndBlankLinesKeepsSpaces) {
  std::vector<std::string> frames;
  std::string error;
  ASSERT_TRUE(ParseFrameFile("# a comment\r\n5011 181234E13001001\r\n\n1010           @    \n\\x23 not a comment",
                             frames, error))
      << error;
  EXPECT_EQ(frames, (std::vector<std::string>{"5011 181234E13001001", "1010           @    ", "# not a comment"}));
}

TEST(FrameFile, BadEscapeNamesTheLine) {
  std::vector<std::string> frames;
  std::string error;
  EXPECT_FALSE(ParseFrameFile("ok\n\nbad \\q\n", frames, error));
  EXPECT_NE(error.find("line 3"), std::string::npos) << error;
}

struct LogCase {
  const char* name;
  std::string log;
  std::vector<std::string> frames;
};

void PrintTo(const LogCase& c, std::ostream* os) { *os << c.name; }

class TrafficLogTable : public ::testing::TestWithParam<LogCase> {};

TEST_P(TrafficLogTable, TakesTheFrameAfterTheTimeText) {
  std::vector<std::string> frames, warnings;
  std::string error;
  ASSERT_TRUE(ParseTrafficLog(GetParam().log, frames, warnings, error)) << error;
  EXPECT_EQ(frames, GetParam().frames);
  EXPECT_TRUE(warnings.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Locales, TrafficLogTable,
    ::testing::Values(
        LogCase{"TwentyFourHour", "14:03:27 5011 181234E13001001\r\n09:00:01 S0111[#1234|NFA05]\r\n",
                {"5011 181234E13001001", "S0111[#1234|NFA05]"}},
        LogCase{"NoLeadingZero", "9:00:01 3011 018005678130004\r\n", {"3011 018005678130004"}},
        LogCase{"DesignatorAfter", "2:03:27 pm 5011 181234E13001001\r\n11:59:59 am 0010 LINE 2 FAULT\r\n",
                {"5011 181234E13001001", "0010 LINE 2 FAULT"}},
        LogCase{"DesignatorBefore", "PM 2:03:27 5011 181234E13001001\r\nAM 9:00:00 1011 018001234 A1003\r\n",
                {"5011 181234E13001001", "1011 018001234 A1003"}},
        LogCase{"OtherSeparator", "14.03.27 5011 181234E13001001\r\n", {"5011 181234E13001001"}},
        // A frame starting with a word is not a designator when other lines show there is none.
        LogCase{"WordFrameUnder24Hours", "14:03:27 HELLO THERE\r\n14:03:28 5011 181234E13001001\r\n",
                {"HELLO THERE", "5011 181234E13001001"}},
        LogCase{"SpacesInTheFrameKept", "14:03:27  5011 x  \r\n", {" 5011 x  "}},
        LogCase{"NoLineEndAtTheEnd", "14:03:27 5011 181234E13001001", {"5011 181234E13001001"}}),
    [](const ::testing::TestParamInfo<LogCase>& c) { return c.param.name; });

TEST(TrafficLog, LinesWithoutTimeAreSkippedWithAWarning) {
  std::vector<std::string> frames, warnings;
  std::string error;
  ASSERT_TRUE(ParseTrafficLog("garbage\r\n14:03:27 5011 181234E13001001\r\n", frames, warnings, error));
  EXPECT_EQ(frames, std::vector<std::string>{"5011 181234E13001001"});
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("line 1"), std::string::npos);
}

TEST(TrafficLog, NoFrameAtAllIsAnError) {
  std::vector<std::string> frames, warnings;
  std::string error;
  EXPECT_FALSE(ParseTrafficLog("\r\n", frames, warnings, error));
  EXPECT_FALSE(error.empty());
}

TEST(Scenarios, HeartbeatAndLoadFramesHaveTheReceiversShape) {
  EXPECT_EQ(HeartbeatFrame(1), "1010           @    ");
  EXPECT_EQ(HeartbeatFrame(12), "1120           @    ");
  for (uint64_t i : {0ull, 1ull, 99ull, 123456ull}) {
    std::string f = LoadFrame(i, 1);
    ASSERT_EQ(f.size(), 20u) << f;  // "5RRL" + space + 15-character remainder
    EXPECT_EQ(f.substr(0, 5), "5011 ");
    EXPECT_FALSE(IsHeartbeat(f));
  }
  EXPECT_NE(LoadFrame(0, 1), LoadFrame(1, 1));
}

TEST(Scenarios, EveryScenarioHasFramesAndTheDemoMixesTheForms) {
  for (const Scenario& s : BuiltInScenarios()) EXPECT_FALSE(s.frames.empty()) << s.name;
  Scenario demo = FindScenario("demo");
  std::string firsts;
  for (const ScenarioFrame& f : demo.frames) firsts += f.frame[0];
  for (char form : {'0', '1', '3', '5', 'S'}) EXPECT_NE(firsts.find(form), std::string::npos) << form;
  EXPECT_TRUE(FindScenario("no such").name.empty());
}

}  // namespace
}  // namespace kvarn::sim
