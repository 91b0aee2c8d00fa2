#include "monitor/port.h"

namespace kvarn::monitor {

const char* PortUsage() {
  return "Opens one channel per PORT:RECEIVER pair (port N is the COM port COMN;\n"
         "RECEIVER picks the section RecNr<RECEIVER> of\n";
}

std::string PortName(int port) { return "COM" + std::to_string(port); }

std::string PortLabel(int port) { return PortName(port); }

// Windows tells the library why, but the library keeps it to itself; these
// are the causes a console user can act on.
std::string OpenFailure(int port) {
  return PortName(port) + " could not be opened: no such port, in use by another program, or no permission";
}

}  // namespace kvarn::monitor
