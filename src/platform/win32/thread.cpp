#include "platform/thread.h"

#include <windows.h>

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

void Thread::Join() {
  if (!FImpl || !FImpl->Handle) return;
  WaitForSingleObject(FImpl->Handle, INFINITE);
  CloseHandle(FImpl->Handle);
  FImpl->Handle = nullptr;
}

}  // namespace kvarn::platform
