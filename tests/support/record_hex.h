// The 48-byte record as 96 hex digits: how the Windows host program and the
// Linux tests that drive it pass records through a pipe.
#pragma once

#include <cstdio>
#include <string>

#include "kvarn_rcvr.h"

namespace kvarn::test {

inline std::string RecordHex(const TlfMsg& m) {
  static const char kDigits[] = "0123456789ABCDEF";
  const auto* bytes = reinterpret_cast<const unsigned char*>(&m);
  std::string text;
  for (size_t i = 0; i < sizeof m; ++i) text += {kDigits[bytes[i] >> 4], kDigits[bytes[i] & 15]};
  return text;
}

inline bool RecordFromHex(const std::string& text, TlfMsg& m) {
  if (text.size() != 2 * sizeof m) return false;
  auto* bytes = reinterpret_cast<unsigned char*>(&m);
  for (size_t i = 0; i < sizeof m; ++i) {
    unsigned value = 0;
    if (std::sscanf(text.c_str() + 2 * i, "%2x", &value) != 1) return false;
    bytes[i] = static_cast<unsigned char>(value);
  }
  return true;
}

}  // namespace kvarn::test
