// ReadNumber, TakeField and ReadReceiverTime on arbitrary text. ReadNumber is
// checked against a second, plainly written reading of the same rule; the
// other two against what their result promises. Input: the field's start and
// count (one byte each; the start's lowest bit also picks a leap or a common
// year for the PC clock), then the text.
#include <cstring>
#include <string_view>

#include "decode/decode_state.h"
#include "decode/field_readers.h"
#include "fuzz_check.h"
#include "host/tlf_msg.h"

namespace kvarn::fuzz {
namespace {

std::string_view DropSpaces(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  return s;
}

int DigitValue(char c, int base) {
  int d = -1;
  if (c >= '0' && c <= '9') d = c - '0';
  if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
  if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
  return d < base ? d : -1;
}

// The number rule, read straight off its description.
int32_t ExpectedNumber(std::string_view s) {
  s = DropSpaces(s);
  if (s.substr(0, 2) == "0x" || s.substr(0, 2) == "0X") {
    s.remove_prefix(2);
  } else if (!s.empty() && (s[0] == '$' || s[0] == 'x' || s[0] == 'X')) {
    s.remove_prefix(1);
  } else {
    bool minus = !s.empty() && s[0] == '-';
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) s.remove_prefix(1);
    uint64_t value = 0;
    size_t i = 0;
    for (; i < s.size() && DigitValue(s[i], 10) >= 0; ++i) value = (value * 10 + DigitValue(s[i], 10)) & 0xFFFFFFFFu;
    if (minus && i == s.size()) value = (0x100000000u - value) & 0xFFFFFFFFu;
    return static_cast<int32_t>(static_cast<uint32_t>(value));
  }
  uint64_t value = 0;
  for (char c : s) {
    if (DigitValue(c, 16) < 0 || value > 0x0FFFFFFFu) break;
    value = value * 16 + DigitValue(c, 16);
  }
  FUZZ_CHECK(value <= 0xFFFFFFFFu);
  return static_cast<int32_t>(static_cast<uint32_t>(value));
}

void CheckTakeField(std::string_view text, size_t start, size_t count) {
  FrameText frame(text);
  FrameText field;
  std::memset(field.Data(), '7', FrameText::Capacity());
  TakeField(frame, field, start, count);
  std::string_view expected;
  if (start >= 1 && start <= frame.Length()) expected = frame.View().substr(start - 1, count);
  FUZZ_CHECK(field.View() == DropSpaces(expected));
  FUZZ_CHECK(frame.View() == text.substr(0, FrameText::Capacity()));
}

bool ExpectedDate(unsigned year, unsigned month, unsigned day) {
  static constexpr unsigned kDays[13] = {0, 31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1 || day > kDays[month]) return false;
  const bool leap = year % 400 == 0 || (year % 4 == 0 && year % 100 != 0);
  return month != 2 || day <= 28 || leap;
}

uint16_t ExpectedTimeField(const FrameText& frame, size_t pos) {
  std::string_view slice = (pos >= 1 && pos <= frame.Length()) ? frame.View().substr(pos - 1, 2) : "";
  return static_cast<uint16_t>(ExpectedNumber(DropSpaces(slice)));
}

void CheckReceiverTime(std::string_view text, uint16_t year) {
  DecodeState state;
  FrameText& frame = state.Frame;
  TlfMsg& msg = state.Msg;
  frame.Assign(text);
  std::memset(&msg, 0x5A, sizeof msg);
  const TlfMsg before = msg;
  const TlfSystemTime clock{year, 6, 3, 15, 10, 20, 30, 400};
  state.UtcNow = [&] { return clock; };

  const bool valid = ReadReceiverTime(state);
  FUZZ_CHECK(frame.View() == text.substr(0, FrameText::Capacity()));
  const size_t colon = frame.Pos(':');
  const TlfSystemTime& s = msg.Stamp;
  if (colon <= 2) {
    FUZZ_CHECK(!valid && s.wYear == kNoTime);
    FUZZ_CHECK(std::memcmp(&s.wMonth, &before.Stamp.wMonth, sizeof s - sizeof s.wYear) == 0);
    return;
  }
  FUZZ_CHECK(s.wHour == ExpectedTimeField(frame, colon - 2));
  FUZZ_CHECK(s.wMinute == ExpectedTimeField(frame, colon + 1));
  FUZZ_CHECK(s.wSecond == ExpectedTimeField(frame, colon + 4));
  FUZZ_CHECK(s.wDay == ExpectedTimeField(frame, colon + 7));
  FUZZ_CHECK(s.wMonth == ExpectedTimeField(frame, colon + 10));
  FUZZ_CHECK(s.wDayOfWeek == clock.wDayOfWeek && s.wMilliseconds == clock.wMilliseconds);
  const bool expected =
      s.wHour <= 23 && s.wMinute <= 59 && s.wSecond <= 59 && ExpectedDate(clock.wYear, s.wMonth, s.wDay);
  FUZZ_CHECK(valid == expected);
  FUZZ_CHECK(s.wYear == (valid ? clock.wYear : kNoTime));
}

}  // namespace
}  // namespace kvarn::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kvarn::fuzz;
  ByteReader in(data, size);
  const size_t start = in.Byte();
  const size_t count = in.Byte();
  const std::string_view text = in.Text(kvarn::FrameText::Capacity());
  FUZZ_CHECK(kvarn::ReadNumber(text) == ExpectedNumber(text));
  CheckTakeField(text, start, count);
  // Leap and common years by turns, so that 29 February is tried both ways.
  CheckReceiverTime(text, (start & 1) ? 2024 : 2023);
  return 0;
}
