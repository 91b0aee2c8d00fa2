#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "sim/line_io.h"

namespace kvarn::sim::io {
namespace {

int Fd(intptr_t h) { return static_cast<int>(h); }

// poll() takes whole milliseconds; round up so a wait never ends early.
int PollMs(Clock::time_point until) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 60'000));
}

}  // namespace

void Prepare(intptr_t line) {
  int flags = fcntl(Fd(line), F_GETFL);
  if (flags >= 0) fcntl(Fd(line), F_SETFL, flags | O_NONBLOCK);
}

ReadResult ReadSome(intptr_t line, intptr_t stop, Clock::time_point until, char* buf, size_t size, size_t& got) {
  got = 0;
  for (;;) {
    if (Clock::now() >= until) return ReadResult::Timeout;
    pollfd fds[2] = {{Fd(line), POLLIN, 0}, {Fd(stop), POLLIN, 0}};
    int n = poll(fds, stop >= 0 ? 2 : 1, PollMs(until));
    if (n < 0 && errno == EINTR) continue;
    if (stop >= 0 && fds[1].revents) return ReadResult::Stop;
    if (n <= 0) continue;
    ssize_t r = 0;
    if (fds[0].revents & POLLIN) {
      r = read(Fd(line), buf, size);
      if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    }
    // Woken without bytes: the host let go of the port.
    if (r <= 0) return ReadResult::Gone;
    got = static_cast<size_t>(r);
    return ReadResult::Data;
  }
}

size_t ReadWaiting(intptr_t line, char* buf, size_t size) {
  pollfd p{Fd(line), POLLIN, 0};
  if (poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN)) return 0;
  ssize_t got = read(Fd(line), buf, size);
  return got > 0 ? static_cast<size_t>(got) : 0;
}

void WriteAll(intptr_t line, intptr_t stop, const std::string& bytes, Clock::time_point deadline) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(Fd(line), bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return;  // host gone: the try times out
    pollfd fds[2] = {{Fd(line), POLLOUT, 0}, {Fd(stop), POLLIN, 0}};
    if (Clock::now() >= deadline || poll(fds, stop >= 0 ? 2 : 1, PollMs(deadline)) < 0) return;
    if (stop >= 0 && fds[1].revents) return;
  }
}

bool StopSet(intptr_t stop) {
  if (stop < 0) return false;
  pollfd p{Fd(stop), POLLIN, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

void WaitForStop(intptr_t stop, Clock::time_point until) {
  pollfd p{Fd(stop), POLLIN, 0};
  poll(&p, stop >= 0 ? 1 : 0, PollMs(until));
}

bool HostPresent(intptr_t line) {
  pollfd p{Fd(line), 0, 0};
  poll(&p, 1, 0);
  return !(p.revents & POLLHUP);
}

}  // namespace kvarn::sim::io
