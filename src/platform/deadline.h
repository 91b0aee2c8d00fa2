// A time limit on the monotonic clock, for waits that go round a loop and
// must together end on time: each round waits for what is left.
#pragma once

#include <cstdint>

#include "platform/clock.h"
#include "platform/event.h"  // kInfinite

namespace kvarn::platform {

class Deadline {
 public:
  // `ms` from now; kInfinite never ends, 0 has already ended.
  explicit Deadline(uint32_t ms) : FForever(ms == kInfinite), FAt(MonotonicMs() + ms) {}

  bool Forever() const { return FForever; }
  // Once the clock has reached it; never when kInfinite.
  bool Expired() const { return !FForever && MonotonicMs() >= FAt; }
  // Milliseconds left: 0 once expired, kInfinite when it never ends.
  uint32_t Remaining() const {
    if (FForever) return kInfinite;
    const uint64_t now = MonotonicMs();
    return now >= FAt ? 0 : static_cast<uint32_t>(FAt - now);
  }

 private:
  bool FForever;
  uint64_t FAt;
};

}  // namespace kvarn::platform
