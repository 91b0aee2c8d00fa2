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
  // The event of frame `frameNo` (the decoder's count) is handed over.
  static bool ReadyWith(TCommThread& c, uint32_t frameNo) {
    std::lock_guard lock(c.FLock);
    return c.FMsgReady && c.FReadyFrameNo == frameNo;
  }
  // Whether an event is ready, and of which frame the last handoff was.
  static void Handed(TCommThread& c, bool& ready, uint32_t& frameNo) {
    std::lock_guard lock(c.FLock);
    ready = c.FMsgReady;
    frameNo = c.FReadyFrameNo;
  }
  // tlf_GetMsg, also telling which frame's event was handed over as it ran.
  static int GetMsgNoted(TCommThread& c, TlfMsg& out, bool& ready, uint32_t& readyFrameNo) {
    bool signal = false;
    int got;
    {
      std::lock_guard lock(c.FLock);
      ready = c.FMsgReady;
      readyFrameNo = c.FReadyFrameNo;
      got = c.TakeLocked(out, signal);
    }
    if (signal) c.FTakenEvent->Set();
    return got;
  }
  // tlf_GetMsg's body for a caller that already holds Lock(c).
  static int GetMsgLocked(TCommThread& c, TlfMsg& out) {
    if (!c.FMsgReady) return 0;
    c.DeliverReady(out);
    return 1;
  }
};

}  // namespace kvarn
