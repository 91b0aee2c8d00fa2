// Events on eventfd: readable while set, so a port can poll one together
// with its device.
#include "platform/event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/deadline.h"

namespace kvarn::platform {
namespace {

int Fd(const Event& e) { return static_cast<int>(e.NativeHandle()); }

// poll() for up to `ms` (kInfinite: no limit); EINTR restarts it with the
// time that is left.
int PollUntil(pollfd* fds, nfds_t n, uint32_t ms) {
  const Deadline deadline(ms);
  for (;;) {
    const int timeout = deadline.Forever() ? -1 : static_cast<int>(deadline.Remaining());
    int r = poll(fds, n, timeout);
    if (r >= 0 || errno != EINTR) return r;
  }
}

}  // namespace

std::unique_ptr<Event> Event::Create(EventReset kind) {
  int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) return nullptr;
  return std::unique_ptr<Event>(new Event(fd, kind));
}

Event::~Event() { close(static_cast<int>(FHandle)); }

bool Event::Consume() {
  FMaybeSet.store(false);
  uint64_t value = 0;
  return read(Fd(*this), &value, sizeof value) == static_cast<ssize_t>(sizeof value);
}

void Event::Set() {
  uint64_t one = 1;
  // Only fails when the counter is near 2^64; it is set then anyway.
  [[maybe_unused]] ssize_t r = write(Fd(*this), &one, sizeof one);
  FMaybeSet.store(true);
}

// The worker resets the taken event before every handover, when it is almost
// never set: then the read (which would fail) is skipped.
void Event::Reset() {
  if (!FMaybeSet.exchange(false)) return;
  uint64_t value = 0;
  [[maybe_unused]] ssize_t r = read(Fd(*this), &value, sizeof value);
}

bool Event::Wait(uint32_t ms) {
  const Deadline deadline(ms);
  for (;;) {
    const uint32_t left = deadline.Remaining();
    pollfd p{Fd(*this), POLLIN, 0};
    if (PollUntil(&p, 1, left) <= 0) return false;
    if (FKind == EventReset::Manual || Consume()) return true;
    if (left == 0) return false;
  }
}

int WaitAny(Event& first, Event& second, uint32_t ms) {
  const Deadline deadline(ms);
  for (;;) {
    const uint32_t left = deadline.Remaining();
    pollfd p[2] = {{Fd(first), POLLIN, 0}, {Fd(second), POLLIN, 0}};
    if (PollUntil(p, 2, left) <= 0) return -1;
    for (int i = 0; i < 2; ++i) {
      Event& e = i == 0 ? first : second;
      if ((p[i].revents & POLLIN) && (e.Kind() == EventReset::Manual || e.Consume())) return i;
    }
    if (left == 0) return -1;
  }
}

}  // namespace kvarn::platform
