// Turns one received frame into the channel's current event.
#pragma once

#include "decode/decode_context.h"

namespace kvarn {

// Decodes ctx.FrameBuf (consumed in place) into ctx.Msg and ctx.Pending.
// Returns 1 when ctx.Msg holds an event for the host, 0 when there is nothing
// to deliver (a receiver frame acknowledged here through ctx.SendAck, or a
// malformed frame that must not be acknowledged).
int DecodeFrame(DecodeContext& ctx);

}  // namespace kvarn
