// A serial port as the channel's worker uses it, in the library's own words;
// each platform maps them onto its calls. Abstract so tests can put an
// in-memory port in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/event.h"

namespace kvarn::platform {

// Parity and stop bits carry the numbers of the settings file, which are
// also the Windows codes. A number outside the named ones (Parity=7) is
// carried as it is, which the fixed underlying type allows: the Windows port
// hands it to the device, which refuses the settings; the termios port keeps
// that setting as the device had it.
enum class LineParity : uint8_t { None = 0, Odd = 1, Even = 2, Mark = 3, Space = 4 };
enum class LineStopBits : uint8_t { One = 0, OneAndHalf = 1, Two = 2 };
enum class LineFlow : uint8_t { None, XonXoff, RtsCts };

// What the channel sets of the line; the port keeps its own values for the
// rest. DTR is always raised; RTS only as the handshake line of RtsCts.
struct LineSettings {
  uint32_t Speed = 0;    // bits per second
  uint8_t DataBits = 0;  // as given, 5 to 8 meaningful
  LineParity Parity = LineParity::None;
  LineStopBits StopBits = LineStopBits::One;
  LineFlow Flow = LineFlow::None;
  char EventChar = 0;  // the character WaitFrameEnd waits for
};

enum class PortWait { Stop, FrameEnded, Timeout, Failed };

// Only one thread uses a port at a time: the opener while it configures it,
// then the channel's worker.
class SerialPort {
 public:
  virtual ~SerialPort() = default;

  // Sets the port up for the channel: its queues, `line` and its read and
  // write time-outs, each as the platform needs them. Every setting not
  // named in `line` keeps what the port reports. Applies what the port
  // takes; a refused value leaves that setting as it was. True when the port
  // took all of it.
  virtual bool Configure(const LineSettings& line) = 0;
  // From now on the arrival of the event character ends WaitFrameEnd.
  virtual bool WatchFrameEnd() = 0;
  // Sleeps until the event character has arrived (FrameEnded), `stop` (a
  // manual-reset event) is set (Stop; it wins when both hold), `ms` pass
  // (Timeout) or the device fails (Failed).
  virtual PortWait WaitFrameEnd(Event& stop, uint32_t ms) = 0;
  // Number of bytes in the input queue. `overflowed` tells whether the input
  // queue dropped bytes since the last query; the query clears the port's
  // line errors, that one among them.
  virtual uint32_t QueryStatus(bool& overflowed) = 0;
  // Takes up to `n` bytes from the input queue; returns how many.
  virtual size_t Read(char* buf, size_t n) = 0;
  // Discards the input queue.
  virtual void PurgeInput() = 0;
  // Writes the one byte `b` without waiting for it to go out; the result is
  // not examined.
  virtual void WriteByte(char b) = 0;
  virtual void Close() = 0;
};

// Opens serial port `port` exclusively. Null when it cannot be opened
// (port <= 0, no such device, already open).
std::unique_ptr<SerialPort> OpenSerialPort(int port);

}  // namespace kvarn::platform
