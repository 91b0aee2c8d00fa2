// The status-line interpreter on any line the host could hand over. Input:
// four bytes of status bits as the host holds them, then the line (up to 255
// characters). The line sits in a buffer of exactly its size, so a read past
// its length is caught by AddressSanitizer; the mark array has guard bytes on
// both sides. The outcome is compared with the rules worked out here: one
// mark of 255 or 254 in entries 0-13, or one of five bits set or cleared.
#include <bit>
#include <cstring>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "kvarn_rcvr.h"

namespace kvarn::fuzz {
namespace {

constexpr size_t kGuard = 16;
constexpr size_t kMarks = 14;
constexpr unsigned char kGuardByte = 0xC3;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  const char upper = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
  return (upper >= 'A' && upper <= 'F') ? upper - 'A' + 10 : -1;
}

struct Expected {
  unsigned int Bits;
  int MarkIndex = -1;
  unsigned char Mark = 0;
};

Expected Interpret(std::string_view line, unsigned int bits) {
  Expected e{bits};
  const bool mark255 = line.substr(0, 6) == "   R E";
  const bool mark254 = line.substr(0, 6) == "   A F";
  if (mark255 || mark254) {
    const int v = line.size() > 6 ? HexValue(line[6]) : -1;
    if (v >= 1 && v <= 14) {
      e.MarkIndex = v - 1;
      e.Mark = mark255 ? 255 : 254;
    }
    return e;
  }
  static constexpr struct {
    const char* Code;  // the two digits after "   A " or "   R "
    unsigned int Bit;
  } kBits[] = {{"03", 0x01}, {"04", 0x01}, {"11", 0x02}, {"12", 0x02}, {"17", 0x04},
               {"18", 0x04}, {"07", 0x10}, {"08", 0x10}, {"15", 0x20}, {"16", 0x20}};
  if (line.size() != 7 || line.substr(0, 3) != "   " || line[4] != ' ') return e;
  for (size_t i = 0; i < std::size(kBits); ++i) {
    const bool setter = i % 2 == 0;
    if (line[3] != (setter ? 'A' : 'R') || line.substr(5) != kBits[i].Code) continue;
    e.Bits = setter ? (bits | kBits[i].Bit) : (bits & ~kBits[i].Bit);
    break;
  }
  return e;
}

}  // namespace
}  // namespace kvarn::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kvarn::fuzz;
  ByteReader in(data, size);
  unsigned int bits = 0;
  for (int i = 0; i < 4; ++i) bits = (bits << 8) | in.Byte();
  const std::string_view line = in.Text(255);

  std::vector<unsigned char> status(1 + line.size());
  status[0] = static_cast<unsigned char>(line.size());
  std::memcpy(status.data() + 1, line.data(), line.size());
  const std::vector<unsigned char> statusBefore = status;

  unsigned char marks[kGuard + kMarks + kGuard];
  std::memset(marks, kGuardByte, sizeof marks);
  for (size_t i = 0; i < kMarks; ++i) marks[kGuard + i] = static_cast<unsigned char>(i);
  unsigned char expectedMarks[sizeof marks];
  std::memcpy(expectedMarks, marks, sizeof marks);

  unsigned int statusBits = bits;
  int info = -1;
  tlf_GetSysMsg(0x7777, status.data(), &statusBits, marks + kGuard, &info);

  const Expected e = Interpret(line, bits);
  if (e.MarkIndex >= 0) expectedMarks[kGuard + static_cast<size_t>(e.MarkIndex)] = e.Mark;
  FUZZ_CHECK(info == 16);
  FUZZ_CHECK(status == statusBefore);
  FUZZ_CHECK(statusBits == e.Bits);
  FUZZ_CHECK(((statusBits ^ bits) & ~0x37u) == 0);
  FUZZ_CHECK(std::popcount(statusBits ^ bits) <= 1);
  FUZZ_CHECK(std::memcmp(marks, expectedMarks, sizeof marks) == 0);
  return 0;
}
