// The settings file reader.
#pragma once

#include <string>
#include <string_view>

namespace kvarn::platform {

// The value of `key` in `section` of the INI file `file`, a name relative to
// the process's current directory; empty when the file, section or key is
// missing. Values are cut at 2047 characters. Matches the Windows profile
// reader for names, comments, quoting and trimming.
std::string ReadProfileString(std::string_view file, std::string_view section, std::string_view key);

}  // namespace kvarn::platform
