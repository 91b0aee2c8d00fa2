#include "link/traffic_log.h"

#include <cstdio>
#include <mutex>

#include "link/protocol.h"
#include "link/time_text.h"
#include "platform/clock.h"

namespace kvarn {
namespace {

// All channels append to the same file: each open-append-close runs alone, so
// no line is cut into by another. Made on first use and never destroyed, so
// nothing of ours runs at load or unload.
std::mutex& AppendLock() {
  static std::mutex* const lock = new std::mutex;
  return *lock;
}

}  // namespace

std::string LogFileName(const TlfSystemTime& date) {
  const int period = (date.wDay + 10) / 10;
  char base[40];
  if (date.wMonth <= 9) {
    std::snprintf(base, sizeof base, "%d0%d_%d.tlg", date.wYear, date.wMonth, period);
  } else {
    std::snprintf(base, sizeof base, "%d%d_%d.tlg", date.wYear, date.wMonth, period);
  }
  const char sep = platform::PathSeparator();
  return std::string(".") + sep + "Tlflog" + sep + base;
}

std::string LogLine(std::string_view timeText, std::string_view frame) {
  std::string line;
  line.reserve(kMaxLogLine);
  line.append(timeText).append(1, ' ').append(frame);
  // Cut the text, never the line end: a line without CR LF would run into the
  // next one.
  if (line.size() > kMaxLogLine - 2) line.resize(kMaxLogLine - 2);
  return line.append("\r\n");
}

void LogFrameWith(std::string_view frame, const LogEnv& env) {
  if (IsHeartbeat(frame)) return;  // heartbeats are not logged
  // The date goes before the time: a frame at midnight can land in the old
  // day's file with a time just after midnight.
  const std::string name = LogFileName(env.LocalNow());
  std::lock_guard<std::mutex> hold(AppendLock());
  platform::AppendFile file = env.Open(name);
  if (!file.IsOpen()) return;
  file.Append(LogLine(TimeText(env.LocalNow(), env.Format), frame));
}

void LogFrame(std::string_view frame) {
  // The time format is read at the first frame logged, so a heartbeat before
  // it must not fix the format (a host may set its locale after loading us).
  if (IsHeartbeat(frame)) return;
  try {
    LogFrameWith(frame, LogEnv{platform::LocalNow, RegionalTimeFormat(),
                               platform::AppendFile::OpenOrCreate});
  } catch (...) {
    // Logging may fail without any effect on the reader loop.
  }
}

}  // namespace kvarn
