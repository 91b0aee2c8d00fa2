// Turns one received frame into the channel's current event.
#pragma once

#include "decode/decode_state.h"

namespace kvarn {

// Decodes state.Frame (consumed in place) into state.Msg and state.Pending,
// its blocks tagged with state.FrameNo. Only an Event is for the host; a
// receiver frame is Acknowledged here through state.SendAck, and a malformed
// frame is Rejected and must not be acknowledged.
DecodeResult DecodeFrame(DecodeState& state);

}  // namespace kvarn
