#include "platform/serial_port.h"

namespace kvarn::platform {

// The Win32 serial port is not there yet: no port opens.
std::unique_ptr<SerialPort> OpenSerialPort(int) { return nullptr; }

}  // namespace kvarn::platform
