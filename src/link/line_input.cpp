#include "link/line_input.h"

#include <algorithm>
#include <cstring>

namespace kvarn {

bool LineInput::Append(const char* bytes, size_t n) {
  if (n > kCapacity - FCount) {
    FCount = 0;
    return false;
  }
  std::memcpy(FBytes + FCount, bytes, n);
  FCount += n;
  return true;
}

void LineInput::DropPartial() {
  const size_t last = Held().rfind(kFrameEnd);
  FCount = last == std::string_view::npos ? 0 : last + 1;
}

bool LineInput::HasFrame() const {
  return FCount >= kMaxFrameRead || Held().find(kFrameEnd) != std::string_view::npos;
}

LineInput::Taken LineInput::TakeFrame(FrameText& frame) {
  const std::string_view head = Held().substr(0, kMaxFrameRead);
  const size_t end = head.find(kFrameEnd);
  if (end != std::string_view::npos) {
    frame.Assign(head.substr(0, end));
    Consume(end + 1);
    return Taken::Frame;
  }
  if (FCount < kMaxFrameRead) return Taken::None;
  frame.Assign(head.substr(0, kMaxFrameRead - 1));
  FCount = 0;
  return Taken::Overlong;
}

bool LineInput::TakeResend(std::string_view frame) {
  const std::string_view held = Held();
  if (held.size() <= frame.size() || held.substr(0, frame.size()) != frame || held[frame.size()] != kFrameEnd)
    return false;
  Consume(frame.size() + 1);
  return true;
}

LineInput::Follows LineInput::WhatFollows(std::string_view frame) const {
  const std::string_view held = Held();
  if (held.empty()) return Follows::Nothing;
  // Whole resends were taken before: a copy still arriving is shorter than
  // the frame with its DC4 and has no DC4 of its own.
  if (held.size() <= frame.size() && frame.substr(0, held.size()) == held) return Follows::Resending;
  return Follows::Other;
}

void LineInput::Consume(size_t n) {
  n = std::min(n, FCount);
  std::memmove(FBytes, FBytes + n, FCount - n);
  FCount -= n;
}

}  // namespace kvarn
