// What a channel's worker shares with the host: the stop request of Close
// and the handoff of events to GetMsg. The channel owns it; its reader loop
// gets it by reference.
//
// Every field is guarded by Lock. The events only wake a waiting thread;
// what happened (taken, withdrawn, stopped) is decided from the guarded
// fields or the stop event itself, so a left-over signal never counts as a
// pickup. Nothing slow is done and no byte goes to the port with Lock held.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "host/pending_blocks.h"
#include "host/tlf_msg.h"
#include "platform/event.h"

namespace kvarn {

struct HostSide {
  std::mutex Lock;
  TlfMsg Msg{};                      // the event handed over, as the decoder built it
  std::deque<TPendingEntry> Blocks;  // further blocks of bracketed frames, oldest first
  bool MsgReady = false;             // Msg handed over and not yet taken
  bool MsgTaken = false;             // the host took Msg since the last handoff
  uint32_t ReadyFrameNo = 0;         // the frame whose event is in Msg
  uint32_t TakenFrameNo = 0;         // the last frame whose event the host took

  // Created with the channel, before the worker starts, so a close at any
  // moment finds them; null when the platform could not make one.
  // StopEvent, manual reset, is set once by Close; TakenEvent, auto reset,
  // tells the worker that the host took something.
  std::unique_ptr<platform::Event> StopEvent = platform::Event::Create(platform::EventReset::Manual);
  std::unique_ptr<platform::Event> TakenEvent = platform::Event::Create(platform::EventReset::Auto);
};

}  // namespace kvarn
