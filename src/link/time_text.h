// The time of day as the traffic log writes it.
#pragma once

#include <string>

#include "kvarn_rcvr.h"
#include "platform/time_format.h"

namespace kvarn {

// Hour, minutes and seconds of `time` in `format`; minutes and seconds always
// have two digits. Uses no state.
std::string TimeText(const TlfSystemTime& time, const platform::TimeFormat& format);

// The user's regional time format, read on first use and kept while the
// library is loaded.
const platform::TimeFormat& RegionalTimeFormat();

}  // namespace kvarn
