#include "support/fake_port.h"

#include <algorithm>
#include <chrono>

#include "platform/clock.h"
#include "platform/handoff.h"

namespace kvarn::test {

FakeLine::FakeLine() : FData(platform::Event::Create(platform::EventReset::Auto)) {}

void FakeLine::Send(std::string_view bytes) {
  {
    std::lock_guard lock(FMutex);
    FInput.append(bytes);
  }
  FData->Set();
}

size_t FakeLine::Acks() const {
  std::lock_guard lock(FMutex);
  return FAcks;
}

uint64_t FakeLine::FramesDone() const {
  std::lock_guard lock(FMutex);
  return FFramesDone;
}

// The test thread usually owns the handoff window: while it waits for the
// worker it serves the handoffs, in short slices.
bool FakeLine::WaitServing(uint32_t ms, const std::function<bool()>& done) const {
  const uint64_t deadline = platform::MonotonicMs() + ms;
  for (;;) {
    {
      std::unique_lock lock(FMutex);
      if (FChanged.wait_for(lock, std::chrono::milliseconds(1), done)) return true;
    }
    platform::ServeHandoffs();
    if (platform::MonotonicMs() >= deadline) return false;
  }
}

bool FakeLine::WaitFramesDone(uint64_t before, uint32_t ms) const {
  return WaitServing(ms, [&] { return FFramesDone > before; });
}

bool FakeLine::WaitAcks(size_t n, uint32_t ms) const {
  return WaitServing(ms, [&] { return FAcks >= n; });
}

void FakeLine::FailWaits(bool fail) {
  std::lock_guard lock(FMutex);
  FFail = fail;
}

void FakeLine::FlagOverflow() {
  std::lock_guard lock(FMutex);
  FOverflow = true;
}

std::vector<std::string> FakeLine::Calls() const {
  std::lock_guard lock(FMutex);
  return FCalls;
}

size_t FakeLine::WaitCalls() const {
  std::lock_guard lock(FMutex);
  return FWaitCalls;
}

bool FakeLine::WaitingSinceRead(uint32_t waits) const {
  std::lock_guard lock(FMutex);
  return FWaiting && FWaitsSinceRead >= waits;
}

size_t FakeLine::BytesRead() const {
  std::lock_guard lock(FMutex);
  return FBytesRead;
}

bool FakeLine::Closed() const {
  std::lock_guard lock(FMutex);
  return FClosed;
}

platform::LineSettings FakeLine::Line() const {
  std::lock_guard lock(FMutex);
  return FLine;
}

void FakeLine::Note(std::string call) { FCalls.push_back(std::move(call)); }

class FakePort final : public platform::SerialPort {
 public:
  explicit FakePort(std::shared_ptr<FakeLine> line) : L(std::move(line)) {}

  bool Configure(const platform::LineSettings& line) override {
    std::lock_guard lock(L->FMutex);
    L->Note("Configure");
    L->FLine = line;
    return true;
  }

  bool WatchFrameEnd() override {
    std::lock_guard lock(L->FMutex);
    L->Note("WatchFrameEnd");
    L->FWatching = true;
    return true;
  }

  platform::PortWait WaitFrameEnd(platform::Event& stop, uint32_t ms) override {
    {
      std::lock_guard lock(L->FMutex);
      ++L->FWaitCalls;
      ++L->FWaitsSinceRead;
      L->FWaiting = true;
      if (L->FReadSinceWait) ++L->FFramesDone;
      L->FReadSinceWait = false;
    }
    L->FChanged.notify_all();
    platform::PortWait r = Wait(stop, ms);
    std::lock_guard lock(L->FMutex);
    L->FWaiting = false;
    return r;
  }

  platform::PortWait Wait(platform::Event& stop, uint32_t ms) {
    const uint64_t deadline = platform::MonotonicMs() + ms;
    for (;;) {
      if (stop.Wait(0)) return platform::PortWait::Stop;
      {
        std::lock_guard lock(L->FMutex);
        if (L->FFail) return platform::PortWait::Failed;
        if (L->FWatching && L->FInput.find('\x14') != std::string::npos)
          return platform::PortWait::FrameEnded;
      }
      uint64_t now = platform::MonotonicMs();
      if (now >= deadline) return platform::PortWait::Timeout;
      if (platform::WaitAny(stop, *L->FData, static_cast<uint32_t>(deadline - now)) == 0)
        return platform::PortWait::Stop;
    }
  }

  uint32_t QueryStatus(bool& overflowed) override {
    std::lock_guard lock(L->FMutex);
    overflowed = L->FOverflow;
    L->FOverflow = false;
    return static_cast<uint32_t>(L->FInput.size());
  }

  size_t Read(char* buf, size_t n) override {
    std::lock_guard lock(L->FMutex);
    L->Note("Read " + std::to_string(n));
    n = std::min(n, L->FInput.size());
    L->FInput.copy(buf, n);
    L->FInput.erase(0, n);
    if (n > 0) {
      L->FReadSinceWait = true;
      L->FWaitsSinceRead = 0;
      L->FBytesRead += n;
    }
    return n;
  }

  void PurgeInput() override {
    std::lock_guard lock(L->FMutex);
    L->Note("PurgeInput");
    L->FInput.clear();
  }

  void WriteByte(char) override {
    {
      std::lock_guard lock(L->FMutex);
      ++L->FAcks;
    }
    L->FChanged.notify_all();
  }

  void Close() override {
    std::lock_guard lock(L->FMutex);
    L->Note("Close");
    L->FClosed = true;
  }

 private:
  std::shared_ptr<FakeLine> L;
};

std::unique_ptr<platform::SerialPort> MakeFakePort(std::shared_ptr<FakeLine> line) {
  return std::make_unique<FakePort>(std::move(line));
}

}  // namespace kvarn::test
