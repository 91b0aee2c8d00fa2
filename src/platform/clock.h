// Clocks of the platform.
#pragma once

#include <cstdint>

#include "kvarn_rcvr.h"

namespace kvarn::platform {

TlfSystemTime UtcNow();    // the PC clock in UTC
TlfSystemTime LocalNow();  // the PC clock in local time
uint64_t MonotonicMs();    // for time limits; never goes back

}  // namespace kvarn::platform
