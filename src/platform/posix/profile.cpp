#include "platform/profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/profile_parser.h"

namespace kvarn::platform {
namespace {

// A settings file is small; more than this of it is not looked at, so a file
// linked to an endless device cannot hold up an open.
constexpr size_t kMaxFileBytes = 1 << 20;

std::string ReadSmallFile(const std::string& name) {
  // Non-blocking so a FIFO of that name cannot hang the open; only regular
  // files are read.
  int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return {};
  std::string text;
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    char buf[4096];
    ssize_t n;
    while (text.size() < kMaxFileBytes && (n = read(fd, buf, sizeof buf)) > 0)
      text.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return text;
}

}  // namespace

std::string ReadProfileString(std::string_view file, std::string_view section, std::string_view key) {
  std::string text = ReadSmallFile(std::string(file));
  return FindProfileValue(text, section, key).value_or(std::string());
}

}  // namespace kvarn::platform
