// Serial ports through the Win32 communications calls, opened for overlapped
// I/O. The port's own driver waits for the event character (EvtChar,
// EV_RXFLAG), so a frame's end wakes the worker without it reading ahead.
#include "platform/serial_port.h"

#include <windows.h>

#include <cstddef>
#include <cstring>
#include <new>
#include <string>

namespace kvarn::platform {
namespace {

// The flag bitfields of DCB fill the 32-bit word after BaudRate; the
// channel's flags are that word, written and read whole.
constexpr size_t kDcbFlagsOffset = offsetof(DCB, BaudRate) + sizeof(DWORD);
static_assert(kDcbFlagsOffset == 8 && offsetof(DCB, wReserved) == 12, "DCB flag word at bytes 8 to 11");

// An ACK that has not gone out after this long is held back by flow control
// (a byte takes 33 ms at 300 baud); the next one replaces it.
constexpr ULONGLONG kAckStallMs = 2000;

class Win32SerialPort final : public SerialPort {
 public:
  Win32SerialPort(HANDLE port, HANDLE waitEvent) : FPort(port), FWaitEvent(waitEvent) {
    FRead.hEvent = FWaitEvent;
  }
  ~Win32SerialPort() override { Close(); }

  bool SetupQueues(uint32_t inSize, uint32_t outSize) override { return SetupComm(FPort, inSize, outSize); }
  bool GetState(CommState& state) override;
  bool SetState(const CommState& state) override;
  bool SetTimeouts(const CommTimeouts& t) override;
  bool SetEventMask(uint32_t mask) override { return SetCommMask(FPort, mask); }
  PortWait WaitFrameEnd(Event& stop, uint32_t ms) override;
  uint32_t QueryStatus(uint32_t& errors) override;
  size_t Read(char* buf, size_t n) override;
  void PurgeInput() override { PurgeComm(FPort, PURGE_RXCLEAR); }
  void SendAck() override;
  void Close() override;

 private:
  PortWait WaitResult();
  bool AwaitWrite(ULONGLONG ms);
  void FinishAck();

  HANDLE FPort;
  HANDLE FWaitEvent;  // manual reset: the read record's
  DCB FDcb{};         // as the port last reported it
  bool FHaveDcb = false;
  // The read record serves the wait for the event character and the read;
  // the write record, without an event, every ACK. Each stays untouched
  // while an operation on it is pending.
  OVERLAPPED FRead{};
  OVERLAPPED FWrite{};
  bool FWaitPending = false;
  bool FWritePending = false;
  DWORD FMask = 0;     // written by the pending wait
  char FAck = 0x06;    // written by the pending ACK
};

bool Win32SerialPort::GetState(CommState& state) {
  DCB d{};
  d.DCBlength = sizeof d;
  if (!GetCommState(FPort, &d)) return false;
  FDcb = d;
  FHaveDcb = true;
  state.BaudRate = d.BaudRate;
  std::memcpy(&state.Flags, reinterpret_cast<const char*>(&d) + kDcbFlagsOffset, sizeof state.Flags);
  state.ByteSize = d.ByteSize;
  state.Parity = d.Parity;
  state.StopBits = d.StopBits;
  state.EvtChar = d.EvtChar;
  return true;
}

// Every field the channel does not set keeps what the port reported.
bool Win32SerialPort::SetState(const CommState& state) {
  if (!FHaveDcb) {
    CommState ignored;
    GetState(ignored);
  }
  DCB d = FDcb;
  d.DCBlength = sizeof d;
  d.BaudRate = state.BaudRate;
  std::memcpy(reinterpret_cast<char*>(&d) + kDcbFlagsOffset, &state.Flags, sizeof state.Flags);
  d.ByteSize = state.ByteSize;
  d.Parity = state.Parity;
  d.StopBits = state.StopBits;
  d.EvtChar = state.EvtChar;
  return SetCommState(FPort, &d);
}

bool Win32SerialPort::SetTimeouts(const CommTimeouts& t) {
  COMMTIMEOUTS c{t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                 t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant};
  return SetCommTimeouts(FPort, &c);
}

// A wait that is still pending from an earlier call (it ran out of time) is
// waited on again, not started twice: its DC4 is not lost.
PortWait Win32SerialPort::WaitFrameEnd(Event& stop, uint32_t ms) {
  if (!FWaitPending) {
    FMask = 0;
    ResetEvent(FWaitEvent);
    if (WaitCommEvent(FPort, &FMask, &FRead))
      SetEvent(FWaitEvent);  // done at once: taken below like a later end
    else if (GetLastError() != ERROR_IO_PENDING)
      return PortWait::Failed;
    FWaitPending = true;
  }
  HANDLE list[2] = {reinterpret_cast<HANDLE>(stop.NativeHandle()), FWaitEvent};  // stop first: it wins
  DWORD r = WaitForMultipleObjects(2, list, FALSE, ms == kInfinite ? INFINITE : static_cast<DWORD>(ms));
  if (r == WAIT_OBJECT_0) return PortWait::Stop;
  if (r == WAIT_OBJECT_0 + 1) return WaitResult();
  return r == WAIT_TIMEOUT ? PortWait::Timeout : PortWait::Failed;
}

// Only the event character ends a frame. A wait that ends without it (an
// empty mask, as when the mask is changed or the driver cannot watch for it,
// or a failed wait) is no frame: the worker rests rather than spin on it.
PortWait Win32SerialPort::WaitResult() {
  DWORD unused = 0;
  BOOL ok = GetOverlappedResult(FPort, &FRead, &unused, FALSE);
  if (!ok && GetLastError() == ERROR_IO_INCOMPLETE) return PortWait::Timeout;  // a stray wake
  FWaitPending = false;
  return ok && (FMask & EV_RXFLAG) ? PortWait::FrameEnded : PortWait::Failed;
}

uint32_t Win32SerialPort::QueryStatus(uint32_t& errors) {
  DWORD e = 0;
  COMSTAT s{};
  if (!ClearCommError(FPort, &e, &s)) {
    errors = 0;
    return 0;
  }
  errors = e;
  return s.cbInQue;
}

// The read time-outs make it return at once with what has arrived.
size_t Win32SerialPort::Read(char* buf, size_t n) {
  if (FWaitPending || n == 0) return 0;  // the read record is busy
  DWORD got = 0;
  if (!ReadFile(FPort, buf, static_cast<DWORD>(n), nullptr, &FRead) && GetLastError() != ERROR_IO_PENDING)
    return 0;
  GetOverlappedResult(FPort, &FRead, &got, TRUE);
  return got;
}

// Not awaited: the worker goes on while the byte goes out.
void Win32SerialPort::SendAck() {
  FinishAck();
  FAck = 0x06;
  FWritePending = WriteFile(FPort, &FAck, 1, nullptr, &FWrite) || GetLastError() == ERROR_IO_PENDING;
}

// The write record has no event of its own to wait on: look at it. Only a
// write held back by the line takes longer than a byte's time.
bool Win32SerialPort::AwaitWrite(ULONGLONG ms) {
  const ULONGLONG deadline = GetTickCount64() + ms;
  while (!HasOverlappedIoCompleted(&FWrite)) {
    if (GetTickCount64() >= deadline) return false;
    Sleep(1);
  }
  return true;
}

// The record and its byte are reused only once the last ACK is done.
void Win32SerialPort::FinishAck() {
  if (!FWritePending) return;
  if (!AwaitWrite(kAckStallMs)) {
    CancelIoEx(FPort, &FWrite);
    AwaitWrite(INFINITE);
  }
  FWritePending = false;
}

// Pending operations end before their records and the wait event go; the
// wait event closes before the port.
void Win32SerialPort::Close() {
  if (FPort == INVALID_HANDLE_VALUE) return;
  if (FWaitPending) {
    CancelIoEx(FPort, &FRead);
    DWORD unused = 0;
    GetOverlappedResult(FPort, &FRead, &unused, TRUE);
    FWaitPending = false;
  }
  // The last ACK may be for an event the host has taken: let it go out.
  FinishAck();
  CloseHandle(FWaitEvent);
  CloseHandle(FPort);
  FPort = INVALID_HANDLE_VALUE;
}

// "Com1" to "Com9" are device names in every directory; from 10 on only the
// device namespace reaches them.
std::string DeviceName(int port) { return (port < 10 ? "Com" : "\\\\.\\Com") + std::to_string(port); }

}  // namespace

std::unique_ptr<SerialPort> OpenSerialPort(int port) {
  if (port <= 0) return nullptr;
  HANDLE h = CreateFileA(DeviceName(port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  // Null and INVALID_HANDLE_VALUE (-1) both fail.
  if (reinterpret_cast<intptr_t>(h) <= 0) return nullptr;
  HANDLE waitEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  auto* p = waitEvent ? new (std::nothrow) Win32SerialPort(h, waitEvent) : nullptr;
  if (!p) {
    if (waitEvent) CloseHandle(waitEvent);
    CloseHandle(h);
  }
  return std::unique_ptr<SerialPort>(p);
}

}  // namespace kvarn::platform
