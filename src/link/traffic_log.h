// The traffic log: one line per received frame under ./Tlflog.
#pragma once

#include <string_view>

namespace kvarn {

// Appends the frame (without its DC4) to the log file of the current ten-day
// period. Frames containing "@" are not logged. Never fails visibly.
void LogFrame(std::string_view frame);

}  // namespace kvarn
