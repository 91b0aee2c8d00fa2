// The event blocks of a bracketed frame.
#pragma once

#include "decode/decode_state.h"
#include "host/short_string.h"

namespace kvarn {

using BlockAreaText = ShortString<3>;

// Consumes one block from the front of state.Frame (at least one character,
// or all of it). The frame's first event goes to state.Msg and sets
// state.Pending.FirstPlaced; later events are queued in state.Pending.Blocks.
void ParseBlock(DecodeState& state, BlockAreaText& blockArea);

}  // namespace kvarn
