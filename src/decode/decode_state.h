// Everything one channel's decoding works on, in one place: the frame being
// decoded, the event it becomes, the blocks waiting behind it and the frame
// count. The decoder is pure: the clock and the acknowledgement come in from
// the owner, so it runs without port or thread, and tests and fuzz targets
// hold the same state the channel does.
#pragma once

#include <cstdint>
#include <functional>

#include "host/pending_blocks.h"
#include "host/short_string.h"
#include "host/tlf_msg.h"

namespace kvarn {

// What one frame came to.
enum class DecodeResult {
  Rejected,      // malformed: nothing for the host, and no acknowledgement
  Acknowledged,  // a receiver frame, answered through SendAck; nothing for the host
  Event,         // Msg holds an event for the host
};

struct DecodeState {
  FrameText Frame;  // the frame without its DC4; consumed from the front
  FrameText Field;  // scratch for one field slice at a time
  TlfMsg Msg{};     // the current event, built in place frame after frame
  TPendingBlocks Pending;
  uint32_t FrameNo = 0;                   // the frame being decoded; tags its pending blocks
  std::function<void()> SendAck;          // one ACK to the receiver
  std::function<TlfSystemTime()> UtcNow;  // the PC clock, UTC
};

}  // namespace kvarn
