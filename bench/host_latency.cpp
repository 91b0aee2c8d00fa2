// One channel's frame cycle as a host sees it, the .so in this process next
// to the DLL of a Windows build under Wine (through its host program, on
// COM21): a receiver sends a Contact ID frame and waits for the ACK, a host
// polls without pause. Prints the median and p90 of DC4 -> event and
// DC4 -> ACK for each, and their ratio.
//
//   kvarn_host_latency [--frames N] [--wine WIN32_BUILD]
//
// Without --wine only the .so is measured. Under Wine every poll is a round
// trip through a pipe to the host program, which the ratio includes.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "line_support.h"
#include "posix/wine_host.h"

namespace kvarn::bench {
namespace {

constexpr int kWinePort = 21;

struct Cycle {
  std::vector<double> EventUs, AckUs;
};

// Sends `frames` frames; `get` is the host's tlf_GetMsg on the open channel.
Cycle Measure(int master, int frames, const std::function<int(TlfMsg&)>& get) {
  std::atomic<uint64_t> eventAt{0};
  std::atomic<bool> stop{false};
  std::thread host([&] {
    while (!stop) {
      TlfMsg m;
      if (get(m)) eventAt = NowNs();
    }
  });
  Cycle c;
  for (int i = 0; i < frames; ++i) {
    eventAt = 0;
    Exchange e;
    bool answered = Exchange1(master, Frame(static_cast<uint32_t>(i)), kAck, 5000, e);
    // The ACK can overtake the host's return from the call that took the
    // event, most of all through the pipe to Wine.
    for (int spins = 0; answered && !eventAt && spins < 5000; ++spins) std::this_thread::sleep_for(std::chrono::microseconds(200));
    if (!answered || !eventAt) {
      stop = true;
      host.join();
      throw std::runtime_error("frame " + std::to_string(i) + " not answered");
    }
    c.EventUs.push_back(static_cast<double>(eventAt - e.Sent) / 1000.0);
    c.AckUs.push_back(static_cast<double>(e.Answered - e.Sent) / 1000.0);
  }
  stop = true;
  host.join();
  return c;
}

Cycle MeasureSo(int frames) {
  Scratch dir(false);
  Pty pty;
  dir.Link(1, pty.SlavePath());
  TlfChannel channel = tlf_InitComm(1, 1);
  if (!channel) throw std::runtime_error("tlf_InitComm failed");
  Cycle c = Measure(pty.Master(), frames, [channel](TlfMsg& m) { return tlf_GetMsg(channel, &m); });
  tlf_CloseComm(channel);
  return c;
}

Cycle MeasureWine(int frames, const std::string& build) {
  Scratch dir(false);
  Pty pty;
  test::WineComPort port(kWinePort, pty.SlavePath());
  test::WineHost host(build);
  const int id = host.Open(kWinePort, 1);
  if (!id) throw std::runtime_error("tlf_InitComm failed under Wine");
  Cycle c = Measure(pty.Master(), frames, [&host, id](TlfMsg& m) { return host.GetMsg(id, m); });
  host.Close(id);
  return c;
}

// `soAckMedian`: the .so's DC4 -> ACK median, to compare with; 0 for none.
double Print(const char* name, Cycle& c, double soAckMedian) {
  const double a50 = Percentile(c.AckUs, 50);
  std::printf("%-14s DC4 -> event median %8.1f us  p90 %8.1f us   DC4 -> ACK median %8.1f us  p90 %8.1f us", name,
              Percentile(c.EventUs, 50), Percentile(c.EventUs, 90), a50, Percentile(c.AckUs, 90));
  if (soAckMedian > 0) std::printf("   ACK median %.2fx the .so's", a50 / soAckMedian);
  std::printf("\n");
  std::fflush(stdout);
  return a50;
}

}  // namespace
}  // namespace kvarn::bench

int main(int argc, char** argv) {
  int frames = 200;
  std::string wine;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--frames") && i + 1 < argc) {
      frames = std::atoi(argv[++i]);
    } else if (!std::strcmp(argv[i], "--wine") && i + 1 < argc) {
      wine = std::filesystem::absolute(argv[++i]).string();
    } else {
      std::fprintf(stderr, "usage: kvarn_host_latency [--frames N] [--wine WIN32_BUILD]\n");
      return 2;
    }
  }
  try {
    using namespace kvarn::bench;
    Cycle so = MeasureSo(frames);
    const double soAck = Print(".so", so, 0);
    if (!wine.empty()) {
      Cycle dll = MeasureWine(frames, wine);
      Print("DLL under Wine", dll, soAck);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kvarn_host_latency: %s\n", e.what());
    return 1;
  }
  return 0;
}
