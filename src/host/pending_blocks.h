// The further event blocks of bracketed frames, waiting for the host.
#pragma once

#include <cstdint>
#include <deque>

#include "host/short_string.h"

namespace kvarn {

// One waiting block. Text is the frame's 3-character block area followed by
// the block's 8-character event text. Line and Account are those of the frame
// the block came from, so a block still waiting when a later frame arrives is
// delivered with its own frame's values. FrameNo tells which frame it belongs
// to, so a withdrawn frame can take back exactly its own blocks.
struct TPendingEntry {
  char Text[11];
  uint16_t Line;
  int32_t Account;
  uint32_t FrameNo;
};

struct TPendingBlocks {
  char Kind = 0;                    // kind letter of the block being parsed
  ShortString<2> LastCode;          // last modifier code of the current block
  std::deque<TPendingEntry> Blocks; // empty means "no list"
  uint16_t SavedLine = 0;           // line of the frame's first event
  int32_t SavedAccount = 0;         // account of the frame's first event
  // True once the current frame's first event is in the current record. Kept
  // apart from SavedAccount so an account of FFFFFFFF (-1) is an ordinary value.
  bool FirstPlaced = false;
};

}  // namespace kvarn
