#include "platform/profile_parser.h"

namespace kvarn::platform {
namespace {

// What the Windows reader trims: blanks, vertical tab, form feed and the
// old end-of-file mark Ctrl-Z. CR and LF end lines before trimming.
bool Blank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\x1a'; }

std::string_view Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && Blank(s[b])) ++b;
  while (e > b && Blank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// Names and values are C strings to the Windows reader: a NUL ends them.
std::string_view UpToNul(std::string_view s) { return s.substr(0, s.find('\0')); }

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
  a = UpToNul(a);
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

// Next line of `text` from `pos`: CR and LF each end one, so CR LF and
// CR CR LF leave empty lines behind, which are skipped like any other.
std::string_view NextLine(std::string_view text, size_t& pos) {
  size_t end = text.find_first_of("\r\n", pos);
  if (end == std::string_view::npos) end = text.size();
  std::string_view line = text.substr(pos, end - pos);
  pos = end < text.size() ? end + 1 : end;
  return line;
}

// Section name of a trimmed line, or nullopt when it is no section line: the
// name runs to the last "]"; a line without one is an ordinary line.
std::optional<std::string_view> SectionName(std::string_view line) {
  if (line.empty() || line.front() != '[') return std::nullopt;
  size_t close = line.rfind(']');
  if (close == std::string_view::npos) return std::nullopt;
  return Trim(line.substr(1, close - 1));
}

std::string Unquote(std::string_view v) {
  v = UpToNul(v);
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    v = v.substr(1, v.size() - 2);
  if (v.size() > kProfileValueMax) v = v.substr(0, kProfileValueMax);
  return std::string(v);
}

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

}  // namespace

std::optional<std::string> FindProfileValue(std::string_view text, std::string_view section,
                                            std::string_view key) {
  if (text.substr(0, kUtf8Bom.size()) == kUtf8Bom) text.remove_prefix(kUtf8Bom.size());
  bool inSection = false;
  size_t pos = 0;
  while (pos < text.size()) {
    std::string_view line = Trim(NextLine(text, pos));
    if (auto name = SectionName(line)) {
      // Only the first section of that name counts: leaving it ends the search.
      if (inSection) return std::nullopt;
      inSection = SameName(*name, section);
      continue;
    }
    if (!inSection || line.empty()) continue;
    size_t eq = line.find('=');
    if (!SameName(Trim(line.substr(0, eq)), key)) continue;
    // A key without "=" has no value: the caller's default, and later lines
    // of the same key stay hidden behind it.
    if (eq == std::string_view::npos) return std::nullopt;
    return Unquote(Trim(line.substr(eq + 1)));
  }
  return std::nullopt;
}

}  // namespace kvarn::platform
