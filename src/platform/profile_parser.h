// INI text lookup with the rules of the Windows profile reader, on text in
// memory: pure, so any byte sequence can be thrown at it.
//
// - lines end with LF or CR LF; spaces and tabs around names and values are
//   trimmed;
// - "[name]" opens a section; the name ends at the first "]" (or the line
//   end), text after it is ignored; lines before the first section are ignored;
// - section and key names compare case-insensitively (ASCII); the first
//   matching section and, in it, the first matching key win;
// - a line whose key starts with ";" is a comment; there are no inline
//   comments and "#" is an ordinary character;
// - a key line without "=" has an empty value;
// - one matching outer pair of '"' or '\'' around a value is removed;
// - values are cut at kProfileValueMax characters.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kvarn {

constexpr size_t kProfileValueMax = 2047;

std::optional<std::string> FindProfileValue(std::string_view text, std::string_view section,
                                            std::string_view key);

}  // namespace kvarn
