// The receiver's side of the link: sends frames ended by DC4 one at a time,
// waits for the host's ACK, resends, gives up, and keeps the link alive with
// heartbeats while idle.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace kvarn::sim {

struct ReceiverOptions {
  double ackTimeout = 4.0;   // seconds to wait for the ACK of one transmission
  int retries = 3;           // resends of an unanswered frame before giving it up
  double gap = 0.5;          // pause after an ACK before the next frame
  double heartbeat = 30.0;   // idle seconds before a heartbeat; 0 = none
  double rate = 0;           // frames per second; 0 = as fast as ACKs allow
  double delay = 0;          // before the first frame
  double linger = 0;         // stay after the last frame (heartbeats go on); < 0 = until stopped
  double hostSettle = 0.3;   // after the host opens the port, before sending
  bool watchHost = false;    // fd is a pty master: send only while the host holds the port
  // Discard what came in before each transmission. Receivers that do not
  // take any ACK byte already waiting as the answer to the frame just sent.
  bool clearInput = true;
  std::string heartbeatFrame;
};

// What became of one frame.
struct FrameOutcome {
  uint64_t seq = 0;          // 1, 2, ... in sending order, heartbeats included
  std::string frame;
  bool heartbeat = false;
  int tries = 0;             // transmissions (1 + resends)
  int naks = 0;              // transmissions refused with NAK
  bool acked = false;        // false: given up (or stopped)
  bool stopped = false;      // the run was stopped before an answer came
  double sentAt = 0;         // seconds from the start of the run to the first transmission
  double ackMs = 0;          // ACK latency of the transmission that was acknowledged
  double totalMs = 0;        // first transmission to ACK or giving up
  int strayBytes = 0;        // bytes other than ACK/NAK, and ACKs that came too late
};

// Returns the frame with the given 0-based index, or nullopt when there are no more.
using FrameSource = std::function<std::optional<std::string>(uint64_t index)>;
using OutcomeSink = std::function<void(const FrameOutcome&)>;
// Messages for the person watching ("waiting for the host ...").
using NoticeSink = std::function<void(const std::string&)>;

class Receiver {
 public:
  // line: the device (or pty master), already in raw mode. stop: set means
  // stop (a self-pipe's read end, or an event on Windows); -1 for none.
  Receiver(intptr_t line, ReceiverOptions options, intptr_t stop = -1);

  // Sends every frame of the source, then lingers as asked. Returns false
  // when it was stopped early.
  bool Run(const FrameSource& source, const OutcomeSink& sink, const NoticeSink& notice = {});

  // With watchHost: waits until the host closes the port (or a stop), so the
  // line stays up until the host has shut its channel down cleanly.
  void HoldUntilHostCloses();

  double ElapsedSeconds() const;

 private:
  using Clock = std::chrono::steady_clock;

  bool IdleUntil(Clock::time_point until, bool forever);
  FrameOutcome Deliver(const std::string& frame);
  enum class Answer { Ack, Nak, Timeout, Stop };
  Answer AwaitAnswer(Clock::time_point deadline, FrameOutcome& out);
  bool WaitForHost();
  bool HostPresent() const;
  bool SleepUntil(Clock::time_point until);
  bool StopRequested() const;
  void Drain(FrameOutcome& out);
  void Send(const std::string& bytes);

  intptr_t FLine;
  intptr_t FStop;
  ReceiverOptions FOpt;
  Clock::time_point FStart;
  Clock::time_point FLastTraffic;  // restarts the heartbeat timer
  Clock::time_point FNotBefore;    // end of the pause after an ACK
  uint64_t FSeq = 0;
  OutcomeSink FSink;
  NoticeSink FNotice;
  bool FStopped = false;
};

}  // namespace kvarn::sim
