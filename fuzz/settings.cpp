// The settings file as text: the INI lookup and the value syntax on any bytes
// a settings file could hold. The lookup is checked for what it promises
// (values within 2047 characters and one line, names matched without regard
// to case, the first occurrence winning), the value syntax against its rule
// written out again here, and the port settings built from the file for the
// fixed parts they must always have.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "host/settings.h"
#include "platform/profile_parser.h"

namespace kvarn::fuzz {
namespace {

constexpr std::string_view kKeys[] = {"Baud", "DataBit", "Parity", "StopBit", "FlowCtrl"};
constexpr std::string_view kSection = "RecNr1";

int Digit(char c, int base) {
  int d = -1;
  if (c >= '0' && c <= '9') d = c - '0';
  if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
  if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
  return d;
}

// Digits of `base` only, at least one; the magnitude saturates far above 32 bits.
std::optional<uint64_t> Magnitude(std::string_view s, int base) {
  if (s.empty()) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    const int d = Digit(c, base);
    if (d < 0) return std::nullopt;
    v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    if (v > (uint64_t{1} << 40)) v = uint64_t{1} << 40;
  }
  return v;
}

int32_t ExpectedValue(std::string_view s, int32_t def) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  std::optional<uint64_t> hex;
  if (s.starts_with("0x") || s.starts_with("0X")) {
    hex = Magnitude(s.substr(2), 16);
  } else if (!s.empty() && (s[0] == '$' || s[0] == 'x' || s[0] == 'X')) {
    hex = Magnitude(s.substr(1), 16);
  } else {
    const bool minus = s.starts_with("-");
    if (s.starts_with("-") || s.starts_with("+")) s.remove_prefix(1);
    const std::optional<uint64_t> m = Magnitude(s, 10);
    if (!m || *m > (minus ? 0x80000000u : 0x7FFFFFFFu)) return def;
    return static_cast<int32_t>(minus ? 0u - static_cast<uint32_t>(*m) : static_cast<uint32_t>(*m));
  }
  if (!hex || *hex > 0xFFFFFFFFu) return def;
  return static_cast<int32_t>(static_cast<uint32_t>(*hex));
}

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return out;
}

std::optional<std::string> CheckLookup(std::string_view text, std::string_view key) {
  const std::optional<std::string> value = platform::FindProfileValue(text, kSection, key);
  if (value) {
    FUZZ_CHECK(value->size() <= platform::kProfileValueMax);
    FUZZ_CHECK(value->find('\n') == std::string::npos);
  }
  FUZZ_CHECK(platform::FindProfileValue(text, Upper(kSection), Upper(key)) == value);
  // Another occurrence of the section and key further down never counts.
  std::string longer(text);
  longer.append("\n[").append(kSection).append("]\n").append(key).append("=appended\n");
  if (value) FUZZ_CHECK(platform::FindProfileValue(longer, kSection, key) == value);
  return value;
}

void CheckPortSettings(std::string_view text) {
  std::string values[std::size(kKeys)];
  for (size_t i = 0; i < std::size(kKeys); ++i) values[i] = CheckLookup(text, kKeys[i]).value_or("");
  const platform::LineSettings s = LineSettingsFrom([&](std::string_view key) {
    for (size_t i = 0; i < std::size(kKeys); ++i) {
      if (key == kKeys[i]) return values[i];
    }
    return std::string();
  });
  FUZZ_CHECK(s.Speed == static_cast<uint32_t>(ExpectedValue(values[0], 300)));
  FUZZ_CHECK(s.DataBits == static_cast<uint8_t>(ExpectedValue(values[1], 7) & 0xFF));
  FUZZ_CHECK(static_cast<uint8_t>(s.Parity) == static_cast<uint8_t>(ExpectedValue(values[2], 0) & 0xFF));
  FUZZ_CHECK(static_cast<uint8_t>(s.StopBits) == static_cast<uint8_t>(ExpectedValue(values[3], 0) & 0xFF));
  const int32_t flow = ExpectedValue(values[4], 0);
  FUZZ_CHECK(s.Flow == (flow == 1   ? platform::LineFlow::XonXoff
                        : flow == 2 ? platform::LineFlow::RtsCts
                                    : platform::LineFlow::None));
  FUZZ_CHECK(s.EventChar == 0x14);
}

}  // namespace
}  // namespace kvarn::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kvarn::fuzz;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // The value syntax straight on the bytes, as one value.
  const std::string_view value = text.substr(0, 80);
  FUZZ_CHECK(kvarn::SettingValue(value, 4711) == ExpectedValue(value, 4711));
  CheckPortSettings(text);
  return 0;
}
