// The record crosses the library boundary: its byte layout is the contract.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "host/short_string.h"
#include "host/tlf_msg.h"

namespace kvarn {
namespace {

TEST(TlfMsgLayout, OffsetsAndSizeAreFixed) {
  EXPECT_EQ(sizeof(TlfMsg), 48u);
  EXPECT_EQ(offsetof(TlfMsg, RecNo), 0u);
  EXPECT_EQ(offsetof(TlfMsg, LineNo), 4u);
  EXPECT_EQ(offsetof(TlfMsg, Account), 8u);
  EXPECT_EQ(offsetof(TlfMsg, Area), 12u);
  EXPECT_EQ(offsetof(TlfMsg, EvZone), 16u);
  EXPECT_EQ(offsetof(TlfMsg, Stamp), 26u);
  EXPECT_EQ(offsetof(TlfMsg, Extra), 44u);
  EXPECT_EQ(offsetof(TlfSystemTime, wYear), 0u);
  EXPECT_EQ(offsetof(TlfSystemTime, wMilliseconds), 14u);
}

TEST(TlfMsgLayout, FieldsLandOnTheirBytes) {
  TlfMsg m;
  std::memset(&m, 0xAA, sizeof m);
  m.RecNo = 0x04030201;
  m.LineNo = 0x0605;
  m.Account = 0x0C0B0A09;
  SetArea(m, " 01");
  SetEvZone(m, "E130 001");
  m.Stamp.wYear = 0xFFFF;
  const auto* b = reinterpret_cast<const unsigned char*>(&m);
  EXPECT_EQ(b[0], 1);
  EXPECT_EQ(b[3], 4);
  EXPECT_EQ(b[4], 5);
  EXPECT_EQ(b[6], 0xAA) << "gap written";
  EXPECT_EQ(b[8], 9);
  EXPECT_EQ(b[12], 3);
  EXPECT_EQ(b[15], '1');
  EXPECT_EQ(b[16], 8);
  EXPECT_EQ(b[24], '1');
  EXPECT_EQ(b[25], 0xAA) << "gap written";
  EXPECT_EQ(b[26], 0xFF);
  EXPECT_EQ(b[27], 0xFF);
  EXPECT_EQ(b[42], 0xAA) << "gap written";
  EXPECT_EQ(b[44], 0xAA) << "Extra written";
}

TEST(ShortStringFields, CutToCapacityAndWriteOnlyCountedBytes) {
  TlfMsg m;
  std::memset(&m, 'z', sizeof m);
  SetArea(m, "ABCDE");
  EXPECT_EQ(AreaOf(m), "ABC");
  SetEvZone(m, "12");
  EXPECT_EQ(EvZoneOf(m), "12");
  EXPECT_EQ(m.EvZone[3], 'z') << "positions past the length are left alone";
  SetEvZone(m, "");
  EXPECT_EQ(m.EvZone[0], 0);
}

TEST(ShortStringText, DeleteSliceAndPosStayInsideTheText) {
  FrameText t("S0111[#1234]");
  EXPECT_EQ(t.Pos('['), 6u);
  EXPECT_EQ(t.Pos('@'), 0u);
  EXPECT_EQ(t.Slice(11, 5), "4]");
  EXPECT_EQ(t.Slice(13, 2), "");
  EXPECT_EQ(t.At(13), '\0');
  t.Delete(1, 6);
  EXPECT_EQ(t.View(), "#1234]");
  t.Delete(5, 99);
  EXPECT_EQ(t.View(), "#123");
  t.Truncate(2);
  EXPECT_EQ(t.View(), "#1");
  // Old characters beyond the length never show through.
  EXPECT_EQ(t.Slice(1, 10), "#1");
  FrameText big(std::string(300, 'x'));
  EXPECT_EQ(big.Length(), 255u);
}

}  // namespace
}  // namespace kvarn
