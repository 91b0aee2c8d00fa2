// INI text lookup with the rules of the Windows profile reader, on text in
// memory: pure, so any byte sequence can be thrown at it.
//
// - a UTF-8 byte-order mark at the start is skipped;
// - CR and LF each end a line; spaces, tabs, vertical tabs, form feeds and
//   Ctrl-Z around names and values are trimmed;
// - "[name]" opens a section; the name runs to the last "]" of the line, and
//   a line with no "]" is no section line; lines before the first section
//   are ignored;
// - section and key names compare case-insensitively (ASCII); the first
//   matching section and, in it, the first matching key win;
// - there are no comments as such: a line ";k=1" is the key ";k", which no
//   other name matches; "#" is an ordinary character;
// - a key line without "=" has no value (the caller's default);
// - a NUL ends a name or value;
// - one matching outer pair of '"' or '\'' around a value is removed;
// - values are cut at kProfileValueMax characters.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kvarn::platform {

constexpr size_t kProfileValueMax = 2047;

std::optional<std::string> FindProfileValue(std::string_view text, std::string_view section,
                                            std::string_view key);

}  // namespace kvarn::platform
