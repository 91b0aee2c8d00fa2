// What one frame decode works on. The decoder is pure: the clock and the
// acknowledgement come in from the caller, so it runs without port or thread.
#pragma once

#include <cstdint>
#include <functional>

#include "host/pending_blocks.h"
#include "host/short_string.h"
#include "host/tlf_msg.h"

namespace kvarn {

struct DecodeContext {
  FrameText& FrameBuf;    // the frame without its DC4; consumed from the front
  FrameText& FieldText;   // scratch for one field slice at a time
  TlfMsg& Msg;            // the channel's current event
  TPendingBlocks& Pending;
  std::function<void()> SendAck;            // one ACK to the receiver
  std::function<TlfSystemTime()> UtcNow;    // the PC clock, UTC
  uint32_t FrameNo = 0;                     // tags this frame's pending blocks
};

}  // namespace kvarn
