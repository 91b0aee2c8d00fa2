#include "sim/frames.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "common/printable.h"

namespace kvarn::sim {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Splits on LF and drops one CR before it; a last line without LF counts.
std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    if (line.ends_with('\r')) line.remove_suffix(1);
    lines.push_back(line);
    if (lf == std::string_view::npos) break;
    text.remove_prefix(lf + 1);
  }
  return lines;
}

// h:mm:ss or hh:mm:ss with any one non-digit, non-space separator used twice.
bool IsTimeText(std::string_view t) {
  size_t h = (t.size() >= 2 && IsDigit(t[1])) ? 2 : 1;
  if (t.size() != h + 6 || !IsDigit(t[0])) return false;
  char sep = t[h];
  if (IsDigit(sep) || sep == ' ' || t[h + 3] != sep) return false;
  return IsDigit(t[h + 1]) && IsDigit(t[h + 2]) && IsDigit(t[h + 4]) && IsDigit(t[h + 5]);
}

// Designators are words like "am", "PM" or "a.m.": no digits, no spaces.
bool LooksLikeDesignator(std::string_view t) {
  if (t.empty() || t.size() > 16) return false;
  for (char c : t)
    if (IsDigit(c) || c == ' ') return false;
  return true;
}

std::string_view FirstWord(std::string_view line) { return line.substr(0, line.find(' ')); }

std::string_view AfterWord(std::string_view line) {
  size_t sp = line.find(' ');
  return sp == std::string_view::npos ? std::string_view{} : line.substr(sp + 1);
}

// One log file comes from one locale, so the designator is either after the
// time on every line that starts with a time, or on none. Deciding it per
// file keeps a frame that starts with a word from being taken for "pm".
bool DesignatorFollowsTime(const std::vector<std::string_view>& lines) {
  size_t timed = 0, followed = 0;
  std::set<std::string_view> words;
  for (std::string_view line : lines) {
    if (!IsTimeText(FirstWord(line))) continue;
    ++timed;
    std::string_view rest = AfterWord(line);
    std::string_view word = FirstWord(rest);
    if (rest.find(' ') != std::string_view::npos && LooksLikeDesignator(word)) {
      ++followed;
      words.insert(word);
    }
  }
  return timed > 0 && followed == timed && words.size() <= 2;
}

}  // namespace

bool ParseEscapes(std::string_view line, std::string& frame, std::string& error) {
  frame.clear();
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] != '\\') {
      frame += line[i];
      continue;
    }
    char next = i + 1 < line.size() ? line[i + 1] : '\0';
    switch (next) {
      case '\\': frame += '\\'; ++i; continue;
      case 't': frame += '\t'; ++i; continue;
      case 'r': frame += '\r'; ++i; continue;
      case 'n': frame += '\n'; ++i; continue;
      case 'x': {
        int hi = i + 2 < line.size() ? HexValue(line[i + 2]) : -1;
        int lo = i + 3 < line.size() ? HexValue(line[i + 3]) : -1;
        if (hi >= 0 && lo >= 0) {
          frame += static_cast<char>(hi * 16 + lo);
          i += 3;
          continue;
        }
        error = "column " + std::to_string(i + 1) + ": \\x needs two hex digits";
        return false;
      }
      default:
        error = "column " + std::to_string(i + 1) + ": unknown escape (use \\\\, \\xHH, \\t, \\r or \\n)";
        return false;
    }
  }
  return true;
}

std::string ShowFrame(std::string_view frame) { return tools::Printable(frame); }

bool ParseFrameFile(std::string_view contents, std::vector<std::string>& frames, std::string& error) {
  size_t lineNo = 0;
  for (std::string_view line : SplitLines(contents)) {
    ++lineNo;
    if (line.empty() || line.front() == '#') continue;
    std::string frame, why;
    if (!ParseEscapes(line, frame, why)) {
      error = "line " + std::to_string(lineNo) + ", " + why;
      return false;
    }
    frames.push_back(std::move(frame));
  }
  return true;
}

bool ParseTrafficLog(std::string_view contents, std::vector<std::string>& frames,
                     std::vector<std::string>& warnings, std::string& error) {
  std::vector<std::string_view> lines = SplitLines(contents);
  const bool designatorAfter = DesignatorFollowsTime(lines);
  size_t lineNo = 0;
  for (std::string_view line : lines) {
    ++lineNo;
    if (line.empty()) continue;
    std::string_view rest;
    if (IsTimeText(FirstWord(line))) {
      rest = AfterWord(line);
      if (designatorAfter) rest = AfterWord(rest);
    } else if (LooksLikeDesignator(FirstWord(line)) && IsTimeText(FirstWord(AfterWord(line)))) {
      rest = AfterWord(AfterWord(line));
    } else {
      warnings.push_back("line " + std::to_string(lineNo) + ": no time text, skipped");
      continue;
    }
    if (rest.empty()) {
      warnings.push_back("line " + std::to_string(lineNo) + ": no frame after the time, skipped");
      continue;
    }
    frames.emplace_back(rest);
  }
  if (frames.empty()) {
    error = "no logged frame found";
    return false;
  }
  return true;
}

bool ReadWholeFile(const std::string& path, std::string& contents, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  std::ostringstream buf;
  buf << in.rdbuf();
  contents = buf.str();
  return true;
}

}  // namespace kvarn::sim
