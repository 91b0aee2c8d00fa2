#include "sim/serial.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kvarn::sim {
namespace {

struct BaudRate {
  int baud;
  speed_t speed;
};
constexpr BaudRate kBauds[] = {{300, B300},     {1200, B1200},   {2400, B2400},   {4800, B4800},
                               {9600, B9600},   {19200, B19200}, {38400, B38400}, {57600, B57600},
                               {115200, B115200}};

speed_t SpeedOf(int baud) {
  for (const BaudRate& b : kBauds)
    if (b.baud == baud) return b.speed;
  return B9600;
}

std::string Why(const std::string& what) { return what + ": " + std::strerror(errno); }

bool MakeRaw(int fd, speed_t speed) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return false;
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | CRTSCTS);
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  return tcsetattr(fd, TCSANOW, &t) == 0;
}

}  // namespace

bool IsKnownBaud(int baud) {
  for (const BaudRate& b : kBauds)
    if (b.baud == baud) return true;
  return false;
}

std::string PtyUnavailable() { return {}; }

const char* DeviceUsage() {
  return "  DEVICE            serial device or pty slave to send on (e.g. /dev/ttyUSB0)\n";
}

bool OpenDevice(const std::string& path, int baud, Line& line, std::string& error) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    error = Why("cannot open " + path);
    return false;
  }
  if (!isatty(fd)) {
    close(fd);
    error = path + " is not a terminal device";
    return false;
  }
  if (!MakeRaw(fd, SpeedOf(baud))) {
    error = Why("cannot set up " + path);
    close(fd);
    return false;
  }
  line.fd = fd;
  return true;
}

bool CreatePty(Line& line, std::string& error) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    error = Why("cannot create a pseudo-terminal");
    if (master >= 0) close(master);
    return false;
  }
  const char* name = ptsname(master);
  int slave = name ? open(name, O_RDWR | O_NOCTTY) : -1;
  if (slave < 0) {
    error = Why("cannot open the pseudo-terminal's slave");
    close(master);
    return false;
  }
  // Raw from the start: a slave that echoes would send our own frames back
  // before the host has set the line up.
  MakeRaw(slave, B9600);
  close(slave);
  line.fd = master;
  line.ptyMaster = true;
  line.slavePath = name;
  return true;
}

bool LinkPty(Line& line, const std::string& linkPath, std::string& error) {
  struct stat st {};
  if (lstat(linkPath.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      error = linkPath + " exists and is not a symbolic link; not replacing it";
      return false;
    }
    unlink(linkPath.c_str());
  }
  if (symlink(line.slavePath.c_str(), linkPath.c_str()) != 0) {
    error = Why("cannot link " + linkPath + " to " + line.slavePath);
    return false;
  }
  line.linkPath = linkPath;
  return true;
}

void CloseLine(Line& line) {
  if (!line.linkPath.empty()) {
    char target[4096];
    ssize_t n = readlink(line.linkPath.c_str(), target, sizeof target - 1);
    if (n >= 0 && std::string(target, static_cast<size_t>(n)) == line.slavePath) unlink(line.linkPath.c_str());
    line.linkPath.clear();
  }
  if (line.fd >= 0) close(line.fd);
  line.fd = -1;
}

}  // namespace kvarn::sim
