// Whole channels through tlf_InitComm on the production Win32 port and the
// scripted driver: frames become events and ACKs, through the window's
// thread (this one, which opens the channels and serves their handoffs).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <atomic>
#include <memory>
#include <thread>
#include <string>
#include <vector>

#include "host/comm_thread.h"
#include "kvarn_rcvr.h"
#include "platform/handoff.h"
#include "platform/serial_port.h"
#include "win32/driver/scripted_driver.h"

namespace kvarn_test::driver {
namespace {

const std::string kDc4 = "\x14";
const std::string kEvent = "5011 181234E13001001";  // account 0x1234
const std::string kOther = "5011 185678E13001002";  // account 0x5678
const std::string kNext = "5011 189999E13001003";   // account 0x9999: never the same text as a case's
const std::string kBracketed = "S0111[#1234|Nri12/BA03/BR04]";  // an event and a block
const std::string kRejected = "5011 1812";
const std::string kHeartbeat = "1010           @    ";
const std::string kReceiverOwn = "0";

class DriverChannel : public ::testing::Test {
 protected:
  void SetUp() override {
    Reset();
    dir_ = std::filesystem::temp_directory_path() / ("kvarn-driver-" + std::to_string(GetCurrentProcessId()));
    std::filesystem::create_directories(dir_);
    old_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);  // the traffic log goes here; no Rn.ini: defaults
  }
  void TearDown() override {
    if (channel_) CloseWithin(5000);
    std::filesystem::current_path(old_);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
    CompleteAbandoned();
    EXPECT_EQ(Faults(), "");
  }

  void Init() {
    channel_ = tlf_InitComm(kPort, 1);
    ASSERT_NE(channel_, nullptr);
  }

  // The worker came back to wait after what it was given.
  bool AwaitIdle(uint64_t waitsBefore) {
    return Await(5000, [&] { return Calls("WaitCommEvent") > waitsBefore && WaitPending(); });
  }

  // Sends the input, takes every event it gives while the worker works on
  // it, and returns their accounts.
  // Under Wine the worker waits on a pending read of its own, which says
  // nothing of how far it got: it is done once it has made no call for a
  // while.
  std::vector<int32_t> Feed(const std::string& input, uint32_t ms = 3000) {
    const uint64_t waits = Calls("WaitCommEvent");
    Send(input);
    std::vector<int32_t> accounts;
    uint64_t calls = 0;
    ULONGLONG since = 0;
    Await(ms, [&] {
      TlfMsg m{};
      bool took = false;
      for (; tlf_GetMsg(channel_, &m); took = true) accounts.push_back(m.Account);
      if (!wine_) return Calls("WaitCommEvent") > waits && WaitPending() && Queued() == 0;
      uint64_t now = 0;
      for (const auto& [name, count] : Calls()) now += count;
      if (took || now != calls) calls = now, since = GetTickCount64();
      return GetTickCount64() - since >= 100 && ReadPending() && Queued() == 0;
    });
    TlfMsg m{};
    while (tlf_GetMsg(channel_, &m)) accounts.push_back(m.Account);
    return accounts;
  }

  // A close that does not end is left behind on its thread: the test
  // fails rather than hang.
  bool CloseWithin(uint32_t ms) {
    auto ended = std::make_shared<std::atomic<bool>>(false);
    std::thread([c = channel_, ended] {
      tlf_CloseComm(c);
      *ended = true;
    }).detach();
    channel_ = nullptr;
    // The close serves this thread's handoffs only when it runs here.
    if (Await(ms, [&] { return ended->load(); })) return true;
    CompleteAbandoned();
    Await(1000, [&] { return ended->load(); });
    return false;
  }

  TlfChannel channel_ = nullptr;
  bool wine_ = false;
  std::filesystem::path dir_, old_;
};

TEST_F(DriverChannel, OpenConfiguresTheDeviceForFramesEndedByDc4) {
  Init();
  ASSERT_TRUE(Await(2000, [] { return WaitPending(); }));
  const DCB d = State();
  EXPECT_EQ(d.BaudRate, 300u);
  EXPECT_EQ(d.ByteSize, 7);
  EXPECT_EQ(d.EvtChar, 0x14);
  EXPECT_EQ(d.fBinary, 1u);
  EXPECT_EQ(d.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
  EXPECT_EQ(d.fOutxCtsFlow | d.fAbortOnError | d.fOutX | d.fInX, 0u);
  EXPECT_EQ(d.XonLim, 100) << "kept as the port reported it";
  EXPECT_EQ(InQueueSize(), 200u);
  EXPECT_EQ(Timeouts().ReadIntervalTimeout, 100u);
  EXPECT_EQ(Timeouts().ReadTotalTimeoutConstant, 1u);
  EXPECT_EQ(Mask(), static_cast<DWORD>(EV_RXFLAG));
  EXPECT_EQ(tlf_InitComm(kPort, 1), nullptr) << "the device is taken";
}

// The DCB that reaches SetCommState is the driver's own with the line's
// fields and the whole flag word replaced, byte for byte. Parity and stop
// bit codes go through unchecked: the device judges them.
struct LineCase {
  const char* Section;
  DWORD Baud;
  BYTE Size, Parity, StopBits;
  uint32_t Flags;
};

const LineCase kLineCases[] = {
    {"Baud=$4B00\r\nDataBit=8\r\nParity=2\r\nStopBit=2\r\nFlowCtrl=1\r\n", 19200, 8, 2, 2, 0x311},  // XON/XOFF
    {"Baud=9600\r\nDataBit=7\r\nParity=1\r\nFlowCtrl=2\r\n", 9600, 7, 1, 0, 0x2015},              // RTS/CTS
    {"DataBit=264\r\nParity=7\r\nStopBit=5\r\nFlowCtrl=3\r\n", 300, 8, 7, 5, 0x11},
};

std::string Hex(const DCB& d) {
  std::string out;
  char b[4];
  for (size_t i = 0; i < sizeof d; ++i) {
    std::snprintf(b, sizeof b, "%02x ", reinterpret_cast<const unsigned char*>(&d)[i]);
    out += b;
  }
  return out;
}

TEST_F(DriverChannel, SettingsFileReachesTheDeviceAsTheDcb) {
  {
    std::ofstream ini("Rn.ini", std::ios::binary);
    for (size_t i = 0; i < std::size(kLineCases); ++i) ini << "[RecNr" << i + 1 << "]\r\n" << kLineCases[i].Section;
  }
  for (size_t i = 0; i < std::size(kLineCases); ++i) {
    const LineCase& c = kLineCases[i];
    SCOPED_TRACE(c.Section);
    Reset();
    DCB want = State();
    want.BaudRate = c.Baud;
    std::memcpy(reinterpret_cast<char*>(&want) + 8, &c.Flags, sizeof c.Flags);
    want.ByteSize = c.Size;
    want.Parity = c.Parity;
    want.StopBits = c.StopBits;
    want.EvtChar = 0x14;
    channel_ = tlf_InitComm(kPort, static_cast<int>(i + 1));
    ASSERT_NE(channel_, nullptr);
    ASSERT_TRUE(Await(2000, [] { return WaitPending(); }));
    EXPECT_EQ(Calls("SetCommState"), 1u);
    EXPECT_EQ(Hex(State()), Hex(want));
    EXPECT_TRUE(CloseWithin(5000));
  }
}

struct FeedCase {
  const char* Name;
  std::string Input;
  std::vector<int32_t> Events;  // accounts, in order
  size_t Acks;
  DWORD MinQueue = 0;  // the driver's input queue, when larger than asked for
};

const FeedCase kFeedCases[] = {
    {"event", kEvent + kDc4, {0x1234}, 1},
    {"bracketed frame: event, then its block", kBracketed + kDc4, {0x1234, 0x1234}, 1},
    {"heartbeat", kHeartbeat + kDc4, {}, 1},
    {"rejected frame", kRejected + kDc4, {}, 0},
    {"receiver's own frame", kReceiverOwn + kDc4, {}, 1},
    {"DC4 alone", kDc4, {}, 0},
    // 250 bytes are read, the rest purged: the frame is cut and rejected.
    {"300 bytes", std::string(299, '5') + kDc4, {}, 0, 1024},
    // The queue overflows and the DC4 is lost: the idle pass purges.
    {"overflow", std::string(229, '5') + kDc4, {}, 0},
    // The receiver gave up on the first frame: each is delivered, only the
    // one it waits on is answered.
    {"two frames in one read", kEvent + kDc4 + kOther + kDc4, {0x1234, 0x5678}, 1},
    {"event and heartbeat in one read", kEvent + kDc4 + kHeartbeat + kDc4, {0x1234}, 1},
};

// Each case also as under Wine: the driver never reports the event
// character, and a read stays pending until bytes arrive.
class DriverFeeds : public DriverChannel, public ::testing::WithParamInterface<std::tuple<FeedCase, bool>> {};

TEST_P(DriverFeeds, BecomeEventsAndAcks) {
  const auto& [c, wine] = GetParam();
  wine_ = wine;
  Reset({wine ? ReadMode::OnInput : ReadMode::AtOnce, 0, true, true, 4096, c.MinQueue, wine});
  Init();
  ASSERT_TRUE(Await(2000, [&] { return wine ? ReadPending() : WaitPending(); }));
  EXPECT_EQ(Feed(c.Input), c.Events);
  EXPECT_EQ(Written(), std::string(c.Acks, '\x06'));
  if (c.MinQueue && !wine) {
    EXPECT_EQ(LastReadAsked(), 250u);
  }
  // The channel goes on with the next frame.
  EXPECT_EQ(Feed(kNext + kDc4), std::vector<int32_t>{0x9999});
  EXPECT_EQ(Written(), std::string(c.Acks + 1, '\x06'));
}

std::string FeedName(const ::testing::TestParamInfo<std::tuple<FeedCase, bool>>& info) {
  std::string n = std::get<1>(info.param) ? "wine_" : "";
  for (const char* ch = std::get<0>(info.param).Name; *ch; ++ch)
    n += std::isalnum(static_cast<unsigned char>(*ch)) ? *ch : '_';
  return n;
}

INSTANTIATE_TEST_SUITE_P(Driver, DriverFeeds, ::testing::Combine(::testing::ValuesIn(kFeedCases), ::testing::Bool()),
                         FeedName);

// The ready mark runs on this thread: until it serves its messages the
// worker waits in the handoff, and the pickup time has not started.
TEST_F(DriverChannel, EventWaitsInTheHandoffUntilTheWindowThreadServes) {
  Init();
  ASSERT_TRUE(Await(2000, [] { return WaitPending(); }));
  Send(kEvent + kDc4);
  Sleep(300);
  TlfMsg m{};
  EXPECT_EQ(tlf_GetMsg(channel_, &m), 0);
  EXPECT_EQ(Written(), "");
  EXPECT_TRUE(Await(2000, [&] { return tlf_GetMsg(channel_, &m) == 1; }));
  EXPECT_EQ(m.Account, 0x1234);
  EXPECT_TRUE(AwaitWritten(1));
}

TEST_F(DriverChannel, UntakenEventIsWithdrawnWithoutAck) {
  auto channel = kvarn::TCommThread::Open(kvarn::platform::OpenSerialPort(kPort), 1, {2000, 300});
  ASSERT_TRUE(channel);
  ASSERT_TRUE(Await(2000, [] { return WaitPending(); }));
  const uint64_t waits = Calls("WaitCommEvent");
  Send(kEvent + kDc4);
  ASSERT_TRUE(AwaitIdle(waits));  // served the handoff, never took the event
  TlfMsg m{};
  EXPECT_EQ(channel->GetMsg(m), 0);
  EXPECT_EQ(Written(), "");
  channel->Close();
}

// A device that fails every call at once (unplugged): the worker rests
// between passes instead of spinning, and the close ends it.
TEST_F(DriverChannel, RemovedDeviceNeitherSpinsNorHoldsTheClose) {
  Init();
  ASSERT_TRUE(Await(2000, [] { return WaitPending(); }));
  Remove(ERROR_DEVICE_REMOVED);
  Sleep(500);
  EXPECT_LE(Calls("WaitCommEvent"), 3u);
  EXPECT_LE(Calls("ClearCommError"), 2u);
  EXPECT_TRUE(CloseWithin(1500)) << "the close waited for a worker that does not see the stop event";
  EXPECT_LE(Calls("WaitCommEvent"), 4u);
}

// A driver that ignores both ways of ending a pending wait: the close is
// bounded, and the wait's record is left to the driver.
TEST_F(DriverChannel, CloseIsBoundedWhenTheDriverKeepsItsRequests) {
  Reset({ReadMode::AtOnce, 0, false, false});
  Init();
  ASSERT_TRUE(Await(2000, [] { return WaitPending(); }));
  EXPECT_TRUE(CloseWithin(3000));
  EXPECT_FALSE(IsOpen());
  CompleteAbandoned();
  EXPECT_EQ(Faults(), "");
}

// Two DC4s in one read leave the event character in the history mask: the
// next wait ends at once on an empty queue. That pass must not rest out the
// interval while new frames arrive.
TEST_F(DriverChannel, EventCharacterLeftInTheHistoryCostsNoPause) {
  Init();
  ASSERT_TRUE(Await(2000, [] { return WaitPending(); }));
  Feed(kDc4 + kDc4);
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(Feed(kHeartbeat + kDc4, 1000), std::vector<int32_t>{});
  EXPECT_EQ(Written(), "\x06");
  EXPECT_LT(GetTickCount64() - start, 1000u) << "the worker rested after the empty pass";
}

// Figures, printed: the port's system calls for one frame, and the
// worker's wake-ups while idle (one per wait interval; KVARN_IDLE_SECONDS
// measures them over that long at the default interval).
TEST_F(DriverChannel, Figures) {
  Init();
  ASSERT_TRUE(Await(2000, [] { return WaitPending(); }));
  auto total = [] {
    uint64_t n = 0;
    for (const auto& [name, count] : Calls()) n += count;
    return n;
  };
  for (const auto& [name, frame] : {std::pair{"event", kEvent}, {"heartbeat", kHeartbeat}}) {
    const Counts before = Calls();
    const uint64_t all = total();
    Feed(frame + kDc4);
    std::string detail;
    for (const auto& [call, count] : Calls()) {
      auto it = before.find(call);
      const uint64_t d = count - (it == before.end() ? 0 : it->second);
      if (d) detail += " " + call + "=" + std::to_string(d);
    }
    std::printf("[ figure ] system calls per %s frame: %llu (%s )\n", name,
                static_cast<unsigned long long>(total() - all), detail.c_str());
  }
  const char* env = std::getenv("KVARN_IDLE_SECONDS");
  const DWORD seconds = env ? static_cast<DWORD>(std::atoi(env)) : 0;
  if (seconds == 0) return;
  const uint64_t wakes = Calls("WaitForMultipleObjects"), all = total();
  Await(seconds * 1000, [] { return false; });
  const double perMinute = 60.0 / seconds;
  std::printf("[ figure ] idle %lu s: %.1f worker wake-ups and %.1f system calls per minute\n",
              static_cast<unsigned long>(seconds), static_cast<double>(Calls("WaitForMultipleObjects") - wakes) * perMinute,
              static_cast<double>(total() - all) * perMinute);
}

}  // namespace
}  // namespace kvarn_test::driver
