#include "platform/handoff.h"

namespace kvarn::platform {

// No message window on POSIX: the worker marks the event ready itself, under
// the channel's lock.
void AcquireWindow() {}

void ReleaseWindow() {}

void RunOnWindowThread(const std::function<void()>& fn) { fn(); }

void ServeHandoffs() {}

}  // namespace kvarn::platform
