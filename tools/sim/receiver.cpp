#include "sim/receiver.h"

#include <algorithm>

#include "sim/frames.h"
#include "sim/line_io.h"
#include "sim/scenarios.h"

namespace kvarn::sim {
namespace {

using Clock = std::chrono::steady_clock;

Clock::duration Seconds(double s) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

Receiver::Receiver(intptr_t line, ReceiverOptions options, intptr_t stop)
    : FLine(line), FStop(stop), FOpt(std::move(options)) {
  if (FOpt.heartbeatFrame.empty()) FOpt.heartbeatFrame = HeartbeatFrame(1);
  // Never block on a host that stopped reading: a full queue must not hang
  // the simulator past a stop request.
  io::Prepare(FLine);
  FStart = FLastTraffic = FNotBefore = Clock::now();
}

double Receiver::ElapsedSeconds() const {
  return std::chrono::duration<double>(Clock::now() - FStart).count();
}

bool Receiver::Run(const FrameSource& source, const OutcomeSink& sink, const NoticeSink& notice) {
  FSink = sink;
  FNotice = notice;
  FStart = FLastTraffic = Clock::now();
  FNotBefore = FStart + Seconds(FOpt.delay);
  const Clock::time_point first = FNotBefore;
  for (uint64_t i = 0;; ++i) {
    std::optional<std::string> frame = source(i);
    if (!frame) break;
    Clock::time_point due = FNotBefore;
    if (FOpt.rate > 0) due = std::max(due, first + Seconds(static_cast<double>(i) / FOpt.rate));
    if (!IdleUntil(due, false)) return false;
    FrameOutcome out = Deliver(*frame);
    FSink(out);
    if (out.stopped) return false;
  }
  if (FOpt.linger != 0 && !IdleUntil(Clock::now() + Seconds(std::max(FOpt.linger, 0.0)), FOpt.linger < 0))
    return false;
  return true;
}

// Waits until `until` (or for ever), sending a heartbeat whenever the link
// has been quiet for the heartbeat time. False when stopped.
bool Receiver::IdleUntil(Clock::time_point until, bool forever) {
  for (;;) {
    if (FOpt.heartbeat > 0) {
      Clock::time_point beat = std::max(FLastTraffic + Seconds(FOpt.heartbeat), FNotBefore);
      if (forever || beat < until) {
        if (!SleepUntil(beat)) return false;
        FrameOutcome out = Deliver(FOpt.heartbeatFrame);
        FSink(out);
        if (out.stopped) return false;
        continue;
      }
    } else if (forever) {
      if (!SleepUntil(Clock::now() + std::chrono::seconds(60))) return false;
      continue;
    }
    return SleepUntil(until);
  }
}

// Stop-and-wait for one frame: up to 1 + retries transmissions, each waiting
// ackTimeout for the answer. A NAK ends a wait early.
FrameOutcome Receiver::Deliver(const std::string& frame) {
  FrameOutcome out;
  out.seq = ++FSeq;
  out.frame = frame;
  out.heartbeat = IsHeartbeat(frame);
  Clock::time_point first{};
  for (int attempt = 0; attempt <= FOpt.retries; ++attempt) {
    if (!WaitForHost()) {
      out.stopped = true;
      break;
    }
    if (FOpt.clearInput) Drain(out);
    Send(frame + kDC4);
    const Clock::time_point sent = Clock::now();
    if (attempt == 0) {
      first = sent;
      out.sentAt = std::chrono::duration<double>(sent - FStart).count();
    }
    ++out.tries;
    FLastTraffic = sent;
    Answer answer = AwaitAnswer(sent + Seconds(FOpt.ackTimeout), out);
    if (answer == Answer::Ack) {
      out.acked = true;
      out.ackMs = Ms(Clock::now() - sent);
      break;
    }
    if (answer == Answer::Stop) {
      out.stopped = true;
      break;
    }
    if (answer == Answer::Nak) ++out.naks;
  }
  const Clock::time_point end = Clock::now();
  if (out.tries > 0) out.totalMs = Ms(end - first);
  FLastTraffic = end;
  if (out.acked) FNotBefore = end + Seconds(FOpt.gap);
  return out;
}

Receiver::Answer Receiver::AwaitAnswer(Clock::time_point deadline, FrameOutcome& out) {
  for (;;) {
    char buf[256];
    size_t got = 0;
    switch (io::ReadSome(FLine, FStop, deadline, buf, sizeof buf, got)) {
      case io::ReadResult::Timeout:
        return Answer::Timeout;
      case io::ReadResult::Stop:
        FStopped = true;
        return Answer::Stop;
      case io::ReadResult::Gone:
        // The host let go of the port: no answer can come in this try.
        return SleepUntil(deadline) ? Answer::Timeout : Answer::Stop;
      case io::ReadResult::Data:
        break;
    }
    for (size_t i = 0; i < got; ++i) {
      if (buf[i] == kACK || buf[i] == kNAK) {
        out.strayBytes += static_cast<int>(got - i - 1);
        return buf[i] == kACK ? Answer::Ack : Answer::Nak;
      }
      ++out.strayBytes;
    }
  }
}

// Bytes left from earlier (a late ACK, line noise) must not count as the
// answer to the next transmission.
void Receiver::Drain(FrameOutcome& out) {
  char buf[256];
  while (size_t got = io::ReadWaiting(FLine, buf, sizeof buf)) out.strayBytes += static_cast<int>(got);
}

void Receiver::Send(const std::string& bytes) {
  io::WriteAll(FLine, FStop, bytes, Clock::now() + Seconds(FOpt.ackTimeout));
}

bool Receiver::HostPresent() const { return io::HostPresent(FLine); }

// On a pty the host "plugs in" by opening the slave. Like a receiver with no
// computer on its port, hold the frame until then, and give the host a
// moment to set the line up before talking.
bool Receiver::WaitForHost() {
  if (!FOpt.watchHost || HostPresent()) return !StopRequested();
  if (FNotice) FNotice("waiting for the host to open the port");
  while (!HostPresent())
    if (!SleepUntil(Clock::now() + std::chrono::milliseconds(50))) return false;
  if (FNotice) FNotice("host opened the port");
  return SleepUntil(Clock::now() + Seconds(FOpt.hostSettle));
}

void Receiver::HoldUntilHostCloses() {
  if (!FOpt.watchHost) return;
  if (FNotice) FNotice("holding the line until the host closes the port");
  while (HostPresent())
    if (!SleepUntil(Clock::now() + std::chrono::milliseconds(50))) return;
  if (FNotice) FNotice("host closed the port");
}

bool Receiver::StopRequested() const { return io::StopSet(FStop); }

bool Receiver::SleepUntil(Clock::time_point until) {
  for (;;) {
    if (StopRequested()) {
      FStopped = true;
      return false;
    }
    if (Clock::now() >= until) return true;
    io::WaitForStop(FStop, until);
  }
}

}  // namespace kvarn::sim
