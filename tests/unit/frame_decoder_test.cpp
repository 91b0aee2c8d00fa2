// Whole frames into the current event: the result and every byte of the
// record, since host programs read the record byte by byte.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <ostream>
#include <string>

#include "decode_harness.h"

namespace kvarn {
namespace {

using test::DecodeHarness;
using test::EntryText;
using test::Sp;
using enum DecodeResult;

// An absent field is one the decoder must leave as it was.
struct FrameCase {
  const char* frame = "";
  DecodeResult result = Event;
  int acks = 0;
  std::optional<int32_t> recNo = std::nullopt;
  std::optional<uint16_t> line = std::nullopt;
  std::optional<int32_t> account = std::nullopt;
  const char* area = nullptr;
  const char* evZone = nullptr;
  std::optional<TlfSystemTime> stamp = std::nullopt;  // absent: only wYear becomes 0xFFFF

  friend void PrintTo(const FrameCase& c, std::ostream* os) { *os << '"' << Sp(c.frame) << '"'; }
};

std::string Hex(const TlfMsg& msg) {
  std::string out;
  const auto* bytes = reinterpret_cast<const unsigned char*>(&msg);
  char buf[4];
  for (size_t i = 0; i < sizeof msg; ++i) {
    std::snprintf(buf, sizeof buf, "%02X ", bytes[i]);
    out += buf;
  }
  return out;
}

TlfMsg Expected(const FrameCase& c) {
  TlfMsg msg;
  std::memset(&msg, test::kUntouched, sizeof msg);
  if (c.recNo) msg.RecNo = *c.recNo;
  if (c.line) msg.LineNo = *c.line;
  if (c.account) msg.Account = *c.account;
  if (c.area) SetArea(msg, Sp(c.area));
  if (c.evZone) SetEvZone(msg, Sp(c.evZone));
  if (c.stamp) {
    msg.Stamp = *c.stamp;
  } else {
    msg.Stamp.wYear = kNoTime;
  }
  return msg;
}

class FrameTable : public ::testing::TestWithParam<FrameCase> {};

TEST_P(FrameTable, DecodesToTheseBytes) {
  const FrameCase& c = GetParam();
  DecodeHarness h;
  EXPECT_EQ(h.Decode(Sp(c.frame)), c.result);
  EXPECT_EQ(h.Acks, c.acks);
  TlfMsg expected = Expected(c);
  EXPECT_EQ(std::memcmp(&h.Msg, &expected, sizeof expected), 0) << "got      " << Hex(h.Msg) << "\nexpected "
                                                                   << Hex(expected);
}

// PC clock of the harness: 2026-12-08 14:03:27.500 UTC, a Tuesday.
constexpr TlfSystemTime kReceived{2026, 8, 2, 7, 12, 34, 56, 500};
constexpr TlfSystemTime kBadHour{0xFFFF, 8, 2, 7, 25, 34, 56, 500};

INSTANTIATE_TEST_SUITE_P(
    ReceiverFrames, FrameTable,
    ::testing::Values(
        // Receiver-internal frames are answered at once and never delivered.
        FrameCase{.frame = "0", .result = Acknowledged, .acks = 1},
        FrameCase{.frame = "0123_181234E13001001", .result = Acknowledged, .acks = 1},
        // Fixed-position frames.
        FrameCase{"5011_181234E13001001", Event, 0, 1, 1, 0x1234, "_01", "E130_001"},
        FrameCase{"1021_abc__12ABxE3456", Event, 0, 2, 1, 0x12AB, "__3", "____E456"},
        FrameCase{"3021_abc12_4__BA1234", Event, 0, 2, 1, 0x12, "___", "_BA1_234"},
        FrameCase{"3021_abc______BA1234", Event, 0, 2, 1, 0, "___", "_BA1_234"},
        // The line is the character before the first space, even the type itself.
        FrameCase{"1_abc__12ABxE3456", Event, 0, 0, 1, 0x12AB, "__3", "____E456"},
        FrameCase{"107_abc__12ABxE3456", Event, 0, 7, 7, 0x12AB, "__3", "____E456"},
        // With the receiver's time behind the event fields.
        FrameCase{"1021_12:34:56_07/08_xxxx", Event, 0, 2, 1, 0x34, "__/", "____708_", kReceived},
        FrameCase{"5011_abcde12:34:56_07/08", Event, 0, 1, 1, 0xCDE1, "_:5", "2:34_6_0", kReceived},
        // Malformed: header fields may be written, but nothing is delivered.
        FrameCase{.frame = "5011_181234E1300100", .result = Rejected, .recNo = 1, .line = 1},
        FrameCase{.frame = "5011_181234E130010011", .result = Rejected, .recNo = 1, .line = 1},
        FrameCase{.frame = "1021abc12ABxE3456", .result = Rejected},
        FrameCase{.frame = "1021_abcdefghijklmnopqrs", .result = Rejected, .recNo = 2, .line = 1},
        FrameCase{.frame = "1021_25:34:56_07/08_xxxx", .result = Rejected, .recNo = 2, .line = 1, .stamp = kBadHour},
        // Bracketed frames.
        FrameCase{"S0111[#1234|NBA01]", Event, 0, 1, 1, 0x1234, "___", "__BA__01"},
        FrameCase{"S0111[#1234]", Event, 0, 1, 0, 0, "..", "......."},
        FrameCase{"S0111[NBA01]", Event, 0, 1, 0, 0, "..", "......."},
        FrameCase{"SN1A1[BA01]", Event, 0, 0, 1, 0, "___", "1A1[BA01"},
        FrameCase{"S0111[#1234NBA01]", Event, 0, 1, 0, 0, "..", "......."},
        FrameCase{"S0111[#12ab/NBA01]", Event, 0, 1, 1, 0x12, "___", "__BA__01"},
        FrameCase{"S0111[#00123456789|NBA01]", Event, 0, 1, 1, 0x12345678, "___", "__BA__01"},
        FrameCase{"S0111[#FFFFFFFF|NBA01/BA02]", Event, 0, 1, 1, -1, "___", "__BA__01"},
        FrameCase{"S0711[#1|NBA01]", Event, 0, 7, 1, 1, "___", "__BA__01"},
        FrameCase{"S_711[#1|NBA01]", Event, 0, 7, 1, 1, "___", "__BA__01"},
        FrameCase{"S7A11[#1|NBA01]", Event, 0, 7, 1, 1, "___", "__BA__01"},
        FrameCase{"SA711[#1|NBA01]", Event, 0, 0, 1, 1, "___", "__BA__01"},
        FrameCase{"S-511[#1|NBA01]", Event, 0, -5, 1, 1, "___", "__BA__01"},
        FrameCase{"Sx911[#1|NBA01]", Event, 0, 9, 1, 1, "___", "__BA__01"},
        FrameCase{"S011F[#1|NBA01]", Event, 0, 1, 15, 1, "___", "__BA__01"},
        FrameCase{"S011b[#1|NBA01]", Event, 0, 1, 11, 1, "___", "__BA__01"},
        FrameCase{"S011G[#1|NBA01]", Event, 0, 1, 0, 1, "___", "__BA__01"},
        FrameCase{.frame = "S01[#1234]", .result = Rejected},
        FrameCase{.frame = "S011[#1|NBA01]", .result = Rejected},
        FrameCase{.frame = "S011]1[#1|NBA01]", .result = Rejected, .line = 1},
        // "]" is not compared with "[": the blocks here are "0111".
        FrameCase{"S0111][#1|NBA01]", Event, 0, 1, 0, 0, "..", "......."},
        FrameCase{.frame = "S0111[#1234|NBA01", .result = Rejected, .line = 1},
        FrameCase{.frame = "S01]1[#1234|NBA01]", .result = Rejected, .line = 1},
        // Any other type is an empty event.
        FrameCase{"2abc", Event, 0, 0, 0, 0, "", ""},
        FrameCase{"s0111[#1234|NBA01]", Event, 0, 0, 0, 0, "", ""}));

TEST(DecodeFrame, EntriesOfAnEarlierFrameStayInFrontWithTheirOwnLineAndAccount) {
  DecodeHarness h;
  ASSERT_EQ(h.Decode("S0111[#1234|NBA01/BA02]", 1), Event);
  ASSERT_EQ(h.Decode("S0212[#5678|NBA03/BA04/BA05]", 2), Event);
  EXPECT_EQ(h.Msg.LineNo, 2);
  EXPECT_EQ(h.Msg.Account, 0x5678);
  EXPECT_EQ(EvZoneOf(h.Msg), "  BA  03");
  ASSERT_EQ(h.Pending.Blocks.size(), 3u);
  struct Want {
    const char* text;
    uint16_t line;
    int32_t account;
    uint32_t frameNo;
  };
  const Want want[] = {{"_____BA__02", 1, 0x1234, 1}, {"_____BA__04", 2, 0x5678, 2}, {"_____BA__05", 2, 0x5678, 2}};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(EntryText(h.Pending.Blocks[i]), Sp(want[i].text)) << i;
    EXPECT_EQ(h.Pending.Blocks[i].Line, want[i].line) << i;
    EXPECT_EQ(h.Pending.Blocks[i].Account, want[i].account) << i;
    EXPECT_EQ(h.Pending.Blocks[i].FrameNo, want[i].frameNo) << i;
  }
}

TEST(DecodeFrame, AccountFFFFFFFFStillQueuesTheFurtherBlocks) {
  DecodeHarness h;
  ASSERT_EQ(h.Decode("S0111[#FFFFFFFF|Nri5/BA01/BA02/BA03]"), Event);
  EXPECT_EQ(AreaOf(h.Msg), "  5");
  EXPECT_EQ(EvZoneOf(h.Msg), "  BA  01");
  ASSERT_EQ(h.Pending.Blocks.size(), 2u);
  EXPECT_EQ(EntryText(h.Pending.Blocks[0]), "  5  BA  02");
  EXPECT_EQ(EntryText(h.Pending.Blocks[1]), "  5  BA  03");
  for (const TPendingEntry& entry : h.Pending.Blocks) {
    EXPECT_EQ(entry.Account, -1);
    EXPECT_EQ(entry.Line, 1);
  }
}

TEST(DecodeFrame, EveryFrameStartsWithFreshBlockState) {
  DecodeHarness h;
  ASSERT_EQ(h.Decode("S0111[#1234|Nri12/BA01]"), Event);
  ASSERT_EQ(h.Pending.LastCode.View(), "ri");
  // Kind and area do not carry over: BA03 has no kind yet and is skipped.
  ASSERT_EQ(h.Decode("S0111[#1234|BA03/NBA04]"), Event);
  EXPECT_EQ(AreaOf(h.Msg), "   ");
  EXPECT_EQ(EvZoneOf(h.Msg), "  BA  04");
  EXPECT_EQ(h.Pending.LastCode.View(), "");
  EXPECT_TRUE(h.Pending.Blocks.empty());
  // Frames of other types reset the block state too.
  ASSERT_EQ(h.Decode("S0111[#1234|Nri12/BA01]"), Event);
  ASSERT_EQ(h.Decode("2"), Event);
  EXPECT_EQ(h.Pending.Kind, ' ');
  EXPECT_EQ(h.Pending.LastCode.View(), "");
  EXPECT_EQ(h.Pending.SavedAccount, -1);
  EXPECT_FALSE(h.Pending.FirstPlaced);
}

TEST(DecodeFrame, FramesWithoutFurtherBlocksLeaveTheQueueAlone) {
  DecodeHarness h;
  ASSERT_EQ(h.Decode("S0111[#1234|NBA01/BA02]", 1), Event);
  for (const char* frame : {"0", "5011 181234E13001001", "2", "S0111[#1]", "S01[#1]", "S0111[#99|NBA07]"}) {
    h.Decode(frame, 2);
    ASSERT_EQ(h.Pending.Blocks.size(), 1u) << frame;
    EXPECT_EQ(h.Pending.Blocks[0].FrameNo, 1u) << frame;
  }
}

TEST(DecodeFrame, ReceiverTimeYearComesFromThePcClock) {
  DecodeHarness h;
  h.Clock.wYear = 2024;
  ASSERT_EQ(h.Decode("1021 12:34:56 29/02 xxxx"), Event);
  EXPECT_EQ(h.Msg.Stamp.wYear, 2024);
  EXPECT_EQ(h.Msg.Stamp.wDay, 29);
  h.Clock.wYear = 2026;
  EXPECT_EQ(h.Decode("1021 12:34:56 29/02 xxxx"), Rejected);
  EXPECT_EQ(h.Msg.Stamp.wYear, kNoTime);
}

}  // namespace
}  // namespace kvarn
