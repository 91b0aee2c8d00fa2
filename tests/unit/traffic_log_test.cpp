#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "link/traffic_log.h"
#include "platform/log_file.h"

namespace kvarn {
namespace {

namespace fs = std::filesystem;

TlfSystemTime Local(unsigned short year, unsigned short month, unsigned short day,
                    unsigned short hour = 14, unsigned short minute = 3, unsigned short second = 27) {
  TlfSystemTime t{};
  t.wYear = year;
  t.wMonth = month;
  t.wDay = day;
  t.wHour = hour;
  t.wMinute = minute;
  t.wSecond = second;
  return t;
}

std::string InLogDir(const std::string& base) {
  const char sep = platform::PathSeparator();
  return std::string(".") + sep + "Tlflog" + sep + base;
}

struct NameCase {
  unsigned short year, month, day;
  const char* base;
};

class LogFileNameTable : public ::testing::TestWithParam<NameCase> {};

TEST_P(LogFileNameTable, NamesTheTenDayPeriod) {
  const NameCase& c = GetParam();
  EXPECT_EQ(LogFileName(Local(c.year, c.month, c.day)), InLogDir(c.base));
}

INSTANTIATE_TEST_SUITE_P(
    PeriodEdges, LogFileNameTable,
    ::testing::Values(NameCase{2009, 3, 5, "200903_1.tlg"}, NameCase{2009, 11, 30, "200911_4.tlg"},
                      NameCase{2009, 9, 1, "200909_1.tlg"}, NameCase{2009, 9, 9, "200909_1.tlg"},
                      NameCase{2009, 9, 10, "200909_2.tlg"}, NameCase{2009, 9, 19, "200909_2.tlg"},
                      NameCase{2009, 9, 20, "200909_3.tlg"}, NameCase{2009, 9, 29, "200909_3.tlg"},
                      NameCase{2009, 9, 30, "200909_4.tlg"}, NameCase{2009, 10, 31, "200910_4.tlg"},
                      NameCase{2026, 1, 1, "202601_1.tlg"}, NameCase{2026, 12, 31, "202612_4.tlg"}));

TEST(LogLine, KeepsTheFrameBytesUnchanged) {
  EXPECT_EQ(LogLine("14:03:27", std::string("a\r\nb\0c", 6)), std::string("14:03:27 a\r\nb\0c\r\n", 17));
}

TEST(LogLine, CutsTheTextButNeverTheLineEnd) {
  const std::string frame(249, 'F');
  const std::string line = LogLine("14:03:27", frame);
  ASSERT_EQ(line.size(), 255u);
  EXPECT_EQ(line, "14:03:27 " + std::string(244, 'F') + "\r\n");
  // A line that just fits is not cut.
  EXPECT_EQ(LogLine("14:03:27", std::string(244, 'F')), line);
  EXPECT_EQ(LogLine("14:03:27", std::string(243, 'F')).size(), 254u);
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Each test runs in a fresh, empty current directory.
class TrafficLogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    FHome = fs::current_path();
    static std::atomic<unsigned> serial{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    FDir = fs::temp_directory_path() /
           ("kvarn_log_" + std::to_string(stamp) + "_" + std::to_string(serial++));
    fs::create_directories(FDir);
    fs::current_path(FDir);
  }
  void TearDown() override {
    fs::current_path(FHome);
    std::error_code ignored;
    fs::remove_all(FDir, ignored);
  }

  static void MakeLogDir() { fs::create_directory("Tlflog"); }

  // A clock stopped at `t`, the 24-hour format with leading zeros and the real file.
  LogEnv EnvAt(TlfSystemTime t) {
    return LogEnv{[t] { return t; }, FFormat24, platform::AppendFile::OpenOrCreate};
  }

  static platform::TimeFormat Format24() {
    platform::TimeFormat f;
    f.LeadingZero = true;
    f.TwelveHour = false;
    return f;
  }

  fs::path FHome, FDir;
  const platform::TimeFormat FFormat24 = Format24();
};

TEST_F(TrafficLogFile, CreatedOnTheFirstFrameAndAppendedAfterwards) {
  MakeLogDir();
  const fs::path file = fs::path("Tlflog") / "200903_1.tlg";
  ASSERT_FALSE(fs::exists(file));
  LogFrameWith("1234 18 E130 01 015", EnvAt(Local(2009, 3, 5, 14, 3, 27)));
  EXPECT_EQ(ReadAll(file), "14:03:27 1234 18 E130 01 015\r\n");
  LogFrameWith("B\r\n2", EnvAt(Local(2009, 3, 9, 8, 0, 1)));
  EXPECT_EQ(ReadAll(file), "14:03:27 1234 18 E130 01 015\r\n08:00:01 B\r\n2\r\n");
  // The next period starts a new file.
  LogFrameWith("C", EnvAt(Local(2009, 3, 10, 0, 0, 0)));
  EXPECT_EQ(ReadAll(fs::path("Tlflog") / "200903_2.tlg"), "00:00:00 C\r\n");
}

TEST_F(TrafficLogFile, MissingDirectoryWritesNothingAnywhere) {
  LogFrameWith("1234 18 E130 01 015", EnvAt(Local(2009, 3, 5)));
  LogFrame("1234 18 E130 01 015");
  EXPECT_TRUE(fs::is_empty(FDir));
}

TEST_F(TrafficLogFile, LogFrameWritesIntoTheFileOfToday) {
  MakeLogDir();
  LogFrame("1234 18 E130 01 015");
  std::vector<fs::path> files(fs::directory_iterator("Tlflog"), fs::directory_iterator{});
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].extension(), ".tlg");
  const std::string text = ReadAll(files[0]);
  EXPECT_TRUE(text.ends_with(" 1234 18 E130 01 015\r\n")) << text;
  EXPECT_EQ(text.find("\r\n"), text.size() - 2);
}

TEST_F(TrafficLogFile, HeartbeatsOpenNoFile) {
  MakeLogDir();
  int opens = 0;
  LogEnv env = EnvAt(Local(2009, 3, 5));
  env.Open = [&opens](const std::string& name) {
    ++opens;
    return platform::AppendFile::OpenOrCreate(name);
  };
  for (const char* frame : {"@", "1234@", "@1234", "12@34"}) LogFrameWith(frame, env);
  LogFrame("1234 @");
  EXPECT_EQ(opens, 0);
  EXPECT_TRUE(fs::is_empty("Tlflog"));
}

TEST_F(TrafficLogFile, DateIsReadBeforeTheTime) {
  MakeLogDir();
  const TlfSystemTime reads[] = {Local(2009, 3, 9, 23, 59, 59), Local(2009, 3, 10, 0, 0, 0)};
  int next = 0;
  LogEnv env = EnvAt(reads[0]);
  env.LocalNow = [&] { return reads[next++ % 2]; };
  LogFrameWith("midnight", env);
  EXPECT_EQ(ReadAll(fs::path("Tlflog") / "200903_1.tlg"), "00:00:00 midnight\r\n");
}

TEST_F(TrafficLogFile, ExistingLogSurvivesAFailedOpenAndIsAppendedTo) {
  MakeLogDir();
  const fs::path file = fs::path("Tlflog") / "200903_1.tlg";
  { std::ofstream(file, std::ios::binary) << "10:00:00 earlier\r\n"; }
  bool failNext = true;
  LogEnv env = EnvAt(Local(2009, 3, 5, 11, 0, 0));
  env.Open = [&failNext](const std::string& name) {
    // Busy for a moment, as when a reader holds it without sharing.
    if (std::exchange(failNext, false)) return platform::AppendFile();
    return platform::AppendFile::OpenOrCreate(name);
  };
  LogFrameWith("lost", env);
  EXPECT_EQ(ReadAll(file), "10:00:00 earlier\r\n");
  LogFrameWith("kept", env);
  EXPECT_EQ(ReadAll(file), "10:00:00 earlier\r\n11:00:00 kept\r\n");
}

// Several channels logging at once into one file: every line arrives whole.
TEST_F(TrafficLogFile, ConcurrentAppendsNeverInterleave) {
  MakeLogDir();
  constexpr int kThreads = 4, kFrames = 250;
  auto frameOf = [](int thread, int n) {
    // Lengths vary up to the longest frame, so some lines are cut.
    std::string frame(1, 'T');
    frame.append(std::to_string(thread));
    frame.append(" N").append(std::to_string(n)).append(1, ' ');
    return frame.append(static_cast<size_t>((n * 37 + thread * 11) % 240), char('a' + thread));
  };
  const LogEnv env = EnvAt(Local(2009, 3, 5, 14, 3, 27));
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Start together, so the appends really overlap.
      for (++ready; ready < kThreads;) std::this_thread::yield();
      for (int n = 0; n < kFrames; ++n) LogFrameWith(frameOf(t, n), env);
    });
  }
  for (std::thread& th : threads) th.join();

  const std::string text = ReadAll(fs::path("Tlflog") / "200903_1.tlg");
  std::vector<int> nextOf(kThreads, 0);
  size_t lines = 0;
  for (size_t start = 0; start < text.size(); ++lines) {
    const size_t end = text.find("\r\n", start);
    ASSERT_NE(end, std::string::npos) << "unterminated line at " << start;
    const std::string line = text.substr(start, end + 2 - start);
    start = end + 2;
    ASSERT_GE(line.size(), 11u) << line;
    const int t = line[10] - '0';
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    // Each thread's frames arrive in its order, each line exactly as built.
    EXPECT_EQ(line, LogLine("14:03:27", frameOf(t, nextOf[t]++)));
  }
  EXPECT_EQ(lines, size_t{kThreads * kFrames});
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(nextOf[t], kFrames) << "thread " << t;
}

}  // namespace
}  // namespace kvarn
