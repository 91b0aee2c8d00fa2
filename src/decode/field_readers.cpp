#include "decode/field_readers.h"

#include "host/hex_digit.h"

namespace kvarn {
namespace {

// Frames are lenient: a field must always decode, so digits are read up to the
// first other character or the one that would pass 32 bits (none: 0).
int32_t ReadFrameHex(std::string_view s) {
  uint32_t value = 0;
  for (char c : s) {
    int d = HexDigit(c);
    if (d < 0 || value > 0x0FFFFFFFu) break;
    value = value * 16 + static_cast<uint32_t>(d);
  }
  return static_cast<int32_t>(value);  // taken as a 32-bit pattern
}

int32_t ReadDecimal(std::string_view s) {
  size_t i = 0;
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    i = 1;
  }
  // Decimal fields of a frame have at most two characters; unsigned
  // arithmetic keeps longer inputs defined (they wrap) without a check per digit.
  uint32_t value = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) value = value * 10 + static_cast<uint32_t>(s[i] - '0');
  // The sign counts only when the digits run to the end of the text.
  if (negative && i == s.size()) value = 0u - value;
  return static_cast<int32_t>(value);
}

}  // namespace

int32_t ReadNumber(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  std::string_view rest = text.substr(i);
  if (!rest.empty() && (rest[0] == '$' || rest[0] == 'x' || rest[0] == 'X')) return ReadFrameHex(rest.substr(1));
  if (rest.size() >= 2 && rest[0] == '0' && (rest[1] == 'x' || rest[1] == 'X')) return ReadFrameHex(rest.substr(2));
  return ReadDecimal(rest);
}

void TakeField(const FrameText& frame, FrameText& fieldText, size_t start, size_t count) {
  fieldText.Assign(frame.Slice(start, count));
  size_t spaces = 0;
  while (spaces < fieldText.Length() && fieldText.At(spaces + 1) == ' ') ++spaces;
  fieldText.Delete(1, spaces);
}

bool IsValidDate(unsigned year, unsigned month, unsigned day) {
  static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  unsigned last = kDays[month - 1] + ((month == 2 && leap) ? 1 : 0);
  return day <= last;
}

bool ReadReceiverTime(DecodeState& state) {
  TlfSystemTime& stamp = state.Msg.Stamp;
  size_t p = state.Frame.Pos(':');
  if (p <= 2) {
    stamp.wYear = kNoTime;
    return false;
  }
  stamp = state.UtcNow();
  auto field = [&](size_t pos) {
    TakeField(state.Frame, state.Field, pos, 2);
    return static_cast<uint16_t>(ReadNumber(state.Field.View()));
  };
  stamp.wHour = field(p - 2);
  stamp.wMinute = field(p + 1);
  stamp.wSecond = field(p + 4);
  stamp.wDay = field(p + 7);
  stamp.wMonth = field(p + 10);
  bool valid = stamp.wHour <= 23 && stamp.wMinute <= 59 && stamp.wSecond <= 59 &&
               IsValidDate(stamp.wYear, stamp.wMonth, stamp.wDay);
  if (!valid) stamp.wYear = kNoTime;
  return valid;
}

}  // namespace kvarn
