// The soak run: many channels over pseudo-terminals at once, each with a
// simulated receiver (stop-and-wait: the next frame only after an ACK or
// after giving up, with up to three resends of an event frame) and a polling
// host that now and then stalls past the pickup limit. At the end every
// acknowledged frame's events must have reached the host exactly once, in
// order, on their own channel, with their own line and account; no event of
// an unacknowledged frame may have reached it; every log line must be whole;
// memory and descriptors must be flat.
//
//   kvarn_soak [--seconds N] [--channels C] [--pickup-ms MS] [--exports]
//              [--wine WIN32_BUILD] [--stall-every K] [--late-every K]
//              [--seed S] [--keep]
//
// By default the channels are built inside the library with a pickup limit
// of --pickup-ms (1000), so stalls can be frequent; --exports opens them
// through tlf_InitComm, tlf_GetMsg and tlf_CloseComm with the real 7000 ms.
// --wine runs those calls in the DLL of a Windows build under Wine instead,
// through its host program, on COM ports of the Wine prefix linked to the
// ptys (COM21 on); the memory and descriptor figures are then the Wine
// process's, the heap figures still this program's.
// With --late-every K the receivers wait only 0.55 of the pickup limit for
// an ACK, so they resend while the host is slow, and a host takes about one
// in K events after the receiver's time-out but within the limit; its stalls
// then stay within the receiver's whole resend window.
// Prints one line of key=value figures and exits non-zero on any fault.
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "host/comm_thread.h"
#include "kvarn_rcvr.h"
#include "platform/clock.h"
#include "platform/serial_port.h"
#include "posix/wine_host.h"
#include "soak_frames.h"
#include "soak_ledger.h"
#include "soak_log.h"

namespace kvarn::soak {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr char kDc4 = 0x14;
constexpr char kAck = 0x06;
constexpr uint32_t kExportPickupMs = 7000;
// How long a receiver waits for an ACK beyond the pickup limit before it
// gives a frame up; far longer than the worker needs to answer once the host
// has taken the event.
constexpr uint32_t kAckMarginMs = 1500;
// A frame that the library rejects is never answered; no point waiting long.
constexpr uint32_t kNoAnswerMs = 300;
constexpr int kResends = 3;
// Wine ties the low COM ports to the machine's own serial devices.
constexpr int kWinePortBase = 20;

struct Options {
  int Seconds = 60;
  int Channels = 16;
  uint32_t PickupMs = 1000;
  bool Exports = false;
  std::string Wine;  // a Win32 build directory: the DLL under Wine
  uint32_t StallEvery = 400;  // a host stalls after about one in this many events
  uint32_t LateEvery = 0;     // a host takes late after about one in this many; 0: never
  uint32_t Seed = 1;
  bool Keep = false;
};

Options ParseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> long {
      if (i + 1 >= argc) throw std::invalid_argument(a + " needs a value");
      return std::stol(argv[++i]);
    };
    if (a == "--seconds") o.Seconds = static_cast<int>(value());
    else if (a == "--channels") o.Channels = static_cast<int>(value());
    else if (a == "--pickup-ms") o.PickupMs = static_cast<uint32_t>(value());
    else if (a == "--stall-every") o.StallEvery = static_cast<uint32_t>(value());
    else if (a == "--late-every") o.LateEvery = static_cast<uint32_t>(value());
    else if (a == "--seed") o.Seed = static_cast<uint32_t>(value());
    else if (a == "--exports") o.Exports = true;
    else if (a == "--wine" && i + 1 < argc) o.Wine = fs::absolute(argv[++i]).string();
    else if (a == "--keep") o.Keep = true;
    else throw std::invalid_argument("unknown option " + a);
  }
  // Receiver numbers go into frames as two digits.
  if (o.Channels < 1 || o.Channels > 98) throw std::invalid_argument("--channels must be 1 to 98");
  if (o.Exports || !o.Wine.empty()) o.PickupMs = kExportPickupMs;
  return o;
}

// How long a receiver waits for the ACK of one transmission.
uint32_t AckTimeoutMs(const Options& o) {
  return o.LateEvery ? o.PickupMs * 55 / 100 : o.PickupMs + kAckMarginMs;
}

// How long a host looks away after a take: past the pickup limit (a stall),
// or after the receiver's time-out but within the limit (late), or not.
uint32_t LookAwayMs(const Options& o, std::mt19937& random, std::atomic<uint64_t>& stalls,
                    std::atomic<uint64_t>& lates) {
  const uint32_t pickup = o.PickupMs;
  auto within = [&random](uint32_t from, uint32_t to) { return from + static_cast<uint32_t>(random() % (to - from)); };
  if (random() % o.StallEvery == 0) {
    ++stalls;
    // With resending receivers, within their whole window: four tries.
    return o.LateEvery ? within(pickup + 100, 4 * AckTimeoutMs(o) - pickup / 5) : within(pickup + 200, pickup + 1000);
  }
  if (o.LateEvery && random() % o.LateEvery == 0) {
    ++lates;
    return within(AckTimeoutMs(o) + 50, pickup - 50);
  }
  return 0;
}

// The process whose descriptors and memory are measured: this one, or the
// host under Wine that holds the DLL.
std::string gMeasured = "/proc/self";

size_t CountFds() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(gMeasured + "/fd")) ++n;
  return n;
}

// Wine opens and closes descriptors of its own for a while after a start
// and after a close; the count is taken once it holds for 300 ms (or 3 s
// have passed).
size_t OpenFds() {
  size_t n = CountFds();
  for (int same = 0, tries = 0; same < 3 && tries < 30; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const size_t now = CountFds();
    same = now == n ? same + 1 : 0;
    n = now;
  }
  return n;
}

long ResidentKb() {
  long pages = 0, resident = 0;
  std::ifstream(gMeasured + "/statm") >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// The kernel's high-water mark of the resident size. It is brought up to
// date only now and then, so the run also keeps its own from samples.
long HighWaterKb() {
  std::ifstream status(gMeasured + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
  }
  return 0;
}

// Heap bytes in use, all arenas and mapped blocks: a leak or a list that
// keeps growing shows here long before it shows in the resident size.
long HeapKb() {
  const struct mallinfo2 m = mallinfo2();
  return static_cast<long>((m.uordblks + m.hblkhd) / 1024);
}

// One pseudo-terminal: the receiver holds the master, the library opens the
// slave through the link "Com<port>". The slave is kept open here as well.
struct Pty {
  int Master = -1;
  int Slave = -1;
  std::string Path;

  explicit Pty(int port) {
    Master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (Master < 0 || grantpt(Master) != 0 || unlockpt(Master) != 0) throw std::runtime_error("no pty");
    const std::string path = Path = ptsname(Master);
    Slave = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (Slave < 0) throw std::runtime_error("no pty slave");
    termios t{};
    tcgetattr(Slave, &t);
    cfmakeraw(&t);  // no echo before the library sets the line up
    tcsetattr(Slave, TCSANOW, &t);
    fs::create_symlink(path, "Com" + std::to_string(port));
  }
  ~Pty() {
    close(Master);
    close(Slave);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;
};

// An open channel as the host sees it.
class HostChannel {
 public:
  virtual ~HostChannel() = default;
  virtual int GetMsg(TlfMsg& m) = 0;
};

class InternalChannel final : public HostChannel {
 public:
  explicit InternalChannel(std::unique_ptr<TCommThread> c) : FChannel(std::move(c)) {}
  int GetMsg(TlfMsg& m) override { return FChannel->GetMsg(m); }

 private:
  std::unique_ptr<TCommThread> FChannel;
};

class ExportedChannel final : public HostChannel {
 public:
  explicit ExportedChannel(TlfChannel c) : FChannel(c) {}
  ~ExportedChannel() override { tlf_CloseComm(FChannel); }
  int GetMsg(TlfMsg& m) override { return tlf_GetMsg(FChannel, &m); }

 private:
  TlfChannel FChannel;
};

class WineChannel final : public HostChannel {
 public:
  WineChannel(test::WineHost& host, int id) : FHost(host), FId(id) {}
  ~WineChannel() override { FHost.Close(FId); }
  int GetMsg(TlfMsg& m) override { return FHost.GetMsg(FId, m); }

 private:
  test::WineHost& FHost;
  int FId;
};

std::unique_ptr<HostChannel> OpenChannel(const Options& o, int port, test::WineHost* wine) {
  if (wine) {
    const int id = wine->Open(kWinePortBase + port, port);
    return id ? std::make_unique<WineChannel>(*wine, id) : nullptr;
  }
  if (o.Exports) {
    TlfChannel c = tlf_InitComm(port, port);
    return c ? std::make_unique<ExportedChannel>(c) : nullptr;
  }
  auto c = TCommThread::Open(platform::OpenSerialPort(port), port, ChannelTiming{2000, o.PickupMs});
  return c ? std::make_unique<InternalChannel>(std::move(c)) : nullptr;
}

struct Shared {
  const Options& Opt;
  LogChecker& Log;
  std::atomic<bool> StopSending{false};
  std::atomic<bool> Draining{false};
  std::atomic<uint64_t> LateAcks{0};
  std::atomic<uint64_t> StrayBytes{0};
  std::atomic<uint64_t> Stalls{0};
  std::atomic<uint64_t> Lates{0};
};

class Receiver {
 public:
  Receiver(Shared& s, int channel, int master, Ledger& ledger)
      : S(s), FChannel(channel), FMaster(master), FLedger(ledger), FSource(channel, s.Opt.Seed) {}

  void Run() {
    std::mt19937 pause(S.Opt.Seed + static_cast<uint32_t>(FChannel));
    while (!S.StopSending) {
      Transmit(FSource.Next());
      std::this_thread::sleep_for(std::chrono::microseconds(pause() % 3000));
    }
  }

 private:
  void Transmit(const Frame& f) {
    const bool answered = f.Kind != FrameKind::Malformed;
    for (int attempt = 0; attempt <= kResends; ++attempt) {
      DrainLate();
      FLedger.Sent(f, attempt > 0);
      if (f.Kind != FrameKind::Heartbeat) S.Log.Expect(FChannel, f.Text);
      Write(f.Text + kDc4);
      const bool acked = AwaitAck(answered ? AckTimeoutMs(S.Opt) : kNoAnswerMs);
      // A receiver that resends while the host is slow sees its frame to the
      // end: the library may hand a queued copy over after the run stops.
      const bool last = acked || f.Kind != FrameKind::Event || attempt == kResends ||
                        (S.StopSending && !S.Opt.LateEvery);
      FLedger.Resolved(acked, last);
      if (last) return;
    }
  }

  void Write(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = write(FMaster, bytes.data() + done, bytes.size() - done);
      if (n <= 0) throw std::runtime_error("pty write failed");
      done += static_cast<size_t>(n);
    }
  }

  // True when an ACK came within `ms`; other bytes are counted as stray.
  bool AwaitAck(uint32_t ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      pollfd p{FMaster, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0 || !(p.revents & POLLIN)) continue;
      char c;
      if (read(FMaster, &c, 1) != 1) continue;
      if (c == kAck) return true;
      ++S.StrayBytes;
    }
  }

  // Anything arriving between two frames answers nothing that is open.
  void DrainLate() {
    pollfd p{FMaster, POLLIN, 0};
    char buf[64];
    while (poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) {
      const ssize_t n = read(FMaster, buf, sizeof buf);
      if (n <= 0) return;
      S.LateAcks += static_cast<uint64_t>(n);
    }
  }

  Shared& S;
  int FChannel;
  int FMaster;
  Ledger& FLedger;
  FrameSource FSource;
};

// Polls one channel like a host's timer loop; after some events it looks
// away, for longer than the pickup limit or (--late-every) for less.
void RunHost(Shared& s, HostChannel& channel, Ledger& ledger, uint32_t seed) {
  std::mt19937 random(seed);
  auto idleSince = Clock::now();
  for (;;) {
    TlfMsg m;
    std::memset(&m, kUnwrittenByte, sizeof m);
    if (channel.GetMsg(m)) {
      ledger.Delivered(m);
      idleSince = Clock::now();
      // Only after an event of the ready path: looking away after each block
      // too would add up to more than any one delay.
      if (!s.Draining && m.RecNo != kUnwritten) {
        const uint32_t away = LookAwayMs(s.Opt, random, s.Stalls, s.Lates);
        if (away) std::this_thread::sleep_for(std::chrono::milliseconds(away));
      }
      continue;
    }
    if (s.Draining && Clock::now() - idleSince > std::chrono::milliseconds(300)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

struct Figures {
  Counts C;
  long PeakKb = 0, MidKb = 0, EndKb = 0, HeapMidKb = 0, HeapEndKb = 0;
  size_t FdsStart = 0, FdsEnd = 0;
  double Seconds = 0;
  uint64_t LateAcks = 0, StrayBytes = 0, Stalls = 0, Lates = 0;
  uint64_t LogLines = 0, LogBad = 0, LogMissing = 0;
};

void WriteRnIni(int channels) {
  std::ofstream ini("Rn.ini", std::ios::binary);
  // Every other receiver has a section; the rest take the defaults.
  for (int r = 1; r <= channels; r += 2) {
    ini << "[RecNr" << r << "]\r\nBaud=9600\r\nDataBit=8\r\nParity=0\r\nStopBit=0\r\nFlowCtrl=0\r\n";
  }
}

// Sends for the given time while checking the log, then lets the hosts drain.
void RunFor(const Options& o, Shared& s, LogChecker& log, Figures& fig, std::vector<std::thread>& receivers,
            std::vector<std::thread>& hosts) {
  const auto start = Clock::now();
  const auto end = start + std::chrono::seconds(o.Seconds);
  auto nextReport = start + std::chrono::seconds(60);
  while (Clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    log.Poll();
    fig.PeakKb = std::max(fig.PeakKb, ResidentKb());
    if (fig.MidKb == 0 && Clock::now() - start >= (end - start) / 4) {
      fig.MidKb = ResidentKb();
      fig.HeapMidKb = HeapKb();
    }
    if (Clock::now() >= nextReport) {
      nextReport += std::chrono::seconds(60);
      const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count();
      std::fprintf(stderr, "soak: %lld s, log lines %llu, rss %ld kB, heap %ld kB\n", static_cast<long long>(elapsed),
                   static_cast<unsigned long long>(log.Lines()), ResidentKb(), HeapKb());
    }
  }
  // Measured with every thread still at work, as the quarter-way figures were.
  fig.EndKb = ResidentKb();
  fig.HeapEndKb = HeapKb();
  s.StopSending = true;
  for (auto& t : receivers) t.join();
  s.Draining = true;
  for (auto& t : hosts) t.join();
  fig.Seconds = std::chrono::duration<double>(Clock::now() - start).count();
}

Figures Run(const Options& o) {
  WriteRnIni(o.Channels);
  fs::create_directory("Tlflog");
  std::vector<std::unique_ptr<Pty>> ptys;
  std::vector<std::unique_ptr<test::WineComPort>> winePorts;
  std::unique_ptr<test::WineHost> wine;
  for (int c = 0; c < o.Channels; ++c) {
    ptys.push_back(std::make_unique<Pty>(c + 1));
    if (!o.Wine.empty())
      winePorts.push_back(std::make_unique<test::WineComPort>(kWinePortBase + c + 1, ptys.back()->Path));
  }
  if (!o.Wine.empty()) {
    wine = std::make_unique<test::WineHost>(o.Wine);
    gMeasured = "/proc/" + std::to_string(wine->Pid());
  }
  Figures fig;
  fig.FdsStart = OpenFds();
  LogChecker log(o.Channels);
  Shared s{o, log};
  std::vector<Ledger> ledgers(static_cast<size_t>(o.Channels));
  {
    std::vector<std::unique_ptr<HostChannel>> channels;
    for (int c = 0; c < o.Channels; ++c) {
      channels.push_back(OpenChannel(o, c + 1, wine.get()));
      if (!channels.back()) throw std::runtime_error("cannot open channel " + std::to_string(c + 1));
    }
    std::vector<std::unique_ptr<Receiver>> sims;
    std::vector<std::thread> receivers, hosts;
    for (size_t c = 0; c < channels.size(); ++c) {
      sims.push_back(std::make_unique<Receiver>(s, static_cast<int>(c), ptys[c]->Master, ledgers[c]));
      receivers.emplace_back([r = sims.back().get()] { r->Run(); });
      hosts.emplace_back(RunHost, std::ref(s), std::ref(*channels[c]), std::ref(ledgers[c]), o.Seed + 7919u * c);
    }
    RunFor(o, s, log, fig, receivers, hosts);
  }  // the channels close here
  fig.FdsEnd = OpenFds();
  fig.PeakKb = std::max(fig.PeakKb, HighWaterKb());
  wine.reset();
  for (Ledger& l : ledgers) fig.C += l.Finish();
  log.Finish();
  fig.LogLines = log.Lines();
  fig.LogBad = log.Bad();
  fig.LogMissing = log.Missing();
  fig.LateAcks = s.LateAcks;
  fig.StrayBytes = s.StrayBytes;
  fig.Stalls = s.Stalls;
  fig.Lates = s.Lates;
  return fig;
}

// Memory is flat when, at the end, the heap in use is within 1 MB and the
// resident size within a few MB of what they were a quarter into the run
// (threads, arenas and buffers are all there by then). Too short a run says
// nothing about it.
bool MemoryFlat(const Options& o, const Figures& f) {
  const long allowance = std::max<long>(8 * 1024, f.MidKb / 10);
  return o.Seconds < 30 || (f.EndKb <= f.MidKb + allowance && f.HeapEndKb <= f.HeapMidKb + 1024);
}

bool Clean(const Options& o, const Figures& f) {
  const Counts& c = f.C;
  const uint64_t faults = c.Lost + c.Duplicated + c.Misattributed + c.Misordered + c.UnackedDelivered +
                          c.WrongAcks + c.Unanswered + f.LateAcks + f.StrayBytes + f.LogBad + f.LogMissing;
  return faults == 0 && c.Events > 0 && f.FdsEnd == f.FdsStart && MemoryFlat(o, f);
}

void Report(const Options& o, const Figures& f) {
  const Counts& c = f.C;
  auto u = [](uint64_t v) { return static_cast<unsigned long long>(v); };
  std::printf(
      "channels=%d frames=%llu acked=%llu events=%llu delivered=%llu lost=%llu duplicated=%llu "
      "misattributed=%llu peak_rss_kb=%ld fds_start=%zu fds_end=%zu seconds=%.0f "
      "mode=%s pickup_ms=%u ack_timeout_ms=%u stalls=%llu late_takes=%llu withdrawn=%llu misordered=%llu unacked_delivered=%llu "
      "wrong_acks=%llu unanswered=%llu late_acks=%llu stray_bytes=%llu log_lines=%llu log_bad=%llu "
      "log_missing=%llu rss_mid_kb=%ld rss_end_kb=%ld heap_mid_kb=%ld heap_end_kb=%ld\n",
      o.Channels, u(c.Frames), u(c.Acked), u(c.Events), u(c.Delivered), u(c.Lost), u(c.Duplicated),
      u(c.Misattributed), f.PeakKb, f.FdsStart, f.FdsEnd, f.Seconds, !o.Wine.empty() ? "wine" : o.Exports ? "exports" : "internal",
      o.PickupMs, AckTimeoutMs(o), u(f.Stalls), u(f.Lates), u(c.Withdrawn), u(c.Misordered), u(c.UnackedDelivered), u(c.WrongAcks),
      u(c.Unanswered), u(f.LateAcks), u(f.StrayBytes), u(f.LogLines), u(f.LogBad), u(f.LogMissing), f.MidKb,
      f.EndKb, f.HeapMidKb, f.HeapEndKb);
}

}  // namespace
}  // namespace kvarn::soak

int main(int argc, char** argv) {
  using namespace kvarn::soak;
  Options o;
  try {
    o = ParseOptions(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kvarn_soak: %s\n", e.what());
    return 2;
  }
  const fs::path home = fs::current_path();
  std::string dir = (fs::temp_directory_path() / "kvarn_soak_XXXXXX").string();
  if (!mkdtemp(dir.data())) return 2;
  fs::current_path(dir);
  Figures f;
  try {
    f = Run(o);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kvarn_soak: %s (files in %s)\n", e.what(), dir.c_str());
    return 2;
  }
  fs::current_path(home);
  const bool clean = Clean(o, f);
  if (clean && !o.Keep) {
    fs::remove_all(dir);
  } else {
    std::fprintf(stderr, "kvarn_soak: log and settings kept in %s\n", dir.c_str());
  }
  Report(o, f);
  return clean ? 0 : 1;
}
