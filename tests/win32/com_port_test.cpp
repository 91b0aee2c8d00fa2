// A real COM port: run by tests/win32/wine_check.py against ports that
// Wine maps to pseudo-terminals, and skipped without them. The check reads
// the line settings from the Linux side and says so through files.
//
//   KVARN_TEST_COM_PORT     the mapped port
//   KVARN_TEST_MISSING_PORT a port that is not mapped
//   KVARN_TEST_RECEIVERS    receivers whose Rn.ini sections to open with, e.g. "3,4"
//   KVARN_TEST_SYNC_DIR     where "open-<receiver>" tells the check that the
//                           channel is open, and "checked-<receiver>" comes back
//   KVARN_TEST_QUEUED_INPUT the check has queued kQueuedInput on the line
//   KVARN_TEST_LINE_STOPPED the check has stopped the line with XOFF
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "kvarn_rcvr.h"
#include "link/protocol.h"
#include "platform/event.h"
#include "platform/serial_port.h"
#include "win32/dll_under_test.h"

namespace kvarn_test {
namespace {

// What the check has written to the line before the program starts.
constexpr char kQueuedInput[] = "abcd\x14";

int EnvInt(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::atoi(v) : 0;
}

std::vector<int> Receivers() {
  std::vector<int> out;
  std::stringstream list(std::getenv("KVARN_TEST_RECEIVERS") ? std::getenv("KVARN_TEST_RECEIVERS") : "");
  for (std::string r; std::getline(list, r, ',');) out.push_back(std::atoi(r.c_str()));
  return out;
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool WaitForFile(const std::string& path, DWORD ms) {
  for (const ULONGLONG end = GetTickCount64() + ms; GetTickCount64() < end; Sleep(10))
    if (Exists(path)) return true;
  return false;
}

void Touch(const std::string& path) {
  CloseHandle(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
}

template <typename F>
F Export(HMODULE lib, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(lib, name)));
}

class ComPort : public ::testing::Test {
 protected:
  void SetUp() override {
    FLib = LoadLibraryA(DllPath().c_str());
    ASSERT_NE(FLib, nullptr);
    FInit = Export<decltype(&tlf_InitComm)>(FLib, "tlf_InitComm");
    FClose = Export<decltype(&tlf_CloseComm)>(FLib, "tlf_CloseComm");
    FGetMsg = Export<decltype(&tlf_GetMsg)>(FLib, "tlf_GetMsg");
    ASSERT_TRUE(FInit && FClose && FGetMsg);
  }
  void TearDown() override {
    if (FLib) FreeLibrary(FLib);
  }

  HMODULE FLib = nullptr;
  decltype(&tlf_InitComm) FInit = nullptr;
  decltype(&tlf_CloseComm) FClose = nullptr;
  decltype(&tlf_GetMsg) FGetMsg = nullptr;
};

TEST_F(ComPort, ChannelOpensWithTheReceiversSettingsAndClosesPromptly) {
  const int port = EnvInt("KVARN_TEST_COM_PORT");
  const char* sync = std::getenv("KVARN_TEST_SYNC_DIR");
  if (port <= 0 || !sync) GTEST_SKIP() << "no COM port mapped to a pseudo-terminal";
  for (int receiver : Receivers()) {
    SCOPED_TRACE("receiver " + std::to_string(receiver));
    TlfChannel channel = FInit(port, receiver);
    ASSERT_NE(channel, nullptr) << "COM" << port << " did not open";
    const std::string tag = std::to_string(receiver);
    Touch(std::string(sync) + "\\open-" + tag);
    EXPECT_TRUE(WaitForFile(std::string(sync) + "\\checked-" + tag, 30000)) << "the check did not answer";
    TlfMsg msg{};
    EXPECT_EQ(FGetMsg(channel, &msg), 0);
    const ULONGLONG start = GetTickCount64();
    FClose(channel);
    // The worker is idle: it ends as soon as it sees the stop event.
    EXPECT_LT(GetTickCount64() - start, 5000u) << "tlf_CloseComm took long";
  }
}

TEST_F(ComPort, MissingPortGivesNoChannel) {
  const int port = EnvInt("KVARN_TEST_MISSING_PORT");
  if (port <= 0) GTEST_SKIP() << "KVARN_TEST_MISSING_PORT not set";
  EXPECT_EQ(FInit(port, 1), nullptr);
  EXPECT_EQ(FInit(0, 1), nullptr);
  EXPECT_EQ(FInit(-port, 1), nullptr);
}

// The port's own calls, below the channel: what Wine lets through to a
// pseudo-terminal.
TEST(ComPortCalls, QueueReadAckAndStopReachTheDevice) {
  const int port = EnvInt("KVARN_TEST_COM_PORT");
  if (port <= 0 || !std::getenv("KVARN_TEST_QUEUED_INPUT")) GTEST_SKIP() << "no input queued on a mapped port";
  using namespace kvarn::platform;
  auto p = OpenSerialPort(port);
  ASSERT_TRUE(p);
  EXPECT_FALSE(OpenSerialPort(99)) << "no such port";
  LineSettings line;
  line.Speed = 9600;
  line.DataBits = 8;
  line.EventChar = 0x14;
  EXPECT_TRUE(p->Configure(line));
  EXPECT_TRUE(p->WatchFrameEnd());

  bool overflowed = true;
  const size_t queued = std::strlen(kQueuedInput);
  ASSERT_EQ(p->QueryStatus(overflowed), queued);
  EXPECT_FALSE(overflowed);
  char buf[16] = {};
  ASSERT_EQ(p->Read(buf, sizeof buf), queued);
  EXPECT_EQ(std::string(buf, queued), kQueuedInput);
  p->PurgeInput();
  EXPECT_EQ(p->QueryStatus(overflowed), 0u);
  p->WriteByte(kvarn::kAck);
  p->WriteByte(kvarn::kAck);  // waits for the first write's record to be free

  // The input was purged: no frame ends, whether the driver reports the
  // event character or (under Wine) the port looks for it itself.
  auto stop = Event::Create(EventReset::Manual);
  ASSERT_TRUE(stop);
  EXPECT_NE(p->WaitFrameEnd(*stop, 200), PortWait::FrameEnded);
  stop->Set();
  EXPECT_EQ(p->WaitFrameEnd(*stop, 200), PortWait::Stop) << "the stop event comes first";
  p->Close();
  p->Close();
}

// The line has been stopped by XOFF before the program starts: each ACK
// stays in its write until the next one gives up on it, and closing the port
// gives up on the last.
TEST(ComPortCalls, AckHeldByFlowControlNeverBlocksThePort) {
  const int port = EnvInt("KVARN_TEST_COM_PORT");
  if (port <= 0 || !std::getenv("KVARN_TEST_LINE_STOPPED")) GTEST_SKIP() << "no line stopped by XOFF";
  using namespace kvarn::platform;
  auto p = OpenSerialPort(port);
  ASSERT_TRUE(p);
  LineSettings line;
  line.Speed = 9600;
  line.DataBits = 8;
  line.Flow = LineFlow::XonXoff;
  EXPECT_TRUE(p->Configure(line));
  p->WriteByte(kvarn::kAck);
  p->WriteByte(kvarn::kAck);
  p->Close();
}

}  // namespace
}  // namespace kvarn_test
