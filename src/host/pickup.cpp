// tlf_GetMsg's side of the channel: the host takes one event per call.
#include "host/comm_thread.h"

namespace kvarn {

int TCommThread::GetMsg(TlfMsg& out) {
  bool signal = false;
  int got;
  {
    std::lock_guard lock(FHost.Lock);
    got = TakeLocked(out, signal);
  }
  // Signalled once the lock is free: the worker it wakes takes the lock at
  // once instead of going back to sleep on it.
  if (signal) FHost.TakenEvent->Set();
  return got;
}

// FHost.Lock held. `signal` tells whether the worker is to be woken.
int TCommThread::TakeLocked(TlfMsg& out, bool& signal) {
  if (!FHost.MsgReady && BlockDeliverable()) {
    DeliverBlock(out);
    signal = FHost.Blocks.empty();
    return 1;
  }
  if (!FHost.MsgReady) return 0;
  DeliverReady(out);
  signal = true;
  return 1;
}

// The blocks of a frame are queued while it is decoded, before its first
// event is handed over; they wait until the host has taken that event, so
// they never come before it, nor at all for a frame that is withdrawn.
bool TCommThread::BlockDeliverable() const {
  if (FHost.Blocks.empty()) return false;
  // Frame numbers count up and may wrap: compare by their difference.
  return static_cast<int32_t>(FHost.Blocks.front().FrameNo - FHost.TakenFrameNo) <= 0;
}

// Field by field: the host's Extra and the gap bytes are never written, and
// of the short strings only the length and the counted characters.
void TCommThread::DeliverReady(TlfMsg& out) {
  const TlfMsg& msg = FHost.Msg;
  out.RecNo = msg.RecNo;
  out.LineNo = msg.LineNo;
  out.Account = msg.Account;
  SetArea(out, AreaOf(msg));
  SetEvZone(out, EvZoneOf(msg));
  out.Stamp = msg.Stamp;
  FHost.MsgReady = false;
  FHost.MsgTaken = true;
  FHost.TakenFrameNo = FHost.ReadyFrameNo;
}

// A block comes with the line and account of its own frame; RecNo and Stamp
// of the host's record keep what they held.
void TCommThread::DeliverBlock(TlfMsg& out) {
  const TPendingEntry& e = FHost.Blocks.front();
  out.LineNo = e.Line;
  out.Account = e.Account;
  SetArea(out, std::string_view(e.Text, TLF_AREA_CAP));
  SetEvZone(out, std::string_view(e.Text + TLF_AREA_CAP, TLF_EVZONE_CAP));
  FHost.Blocks.pop_front();
}

}  // namespace kvarn
