#include "platform/time_format.h"

#include <langinfo.h>

namespace kvarn::platform {

// The C library's current locale is the host's choice: a host that never sets
// one (or runs under LC_ALL=C) gets "%H:%M:%S".
TimeFormat ReadTimeFormat() {
  return TimeFormatFromPattern(nl_langinfo(T_FMT), nl_langinfo(T_FMT_AMPM), nl_langinfo(AM_STR),
                               nl_langinfo(PM_STR));
}

}  // namespace kvarn::platform
