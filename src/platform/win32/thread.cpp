#include "platform/thread.h"

#include <windows.h>

#include "platform/handoff.h"

namespace kvarn::platform {

struct Thread::Impl {
  HANDLE Handle = nullptr;
  std::function<void()> Body;
};

namespace {

DWORD WINAPI ThreadMain(LPVOID arg) {
  static_cast<Thread::Impl*>(arg)->Body();
  return 0;
}

}  // namespace

Thread::Thread() = default;

Thread::~Thread() { Join(); }

bool Thread::Start(std::function<void()> body) {
  if (FImpl) return false;
  try {
    auto impl = std::make_unique<Impl>();
    impl->Body = std::move(body);
    impl->Handle = CreateThread(nullptr, 0, ThreadMain, impl.get(), 0, nullptr);
    if (!impl->Handle) return false;
    FImpl = std::move(impl);
    return true;
  } catch (...) {  // no memory for the body
    return false;
  }
}

// The thread may be blocked in a handoff to the window of the very thread
// that waits here, so the wait serves sent messages, whichever thread it runs
// on. Posted messages stay queued for the caller's own loop.
void Thread::Join() {
  if (!FImpl || !FImpl->Handle) return;
  HANDLE h = FImpl->Handle;
  for (;;) {
    // The wait wakes only for messages sent after the last look: serve those
    // already there first.
    ServeHandoffs();
    DWORD r = MsgWaitForMultipleObjects(1, &h, FALSE, INFINITE, QS_SENDMESSAGE);
    if (r == WAIT_OBJECT_0 + 1) continue;
    if (r != WAIT_OBJECT_0) WaitForSingleObject(h, INFINITE);  // the message wait failed
    break;
  }
  CloseHandle(h);
  FImpl->Handle = nullptr;
}

}  // namespace kvarn::platform
