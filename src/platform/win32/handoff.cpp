#include "platform/handoff.h"

namespace kvarn::platform {

// Until the library has its message window the worker marks events ready
// itself, under the channel's lock.
void RunOnWindowThread(const std::function<void()>& fn) { fn(); }

}  // namespace kvarn::platform
