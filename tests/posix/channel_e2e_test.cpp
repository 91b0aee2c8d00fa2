// The library end to end over a pseudo-terminal: a simulated receiver on the
// master side, the host calling the exported functions. Each case runs
// against the .so in this process and, when KVARN_WIN32_BUILD names a
// Windows build, also against the DLL under Wine, through a Windows host
// program.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <termios.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "decode/frame_decoder.h"
#include "kvarn_rcvr.h"
#include "platform/clock.h"
#include "pty_support.h"
#include "wine_host.h"

namespace kvarn {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string kAck = "\x06";
constexpr int kPort = 4;
// Wine ties the low COM ports to the machine's own serial devices.
constexpr int kWinePort = 21;

enum class Host { So, Wine };

std::vector<Host> Hosts() {
  if (test::Win32BuildDir().empty()) return {Host::So};
  return {Host::So, Host::Wine};
}

class EndToEnd : public ::testing::TestWithParam<Host> {
 protected:
  void SetUp() override {
    if (!UnderWine()) return dir_.Link(kPort, pty_.SlavePath());
    wine_ = std::make_unique<test::WineHost>(test::Win32BuildDir());
    winePort_ = std::make_unique<test::WineComPort>(kWinePort, pty_.SlavePath());
  }
  void TearDown() override {
    Close();
    wine_.reset();  // before the scratch directory goes
  }

  bool UnderWine() const { return GetParam() == Host::Wine; }

  void Open(int receiver = 1) {
    if (UnderWine()) {
      id_ = wine_->Open(kWinePort, receiver);
      ASSERT_NE(id_, 0);
    } else {
      channel_ = tlf_InitComm(kPort, receiver);
      ASSERT_NE(channel_, nullptr);
    }
  }

  int Get(TlfMsg& m) { return UnderWine() ? wine_->GetMsg(id_, m) : tlf_GetMsg(channel_, &m); }

  void Close() {
    if (channel_) tlf_CloseComm(channel_);
    if (id_) wine_->Close(id_);
    channel_ = nullptr;
    id_ = 0;
  }

  void Send(const std::string& frame) { pty_.Send(frame + "\x14"); }

  bool Take(TlfMsg& m) {
    const uint64_t end = platform::MonotonicMs() + 5000;
    while (platform::MonotonicMs() < end) {
      if (Get(m)) return true;
      std::this_thread::sleep_for(1ms);
    }
    return false;
  }

  // Everything the library wrote within `ms`.
  std::string Written(uint32_t ms) { return pty_.Receive(ms); }

  test::ScratchDir dir_;
  test::Pty pty_;
  TlfChannel channel_ = nullptr;
  std::unique_ptr<test::WineHost> wine_;
  std::unique_ptr<test::WineComPort> winePort_;
  int id_ = 0;
};

INSTANTIATE_TEST_SUITE_P(Hosts, EndToEnd, ::testing::ValuesIn(Hosts()),
                         [](const ::testing::TestParamInfo<Host>& p) { return p.param == Host::Wine ? "DllUnderWine" : "So"; });

// The record the decoder makes of `text` on its own.
TlfMsg Decoded(const std::string& text) {
  DecodeState state;
  state.Frame.Assign(text);
  state.FrameNo = 1;
  state.UtcNow = platform::UtcNow;
  EXPECT_TRUE(DecodeFrame(state) == DecodeResult::Event) << text;
  return state.Msg;
}

TEST_P(EndToEnd, EachFrameTypeIsDeliveredAndAcknowledgedOnTake) {
  Open();
  for (const std::string text : {"5011 181234E13001001", "1012 0012341E1300100", "3013 0012AB130100100",
                                 "S0111[#1234|NBA03]", "2xyz"}) {
    Send(text);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(Written(0), "") << "no ACK before the take: " << text;
    TlfMsg m{};
    ASSERT_TRUE(Take(m)) << text;
    TlfMsg want = Decoded(text);
    EXPECT_EQ(m.RecNo, want.RecNo) << text;
    EXPECT_EQ(m.LineNo, want.LineNo) << text;
    EXPECT_EQ(m.Account, want.Account) << text;
    EXPECT_EQ(AreaOf(m), AreaOf(want)) << text;
    EXPECT_EQ(EvZoneOf(m), EvZoneOf(want)) << text;
    EXPECT_EQ(m.Stamp.wYear, 0xFFFF) << text;
    EXPECT_EQ(pty_.Receive(2000, 1), kAck) << text;
  }
  TlfMsg m{};
  EXPECT_EQ(Get(m), 0);
  EXPECT_EQ(Written(100), "") << "one ACK per frame";
}

TEST_P(EndToEnd, ReceiverFramesAndHeartbeatsAreAcknowledgedAtOnce) {
  Open();
  for (const std::string text : {"0", "0123", "1010           @    ", "5011 181234E13001001@"}) {
    Send(text);
    EXPECT_EQ(pty_.Receive(2000, 1), kAck) << text;
  }
  TlfMsg m{};
  EXPECT_EQ(Get(m), 0);
  EXPECT_EQ(Written(100), "");
}

TEST_P(EndToEnd, RejectedFramesGetNoAck) {
  Open();
  // A receiver sends one frame at a time; give the worker time for each.
  for (const std::string text : {"5011 1812", "S01[#1234]", "5011181234E13001001"}) {
    Send(text);
    EXPECT_EQ(Written(300), "") << text;
  }
  Send("5011 181234E13001001");
  TlfMsg m{};
  ASSERT_TRUE(Take(m));
  EXPECT_EQ(m.Account, 0x1234);
  EXPECT_EQ(pty_.Receive(2000, 1), kAck);
  EXPECT_EQ(Written(200), "");
}

TEST_P(EndToEnd, BracketedFrameGivesItsEventThenItsBlocksWithOneAck) {
  Open();
  Send("S0111[#1234|Nri12/BA03/BR04/BR05]");
  TlfMsg m{};
  ASSERT_TRUE(Take(m));
  EXPECT_EQ(EvZoneOf(m), "  BA  03");
  EXPECT_EQ(pty_.Receive(2000, 1), kAck);
  for (const char* zone : {"  BR  04", "  BR  05"}) {
    ASSERT_EQ(Get(m), 1);
    EXPECT_EQ(AreaOf(m), " 12");
    EXPECT_EQ(EvZoneOf(m), zone);
    EXPECT_EQ(m.Account, 0x1234);
  }
  EXPECT_EQ(Get(m), 0);
  EXPECT_EQ(Written(100), "");
}

// Frames that queued up while the host was slow are read at once and each
// delivered; only the receiver's latest one is answered, since the receiver
// takes an ACK as the answer to what it sent last.
TEST_P(EndToEnd, QueuedFramesAreEachDeliveredAndOnlyTheLastAnswered) {
  Open();
  Send("5011 181234E13001001");
  TlfMsg m{};
  // While the worker waits for this pickup, both frames queue up unread.
  std::this_thread::sleep_for(100ms);
  Send("2first");
  Send("5011 181234E13001002");
  std::this_thread::sleep_for(100ms);
  ASSERT_TRUE(Take(m));
  EXPECT_EQ(EvZoneOf(m), "E130 001");
  ASSERT_TRUE(Take(m));
  EXPECT_EQ(m.Account, 0) << "type 2: one empty event";
  ASSERT_TRUE(Take(m));
  EXPECT_EQ(EvZoneOf(m), "E130 002");
  EXPECT_EQ(pty_.Receive(2000, 2), kAck);
  EXPECT_EQ(Get(m), 0);
}

TEST_P(EndToEnd, WorkerWritesTheLog) {
  fs::create_directory("Tlflog");
  Open();
  Send("1010           @    ");  // heartbeats are not logged
  EXPECT_EQ(pty_.Receive(2000, 1), kAck);
  Send("5011 181234E13001001");
  TlfMsg m{};
  ASSERT_TRUE(Take(m));
  std::vector<fs::path> files(fs::directory_iterator("Tlflog"), {});
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(std::regex_match(files[0].filename().string(), std::regex(R"(20\d{4}_[1-4]\.tlg)")))
      << files[0];
  std::ifstream in(files[0], std::ios::binary);
  const std::string log(std::istreambuf_iterator<char>(in), {});
  // The regional time text: hours, minutes, seconds, perhaps a designator.
  EXPECT_TRUE(std::regex_match(log, std::regex(R"((\S+ )?\d{1,2}\D\d\d\D\d\d( \S+)? 5011 181234E13001001\r\n)")))
      << log;
}

// Rn.ini sets the line of the receiver whose section it has; the others
// keep the defaults.
TEST_P(EndToEnd, SettingsFileSetsTheLine) {
  dir_.Write("Rn.ini", "[RecNr3]\r\nBaud=19200\r\nDataBit=8\r\nStopBit=2\r\n");
  for (const auto& [receiver, speed, twoStopBits] : {std::tuple{3, B19200, true}, std::tuple{5, B300, false}}) {
    Open(receiver);
    termios t{};
    ASSERT_EQ(tcgetattr(pty_.Slave(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), speed) << receiver;
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, twoStopBits) << receiver;
    Close();
  }
}

// The one test on the real pickup time: an event not taken within 7 s is
// withdrawn and its frame never acknowledged; the worker reads on.
TEST_P(EndToEnd, UntakenEventIsWithdrawnAfterSevenSeconds) {
  fs::create_directory("Tlflog");
  Open();
  Send("5011 181234E13001001");
  // The frame is logged right before it is handed over.
  uint64_t logged = 0;
  for (int i = 0; i < 2000 && !logged; ++i) {
    if (!fs::is_empty("Tlflog")) logged = platform::MonotonicMs();
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_NE(logged, 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(logged + 7000 + 800 - platform::MonotonicMs()));
  TlfMsg m{};
  EXPECT_EQ(Get(m), 0);
  EXPECT_EQ(Written(0), "");
  Send("5011 181234E13001002");
  ASSERT_TRUE(Take(m));
  EXPECT_EQ(EvZoneOf(m), "E130 002");
  EXPECT_EQ(pty_.Receive(2000, 1), kAck);
}

TEST_P(EndToEnd, CloseRightAfterOpen) {
  Open();
  Close();
  Open();  // the port is free again
}

// The product itself, loaded as a host loads it.
TEST_P(EndToEnd, LoadedLibraryDeliversAnEvent) {
  if (UnderWine()) GTEST_SKIP() << "the Windows host loads the DLL by name in every case";
  void* lib = dlopen(KVARN_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  auto init = reinterpret_cast<decltype(&tlf_InitComm)>(dlsym(lib, "tlf_InitComm"));
  auto get = reinterpret_cast<decltype(&tlf_GetMsg)>(dlsym(lib, "tlf_GetMsg"));
  auto close = reinterpret_cast<decltype(&tlf_CloseComm)>(dlsym(lib, "tlf_CloseComm"));
  ASSERT_TRUE(init && get && close);
  TlfChannel c = init(kPort, 1);
  ASSERT_NE(c, nullptr);
  Send("5011 181234E13001001");
  TlfMsg m{};
  bool got = false;
  for (int i = 0; i < 5000 && !got; ++i) {
    got = get(c, &m) == 1;
    if (!got) std::this_thread::sleep_for(1ms);
  }
  EXPECT_TRUE(got);
  EXPECT_EQ(m.Account, 0x1234);
  EXPECT_EQ(pty_.Receive(2000, 1), kAck);
  close(c);
  // Not unloaded: the traffic log keeps its lock and the regional time
  // format for the life of the process, and LeakSanitizer would count them as
  // lost once the library that points at them is gone.
}

}  // namespace
}  // namespace kvarn
