// How the POSIX port moves what the device has into its queue: a frame that
// comes in pieces, and a flood beyond the queue's capacity.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/event.h"
#include "platform/serial_port.h"
#include "pty_support.h"

namespace kvarn {
namespace {

using platform::PortWait;

class PortDrain : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.Link(3, pty_.SlavePath());
    port_ = platform::OpenSerialPort(3);
    ASSERT_TRUE(port_);
    platform::LineSettings line;
    line.Speed = 9600;
    line.DataBits = 8;
    line.EventChar = 0x14;
    port_->Configure(line);
    port_->WatchFrameEnd();
  }

  std::string ReadAll() {
    bool overflowed = false;
    std::string bytes(port_->QueryStatus(overflowed), '\0');
    bytes.resize(port_->Read(bytes.data(), bytes.size()));
    return bytes;
  }

  test::ScratchDir dir_;
  test::Pty pty_;
  std::unique_ptr<platform::SerialPort> port_;
  std::unique_ptr<platform::Event> stop_ = platform::Event::Create(platform::EventReset::Manual);
};

TEST_F(PortDrain, FrameInPiecesEndsOnlyWithItsDc4) {
  pty_.Send("5011 18");
  EXPECT_EQ(port_->WaitFrameEnd(*stop_, 200), PortWait::Timeout);
  pty_.Send("1234E13001001\x14");
  ASSERT_EQ(port_->WaitFrameEnd(*stop_, 5000), PortWait::FrameEnded);
  EXPECT_EQ(ReadAll(), "5011 181234E13001001\x14");
}

// The queue keeps the first bytes; what does not fit is dropped and flagged,
// and a frame after the purge comes through whole.
TEST_F(PortDrain, FloodBeyondTheQueueFlagsAnOverflowAndKeepsTheFirstBytes) {
  std::string flood;
  for (int i = 0; i < 6000; ++i) flood += static_cast<char>('0' + i % 10);
  pty_.Send(flood);
  bool overflowed = false;
  uint32_t queued = 0;
  for (int i = 0; i < 500 && !overflowed; ++i) {
    bool o = false;
    queued = port_->QueryStatus(o);
    overflowed |= o;
    if (!overflowed) pty_.Receive(5);  // let the pty deliver the rest
  }
  EXPECT_TRUE(overflowed);
  std::string kept(queued, '\0');
  kept.resize(port_->Read(kept.data(), kept.size()));
  EXPECT_EQ(kept, flood.substr(0, kept.size()));
  EXPECT_GE(kept.size(), 200u);

  port_->PurgeInput();
  pty_.Send("5011 181234E13001001\x14");
  ASSERT_EQ(port_->WaitFrameEnd(*stop_, 5000), PortWait::FrameEnded);
  EXPECT_EQ(ReadAll(), "5011 181234E13001001\x14");
}

}  // namespace
}  // namespace kvarn
