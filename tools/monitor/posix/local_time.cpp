#include "monitor/local_time.h"

namespace kvarn::monitor {

long UtcOffsetSeconds(const std::tm& local) { return local.tm_gmtoff; }

}  // namespace kvarn::monitor
