#include "platform/log_file.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace kvarn::platform {

char PathSeparator() { return '/'; }

AppendFile AppendFile::OpenOrCreate(const std::string& name) {
  int fd;
  do {
    fd = ::open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  return fd < 0 ? AppendFile() : AppendFile(fd);
}

void AppendFile::Append(std::string_view bytes) {
  if (!IsOpen()) return;
  const int fd = static_cast<int>(FHandle);
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

void AppendFile::Close() {
  if (!IsOpen()) return;
  ::close(static_cast<int>(FHandle));
  FHandle = kNone;
}

}  // namespace kvarn::platform
