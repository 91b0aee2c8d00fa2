// An in-memory serial line for channel tests. The channel owns the port; the
// test keeps the FakeLine, the receiver's end of it, to send bytes, count the
// ACKs and see what the worker did.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/event.h"
#include "platform/serial_port.h"

namespace kvarn::test {

class FakeLine {
 public:
  FakeLine();

  // The receiver's side.
  void Send(std::string_view bytes);
  size_t Acks() const;
  // Frames the worker has finished with: it read bytes, then came back to
  // wait for the next frame (any ACK for them has been sent by then).
  uint64_t FramesDone() const;
  // Waits until FramesDone() exceeds `before`. False after `ms`. These
  // waits serve the handoffs sent to the calling thread meanwhile.
  bool WaitFramesDone(uint64_t before, uint32_t ms = 10000) const;
  bool WaitAcks(size_t n, uint32_t ms = 10000) const;

  // The device's behaviour.
  void FailWaits(bool fail);  // every wait reports a failed device at once
  void FlagOverflow();        // the next status query reports an overflow

  // What the worker did.
  std::vector<std::string> Calls() const;  // configuration, reads, purges, close
  size_t WaitCalls() const;
  // The worker is in a wait that began after its last read of any bytes:
  // with nothing left to handle, it is idle. `waits` counts such waits.
  bool WaitingSinceRead(uint32_t waits = 1) const;
  size_t BytesRead() const;
  bool Closed() const;
  platform::LineSettings Line() const;

 private:
  friend class FakePort;
  void Note(std::string call);  // FMutex held
  bool WaitServing(uint32_t ms, const std::function<bool()>& done) const;

  mutable std::mutex FMutex;
  mutable std::condition_variable FChanged;
  std::unique_ptr<platform::Event> FData;  // auto reset: bytes arrived
  std::string FInput;
  size_t FAcks = 0;
  uint64_t FFramesDone = 0;
  bool FReadSinceWait = false;
  size_t FWaitCalls = 0;
  bool FWaiting = false;
  uint32_t FWaitsSinceRead = 0;
  size_t FBytesRead = 0;
  bool FFail = false;
  bool FOverflow = false;
  bool FClosed = false;
  bool FWatching = false;
  platform::LineSettings FLine;
  std::vector<std::string> FCalls;
};

std::unique_ptr<platform::SerialPort> MakeFakePort(std::shared_ptr<FakeLine> line);

}  // namespace kvarn::test
