// What the simulator tells: one line per frame and a closing summary with
// ACK latency percentiles, as text or as JSON Lines.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/receiver.h"

namespace kvarn::sim {

struct Totals {
  uint64_t frames = 0;        // data frames sent (heartbeats apart)
  uint64_t acked = 0;
  uint64_t resentFrames = 0;  // frames sent more than once
  uint64_t resends = 0;       // transmissions beyond the first
  uint64_t givenUp = 0;       // never acknowledged: the host rejected or lost them
  uint64_t naks = 0;
  uint64_t stopped = 0;       // cut short by a stop request
  uint64_t heartbeats = 0;
  uint64_t heartbeatsAcked = 0;
  uint64_t strayBytes = 0;
  std::vector<double> ackMs;  // latency of each acknowledged data frame
};

struct Percentiles {
  size_t count = 0;
  double p50 = 0, p90 = 0, p99 = 0, max = 0;
};

// Nearest-rank percentiles (the smallest value with at least p% of the
// values at or below it).
Percentiles ComputePercentiles(std::vector<double> values);

class Report {
 public:
  Report(std::FILE* out, bool json, bool perFrame) : FOut(out), FJson(json), FPerFrame(perFrame) {}

  void Add(const FrameOutcome& outcome);
  void PrintSummary(double elapsedSeconds);

  const Totals& Counts() const { return FTotals; }
  std::string SummaryText(double elapsedSeconds) const;
  std::string SummaryJson(double elapsedSeconds) const;

  static std::string FrameText(const FrameOutcome& outcome);
  static std::string FrameJson(const FrameOutcome& outcome);

 private:
  void Emit(const std::string& line);

  std::FILE* FOut;
  bool FJson;
  bool FPerFrame;
  Totals FTotals;
};

}  // namespace kvarn::sim
