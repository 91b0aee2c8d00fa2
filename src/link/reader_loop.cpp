#include "link/reader_loop.h"

#include <algorithm>

#include "decode/frame_decoder.h"
#include "host/comm_thread.h"
#include "link/traffic_log.h"
#include "platform/clock.h"
#include "platform/handoff.h"

namespace kvarn {

using platform::PortWait;

void TCommThread::Execute() {
  FPort->SetEventMask(platform::kEvRxFlag);
  DecodeContext ctx{FrameBuf, FieldText, FMsg, FPending, [this] { FPort->SendAck(); }, platform::UtcNow, 0};
  for (;;) {
    const uint64_t start = platform::MonotonicMs();
    PortWait r = FPort->WaitFrameEnd(*FStopEvent, FTiming.WaitMs);
    if (r == PortWait::Stop) break;
    bool gotBytes = false;
    try {
      if (r == PortWait::FrameEnded)
        gotBytes = TakeFrame(ctx);
      else
        CheckOverflow();
    } catch (...) {
      // Out of memory while logging or decoding: that frame stays
      // unacknowledged, and the loop goes on.
    }
    // A wait that ends early without bytes (a failed or vanished device, a
    // spurious wake) must not make the loop spin: sleep out the interval on
    // the stop event, which still ends the worker at once.
    if (!gotBytes) RestUntil(start + FTiming.WaitMs);
  }
  FPort->Close();
}

bool TCommThread::TakeFrame(DecodeContext& ctx) {
  uint32_t errors = 0;
  size_t n = std::min<size_t>(FPort->QueryStatus(errors), kMaxFrameRead);
  size_t count = std::min(FPort->Read(FrameBuf.Data(), n), n);
  // The last byte read is the DC4 when the frame came whole.
  FrameBuf.SetLength(count > 0 ? count - 1 : 0);
  FPort->PurgeInput();
  if (!FrameBuf.Empty()) HandleFrame(ctx);
  return count > 0;
}

void TCommThread::HandleFrame(DecodeContext& ctx) {
  LogFrame(FrameBuf.View());
  if (IsHeartbeat(FrameBuf.View())) {
    FPort->SendAck();
    return;
  }
  ctx.FrameNo = ++FFrameNo;
  if (Decode(ctx)) HandOver(ctx.FrameNo);
}

// Decoding writes FMsg and the block list, which the host reads.
// A frame that is not handed over (rejected, or decoding ran out of memory)
// leaves no blocks behind.
bool TCommThread::Decode(DecodeContext& ctx) {
  std::lock_guard lock(FLock);
  try {
    if (DecodeFrame(ctx)) return true;
  } catch (...) {
    DropBlocks(ctx.FrameNo);
    throw;
  }
  DropBlocks(ctx.FrameNo);
  return false;
}

void TCommThread::HandOver(uint32_t frameNo) {
  {
    std::lock_guard lock(FLock);
    FMsgTaken = false;
    FReadyFrameNo = frameNo;
    // A signal left from emptying the block list stands for no frame.
    FTakenEvent->Reset();
  }
  platform::RunOnWindowThread([this] { SetMsgReady(); });
  if (AwaitPickup(frameNo)) FPort->SendAck();
}

void TCommThread::SetMsgReady() {
  std::lock_guard lock(FLock);
  FMsgReady = true;
}

// True when the host took the event: acknowledge. Otherwise the event has
// been withdrawn. The taken signal only wakes the worker; FMsgTaken decides,
// so an event taken in the last instant is acknowledged, never withdrawn.
// The stop event does not cut this wait short.
bool TCommThread::AwaitPickup(uint32_t frameNo) {
  const uint64_t deadline = platform::MonotonicMs() + FTiming.PickupMs;
  for (;;) {
    uint64_t now = platform::MonotonicMs();
    if (now < deadline) FTakenEvent->Wait(static_cast<uint32_t>(deadline - now));
    std::lock_guard lock(FLock);
    if (FMsgTaken) return true;
    if (platform::MonotonicMs() >= deadline) {
      Withdraw(frameNo);
      return false;
    }
  }
}

// Blocks of earlier frames were acknowledged with their frame and stay.
void TCommThread::Withdraw(uint32_t frameNo) {
  FMsgReady = false;
  DropBlocks(frameNo);
}

void TCommThread::DropBlocks(uint32_t frameNo) {
  std::erase_if(FPending.Blocks, [frameNo](const TPendingEntry& e) { return e.FrameNo == frameNo; });
}

void TCommThread::CheckOverflow() {
  uint32_t errors = 0;
  FPort->QueryStatus(errors);
  if (errors & platform::kCeRxOver) FPort->PurgeInput();
}

void TCommThread::RestUntil(uint64_t until) {
  uint64_t now = platform::MonotonicMs();
  if (now < until) FStopEvent->Wait(static_cast<uint32_t>(until - now));
}

}  // namespace kvarn
