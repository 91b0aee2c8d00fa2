// JSON text for the tools' machine-readable output.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace kvarn::tools {

// A quoted JSON string. Frames are 8-bit text of no declared encoding, so
// every byte outside printable ASCII is written as \u00XX (its Latin-1
// reading): the output is always valid JSON and the bytes can be recovered.
inline std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    auto b = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (b >= 0x20 && b < 0x7F) {
      out += c;
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", b);
      out += buf;
    }
  }
  return out + "\"";
}

// A number with three decimals, as JSON wants it (never "nan").
inline std::string JsonNumber(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.3f", v == v ? v : 0.0);
  return buf;
}

}  // namespace kvarn::tools
