// Trouble on the line and at the host: a host that stops polling for longer
// than the pickup limit in the middle of bracketed frames, and a receiver
// that sends garbage, NUL and 0xFF bytes, storms of DC4 and long bursts. No
// crash, no spinning, nothing delivered twice or out of its frame, and a
// valid frame afterwards gets through as always.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "fault_rig.h"
#include "host/tlf_msg.h"

namespace kvarn {
namespace {

using test::FaultRig;
using test::Frame5;
using test::TakeWithin;

// Longer than the pickup limit of test::kFastTiming.
constexpr auto kStall = std::chrono::milliseconds(test::kFastTiming.PickupMs + 500);

void ExpectBlock(TCommThread& channel, int account, std::string_view evZone) {
  TlfMsg m{};
  ASSERT_TRUE(TakeWithin(channel, m, 1000));
  EXPECT_EQ(m.Account, account);
  EXPECT_EQ(m.LineNo, 1);
  EXPECT_EQ(EvZoneOf(m), evZone);
}

TEST(HostStall, BlocksOfATakenFrameOutliveTheStall) {
  FaultRig rig;
  auto channel = rig.Open();
  ASSERT_TRUE(channel);
  rig.SendFrame("S0111[#1234|Nri12/BA03/BR04/FA05]");
  ExpectBlock(*channel, 0x1234, "  BA  03");
  EXPECT_EQ(rig.AcksWithin(2000), 1u);
  // The host looks away while the next frame comes: it is withdrawn.
  rig.SendFrame(Frame5(0x0777));
  std::this_thread::sleep_for(kStall);
  EXPECT_EQ(rig.AcksWithin(200), 0u);
  // Back again: the rest of the acknowledged frame, with its line and account.
  ExpectBlock(*channel, 0x1234, "  BR  04");
  ExpectBlock(*channel, 0x1234, "  FA  05");
  TlfMsg m{};
  EXPECT_EQ(channel->GetMsg(m), 0) << "the withdrawn event is gone";
  // The receiver sends the unanswered frame again.
  rig.SendFrame(Frame5(0x0777));
  ASSERT_TRUE(TakeWithin(*channel, m));
  EXPECT_EQ(m.Account, 0x0777);
  EXPECT_EQ(rig.AcksWithin(2000), 1u);
}

TEST(HostStall, AFrameNotTakenLeavesNoBlocksBehind) {
  FaultRig rig;
  auto channel = rig.Open();
  ASSERT_TRUE(channel);
  rig.SendFrame("S0111[#4321|NBA01/BA02/BA03]");
  std::this_thread::sleep_for(kStall);
  EXPECT_EQ(rig.AcksWithin(200), 0u);
  TlfMsg m{};
  EXPECT_EQ(channel->GetMsg(m), 0);
  rig.SendFrame(Frame5(0x0055));
  ASSERT_TRUE(TakeWithin(*channel, m));
  EXPECT_EQ(m.Account, 0x0055);
  EXPECT_EQ(rig.AcksWithin(2000), 1u);
  EXPECT_EQ(channel->GetMsg(m), 0);
}

// Two stalls in a row between the blocks of one frame, each costing a frame.
TEST(HostStall, StallsBetweenBlocksKeepTheirOrder) {
  FaultRig rig;
  auto channel = rig.Open();
  ASSERT_TRUE(channel);
  rig.SendFrame("S0111[#00AB|NBA01/BA02/BA03]");
  ExpectBlock(*channel, 0xAB, "  BA  01");
  EXPECT_EQ(rig.AcksWithin(2000), 1u);
  for (std::string_view next : {"  BA  02", "  BA  03"}) {
    rig.SendFrame("S0111[#0CD0|NFA01/FA02]");
    std::this_thread::sleep_for(kStall);
    EXPECT_EQ(rig.AcksWithin(200), 0u);
    ExpectBlock(*channel, 0xAB, next);
  }
  TlfMsg m{};
  EXPECT_EQ(channel->GetMsg(m), 0);
}

struct Garbage {
  const char* Name;
  std::string Bytes;
  // By name: GoogleTest would otherwise print the bytes, padding included.
  friend void PrintTo(const Garbage& g, std::ostream* os) { *os << g.Name; }
};

std::string Repeat(std::string_view piece, size_t total) {
  std::string s;
  while (s.size() < total) s.append(piece);
  s.resize(total);
  return s;
}

std::string Noise(size_t n, unsigned seed) {
  std::mt19937 random(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(random());
  return s;
}

const std::string kDc4(1, test::kDc4);

std::string GarbageName(const ::testing::TestParamInfo<Garbage>& param) { return param.param.Name; }

class LineGarbage : public ::testing::TestWithParam<Garbage> {};

TEST_P(LineGarbage, NoCrashNoSpinAndTheNextFrameWorks) {
  FaultRig rig;
  auto channel = rig.Open();
  ASSERT_TRUE(channel);
  rig.Line.Send(GetParam().Bytes);
  // A lone DC4 ends whatever half frame the garbage left; the host takes
  // what the garbage decoded to, as a host would.
  rig.Line.Send(kDc4);
  test::DrainEvents(*channel, 400);
  rig.Line.Receive(100);
  EXPECT_LT(test::CpuWhileIdle(600), 200u) << "the worker spins";
  rig.SendFrame(Frame5(0xBEEF));
  TlfMsg m{};
  ASSERT_TRUE(TakeWithin(*channel, m));
  EXPECT_EQ(m.Account, 0xBEEF);
  EXPECT_EQ(EvZoneOf(m), "E130 001");
  EXPECT_EQ(rig.AcksWithin(2000), 1u);
  EXPECT_EQ(channel->GetMsg(m), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, LineGarbage,
    ::testing::Values(
        Garbage{"PrintableWithoutDc4", "abc xyz 123 [#]/ S0111[#1234|N"},
        Garbage{"NulBytes", std::string(300, '\0') + kDc4},
        Garbage{"FfBytes", std::string(300, '\xff') + kDc4},
        Garbage{"Dc4Storm", std::string(3000, test::kDc4)},
        Garbage{"Burst4K", Repeat("5011 181234E13001001", 4095) + kDc4},
        Garbage{"Burst8KWithDc4s", Repeat("S0111[#1234|NBA01/BA02]" + kDc4 + "xyz", 8192)},
        Garbage{"Noise16K", Noise(16384, 1)},
        Garbage{"NoiseWithoutDc4_16K", Repeat("garbage ", 16384)},
        Garbage{"FlowControlBytes", "5011 18\x11\x13" "34E13001001" + kDc4},
        Garbage{"LineEndsAndHeartbeat", "\r\n@\r\n" + kDc4}),
    GarbageName);

}  // namespace
}  // namespace kvarn
