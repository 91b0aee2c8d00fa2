// What decoding one frame costs, per frame form, next to merely copying the
// frame into the worker's buffer (the floor no decoder can go below).
// Each form carries its length as a counter, so the report can set the cost
// against the frame's own time on the line.
#include <benchmark/benchmark.h>

#include <string>
#include <string_view>

#include "decode/frame_decoder.h"
#include "platform/clock.h"

namespace kvarn {
namespace {

struct FrameForm {
  const char* Name;
  std::string Text;  // without the DC4
  DecodeResult Result;  // what DecodeFrame answers for it
};

std::string LongBracketed() {
  std::string text = "S0111[#1234|Nri12";
  for (int i = 1; text.size() + 6 < 248; ++i) text += "/BA" + std::to_string(10 + i % 90);
  return text + "]";
}

const FrameForm kForms[] = {
    {"receiver_0", "0123 181234E13001001", DecodeResult::Acknowledged},
    {"contact_id_5", "5011 181234E13001001", DecodeResult::Event},
    {"contact_id_5_time", "5011 abcde12:34:56 07/08", DecodeResult::Event},
    {"type_1", "1021 abc  12ABxE3456", DecodeResult::Event},
    {"type_1_time", "1021 12:34:56 07/08 xxxx", DecodeResult::Event},
    {"type_3", "3021 abc12 4  BA1234", DecodeResult::Event},
    {"bracketed_1_block", "S0111[#1234|NBA01]", DecodeResult::Event},
    {"bracketed_long", LongBracketed(), DecodeResult::Event},
    {"unknown_type", "2xyz", DecodeResult::Event},
};

// The worker's decoding state, as the reader loop sets it up.
struct Worker : DecodeState {
  Worker() {
    FrameNo = 1;
    SendAck = [] {};
    UtcNow = platform::UtcNow;
  }

  DecodeResult Decode(std::string_view text) {
    Frame.Assign(text);
    DecodeResult r = DecodeFrame(*this);
    // The host takes the further blocks between frames.
    Pending.Blocks.clear();
    return r;
  }
};

void SetCounters(benchmark::State& state, const FrameForm& form) {
  state.counters["frame_chars"] = static_cast<double>(form.Text.size());
  state.SetLabel(std::string(1, form.Text[0]));
}

void BM_Decode(benchmark::State& state, const FrameForm& form) {
  Worker w;
  if (w.Decode(form.Text) != form.Result) {
    state.SkipWithError("unexpected decode result");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(w.Decode(form.Text));
    benchmark::ClobberMemory();
  }
  SetCounters(state, form);
}

void BM_Copy(benchmark::State& state, const FrameForm& form) {
  FrameText frame;
  for (auto _ : state) {
    frame.Assign(form.Text);
    benchmark::DoNotOptimize(frame);
    benchmark::ClobberMemory();
  }
  SetCounters(state, form);
}

}  // namespace
}  // namespace kvarn

int main(int argc, char** argv) {
  for (const auto& form : kvarn::kForms) {
    benchmark::RegisterBenchmark((std::string("decode/") + form.Name).c_str(), kvarn::BM_Decode, form);
    benchmark::RegisterBenchmark((std::string("copy/") + form.Name).c_str(), kvarn::BM_Copy, form);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
