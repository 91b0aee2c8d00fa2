// The simulated receiver against a host scripted on a pseudo-terminal. Short
// ACK timeouts keep it fast; the assertions count transmissions, not time.
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "scripted_host.h"
#include "sim/frames.h"
#include "sim/receiver.h"
#include "sim/serial.h"

namespace kvarn::sim {
namespace {

using namespace std::chrono_literals;
using testing::PtyPair;
using testing::ScriptedHost;

ReceiverOptions Fast(double ackTimeout, int retries) {
  ReceiverOptions o;
  o.ackTimeout = ackTimeout;
  o.retries = retries;
  o.gap = 0;
  o.heartbeat = 0;
  return o;
}

// Runs the receiver on its own thread over `frames`; the test plays the host
// meanwhile and then calls Join.
class RunningReceiver {
 public:
  RunningReceiver(int fd, ReceiverOptions opt, std::vector<std::string> frames, int stopFd = -1)
      : FFrames(std::move(frames)), FReceiver(fd, std::move(opt), stopFd) {
    FThread = std::thread([this] {
      FCompleted = FReceiver.Run(
          [this](uint64_t i) -> std::optional<std::string> {
            if (i < FFrames.size()) return FFrames[i];
            return std::nullopt;
          },
          [this](const FrameOutcome& o) { FOutcomes.push_back(o); });
    });
  }
  ~RunningReceiver() { Join(); }

  const std::vector<FrameOutcome>& Join() {
    if (FThread.joinable()) FThread.join();
    return FOutcomes;
  }
  bool Completed() { return Join(), FCompleted; }

 private:
  std::vector<std::string> FFrames;
  Receiver FReceiver;
  std::vector<FrameOutcome> FOutcomes;
  bool FCompleted = false;
  std::thread FThread;
};

const std::string kAlarm = "5011 181234E13001001";
const std::string kRestore = "5011 181234R13001001";

TEST(SimulatedReceiver, AckInTimeAcknowledgesAfterOneTry) {
  PtyPair pty;
  ScriptedHost host(pty.slave);
  RunningReceiver rx(pty.master, Fast(2.0, 3), {kAlarm, kRestore});
  EXPECT_EQ(host.NextFrame(), kAlarm);
  host.Ack();
  EXPECT_EQ(host.NextFrame(), kRestore);
  host.Ack();
  const auto& out = rx.Join();
  ASSERT_EQ(out.size(), 2u);
  for (const FrameOutcome& o : out) {
    EXPECT_TRUE(o.acked);
    EXPECT_EQ(o.tries, 1);
    EXPECT_FALSE(o.heartbeat);
  }
  EXPECT_EQ(out[0].seq, 1u);
  EXPECT_EQ(out[1].seq, 2u);
}

TEST(SimulatedReceiver, LateAckFindsTheFrameResent) {
  PtyPair pty;
  ScriptedHost host(pty.slave);
  RunningReceiver rx(pty.master, Fast(0.1, 5), {kAlarm});
  EXPECT_EQ(host.NextFrame(), kAlarm);
  std::this_thread::sleep_for(150ms);  // past the receiver's ACK timeout
  host.Ack();
  EXPECT_EQ(host.NextFrame(), kAlarm) << "no resend after the ACK timeout";
  const auto& out = rx.Join();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_TRUE(out[0].acked);
  EXPECT_GE(out[0].tries, 2);
}

TEST(SimulatedReceiver, NoAckGivesUpAfterRetriesThenSendsTheNext) {
  PtyPair pty;
  ScriptedHost host(pty.slave);
  RunningReceiver rx(pty.master, Fast(0.05, 2), {kAlarm, kRestore});
  // Stop-and-wait: three copies of the first frame, and only then the second.
  for (int copy = 0; copy < 3; ++copy) EXPECT_EQ(host.NextFrame(), kAlarm) << "copy " << copy;
  EXPECT_EQ(host.NextFrame(), kRestore);
  host.Ack();
  const auto& out = rx.Join();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_FALSE(out[0].acked);
  EXPECT_FALSE(out[0].stopped);
  EXPECT_EQ(out[0].tries, 3);
  EXPECT_TRUE(out[1].acked);
  EXPECT_EQ(host.NextFrame(100ms), std::nullopt);
}

TEST(SimulatedReceiver, NakEndsTheWaitAndResends) {
  PtyPair pty;
  ScriptedHost host(pty.slave);
  RunningReceiver rx(pty.master, Fast(30.0, 3), {kAlarm});
  EXPECT_EQ(host.NextFrame(), kAlarm);
  host.Nak();
  EXPECT_EQ(host.NextFrame(), kAlarm);  // long before the 30 s timeout
  host.Ack();
  const auto& out = rx.Join();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_TRUE(out[0].acked);
  EXPECT_EQ(out[0].tries, 2);
  EXPECT_EQ(out[0].naks, 1);
}

TEST(SimulatedReceiver, StrayBytesBeforeASendAreNotTakenForItsAck) {
  PtyPair pty;
  ScriptedHost host(pty.slave);
  host.Ack();  // an ACK that answers nothing
  std::this_thread::sleep_for(20ms);
  ReceiverOptions opt = Fast(0.1, 1);
  RunningReceiver rx(pty.master, opt, {kAlarm});
  EXPECT_EQ(host.NextFrame(), kAlarm);
  EXPECT_EQ(host.NextFrame(), kAlarm);
  const auto& out = rx.Join();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_FALSE(out[0].acked);
  EXPECT_GE(out[0].strayBytes, 1);
}

// A receiver that keeps its input takes the waiting byte for the answer.
TEST(SimulatedReceiver, WithoutClearingAWaitingAckAnswersTheNextFrame) {
  PtyPair pty;
  ScriptedHost host(pty.slave);
  host.Ack();
  std::this_thread::sleep_for(20ms);
  ReceiverOptions opt = Fast(0.1, 1);
  opt.clearInput = false;
  RunningReceiver rx(pty.master, opt, {kAlarm});
  EXPECT_EQ(host.NextFrame(), kAlarm);
  const auto& out = rx.Join();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_TRUE(out[0].acked);
  EXPECT_EQ(out[0].tries, 1);
}

TEST(SimulatedReceiver, HeartbeatWhenTheLineIsIdle) {
  PtyPair pty;
  ScriptedHost host(pty.slave);
  ReceiverOptions opt = Fast(1.0, 0);
  opt.heartbeat = 0.1;
  opt.linger = 0.35;
  opt.heartbeatFrame = "1010           @    ";
  RunningReceiver rx(pty.master, opt, {kAlarm});
  EXPECT_EQ(host.NextFrame(), kAlarm);
  host.Ack();
  std::optional<std::string> beat = host.NextFrame();
  ASSERT_TRUE(beat.has_value()) << "no heartbeat while idle";
  EXPECT_EQ(*beat, "1010           @    ");
  host.Ack();
  while (host.NextFrame(500ms)) host.Ack();  // the others of the linger time
  const auto& out = rx.Join();
  ASSERT_GE(out.size(), 2u);
  EXPECT_FALSE(out[0].heartbeat);
  EXPECT_TRUE(out[1].heartbeat);
  EXPECT_TRUE(out[1].acked);
}

TEST(SimulatedReceiver, StopRequestEndsTheAckWait) {
  PtyPair pty;
  ScriptedHost host(pty.slave);
  int stop[2];
  ASSERT_EQ(pipe(stop), 0);
  RunningReceiver rx(pty.master, Fast(60.0, 3), {kAlarm, kRestore}, stop[0]);
  EXPECT_EQ(host.NextFrame(), kAlarm);
  ASSERT_EQ(write(stop[1], "x", 1), 1);
  EXPECT_FALSE(rx.Completed());
  const auto& out = rx.Join();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_TRUE(out[0].stopped);
  EXPECT_FALSE(out[0].acked);
  close(stop[0]);
  close(stop[1]);
}

TEST(SimulatedReceiver, OnItsOwnPtyWaitsForTheHostToOpenThePort) {
  Line line;
  std::string error;
  ASSERT_TRUE(CreatePty(line, error)) << error;
  ReceiverOptions opt = Fast(2.0, 0);
  opt.watchHost = true;
  opt.hostSettle = 0.05;
  RunningReceiver rx(line.fd, opt, {kAlarm});
  std::this_thread::sleep_for(300ms);  // no host yet: the frame must wait, not time out
  int slave = open(line.slavePath.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  ScriptedHost host(slave);
  EXPECT_EQ(host.NextFrame(), kAlarm);
  host.Ack();
  const auto& out = rx.Join();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_TRUE(out[0].acked);
  EXPECT_EQ(out[0].tries, 1);
  close(slave);
  CloseLine(line);
}

TEST(SimulatedReceiver, ReplaysATrafficLogInOrder) {
  const std::string log =
      "9:15:02 am 5011 181234E13001001\r\n"
      "9:15:03 am S0111[#1234|Nri12/BA03/BR04]\r\n"
      "12:00:00 pm 0010 LINE 2 FAULT\r\n"
      "1:07:44 pm 5011 181234R13001001\r\n";
  std::vector<std::string> frames, warnings;
  std::string error;
  ASSERT_TRUE(ParseTrafficLog(log, frames, warnings, error)) << error;
  EXPECT_TRUE(warnings.empty());
  PtyPair pty;
  ScriptedHost host(pty.slave);
  RunningReceiver rx(pty.master, Fast(2.0, 0), frames);
  for (const char* expected :
       {"5011 181234E13001001", "S0111[#1234|Nri12/BA03/BR04]", "0010 LINE 2 FAULT", "5011 181234R13001001"}) {
    EXPECT_EQ(host.NextFrame(), expected);
    host.Ack();
  }
  EXPECT_EQ(rx.Join().size(), 4u);
}

}  // namespace
}  // namespace kvarn::sim
