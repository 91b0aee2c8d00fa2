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

void ResetFrame(DecodeContext& ctx) {
  ctx.Pending.SavedAccount = -1;
  ctx.Pending.Kind = ' ';
  ctx.Pending.LastCode.Assign({});
  ctx.Pending.FirstPlaced = false;
  ctx.Msg.Stamp.wYear = kNoTime;
}

// The value of the one hexadecimal digit at `pos` (0 for anything else).
uint16_t ReadLineDigit(const FrameText& text, size_t pos) {
  const char digit[2] = {'$', text.At(pos)};
  return static_cast<uint16_t>(ReadNumber({digit, 2}));
}

int32_t ReadDecimalField(DecodeContext& ctx, size_t start, size_t count) {
  TakeField(ctx.FrameBuf, ctx.FieldText, start, count);
  return ReadNumber(ctx.FieldText.View());
}

// Account digits are hexadecimal whether or not the frame marks them so.
int32_t ReadHexField(DecodeContext& ctx, size_t start, size_t count) {
  TakeField(ctx.FrameBuf, ctx.FieldText, start, count);
  char text[1 + FrameText::Capacity()];
  text[0] = '$';
  std::string_view digits = ctx.FieldText.View();
  std::memcpy(text + 1, digits.data(), digits.size());
  return ReadNumber({text, 1 + digits.size()});
}

void SetFields(TlfMsg& msg, const char (&area)[3], const char (&evZone)[8]) {
  SetArea(msg, {area, sizeof area});
  SetEvZone(msg, {evZone, sizeof evZone});
}

void FillType1(DecodeContext& ctx) {
  const FrameText& r = ctx.FrameBuf;
  ctx.Msg.Account = ReadHexField(ctx, 4, 6);
  SetFields(ctx.Msg, {' ', ' ', r.At(12)}, {' ', ' ', ' ', ' ', r.At(11), r.At(13), r.At(14), r.At(15)});
}

void FillType3(DecodeContext& ctx) {
  const FrameText& r = ctx.FrameBuf;
  ctx.Msg.Account = ReadHexField(ctx, 4, 6);
  SetFields(ctx.Msg, {' ', ' ', ' '}, {' ', r.At(10), r.At(11), r.At(12), ' ', r.At(13), r.At(14), r.At(15)});
}

void FillType5(DecodeContext& ctx) {
  const FrameText& r = ctx.FrameBuf;
  ctx.Msg.Account = ReadHexField(ctx, 3, 4);
  SetFields(ctx.Msg, {' ', r.At(11), r.At(12)},
            {r.At(7), r.At(8), r.At(9), r.At(10), ' ', r.At(13), r.At(14), r.At(15)});
}

// Types "1", "3" and "5": a header up to the first space, then event fields
// at fixed positions of the remainder, optionally followed by a time.
int DecodeFixed(DecodeContext& ctx, char type) {
  FrameText& text = ctx.FrameBuf;
  size_t space = text.Pos(' ');
  if (space == 0) return 0;
  ctx.Msg.LineNo = ReadLineDigit(text, space - 1);
  ctx.Msg.RecNo = ReadDecimalField(ctx, 2, 2);
  text.Delete(1, space);
  if (text.Length() == kTimedRemainder) {
    if (!ReadReceiverTime(ctx)) return 0;
  } else if (text.Length() != kPlainRemainder) {
    return 0;
  }
  if (type == '1') FillType1(ctx);
  if (type == '3') FillType3(ctx);
  if (type == '5') FillType5(ctx);
  return 1;
}

bool IsAccountDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// Reads the account behind the first "#" and removes everything up to the
// character that ends it. The last character is never taken as a digit.
void TakeAccount(DecodeContext& ctx) {
  FrameText& text = ctx.FrameBuf;
  size_t hash = text.Pos('#');
  size_t i = hash + 1;
  while (i < text.Length() && IsAccountDigit(text.At(i))) ++i;
  ctx.Msg.Account = ReadHexField(ctx, hash + 1, i - 1 - hash);
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

int DecodeBracketed(DecodeContext& ctx) {
  FrameText& text = ctx.FrameBuf;
  size_t open = text.Pos('[');
  if (open < kFirstBracketPos) return 0;
  ctx.Msg.LineNo = ReadLineDigit(text, open - 1);
  size_t close = text.Pos(']');
  if (close < kFirstBracketPos) return 0;
  text.Truncate(close - 1);
  ctx.Msg.RecNo = ReadDecimalField(ctx, 2, 2);
  TakeAccount(ctx);
  BlockAreaText blockArea("   ");
  int result = 0;
  while (!text.Empty()) ParseBlock(ctx, blockArea, result);
  if (result == 0) FillPlaceholder(ctx.Msg);
  return 1;
}

// Frames of unknown type reach the host as an empty event.
int DecodeOther(TlfMsg& msg) {
  msg.RecNo = 0;
  msg.LineNo = 0;
  msg.Account = 0;
  SetArea(msg, "");
  SetEvZone(msg, "");
  return 1;
}

}  // namespace

int DecodeFrame(DecodeContext& ctx) {
  ResetFrame(ctx);
  char type = ctx.FrameBuf.At(1);
  switch (type) {
    case '0':
      // Receiver-internal frames are answered here and never reach the host.
      if (ctx.SendAck) ctx.SendAck();
      return 0;
    case '1':
    case '3':
    case '5':
      return DecodeFixed(ctx, type);
    case 'S':
      return DecodeBracketed(ctx);
    default:
      return DecodeOther(ctx.Msg);
  }
}

}  // namespace kvarn
