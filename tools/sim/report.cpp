#include "sim/report.h"

#include <algorithm>
#include <cmath>

#include "common/json.h"
#include "sim/frames.h"

namespace kvarn::sim {
namespace {

using tools::JsonNumber;
using tools::JsonString;

std::string Fixed(double v, int decimals) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

std::string Plural(uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string Outcome(const FrameOutcome& o) {
  if (o.stopped) return "stopped before an answer";
  std::string resent = o.tries > 1 ? ", " + Plural(static_cast<uint64_t>(o.tries - 1), "resend", "resends") : "";
  if (o.acked) return "acknowledged in " + Fixed(o.ackMs, 1) + " ms" + resent;
  return "given up after " + Plural(static_cast<uint64_t>(o.tries), "try", "tries");
}

const char* OutcomeWord(const FrameOutcome& o) {
  return o.stopped ? "stopped" : o.acked ? "acknowledged" : "given_up";
}

}  // namespace

Percentiles ComputePercentiles(std::vector<double> values) {
  Percentiles p;
  p.count = values.size();
  if (values.empty()) return p;
  std::sort(values.begin(), values.end());
  auto rank = [&](double pct) {
    auto r = static_cast<size_t>(std::ceil(pct / 100.0 * static_cast<double>(values.size())));
    return values[std::clamp<size_t>(r, 1, values.size()) - 1];
  };
  p.p50 = rank(50);
  p.p90 = rank(90);
  p.p99 = rank(99);
  p.max = values.back();
  return p;
}

std::string Report::FrameText(const FrameOutcome& o) {
  std::string frame = "\"" + ShowFrame(o.frame) + "\"";
  if (frame.size() < 34) frame.resize(34, ' ');
  char head[48];
  std::snprintf(head, sizeof head, "#%-4llu %8.3fs  ", static_cast<unsigned long long>(o.seq), o.sentAt);
  return head + frame + " " + Outcome(o) + (o.heartbeat ? " (heartbeat)" : "");
}

std::string Report::FrameJson(const FrameOutcome& o) {
  std::string s = "{\"type\":\"frame\",\"seq\":" + std::to_string(o.seq) + ",\"frame\":" + JsonString(o.frame) +
                  ",\"heartbeat\":" + (o.heartbeat ? "true" : "false") + ",\"sent_at_s\":" + JsonNumber(o.sentAt) +
                  ",\"tries\":" + std::to_string(o.tries) + ",\"naks\":" + std::to_string(o.naks) +
                  ",\"outcome\":\"" + OutcomeWord(o) + "\"";
  s += ",\"ack_ms\":" + (o.acked ? JsonNumber(o.ackMs) : std::string("null"));
  return s + ",\"total_ms\":" + JsonNumber(o.totalMs) + ",\"stray_bytes\":" + std::to_string(o.strayBytes) + "}";
}

void Report::Add(const FrameOutcome& o) {
  if (o.tries == 0) return;  // stopped before it was ever sent
  FTotals.strayBytes += static_cast<uint64_t>(o.strayBytes);
  if (o.heartbeat) {
    ++FTotals.heartbeats;
    if (o.acked) ++FTotals.heartbeatsAcked;
  } else {
    ++FTotals.frames;
    FTotals.naks += static_cast<uint64_t>(o.naks);
    if (o.tries > 1) ++FTotals.resentFrames;
    FTotals.resends += static_cast<uint64_t>(o.tries - 1);
    if (o.acked) {
      ++FTotals.acked;
      FTotals.ackMs.push_back(o.ackMs);
    } else if (o.stopped) {
      ++FTotals.stopped;
    } else {
      ++FTotals.givenUp;
    }
  }
  if (FPerFrame) Emit(FJson ? FrameJson(o) : FrameText(o));
}

std::string Report::SummaryText(double elapsed) const {
  const Totals& t = FTotals;
  std::string s = "summary: " + Plural(t.frames, "frame", "frames") + " sent, " + std::to_string(t.acked) +
                  " acknowledged, " + std::to_string(t.resentFrames) + " resent (" +
                  Plural(t.resends, "resend", "resends") + "), " + std::to_string(t.givenUp) + " given up";
  if (t.naks) s += ", " + Plural(t.naks, "NAK", "NAKs");
  if (t.stopped) s += ", " + std::to_string(t.stopped) + " stopped";
  s += "; " + Plural(t.heartbeats, "heartbeat", "heartbeats") + ", " + std::to_string(t.heartbeatsAcked) +
       " acknowledged";
  if (t.strayBytes) s += "; " + Plural(t.strayBytes, "stray byte", "stray bytes");
  Percentiles p = ComputePercentiles(t.ackMs);
  s += "\nACK latency: ";
  if (p.count == 0) {
    s += "none acknowledged";
  } else {
    s += "p50 " + Fixed(p.p50, 1) + " ms, p90 " + Fixed(p.p90, 1) + " ms, p99 " + Fixed(p.p99, 1) + " ms, max " +
         Fixed(p.max, 1) + " ms (" + Plural(p.count, "frame", "frames") + ")";
  }
  double rate = elapsed > 0 ? static_cast<double>(t.frames) / elapsed : 0;
  return s + "\nelapsed " + Fixed(elapsed, 2) + " s, " + Fixed(rate, 1) + " frames/s";
}

std::string Report::SummaryJson(double elapsed) const {
  const Totals& t = FTotals;
  Percentiles p = ComputePercentiles(t.ackMs);
  auto num = [](uint64_t v) { return std::to_string(v); };
  auto pct = [&](double v) { return p.count ? JsonNumber(v) : std::string("null"); };
  double rate = elapsed > 0 ? static_cast<double>(t.frames) / elapsed : 0;
  return "{\"type\":\"summary\",\"frames\":" + num(t.frames) + ",\"acknowledged\":" + num(t.acked) +
         ",\"resent\":" + num(t.resentFrames) + ",\"resends\":" + num(t.resends) + ",\"given_up\":" +
         num(t.givenUp) + ",\"naks\":" + num(t.naks) + ",\"stopped\":" + num(t.stopped) +
         ",\"heartbeats\":" + num(t.heartbeats) + ",\"heartbeats_acknowledged\":" + num(t.heartbeatsAcked) +
         ",\"stray_bytes\":" + num(t.strayBytes) + ",\"ack_ms\":{\"count\":" + num(p.count) + ",\"p50\":" +
         pct(p.p50) + ",\"p90\":" + pct(p.p90) + ",\"p99\":" + pct(p.p99) + ",\"max\":" + pct(p.max) +
         "},\"elapsed_s\":" + JsonNumber(elapsed) + ",\"frames_per_s\":" + JsonNumber(rate) + "}";
}

void Report::PrintSummary(double elapsed) { Emit(FJson ? SummaryJson(elapsed) : SummaryText(elapsed)); }

void Report::Emit(const std::string& line) {
  std::fputs(line.c_str(), FOut);
  std::fputc('\n', FOut);
  std::fflush(FOut);
}

}  // namespace kvarn::sim
