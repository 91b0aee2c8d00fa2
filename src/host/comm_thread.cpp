#include "host/comm_thread.h"

#include "host/settings.h"
#include "platform/handoff.h"

namespace kvarn {

// Open has made sure of the port before the loop is given it.
TCommThread::TCommThread(std::unique_ptr<platform::SerialPort> port, const ChannelTiming& timing)
    : FPort(std::move(port)), FLoop(*FPort, FHost, timing) {}

TCommThread::~TCommThread() { Close(); }

std::unique_ptr<TCommThread> TCommThread::Open(std::unique_ptr<platform::SerialPort> port, int receiver,
                                               const ChannelTiming& timing) {
  if (!port) return nullptr;
  std::unique_ptr<TCommThread> channel(new TCommThread(std::move(port), timing));
  if (!channel->FHost.StopEvent || !channel->FHost.TakenEvent) {
    channel->FPort->Close();
    return nullptr;
  }
  channel->Configure(receiver);
  TCommThread* c = channel.get();
  platform::AcquireWindow();
  channel->FHoldsWindow = true;
  if (!channel->FThread.Start([c] { c->Execute(); })) {
    channel->FPort->Close();
    return nullptr;
  }
  return channel;
}

// The result is not examined: a port that refuses a setting keeps its own.
void TCommThread::Configure(int receiver) { FPort->Configure(ReceiverSettings(receiver)); }

void TCommThread::Execute() { FLoop.Run(); }

void TCommThread::Close() {
  if (FHost.StopEvent) FHost.StopEvent->Set();
  FThread.Join();
  if (FHoldsWindow) {
    FHoldsWindow = false;
    platform::ReleaseWindow();
  }
}

}  // namespace kvarn
