// The handoff of an event from a channel's worker to the host's thread.
#pragma once

#include <functional>

namespace kvarn::platform {

// Runs `fn` on the host thread that owns the library's window and returns
// once it has run. Where there is no such window, `fn` runs at once on the
// calling thread.
void RunOnWindowThread(const std::function<void()>& fn);

}  // namespace kvarn::platform
