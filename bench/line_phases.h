// The line benchmarks: the library end to end over pty pairs, each figure
// next to what the bare pty does in the same run.
#pragma once

#include "line_support.h"

namespace kvarn::bench {

struct Sizes {
  int ChannelExchanges;  // of each kind: raw round trip, frame with log, frame without
  int SimFrames;         // sent by the receiver simulator
  int BusyChannels;
  double BusyS;
  int IdleChannels;
  double IdleS;        // a multiple of the 2 s wait, so every channel wakes equally often
  int CostCalls;       // timed calls for each system call's cost
};

// One channel in stop-and-wait: DC4 -> event, take -> ACK and frames per
// second with the log on and off, exchange by exchange in turn with raw pty
// round trips.
void MeasureChannel(const Sizes& z, Results& r);
// One channel in stop-and-wait against the receiver simulator `sim`, a
// program of its own: the ACK latency as a receiver process sees it.
void MeasureWithSimulator(const Sizes& z, const std::string& sim, Results& r);
// Many channels at once under load, after as many raw lines at once.
void MeasureBusy(const Sizes& z, Results& r);
// Many idle channels: CPU, wake-ups and resident memory.
void MeasureIdle(const Sizes& z, Results& r);

}  // namespace kvarn::bench
