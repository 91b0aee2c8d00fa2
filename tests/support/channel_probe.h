// A look inside a running channel, for tests that must line up with the
// worker: whether an event is handed over, and the channel's lock itself.
#pragma once

#include <mutex>

#include "host/comm_thread.h"

namespace kvarn {

struct TCommThreadProbe {
  static bool Ready(TCommThread& c) {
    std::lock_guard lock(c.FLock);
    return c.FMsgReady;
  }
  static std::mutex& Lock(TCommThread& c) { return c.FLock; }
  // tlf_GetMsg's body for a caller that already holds Lock(c).
  static int GetMsgLocked(TCommThread& c, TlfMsg& out) {
    if (!c.FMsgReady) return 0;
    c.DeliverReady(out);
    return 1;
  }
};

}  // namespace kvarn
