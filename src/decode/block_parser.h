// The event blocks of a bracketed frame.
#pragma once

#include "decode/decode_context.h"
#include "host/short_string.h"

namespace kvarn {

using BlockAreaText = ShortString<3>;

// Consumes one block from the front of ctx.FrameBuf (at least one character,
// or all of it). The frame's first event goes to ctx.Msg and sets `result` to
// 1; later events are queued in ctx.Pending.Blocks.
void ParseBlock(DecodeContext& ctx, BlockAreaText& blockArea, int& result);

}  // namespace kvarn
