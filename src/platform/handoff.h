// The handoff of an event from a channel's worker to the host's thread.
//
// On Windows the library has one hidden message window, made by the thread
// that opens the first channel while no other exists; workers hand their
// events over by sending it a message, so the ready mark is set on that
// thread, which must keep retrieving messages. Elsewhere there is no window
// and these calls hand over at once.
#pragma once

#include <functional>

namespace kvarn::platform {

// Each open channel holds the window once, from before its worker starts
// until after its worker has ended. The first hold while none exists makes
// the window, owned by the calling thread; the last release removes it on
// its own thread (at once when the releasing thread owns it, else when that
// thread next retrieves its posted messages). Nothing left behind leads into
// the library's code, so the host may unload it once every channel is closed.
void AcquireWindow();
void ReleaseWindow();

// Runs `fn` on the thread that owns the window and returns once it has run;
// an exception from `fn` comes back here. Where there is no window, or it
// has gone with its thread, `fn` runs at once on the calling thread.
void RunOnWindowThread(const std::function<void()>& fn);

// Runs the handoffs waiting for the calling thread without touching its
// posted messages: for a thread that owns the window and has no message loop
// of its own. Does nothing where handoffs run at once.
void ServeHandoffs();

}  // namespace kvarn::platform
