// A channel's decoding state without a channel: the frame buffer, the current
// event, the pending blocks, a counted acknowledgement and a fixed clock.
#pragma once

#include <cstring>
#include <string>
#include <string_view>

#include "decode/decode_context.h"
#include "decode/frame_decoder.h"

namespace kvarn::test {

// Bytes the decoder must never write: gaps, Extra, characters past a length.
constexpr unsigned char kUntouched = 0x5A;

// Tables write a space as "_" so that padding stays visible.
inline std::string Sp(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c == '_') c = ' ';
  }
  return out;
}

struct DecodeHarness {
  FrameText Frame;
  FrameText Field;
  TlfMsg Msg;
  TPendingBlocks Pending;
  int Acks = 0;
  TlfSystemTime Clock{2026, 12, 2, 8, 14, 3, 27, 500};
  DecodeContext Ctx{Frame, Field, Msg, Pending, [this] { ++Acks; }, [this] { return Clock; }, 0};

  DecodeHarness() { std::memset(&Msg, kUntouched, sizeof Msg); }
  DecodeHarness(const DecodeHarness&) = delete;
  DecodeHarness& operator=(const DecodeHarness&) = delete;

  int Decode(std::string_view text, uint32_t frameNo = 1) {
    Frame.Assign(text);
    Ctx.FrameNo = frameNo;
    return DecodeFrame(Ctx);
  }
};

inline std::string EntryText(const TPendingEntry& entry) { return {entry.Text, sizeof entry.Text}; }

}  // namespace kvarn::test
