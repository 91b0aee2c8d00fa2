// Small helpers shared by the command-line tools: strict number parsing and
// the one way both report a bad argument.
#pragma once

#include <charconv>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace kvarn::tools {

// Whole text must be a decimal integer in [lo, hi].
inline std::optional<long long> ParseInteger(std::string_view text, long long lo, long long hi) {
  long long v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || v < lo || v > hi) return std::nullopt;
  return v;
}

// Whole text must be a finite decimal number >= 0 (seconds, rates).
inline std::optional<double> ParseNonNegative(std::string_view text) {
  double v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(v) || v < 0) return std::nullopt;
  return v;
}

// "--name=value" or "--name value": returns the value and advances i, or
// nullopt when `arg` is not this option. `missing` is set when the option is
// given without a value.
inline std::optional<std::string> OptionValue(int argc, char** argv, int& i, std::string_view name,
                                              bool& missing) {
  std::string_view arg = argv[i];
  if (arg == name) {
    if (i + 1 >= argc) {
      missing = true;
      return std::nullopt;
    }
    return std::string(argv[++i]);
  }
  if (arg.size() > name.size() && arg.starts_with(name) && arg[name.size()] == '=')
    return std::string(arg.substr(name.size() + 1));
  return std::nullopt;
}

}  // namespace kvarn::tools
