// The simulator's end of the line: a serial device (or a pty slave) given by
// path, or a pseudo-terminal pair of its own whose slave the host opens. On
// Windows the device is a COM port ("COM5", "\\.\COM12") and there are no
// pseudo-terminals.
#pragma once

#include <string>

namespace kvarn::sim {

struct Line {
  int fd = -1;             // the descriptor, or on Windows the port's HANDLE (handles fit in 32 bits)
  bool ptyMaster = false;  // fd is a master we created; the host opens `slavePath`
  std::string slavePath;
  std::string linkPath;    // symlink to slavePath made for the host, removed on close
};

// Opens a terminal device in raw mode at `baud` (8N1, no flow control).
bool OpenDevice(const std::string& path, int baud, Line& line, std::string& error);

// Creates a pty pair in raw mode. The slave is opened and closed once, so
// that the master reports a hang-up until the host opens it: that is how the
// receiver sees whether a host holds the port.
bool CreatePty(Line& line, std::string& error);

// Points `linkPath` at the pty slave. An existing symlink is replaced; any
// other file in the way is an error.
bool LinkPty(Line& line, const std::string& linkPath, std::string& error);

// Closes the fd and removes the link if it still points at our slave.
void CloseLine(Line& line);

// True when `baud` is a speed the line can be set to.
bool IsKnownBaud(int baud);

// Empty when CreatePty works here, else why not.
std::string PtyUnavailable();

// The usage lines for DEVICE and --baud.
const char* DeviceUsage();

}  // namespace kvarn::sim
