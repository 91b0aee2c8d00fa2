// kvarn_bench_line [--mode full|quick|smoke] [--only PHASE] [--sim PATH] [--json FILE]
// Runs the line benchmarks against the built library and writes the raw
// figures as JSON (to FILE, or standard output); bench/report.py turns them
// into the table. Exit status 1 when something went wrong (a frame lost, a
// channel not opened), never because a figure is slow.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>

#include "line_phases.h"

namespace {

using kvarn::bench::Sizes;

// The idle window is a multiple of the 2 s wait: each channel then wakes the
// same number of times within it, whatever its phase.
constexpr Sizes kFull{20000, 20000, 32, 5.0, 64, 20.0, 20000};
constexpr Sizes kQuick{4000, 4000, 32, 2.0, 64, 4.0, 4000};
constexpr Sizes kSmoke{30, 20, 4, 0.2, 4, 2.0, 30};

struct Phase {
  const char* Name;
  std::function<void(const Sizes&, kvarn::bench::Results&)> Run;
};

int Usage() {
  std::fprintf(stderr,
               "usage: kvarn_bench_line [--mode full|quick|smoke] [--only channel|sim|busy|idle] "
               "[--sim PATH] [--json FILE]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = "full", json, only, sim;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--mode") && i + 1 < argc)
      mode = argv[++i];
    else if (!std::strcmp(argv[i], "--only") && i + 1 < argc)
      only = argv[++i];
    else if (!std::strcmp(argv[i], "--sim") && i + 1 < argc)
      sim = argv[++i];
    else if (!std::strcmp(argv[i], "--json") && i + 1 < argc)
      json = argv[++i];
    else
      return Usage();
  }
  const Sizes* z = mode == "full" ? &kFull : mode == "quick" ? &kQuick : mode == "smoke" ? &kSmoke : nullptr;
  if (!z) return Usage();
  kvarn::bench::Results r;
  const Phase phases[] = {{"channel", kvarn::bench::MeasureChannel},
                          {"sim",
                           [&sim](const Sizes& s, kvarn::bench::Results& out) {
                             if (!sim.empty()) kvarn::bench::MeasureWithSimulator(s, sim, out);
                           }},
                          {"busy", kvarn::bench::MeasureBusy},
                          {"idle", kvarn::bench::MeasureIdle}};
  bool known = only.empty();
  try {
    for (const Phase& p : phases) {
      if (!only.empty() && only != p.Name) continue;
      known = true;
      std::fprintf(stderr, "line: %s\n", p.Name);
      p.Run(*z, r);
    }
  } catch (const std::exception& e) {
    r.Error(e.what());
  }
  if (!known) return Usage();
  const std::string out = r.Json(mode);
  if (json.empty()) {
    std::cout << out;
  } else {
    std::ofstream f(json);
    f << out;
    if (!f) return 1;
  }
  return r.Failed() ? 1 : 0;
}
