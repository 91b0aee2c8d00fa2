// 8-bit frame text shown on a terminal.
#pragma once

#include <string>
#include <string_view>

namespace kvarn::tools {

// Printable ASCII as is (backslash doubled), every other byte as \xHH: what
// the eye sees can be typed back as a frame with the same escapes.
inline std::string Printable(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : text) {
    auto b = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (b >= 0x20 && b < 0x7F) {
      out += c;
    } else {
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
  }
  return out;
}

}  // namespace kvarn::tools
