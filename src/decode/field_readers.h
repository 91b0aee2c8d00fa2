// The one way numeric fields are cut from a frame and read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "decode/decode_state.h"

namespace kvarn {

// Value of a text: leading spaces skipped; "$", "x", "X", "0x" or "0X" start
// hexadecimal digits, otherwise an optional sign and decimal digits. Reading
// stops at the first character that is not a digit and never fails; a "-"
// counts only when the digits run to the end of the text.
int32_t ReadNumber(std::string_view text);

// FieldText := `count` characters of the frame text from 1-based `start`
// (only those that exist), without leading spaces.
void TakeField(const FrameText& frame, FrameText& fieldText, size_t start, size_t count);

// Finds the receiver's time (hh:mm?ss?DD?MM around the first colon) in the
// frame text and stores it in Msg.Stamp with the PC's UTC year. Returns false,
// with Stamp.wYear = 0xFFFF, when there is no valid time.
bool ReadReceiverTime(DecodeState& state);

// Gregorian date check used by the receiver time.
bool IsValidDate(unsigned year, unsigned month, unsigned day);

}  // namespace kvarn
