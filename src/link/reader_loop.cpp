// A receiver takes an ACK as the answer to its latest transmission, so an
// ACK goes out only while the frame it answers is what the receiver last
// sent: resends of it that came meanwhile are taken as the same frame, and
// anything else after it means the receiver has moved on.
#include "link/reader_loop.h"

#include <algorithm>

#include "decode/decode_state.h"
#include "decode/frame_decoder.h"
#include "link/traffic_log.h"
#include "platform/clock.h"
#include "platform/deadline.h"
#include "platform/handoff.h"

namespace kvarn {

using platform::PortWait;

ReaderLoop::ReaderLoop(platform::SerialPort& port, HostSide& host, const ChannelTiming& timing)
    : FPort(port), FHost(host), FTiming(timing), FDecoding(std::make_unique<DecodeState>()) {
  FDecoding->SendAck = [this] { FDecoderAcked = true; };
  FDecoding->UtcNow = platform::UtcNow;
}

ReaderLoop::~ReaderLoop() = default;

void ReaderLoop::Run() {
  FPort.WatchFrameEnd();
  bool emptyWake = false;
  for (;;) {
    if (!FInput.HasFrame()) {
      const platform::Deadline interval(FTiming.WaitMs);
      PortWait r = FPort.WaitFrameEnd(*FHost.StopEvent, FTiming.WaitMs);
      if (r == PortWait::Stop) break;
      bool gotBytes = r == PortWait::FrameEnded && ReadFrameEnd();
      if (r != PortWait::FrameEnded) CheckOverflow();
      // A device that fails at once, or keeps waking without data, must not
      // make the loop spin: rest out the interval on the stop event. A wake
      // on the event character that finds the queue empty (its DC4 was read
      // with an earlier frame) is normal once.
      bool rest = r != PortWait::FrameEnded || (!gotBytes && emptyWake);
      emptyWake = r == PortWait::FrameEnded && !gotBytes;
      if (rest && !RestUntil(interval)) break;
    }
    if (!HandleQueuedFrames()) break;
  }
  FPort.Close();
}

// One read of what the port holds, at most one frame's worth.
bool ReaderLoop::ReadFrameEnd() {
  bool overflowed = false;
  size_t n = std::min<size_t>({FPort.QueryStatus(overflowed), kMaxFrameRead, FInput.Room()});
  size_t count = std::min(FPort.Read(FReadBuf, n), n);
  FInput.Append(FReadBuf, count);
  if (overflowed) DiscardAfterOverflow();
  return count > 0;
}

// Moves what the port holds into FInput without waiting. False when part of
// it may be unseen: an overflow, input left in the port, or a queue that
// would not be read.
bool ReaderLoop::DrainPort() {
  for (int i = 0; i < 32; ++i) {
    bool overflowed = false;
    const size_t queued = FPort.QueryStatus(overflowed);
    const size_t n = std::min<size_t>({queued, kMaxFrameRead, FInput.Room()});
    const size_t count = n ? std::min(FPort.Read(FReadBuf, n), n) : 0;
    FInput.Append(FReadBuf, count);
    if (overflowed) {
      DiscardAfterOverflow();
      return false;
    }
    if (queued == 0) return true;
    if (count == 0) return false;
  }
  return false;
}

// The port dropped bytes: what it still holds, and the start of a frame
// that they would have continued, would only join up into a wrong frame.
void ReaderLoop::DiscardAfterOverflow() {
  FPort.PurgeInput();
  FInput.DropPartial();
}

// Every frame read so far, oldest first. False when the stop event ends it.
bool ReaderLoop::HandleQueuedFrames() {
  // The wait that brought the first frame has just looked at the stop event.
  for (bool first = true; FInput.HasFrame(); first = false) {
    if (!first && FHost.StopEvent->Wait(0)) return false;
    try {
      HandleFrame();
    } catch (...) {
      // Out of memory while logging or decoding: that frame stays
      // unacknowledged, and the loop goes on.
    }
  }
  return true;
}

void ReaderLoop::HandleFrame() {
  FrameText& frame = FDecoding->Frame;
  if (FInput.TakeFrame(frame) == LineInput::Taken::Overlong) FPort.PurgeInput();  // the rest of it
  if (frame.Empty()) return;
  FLastFrame.Assign(frame.View());  // the decoder consumes the frame text
  LogFrame(frame.View());
  if (IsHeartbeat(frame.View())) {
    AckIfLatest();
    return;
  }
  const uint32_t frameNo = ++FDecoding->FrameNo;
  FDecoderAcked = false;
  bool event = Decode();
  // The decoder only notes that a receiver frame is to be answered; the
  // byte goes out here, by the rule every ACK follows.
  if (FDecoderAcked) AckIfLatest();
  if (event) HandOver(frameNo);
}

// A frame that is not handed over (rejected, or decoding ran out of memory)
// leaves no blocks behind. The decoder's block list only ever holds the frame
// being decoded.
bool ReaderLoop::Decode() {
  DecodeState& d = *FDecoding;
  try {
    const bool event = DecodeFrame(d) == DecodeResult::Event;
    if (event) Publish(d);
    d.Pending.Blocks.clear();
    return event;
  } catch (...) {
    d.Pending.Blocks.clear();
    throw;
  }
}

// Gives the host the event's record and the frame's further blocks, behind
// those still waiting, in one step. The decoder's record lives on from frame
// to frame and is given whole, so the host reads the same bytes it would read
// in the decoder's own record.
void ReaderLoop::Publish(const DecodeState& d) {
  std::lock_guard lock(FHost.Lock);
  FHost.Msg = d.Msg;
  try {
    FHost.Blocks.insert(FHost.Blocks.end(), d.Pending.Blocks.begin(), d.Pending.Blocks.end());
  } catch (...) {
    DropBlocks(d.FrameNo);
    throw;
  }
}

void ReaderLoop::HandOver(uint32_t frameNo) {
  {
    std::lock_guard lock(FHost.Lock);
    FHost.MsgTaken = false;
    FHost.ReadyFrameNo = frameNo;
    // A signal left from emptying the block list stands for no frame.
    FHost.TakenEvent->Reset();
  }
  platform::RunOnWindowThread([this] { SetMsgReady(); });
  if (AwaitPickup(frameNo)) AckIfLatest();
}

void ReaderLoop::SetMsgReady() {
  std::lock_guard lock(FHost.Lock);
  FHost.MsgReady = true;
}

// True when the host took the event: acknowledge. Otherwise the event has
// been withdrawn. The taken signal only wakes the worker; FHost.MsgTaken decides,
// so an event taken in the last instant is acknowledged, never withdrawn.
// The stop event does not cut this wait short.
bool ReaderLoop::AwaitPickup(uint32_t frameNo) {
  const platform::Deadline deadline(FTiming.PickupMs);
  for (;;) {
    if (const uint32_t left = deadline.Remaining(); left > 0) FHost.TakenEvent->Wait(left);
    std::lock_guard lock(FHost.Lock);
    if (FHost.MsgTaken) return true;
    if (deadline.Expired()) {
      Withdraw(frameNo);
      return false;
    }
  }
}

// Answers FLastFrame unless the receiver has sent something else since.
// Its resends are logged (they were received) and need no answer of their
// own: the one ACK answers whichever copy the receiver last sent. A copy
// still arriving is waited for, at most one wait interval, so that its DC4
// cannot end up as the start of a frame. When the receiver has moved on, an
// ACK would answer its new frame, so none goes out: the frame may then be
// delivered and never acknowledged, which a resend repairs, but never
// acknowledged and lost.
void ReaderLoop::AckIfLatest() {
  const std::string_view frame = FLastFrame.View();
  const platform::Deadline deadline(FTiming.WaitMs);
  for (;;) {
    if (!DrainPort()) return;
    while (FInput.TakeResend(frame)) LogFrame(frame);
    LineInput::Follows next = FInput.WhatFollows(frame);
    if (next == LineInput::Follows::Nothing) FPort.WriteByte(kAck);
    if (next != LineInput::Follows::Resending) return;
    const uint32_t left = deadline.Remaining();
    if (left == 0) return;
    if (FPort.WaitFrameEnd(*FHost.StopEvent, left) != PortWait::FrameEnded) return;
  }
}

// Blocks of earlier frames were acknowledged with their frame and stay.
void ReaderLoop::Withdraw(uint32_t frameNo) {
  FHost.MsgReady = false;
  DropBlocks(frameNo);
}

void ReaderLoop::DropBlocks(uint32_t frameNo) {
  std::erase_if(FHost.Blocks, [frameNo](const TPendingEntry& e) { return e.FrameNo == frameNo; });
}

void ReaderLoop::CheckOverflow() {
  bool overflowed = false;
  FPort.QueryStatus(overflowed);
  if (overflowed) DiscardAfterOverflow();
}

// False when the stop event is set.
bool ReaderLoop::RestUntil(const platform::Deadline& until) {
  return !FHost.StopEvent->Wait(until.Remaining());
}

}  // namespace kvarn
