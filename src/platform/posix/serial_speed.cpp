#include "platform/posix/serial_speed.h"

#ifdef __linux__
#include <asm/termbits.h>
#include <sys/ioctl.h>
#endif

namespace kvarn::platform::posix {

#ifdef __linux__

bool SetArbitrarySpeed(int fd, uint32_t baud) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  t.c_ispeed = baud;
  t.c_ospeed = baud;
  return ioctl(fd, TCSETS2, &t) == 0;
}

uint32_t ReadArbitrarySpeed(int fd) {
  struct termios2 t {};
  return ioctl(fd, TCGETS2, &t) == 0 ? t.c_ospeed : 0;
}

#else

bool SetArbitrarySpeed(int, uint32_t) { return false; }
uint32_t ReadArbitrarySpeed(int) { return 0; }

#endif

}  // namespace kvarn::platform::posix
