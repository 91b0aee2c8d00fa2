// The user's regional long time format, as the traffic log's time text uses it.
#pragma once

#include <string>
#include <string_view>

namespace kvarn::platform {

// A default-constructed format holds the fall-backs for settings that cannot
// be read: ":" between the parts, no leading zero, a 12-hour clock with the
// designator after the time, "am" and "pm".
struct TimeFormat {
  std::string Separator = ":";
  bool LeadingZero = false;      // the hour has two digits
  bool TwelveHour = true;
  bool DesignatorFirst = false;  // "PM 2:03:27" rather than "2:03:27 PM"
  std::string Am = "am";         // hours 0 to 11
  std::string Pm = "pm";
};

// Reads the format from the regional settings of the user (Windows) or of the
// C library's current locale (POSIX). Settings it cannot read keep their
// fall-backs. Costly enough that callers read it once.
TimeFormat ReadTimeFormat();

// Builds the format from a C library time pattern such as "%H:%M:%S" or
// "%I:%M:%S %p". `ampmPattern` is what "%r" stands for; `am` and `pm` are the
// locale's designators. Parts the pattern does not show keep their fall-backs.
TimeFormat TimeFormatFromPattern(std::string_view pattern, std::string_view ampmPattern,
                                 std::string_view am, std::string_view pm);

}  // namespace kvarn::platform
