// Receiver status lines. The host keeps a 32-bit status-bit set and an array of
// 14 per-line marks and hands us one line at a time; we record the line's
// effect in them. Pure: nothing but the arguments is read or written, so hosts
// may call this with no channel open and from any thread.
#include <string_view>

#include "host/hex_digit.h"
#include "kvarn_rcvr.h"

namespace {

constexpr int kInfoValue = 16;
constexpr int kLineMarkCount = 14;

// A line starting with one of these prefixes marks the receiver line named by
// the single hex digit that follows (1 is entry 0). Only that one character
// is looked at; whatever comes after it is ignored.
struct MarkRule {
  std::string_view prefix;
  unsigned char mark;
};
constexpr MarkRule kMarkRules[] = {{"   R E", 255}, {"   A F", 254}};

// Whole lines that set or clear one status bit; the line must be exactly the
// text (a trailing space or CR makes it another line). 0x08 and everything
// above 0x20 belong to the host.
struct BitRule {
  std::string_view line;
  unsigned int bit;
  bool set;
};
constexpr BitRule kBitRules[] = {
    {"   A 03", 0x01, true},  {"   R 04", 0x01, false}, {"   A 11", 0x02, true},  {"   R 12", 0x02, false},
    {"   A 17", 0x04, true},  {"   R 18", 0x04, false}, {"   A 07", 0x10, true},  {"   R 08", 0x10, false},
    {"   A 15", 0x20, true},  {"   R 16", 0x20, false},
};

// True when the line carries a mark prefix: such a line can have no other
// effect, whether or not a mark was written.
bool ApplyMark(std::string_view line, unsigned char* lineMarks) {
  for (const MarkRule& rule : kMarkRules) {
    if (!line.starts_with(rule.prefix)) continue;
    if (line.size() > rule.prefix.size()) {
      const int index = kvarn::HexDigit(line[rule.prefix.size()]) - 1;
      if (index >= 0 && index < kLineMarkCount) lineMarks[index] = rule.mark;
    }
    return true;
  }
  return false;
}

// Read-modify-write of the whole value: the other bits stay as the host had them.
void ApplyBits(std::string_view line, unsigned int* statusBits) {
  for (const BitRule& rule : kBitRules) {
    if (line != rule.line) continue;
    const unsigned int bits = *statusBits;
    *statusBits = rule.set ? (bits | rule.bit) : (bits & ~rule.bit);
    return;
  }
}

}  // namespace

// The result means nothing to hosts; it is always 0.
extern "C" int TLF_CALL tlf_GetSysMsg(int /*reserved*/, const unsigned char* statusLine, unsigned int* statusBits,
                                      unsigned char* lineMarks, int* info) {
  *info = kInfoValue;
  const std::string_view line(reinterpret_cast<const char*>(statusLine + 1), statusLine[0]);
  if (!ApplyMark(line, lineMarks)) ApplyBits(line, statusBits);
  return 0;
}
