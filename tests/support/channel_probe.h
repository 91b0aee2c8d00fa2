// A look inside a running channel, for tests that must line up with the
// worker: whether an event is handed over, and the channel's lock itself.
#pragma once

#include <mutex>

#include "host/comm_thread.h"

namespace kvarn {

struct TCommThreadProbe {
  static bool Ready(TCommThread& c) {
    std::lock_guard lock(c.FHost.Lock);
    return c.FHost.MsgReady;
  }
  static std::mutex& Lock(TCommThread& c) { return c.FHost.Lock; }
  // The event of frame `frameNo` (the decoder's count) is handed over.
  static bool ReadyWith(TCommThread& c, uint32_t frameNo) {
    std::lock_guard lock(c.FHost.Lock);
    return c.FHost.MsgReady && c.FHost.ReadyFrameNo == frameNo;
  }
  // Whether an event is ready, and of which frame the last handoff was.
  static void Handed(TCommThread& c, bool& ready, uint32_t& frameNo) {
    std::lock_guard lock(c.FHost.Lock);
    ready = c.FHost.MsgReady;
    frameNo = c.FHost.ReadyFrameNo;
  }
  // tlf_GetMsg, also telling which frame's event was handed over as it ran.
  static int GetMsgNoted(TCommThread& c, TlfMsg& out, bool& ready, uint32_t& readyFrameNo) {
    bool signal = false;
    int got;
    {
      std::lock_guard lock(c.FHost.Lock);
      ready = c.FHost.MsgReady;
      readyFrameNo = c.FHost.ReadyFrameNo;
      got = c.TakeLocked(out, signal);
    }
    if (signal) c.FHost.TakenEvent->Set();
    return got;
  }
  // tlf_GetMsg's body for a caller that already holds Lock(c).
  static int GetMsgLocked(TCommThread& c, TlfMsg& out) {
    if (!c.FHost.MsgReady) return 0;
    c.DeliverReady(out);
    return 1;
  }
};

}  // namespace kvarn
