#include "platform/thread.h"

#include <thread>

namespace kvarn::platform {

struct Thread::Impl {
  std::thread Worker;
};

Thread::Thread() = default;

Thread::~Thread() { Join(); }

bool Thread::Start(std::function<void()> body) {
  if (FImpl) return false;
  try {
    auto impl = std::make_unique<Impl>();
    impl->Worker = std::thread(std::move(body));
    FImpl = std::move(impl);
    return true;
  } catch (...) {  // no thread, or no memory for it
    return false;
  }
}

void Thread::Join() {
  if (FImpl && FImpl->Worker.joinable()) FImpl->Worker.join();
}

}  // namespace kvarn::platform
