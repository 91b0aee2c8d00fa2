#include "common/stop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kvarn::tools {
namespace {

// A signal only sets the flag and writes to this pipe; every wait of the
// tools includes its read end.
volatile sig_atomic_t gStop = 0;
int gStopPipe[2] = {-1, -1};

void OnSignal(int) {
  gStop = 1;
  char b = 1;
  ssize_t ignored = write(gStopPipe[1], &b, 1);
  (void)ignored;
}

}  // namespace

void InstallStopHandlers() {
  if (gStopPipe[0] < 0 && pipe(gStopPipe) == 0) fcntl(gStopPipe[1], F_SETFL, O_NONBLOCK);
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

bool StopRequested() { return gStop != 0; }

void SleepOrStop(int ms) {
  pollfd p{gStopPipe[0], POLLIN, 0};
  poll(&p, gStopPipe[0] >= 0 ? 1 : 0, ms);  // a signal cuts it short, which is what we want
}

intptr_t StopHandle() { return gStopPipe[0]; }

bool ChangeDirectory(const std::string& dir, std::string& error) {
  if (chdir(dir.c_str()) == 0) return true;
  error = std::strerror(errno);
  return false;
}

}  // namespace kvarn::tools
