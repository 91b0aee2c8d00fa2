#include "platform/profile.h"

#include <windows.h>

#include "platform/profile_parser.h"

namespace kvarn::platform {

std::string ReadProfileString(std::string_view file, std::string_view section, std::string_view key) {
  // Without ".\" the profile reader looks in the Windows directory.
  const std::string path = ".\\" + std::string(file);
  char value[kProfileValueMax + 1] = {};
  DWORD n = GetPrivateProfileStringA(std::string(section).c_str(), std::string(key).c_str(), "", value,
                                     sizeof value, path.c_str());
  return std::string(value, n);
}

}  // namespace kvarn::platform
