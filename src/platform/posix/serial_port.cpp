// Serial ports on termios. Port N is the file "ComN" in the current
// directory, which users link to their device. termios has no event
// character, so the port keeps its own input queue and looks for the event
// character in it.
#include "platform/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "platform/deadline.h"
#include "platform/posix/serial_speed.h"

namespace kvarn::platform {
namespace {

constexpr size_t kQueueCap = 4096;

struct SpeedCode {
  uint32_t Baud;
  speed_t Code;
};

constexpr SpeedCode kSpeeds[] = {
    {50, B50},         {75, B75},           {110, B110},         {134, B134},
    {150, B150},       {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},     {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},     {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200}, {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000}, {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool StandardSpeed(uint32_t baud, speed_t& code) {
  for (const auto& s : kSpeeds)
    if (s.Baud == baud) {
      code = s.Code;
      return true;
    }
  return false;
}

uint32_t SpeedOf(const termios& t) {
  speed_t code = cfgetospeed(&t);
  for (const auto& s : kSpeeds)
    if (s.Code == code) return s.Baud;
  return 0;
}

constexpr tcflag_t kCharFormat = CSIZE | PARENB | PARODD | CMSPAR;

void ApplyByteSize(termios& t, uint8_t size) {
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  if (size < 5 || size > 8) return;
  t.c_cflag = (t.c_cflag & ~CSIZE) | kSizes[size - 5];
}

void ApplyParity(termios& t, uint8_t parity) {
  static constexpr tcflag_t kParity[] = {0, PARENB | PARODD, PARENB, PARENB | CMSPAR | PARODD,
                                         PARENB | CMSPAR};
  if (parity > 4) return;
  t.c_cflag = (t.c_cflag & ~(PARENB | PARODD | CMSPAR)) | kParity[parity];
}

void ApplyStopBits(termios& t, uint8_t stopBits) {
  if (stopBits == 0) t.c_cflag &= ~CSTOPB;
  if (stopBits == 1 || stopBits == 2) t.c_cflag |= CSTOPB;  // termios has no 1.5
}

void ApplyFlowControl(termios& t, uint32_t flags) {
  t.c_iflag &= ~(IXON | IXOFF | IXANY);
  if (flags & kDcbOutX) t.c_iflag |= IXON;
  if (flags & kDcbInX) t.c_iflag |= IXOFF;
  // termios ties both directions of hardware flow control together.
  bool rtsCts = (flags & kDcbOutxCtsFlow) || (flags & kDcbRtsControlMask) == kDcbRtsHandshake;
  if (rtsCts)
    t.c_cflag |= CRTSCTS;
  else
    t.c_cflag &= ~CRTSCTS;
}

// The control-mode bits that hold the line speed (Linux keeps it there; other
// systems keep it in fields of its own).
#if defined(CBAUD) && defined(CBAUDEX) && defined(CIBAUD)
constexpr tcflag_t kSpeedBits = CBAUD | CBAUDEX | CIBAUD;
#elif defined(CBAUD)
constexpr tcflag_t kSpeedBits = CBAUD;
#else
constexpr tcflag_t kSpeedBits = 0;
#endif

// Raw reception and nothing else, whatever another program left on the
// device: no input, output or local processing at all (no parity checking
// either, whatever the parity; no case mapping, no echo, no signals), and in
// the control modes only the receiver on, the modem status lines ignored and
// DTR dropped at close (HUPCL), as a Windows port drops it. The speed, the
// character format and the XON/XOFF characters stay as the port had them
// until the settings say otherwise; reads never block.
termios RawLine(const termios& current) {
  termios t = current;
  t.c_iflag = 0;
  t.c_oflag = 0;
  t.c_lflag = 0;
  t.c_cflag = (current.c_cflag & (kSpeedBits | kCharFormat | CSTOPB)) | CREAD | CLOCAL | HUPCL;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  return t;
}

// A pty has no modem lines; those calls fail there and that is fine.
void SetModemLine(int fd, int line, bool raise) {
  [[maybe_unused]] int r = ioctl(fd, raise ? TIOCMBIS : TIOCMBIC, &line);
}

void SetModemLines(int fd, uint32_t flags) {
  SetModemLine(fd, TIOCM_DTR, (flags & kDcbDtrControlMask) != 0);
  uint32_t rts = flags & kDcbRtsControlMask;
  SetModemLine(fd, TIOCM_RTS, rts == kDcbRtsEnable || rts == kDcbRtsHandshake);
}

class PosixSerialPort final : public SerialPort {
 public:
  explicit PosixSerialPort(int fd) : FFd(fd) {}
  ~PosixSerialPort() override { Close(); }

  // termios has no queue sizes, and reads never block (VMIN = VTIME = 0)
  // whatever time-outs are asked for.
  bool SetupQueues(uint32_t, uint32_t) override { return true; }
  bool SetTimeouts(const CommTimeouts&) override { return true; }

  bool SetEventMask(uint32_t mask) override {
    FMask = mask;
    return true;
  }

  bool GetState(CommState& state) override;
  bool SetState(const CommState& state) override;
  PortWait WaitFrameEnd(Event& stop, uint32_t ms) override;
  uint32_t QueryStatus(uint32_t& errors) override;
  size_t Read(char* buf, size_t n) override;
  void PurgeInput() override;
  void SendAck(char ack) override;
  void Close() override;

 private:
  bool FrameQueued() const {
    return (FMask & kEvRxFlag) && FCount > 0 && std::memchr(FQueue, FEvtChar, FCount) != nullptr;
  }
  bool DrainDevice(short revents = 0);

  int FFd;
  uint32_t FMask = 0;
  char FEvtChar = 0;
  uint32_t FErrors = 0;
  size_t FCount = 0;
  char FQueue[kQueueCap];
};

bool PosixSerialPort::GetState(CommState& state) {
  termios t{};
  if (tcgetattr(FFd, &t) != 0) return false;
  uint32_t baud = posix::ReadArbitrarySpeed(FFd);
  state.BaudRate = baud ? baud : SpeedOf(t);
  static constexpr uint8_t kSizes[] = {5, 6, 7, 8};
  tcflag_t size = t.c_cflag & CSIZE;
  state.ByteSize = kSizes[size == CS5 ? 0 : size == CS6 ? 1 : size == CS7 ? 2 : 3];
  if (!(t.c_cflag & PARENB))
    state.Parity = 0;
  else if (t.c_cflag & CMSPAR)
    state.Parity = (t.c_cflag & PARODD) ? 3 : 4;
  else
    state.Parity = (t.c_cflag & PARODD) ? 1 : 2;
  state.StopBits = (t.c_cflag & CSTOPB) ? 2 : 0;
  state.Flags = kDcbBinary | kDcbDtrEnable;
  if (t.c_iflag & IXON) state.Flags |= kDcbOutX;
  if (t.c_iflag & IXOFF) state.Flags |= kDcbInX;
  if (t.c_cflag & CRTSCTS) state.Flags |= kDcbOutxCtsFlow | kDcbRtsHandshake;
  state.EvtChar = FEvtChar;
  return true;
}

bool PosixSerialPort::SetState(const CommState& state) {
  FEvtChar = state.EvtChar;
  termios current{};
  if (tcgetattr(FFd, &current) != 0) return false;
  termios t = RawLine(current);
  ApplyStopBits(t, state.StopBits);
  ApplyFlowControl(t, state.Flags);
  speed_t code;
  bool standard = StandardSpeed(state.BaudRate, code);
  if (standard) {
    cfsetispeed(&t, code);
    cfsetospeed(&t, code);
  }
  termios withoutFormat = t;
  ApplyByteSize(t, state.ByteSize);
  ApplyParity(t, state.Parity);
  bool ok = tcsetattr(FFd, TCSANOW, &t) == 0;
  // Some devices refuse a character format (a pty takes no 6 or 7 data
  // bits); speed, stop bits and flow control must still land.
  if (!ok) ok = tcsetattr(FFd, TCSANOW, &withoutFormat) == 0;
  if (!standard && state.BaudRate > 0) ok = posix::SetArbitrarySpeed(FFd, state.BaudRate) && ok;
  SetModemLines(FFd, state.Flags);
  return ok;
}

// Moves what the device has into the queue; bytes beyond its capacity are
// dropped and flag an overflow. False when the device is gone: it reports a
// hang-up or error without data, it is readable but gives nothing, or a read
// fails. (A readable device that gives nothing would otherwise make every
// wait return at once.) `revents` is what a poll of the device has just
// reported; 0 has it polled here.
bool PosixSerialPort::DrainDevice(short revents) {
  if (revents == 0) {
    pollfd p{FFd, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0 || p.revents == 0) return true;
    revents = p.revents;
  }
  if (!(revents & POLLIN)) return false;
  char spill[256];
  // Bounded: a device that floods faster than this loop reads is served again
  // on the next call.
  for (int i = 0; i < 64; ++i) {
    bool full = FCount == kQueueCap;
    size_t room = full ? sizeof spill : kQueueCap - FCount;
    ssize_t n = read(FFd, full ? spill : FQueue + FCount, room);
    if (n > 0) {
      if (full)
        FErrors |= kCeRxOver;
      else
        FCount += static_cast<size_t>(n);
      // A read that did not fill the room took all there was.
      if (static_cast<size_t>(n) < room) return true;
      continue;
    }
    // With VMIN = VTIME = 0 an empty read returns 0, so only the first read,
    // right after poll said readable, tells that the device is gone.
    if (i == 0) return false;
    return n == 0 || errno == EAGAIN || errno == EINTR;
  }
  return true;
}

PortWait PosixSerialPort::WaitFrameEnd(Event& stop, uint32_t ms) {
  const Deadline deadline(ms);
  for (;;) {
    int timeout = -1;
    if (FrameQueued()) {
      timeout = 0;
    } else if (!deadline.Forever()) {
      timeout = static_cast<int>(deadline.Remaining());
    }
    pollfd p[2] = {{static_cast<int>(stop.NativeHandle()), POLLIN, 0}, {FFd, POLLIN, 0}};
    int r = poll(p, 2, timeout);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return PortWait::Failed;
    if (p[0].revents & POLLIN) return PortWait::Stop;
    bool alive = p[1].revents == 0 || DrainDevice(p[1].revents);
    if (FrameQueued()) return PortWait::FrameEnded;
    if (!alive || (p[1].revents & POLLNVAL)) return PortWait::Failed;
    if (r == 0) return PortWait::Timeout;
  }
}

uint32_t PosixSerialPort::QueryStatus(uint32_t& errors) {
  DrainDevice();
  errors = FErrors;
  FErrors = 0;
  return static_cast<uint32_t>(FCount);
}

size_t PosixSerialPort::Read(char* buf, size_t n) {
  if (n > FCount) n = FCount;
  std::memcpy(buf, FQueue, n);
  std::memmove(FQueue, FQueue + n, FCount - n);
  FCount -= n;
  return n;
}

void PosixSerialPort::PurgeInput() {
  FCount = 0;
  tcflush(FFd, TCIFLUSH);
}

void PosixSerialPort::SendAck(char ack) {
  // Non-blocking descriptor: a stalled line never holds up the worker.
  [[maybe_unused]] ssize_t n = write(FFd, &ack, 1);
}

void PosixSerialPort::Close() {
  if (FFd >= 0) close(FFd);  // also drops the lock
  FFd = -1;
}

}  // namespace

std::unique_ptr<SerialPort> OpenSerialPort(int port) {
  if (port <= 0) return nullptr;
  const std::string name = "Com" + std::to_string(port);
  int fd = open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  // flock holds across processes and open descriptions, also against root.
  if (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return nullptr;
  }
  auto* p = new (std::nothrow) PosixSerialPort(fd);
  if (!p) close(fd);
  return std::unique_ptr<SerialPort>(p);
}

}  // namespace kvarn::platform
