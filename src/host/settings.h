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

// `current` with the keys of one receiver's section applied: "Baud",
// "DataBit", "Parity", "StopBit", then the fixed flag word and event
// character, then "FlowCtrl". `readKey` gives a key's text (empty if absent).
platform::CommState ApplySettings(platform::CommState current,
                                  const std::function<std::string(std::string_view key)>& readKey);

// The same from section "RecNr<receiver>" of the settings file in the
// current directory.
platform::CommState ReceiverSettings(int receiver, const platform::CommState& current);

}  // namespace kvarn
