// The worker thread of a channel.
#pragma once

#include <functional>
#include <memory>

namespace kvarn::platform {

class Thread {
 public:
  Thread();
  ~Thread();  // joins a thread that is still running
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Runs `body` once on a new thread. False when the platform refuses.
  bool Start(std::function<void()> body);
  // Waits without limit until the thread has ended; no-op if none runs.
  void Join();

  struct Impl;

 private:
  std::unique_ptr<Impl> FImpl;
};

}  // namespace kvarn::platform
