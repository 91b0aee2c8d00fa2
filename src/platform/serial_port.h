// A serial port as the channel's worker uses it, shaped after the Win32
// communications calls. Abstract so tests can put an in-memory port in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/event.h"

namespace kvarn::platform {

// Event mask bit: the event character has arrived.
constexpr uint32_t kEvRxFlag = 0x0002;
// Line-error flag: the input queue overflowed.
constexpr uint32_t kCeRxOver = 0x0001;

// Bits of the DCB flag word that the channel sets.
constexpr uint32_t kDcbBinary = 0x0001;
constexpr uint32_t kDcbOutxCtsFlow = 0x0004;
constexpr uint32_t kDcbDtrControlMask = 0x0030;
constexpr uint32_t kDcbDtrEnable = 0x0010;
constexpr uint32_t kDcbDtrHandshake = 0x0020;
constexpr uint32_t kDcbOutX = 0x0100;
constexpr uint32_t kDcbInX = 0x0200;
constexpr uint32_t kDcbRtsControlMask = 0x3000;
constexpr uint32_t kDcbRtsEnable = 0x1000;
constexpr uint32_t kDcbRtsHandshake = 0x2000;

// Line settings, the DCB fields the channel reads and writes. Parity codes:
// 0 none, 1 odd, 2 even, 3 mark, 4 space. StopBits: 0 one, 1 one and a half,
// 2 two.
struct CommState {
  uint32_t BaudRate = 0;
  uint32_t Flags = 0;
  uint8_t ByteSize = 0;
  uint8_t Parity = 0;
  uint8_t StopBits = 0;
  char EvtChar = 0;
};

// Read and write time-outs in milliseconds (COMMTIMEOUTS).
struct CommTimeouts {
  uint32_t ReadIntervalTimeout = 0;
  uint32_t ReadTotalTimeoutMultiplier = 0;
  uint32_t ReadTotalTimeoutConstant = 0;
  uint32_t WriteTotalTimeoutMultiplier = 0;
  uint32_t WriteTotalTimeoutConstant = 0;
};

enum class PortWait { Stop, FrameEnded, Timeout, Failed };

// Only one thread uses a port at a time: the opener while it configures it,
// then the channel's worker.
class SerialPort {
 public:
  virtual ~SerialPort() = default;

  virtual bool SetupQueues(uint32_t inSize, uint32_t outSize) = 0;
  virtual bool GetState(CommState& state) = 0;
  // Applies what the port takes; a refused value leaves that setting as it was.
  virtual bool SetState(const CommState& state) = 0;
  virtual bool SetTimeouts(const CommTimeouts& timeouts) = 0;
  virtual bool SetEventMask(uint32_t mask) = 0;
  // Sleeps until the event character has arrived (FrameEnded), `stop` (a
  // manual-reset event) is set (Stop; it wins when both hold), `ms` pass
  // (Timeout) or the device fails (Failed).
  virtual PortWait WaitFrameEnd(Event& stop, uint32_t ms) = 0;
  // Number of bytes in the input queue; `errors` receives the line-error
  // flags (kCeRxOver among them), which the query clears.
  virtual uint32_t QueryStatus(uint32_t& errors) = 0;
  // Takes up to `n` bytes from the input queue; returns how many.
  virtual size_t Read(char* buf, size_t n) = 0;
  // Discards the input queue.
  virtual void PurgeInput() = 0;
  // Writes the one byte `ack` without waiting for it to go out; the result
  // is not examined.
  virtual void SendAck(char ack) = 0;
  virtual void Close() = 0;
};

// Opens serial port `port` exclusively. Null when it cannot be opened
// (port <= 0, no such device, already open).
std::unique_ptr<SerialPort> OpenSerialPort(int port);

}  // namespace kvarn::platform
