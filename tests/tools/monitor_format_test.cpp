// The monitor's lines for events and status lines.
#include <gtest/gtest.h>

#include <string>

#include "monitor/format.h"

namespace kvarn::monitor {
namespace {

void SetShort(unsigned char* field, const std::string& text) {
  field[0] = static_cast<unsigned char>(text.size());
  for (size_t i = 0; i < text.size(); ++i) field[1 + i] = static_cast<unsigned char>(text[i]);
}

TlfMsg Event(int recNo, int line, int account, const std::string& area, const std::string& evZone) {
  TlfMsg m{};
  m.RecNo = recNo;
  m.LineNo = static_cast<unsigned short>(line);
  m.Account = account;
  SetShort(m.Area, area);
  SetShort(m.EvZone, evZone);
  m.Stamp.wYear = TLF_NO_TIME;
  return m;
}

ReceivedAt At(int h, int m, int s, int ms, long gmtoff) {
  ReceivedAt at;
  at.local.tm_year = 124;
  at.local.tm_mon = 4;
  at.local.tm_mday = 1;
  at.local.tm_hour = h;
  at.local.tm_min = m;
  at.local.tm_sec = s;
  at.local.tm_gmtoff = gmtoff;
  at.millis = ms;
  return at;
}

TEST(EventLine, TextWithoutReceiverTime) {
  TlfMsg m = Event(1, 1, 0x1234, " 01", "E130 001");
  EXPECT_EQ(EventText(m, 1, At(14, 3, 27, 5, 0)),
            "14:03:27.005  Com1  rec 01  line 1  acct 1234      area \" 01\"  event \"E130 001\"  time -");
}

TEST(EventLine, TextWithReceiverTimeAndOddBytes) {
  TlfMsg m = Event(12, 15, -1, "..", std::string("BA\x01\"03", 6));
  m.Stamp = {2024, 8, 3, 7, 12, 34, 56, 0};
  EXPECT_EQ(EventText(m, 3, At(0, 0, 0, 999, 0)),
            "00:00:00.999  Com3  rec 12  line 15  acct FFFFFFFF  area \"..\"  event \"BA\\x01\"03\"  "
            "time 2024-08-07 12:34:56");
}

TEST(EventLine, LengthBeyondTheCapacityIsClamped) {
  TlfMsg m = Event(1, 0, 0, "ABC", "12345678");
  m.Area[0] = 200;
  m.EvZone[0] = 9;
  EXPECT_EQ(ShortField(m.Area, TLF_AREA_CAP), "ABC");
  EXPECT_EQ(ShortField(m.EvZone, TLF_EVZONE_CAP), "12345678");
}

TEST(EventLine, Json) {
  TlfMsg m = Event(1, 2, 0xABCD, "  1", "    A003");
  EXPECT_EQ(EventJson(m, 1, At(9, 5, 0, 120, 7200)),
            "{\"received\":\"2024-05-01T09:05:00.120+02:00\",\"port\":1,\"rec_no\":1,\"line\":2,"
            "\"account\":\"ABCD\",\"area\":\"  1\",\"ev_zone\":\"    A003\",\"time\":null}");
  m.Stamp = {2024, 12, 0, 31, 23, 59, 58, 0};
  SetShort(m.EvZone, std::string("\xe9\\", 2));
  std::string json = EventJson(m, 1, At(9, 5, 0, 120, -16200));
  EXPECT_NE(json.find("-04:30\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"ev_zone\":\"\\u00e9\\\\\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"time\":\"2024-12-31T23:59:58\"}"), std::string::npos) << json;
}

TEST(StatusLine, LengthPrefixedAndCut) {
  EXPECT_EQ(StatusLineBytes("   A 03"), (std::vector<unsigned char>{7, ' ', ' ', ' ', 'A', ' ', '0', '3'}));
  EXPECT_EQ(StatusLineBytes("").size(), 1u);
  std::vector<unsigned char> longLine = StatusLineBytes(std::string(300, 'x'));
  EXPECT_EQ(longLine.size(), 256u);
  EXPECT_EQ(longLine[0], 255);
}

TEST(StatusLine, TextAndJson) {
  StatusState s;
  s.bits = 0x11;
  s.marks[0] = 255;
  s.marks[13] = 254;
  EXPECT_EQ(StatusText("   R E1", s),
            "\"   R E1\"  bits 0x00000011  marks FF 00 00 00 00 00 00 00 00 00 00 00 00 FE");
  EXPECT_EQ(StatusJson("   R E1", s), "{\"line\":\"   R E1\",\"bits\":17,\"marks\":[255,0,0,0,0,0,0,0,0,0,0,0,0,254]}");
}

}  // namespace
}  // namespace kvarn::monitor
