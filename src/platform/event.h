// Events and waits of the platform, shaped after Win32 events: a manual-reset
// event stays set until reset, an auto-reset event is consumed by the one wait
// that it ends. An event only wakes a waiter; what happened is decided from
// state read under a lock by the caller.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace kvarn::platform {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

enum class EventReset { Manual, Auto };

class Event {
 public:
  // Null when the platform cannot create one.
  static std::unique_ptr<Event> Create(EventReset kind);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  // True when the event was (or became) set within `ms` (kInfinite: no limit).
  bool Wait(uint32_t ms);

  EventReset Kind() const { return FKind; }
  // The object the platform waits on: an eventfd on POSIX (readable while
  // set), a HANDLE on Win32. Ports wait on it together with their device.
  intptr_t NativeHandle() const { return FHandle; }

 private:
  friend int WaitAny(Event& first, Event& second, uint32_t ms);
  Event(intptr_t handle, EventReset kind) : FHandle(handle), FKind(kind) {}
  // POSIX: takes the signal of an auto-reset event; false when another
  // waiter was faster.
  bool Consume();
  intptr_t FHandle;
  EventReset FKind;
  // POSIX: false when the event is surely not set, so a reset needs no
  // system call. Set only after the signal is given, cleared before it is
  // taken: a stale true costs one needless read, never a lost signal.
  std::atomic<bool> FMaybeSet{false};
};

// Waits until one of the two events is set: 0 for `first`, 1 for `second`, -1
// when neither was set within `ms` or the wait failed. When both are set the
// first wins; only the event reported is consumed if it is auto-reset.
int WaitAny(Event& first, Event& second, uint32_t ms);

}  // namespace kvarn::platform
