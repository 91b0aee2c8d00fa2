// Serial ports through the Win32 communications calls, opened for overlapped
// I/O. The port's own driver waits for the event character (EvtChar,
// EV_RXFLAG), so a frame's end wakes the worker without it reading ahead.
//
// Wine's serial driver never reports the event character (on a pty every
// wait for it ends at once with an empty mask; on a tty it would never end).
// Under Wine the port therefore reads ahead into a queue of its own and looks
// for the event character there, as the termios port does: a read is kept
// pending that ends as soon as bytes have arrived, so an idle line wakes
// nobody and a frame is seen within a millisecond of its last byte.
#include "platform/serial_port.h"

#include <windows.h>

#include <cstddef>
#include <cstring>
#include <new>
#include <string>

#include "platform/deadline.h"

namespace kvarn::platform {
namespace {

// The flag bitfields of DCB fill the 32-bit word after BaudRate; the
// channel replaces that word whole.
constexpr size_t kDcbFlagsOffset = offsetof(DCB, BaudRate) + sizeof(DWORD);
static_assert(kDcbFlagsOffset == 8 && offsetof(DCB, wReserved) == 12, "DCB flag word at bytes 8 to 11");

// Bits of that word.
constexpr uint32_t kDcbBinary = 0x0001;
constexpr uint32_t kDcbOutxCtsFlow = 0x0004;
constexpr uint32_t kDcbDtrEnable = 0x0010;  // fDtrControl = DTR_CONTROL_ENABLE
constexpr uint32_t kDcbOutX = 0x0100;
constexpr uint32_t kDcbInX = 0x0200;
constexpr uint32_t kDcbRtsHandshake = 0x2000;  // fRtsControl = RTS_CONTROL_HANDSHAKE

// Binary mode and DTR raised; every other flag off: no parity checking, no
// flow control, RTS off.
constexpr uint32_t kLineFlags = kDcbBinary | kDcbDtrEnable;            // 0x11
constexpr uint32_t kXonXoffFlags = kDcbOutX | kDcbInX;                 // 0x300, both directions
constexpr uint32_t kRtsCtsFlags = kDcbOutxCtsFlow | kDcbRtsHandshake;  // 0x2004

uint32_t FlagsOf(LineFlow flow) {
  switch (flow) {
    case LineFlow::XonXoff: return kLineFlags | kXonXoffFlags;
    case LineFlow::RtsCts: return kLineFlags | kRtsCtsFlags;
    case LineFlow::None: break;
  }
  return kLineFlags;
}

// A wait without limit is the same value on both sides.
static_assert(kInfinite == INFINITE);

// The channel's queue sizes and time-outs are the Windows driver's own words
// (termios has neither), so they live here. Queues of 200 bytes each way,
// which the driver takes as a recommendation.
constexpr DWORD kQueueSize = 200;
// A read returns with what has arrived within its 1 ms total (the 100 ms
// between bytes never comes into play); writes have no limit of their own:
// an ACK is never awaited, and the next one bounds it (kAckStallMs). Under
// Wine the read-ahead replaces the read limits (SetTimeouts).
constexpr COMMTIMEOUTS kTimeouts{100, 0, 1, 0, 0};

// An ACK that has not gone out after this long is held back by flow control
// (a byte takes 33 ms at 300 baud); the next one replaces it.
constexpr DWORD kAckStallMs = 2000;
// A read ends within its total time-out (1 ms) and a cancelled request at
// once on a working driver. A request that outlasts these is given up on.
constexpr DWORD kReadLimitMs = 1000;
constexpr DWORD kCancelLimitMs = 500;
// The loop reads at most one frame (a few hundred bytes) at a time.
constexpr DWORD kReadChunk = 256;
// Under Wine: the port's own input queue, and the read time-outs of its
// read-ahead: no total limit (an idle line keeps the read pending), and the
// read ends once no byte has come for 1 ms.
constexpr size_t kAheadCap = 4096;
constexpr DWORD kAheadIntervalMs = 1;

// One overlapped request: its record and the memory the driver writes into
// (a wait's event mask, a read's bytes) or reads from (the ACK). A request
// that does not end even when cancelled is abandoned with all of it, its
// event included: the driver may still write there, so it is never freed,
// and the port goes on with a fresh request.
struct Request {
  OVERLAPPED Ov{};
  DWORD Mask = 0;
  char Data[kReadChunk]{};
  bool Pending = false;
};

// Null when the memory or the event cannot be had.
Request* NewRequest(bool withEvent) {
  auto* r = new (std::nothrow) Request;
  if (r && withEvent && !(r->Ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr))) {
    delete r;
    r = nullptr;
  }
  return r;
}

void FreeRequest(Request* r) {
  if (!r) return;
  if (r->Ov.hEvent) CloseHandle(r->Ov.hEvent);
  delete r;
}

// ntdll exports wine_get_version only under Wine.
bool RunningUnderWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool IsSet(Event& e) { return WaitForSingleObject(reinterpret_cast<HANDLE>(e.NativeHandle()), 0) == WAIT_OBJECT_0; }

// True once the request has ended, waiting at most `ms` for it.
bool Ended(const Request& r, DWORD ms) {
  if (r.Ov.hEvent) {
    if (!HasOverlappedIoCompleted(&r.Ov)) WaitForSingleObject(r.Ov.hEvent, ms);
    return HasOverlappedIoCompleted(&r.Ov);
  }
  // The write record has no event: look at it. Only a write held back by the
  // line takes longer than a byte's time.
  const Deadline deadline(ms);
  while (!HasOverlappedIoCompleted(&r.Ov)) {
    if (deadline.Expired()) return false;
    Sleep(1);
  }
  return true;
}

class Win32SerialPort final : public SerialPort {
 public:
  Win32SerialPort(HANDLE port, Request* read, Request* write, bool readsAhead)
      : FPort(port), FReadsAhead(readsAhead), FRead(read), FWrite(write) {}
  ~Win32SerialPort() override { Close(); }

  bool Configure(const LineSettings& line) override;
  bool WatchFrameEnd() override {
    FMask = EV_RXFLAG;
    return SetCommMask(FPort, FMask);
  }
  PortWait WaitFrameEnd(Event& stop, uint32_t ms) override;
  uint32_t QueryStatus(bool& overflowed) override;
  size_t Read(char* buf, size_t n) override;
  void PurgeInput() override;
  void WriteByte(char b) override;
  void Close() override;

 private:
  bool SetLine(const LineSettings& line);
  bool SetTimeouts();
  PortWait WaitResult();
  void Cancel(Request*& r);
  void FinishAck();
  // The read-ahead (under Wine).
  PortWait WaitQueued(Event& stop, uint32_t ms);
  bool FrameQueued() const;
  bool Collect(bool& empty);
  bool Harvest(bool& empty);
  bool StartRead();
  uint32_t QueuedAhead(bool& overflowed);

  HANDLE FPort;
  const bool FReadsAhead;  // finds the event character itself
  uint32_t FMask = 0;
  char FEvtChar = 0;
  // The read-ahead queue: bytes read from the driver and not yet taken, and
  // the overflow of a queue that was full when a read ended.
  size_t FCount = 0;
  uint32_t FErrors = 0;
  char FAhead[kAheadCap];
  // The read request serves the wait for the event character and the read;
  // its event is manual-reset. The write request, without an event, serves
  // every ACK. Each stays untouched while it is pending. Null once a fresh
  // one could not be had: the port then does nothing more.
  Request* FRead;
  Request* FWrite;
};

// Queues, line and time-outs in this order, each whatever the one before
// returned.
bool Win32SerialPort::Configure(const LineSettings& line) {
  const bool queues = SetupComm(FPort, kQueueSize, kQueueSize);
  const bool set = SetLine(line);
  const bool timeouts = SetTimeouts();
  return queues && set && timeouts;
}

// Every field the line does not set keeps what the port reported. A port
// that cannot report its settings is asked once more; failing that, those
// fields go out as zeros and the device judges the whole.
bool Win32SerialPort::SetLine(const LineSettings& line) {
  DCB d{};
  for (int ask = 0; ask < 2; ++ask) {
    DCB reported{};
    reported.DCBlength = sizeof reported;
    if (GetCommState(FPort, &reported)) {
      d = reported;
      break;
    }
  }
  d.DCBlength = sizeof d;
  d.BaudRate = line.Speed;
  const uint32_t flags = FlagsOf(line.Flow);
  std::memcpy(reinterpret_cast<char*>(&d) + kDcbFlagsOffset, &flags, sizeof flags);
  d.ByteSize = line.DataBits;
  d.Parity = static_cast<BYTE>(line.Parity);
  d.StopBits = static_cast<BYTE>(line.StopBits);
  d.EvtChar = line.EventChar;
  FEvtChar = line.EventChar;
  return SetCommState(FPort, &d);
}

// The read-ahead's reads wait for the first byte without a limit; the
// channel's own read time-outs are for reads of what is already queued.
bool Win32SerialPort::SetTimeouts() {
  COMMTIMEOUTS c = kTimeouts;
  if (FReadsAhead) {
    c.ReadIntervalTimeout = kAheadIntervalMs;
    c.ReadTotalTimeoutMultiplier = 0;
    c.ReadTotalTimeoutConstant = 0;
  }
  return SetCommTimeouts(FPort, &c);
}

// A wait that is still pending from an earlier call (it ran out of time) is
// waited on again, not started twice: its DC4 is not lost. A device that
// fails every call at once must not hide the stop event from the loop.
PortWait Win32SerialPort::WaitFrameEnd(Event& stop, uint32_t ms) {
  if (FReadsAhead) return WaitQueued(stop, ms);
  if (!FRead) return IsSet(stop) ? PortWait::Stop : PortWait::Failed;
  if (!FRead->Pending) {
    // A wait or read that starts resets its event itself.
    FRead->Mask = 0;
    if (WaitCommEvent(FPort, &FRead->Mask, &FRead->Ov))
      SetEvent(FRead->Ov.hEvent);  // done at once: taken below like a later end
    else if (GetLastError() != ERROR_IO_PENDING)
      return IsSet(stop) ? PortWait::Stop : PortWait::Failed;
    FRead->Pending = true;
  }
  HANDLE list[2] = {reinterpret_cast<HANDLE>(stop.NativeHandle()), FRead->Ov.hEvent};  // stop first: it wins
  DWORD r = WaitForMultipleObjects(2, list, FALSE, ms == kInfinite ? INFINITE : static_cast<DWORD>(ms));
  if (r == WAIT_OBJECT_0) return PortWait::Stop;
  if (r == WAIT_OBJECT_0 + 1) return WaitResult();
  if (r == WAIT_TIMEOUT) return PortWait::Timeout;
  return IsSet(stop) ? PortWait::Stop : PortWait::Failed;
}

// Only the event character ends a frame, also when it was kept from before
// the wait started and the queue is empty by now: the loop then reads
// nothing. A wait that ends without it (an empty mask, as when the mask is
// changed or the driver cannot watch for it) or fails is no frame.
PortWait Win32SerialPort::WaitResult() {
  DWORD unused = 0;
  BOOL ok = GetOverlappedResult(FPort, &FRead->Ov, &unused, FALSE);
  if (!ok && GetLastError() == ERROR_IO_INCOMPLETE) {
    // A wake without an end: reset the event so that it does not come back
    // at once, then look again for an end that came before the reset.
    ResetEvent(FRead->Ov.hEvent);
    ok = GetOverlappedResult(FPort, &FRead->Ov, &unused, FALSE);
    if (!ok && GetLastError() == ERROR_IO_INCOMPLETE) return PortWait::Timeout;
  }
  FRead->Pending = false;
  return ok && (FRead->Mask & EV_RXFLAG) ? PortWait::FrameEnded : PortWait::Failed;
}

// ClearCommError clears every line error; of them only the overflow is
// reported.
uint32_t Win32SerialPort::QueryStatus(bool& overflowed) {
  if (FReadsAhead) return QueuedAhead(overflowed);
  DWORD e = 0;
  COMSTAT s{};
  if (!ClearCommError(FPort, &e, &s)) {
    overflowed = false;
    return 0;
  }
  overflowed = (e & CE_RXOVER) != 0;
  return s.cbInQue;
}

// The read time-outs make it return at once with what has arrived. The
// bytes land in the request's own memory, which outlives a lost read.
size_t Win32SerialPort::Read(char* buf, size_t n) {
  if (FReadsAhead) {
    if (n > FCount) n = FCount;
    std::memcpy(buf, FAhead, n);
    std::memmove(FAhead, FAhead + n, FCount - n);
    FCount -= n;
    return n;
  }
  if (!FRead || FRead->Pending || n == 0) return 0;  // the read record is busy
  Request* r = FRead;
  const DWORD want = static_cast<DWORD>(n < kReadChunk ? n : kReadChunk);
  if (!ReadFile(FPort, r->Data, want, nullptr, &r->Ov)) {
    if (GetLastError() != ERROR_IO_PENDING) return 0;
    r->Pending = true;
    if (Ended(*r, kReadLimitMs))
      r->Pending = false;
    else
      Cancel(FRead);
    if (r->Pending) return 0;  // abandoned
  }
  DWORD got = 0;
  GetOverlappedResult(FPort, &r->Ov, &got, FALSE);  // a cancelled read keeps what it took
  if (got > want) got = want;
  std::memcpy(buf, r->Data, got);
  return got;
}

// Under Wine a pending read may hold bytes of what is to be discarded.
void Win32SerialPort::PurgeInput() {
  if (FReadsAhead) {
    if (FRead && FRead->Pending) Cancel(FRead);
    FCount = 0;
  }
  PurgeComm(FPort, PURGE_RXCLEAR);
}

// Not awaited: the worker goes on while the byte goes out.
void Win32SerialPort::WriteByte(char b) {
  FinishAck();
  if (!FWrite) return;
  FWrite->Data[0] = b;
  FWrite->Pending = !WriteFile(FPort, FWrite->Data, 1, nullptr, &FWrite->Ov) && GetLastError() == ERROR_IO_PENDING;
}

// The request is reused only once the last ACK is done.
void Win32SerialPort::FinishAck() {
  if (!FWrite || !FWrite->Pending) return;
  if (Ended(*FWrite, kAckStallMs))
    FWrite->Pending = false;
  else
    Cancel(FWrite);
}

// Cancels a pending request and waits a little for it to end. One that does
// not stays pending and is abandoned: `r` gets a fresh request.
void Win32SerialPort::Cancel(Request*& r) {
  CancelIoEx(FPort, &r->Ov);
  if (Ended(*r, kCancelLimitMs)) {
    r->Pending = false;
    return;
  }
  r = NewRequest(r->Ov.hEvent != nullptr);
}

// Pending requests end before their memory goes; the wait event closes
// before the port. The documented end of a pending wait is a new event mask,
// which completes it with an empty mask; cancelling comes second.
void Win32SerialPort::Close() {
  if (FPort == INVALID_HANDLE_VALUE) return;
  if (FRead && FRead->Pending && FReadsAhead) {
    Cancel(FRead);  // a read does not end on a new event mask
  } else if (FRead && FRead->Pending) {
    SetCommMask(FPort, 0);
    if (Ended(*FRead, kCancelLimitMs))
      FRead->Pending = false;
    else
      Cancel(FRead);
  }
  // The last ACK may be for an event the host has taken: let it go out.
  FinishAck();
  FreeRequest(FRead);
  FreeRequest(FWrite);
  FRead = FWrite = nullptr;
  CloseHandle(FPort);
  FPort = INVALID_HANDLE_VALUE;
}

// Like the Windows wait: until the event character is queued, `stop` is set
// or `ms` pass. A read that ends without a byte (a driver that does not
// honour the time-outs) ends the wait on the stop event alone, so such a
// driver cannot make it spin.
PortWait Win32SerialPort::WaitQueued(Event& stop, uint32_t ms) {
  const Deadline deadline(ms);
  for (;;) {
    bool empty = false;
    if (!Collect(empty)) return IsSet(stop) ? PortWait::Stop : PortWait::Failed;
    if (FrameQueued()) return PortWait::FrameEnded;
    const DWORD left = deadline.Remaining();
    HANDLE list[2] = {reinterpret_cast<HANDLE>(stop.NativeHandle()), FRead->Ov.hEvent};
    DWORD r = WaitForMultipleObjects(empty ? 1 : 2, list, FALSE, left);
    if (r == WAIT_OBJECT_0) return PortWait::Stop;
    if (r == WAIT_TIMEOUT) return PortWait::Timeout;
    if (r != WAIT_OBJECT_0 + 1) return IsSet(stop) ? PortWait::Stop : PortWait::Failed;
  }
}

bool Win32SerialPort::FrameQueued() const {
  return (FMask & EV_RXFLAG) && FCount > 0 && std::memchr(FAhead, FEvtChar, FCount) != nullptr;
}

// Takes what an ended read brought and keeps one read pending. False when
// the device fails or no request can be had.
bool Win32SerialPort::Collect(bool& empty) { return Harvest(empty) && StartRead(); }

// Moves the bytes of an ended read into the queue; those beyond its room are
// dropped and flag an overflow, as the driver's own queue would.
bool Win32SerialPort::Harvest(bool& empty) {
  if (!FRead) return false;
  if (!FRead->Pending || !HasOverlappedIoCompleted(&FRead->Ov)) return true;
  FRead->Pending = false;
  DWORD got = 0;
  // Wine ends a read that timed out with ERROR_TIMEOUT and no bytes.
  if (!GetOverlappedResult(FPort, &FRead->Ov, &got, FALSE) && GetLastError() != ERROR_TIMEOUT) return false;
  if (got > kReadChunk) got = kReadChunk;
  const size_t room = kAheadCap - FCount;
  if (got > room) FErrors |= CE_RXOVER;
  const size_t keep = got < room ? got : room;
  std::memcpy(FAhead + FCount, FRead->Data, keep);
  FCount += keep;
  empty = got == 0;
  return true;
}

bool Win32SerialPort::StartRead() {
  if (FRead->Pending) return true;
  if (!ReadFile(FPort, FRead->Data, kReadChunk, nullptr, &FRead->Ov) && GetLastError() != ERROR_IO_PENDING)
    return false;
  FRead->Pending = true;  // also when done at once: harvested like a later end
  return true;
}

// What the queue holds; bytes the driver has queued meanwhile are read into
// it first, waiting a little for the read that takes them.
uint32_t Win32SerialPort::QueuedAhead(bool& overflowed) {
  bool empty = false;
  DWORD e = 0;
  COMSTAT s{};
  const bool queued = ClearCommError(FPort, &e, &s) && s.cbInQue > 0;
  if (Collect(empty) && queued && Ended(*FRead, kReadLimitMs)) Collect(empty);
  overflowed = ((FErrors | e) & CE_RXOVER) != 0;
  FErrors = 0;
  return static_cast<uint32_t>(FCount);
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
  Request* read = NewRequest(true);
  Request* write = NewRequest(false);
  auto* p = read && write ? new (std::nothrow) Win32SerialPort(h, read, write, RunningUnderWine()) : nullptr;
  if (!p) {
    FreeRequest(read);
    FreeRequest(write);
    CloseHandle(h);
  }
  return std::unique_ptr<SerialPort>(p);
}

}  // namespace kvarn::platform
