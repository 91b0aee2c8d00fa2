// Hexadecimal digits, as frames and the settings file both write them. The
// digit is the same for both; what a reader does with anything else is not:
// the strict settings rule is here, the lenient frame rule is the decoder's
// own (decode/field_readers.cpp). Here, not in decode/, so that the host side
// reads digits without reaching into the decoder.
#pragma once

#include <cstdint>
#include <string_view>

namespace kvarn {

// 0 to 15 for 0-9, A-F and a-f; -1 for any other character. Byte-exact and
// locale-free, unlike isxdigit.
constexpr int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Settings are strict: a value not wholly digits, empty or past 32 bits is a
// mistake in the file, and false lets the setting keep its default.
inline bool ParseSettingHex(std::string_view s, int32_t& out) {
  if (s.empty()) return false;
  uint64_t v = 0;
  for (char c : s) {
    int d = HexDigit(c);
    if (d < 0) return false;
    v = v * 16 + static_cast<uint64_t>(d);
    if (v > 0xFFFFFFFFu) return false;
  }
  out = static_cast<int32_t>(static_cast<uint32_t>(v));
  return true;
}

}  // namespace kvarn
