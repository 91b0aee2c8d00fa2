// A channel's decoding state without a channel, with a counted
// acknowledgement and a fixed clock.
#pragma once

#include <cstring>
#include <string>
#include <string_view>

#include "decode/decode_state.h"
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

struct DecodeHarness : DecodeState {
  int Acks = 0;
  TlfSystemTime Clock{2026, 12, 2, 8, 14, 3, 27, 500};

  DecodeHarness() {
    std::memset(&Msg, kUntouched, sizeof Msg);
    SendAck = [this] { ++Acks; };
    UtcNow = [this] { return Clock; };
  }
  DecodeHarness(const DecodeHarness&) = delete;
  DecodeHarness& operator=(const DecodeHarness&) = delete;

  DecodeResult Decode(std::string_view text, uint32_t frameNo = 1) {
    Frame.Assign(text);
    FrameNo = frameNo;
    return DecodeFrame(*this);
  }
};

inline std::string EntryText(const TPendingEntry& entry) { return {entry.Text, sizeof entry.Text}; }

}  // namespace kvarn::test
