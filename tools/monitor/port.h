// What the monitor says about the library's port N on this platform.
#pragma once

#include <string>

namespace kvarn::monitor {

// The usage lines that say what port N is.
const char* PortUsage();

// The port as the user knows it: "./Com1" (POSIX) or "COM1" (Windows).
std::string PortName(int port);

// The port in the closing tally: "Com1" (POSIX) or "COM1" (Windows).
std::string PortLabel(int port);

// The library says only "no"; say what we can see of why.
std::string OpenFailure(int port);

}  // namespace kvarn::monitor
