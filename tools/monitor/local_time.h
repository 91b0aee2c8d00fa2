// The platform's view of a local time.
#pragma once

#include <ctime>

namespace kvarn::monitor {

// Seconds east of UTC in effect at `local` (a localtime result).
long UtcOffsetSeconds(const std::tm& local);

}  // namespace kvarn::monitor
