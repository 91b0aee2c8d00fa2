#include "platform/profile_parser.h"

namespace kvarn {
namespace {

std::string_view Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

// Next line of `text` from `pos`, without its LF or CR LF.
std::string_view NextLine(std::string_view text, size_t& pos) {
  size_t end = text.find('\n', pos);
  if (end == std::string_view::npos) end = text.size();
  std::string_view line = text.substr(pos, end - pos);
  pos = end < text.size() ? end + 1 : end;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// Section name of a trimmed line, or nullopt when it is no section line.
std::optional<std::string_view> SectionName(std::string_view line) {
  if (line.empty() || line.front() != '[') return std::nullopt;
  line.remove_prefix(1);
  size_t close = line.find(']');
  return Trim(close == std::string_view::npos ? line : line.substr(0, close));
}

std::string Unquote(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    v = v.substr(1, v.size() - 2);
  if (v.size() > kProfileValueMax) v = v.substr(0, kProfileValueMax);
  return std::string(v);
}

}  // namespace

std::optional<std::string> FindProfileValue(std::string_view text, std::string_view section,
                                            std::string_view key) {
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
    if (!inSection || line.empty() || line.front() == ';') continue;
    size_t eq = line.find('=');
    std::string_view name = Trim(line.substr(0, eq));
    if (!SameName(name, key)) continue;
    return eq == std::string_view::npos ? std::string() : Unquote(Trim(line.substr(eq + 1)));
  }
  return std::nullopt;
}

}  // namespace kvarn
