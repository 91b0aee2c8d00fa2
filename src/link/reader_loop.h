// The reader loop: the body of a channel's worker thread, which waits for
// frames ended by DC4, reads, logs and decodes them, hands each event to the
// host and answers ACK only once the host has taken it.
#pragma once

#include <cstdint>
#include <memory>

#include "host/short_string.h"
#include "link/host_side.h"
#include "link/line_input.h"
#include "link/protocol.h"
#include "platform/deadline.h"
#include "platform/serial_port.h"

namespace kvarn {

struct DecodeState;  // the decoder's, and the loop's alone: the host side never sees it

// Time limits of a channel. The exported functions always use these values;
// tests may shorten them.
struct ChannelTiming {
  uint32_t WaitMs = 2000;    // longest wait for the end of a frame
  uint32_t PickupMs = 7000;  // how long the host has to take an event
};

class ReaderLoop {
 public:
  // `port` and `host` belong to the channel and outlive the loop.
  ReaderLoop(platform::SerialPort& port, HostSide& host, const ChannelTiming& timing);
  ~ReaderLoop();
  ReaderLoop(const ReaderLoop&) = delete;
  ReaderLoop& operator=(const ReaderLoop&) = delete;

  // Runs on the worker thread until the stop event is set, then closes the
  // port.
  void Run();

 private:
  bool ReadFrameEnd();
  bool DrainPort();
  void DiscardAfterOverflow();
  bool HandleQueuedFrames();
  void HandleFrame();
  bool Decode();
  void Publish(const DecodeState& d);
  void HandOver(uint32_t frameNo);
  void SetMsgReady();
  bool AwaitPickup(uint32_t frameNo);
  void AckIfLatest();
  void Withdraw(uint32_t frameNo);
  void DropBlocks(uint32_t frameNo);
  void CheckOverflow();
  bool RestUntil(const platform::Deadline& until);

  platform::SerialPort& FPort;
  HostSide& FHost;
  const ChannelTiming FTiming;
  std::unique_ptr<DecodeState> FDecoding;
  FrameText FLastFrame;   // the frame being answered, as received
  LineInput FInput;       // read from the port, not yet handled
  char FReadBuf[kMaxFrameRead];
  bool FDecoderAcked = false;  // the decoder answered the frame itself
};

}  // namespace kvarn
