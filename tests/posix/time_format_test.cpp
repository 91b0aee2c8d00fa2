#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "link/time_text.h"
#include "link/traffic_log.h"
#include "platform/time_format.h"
#include "pty_support.h"

namespace kvarn {
namespace {

// A host under the C locale (or one that never sets a locale) logs 24-hour
// times with leading zeros.
TEST(ReadTimeFormat, CLocaleGivesTwentyFourHours) {
  const std::string saved = std::setlocale(LC_TIME, nullptr);
  for (const char* name : {"C", "C.UTF-8"}) {
    if (!std::setlocale(LC_TIME, name)) continue;
    TlfSystemTime t{};
    t.wHour = 14;
    t.wMinute = 3;
    t.wSecond = 27;
    EXPECT_EQ(TimeText(t, platform::ReadTimeFormat()), "14:03:27") << name;
    t.wHour = 0;
    EXPECT_EQ(TimeText(t, platform::ReadTimeFormat()), "00:03:27") << name;
  }
  std::setlocale(LC_TIME, saved.c_str());
}

// Builds, under ./locales, a locale "twelve" with only a 12-hour time format
// ("02.03.27 PM"), from sources of our own: the C library's tools are all it
// needs. False where they cannot.
bool MakeTwelveHourLocale() {
  std::ofstream("charmap") << "<code_set_name> TINY\nCHARMAP\n<U0020> /x20 SPACE\nEND CHARMAP\n";
  std::ofstream("twelve") << "LC_TIME\nt_fmt \"%I.%M.%S %p\"\nt_fmt_ampm \"%I.%M.%S %p\"\n"
                             "am_pm \"AM\";\"PM\"\nEND LC_TIME\n";
  std::filesystem::create_directory("locales");
  // localedef warns about the categories left out and writes LC_TIME anyway.
  [[maybe_unused]] int rc =
      std::system("localedef -c -f ./charmap -i ./twelve ./locales/twelve >/dev/null 2>&1");
  return std::filesystem::exists("locales/twelve/LC_TIME");
}

// A host may set its locale after loading the library: the time format is
// read at the first frame logged, and a heartbeat before it (never logged)
// does not fix it. Runs in a process of its own, where nothing has read the
// format yet.
TEST(RegionalTimeFormatDeathTest, ReadAtTheFirstLoggedFrameNotAtAHeartbeat) {
  test::ScratchDir dir;
  if (!MakeTwelveHourLocale()) GTEST_SKIP() << "localedef cannot build a locale here";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::filesystem::create_directory("Tlflog");
        std::setlocale(LC_TIME, "C");
        LogFrame("1010           @    ");
        setenv("LOCPATH", (dir.Path() / "locales").c_str(), 1);
        if (!std::setlocale(LC_TIME, "twelve")) std::_Exit(2);
        LogFrame("5011 181234E13001001");
        std::filesystem::directory_iterator files("Tlflog");
        std::ifstream in(files->path(), std::ios::binary);
        const std::string line(std::istreambuf_iterator<char>(in), {});
        const bool twelveHour =
            std::regex_match(line, std::regex("[0-9]{2}\\.[0-9]{2}\\.[0-9]{2} (AM|PM) 5011 181234E13001001\r\n"));
        std::fprintf(stderr, "logged: %s", line.c_str());
        std::_Exit(twelveHour ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace kvarn
