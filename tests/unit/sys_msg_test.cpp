// Status lines: which lines mark a receiver line, which set or clear a status
// bit, and that everything else the host keeps is left alone.
#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "kvarn_rcvr.h"

namespace {

constexpr unsigned int kHostBitsA = 0x00000000u;
constexpr unsigned int kHostBitsB = 0xFFFFFFFFu;
constexpr unsigned int kHostBitsC = 0x5A5A5ADAu;  // 0x08 set; of ours 0x02, 0x10 set
constexpr unsigned char kUntouched = 0x11;
constexpr size_t kGuard = 14;  // first byte past the 14 marks

// The host's side of one call: its bits, a mark array with guard bytes after
// entry 13, and an info value that must become 16.
struct HostState {
  unsigned int bits;
  std::array<unsigned char, 18> marks;
  int info = -1;

  explicit HostState(unsigned int b) : bits(b) { marks.fill(kUntouched); }

  void Call(const std::string& line) {
    ASSERT_LE(line.size(), 255u);
    std::vector<unsigned char> text;
    text.push_back(static_cast<unsigned char>(line.size()));
    text.insert(text.end(), line.begin(), line.end());
    tlf_GetSysMsg(0, text.data(), &bits, marks.data(), &info);
  }

  // Like Call, but with `bytes` after a length byte that says only `length`
  // of them are the line: bytes past the length are not text.
  void CallRaw(unsigned char length, const std::string& bytes) {
    std::vector<unsigned char> text{length};
    text.insert(text.end(), bytes.begin(), bytes.end());
    tlf_GetSysMsg(0, text.data(), &bits, marks.data(), &info);
  }

  bool MarksUntouched() const {
    for (unsigned char m : marks)
      if (m != kUntouched) return false;
    return true;
  }
};

std::string Show(const std::string& line) {
  std::string out = "\"";
  for (unsigned char c : line) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out + "\"";
}

// --- marks -----------------------------------------------------------------

struct MarkCase {
  std::string line;
  int entry;  // -1: no mark written
  unsigned char value;
};

TEST(StatusLineMarks, PrefixAndOneHexDigitMarkOneEntry) {
  const std::vector<MarkCase> cases = {
      {"   R E1", 0, 255},    {"   R E9", 8, 255},   {"   R EA", 9, 255},   {"   R Ea", 9, 255},
      {"   R EE", 13, 255},   {"   R Ee", 13, 255},  {"   R E0", -1, 0},    {"   R EF", -1, 0},
      {"   R Ef", -1, 0},     {"   R EX", -1, 0},    {"   R E ", -1, 0},    {"   R E", -1, 0},
      {"   R EG", -1, 0},     {"   R E\xFF", -1, 0}, {"   R E\x01", -1, 0},
      {"   A F1", 0, 254},    {"   A F5", 4, 254},   {"   A F9", 8, 254},   {"   A FA", 9, 254},
      {"   A Fa", 9, 254},    {"   A FE", 13, 254},  {"   A Fe", 13, 254},  {"   A F0", -1, 0},
      {"   A FF", -1, 0},     {"   A Ff", -1, 0},    {"   A FX", -1, 0},    {"   A F ", -1, 0},
      {"   A F", -1, 0},
      // Only position 7 is read.
      {"   R E3xyz", 2, 255}, {"   R E10", 0, 255},  {"   A FC   R 04", 11, 254},
      {"   R EX1", -1, 0},    {"   A F 5", -1, 0},
      // The prefix is exact and case-sensitive.
      {"  R E1", -1, 0},      {"    R E1", -1, 0},   {"   r e1", -1, 0},   {"   R e1", -1, 0},
      {"   A f5", -1, 0},     {"   R F1", -1, 0},    {"   A E1", -1, 0},   {"   RE1", -1, 0},
      {"\r   R E1", -1, 0},
  };
  for (const unsigned int start : {kHostBitsA, kHostBitsB, kHostBitsC}) {
    for (const MarkCase& c : cases) {
      SCOPED_TRACE(Show(c.line));
      HostState host(start);
      host.Call(c.line);
      EXPECT_EQ(host.info, 16);
      EXPECT_EQ(host.bits, start) << "a mark line never touches the bits";
      for (size_t i = 0; i < host.marks.size(); ++i) {
        const unsigned char want = static_cast<int>(i) == c.entry ? c.value : kUntouched;
        EXPECT_EQ(host.marks[i], want) << "entry " << i;
      }
    }
  }
}

// Every byte at position 7 after either prefix: at most one entry in 0..13,
// only 255 or 254, never the guard bytes, only for a hex digit.
TEST(StatusLineMarks, NoByteAtPositionSevenWritesOutsideTheMarks) {
  for (const char* prefix : {"   R E", "   A F"}) {
    for (int b = 0; b < 256; ++b) {
      const std::string line = std::string(prefix) + static_cast<char>(b);
      SCOPED_TRACE(Show(line));
      HostState host(kHostBitsC);
      host.Call(line);
      int written = 0;
      for (size_t i = 0; i < host.marks.size(); ++i) {
        if (host.marks[i] == kUntouched) continue;
        ++written;
        EXPECT_LT(i, kGuard);
        EXPECT_EQ(host.marks[i], prefix[3] == 'R' ? 255 : 254);
      }
      const bool isHex = std::isxdigit(b) && b != '0' && b != 'F' && b != 'f';
      EXPECT_EQ(written, isHex ? 1 : 0);
      EXPECT_EQ(host.bits, kHostBitsC);
      EXPECT_EQ(host.info, 16);
    }
  }
}

TEST(StatusLineMarks, StayUntilTheHostOverwritesThem) {
  HostState host(kHostBitsA);
  host.Call("   R E2");
  host.Call("   A F5");
  host.Call("   R E5");  // a later mark replaces the earlier one
  host.Call("   A 03");
  host.Call("   R E0");
  host.Call("");
  EXPECT_EQ(host.marks[1], 255);
  EXPECT_EQ(host.marks[4], 255);
  EXPECT_EQ(host.marks[0], kUntouched);
  EXPECT_EQ(host.marks[kGuard], kUntouched);
}

// --- bits ------------------------------------------------------------------

struct BitCase {
  std::string line;
  unsigned int bit;
  bool set;
};

const std::vector<BitCase>& BitTable() {
  static const std::vector<BitCase> table = {
      {"   A 03", 0x01, true},  {"   R 04", 0x01, false}, {"   A 11", 0x02, true},  {"   R 12", 0x02, false},
      {"   A 17", 0x04, true},  {"   R 18", 0x04, false}, {"   A 07", 0x10, true},  {"   R 08", 0x10, false},
      {"   A 15", 0x20, true},  {"   R 16", 0x20, false},
  };
  return table;
}

// Exact results from three host values: the one bit moves, 0x08 and every
// bit above 0x20 stay.
TEST(StatusLineBits, TheTenLinesSetOrClearOneBitEach) {
  for (const BitCase& c : BitTable()) {
    for (const unsigned int start : {kHostBitsA, kHostBitsB, kHostBitsC}) {
      SCOPED_TRACE(Show(c.line) + " from " + std::to_string(start));
      HostState host(start);
      host.Call(c.line);
      EXPECT_EQ(host.bits, c.set ? (start | c.bit) : (start & ~c.bit));
      EXPECT_TRUE(host.MarksUntouched());
      EXPECT_EQ(host.info, 16);
    }
  }
}

TEST(StatusLineBits, NearMissesChangeNothing) {
  std::vector<std::string> lines;
  for (const BitCase& c : BitTable()) {
    const std::string& t = c.line;
    std::string lower = t;
    lower[3] = static_cast<char>(lower[3] + ('a' - 'A'));
    lines.push_back(t + " ");
    lines.push_back(t + "\r");
    lines.push_back(t + "0");
    lines.push_back(lower);
    lines.push_back(t.substr(1));  // two leading spaces
    lines.push_back(" " + t);      // four leading spaces
    lines.push_back(t.substr(0, 6));
    lines.push_back(std::string(t, 0, 4) + t.substr(5));  // no space before the digits
    lines.push_back(t + std::string(1, '\0'));
  }
  lines.push_back("");
  lines.push_back("   A 3");
  lines.push_back("   A 003");
  lines.push_back("   X 03");
  for (const std::string& line : lines) {
    for (const unsigned int start : {kHostBitsA, kHostBitsB, kHostBitsC}) {
      SCOPED_TRACE(Show(line));
      HostState host(start);
      host.Call(line);
      EXPECT_EQ(host.bits, start);
      EXPECT_TRUE(host.MarksUntouched());
      EXPECT_EQ(host.info, 16);
    }
  }
}

// All 200 lines of the table's shape: exactly the ten act, each on its own bit.
TEST(StatusLineBits, OnlyTheTenLinesOfTheirShapeAct) {
  for (const char letter : {'A', 'R'}) {
    for (int n = 0; n < 100; ++n) {
      char text[8];
      std::snprintf(text, sizeof text, "   %c %02d", letter, n);
      const std::string line = text;
      const BitCase* rule = nullptr;
      for (const BitCase& c : BitTable())
        if (c.line == line) rule = &c;
      HostState host(kHostBitsC);
      host.Call(line);
      const unsigned int want = !rule ? kHostBitsC : rule->set ? (kHostBitsC | rule->bit) : (kHostBitsC & ~rule->bit);
      EXPECT_EQ(host.bits, want) << Show(line);
    }
  }
}

// --- the length byte --------------------------------------------------------

TEST(StatusLineLength, OnlyTheCountedCharactersAreTheLine) {
  HostState host(kHostBitsC);
  host.CallRaw(0, "   A 03");
  host.CallRaw(6, "   R E1");
  host.CallRaw(6, "   A 03");
  host.CallRaw(8, std::string("   A 03") + '\0');
  EXPECT_EQ(host.bits, kHostBitsC);
  EXPECT_TRUE(host.MarksUntouched());
  EXPECT_EQ(host.info, 16);

  host.CallRaw(7, "   A 03 and more");
  EXPECT_EQ(host.bits, kHostBitsC | 0x01u);
}

TEST(StatusLineLength, EmptyLineStoresOnlyInfo) {
  HostState host(kHostBitsC);
  host.Call("");
  EXPECT_EQ(host.info, 16);
  EXPECT_EQ(host.bits, kHostBitsC);
  EXPECT_TRUE(host.MarksUntouched());
}

}  // namespace
