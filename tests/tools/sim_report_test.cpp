// The simulator's report: counting outcomes and the latency percentiles.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/report.h"

namespace kvarn::sim {
namespace {

TEST(Percentiles, NearestRank) {
  std::vector<double> v;
  for (int i = 100; i >= 1; --i) v.push_back(i);
  Percentiles p = ComputePercentiles(v);
  EXPECT_EQ(p.count, 100u);
  EXPECT_EQ(p.p50, 50);
  EXPECT_EQ(p.p90, 90);
  EXPECT_EQ(p.p99, 99);
  EXPECT_EQ(p.max, 100);
  Percentiles one = ComputePercentiles({7.5});
  EXPECT_EQ(one.p50, 7.5);
  EXPECT_EQ(one.p99, 7.5);
  EXPECT_EQ(ComputePercentiles({}).count, 0u);
}

FrameOutcome Outcome(bool acked, int tries, bool heartbeat = false, double ackMs = 1.0) {
  FrameOutcome o;
  o.frame = heartbeat ? "1010           @    " : "5011 181234E13001001";
  o.heartbeat = heartbeat;
  o.acked = acked;
  o.tries = tries;
  o.ackMs = ackMs;
  return o;
}

TEST(Report, CountsOutcomesApartFromHeartbeats) {
  std::FILE* sink = std::tmpfile();
  Report r(sink, false, true);
  r.Add(Outcome(true, 1, false, 2.0));
  r.Add(Outcome(true, 3, false, 4.0));
  r.Add(Outcome(false, 4));
  r.Add(Outcome(true, 1, true));
  FrameOutcome neverSent = Outcome(false, 0);
  neverSent.stopped = true;
  r.Add(neverSent);  // a stop while waiting for the host: not a frame sent
  const Totals& t = r.Counts();
  EXPECT_EQ(t.frames, 3u);
  EXPECT_EQ(t.acked, 2u);
  EXPECT_EQ(t.resentFrames, 2u);
  EXPECT_EQ(t.resends, 5u);
  EXPECT_EQ(t.givenUp, 1u);
  EXPECT_EQ(t.heartbeats, 1u);
  EXPECT_EQ(t.heartbeatsAcked, 1u);
  EXPECT_EQ(t.ackMs, (std::vector<double>{2.0, 4.0}));
  std::string text = r.SummaryText(2.0);
  EXPECT_NE(text.find("summary: 3 frames sent, 2 acknowledged, 2 resent (5 resends), 1 given up"), std::string::npos)
      << text;
  EXPECT_NE(text.find("p50 2.0 ms"), std::string::npos) << text;
  std::string json = r.SummaryJson(2.0);
  EXPECT_NE(json.find("\"frames\":3,\"acknowledged\":2,\"resent\":2,\"resends\":5,\"given_up\":1"), std::string::npos)
      << json;
  EXPECT_NE(json.find("\"max\":4.000"), std::string::npos) << json;
  std::fclose(sink);
}

TEST(Report, FrameLinesShowWhatHappened) {
  FrameOutcome acked = Outcome(true, 2, false, 3.25);
  acked.seq = 4;
  EXPECT_NE(Report::FrameText(acked).find("acknowledged in 3.2 ms, 1 resend"), std::string::npos);
  EXPECT_NE(Report::FrameText(Outcome(false, 4)).find("given up after 4 tries"), std::string::npos);
  FrameOutcome odd = Outcome(false, 1);
  odd.frame = std::string("A\x14\"B", 4);
  EXPECT_NE(Report::FrameText(odd).find("A\\x14\"B"), std::string::npos);
  std::string json = Report::FrameJson(odd);
  EXPECT_NE(json.find("\"frame\":\"A\\u0014\\\"B\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"outcome\":\"given_up\",\"ack_ms\":null"), std::string::npos) << json;
}

TEST(Report, NoAckedFrameMeansNoPercentiles) {
  std::FILE* sink = std::tmpfile();
  Report r(sink, true, false);
  r.Add(Outcome(false, 2));
  EXPECT_NE(r.SummaryText(1.0).find("none acknowledged"), std::string::npos);
  EXPECT_NE(r.SummaryJson(1.0).find("\"p50\":null"), std::string::npos);
  std::fclose(sink);
}

}  // namespace
}  // namespace kvarn::sim
