#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>

#include "platform/profile.h"
#include "platform/profile_parser.h"
#include "support/work_dir.h"

namespace kvarn::platform {
namespace {

// One table of awkward settings files, read through the platform's own
// reader: the POSIX one natively and the Windows one (GetPrivateProfileStringA)
// under Wine, with the same answers. A missing key reads as "".
struct FileCase {
  const char* name;
  std::string text;
  const char* section;
  const char* key;
  std::string value;
};

void PrintTo(const FileCase& c, std::ostream* os) { *os << c.name; }

class ProfileFile : public ::testing::TestWithParam<FileCase> {
 protected:
  test::WorkDir dir_{"kvarn_profile_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                     std::to_string(std::hash<std::string>{}(GetParam().name))};
};

TEST_P(ProfileFile, ReadsAsTheWindowsReader) {
  const FileCase& c = GetParam();
  std::ofstream(dir_.Path() / "Rn.ini", std::ios::binary) << c.text;
  EXPECT_EQ(platform::ReadProfileString("Rn.ini", c.section, c.key), c.value) << c.name;
}

const std::string kV2047(2047, 'v'), kV2048(2048, 'v');
using namespace std::string_literals;

INSTANTIATE_TEST_SUITE_P(
    Awkward, ProfileFile,
    ::testing::Values(
        FileCase{"plain", "[RecNr1]\r\nBaud=9600\r\n", "RecNr1", "Baud", "9600"},
        FileCase{"LF only", "[RecNr1]\nBaud=9600\n", "RecNr1", "Baud", "9600"},
        FileCase{"no line end", "[RecNr1]\nBaud=9600", "RecNr1", "Baud", "9600"},
        FileCase{"CR only", "[A]\rj=1\rk=2\r", "A", "k", "2"},
        FileCase{"CR CR LF", "[A]\r\r\nk=1\r\r\nj=2\r\r\n", "A", "k", "1"},
        FileCase{"names ignore case", "[recnr1]\nBAUD=1\n", "RecNr1", "Baud", "1"},
        FileCase{"value keeps case", "[A]\nk=MiXed\n", "a", "K", "MiXed"},
        FileCase{"spaces and tabs trimmed", " \t[ A ]\t\n \tk \t=\t v w \t\r\n", "A", "k", "v w"},
        FileCase{"other blanks trimmed", "[A]\nk\v=\f1\x1a\n", "A", "k", "1"},
        FileCase{"double quotes", "[A]\nk=\" v \"\n", "A", "k", " v "},
        FileCase{"single quotes", "[A]\nk= 'v' \n", "A", "k", "v"},
        FileCase{"mismatched quotes stay", "[A]\nk=\"v'\n", "A", "k", "\"v'"},
        FileCase{"mismatched the other way", "[A]\nk='v\"\n", "A", "k", "'v\""},
        FileCase{"one quote stays", "[A]\nk=\"\n", "A", "k", "\""},
        FileCase{"only the outer pair", "[A]\nk=\"\"v\"\"\n", "A", "k", "\"v\""},
        FileCase{"semicolon lines", "[A]\n;k=1\n  ; k=2\nk=3\n", "A", "k", "3"},
        FileCase{"a semicolon line is a key", "[A]\n;k=1\n", "A", ";k", "1"},
        FileCase{"hash is no comment", "[A]\n#k=1\nk=2\n", "A", "#k", "1"},
        FileCase{"comment after a value stays", "[A]\nk=v ;x\n", "A", "k", "v ;x"},
        FileCase{"byte-order mark", "\xEF\xBB\xBF[A]\nk=1\n", "A", "k", "1"},
        FileCase{"NUL ends the value", "[A]\nk=12\0zz\n"s, "A", "k", "12"},
        FileCase{"value of 2047", "[A]\nk=" + kV2047 + "\n", "A", "k", kV2047},
        FileCase{"value of 2048 is cut", "[A]\nk=" + kV2048 + "\n", "A", "k", kV2047},
        FileCase{"text after ] ignored", "[A] junk\nk=1\n", "A", "k", "1"},
        FileCase{"name runs to the last ]", "[A]B]\nk=1\n", "A]B", "k", "1"},
        FileCase{"so not to the first", "[A]B]\nk=1\n", "A", "k", ""},
        FileCase{"section line without ]", "[A\nk=1\n", "A", "k", ""},
        FileCase{"which does not end a section", "[B]\n[A\nk=1\n", "B", "k", "1"},
        FileCase{"lines before the first section", "k=0\n[A]\nk=1\n", "A", "k", "1"},
        FileCase{"key only before sections", "k=0\n[B]\n", "A", "k", ""},
        FileCase{"first key wins", "[A]\nk=1\nk=2\n", "A", "k", "1"},
        FileCase{"key line without =", "[A]\nk\n", "A", "k", ""},
        FileCase{"which hides a later value", "[A]\nk\nk=5\n", "A", "k", ""},
        FileCase{"same section twice", "[A]\nx=1\n[B]\n[a]\nk=2\n", "A", "k", ""},
        FileCase{"other section", "[A]\nk=1\n[B]\nk=2\n", "B", "k", "2"},
        FileCase{"missing key", "[A]\nk=1\n", "A", "j", ""},
        FileCase{"missing section", "[A]\nk=1\n", "C", "k", ""},
        FileCase{"empty value", "[A]\nk=\nk=1\n", "A", "k", ""},
        FileCase{"equals in value", "[A]\nk=a=b\n", "A", "k", "a=b"},
        FileCase{"empty file", "", "A", "k", ""},
        FileCase{"prefix is no match", "[RecNr1]\nBaudRate=1\n", "RecNr1", "Baud", ""},
        FileCase{"RecNr1 is not RecNr10", "[RecNr10]\nk=1\n", "RecNr1", "k", ""}));

// The parser reads whatever lies in the file: random bytes, with and without
// brackets and line ends sprinkled in, never crash it or leave the text.
TEST(ProfileParser, SurvivesBinaryJunk) {
  std::mt19937 rng(7);
  const char alphabet[] = {'[', ']', '=', '\n', '\r', ';', '"', '\'', ' ', '\t', 'k', 'A', '\0', '\xff'};
  for (int round = 0; round < 2000; ++round) {
    std::string text(rng() % 200, '\0');
    for (char& c : text)
      c = (rng() % 2) ? alphabet[rng() % sizeof alphabet] : static_cast<char>(rng() % 256);
    auto v = FindProfileValue(text, "A", "k");
    if (v) {
      EXPECT_LE(v->size(), text.size());
    }
  }
}

}  // namespace
}  // namespace kvarn::platform
