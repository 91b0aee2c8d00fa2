#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "host/settings.h"
#include "platform/profile.h"
#include "support/work_dir.h"

namespace kvarn {
namespace {

struct ValueCase {
  const char* text;
  int32_t value;
};

class SettingValueTable : public ::testing::TestWithParam<ValueCase> {};

TEST_P(SettingValueTable, Reads) {
  EXPECT_EQ(SettingValue(GetParam().text, -77), GetParam().value) << '"' << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Syntax, SettingValueTable,
    ::testing::Values(
        ValueCase{"9600", 9600}, ValueCase{"  9600", 9600}, ValueCase{"+12", 12}, ValueCase{"-12", -12},
        ValueCase{"0", 0}, ValueCase{"007", 7}, ValueCase{"0x2580", 9600}, ValueCase{"0X2580", 9600},
        ValueCase{"$2580", 9600}, ValueCase{"x2580", 9600}, ValueCase{"X2580", 9600},
        ValueCase{"$ff", 255}, ValueCase{"$FFFFFFFF", -1}, ValueCase{"$80000000", INT32_MIN},
        ValueCase{"$000000001", 1}, ValueCase{"2147483647", INT32_MAX},
        ValueCase{"-2147483648", INT32_MIN},
        // Everything else gives the default.
        ValueCase{"", -77}, ValueCase{"   ", -77}, ValueCase{"9600bd", -77}, ValueCase{"96 00", -77},
        ValueCase{"-$10", -77}, ValueCase{"+", -77}, ValueCase{"-", -77}, ValueCase{"$", -77},
        ValueCase{"0x", -77}, ValueCase{"$-1", -77}, ValueCase{"$1G", -77}, ValueCase{"1.5", -77},
        ValueCase{"\t5", -77}, ValueCase{"2147483648", -77}, ValueCase{"-2147483649", -77},
        ValueCase{"$100000000", -77}, ValueCase{"99999999999999999999", -77}, ValueCase{"0b1", -77}));

using Keys = std::map<std::string, std::string, std::less<>>;

platform::LineSettings Apply(const Keys& keys) {
  return LineSettingsFrom([&](std::string_view key) {
    auto it = keys.find(key);
    return it == keys.end() ? std::string() : it->second;
  });
}

uint8_t Code(platform::LineParity p) { return static_cast<uint8_t>(p); }
uint8_t Code(platform::LineStopBits b) { return static_cast<uint8_t>(b); }

TEST(LineSettingsFrom, DefaultsWithoutKeys) {
  platform::LineSettings s = Apply({});
  EXPECT_EQ(s.Speed, 300u);
  EXPECT_EQ(s.DataBits, 7);
  EXPECT_EQ(s.Parity, platform::LineParity::None);
  EXPECT_EQ(s.StopBits, platform::LineStopBits::One);
  EXPECT_EQ(s.Flow, platform::LineFlow::None);
  EXPECT_EQ(s.EventChar, 0x14);
}

TEST(LineSettingsFrom, TakesEachKey) {
  platform::LineSettings s = Apply({{"Baud", "$2580"}, {"DataBit", "264"}, {"Parity", "2"}, {"StopBit", "1"}});
  EXPECT_EQ(s.Speed, 9600u);
  EXPECT_EQ(s.DataBits, 8) << "only the low 8 bits";
  EXPECT_EQ(s.Parity, platform::LineParity::Even);
  EXPECT_EQ(s.StopBits, platform::LineStopBits::OneAndHalf);
}

// The port's platform judges them, not the reader.
TEST(LineSettingsFrom, UnknownParityAndStopBitCodesPassUnchanged) {
  platform::LineSettings s = Apply({{"Parity", "263"}, {"StopBit", "5"}});
  EXPECT_EQ(Code(s.Parity), 7) << "only the low 8 bits";
  EXPECT_EQ(Code(s.StopBits), 5);
}

TEST(LineSettingsFrom, FlowControlOneIsXonXoffTwoRtsCts) {
  EXPECT_EQ(Apply({{"FlowCtrl", "1"}}).Flow, platform::LineFlow::XonXoff);
  EXPECT_EQ(Apply({{"FlowCtrl", "2"}}).Flow, platform::LineFlow::RtsCts);
  EXPECT_EQ(Apply({{"FlowCtrl", "3"}}).Flow, platform::LineFlow::None);
  EXPECT_EQ(Apply({{"FlowCtrl", "0"}}).Flow, platform::LineFlow::None);
  EXPECT_EQ(Apply({{"FlowCtrl", "x"}}).Flow, platform::LineFlow::None);
}

TEST(LineSettingsFrom, BadValuesGiveEachKeyItsDefault) {
  platform::LineSettings s =
      Apply({{"Baud", "9600bd"}, {"DataBit", "-$10"}, {"Parity", ""}, {"StopBit", "two"}});
  EXPECT_EQ(s.Speed, 300u);
  EXPECT_EQ(s.DataBits, 7);
  EXPECT_EQ(s.Parity, platform::LineParity::None);
  EXPECT_EQ(s.StopBits, platform::LineStopBits::One);
}

// Through the platform's own reader (the Windows one under Wine), from a
// settings file in the current directory.
class SettingsFile : public ::testing::Test {
 protected:
  void Write(const std::string& text) { std::ofstream(dir_.Path() / "Rn.ini", std::ios::binary) << text; }

  test::WorkDir dir_{"kvarn_settings_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name()};
};

TEST_F(SettingsFile, ReceiverSectionIsRead) {
  Write("[RecNr1]\r\nBaud=1200\r\n[RecNr2]\r\n Baud = 0x4B00 \r\nDataBit=8\r\nStopBit=2\r\nFlowCtrl=2\r\n");
  platform::LineSettings s = ReceiverSettings(2);
  EXPECT_EQ(s.Speed, 19200u);
  EXPECT_EQ(s.DataBits, 8);
  EXPECT_EQ(s.StopBits, platform::LineStopBits::Two);
  EXPECT_EQ(s.Flow, platform::LineFlow::RtsCts);
  EXPECT_EQ(ReceiverSettings(1).Speed, 1200u);
  EXPECT_EQ(ReceiverSettings(3).Speed, 300u) << "no section: defaults";
}

TEST_F(SettingsFile, NamesIgnoreCaseAndQuotesGo) {
  Write("[recnr7]\r\nbaud=\"9600\"\r\n");
  EXPECT_EQ(platform::ReadProfileString("Rn.ini", "RecNr7", "Baud"), "9600");
  EXPECT_EQ(ReceiverSettings(7).Speed, 9600u);
}

TEST_F(SettingsFile, NoFileGivesDefaults) {
  EXPECT_EQ(platform::ReadProfileString("Rn.ini", "RecNr1", "Baud"), "");
  platform::LineSettings s = ReceiverSettings(1);
  EXPECT_EQ(s.Speed, 300u);
  EXPECT_EQ(s.DataBits, 7);
  EXPECT_EQ(s.Flow, platform::LineFlow::None);
}

}  // namespace
}  // namespace kvarn
