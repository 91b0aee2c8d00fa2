// Line speeds of a terminal as plain numbers, including the non-standard
// ones that the driver takes (Linux termios2); kept apart because the kernel's
// termios2 header cannot share a file with <termios.h>.
#pragma once

#include <cstdint>

namespace kvarn::platform::posix {

// Sets input and output speed to `baud` bits per second through the
// driver's arbitrary-rate interface. False where there is none or the driver
// refuses it.
bool SetArbitrarySpeed(int fd, uint32_t baud);

// The output speed in bits per second; 0 when it cannot be read this way.
uint32_t ReadArbitrarySpeed(int fd);

}  // namespace kvarn::platform::posix
