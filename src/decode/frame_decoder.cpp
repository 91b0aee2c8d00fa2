#include "decode/frame_decoder.h"

#include <cstring>
#include <string_view>

#include "decode/block_parser.h"
#include "decode/field_readers.h"
#include "host/tlf_msg.h"

namespace kvarn {
namespace {

// Fixed-position remainders come in two lengths: without and with the
// receiver's own time behind the event fields.
constexpr size_t kPlainRemainder = 15;
constexpr size_t kTimedRemainder = 19;
// Neither bracket may stand before this position in a bracketed frame.
constexpr size_t kFirstBracketPos = 6;

void ResetFrame(DecodeState& state) {
  state.Pending.SavedAccount = -1;
  state.Pending.Kind = ' ';
  state.Pending.LastCode.Assign({});
  state.Pending.FirstPlaced = false;
  state.Msg.Stamp.wYear = kNoTime;
}

// The value of the one hexadecimal digit at `pos` (0 for anything else).
uint16_t ReadLineDigit(const FrameText& text, size_t pos) {
  const char digit[2] = {'$', text.At(pos)};
  return static_cast<uint16_t>(ReadNumber({digit, 2}));
}

int32_t ReadDecimalField(DecodeState& state, size_t start, size_t count) {
  TakeField(state.Frame, state.Field, start, count);
  return ReadNumber(state.Field.View());
}

// Account digits are hexadecimal whether or not the frame marks them so.
int32_t ReadHexField(DecodeState& state, size_t start, size_t count) {
  TakeField(state.Frame, state.Field, start, count);
  char text[1 + FrameText::Capacity()];
  text[0] = '$';
  std::string_view digits = state.Field.View();
  std::memcpy(text + 1, digits.data(), digits.size());
  return ReadNumber({text, 1 + digits.size()});
}

void SetFields(TlfMsg& msg, const char (&area)[3], const char (&evZone)[8]) {
  SetArea(msg, {area, sizeof area});
  SetEvZone(msg, {evZone, sizeof evZone});
}

void FillType1(DecodeState& state) {
  const FrameText& r = state.Frame;
  state.Msg.Account = ReadHexField(state, 4, 6);
  SetFields(state.Msg, {' ', ' ', r.At(12)}, {' ', ' ', ' ', ' ', r.At(11), r.At(13), r.At(14), r.At(15)});
}

void FillType3(DecodeState& state) {
  const FrameText& r = state.Frame;
  state.Msg.Account = ReadHexField(state, 4, 6);
  SetFields(state.Msg, {' ', ' ', ' '}, {' ', r.At(10), r.At(11), r.At(12), ' ', r.At(13), r.At(14), r.At(15)});
}

void FillType5(DecodeState& state) {
  const FrameText& r = state.Frame;
  state.Msg.Account = ReadHexField(state, 3, 4);
  SetFields(state.Msg, {' ', r.At(11), r.At(12)},
            {r.At(7), r.At(8), r.At(9), r.At(10), ' ', r.At(13), r.At(14), r.At(15)});
}

// Types "1", "3" and "5": a header up to the first space, then event fields
// at fixed positions of the remainder, optionally followed by a time.
DecodeResult DecodeFixed(DecodeState& state, char type) {
  FrameText& text = state.Frame;
  size_t space = text.Pos(' ');
  if (space == 0) return DecodeResult::Rejected;
  state.Msg.LineNo = ReadLineDigit(text, space - 1);
  state.Msg.RecNo = ReadDecimalField(state, 2, 2);
  text.Delete(1, space);
  if (text.Length() == kTimedRemainder) {
    if (!ReadReceiverTime(state)) return DecodeResult::Rejected;
  } else if (text.Length() != kPlainRemainder) {
    return DecodeResult::Rejected;
  }
  if (type == '1') FillType1(state);
  if (type == '3') FillType3(state);
  if (type == '5') FillType5(state);
  return DecodeResult::Event;
}

bool IsAccountDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// Reads the account behind the first "#" and removes everything up to the
// character that ends it. The last character is never taken as a digit.
void TakeAccount(DecodeState& state) {
  FrameText& text = state.Frame;
  size_t hash = text.Pos('#');
  size_t i = hash + 1;
  while (i < text.Length() && IsAccountDigit(text.At(i))) ++i;
  state.Msg.Account = ReadHexField(state, hash + 1, i - 1 - hash);
  text.Delete(1, i);
}

// A bracketed frame that holds no event block still reaches the host, marked
// by dots in place of area and event.
void FillPlaceholder(TlfMsg& msg) {
  msg.LineNo = 0;
  msg.Account = 0;
  SetArea(msg, "..");
  SetEvZone(msg, ".......");
}

DecodeResult DecodeBracketed(DecodeState& state) {
  FrameText& text = state.Frame;
  size_t open = text.Pos('[');
  if (open < kFirstBracketPos) return DecodeResult::Rejected;
  state.Msg.LineNo = ReadLineDigit(text, open - 1);
  size_t close = text.Pos(']');
  if (close < kFirstBracketPos) return DecodeResult::Rejected;
  text.Truncate(close - 1);
  state.Msg.RecNo = ReadDecimalField(state, 2, 2);
  TakeAccount(state);
  BlockAreaText blockArea("   ");
  while (!text.Empty()) ParseBlock(state, blockArea);
  if (!state.Pending.FirstPlaced) FillPlaceholder(state.Msg);
  return DecodeResult::Event;
}

// Frames of unknown type reach the host as an empty event.
DecodeResult DecodeOther(TlfMsg& msg) {
  msg.RecNo = 0;
  msg.LineNo = 0;
  msg.Account = 0;
  SetArea(msg, "");
  SetEvZone(msg, "");
  return DecodeResult::Event;
}

}  // namespace

DecodeResult DecodeFrame(DecodeState& state) {
  ResetFrame(state);
  char type = state.Frame.At(1);
  switch (type) {
    case '0':
      // Receiver-internal frames are answered here and never reach the host.
      if (state.SendAck) state.SendAck();
      return DecodeResult::Acknowledged;
    case '1':
    case '3':
    case '5':
      return DecodeFixed(state, type);
    case 'S':
      return DecodeBracketed(state);
    default:
      return DecodeOther(state.Msg);
  }
}

}  // namespace kvarn
