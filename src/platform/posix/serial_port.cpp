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
#include <iterator>
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

constexpr tcflag_t kCharFormat = CSIZE | PARENB | PARODD | CMSPAR;

void ApplyByteSize(termios& t, uint8_t size) {
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  if (size < 5 || size > 8) return;
  t.c_cflag = (t.c_cflag & ~CSIZE) | kSizes[size - 5];
}

// A parity or stop-bit number outside the named ones leaves that setting as
// the device had it.
void ApplyParity(termios& t, LineParity parity) {
  static constexpr tcflag_t kParity[] = {0, PARENB | PARODD, PARENB, PARENB | CMSPAR | PARODD,
                                         PARENB | CMSPAR};
  const auto code = static_cast<uint8_t>(parity);
  if (code >= std::size(kParity)) return;
  t.c_cflag = (t.c_cflag & ~(PARENB | PARODD | CMSPAR)) | kParity[code];
}

void ApplyStopBits(termios& t, LineStopBits stopBits) {
  if (stopBits == LineStopBits::One) t.c_cflag &= ~CSTOPB;
  if (stopBits == LineStopBits::OneAndHalf || stopBits == LineStopBits::Two)
    t.c_cflag |= CSTOPB;  // termios has no 1.5
}

// termios ties both directions of hardware flow control together.
void ApplyFlowControl(termios& t, LineFlow flow) {
  t.c_iflag &= ~(IXON | IXOFF | IXANY);
  if (flow == LineFlow::XonXoff) t.c_iflag |= IXON | IXOFF;
  if (flow == LineFlow::RtsCts)
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

// DTR raised; RTS only as the handshake line.
void SetModemLines(int fd, LineFlow flow) {
  SetModemLine(fd, TIOCM_DTR, true);
  SetModemLine(fd, TIOCM_RTS, flow == LineFlow::RtsCts);
}

class PosixSerialPort final : public SerialPort {
 public:
  explicit PosixSerialPort(int fd) : FFd(fd) {}
  ~PosixSerialPort() override { Close(); }

  // termios has no queue sizes, and reads never block (VMIN = VTIME = 0):
  // the line is all there is to set.
  bool Configure(const LineSettings& line) override { return SetLine(line); }

  bool WatchFrameEnd() override {
    FWatching = true;
    return true;
  }

  PortWait WaitFrameEnd(Event& stop, uint32_t ms) override;
  uint32_t QueryStatus(bool& overflowed) override;
  size_t Read(char* buf, size_t n) override;
  void PurgeInput() override;
  void WriteByte(char b) override;
  void Close() override;

 private:
  bool SetLine(const LineSettings& line);
  bool FrameQueued() const {
    return FWatching && FCount > 0 && std::memchr(FQueue, FEvtChar, FCount) != nullptr;
  }
  bool DrainDevice(short revents = 0);

  int FFd;
  bool FWatching = false;
  char FEvtChar = 0;
  bool FOverflowed = false;
  size_t FCount = 0;
  char FQueue[kQueueCap];
};

bool PosixSerialPort::SetLine(const LineSettings& line) {
  FEvtChar = line.EventChar;
  termios current{};
  if (tcgetattr(FFd, &current) != 0) return false;
  termios t = RawLine(current);
  ApplyStopBits(t, line.StopBits);
  ApplyFlowControl(t, line.Flow);
  speed_t code;
  bool standard = StandardSpeed(line.Speed, code);
  if (standard) {
    cfsetispeed(&t, code);
    cfsetospeed(&t, code);
  }
  termios withoutFormat = t;
  ApplyByteSize(t, line.DataBits);
  ApplyParity(t, line.Parity);
  bool ok = tcsetattr(FFd, TCSANOW, &t) == 0;
  // Some devices refuse a character format (a pty takes no 6 or 7 data
  // bits); speed, stop bits and flow control must still land.
  if (!ok) ok = tcsetattr(FFd, TCSANOW, &withoutFormat) == 0;
  if (!standard && line.Speed > 0) ok = posix::SetArbitrarySpeed(FFd, line.Speed) && ok;
  SetModemLines(FFd, line.Flow);
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
        FOverflowed = true;
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

uint32_t PosixSerialPort::QueryStatus(bool& overflowed) {
  DrainDevice();
  overflowed = FOverflowed;
  FOverflowed = false;
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

void PosixSerialPort::WriteByte(char b) {
  // Non-blocking descriptor: a stalled line never holds up the worker.
  [[maybe_unused]] ssize_t n = write(FFd, &b, 1);
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
