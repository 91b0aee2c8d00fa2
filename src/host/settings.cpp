#include "host/settings.h"

#include <limits>

#include "host/hex_digit.h"
#include "link/protocol.h"
#include "platform/profile.h"

namespace kvarn {
namespace {

bool ParseDecimal(std::string_view s, int32_t& out) {
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return false;
  int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
    if (v > int64_t{std::numeric_limits<int32_t>::max()} + 1) return false;
  }
  if (negative) v = -v;
  if (v > std::numeric_limits<int32_t>::max()) return false;
  out = static_cast<int32_t>(v);
  return true;
}

}  // namespace

int32_t SettingValue(std::string_view text, int32_t def) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  int32_t value = def;
  bool ok;
  if (text.starts_with("0x") || text.starts_with("0X"))
    ok = ParseSettingHex(text.substr(2), value);
  else if (!text.empty() && (text[0] == '$' || text[0] == 'x' || text[0] == 'X'))
    ok = ParseSettingHex(text.substr(1), value);
  else
    ok = ParseDecimal(text, value);
  return ok ? value : def;
}

// Data bits, parity and stop bits take the low 8 bits of their number and
// hand them to the port unchecked: the port's platform judges them.
platform::LineSettings LineSettingsFrom(const std::function<std::string(std::string_view key)>& readKey) {
  auto value = [&](std::string_view key, int32_t def) { return SettingValue(readKey(key), def); };
  platform::LineSettings s;
  s.Speed = static_cast<uint32_t>(value("Baud", 300));
  s.DataBits = static_cast<uint8_t>(value("DataBit", 7) & 0xFF);
  s.Parity = static_cast<platform::LineParity>(value("Parity", 0) & 0xFF);
  s.StopBits = static_cast<platform::LineStopBits>(value("StopBit", 0) & 0xFF);
  s.EventChar = kFrameEnd;
  const int32_t flow = value("FlowCtrl", 0);
  if (flow == 1) s.Flow = platform::LineFlow::XonXoff;
  if (flow == 2) s.Flow = platform::LineFlow::RtsCts;
  return s;
}

platform::LineSettings ReceiverSettings(int receiver) {
  const std::string section = "RecNr" + std::to_string(receiver);
  return LineSettingsFrom([&](std::string_view key) {
    return platform::ReadProfileString(kSettingsFile, section, key);
  });
}

}  // namespace kvarn
