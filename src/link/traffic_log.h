// The traffic log: one line per received frame under ./Tlflog.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "kvarn_rcvr.h"
#include "platform/log_file.h"
#include "platform/time_format.h"

namespace kvarn {

// Appends the frame (without its DC4) to the log file of the current ten-day
// period. Frames containing "@" are not logged. Never fails visibly.
void LogFrame(std::string_view frame);

// The longest line written, CR LF included.
inline constexpr size_t kMaxLogLine = 255;

// What LogFrame takes from outside, so that it can run on a fixed clock,
// a given time format and a file opener that fails on purpose.
struct LogEnv {
  std::function<TlfSystemTime()> LocalNow;
  const platform::TimeFormat& Format;
  std::function<platform::AppendFile(const std::string&)> Open;
};

// LogFrame with everything it takes from outside passed in.
void LogFrameWith(std::string_view frame, const LogEnv& env);

// The log file for the local date `date`: ./Tlflog/<year><month, 2 digits>_<period>.tlg
// joined with the platform's separator; period 1 is days 1-9, 2 is 10-19,
// 3 is 20-29 and 4 is 30-31.
std::string LogFileName(const TlfSystemTime& date);

// One line of the log: the time text, a space, the frame's bytes unchanged and
// CR LF, the text cut so the line, line end included, stays within kMaxLogLine.
std::string LogLine(std::string_view timeText, std::string_view frame);

}  // namespace kvarn
