#include "platform/time_format.h"

#include <cctype>

namespace kvarn::platform {
namespace {

// Replaces the composite conversions by their parts, so the scan below sees
// the hour, minutes, seconds and designator one by one.
std::string Expand(std::string_view pattern, std::string_view ampmPattern) {
  std::string out;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '%' || i + 1 >= pattern.size()) {
      out += pattern[i];
      continue;
    }
    const char kind = pattern[++i];
    if (kind == 'T') {
      out += "%H:%M:%S";
    } else if (kind == 'R') {
      out += "%H:%M";
    } else if (kind == 'r') {
      out += ampmPattern.find("%r") == std::string_view::npos && !ampmPattern.empty()
                 ? Expand(ampmPattern, {})
                 : std::string("%I:%M:%S %p");
    } else {
      out += '%';
      out += kind;
    }
  }
  return out;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// One conversion: its letter and the padding flag written before it, if any.
struct Conversion {
  char Kind = 0;
  char Flag = 0;
};

// Reads the conversion that starts after the '%' at `i`; leaves `i` on its letter.
Conversion ReadConversion(std::string_view p, size_t& i) {
  Conversion c;
  while (++i < p.size()) {
    const char ch = p[i];
    if (ch == '-' || ch == '_' || ch == '0' || ch == '^' || ch == '#') {
      c.Flag = ch;
    } else if (!std::isdigit(static_cast<unsigned char>(ch)) && ch != 'E' && ch != 'O') {
      c.Kind = ch;
      break;
    }
  }
  return c;
}

bool HasLeadingZero(const Conversion& c) {
  if (c.Kind == 'H' || c.Kind == 'I') return c.Flag != '-' && c.Flag != '_';
  return c.Flag == '0';  // %k and %l pad with a space
}

}  // namespace

TimeFormat TimeFormatFromPattern(std::string_view pattern, std::string_view ampmPattern,
                                 std::string_view am, std::string_view pm) {
  TimeFormat f;
  f.Am = am;
  f.Pm = pm;
  const std::string p = Expand(pattern, ampmPattern);
  bool sawHour = false, sawMinute = false, sawDesignator = false, lowerDesignator = false;
  std::string literal;  // text since the last conversion
  for (size_t i = 0; i < p.size(); ++i) {
    if (p[i] != '%') {
      literal += p[i];
      continue;
    }
    const Conversion c = ReadConversion(p, i);
    if (c.Kind == '%') {
      literal += '%';
      continue;
    }
    if (!sawHour && (c.Kind == 'H' || c.Kind == 'k' || c.Kind == 'I' || c.Kind == 'l')) {
      sawHour = true;
      f.TwelveHour = c.Kind == 'I' || c.Kind == 'l';
      f.LeadingZero = HasLeadingZero(c);
      f.DesignatorFirst = sawDesignator;
    } else if (sawHour && !sawMinute && c.Kind == 'M') {
      sawMinute = true;
      if (!literal.empty()) f.Separator = literal;
    } else if (c.Kind == 'p' || c.Kind == 'P') {
      sawDesignator = true;
      lowerDesignator = c.Kind == 'P';
    }
    literal.clear();
  }
  if (lowerDesignator) {
    f.Am = Lower(f.Am);
    f.Pm = Lower(f.Pm);
  }
  return f;
}

}  // namespace kvarn::platform
