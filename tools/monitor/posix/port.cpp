#include <sys/stat.h>
#include <unistd.h>

#include "monitor/port.h"

namespace kvarn::monitor {

const char* PortUsage() {
  return "Opens one channel per PORT:RECEIVER pair (port N is the file ./ComN, linked\n"
         "to the serial device; RECEIVER picks the section RecNr<RECEIVER> of\n";
}

std::string PortName(int port) { return "./Com" + std::to_string(port); }

std::string PortLabel(int port) { return "Com" + std::to_string(port); }

std::string OpenFailure(int port) {
  std::string dev = PortName(port);
  struct stat st {};
  if (lstat(dev.c_str(), &st) != 0)
    return dev + " does not exist (link it to the serial device, e.g. ln -s /dev/ttyUSB0 Com" +
           std::to_string(port) + ")";
  if (stat(dev.c_str(), &st) != 0) {
    char target[4096];
    ssize_t n = readlink(dev.c_str(), target, sizeof target - 1);
    std::string to = n >= 0 ? std::string(target, static_cast<size_t>(n)) : "?";
    return dev + " points to " + to + ", which does not exist";
  }
  if (!S_ISCHR(st.st_mode)) return dev + " is not a serial device";
  return dev + " could not be opened (in use by another channel or program, or no permission)";
}

}  // namespace kvarn::monitor
