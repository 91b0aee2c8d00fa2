#include "platform/log_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kvarn::platform {

char PathSeparator() { return '/'; }

// Only a regular file is a log: the open never waits (a FIFO would hold the
// worker until some reader came, and its writes raise SIGPIPE once the reader
// goes), and anything but a regular file found at the name is closed again
// unwritten, so the frame goes unlogged as with any other log failure.
AppendFile AppendFile::OpenOrCreate(const std::string& name) {
  int fd;
  do {
    fd = ::open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return AppendFile();
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return AppendFile();
  }
  return AppendFile(fd);
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
