// The production Win32 serial port, call by call, against each behaviour of
// the scripted driver.
#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <string>
#include <thread>

#include "link/protocol.h"
#include "platform/event.h"
#include "platform/serial_port.h"
#include "win32/driver/scripted_driver.h"

namespace kvarn_test::driver {
namespace {

using kvarn::platform::Event;
using kvarn::platform::EventReset;
using kvarn::platform::PortWait;
using kvarn::platform::SerialPort;

const char* Name(PortWait w) {
  switch (w) {
    case PortWait::Stop: return "Stop";
    case PortWait::FrameEnded: return "FrameEnded";
    case PortWait::Timeout: return "Timeout";
    case PortWait::Failed: return "Failed";
  }
  return "?";
}

template <typename T>
std::string CaseName(const ::testing::TestParamInfo<T>& info) {
  std::string n;
  for (const char* c = info.param.Name; *c; ++c) n += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
  return n;
}

// A port set up as the channel sets it up: DC4 as the event character, the
// channel's time-outs, EV_RXFLAG as the mask; the line at the driver's own
// 1200 baud, 8 data bits.
class Port : public ::testing::Test {
 public:  // the case tables reach in
  void Open(const Script& s = {}, bool watch = true) {
    Reset(s);
    port_ = kvarn::platform::OpenSerialPort(kPort);
    ASSERT_TRUE(port_);
    kvarn::platform::LineSettings line;
    line.Speed = 1200;
    line.DataBits = 8;
    line.EventChar = 0x14;
    ASSERT_TRUE(port_->Configure(line));
    if (watch) {
      ASSERT_TRUE(port_->WatchFrameEnd());
    }
  }
  void SetUp() override { ASSERT_TRUE(stop_); }
  void TearDown() override {
    if (port_) CloseWithin(5000);
    CompleteAbandoned();
    EXPECT_EQ(Faults(), "");
  }

  PortWait Wait(uint32_t ms) { return port_->WaitFrameEnd(*stop_, ms); }

  // Close may not block: it runs on a thread of its own, which a hung close
  // leaves behind until the driver lets go of its requests.
  bool CloseWithin(uint32_t ms) {
    const bool ended = Within(ms, [p = port_.get()] { p->Close(); });
    port_.reset();
    return ended;
  }

  // Runs `fn` on a thread of its own; one that blocks is let go by the
  // driver completing what it holds. False when it took longer than `ms`.
  static bool Within(uint32_t ms, std::function<void()> fn) {
    auto done = std::async(std::launch::async, std::move(fn));
    const bool ended = done.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready;
    if (!ended) {
      CompleteAbandoned();
      done.wait();
    }
    return ended;
  }

  std::unique_ptr<SerialPort> port_;
  std::unique_ptr<Event> stop_ = Event::Create(EventReset::Manual);
};

TEST_F(Port, OpensTheDeviceOnceAndKeepsWhatTheChannelDoesNotSet) {
  Open();
  EXPECT_FALSE(kvarn::platform::OpenSerialPort(kPort)) << "serial devices are exclusive";
  EXPECT_FALSE(kvarn::platform::OpenSerialPort(3));
  EXPECT_FALSE(kvarn::platform::OpenSerialPort(12)) << "from 10 on through the device namespace";
  EXPECT_FALSE(kvarn::platform::OpenSerialPort(0));
  EXPECT_EQ(InQueueSize(), 200u);
  const DCB d = State();
  EXPECT_EQ(d.EvtChar, 0x14);
  EXPECT_EQ(d.XonLim, 100);
  EXPECT_EQ(d.EofChar, 0x1A);
  EXPECT_EQ(d.BaudRate, 1200u);
  EXPECT_EQ(Timeouts().ReadIntervalTimeout, 100u);
  EXPECT_EQ(Timeouts().ReadTotalTimeoutConstant, 1u);
  EXPECT_EQ(Mask(), static_cast<DWORD>(EV_RXFLAG));
  port_->Close();
  EXPECT_FALSE(IsOpen());
  port_->Close();
  EXPECT_EQ(Calls("CloseHandle"), 2u) << "the port and its wait event, once each";
  // A port opened again reads the device's own settings again.
  port_ = kvarn::platform::OpenSerialPort(kPort);
  ASSERT_TRUE(port_);
  kvarn::platform::LineSettings line;
  line.Speed = 9600;
  EXPECT_TRUE(port_->Configure(line));
  EXPECT_EQ(State().BaudRate, 9600u);
  EXPECT_EQ(State().XonLim, 100);
}

// How a wait for the frame's end ends, for each thing the driver does.
struct WaitCase {
  const char* Name;
  void (*Before)(SerialPort&);  // before the wait (null: nothing)
  void (*During)(SerialPort&);  // while it is pending (null: no pending wait)
  PortWait Want;
  bool StopSet;
  bool Watch = true;  // the port was told to watch for the event character
};

const WaitCase kWaitCases[] = {
    {"the event character ends a pending wait", nullptr, [](SerialPort&) { Send("5011 18\x14"); }, PortWait::FrameEnded, false},
    {"other bytes do not", nullptr, [](SerialPort&) { Send("5011 18"); }, PortWait::Timeout, false},
    {"an event character before the wait ends it at once, even on an empty queue",
     [](SerialPort& p) {
       Send("ab\x14");
       p.PurgeInput();
     },
     nullptr, PortWait::FrameEnded, false},
    {"a new mask ends a pending wait with no events", nullptr, [](SerialPort& p) { p.WatchFrameEnd(); }, PortWait::Failed, false},
    {"no mask: the wait fails at once", nullptr, nullptr, PortWait::Failed, false, false},
    {"device removed: access denied", [](SerialPort&) { Remove(ERROR_ACCESS_DENIED); }, nullptr,
     PortWait::Failed, false},
    {"device removed: bad command", [](SerialPort&) { Remove(ERROR_BAD_COMMAND); }, nullptr,
     PortWait::Failed, false},
    {"device removed: aborted", [](SerialPort&) { Remove(ERROR_OPERATION_ABORTED); }, nullptr,
     PortWait::Failed, false},
    {"device removed: removed", [](SerialPort&) { Remove(ERROR_DEVICE_REMOVED); }, nullptr,
     PortWait::Failed, false},
    {"device removed while the wait is pending", nullptr, [](SerialPort&) { Remove(ERROR_DEVICE_REMOVED); }, PortWait::Failed,
     false},
    {"a failing device does not hide the stop event", [](SerialPort&) { Remove(ERROR_DEVICE_REMOVED); },
     nullptr, PortWait::Stop, true},
    {"the stop event wins over an ended wait", [](SerialPort&) { Send("\x14"); }, nullptr, PortWait::Stop,
     true},
};

class PortWaits : public Port, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(PortWaits, EndAsTheDriverSays) {
  const WaitCase& c = GetParam();
  Open({}, c.Watch);
  if (c.Before) c.Before(*port_);
  if (c.StopSet) stop_->Set();
  if (c.During) {
    ASSERT_EQ(Wait(0), PortWait::Timeout) << "the wait is pending";
    c.During(*port_);
  }
  EXPECT_STREQ(Name(Wait(c.Want == PortWait::Timeout ? 50 : 2000)), Name(c.Want));
  EXPECT_EQ(Calls("WaitCommEvent"), 1u) << "a pending wait is waited on again, never started twice";
}

INSTANTIATE_TEST_SUITE_P(Driver, PortWaits, ::testing::ValuesIn(kWaitCases), CaseName<WaitCase>);


// After an at-once end the next wait waits for new input; a wake without
// an end (the event set, the request pending) costs one pass, not a spin.
TEST_F(Port, AnEndedWaitIsReportedOnceAndAStrayWakeOnce) {
  Open();
  ASSERT_EQ(Wait(0), PortWait::Timeout);
  char b[4];
  EXPECT_EQ(port_->Read(b, sizeof b), 0u) << "the record is the pending wait's";
  EXPECT_EQ(port_->Read(b, 0), 0u);
  Send("a\x14" "b\x14");
  ASSERT_EQ(Wait(1000), PortWait::FrameEnded);
  bool overflowed = false;
  char buf[16];
  ASSERT_EQ(port_->Read(buf, port_->QueryStatus(overflowed)), 4u);
  port_->PurgeInput();
  // The second DC4 came while no wait was pending: kept in the history.
  EXPECT_EQ(Wait(1000), PortWait::FrameEnded);
  EXPECT_EQ(port_->QueryStatus(overflowed), 0u) << "nothing left to read";
  EXPECT_EQ(Wait(0), PortWait::Timeout) << "the history is spent";
  StrayWake();
  EXPECT_EQ(Wait(1000), PortWait::Timeout) << "a stray wake";
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(Wait(50), PortWait::Timeout);
  EXPECT_GE(GetTickCount64() - start, 40u) << "the stray wake came back at once";
  Send("c\x14");
  EXPECT_EQ(Wait(1000), PortWait::FrameEnded) << "the pending wait still ends with its DC4";
  EXPECT_EQ(Calls("WaitCommEvent"), 3u);
}

// Bytes read while no wait is pending (what arrived while the worker waited
// for the host): their DC4 stays in the history, so the next wait ends at
// once with nothing left to read; a frame still arriving ends a later wait.
TEST_F(Port, ReadingBetweenWaitsLeavesTheirDc4InTheHistory) {
  Open();
  Send("5011 18\x14" "5011");
  bool overflowed = false;
  char b[32];
  ASSERT_EQ(port_->Read(b, port_->QueryStatus(overflowed)), 12u);
  EXPECT_EQ(Wait(300), PortWait::FrameEnded);
  EXPECT_EQ(port_->QueryStatus(overflowed), 0u);
  EXPECT_EQ(Wait(0), PortWait::Timeout);
  Send(" 18\x14");
  EXPECT_EQ(Wait(300), PortWait::FrameEnded);
  EXPECT_EQ(port_->QueryStatus(overflowed), 4u);
}

struct ReadCase {
  const char* Name;
  Script S;
  size_t Want;   // of the 6 bytes queued, asking for more than one read takes
  bool Lost;     // the driver keeps the request: abandoned
};

const ReadCase kReadCases[] = {
    {"at once", {}, 6, false},
    {"pending, then done", {ReadMode::Pending}, 6, false},
    {"fewer bytes than asked", {ReadMode::AtOnce, 4}, 4, false},
    {"never done, cancelled", {ReadMode::Never}, 0, false},
    {"never done, cancel ignored", {ReadMode::Never, 0, false}, 0, true},
};

class PortReads : public Port, public ::testing::WithParamInterface<ReadCase> {};

// Bounded whatever the driver does; a read the driver keeps is abandoned
// with its memory, and the port goes on with a fresh record.
TEST_P(PortReads, TakeWhatTheDriverGives) {
  const ReadCase& c = GetParam();
  Open(c.S);
  Send("12345\x14");
  bool overflowed = false;
  ASSERT_EQ(port_->QueryStatus(overflowed), 6u);
  char buf[300] = {};
  size_t got = 99;
  EXPECT_TRUE(Within(3000, [&] { got = port_->Read(buf, sizeof buf); })) << "the read waited without a bound";
  EXPECT_EQ(got, c.Want);
  EXPECT_EQ(std::string(buf, c.Want), std::string("12345\x14").substr(0, c.Want));
  EXPECT_EQ(Calls("CancelIoEx"), c.S.Read == ReadMode::Never ? 1u : 0u);
  CompleteAbandoned();  // late, into the abandoned record
  EXPECT_EQ(Faults(), "");
  Send("\x14");
  EXPECT_EQ(Wait(1000), PortWait::FrameEnded) << "the port goes on";
}

INSTANTIATE_TEST_SUITE_P(Driver, PortReads, ::testing::ValuesIn(kReadCases), CaseName<ReadCase>);

TEST_F(Port, StatusCountsTheQueueAndReportsAnOverflowOnce) {
  Open();
  Send(std::string(230, 'x'));
  bool overflowed = false;
  EXPECT_EQ(port_->QueryStatus(overflowed), 200u);
  EXPECT_TRUE(overflowed);
  EXPECT_EQ(port_->QueryStatus(overflowed), 200u);
  EXPECT_FALSE(overflowed) << "the query clears the error";
  port_->PurgeInput();
  EXPECT_EQ(port_->QueryStatus(overflowed), 0u);
  Remove(ERROR_DEVICE_REMOVED);
  overflowed = true;
  EXPECT_EQ(port_->QueryStatus(overflowed), 0u);
  EXPECT_FALSE(overflowed);
  char b[4];
  EXPECT_EQ(port_->Read(b, sizeof b), 0u);
  EXPECT_FALSE(port_->Configure({}));
  port_->WriteByte(kvarn::kAck);
  EXPECT_EQ(Written(), "");
}

// An ACK held back by XOFF or CTS: the next one waits for it up to 2 s,
// then cancels it; a driver that keeps the cancelled write gets the record.
TEST_F(Port, AckHeldBackIsGivenUpOnAfterTwoSeconds) {
  for (bool honour : {true, false}) {
    SCOPED_TRACE(honour ? "cancel honoured" : "cancel ignored");
    Open({ReadMode::AtOnce, 0, honour});
    port_->WriteByte(kvarn::kAck);
    EXPECT_EQ(Written(), "\x06");
    HoldOutput(true);
    port_->WriteByte(kvarn::kAck);
    const ULONGLONG start = GetTickCount64();
    ASSERT_TRUE(Within(4000, [this] { port_->WriteByte(kvarn::kAck); })) << "the ACK waited without a bound";
    EXPECT_GE(GetTickCount64() - start, 1900u);
    EXPECT_EQ(Calls("CancelIoEx"), 1u);
    HoldOutput(false);
    EXPECT_EQ(Written(), honour ? "\x06\x06" : "\x06\x06\x06") << "the cancelled one stays unsent";
    EXPECT_EQ(Faults(), "");
    CloseWithin(5000);
  }
}

// Close at every point: never unbounded, nothing freed that the driver
// still owns, the port closed.
struct CloseCase {
  const char* Name;
  Script S;
  void (*Before)(Port&);
};

const CloseCase kCloseCases[] = {
    {"idle", {}, [](Port&) {}},
    {"wait pending", {}, [](Port& t) { t.Wait(0); }},
    {"wait pending, cancel ignored", {ReadMode::AtOnce, 0, false}, [](Port& t) { t.Wait(0); }},
    {"wait pending, cancel and new mask ignored", {ReadMode::AtOnce, 0, false, false}, [](Port& t) { t.Wait(0); }},
    {"ACK held back", {}, [](Port& t) { HoldOutput(true), t.port_->WriteByte(kvarn::kAck); }},
    {"ACK held back, cancel ignored", {ReadMode::AtOnce, 0, false}, [](Port& t) { HoldOutput(true), t.port_->WriteByte(kvarn::kAck); }},
    {"device removed", {}, [](Port& t) {
       t.Wait(0);
       Remove(ERROR_DEVICE_REMOVED);
     }},
    {"after a lost read", {ReadMode::Never, 0, false}, [](Port& t) {
       Send("x\x14");
       Port::Within(3000, [&t] {
         char b[8];
         t.port_->Read(b, sizeof b);
       });
     }},
};

class PortCloses : public Port, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(PortCloses, WithinBoundsLeavingTheDriversRecordsAlone) {
  Open(GetParam().S);
  GetParam().Before(*this);
  EXPECT_TRUE(CloseWithin(4500)) << "close blocked";
  EXPECT_FALSE(IsOpen());
  CompleteAbandoned();
  EXPECT_EQ(Faults(), "");
}

INSTANTIATE_TEST_SUITE_P(Driver, PortCloses, ::testing::ValuesIn(kCloseCases), CaseName<CloseCase>);

// The driver's own check: pending requests end with the error of the
// removed device as the system reports it.
TEST(ScriptedDriver, EndsRequestsWithTheErrorsOfARemovedDevice) {
  for (DWORD error : {ERROR_ACCESS_DENIED, ERROR_BAD_COMMAND, ERROR_OPERATION_ABORTED, ERROR_DEVICE_REMOVED})
    EXPECT_EQ(ErrorOfPendingWait(error), error);
}

}  // namespace
}  // namespace kvarn_test::driver
