// Port settings of a receiver from the settings file "Rn.ini".
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/serial_port.h"

namespace kvarn {

constexpr const char* kSettingsFile = "Rn.ini";

// A settings value: optional leading spaces, then an optional sign and
// decimal digits, or hexadecimal digits after "$", "x", "X", "0x" or "0X"
// (a 32-bit pattern). Anything else, an empty text or a number that does not
// fit 32 bits gives `def`.
int32_t SettingValue(std::string_view text, int32_t def);

// The line settings of one receiver's section: keys "Baud", "DataBit",
// "Parity", "StopBit" and "FlowCtrl", read in this order, each key's default
// where it is missing or not a number (300 baud, 7 data bits, no parity, one
// stop bit, no flow control), and DC4 as the event character. `readKey`
// gives a key's text (empty if absent).
platform::LineSettings LineSettingsFrom(const std::function<std::string(std::string_view key)>& readKey);

// The same from section "RecNr<receiver>" of the settings file in the
// current directory.
platform::LineSettings ReceiverSettings(int receiver);

}  // namespace kvarn
