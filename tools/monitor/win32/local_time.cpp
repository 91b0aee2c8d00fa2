#include "monitor/local_time.h"

namespace kvarn::monitor {

// The C runtime's tm has no offset field: the same fields read as UTC and
// as local time differ by it.
long UtcOffsetSeconds(const std::tm& local) {
  std::tm asUtc = local, asLocal = local;
  std::time_t utc = _mkgmtime(&asUtc);
  std::time_t loc = std::mktime(&asLocal);
  if (utc == -1 || loc == -1) return 0;
  return static_cast<long>(utc - loc);
}

}  // namespace kvarn::monitor
