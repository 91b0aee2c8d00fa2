// The channel: one open serial port of one receiver, its worker thread and
// the event waiting for the host.
//
// Two threads meet here: the worker (the reader loop, link/reader_loop.cpp)
// and the host thread calling GetMsg (host/pickup.cpp). Every field they
// share is guarded by FLock; the events only wake a waiting thread, and what
// happened is decided from the guarded fields, so a left-over signal never
// counts as a pickup.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "decode/decode_state.h"
#include "host/pending_blocks.h"
#include "host/short_string.h"
#include "host/tlf_msg.h"
#include "link/line_input.h"
#include "platform/deadline.h"
#include "platform/event.h"
#include "platform/serial_port.h"
#include "platform/thread.h"

namespace kvarn {

// Time limits of a channel. The exported functions always use these values;
// tests may shorten them.
struct ChannelTiming {
  uint32_t WaitMs = 2000;    // longest wait for the end of a frame
  uint32_t PickupMs = 7000;  // how long the host has to take an event
};

class TCommThread {
 public:
  // Configures `port` from the settings of `receiver` and starts the worker.
  // Null when `port` is null (the settings file is then not read), or when
  // the channel's events or thread cannot be created (the port is then
  // closed).
  static std::unique_ptr<TCommThread> Open(std::unique_ptr<platform::SerialPort> port, int receiver,
                                           const ChannelTiming& timing = {});

  // Stops the worker (see Close).
  ~TCommThread();
  TCommThread(const TCommThread&) = delete;
  TCommThread& operator=(const TCommThread&) = delete;

  // Asks the worker to end and waits until it has, without a limit. A worker
  // waiting for the host to take an event first lets that wait run out.
  // The worker closes the port on its way out. Calling it again does nothing.
  void Close();

  // Delivers at most one event into `out`: the current event when it is
  // ready, else the oldest further block of a bracketed frame whose first
  // event the host has already taken. 1 when `out` was written, 0 otherwise.
  int GetMsg(TlfMsg& out);

 private:
  friend struct TCommThreadProbe;  // tests: to line up with the worker

  TCommThread(std::unique_ptr<platform::SerialPort> port, const ChannelTiming& timing);
  void Configure(int receiver);

  // The reader loop (link/reader_loop.cpp), on the worker thread.
  void Execute();
  bool ReadFrameEnd();
  bool DrainPort();
  void DiscardAfterOverflow();
  bool HandleQueuedFrames();
  void HandleFrame();
  bool Decode();
  void HandOver(uint32_t frameNo);
  void SetMsgReady();
  bool AwaitPickup(uint32_t frameNo);
  void AckIfLatest();
  void Withdraw(uint32_t frameNo);
  void DropBlocks(uint32_t frameNo);
  void CheckOverflow();
  bool RestUntil(const platform::Deadline& until);

  // The pickup (host/pickup.cpp), on a host thread, FLock held.
  int TakeLocked(TlfMsg& out, bool& signal);
  bool BlockDeliverable() const;
  void DeliverReady(TlfMsg& out);
  void DeliverBlock(TlfMsg& out);

  const ChannelTiming FTiming;
  std::unique_ptr<platform::SerialPort> FPort;  // the worker's once it runs
  std::unique_ptr<platform::Event> FStopEvent;  // manual reset: set once by Close
  std::unique_ptr<platform::Event> FTakenEvent; // auto reset: the host took something
  platform::Thread FThread;
  bool FHoldsWindow = false;  // counted among the holders of the handoff window

  // Guards the fields up to FTakenFrameNo, and of FDecoding the record
  // (Msg) and the block list (Pending), which the decoder fills and the
  // host takes from.
  std::mutex FLock;
  bool FMsgReady = false;       // FDecoding.Msg handed over and not yet taken
  bool FMsgTaken = false;       // the host took FDecoding.Msg since the last handoff
  uint32_t FReadyFrameNo = 0;   // the frame whose event is in FDecoding.Msg
  uint32_t FTakenFrameNo = 0;   // the last frame whose event the host took
  DecodeState FDecoding;        // its frame text and frame count are the worker's own

  // The worker's own.
  FrameText FLastFrame;   // the frame being answered, as received
  LineInput FInput;       // read from the port, not yet handled
  char FReadBuf[kMaxFrameRead];
  bool FDecoderAcked = false;  // the decoder answered the frame itself
};

}  // namespace kvarn
