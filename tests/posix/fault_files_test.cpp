// Files that are not what they should be: the traffic log's directory and
// the settings file. Logging may fail and settings may be unreadable; frames
// are still decoded and acknowledged, and a channel still opens (with the
// default settings when the file cannot be used).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>

#include "fault_rig.h"
#include "link/traffic_log.h"
#include "platform/clock.h"

namespace kvarn {
namespace {

namespace fs = std::filesystem;
using test::FaultRig;
using test::Frame5;
using test::TakeWithin;

struct FileFault {
  const char* Name;
  std::function<void()> Make;
  std::function<void()> Undo = {};  // for what outlives the scratch directory
  friend void PrintTo(const FileFault& f, std::ostream* os) { *os << f.Name; }
};

std::string NameOf(const ::testing::TestParamInfo<FileFault>& info) { return info.param.Name; }

// The log file a frame logged now goes to.
std::string TodaysLog() { return LogFileName(platform::LocalNow()); }

// Two frames, each decoded, taken and acknowledged.
void ExpectFramesGetThrough(FaultRig& rig, TCommThread& channel) {
  for (unsigned account : {0x0101u, 0x0202u}) {
    rig.SendFrame(Frame5(account));
    TlfMsg m{};
    ASSERT_TRUE(TakeWithin(channel, m)) << "account " << account;
    EXPECT_EQ(m.Account, static_cast<int>(account));
    EXPECT_EQ(rig.AcksWithin(2000), 1u);
  }
}

class LogFault : public ::testing::TestWithParam<FileFault> {};

TEST_P(LogFault, FramesAreStillDecodedAndAcknowledged) {
  FaultRig rig;
  GetParam().Make();
  struct Undo {
    const std::function<void()>& Do;
    ~Undo() {
      if (Do) Do();
    }
  } undo{GetParam().Undo};
  auto channel = rig.Open();
  ASSERT_TRUE(channel);
  ExpectFramesGetThrough(rig, *channel);
  channel->Close();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, LogFault,
    ::testing::Values(
        FileFault{"DirectoryMissing", [] {}},
        FileFault{"FileInsteadOfDirectory", [] { std::ofstream("Tlflog") << "not a directory"; }},
        FileFault{"DanglingLink", [] { fs::create_symlink("no/such/place", "Tlflog"); }},
        FileFault{"LogFileIsADirectory",
                  [] {
                    fs::create_directory("Tlflog");
                    fs::create_directory(TodaysLog());
                  }},
        // Every write fails, as on a full disk: the file may grow no more.
        FileFault{"FileMayNotGrow",
                  [] {
                    fs::create_directory("Tlflog");
                    std::ofstream(TodaysLog(), std::ios::binary) << "10:00:00 earlier\r\n";
                    signal(SIGXFSZ, SIG_IGN);
                    rlimit limit{};
                    getrlimit(RLIMIT_FSIZE, &limit);
                    limit.rlim_cur = fs::file_size(TodaysLog());
                    setrlimit(RLIMIT_FSIZE, &limit);
                  },
                  [] {
                    rlimit limit{};
                    getrlimit(RLIMIT_FSIZE, &limit);
                    limit.rlim_cur = limit.rlim_max;
                    setrlimit(RLIMIT_FSIZE, &limit);
                    signal(SIGXFSZ, SIG_DFL);
                  }},
        // Not a regular file: refused.
        FileFault{"LogFileIsADevice",
                  [] {
                    fs::create_directory("Tlflog");
                    fs::create_symlink("/dev/full", TodaysLog());
                  }}),
    NameOf);

// The library never makes the log directory, nor touches what stands there.
TEST(LogFaultEffects, NothingIsCreatedOrOverwritten) {
  FaultRig rig;
  auto channel = rig.Open();
  ASSERT_TRUE(channel);
  ExpectFramesGetThrough(rig, *channel);
  EXPECT_FALSE(fs::exists("Tlflog"));
  std::ofstream("Tlflog") << "not a directory";
  ExpectFramesGetThrough(rig, *channel);
  std::ifstream in("Tlflog");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "not a directory");
}

// Opening a FIFO for writing waits for a reader. The log never opens one;
// a reader that comes late frees a worker that waits, so that the fault
// fails the test instead of hanging it (held open, it also keeps a write from
// raising SIGPIPE).
TEST(LogFaultEffects, FifoAtTheLogsNameIsNeitherWaitedForNorWritten) {
  FaultRig rig;
  fs::create_directory("Tlflog");
  const std::string fifo = TodaysLog();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  auto channel = rig.Open();
  ASSERT_TRUE(channel);
  std::atomic<bool> done{false};
  int reader = -1;
  std::thread rescue([&] {
    for (int i = 0; i < 300 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!done) reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  });
  ExpectFramesGetThrough(rig, *channel);
  const uint64_t start = platform::MonotonicMs();
  channel->Close();
  EXPECT_LT(platform::MonotonicMs() - start, 1000u) << "close waited";
  done = true;
  rescue.join();
  EXPECT_EQ(reader, -1) << "the worker waited in open() for a reader";
  if (reader >= 0) {
    char buf[512];
    EXPECT_LE(read(reader, buf, sizeof buf), 0) << "a frame was written into the FIFO";
    close(reader);
  }
  EXPECT_TRUE(fs::is_fifo(fifo));
}

std::string RandomBytes(size_t n) {
  std::mt19937 random(4711);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(random());
  return s;
}

void WriteIni(const std::string& text) { std::ofstream("Rn.ini", std::ios::binary) << text; }

speed_t PortSpeed(const FaultRig& rig) {
  termios t{};
  tcgetattr(rig.Line.Slave(), &t);
  return cfgetospeed(&t);
}

class SettingsFault : public ::testing::TestWithParam<FileFault> {};

// An unusable settings file gives the defaults (300 baud) and a working channel.
TEST_P(SettingsFault, ChannelOpensWithTheDefaults) {
  FaultRig rig;
  GetParam().Make();
  auto channel = rig.Open();
  ASSERT_TRUE(channel);
  EXPECT_EQ(PortSpeed(rig), B300);
  ExpectFramesGetThrough(rig, *channel);
  channel->Close();
}

const std::string kLong(10000, 'x');

INSTANTIATE_TEST_SUITE_P(
    Faults, SettingsFault,
    ::testing::Values(
        FileFault{"Directory", [] { fs::create_directory("Rn.ini"); }},
        FileFault{"Binary", [] { WriteIni(RandomBytes(8192)); }},
        FileFault{"BinaryInTheSection",
                  [] {
                    static const char raw[] = "\xff\0[RecNr1]\0\nBaud=\xfe\x00" "9600\n";
                    WriteIni(std::string(raw, sizeof raw - 1));
                  }},
        FileFault{"LongValues",
                  [] { WriteIni("[RecNr1]\nBaud=" + std::string(10000, '9') + "\nDataBit=" + kLong + "\n"); }},
        FileFault{"LongSectionName", [] { WriteIni("[" + kLong + "]\nBaud=9600\n"); }},
        FileFault{"LongKeyName", [] { WriteIni("[RecNr1]\n" + kLong + "Baud=9600\n"); }},
        FileFault{"OneHugeLine", [] { WriteIni(std::string(2 << 20, 'a')); }},
        FileFault{"Fifo", [] { mkfifo("Rn.ini", 0600); }},
        FileFault{"EndlessDevice", [] { fs::create_symlink("/dev/zero", "Rn.ini"); }},
        FileFault{"LinkLoop", [] { fs::create_symlink("Rn.ini", "Rn.ini"); }}),
    NameOf);

// The control: a long line does not derail what follows it.
TEST(SettingsFaultControl, KeyAfterALongValueStillApplies) {
  FaultRig rig;
  WriteIni("[RecNr1]\r\nJunk=" + kLong + "\r\nBaud=9600\r\n");
  auto channel = rig.Open();
  ASSERT_TRUE(channel);
  EXPECT_EQ(PortSpeed(rig), B9600);
  ExpectFramesGetThrough(rig, *channel);
}

}  // namespace
}  // namespace kvarn
