// Opening, configuring and losing a serial port on POSIX, through the
// exported functions and through the channel with short time limits.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "host/comm_thread.h"
#include "kvarn_rcvr.h"
#include "platform/clock.h"
#include "platform/posix/serial_speed.h"
#include "platform/serial_port.h"
#include "pty_support.h"

namespace kvarn {
namespace {

using namespace std::chrono_literals;

class Port : public ::testing::Test {
 protected:
  test::ScratchDir dir_;
  test::Pty pty_;
};

// Watches the current directory for anyone opening the settings file.
class SettingsWatch {
 public:
  SettingsWatch() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) { inotify_add_watch(fd_, ".", IN_OPEN); }
  ~SettingsWatch() { close(fd_); }
  bool SettingsOpened() {
    alignas(inotify_event) char buf[4096];
    bool seen = false;
    ssize_t n;
    while ((n = read(fd_, buf, sizeof buf)) > 0) {
      for (char* p = buf; p < buf + n;) {
        auto* e = reinterpret_cast<inotify_event*>(p);
        if (e->len && std::strcmp(e->name, "Rn.ini") == 0) seen = true;
        p += sizeof(inotify_event) + e->len;
      }
    }
    return seen;
  }

 private:
  int fd_;
};

TEST_F(Port, FailedOpensReturnNullWithoutReadingTheSettings) {
  dir_.Write("Rn.ini", "[RecNr1]\nBaud=9600\n");
  dir_.Link(2, pty_.SlavePath());
  dir_.Link(3, "/nonexistent/tty");
  TlfChannel held = tlf_InitComm(2, 1);
  ASSERT_NE(held, nullptr);
  SettingsWatch watch;
  for (int port : {0, -1, -2, 3, 9, 2}) {  // zero, negative, dangling, missing, in use
    EXPECT_EQ(tlf_InitComm(port, 1), nullptr) << port;
    EXPECT_FALSE(watch.SettingsOpened()) << port;
  }
  tlf_CloseComm(held);
  held = tlf_InitComm(2, 1);  // free again, and the settings are read
  EXPECT_NE(held, nullptr);
  EXPECT_TRUE(watch.SettingsOpened());
  tlf_CloseComm(held);
}

TEST_F(Port, NonTerminalIsNoPort) {
  dir_.Write("Com5", "not a device");
  EXPECT_EQ(platform::OpenSerialPort(5), nullptr);
}

// Another process holding the device keeps it from us, and we keep it from
// another process.
TEST_F(Port, OpenIsExclusiveAcrossProcesses) {
  dir_.Link(2, pty_.SlavePath());
  int toChild[2], fromChild[2];
  ASSERT_EQ(pipe(toChild), 0);
  ASSERT_EQ(pipe(fromChild), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {  // only system calls from here on
    int fd = open("Com2", O_RDWR | O_NOCTTY | O_NONBLOCK);
    char ok = (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) ? 'L' : 'x';
    (void)!write(fromChild[1], &ok, 1);
    char c;
    (void)!read(toChild[0], &c, 1);
    _exit(0);
  }
  char locked = 0;
  ASSERT_EQ(read(fromChild[0], &locked, 1), 1);
  ASSERT_EQ(locked, 'L');
  EXPECT_EQ(tlf_InitComm(2, 1), nullptr);
  (void)!write(toChild[1], "x", 1);
  waitpid(child, nullptr, 0);
  for (int fd : {toChild[0], toChild[1], fromChild[0], fromChild[1]}) close(fd);

  TlfChannel mine = tlf_InitComm(2, 1);
  ASSERT_NE(mine, nullptr);
  child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int fd = open("Com2", O_RDWR | O_NOCTTY | O_NONBLOCK);
    _exit(fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK ? 0 : 1);
  }
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the other process got the port";
  tlf_CloseComm(mine);
}

struct LineSettings {
  speed_t Speed;
  bool TwoStopBits, XonXoff, RtsCts;
};

LineSettings SlaveSettings(const test::Pty& pty) {
  termios t{};
  EXPECT_EQ(tcgetattr(pty.Slave(), &t), 0);
  return {cfgetospeed(&t), (t.c_cflag & CSTOPB) != 0, (t.c_iflag & IXON) && (t.c_iflag & IXOFF),
          (t.c_cflag & CRTSCTS) != 0};
}

TEST_F(Port, SettingsFileReachesTheDevice) {
  dir_.Write("Rn.ini",
             "[RecNr1]\r\nBaud=19200\r\nDataBit=7\r\nParity=2\r\nStopBit=2\r\nFlowCtrl=1\r\n"
             "[RecNr2]\r\nBaud=$E100\r\nDataBit=8\r\nFlowCtrl=2\r\n");
  dir_.Link(2, pty_.SlavePath());
  TlfChannel c = tlf_InitComm(2, 1);
  ASSERT_NE(c, nullptr);
  LineSettings s = SlaveSettings(pty_);
  EXPECT_EQ(s.Speed, B19200);
  EXPECT_TRUE(s.TwoStopBits);
  EXPECT_TRUE(s.XonXoff);
  EXPECT_FALSE(s.RtsCts);
  tlf_CloseComm(c);

  c = tlf_InitComm(2, 2);
  ASSERT_NE(c, nullptr);
  s = SlaveSettings(pty_);
  EXPECT_EQ(s.Speed, B57600);
  EXPECT_FALSE(s.TwoStopBits);
  EXPECT_FALSE(s.XonXoff);
  EXPECT_TRUE(s.RtsCts);
  tlf_CloseComm(c);
}

TEST_F(Port, DefaultsWithoutSettingsFile) {
  termios t{};
  ASSERT_EQ(tcgetattr(pty_.Slave(), &t), 0);
  cfsetospeed(&t, B9600);
  t.c_cflag |= CSTOPB | CRTSCTS;
  t.c_iflag |= IXON | IXOFF;
  ASSERT_EQ(tcsetattr(pty_.Slave(), TCSANOW, &t), 0);
  dir_.Link(2, pty_.SlavePath());
  TlfChannel c = tlf_InitComm(2, 1);
  ASSERT_NE(c, nullptr);
  LineSettings s = SlaveSettings(pty_);
  EXPECT_EQ(s.Speed, B300);
  EXPECT_FALSE(s.TwoStopBits);
  EXPECT_FALSE(s.XonXoff);
  EXPECT_FALSE(s.RtsCts);
  ASSERT_EQ(tcgetattr(pty_.Slave(), &t), 0);
  EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG)) << "raw mode";
  tlf_CloseComm(c);
}

// Whatever another program left on the device, only raw reception in the
// asked format stays: the pty is preset to the opposite of every flag the
// settings ask for. (A pty always holds 8 data bits, the receiver on and no
// parity, so those are not preset.)
TEST_F(Port, EveryFlagTheSettingsDoNotAskForIsCleared) {
  dir_.Write("Rn.ini",
             "[RecNr1]\nBaud=9600\nDataBit=8\nParity=2\nStopBit=0\nFlowCtrl=0\n"
             "[RecNr2]\nBaud=19200\nDataBit=8\nParity=0\nStopBit=2\nFlowCtrl=1\n"
             "[RecNr3]\nBaud=57600\nDataBit=8\nParity=1\nStopBit=0\nFlowCtrl=2\n");
  dir_.Link(2, pty_.SlavePath());
  const tcflag_t kAsked = CSTOPB | CRTSCTS | CLOCAL | HUPCL | PARODD | CMSPAR;
  const struct {
    int Receiver;
    speed_t Speed;
    tcflag_t Iflag, Cflag;  // Cflag: the bits of kAsked that must be on
  } kCases[] = {
      {1, B9600, 0, CLOCAL | HUPCL},
      {2, B19200, IXON | IXOFF, CLOCAL | HUPCL | CSTOPB},
      {3, B57600, 0, CLOCAL | HUPCL | CRTSCTS | PARODD},
  };
  for (const auto& c : kCases) {
    termios t{};
    ASSERT_EQ(tcgetattr(pty_.Slave(), &t), 0);
    t.c_iflag = ~c.Iflag;
    t.c_oflag = ~tcflag_t{0};
    t.c_lflag = ~tcflag_t{0};
    t.c_cflag = (t.c_cflag & ~kAsked) | (kAsked & ~c.Cflag);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 5;
    ASSERT_EQ(tcsetattr(pty_.Slave(), TCSANOW, &t), 0);
    TlfChannel channel = tlf_InitComm(2, c.Receiver);
    ASSERT_NE(channel, nullptr) << c.Receiver;
    ASSERT_EQ(tcgetattr(pty_.Slave(), &t), 0);
    tlf_CloseComm(channel);
    SCOPED_TRACE(c.Receiver);
    EXPECT_EQ(t.c_iflag, c.Iflag) << std::hex << (t.c_iflag ^ c.Iflag);
    EXPECT_EQ(t.c_oflag, 0u) << std::hex << t.c_oflag;
    EXPECT_EQ(t.c_lflag, 0u) << std::hex << t.c_lflag;
    EXPECT_EQ(t.c_cflag & kAsked, c.Cflag) << std::hex << ((t.c_cflag & kAsked) ^ c.Cflag);
    EXPECT_EQ(cfgetospeed(&t), c.Speed);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
  }
}

TEST_F(Port, NonStandardSpeedWhereTheDriverTakesIt) {
  dir_.Write("Rn.ini", "[RecNr1]\nBaud=12345\n");
  dir_.Link(2, pty_.SlavePath());
  TlfChannel c = tlf_InitComm(2, 1);
  ASSERT_NE(c, nullptr);
  uint32_t speed = platform::posix::ReadArbitrarySpeed(pty_.Slave());
  if (speed == 0) GTEST_SKIP() << "no arbitrary speeds here";
  EXPECT_EQ(speed, 12345u);
  tlf_CloseComm(c);
}

// Counts the worker's waits on a real port.
class CountingPort final : public platform::SerialPort {
 public:
  CountingPort(std::unique_ptr<platform::SerialPort> inner, std::atomic<int>& waits)
      : in_(std::move(inner)), waits_(waits) {}
  bool Configure(const platform::LineSettings& s) override { return in_->Configure(s); }
  bool WatchFrameEnd() override { return in_->WatchFrameEnd(); }
  platform::PortWait WaitFrameEnd(platform::Event& stop, uint32_t ms) override {
    ++waits_;
    return in_->WaitFrameEnd(stop, ms);
  }
  uint32_t QueryStatus(bool& o) override { return in_->QueryStatus(o); }
  size_t Read(char* b, size_t n) override { return in_->Read(b, n); }
  void PurgeInput() override { in_->PurgeInput(); }
  void WriteByte(char b) override { in_->WriteByte(b); }
  void Close() override { in_->Close(); }

 private:
  std::unique_ptr<platform::SerialPort> in_;
  std::atomic<int>& waits_;
};

// A device that goes away (an adapter pulled) leaves the worker asleep, not
// spinning, and the channel still closes at once.
TEST_F(Port, VanishedDeviceNeitherSpinsNorHoldsUpClose) {
  dir_.Link(2, pty_.SlavePath());
  std::atomic<int> waits{0};
  auto port = std::make_unique<CountingPort>(platform::OpenSerialPort(2), waits);
  auto channel = TCommThread::Open(std::move(port), 1, {20000, 1000});
  ASSERT_TRUE(channel);
  pty_.Send("5011 181234E13001001\x14");
  TlfMsg m{};
  for (int i = 0; i < 5000 && !channel->GetMsg(m); ++i) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(pty_.Receive(2000, 1), "\x06");
  pty_.CloseMaster();
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  std::this_thread::sleep_for(500ms);
  getrusage(RUSAGE_SELF, &after);
  EXPECT_LE(waits.load(), 5) << "the worker keeps waking up";
  auto cpuMs = [](const rusage& r) {
    return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000 + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1000;
  };
  EXPECT_LT(cpuMs(after) - cpuMs(before), 250) << "CPU burnt while idle";
  const uint64_t start = platform::MonotonicMs();
  channel->Close();
  EXPECT_LT(platform::MonotonicMs() - start, 10000u) << "close waited out the 20 s interval";
}

TEST_F(Port, CloseDuringPickupWaitEndsWhenTheWaitRunsOut) {
  dir_.Link(2, pty_.SlavePath());
  auto channel = TCommThread::Open(platform::OpenSerialPort(2), 1, {2000, 300});
  ASSERT_TRUE(channel);
  pty_.Send("5011 181234E13001001\x14");
  std::this_thread::sleep_for(100ms);
  channel->Close();
  EXPECT_EQ(pty_.Receive(100), "") << "never taken, never acknowledged";
  EXPECT_NE(platform::OpenSerialPort(2), nullptr) << "the port was closed";
}

// Every open/close releases all it took: descriptors and threads here,
// memory under LeakSanitizer.
TEST_F(Port, ThousandOpenCloseCyclesLeaveNothingBehind) {
  dir_.Write("Rn.ini", "[RecNr1]\nBaud=9600\n");
  dir_.Link(2, pty_.SlavePath());
  // One cycle first: what a process sets up once on its first thread (a
  // sanitizer's own thread, say) is no growth.
  tlf_CloseComm(tlf_InitComm(2, 1));
  const size_t fds = test::OpenFdCount();
  const size_t threads = test::ThreadCount();
  for (int i = 0; i < 1000; ++i) {
    TlfChannel c = tlf_InitComm(2, 1);
    ASSERT_NE(c, nullptr) << "cycle " << i;
    tlf_CloseComm(c);
  }
  EXPECT_EQ(test::OpenFdCount(), fds);
  EXPECT_EQ(test::ThreadCount(), threads);
}

}  // namespace
}  // namespace kvarn
