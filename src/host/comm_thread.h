// The channel: one open serial port of one receiver, its worker thread and
// the event waiting for the host.
//
// Two threads meet here: the worker (the reader loop, link/reader_loop.h)
// and the host thread calling GetMsg (host/pickup.cpp). What they share is
// the channel's HostSide (link/host_side.h), every field of it guarded by
// its lock.
#pragma once

#include <cstdint>
#include <memory>

#include "host/tlf_msg.h"
#include "link/host_side.h"
#include "link/reader_loop.h"
#include "platform/serial_port.h"
#include "platform/thread.h"

namespace kvarn {

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

  // The worker thread's body: the reader loop's.
  void Execute();

  // The pickup (host/pickup.cpp), on a host thread, FHost.Lock held.
  int TakeLocked(TlfMsg& out, bool& signal);
  bool BlockDeliverable() const;
  void DeliverReady(TlfMsg& out);
  void DeliverBlock(TlfMsg& out);

  std::unique_ptr<platform::SerialPort> FPort;  // the worker's once it runs
  HostSide FHost;
  ReaderLoop FLoop;  // on FPort and FHost
  platform::Thread FThread;
  bool FHoldsWindow = false;  // counted among the holders of the handoff window
};

}  // namespace kvarn
