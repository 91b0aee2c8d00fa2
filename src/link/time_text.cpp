#include "link/time_text.h"

namespace kvarn {
namespace {

std::string TwoDigits(unsigned value) {
  return {static_cast<char>('0' + value / 10 % 10), static_cast<char>('0' + value % 10)};
}

}  // namespace

std::string TimeText(const TlfSystemTime& time, const platform::TimeFormat& format) {
  unsigned hour = time.wHour;
  if (format.TwelveHour) hour = hour % 12 == 0 ? 12 : hour % 12;
  std::string text = format.LeadingZero ? TwoDigits(hour) : std::to_string(hour);
  text += format.Separator + TwoDigits(time.wMinute) + format.Separator + TwoDigits(time.wSecond);
  if (!format.TwelveHour) return text;
  const std::string& designator = time.wHour < 12 ? format.Am : format.Pm;
  // A locale without designators gets no stray space, which would read as
  // part of the frame.
  if (designator.empty()) return text;
  return format.DesignatorFirst ? designator + ' ' + text : text + ' ' + designator;
}

const platform::TimeFormat& RegionalTimeFormat() {
  // Read once, on first use rather than at load; never destroyed, so nothing
  // of ours runs at unload either.
  static const platform::TimeFormat* const format =
      new platform::TimeFormat(platform::ReadTimeFormat());
  return *format;
}

}  // namespace kvarn
