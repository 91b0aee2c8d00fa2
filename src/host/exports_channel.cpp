// The exported channel functions. Nothing may escape to the host: failures
// show only in the results.
#include "host/comm_thread.h"
#include "kvarn_rcvr.h"
#include "platform/serial_port.h"

namespace {

kvarn::TCommThread* Channel(TlfChannel c) { return reinterpret_cast<kvarn::TCommThread*>(c); }

}  // namespace

extern "C" {

TlfChannel TLF_CALL tlf_InitComm(int port, int receiver) {
  try {
    auto channel = kvarn::TCommThread::Open(kvarn::platform::OpenSerialPort(port), receiver);
    return reinterpret_cast<TlfChannel>(channel.release());
  } catch (...) {
    return nullptr;
  }
}

// Stops the worker and releases the channel with its thread, port and
// events. The handle is invalid afterwards: passing it to any function again
// is outside the contract.
int TLF_CALL tlf_CloseComm(TlfChannel channel) {
  delete Channel(channel);  // the destructor stops and joins the worker
  return 0;
}

int TLF_CALL tlf_GetMsg(TlfChannel channel, TlfMsg* msg) {
  try {
    return Channel(channel)->GetMsg(*msg);
  } catch (...) {  // the lock could not be taken: nothing was delivered
    return 0;
  }
}

}
