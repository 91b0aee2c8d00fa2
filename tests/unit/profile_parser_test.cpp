#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>

#include "platform/profile_parser.h"

namespace kvarn {
namespace {

struct LookupCase {
  const char* name;
  std::string text;
  const char* section;
  const char* key;
  std::optional<std::string> value;
};

class ProfileLookup : public ::testing::TestWithParam<LookupCase> {};

TEST_P(ProfileLookup, FindsWhatTheWindowsReaderFinds) {
  const LookupCase& c = GetParam();
  EXPECT_EQ(FindProfileValue(c.text, c.section, c.key), c.value) << c.name;
}

const std::string kLong(3000, 'v');

INSTANTIATE_TEST_SUITE_P(
    Rules, ProfileLookup,
    ::testing::Values(
        LookupCase{"plain", "[RecNr1]\r\nBaud=9600\r\n", "RecNr1", "Baud", "9600"},
        LookupCase{"LF only", "[RecNr1]\nBaud=9600\n", "RecNr1", "Baud", "9600"},
        LookupCase{"no line end", "[RecNr1]\nBaud=9600", "RecNr1", "Baud", "9600"},
        LookupCase{"names ignore case", "[recnr1]\nBAUD=1\n", "RecNr1", "Baud", "1"},
        LookupCase{"value keeps case", "[A]\nk=MiXed\n", "a", "K", "MiXed"},
        LookupCase{"spaces and tabs trimmed", " \t[ A ]\t\n \tk \t=\t v w \t\r\n", "A", "k", "v w"},
        LookupCase{"double quotes", "[A]\nk=\" v \"\n", "A", "k", " v "},
        LookupCase{"single quotes", "[A]\nk='v'\n", "A", "k", "v"},
        LookupCase{"mismatched quotes stay", "[A]\nk=\"v'\n", "A", "k", "\"v'"},
        LookupCase{"one quote stays", "[A]\nk=\"\n", "A", "k", "\""},
        LookupCase{"only the outer pair", "[A]\nk=\"\"v\"\"\n", "A", "k", "\"v\""},
        LookupCase{"comment line", "[A]\n;k=1\n  ; k=2\nk=3\n", "A", "k", "3"},
        LookupCase{"no inline comment", "[A]\nk=v ;x\n", "A", "k", "v ;x"},
        LookupCase{"hash is no comment", "[A]\n#k=1\nk=2\n", "A", "#k", "1"},
        LookupCase{"text after ] ignored", "[A] junk\nk=1\n", "A", "k", "1"},
        LookupCase{"name ends at first ]", "[A]B]\nk=1\n", "A", "k", "1"},
        LookupCase{"lines before first section", "k=0\n[A]\nk=1\n", "A", "k", "1"},
        LookupCase{"key only before sections", "k=0\n[B]\n", "A", "k", std::nullopt},
        LookupCase{"first key wins", "[A]\nk=1\nk=2\n", "A", "k", "1"},
        LookupCase{"repeated section ignored", "[A]\nx=1\n[B]\n[A]\nk=2\n", "A", "k", std::nullopt},
        LookupCase{"other section", "[A]\nk=1\n[B]\nk=2\n", "B", "k", "2"},
        LookupCase{"missing key", "[A]\nk=1\n", "A", "j", std::nullopt},
        LookupCase{"missing section", "[A]\nk=1\n", "C", "k", std::nullopt},
        LookupCase{"empty value", "[A]\nk=\n", "A", "k", ""},
        LookupCase{"no equals sign", "[A]\nk\n", "A", "k", ""},
        LookupCase{"equals in value", "[A]\nk=a=b\n", "A", "k", "a=b"},
        LookupCase{"empty text", "", "A", "k", std::nullopt},
        LookupCase{"prefix is no match", "[RecNr1]\nBaudRate=1\n", "RecNr1", "Baud", std::nullopt},
        LookupCase{"RecNr1 is not RecNr10", "[RecNr10]\nk=1\n", "RecNr1", "k", std::nullopt},
        LookupCase{"value cut at 2047", "[A]\nk=" + kLong + "\n", "A", "k", std::string(2047, 'v')}));

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
}  // namespace kvarn
