// The blocks of a bracketed frame: what the host receives as the current
// event and as further blocks, character for character.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "decode/block_parser.h"
#include "decode_harness.h"

namespace kvarn {
namespace {

using test::DecodeHarness;
using test::EntryText;
using test::Sp;

constexpr uint16_t kLine = 3;
constexpr int32_t kAccount = 0x1234;
constexpr uint32_t kFrameNo = 7;

// Works through one frame's block text as the decoder does after its header:
// fresh per-frame state, then one block per call until the text is used up.
// True when the frame's first event was placed.
bool RunBlocks(DecodeHarness& h, const std::string& blocks) {
  h.Msg.LineNo = kLine;
  h.Msg.Account = kAccount;
  h.FrameNo = kFrameNo;
  h.Pending.SavedAccount = -1;
  h.Pending.Kind = ' ';
  h.Pending.LastCode.Assign({});
  h.Pending.FirstPlaced = false;
  h.Frame.Assign(blocks);
  BlockAreaText blockArea("   ");
  while (!h.Frame.Empty()) {
    size_t before = h.Frame.Length();
    ParseBlock(h, blockArea);
    EXPECT_LT(h.Frame.Length(), before) << "a call must consume the text";
    if (h.Frame.Length() >= before) break;
  }
  EXPECT_EQ(blockArea.Length(), 3u);
  return h.Pending.FirstPlaced;
}

struct BlockCase {
  const char* blocks;
  const char* area;
  const char* evZone;
  std::vector<const char*> pending;
  char kind;
  const char* lastCode;

  friend void PrintTo(const BlockCase& c, std::ostream* os) { *os << '"' << Sp(c.blocks) << '"'; }
};

class BlockTable : public ::testing::TestWithParam<BlockCase> {};

TEST_P(BlockTable, DeliversCurrentEventAndPendingEntries) {
  const BlockCase& c = GetParam();
  DecodeHarness h;
  EXPECT_TRUE(RunBlocks(h, Sp(c.blocks)));
  EXPECT_EQ(AreaOf(h.Msg), Sp(c.area));
  EXPECT_EQ(EvZoneOf(h.Msg), Sp(c.evZone));
  ASSERT_EQ(h.Pending.Blocks.size(), c.pending.size());
  for (size_t i = 0; i < c.pending.size(); ++i) {
    const TPendingEntry& entry = h.Pending.Blocks[i];
    EXPECT_EQ(EntryText(entry), Sp(c.pending[i])) << "entry " << i;
    EXPECT_EQ(entry.Line, kLine);
    EXPECT_EQ(entry.Account, kAccount);
    EXPECT_EQ(entry.FrameNo, kFrameNo);
  }
  EXPECT_EQ(h.Pending.Kind, c.kind);
  EXPECT_EQ(h.Pending.LastCode.View(), c.lastCode);
  EXPECT_TRUE(h.Pending.FirstPlaced);
  EXPECT_EQ(h.Pending.SavedLine, kLine);
  EXPECT_EQ(h.Pending.SavedAccount, kAccount);
}

// The receiver's documented examples: the contract with host programs.
INSTANTIATE_TEST_SUITE_P(
    WorkedExamples, BlockTable,
    ::testing::Values(BlockCase{"Nri12/BA03/BR04", "_12", "__BA__03", {"_12__BR__04"}, 'N', "ri"},
                      BlockCase{"NBA0003", "___", "__BA0003", {}, 'N', ""},
                      BlockCase{"Nid1234/OP01", "123", "__OP__01", {}, 'N', "id"},
                      BlockCase{"Nri1/BA03/ri2/BR04", "__1", "__BA__03", {"__2__BR__04"}, 'N', "ri"},
                      BlockCase{"Nri12/BA03/ri3/BR04", "_12", "__BA__03", {"_13__BR__04"}, 'N', "ri"},
                      BlockCase{"OBA03/NBR04", "___", "__BR__04", {}, 'N', ""},
                      BlockCase{"BA03/NBR04", "___", "__BR__04", {}, 'N', ""},
                      BlockCase{"NBA03/OBA04/NBA05", "___", "__BA__03", {"_____BA__05"}, 'N', ""},
                      BlockCase{"NBA03/AR01", "___", "__BA__03", {}, 'A', ""},
                      BlockCase{"NBA0003XYZ/BR04", "___", "_BA0003X", {"_____BR__04"}, 'N', ""},
                      BlockCase{"NBA000003XY", "___", "BA000003", {}, 'N', ""},
                      BlockCase{"EFA1/FR1", "___", "__FA___1", {"_____FR___1"}, 'E', ""},
                      BlockCase{"Nti12:30/BA03", "_12", "__:3___0", {"_12__BA__03"}, 'N', "ti"},
                      BlockCase{"Npi01/BA03", "___", "__pi__01", {"_____BA__03"}, 'N', ""},
                      BlockCase{"NPi01/BA03", "_01", "__BA__03", {}, 'N', "Pi"},
                      BlockCase{"Nri12_,/BA03", "_12", "__BA__03", {}, 'N', "ri"},
                      BlockCase{"Nri12", "__1", "__2_____", {}, 'N', "ri"},
                      BlockCase{"NBA03/N", "___", "__BA__03", {"___________"}, 'N', ""}));

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, BlockTable,
    ::testing::Values(
        // Codes found only at an even position of the table are event text.
        BlockCase{"Nat12/BA03", "___", "__at__12", {"_____BA__03"}, 'N', ""},
        BlockCase{"Nir5/BA03", "___", "__ir___5", {"_____BA__03"}, 'N', ""},
        BlockCase{"Nii12", "___", "__ii__12", {}, 'N', ""},
        // A lone last letter that starts a code is a modifier with no event text.
        BlockCase{"Nd", "___", "________", {}, 'N', "d"},
        BlockCase{"NBA03/t", "___", "__BA__03", {"___________"}, 'N', "t"},
        BlockCase{"Nr", "___", "________", {}, 'N', "r"},
        BlockCase{"NP", "___", "________", {}, 'N', "P"},
        BlockCase{"Np", "___", "________", {}, 'N', "p"},
        BlockCase{"Na", "___", "__a_____", {}, 'N', ""},
        BlockCase{"Nh", "___", "__h_____", {}, 'N', ""},
        // Only three digits fit the area, but all of them are consumed.
        BlockCase{"Nri12345/BA03", "123", "__BA__03", {}, 'N', "ri"},
        BlockCase{"Nri123", "_12", "__3_____", {}, 'N', "ri"},
        // Separators in any number and mix; ":" is event text.
        BlockCase{"Nri12/,_,//_BA03", "_12", "__BA__03", {}, 'N', "ri"},
        BlockCase{"Nri12:BA03", "_12", "__:B_A03", {}, 'N', "ri"},
        // One modifier per call: a second code is event text.
        BlockCase{"Nri12/id3/BA03", "_12", "__id___3", {"_12__BA__03"}, 'N', "ri"},
        // Kind letters count only at the start of a block.
        BlockCase{"Nri12/EBA3", "_12", "__EB__A3", {}, 'N', "ri"},
        // Cut to 7 before a "/", to 8 at the end; 6 to 8 characters unpadded.
        BlockCase{"NABCDEFGHIJ", "___", "ABCDEFGH", {}, 'N', ""},
        BlockCase{"NABCDEFGH/BA1", "___", "_ABCDEFG", {"_____BA___1"}, 'N', ""},
        BlockCase{"NABCDEF/ABCDEFG", "___", "__ABCDEF", {}, 'A', ""},
        BlockCase{"NABCDEF/NABCDEFG", "___", "__ABCDEF", {"____ABCDEFG"}, 'N', ""},
        // An empty block after an event kind is an event of its own.
        BlockCase{"NBA03//", "___", "__BA__03", {"___________"}, 'N', ""},
        BlockCase{"NBA03/", "___", "__BA__03", {}, 'N', ""},
        BlockCase{"X1/Eri9/YT01", "__9", "__YT__01", {}, 'E', "ri"}));

TEST(ParseBlock, OtherKindsAndLeadingBlocksGiveNoEvent) {
  DecodeHarness h;
  TlfMsg before = h.Msg;
  EXPECT_FALSE(RunBlocks(h, "BA01/OBA02/AR03/#12/X/L4/&5/I6/0BA7"));
  EXPECT_TRUE(h.Pending.Blocks.empty());
  EXPECT_FALSE(h.Pending.FirstPlaced);
  EXPECT_EQ(h.Pending.SavedAccount, -1);
  EXPECT_EQ(h.Pending.Kind, '0');
  before.LineNo = kLine;
  before.Account = kAccount;
  EXPECT_EQ(std::memcmp(&h.Msg, &before, sizeof before), 0) << "no event: the record keeps its bytes";
}

TEST(ParseBlock, ModifierOfAnotherKindIsSkippedWithItsBlock) {
  // Digits of a skipped block never reach the area of later events.
  DecodeHarness h;
  EXPECT_TRUE(RunBlocks(h, "Ori12/NBA03"));
  EXPECT_EQ(AreaOf(h.Msg), "   ");
  EXPECT_EQ(h.Pending.LastCode.View(), "");
}

}  // namespace
}  // namespace kvarn
