// The channel over an in-memory port: each path of the reader loop, the
// handoff and pickup, and close at awkward moments.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "host/comm_thread.h"
#include "platform/handoff.h"
#include "support/channel_probe.h"
#include "support/fake_port.h"

namespace kvarn {
namespace {

using namespace std::chrono_literals;

const std::string kDc4 = "\x14";
const std::string kType5 = "5011 181234E13001001";      // one event
const std::string kBracketed = "S0111[#1234|Nri12/BA03/BR04]";  // an event and a block
const std::string kRejected = "5011 1812";              // remainder of the wrong length
const std::string kHeartbeat = "1010           @    ";
const std::string kReceiverOwn = "0";

class Channel : public ::testing::Test {
 protected:
  void Open(ChannelTiming timing = {200, 10000}) {
    channel_ = TCommThread::Open(test::MakeFakePort(line_), 1, timing);
    ASSERT_TRUE(channel_);
  }

  // Sends one frame and waits until the worker is done with it.
  void SendAndSettle(const std::string& frame) {
    uint64_t before = line_->FramesDone();
    line_->Send(frame + kDc4);
    ASSERT_TRUE(line_->WaitFramesDone(before));
  }

  // The test thread opened the channel, so it serves the handoffs while it
  // polls, as a host's message loop would.
  bool AwaitReady() {
    for (int i = 0; i < 10000; ++i) {
      if (TCommThreadProbe::Ready(*channel_)) return true;
      platform::ServeHandoffs();
      std::this_thread::sleep_for(1ms);
    }
    return false;
  }

  // Waits, without serving handoffs, until the worker has read something.
  bool AwaitRead() {
    for (int i = 0; i < 10000; ++i) {
      for (const std::string& call : line_->Calls())
        if (call.starts_with("Read ") && call != "Read 0") return true;
      std::this_thread::sleep_for(1ms);
    }
    return false;
  }

  // Polls until an event comes; the ACK count just before the take is kept.
  bool Take(TlfMsg& msg, size_t* acksBefore = nullptr) {
    for (int i = 0; i < 10000; ++i) {
      size_t acks = line_->Acks();
      if (channel_->GetMsg(msg)) {
        if (acksBefore) *acksBefore = acks;
        return true;
      }
      platform::ServeHandoffs();
      std::this_thread::sleep_for(1ms);
    }
    return false;
  }

  std::shared_ptr<test::FakeLine> line_ = std::make_shared<test::FakeLine>();
  std::unique_ptr<TCommThread> channel_;
};

TlfMsg Blank() {
  TlfMsg m;
  std::memset(&m, 0xA5, sizeof m);
  return m;
}

TEST_F(Channel, OpenConfiguresThePortInOrder) {
  Open();
  channel_->Close();
  std::vector<std::string> calls = line_->Calls();
  std::vector<std::string> expected = {"Configure", "WatchFrameEnd", "Close"};
  EXPECT_EQ(calls, expected);
  platform::LineSettings s = line_->Line();
  EXPECT_EQ(s.Speed, 300u) << "defaults without a settings file";
  EXPECT_EQ(s.DataBits, 7);
  EXPECT_EQ(s.Flow, platform::LineFlow::None);
  EXPECT_EQ(s.EventChar, 0x14);
}

TEST_F(Channel, NoPortNoChannel) { EXPECT_FALSE(TCommThread::Open(nullptr, 1)); }

TEST_F(Channel, CloseRightAfterOpenEndsTheWorker) {
  Open({10000, 10000});
  channel_->Close();
  EXPECT_TRUE(line_->Closed());
  channel_->Close();  // again: nothing happens
}

TEST_F(Channel, EmptyFrameIsSkipped) {
  Open();
  SendAndSettle("");
  TlfMsg m = Blank();
  EXPECT_EQ(channel_->GetMsg(m), 0);
  EXPECT_EQ(line_->Acks(), 0u);
}

TEST_F(Channel, HeartbeatIsAcknowledgedAndNotDelivered) {
  Open();
  SendAndSettle(kHeartbeat);
  SendAndSettle(kType5 + "@");  // "@" anywhere wins over any frame type
  EXPECT_EQ(line_->Acks(), 2u);
  TlfMsg m = Blank();
  EXPECT_EQ(channel_->GetMsg(m), 0);
}

TEST_F(Channel, RejectedFrameGetsNothing) {
  Open();
  SendAndSettle(kRejected);
  TlfMsg m = Blank();
  EXPECT_EQ(channel_->GetMsg(m), 0);
  EXPECT_EQ(line_->Acks(), 0u);
}

TEST_F(Channel, ReceiverFrameIsAcknowledgedByTheDecoder) {
  Open();
  SendAndSettle(kReceiverOwn);
  EXPECT_EQ(line_->Acks(), 1u);
  TlfMsg m = Blank();
  EXPECT_EQ(channel_->GetMsg(m), 0);
}

TEST_F(Channel, EventIsAcknowledgedOnlyAfterTheTake) {
  Open();
  line_->Send(kType5 + kDc4);
  TlfMsg m = Blank();
  const TlfMsg before = m;
  size_t acksBefore = 99;
  ASSERT_TRUE(Take(m, &acksBefore));
  EXPECT_EQ(acksBefore, 0u);
  ASSERT_TRUE(line_->WaitAcks(1));
  ASSERT_TRUE(line_->WaitFramesDone(0));
  EXPECT_EQ(line_->Acks(), 1u);

  EXPECT_EQ(m.RecNo, 1);
  EXPECT_EQ(m.LineNo, 1);
  EXPECT_EQ(m.Account, 0x1234);
  EXPECT_EQ(AreaOf(m), " 01");
  EXPECT_EQ(EvZoneOf(m), "E130 001");
  EXPECT_EQ(m.Stamp.wYear, 0xFFFF);
  // Gaps, Extra and the characters past each length stay as they were.
  const auto* a = reinterpret_cast<const unsigned char*>(&m);
  const auto* b = reinterpret_cast<const unsigned char*>(&before);
  for (size_t i : {6, 7, 25, 42, 43, 44, 45, 46, 47}) EXPECT_EQ(a[i], b[i]) << "byte " << i;
  EXPECT_EQ(channel_->GetMsg(m), 0) << "taken once";
}

TEST_F(Channel, UntakenEventIsWithdrawnWithoutAck) {
  Open({200, 100});
  SendAndSettle(kType5);
  TlfMsg m = Blank();
  EXPECT_EQ(channel_->GetMsg(m), 0);
  EXPECT_EQ(line_->Acks(), 0u);
  // The worker reads on afterwards.
  line_->Send(kType5 + kDc4);
  ASSERT_TRUE(Take(m));
  EXPECT_TRUE(line_->WaitAcks(1));
}

TEST_F(Channel, WithdrawalDropsTheFrameBlocks) {
  Open({200, 100});
  SendAndSettle(kBracketed);
  TlfMsg m = Blank();
  EXPECT_EQ(channel_->GetMsg(m), 0) << "neither the event nor its block";
  EXPECT_EQ(line_->Acks(), 0u);
}

// The host takes the event after the pickup time ran out but before the
// worker decided: the worker must acknowledge it, not withdraw it.
TEST_F(Channel, EventTakenInTheLastInstantIsAcknowledged) {
  Open({200, 50});
  line_->Send(kType5 + kDc4);
  ASSERT_TRUE(AwaitReady());
  TlfMsg m = Blank();
  {
    std::lock_guard lock(TCommThreadProbe::Lock(*channel_));
    std::this_thread::sleep_for(200ms);  // the worker's wait runs out meanwhile
    ASSERT_EQ(TCommThreadProbe::GetMsgLocked(*channel_, m), 1);
  }
  ASSERT_TRUE(line_->WaitFramesDone(0));
  EXPECT_EQ(line_->Acks(), 1u);
}

TEST_F(Channel, BracketedFrameGivesEventThenBlocksWithOneAck) {
  Open();
  line_->Send(kBracketed + kDc4);
  TlfMsg m = Blank();
  ASSERT_TRUE(Take(m));
  EXPECT_EQ(AreaOf(m), " 12");
  EXPECT_EQ(EvZoneOf(m), "  BA  03");
  ASSERT_TRUE(line_->WaitFramesDone(0));
  EXPECT_EQ(line_->Acks(), 1u);

  m.RecNo = 77;
  m.Stamp.wYear = 1999;
  const TlfMsg before = m;
  ASSERT_EQ(channel_->GetMsg(m), 1);
  EXPECT_EQ(AreaOf(m), " 12");
  EXPECT_EQ(EvZoneOf(m), "  BR  04");
  EXPECT_EQ(m.LineNo, 1);
  EXPECT_EQ(m.Account, 0x1234);
  EXPECT_EQ(m.RecNo, 77) << "not written for a block";
  EXPECT_EQ(m.Stamp.wYear, 1999) << "not written for a block";
  EXPECT_EQ(std::memcmp(&m.Extra, &before.Extra, sizeof m.Extra), 0);
  EXPECT_EQ(channel_->GetMsg(m), 0);
  EXPECT_EQ(line_->Acks(), 1u);
}

// Taking a frame's last block signals the worker while it waits for no
// pickup; that left-over signal must not pass for the take of a later frame.
TEST_F(Channel, LeftOverSignalNeverAcknowledgesALaterFrame) {
  Open({200, 150});
  line_->Send(kBracketed + kDc4);
  TlfMsg m = Blank();
  ASSERT_TRUE(Take(m));
  ASSERT_TRUE(line_->WaitFramesDone(0));
  ASSERT_EQ(channel_->GetMsg(m), 1);  // the last block: signals
  SendAndSettle(kType5);              // not taken
  EXPECT_EQ(line_->Acks(), 1u);
  EXPECT_EQ(channel_->GetMsg(m), 0);
}

// Blocks of an acknowledged frame stay when a later frame is withdrawn, and
// keep their own frame's line and account.
TEST_F(Channel, EarlierBlocksOutliveALaterWithdrawal) {
  Open({200, 150});
  line_->Send("S0113[#00AB|NBA01/BA02/BA03]" + kDc4);
  TlfMsg m = Blank();
  ASSERT_TRUE(Take(m));
  ASSERT_TRUE(line_->WaitFramesDone(0));
  SendAndSettle("S0217[#CDEF|NFA01/FA02]");  // not taken: withdrawn
  EXPECT_EQ(line_->Acks(), 1u);
  for (const char* zone : {"  BA  02", "  BA  03"}) {
    ASSERT_EQ(channel_->GetMsg(m), 1);
    EXPECT_EQ(EvZoneOf(m), zone);
    EXPECT_EQ(m.LineNo, 3);
    EXPECT_EQ(m.Account, 0xAB);
  }
  EXPECT_EQ(channel_->GetMsg(m), 0);
}

// While a frame's first event is not yet taken its blocks stay back, and the
// current event goes before blocks of earlier frames.
TEST_F(Channel, BlocksWaitForTheirFramesEvent) {
  Open();
  line_->Send("S0113[#00AB|NBA01/BA02]" + kDc4);
  TlfMsg m = Blank();
  ASSERT_TRUE(Take(m));
  ASSERT_TRUE(line_->WaitFramesDone(0));
  line_->Send("S0114[#00AC|NFA01/FA02]" + kDc4);
  ASSERT_TRUE(AwaitReady());
  std::vector<std::string> zones;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(channel_->GetMsg(m), 1);
    zones.push_back(std::string(EvZoneOf(m)) + "/" + std::to_string(m.Account));
  }
  EXPECT_EQ(zones, (std::vector<std::string>{"  FA  01/172", "  BA  02/171", "  FA  02/172"}));
  EXPECT_EQ(channel_->GetMsg(m), 0);
}

// A receiver answers an ACK to its latest transmission. Each row: what the
// receiver sends at once, then while the first event waits for the host, then
// right after the host took it; the events the host gets, in order (event
// and zone text); and that exactly one ACK goes out, after the take.
struct LineCase {
  const char* Name;
  std::string First, DuringPickup, AfterTake;
  std::vector<std::string> Events;
  // DuringPickup goes out once the worker has read, before the host's thread
  // has served the handoff (where there is a window, the pickup time has not
  // started yet).
  bool BeforeHandoff = false;
};

const std::string kType5b = "5011 181234E13001002";  // another event, same account

const LineCase kLineCases[] = {
    {"ResendDuringThePickupIsTheSameFrame", kType5 + kDc4, kType5 + kDc4, "", {"E130 001"}},
    {"ResendDuringTheHandoffIsTheSameFrame", kType5 + kDc4, kType5 + kDc4, "", {"E130 001"}, true},
    // The rest of the copy would read as a frame of unknown type: an event.
    {"ResendStraddlingTheTakeIsTheSameFrame", kType5 + kDc4, kType5.substr(0, 11), kType5.substr(11) + kDc4,
     {"E130 001"}},
    {"ReceiverMovedOnToAnotherFrame", kType5 + kDc4, kType5b + kDc4, "", {"E130 001", "E130 002"}},
    {"AnotherFrameStillArriving", kType5 + kDc4, kType5b.substr(0, 5), kType5b.substr(5) + kDc4,
     {"E130 001", "E130 002"}},
    {"FrameThenHeartbeatInOneRead", kType5 + kDc4 + kHeartbeat + kDc4, "", "", {"E130 001"}},
    {"HeartbeatThenFrameInOneRead", kHeartbeat + kDc4 + kType5 + kDc4, "", "", {"E130 001"}},
    {"ReceiverFrameThenEventInOneRead", kReceiverOwn + kDc4 + kType5 + kDc4, "", "", {"E130 001"}},
    {"TwoBracketedFramesInOneRead", kBracketed + kDc4 + "S0113[#00AB|NFA01/FA02]" + kDc4, "", "",
     {"  BA  03", "  BR  04", "  FA  01", "  FA  02"}},
    {"FrameAndItsResendInOneRead", kType5 + kDc4 + kType5 + kDc4, "", "", {"E130 001"}},
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.Name; }

class ChannelLine : public Channel, public ::testing::WithParamInterface<LineCase> {};

TEST_P(ChannelLine, OneAckForTheLatestTransmission) {
  const LineCase& c = GetParam();
  Open({1000, 10000});
  line_->Send(c.First);
  if (c.BeforeHandoff)
    ASSERT_TRUE(AwaitRead());
  else
    ASSERT_TRUE(AwaitReady());
  if (!c.DuringPickup.empty()) line_->Send(c.DuringPickup);
  std::vector<std::string> events;
  TlfMsg m = Blank();
  size_t acksBefore = 99;
  ASSERT_TRUE(Take(m, &acksBefore));
  EXPECT_EQ(acksBefore, 0u);
  events.emplace_back(EvZoneOf(m));
  if (!c.AfterTake.empty()) line_->Send(c.AfterTake);
  while (events.size() < c.Events.size() && Take(m)) events.emplace_back(EvZoneOf(m));
  // A later frame's event may come before an earlier frame's further blocks
  // (the ready event goes first), so after the first the rest is compared
  // without order.
  std::vector<std::string> want = c.Events;
  std::sort(want.begin() + 1, want.end());
  if (!events.empty()) std::sort(events.begin() + 1, events.end());
  EXPECT_EQ(events, want);
  ASSERT_TRUE(line_->WaitAcks(1));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(line_->Acks(), 1u);
  EXPECT_EQ(channel_->GetMsg(m), 0);
}

INSTANTIATE_TEST_SUITE_P(Receiver, ChannelLine, ::testing::ValuesIn(kLineCases),
                         [](const auto& p) { return std::string(p.param.Name); });

// A bracketed frame whose "]" stands at `pos`, followed by more bytes.
std::string LongFrame(size_t pos) {
  std::string f = "S0111[#1234|NBA01/";
  f += std::string(pos - 1 - f.size(), 'Z') + "]";
  return f + std::string(300 - f.size(), 'Y');
}

// 250 bytes are read and the last of them dropped: a "]" at 249 is in the
// frame, one at 250 is not (the frame is then rejected). The rest is purged.
TEST_F(Channel, LongInputIsCutAt249CharactersAndTheRestPurged) {
  Open();
  line_->Send(LongFrame(249) + kDc4);
  TlfMsg m = Blank();
  ASSERT_TRUE(Take(m));
  EXPECT_EQ(EvZoneOf(m), "  BA  01");
  ASSERT_TRUE(line_->WaitFramesDone(0));
  EXPECT_EQ(line_->Acks(), 1u);
  std::vector<std::string> calls = line_->Calls();
  auto read = std::find(calls.begin(), calls.end(), "Read 250");
  ASSERT_NE(read, calls.end());
  ASSERT_NE(read + 1, calls.end());
  EXPECT_EQ(*(read + 1), "PurgeInput");

  while (channel_->GetMsg(m)) {
  }
  SendAndSettle(LongFrame(250));
  EXPECT_EQ(channel_->GetMsg(m), 0);
  EXPECT_EQ(line_->Acks(), 1u);
}

TEST_F(Channel, OverflowOnTheIdlePathPurgesTheInput) {
  Open({50, 1000});
  line_->FlagOverflow();
  for (int i = 0; i < 2000 && line_->Calls().back() != "PurgeInput"; ++i) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(line_->Calls().back(), "PurgeInput");
}

// A device that fails every wait at once must not make the worker spin, and
// the channel still closes at once.
TEST_F(Channel, FailingDeviceDoesNotSpin) {
  line_->FailWaits(true);
  Open({100, 1000});
  std::this_thread::sleep_for(500ms);
  channel_->Close();
  EXPECT_LE(line_->WaitCalls(), 20u) << "about one wait per 100 ms";
  EXPECT_GE(line_->WaitCalls(), 1u);
  EXPECT_TRUE(line_->Closed());
}

TEST_F(Channel, CloseDuringPickupWaitLetsTheWaitRunOut) {
  Open({200, 300});
  line_->Send(kType5 + kDc4);
  ASSERT_TRUE(AwaitReady());
  channel_->Close();
  EXPECT_TRUE(line_->Closed());
  EXPECT_EQ(line_->Acks(), 0u);
}

TEST_F(Channel, CloseDuringPickupWaitStillAcknowledgesATake) {
  Open({200, 10000});
  line_->Send(kType5 + kDc4);
  ASSERT_TRUE(AwaitReady());
  std::thread closer([&] { channel_->Close(); });
  TlfMsg m = Blank();
  EXPECT_EQ(channel_->GetMsg(m), 1);
  closer.join();
  EXPECT_EQ(line_->Acks(), 1u);
  EXPECT_TRUE(line_->Closed());
}

}  // namespace
}  // namespace kvarn
