// What the worker has read from the port and not yet handled: whole frames,
// each ended by DC4, and the start of one still arriving. Reads can hold
// several frames (a receiver resending while the host was slow to take an
// event); each is taken and answered on its own.
#pragma once

#include <cstddef>
#include <string_view>

#include "host/short_string.h"
#include "link/protocol.h"

namespace kvarn {

class LineInput {
 public:
  static constexpr size_t kCapacity = 4096;

  // Appends bytes read from the port; at most Room() of them fit. False
  // when they do not: the input is then discarded whole.
  bool Append(const char* bytes, size_t n);
  size_t Room() const { return kCapacity - FCount; }
  bool Empty() const { return FCount == 0; }
  // Drops the start of a frame still arriving: its rest was lost.
  void DropPartial();

  // A frame can be taken: its DC4 has come, or it has run past the longest
  // frame read.
  bool HasFrame() const;

  enum class Taken { None, Frame, Overlong };
  // Takes the oldest frame, without its DC4, into `frame`. A frame that has
  // no DC4 within kMaxFrameRead bytes is Overlong: its first
  // kMaxFrameRead - 1 characters, and everything after them is discarded.
  Taken TakeFrame(FrameText& frame);

  // Takes one whole copy of `frame` from the front: a resend of it. False
  // when the input does not begin with one.
  bool TakeResend(std::string_view frame);

  // What the receiver sent after `frame`, resends of it already taken:
  // Nothing; the start of another copy of it, still arriving (Resending); or
  // anything else (Other): it has moved on.
  enum class Follows { Nothing, Resending, Other };
  Follows WhatFollows(std::string_view frame) const;

 private:
  std::string_view Held() const { return {FBytes, FCount}; }
  void Consume(size_t n);

  size_t FCount = 0;
  char FBytes[kCapacity];
};

}  // namespace kvarn
