// What the fault tests share: a receiver's line on a pseudo-terminal linked as
// "Com5" in a scratch current directory, a channel on it with short limits,
// and the host's side (taking events, measuring the CPU the process burns).
#pragma once

#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "host/comm_thread.h"
#include "platform/clock.h"
#include "platform/serial_port.h"
#include "pty_support.h"

namespace kvarn::test {

inline constexpr int kFaultPort = 5;
// Short limits keep the tests fast; the exported functions use 2000/7000 ms.
inline constexpr ChannelTiming kFastTiming{500, 400};
inline constexpr char kDc4 = 0x14;
inline constexpr char kAckByte = 0x06;

struct FaultRig {
  ScratchDir Dir;
  Pty Line;

  FaultRig() { Dir.Link(kFaultPort, Line.SlavePath()); }

  std::unique_ptr<TCommThread> Open(ChannelTiming timing = kFastTiming) const {
    return TCommThread::Open(platform::OpenSerialPort(kFaultPort), 1, timing);
  }

  void SendFrame(const std::string& text) const { Line.Send(text + kDc4); }

  // ACK bytes the library wrote within `ms` (collection ends at the first
  // byte that is not an ACK, or after `count` bytes).
  size_t AcksWithin(uint32_t ms, size_t count = 1) const {
    const std::string got = Line.Receive(ms, count);
    return got.find_first_not_of(kAckByte) == std::string::npos ? got.size() : 0;
  }
};

// Polls like a host until an event comes; false after `ms`.
inline bool TakeWithin(TCommThread& c, TlfMsg& m, uint32_t ms = 5000) {
  const uint64_t end = platform::MonotonicMs() + ms;
  while (!c.GetMsg(m)) {
    if (platform::MonotonicMs() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Takes events until none has come for `quietMs`; returns how many.
inline int DrainEvents(TCommThread& c, uint32_t quietMs = 600) {
  int n = 0;
  TlfMsg m{};
  while (TakeWithin(c, m, quietMs)) ++n;
  return n;
}

// CPU time of the whole process so far, user and system.
inline uint64_t CpuMs() {
  rusage r{};
  getrusage(RUSAGE_SELF, &r);
  return static_cast<uint64_t>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000 +
         static_cast<uint64_t>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1000;
}

// CPU the process burns while this thread sleeps `ms`: a spinning worker
// burns about all of it, an idle one next to nothing.
inline uint64_t CpuWhileIdle(uint32_t ms) {
  const uint64_t before = CpuMs();
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  return CpuMs() - before;
}

// A Contact ID style frame whose account tells the frames of a test apart.
inline std::string Frame5(unsigned account) {
  char text[32];
  std::snprintf(text, sizeof text, "5011 18%04XE13001001", account & 0xFFFF);
  return text;
}

}  // namespace kvarn::test
