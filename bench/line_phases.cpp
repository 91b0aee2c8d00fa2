#include "line_phases.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

namespace kvarn::bench {
namespace {

constexpr int kAnswerMs = 2000;

double Us(uint64_t ns) { return static_cast<double>(ns) / 1e3; }
uint64_t Ns(double s) { return static_cast<uint64_t>(s * 1e9); }

// Channels on ports 1..n, receiver 1; empty (with an error) if one fails.
std::vector<TlfChannel> OpenChannels(size_t n, Results& r, const std::string& phase) {
  std::vector<TlfChannel> channels;
  for (size_t i = 1; i <= n; ++i) {
    TlfChannel c = tlf_InitComm(static_cast<int>(i), 1);
    if (!c) {
      r.Error(phase + ": cannot open channel " + std::to_string(i));
      for (TlfChannel o : channels) tlf_CloseComm(o);
      return {};
    }
    channels.push_back(c);
  }
  return channels;
}

void CloseChannels(const std::vector<TlfChannel>& channels) {
  for (TlfChannel c : channels) tlf_CloseComm(c);
}

std::vector<std::unique_ptr<Pty>> MakeLines(size_t n, const Scratch& dir) {
  std::vector<std::unique_ptr<Pty>> lines;
  for (size_t i = 1; i <= n; ++i) {
    lines.push_back(std::make_unique<Pty>());
    dir.Link(static_cast<int>(i), lines.back()->SlavePath());
  }
  return lines;
}

std::vector<int> Masters(const std::vector<std::unique_ptr<Pty>>& lines) {
  std::vector<int> fds;
  for (const auto& l : lines) fds.push_back(l->Master());
  return fds;
}

// Threads started since `before` was taken.
std::vector<int> NewTasks(const std::vector<int>& before) {
  std::vector<int> fresh;
  for (int t : Tasks())
    if (!std::binary_search(before.begin(), before.end(), t)) fresh.push_back(t);
  return fresh;
}

// Exchanges, time and latencies gathered over the slices of a run.
class Tally {
 public:
  explicit Tally(size_t lines) : FUs(lines) {}
  // Adds a slice: its exchanges, its time from first send to last answer and
  // each exchange's answer - send.
  void Add(const std::vector<LineLog>& logs) {
    uint64_t first = UINT64_MAX, last = 0;
    for (size_t i = 0; i < logs.size(); ++i) {
      const LineLog& l = logs[i];
      if (l.Answered.empty()) continue;
      first = std::min(first, l.Sent.front());
      last = std::max(last, l.Answered.back());
      FCount += l.Answered.size();
      for (size_t k = 0; k < l.Answered.size(); ++k) FUs[i].push_back(Us(l.Answered[k] - l.Sent[k]));
    }
    if (last > first) FNs += last - first;
  }
  void AddLatency(size_t line, double us) { FUs[line].push_back(us); }
  double Rate() const { return FNs ? static_cast<double>(FCount) * 1e9 / static_cast<double>(FNs) : 0; }
  // The worst line's p99.
  double WorstP99() {
    double worst = 0;
    for (auto& us : FUs)
      if (!us.empty()) worst = std::max(worst, Percentile(us, 99));
    return worst;
  }

 private:
  size_t FCount = 0;
  uint64_t FNs = 0;
  std::vector<std::vector<double>> FUs;
};

// Exchanges per second when they follow each other without pause, at the
// median time of one: a few exchanges stalled for milliseconds by other
// programs would rule a mean.
double PerSecond(std::vector<double> us) {
  const double median = Percentile(us, 50);
  return median > 0 ? 1e6 / median : 0;
}

// Runs are cut into slices of about half a second, the raw and the library's
// taking turns, so that both see the same machine when others load it.
int Rounds(double seconds) { return std::max(1, static_cast<int>(seconds / 0.5 + 0.5)); }

// The host saw exactly the frames that were answered, in order.
bool HostSawAll(const PollingHost& host, const std::vector<LineLog>& logs, Results& r, const std::string& phase) {
  bool ok = host.Misordered() == 0;
  for (size_t c = 0; c < logs.size(); ++c) ok = ok && host.Events(c).size() == logs[c].Answered.size();
  if (!ok) r.Error(phase + ": the host's events do not match the acknowledged frames");
  return ok;
}

// Raw stop-and-wait on the given lines, each slave echoed by its own thread,
// with a thread that takes the processor share of the polling host.
bool RawRun(const std::vector<std::unique_ptr<Pty>>& lines, double seconds, std::vector<LineLog>& logs) {
  std::vector<int> slaves;
  for (const auto& l : lines) slaves.push_back(l->OpenSlaveRaw());
  Echo echo(slaves);
  Spinner spin;
  return DriveLines(Masters(lines), false, NowNs() + Ns(seconds), logs);
}

// What each system call of the worker's frame cycle costs by itself, timed
// alone on the same kinds of objects, pinned as the exchanges were, right
// after them: no thread is woken, so this is the call without a wake-up.
void MeasureCallCosts(const Sizes& z, const Scratch& dir, Results& r) {
  const int n = z.CostCalls;
  Pty pty;
  const int slave = pty.OpenSlaveRaw(), master = pty.Master();
  const int event = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  char buf[256];
  uint64_t value = 1;
  auto drainMaster = [&] { while (ReadSome(master, 0).size() > 0) {} };
  pollfd p{slave, POLLIN, 0};
  r.Add("cost.poll_idle", MedianUs(n, [&] { poll(&p, 1, 0); }), "us");
  const std::string frame = Frame(0);
  double readUs = 0;
  {
    std::vector<double> us;
    for (int i = 0; i < n; ++i) {
      WriteAll(master, frame);
      poll(&p, 1, 1000);
      const uint64_t t0 = NowNs();
      [[maybe_unused]] ssize_t got = read(slave, buf, sizeof buf);
      us.push_back(static_cast<double>(NowNs() - t0) / 1e3);
    }
    readUs = Percentile(us, 50);
  }
  r.Add("cost.read_frame", readUs, "us");
  r.Add("cost.purge", MedianUs(n, [&] { tcflush(slave, TCIFLUSH); }), "us");
  dir.SetLog(true);
  const std::string line = "12:00:00 " + frame.substr(0, frame.size() - 1) + "\r\n";
  r.Add("cost.log_append", MedianUs(n, [&] {
          int fd = open("Tlflog/cost.tlg", O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
          WriteAll(fd, line);
          close(fd);
        }), "us");
  std::filesystem::remove("Tlflog/cost.tlg");
  dir.SetLog(false);
  r.Add("cost.log_missing", MedianUs(n, [&] {
          int fd = open("Tlflog/cost.tlg", O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
          if (fd >= 0) close(fd);
        }), "us");
  r.Add("cost.event_read_empty", MedianUs(n, [&] { [[maybe_unused]] ssize_t got = read(event, &value, 8); }), "us");
  const double setUs = MedianUs(n, [&] { [[maybe_unused]] ssize_t w = write(event, &value, 8); });
  [[maybe_unused]] ssize_t k = read(event, &value, 8);
  r.Add("cost.event_set", setUs, "us");
  pollfd e{event, POLLIN, 0};
  const double setWaitUs = MedianUs(n, [&] {
    k = write(event, &value, 8);
    poll(&e, 1, 0);
    k = read(event, &value, 8);
  });
  r.Add("cost.event_wait_set", setWaitUs - setUs, "us");
  int written = 0;
  r.Add("cost.ack_write", MedianUs(n, [&] {
          k = write(slave, "\x06", 1);
          if (++written % 64 == 0) drainMaster();
        }), "us");
  r.Add("cost.local_time", MedianUs(n, [] {
          timespec ts{};
          clock_gettime(CLOCK_REALTIME, &ts);
          std::tm tm{};
          localtime_r(&ts.tv_sec, &tm);
        }), "us");
  close(event);
  close(slave);
}

}  // namespace

void MeasureChannel(const Sizes& z, Results& r) {
  // All threads of the run, the library's worker included, share one
  // processor: raw and library exchanges then see the same placement, and no
  // wake-up crosses processors (which costs more here than the work timed).
  OnOneProcessor pinned;
  Scratch dir(true);
  Pty line, raw;
  dir.Link(1, line.SlavePath());
  const auto before = Tasks();
  TlfChannel ch = tlf_InitComm(1, 1);
  if (!ch) return r.Error("channel: cannot open the channel");
  const auto worker = NewTasks(before);
  Echo echo({raw.OpenSlaveRaw()});
  PollingHost host({ch});
  const uint64_t sleeps = worker.size() == 1 ? VoluntarySwitches(worker[0]) : 0;
  // The worker's system calls, read between exchanges (outside the timed
  // intervals) and summed per kind of frame.
  SyscallCounter calls(worker.size() == 1 ? worker[0] : -1);
  uint64_t callsOn = 0, callsOff = 0;
  auto counted = [&](uint64_t& sum, auto&& exchange) {
    const uint64_t at = calls.Count();
    const bool ok = exchange();
    sum += calls.Count() - at;
    return ok;
  };
  // Turn by turn: a raw round trip, a frame with the log on, one with it off.
  const size_t n = static_cast<size_t>(z.ChannelExchanges);
  std::vector<Exchange> raws(n), logOn(n), logOff(n);
  std::string failure;
  uint32_t seq = 0;
  for (size_t i = 0; i < n && failure.empty(); ++i) {
    if (!Exchange1(raw.Master(), "x", 'x', kAnswerMs, raws[i])) failure = "raw byte not echoed";
    dir.SetLog(true);
    if (!counted(callsOn, [&] { return Exchange1(line.Master(), Frame(seq++), kAck, kAnswerMs, logOn[i]); }))
      failure = "frame not acknowledged";
    dir.SetLog(false);
    if (!counted(callsOff, [&] { return Exchange1(line.Master(), Frame(seq++), kAck, kAnswerMs, logOff[i]); }))
      failure = "frame not acknowledged";
  }
  const uint64_t slept = worker.size() == 1 ? VoluntarySwitches(worker[0]) - sleeps : 0;
  host.Stop();
  tlf_CloseComm(ch);
  if (!failure.empty()) return r.Error("channel: " + failure);
  if (worker.size() != 1) return r.Error("channel: expected one worker thread");
  if (host.Misordered() || host.Events(0).size() != 2 * n)
    return r.Error("channel: the host's events do not match the acknowledged frames");
  if (dir.LogLines() != n) return r.Error("channel: log lines do not match the frames sent with the log on");
  // The first exchanges warm caches and fault pages in.
  std::vector<double> rtt, toEvent, toAck, cycle, cycleOff;
  for (size_t i = n / 10; i < n; ++i) {
    const uint64_t taken = host.Taken(0)[2 * i];
    rtt.push_back(Us(raws[i].Answered - raws[i].Sent));
    toEvent.push_back(Us(taken - logOn[i].Sent));
    toAck.push_back(Us(logOn[i].Answered - taken));
    cycle.push_back(Us(logOn[i].Answered - logOn[i].Sent));
    cycleOff.push_back(Us(logOff[i].Answered - logOff[i].Sent));
  }
  r.Add("throughput.raw_limit", PerSecond(rtt), "round trips/s");
  r.Add("throughput.log_on", PerSecond(cycle), "frames/s");
  r.Add("throughput.log_off", PerSecond(cycleOff), "frames/s");
  for (double p : {50.0, 99.0}) {
    const std::string q = p == 50 ? "p50" : "p99";
    r.Add("latency.raw_rtt." + q, Percentile(rtt, p), "us");
    r.Add("latency.dc4_to_event." + q, Percentile(toEvent, p), "us");
    r.Add("latency.take_to_ack." + q, Percentile(toAck, p), "us");
    r.Add("latency.dc4_to_ack." + q, Percentile(cycle, p), "us");
  }
  r.Add("latency.samples", static_cast<double>(rtt.size()), "frames");
  r.Add("latency.worker_sleeps", static_cast<double>(slept) / static_cast<double>(2 * n), "per frame");
  if (calls.Available()) {
    r.Add("cycle.syscalls_log_on", static_cast<double>(callsOn) / static_cast<double>(n), "per frame");
    r.Add("cycle.syscalls_log_off", static_cast<double>(callsOff) / static_cast<double>(n), "per frame");
  }
  MeasureCallCosts(z, dir, r);
}

namespace {

pid_t StartSimulator(const std::string& sim, int frames) {
  const std::string count = std::to_string(frames);
  const char* argv[] = {sim.c_str(), "--pty", "--link", "./Com1", "--count", count.c_str(), "--rate", "0",
                        "--heartbeat", "0", "--quiet", "--report", "sim.json", nullptr};
  posix_spawn_file_actions_t io;
  posix_spawn_file_actions_init(&io);
  posix_spawn_file_actions_addopen(&io, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&io, 2, "sim.err", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  if (posix_spawn(&pid, sim.c_str(), &io, nullptr, const_cast<char* const*>(argv), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&io);
  return pid;
}

// True when the simulator ended by itself, with status 0, within `seconds`.
bool AwaitExit(pid_t pid, double seconds) {
  const uint64_t until = NowNs() + Ns(seconds);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (NowNs() > until) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string LastLine(const char* file) {
  std::ifstream in(file);
  std::string line, last;
  while (std::getline(in, line))
    if (!line.empty()) last = line;
  return last;
}

TlfChannel OpenWhenLinked(double seconds) {
  const uint64_t until = NowNs() + Ns(seconds);
  for (;;) {
    if (TlfChannel c = tlf_InitComm(1, 1)) return c;
    if (NowNs() > until) return nullptr;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Median raw pty round trip of `n` exchanges with an echo thread, pinned as
// the caller is.
bool RawRoundTrips(size_t n, std::vector<double>& us) {
  Pty raw;
  Echo echo({raw.OpenSlaveRaw()});
  for (size_t i = 0; i < n; ++i) {
    Exchange x;
    if (!Exchange1(raw.Master(), "x", 'x', kAnswerMs, x)) return false;
    if (i >= n / 10) us.push_back(Us(x.Answered - x.Sent));
  }
  return true;
}

}  // namespace

// The simulator times its ACK from the return of its write(), which on the
// processor it shares with the worker can come after the worker has already
// run (and acknowledged): that clock misses part of the exchange. The rate
// comes from this side instead: in stop-and-wait the time between the host's
// takes of two frames in a row is one whole exchange, wherever in it the
// take falls. Its baseline is raw round trips just before and after the
// simulator's run, on the same processor.
void MeasureWithSimulator(const Sizes& z, const std::string& sim, Results& r) {
  OnOneProcessor pinned;  // the simulator inherits it: the same placement as the channel figures
  Scratch dir(true);
  std::vector<double> rtt;
  const size_t rawN = static_cast<size_t>(std::max(10, z.SimFrames / 2));
  if (!RawRoundTrips(rawN, rtt)) return r.Error("simulator: raw byte not echoed");
  const pid_t pid = StartSimulator(sim, z.SimFrames);
  if (pid < 0) return r.Error("simulator: cannot start " + sim);
  TlfChannel ch = OpenWhenLinked(5);
  if (!ch) {
    AwaitExit(pid, 0);
    return r.Error("simulator: its line never came up");
  }
  bool done;
  std::vector<uint64_t> events;
  {
    PollingHost host({ch}, false);
    done = AwaitExit(pid, 60 + z.SimFrames / 100.0);
    host.Stop();
    events = host.Events(0);
  }
  tlf_CloseComm(ch);
  if (!done) return r.Error("simulator: it failed or did not finish: " + LastLine("sim.err"));
  std::ifstream in("sim.json");
  std::string summary;
  std::getline(in, summary);
  if (summary.empty() || summary[0] != '{') return r.Error("simulator: no report");
  r.Attach("simulator", summary);
  if (!RawRoundTrips(rawN, rtt)) return r.Error("simulator: raw byte not echoed");
  std::vector<double> period;
  for (size_t i = std::max<size_t>(1, events.size() / 10); i < events.size(); ++i)
    period.push_back(Us(events[i] - events[i - 1]));
  if (period.empty()) return r.Error("simulator: the host took no frames");
  r.Add("sim.frames", PerSecond(period), "frames/s");
  r.Add("sim.raw_limit", PerSecond(rtt), "round trips/s");
}

void MeasureBusy(const Sizes& z, Results& r) {
  Scratch dir(true);
  const size_t n = static_cast<size_t>(z.BusyChannels);
  auto lines = MakeLines(n, dir);
  const int rounds = Rounds(z.BusyS);
  const double slice = z.BusyS / rounds;
  Tally raw(n), busy(n), toEvent(n);
  std::vector<LineLog> logs;
  for (int k = 0; k < rounds; ++k) {
    if (!RawRun(lines, slice, logs)) return r.Error("busy: raw byte not echoed");
    raw.Add(logs);
    auto channels = OpenChannels(n, r, "busy");
    if (channels.empty()) return;
    PollingHost host(channels);
    bool answered = DriveLines(Masters(lines), true, NowNs() + Ns(slice), logs);
    host.Stop();
    CloseChannels(channels);
    if (!answered) return r.Error("busy: a frame was not acknowledged");
    if (!HostSawAll(host, logs, r, "busy")) return;
    busy.Add(logs);
    for (size_t c = 0; c < n; ++c)
      for (size_t i = 0; i < logs[c].Sent.size(); ++i) toEvent.AddLatency(c, Us(host.Taken(c)[i] - logs[c].Sent[i]));
  }
  r.Add("busy.channels", static_cast<double>(n), "channels");
  r.Add("busy.raw_round_trips", raw.Rate(), "round trips/s");
  r.Add("busy.raw_worst_p99", raw.WorstP99(), "us");
  r.Add("busy.frames", busy.Rate(), "frames/s");
  r.Add("busy.worst_p99", busy.WorstP99(), "us");
  r.Add("busy.worst_p99_dc4_to_event", toEvent.WorstP99(), "us");
}

void MeasureIdle(const Sizes& z, Results& r) {
  Scratch dir(true);
  const size_t n = static_cast<size_t>(z.IdleChannels);
  auto lines = MakeLines(n, dir);
  const auto before = Tasks();
  const uint64_t rssBefore = ResidentBytes();
  auto channels = OpenChannels(n, r, "idle");
  if (channels.empty()) return;
  // Let every worker reach its first wait.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto workers = NewTasks(before);
  if (workers.size() != n) r.Error("idle: expected one worker thread per channel");
  std::vector<uint64_t> switches;
  for (int t : workers) switches.push_back(VoluntarySwitches(t));
  const uint64_t cpu0 = ProcessCpuNs(), t0 = NowNs();
  std::this_thread::sleep_for(std::chrono::nanoseconds(Ns(z.IdleS)));
  const uint64_t cpu1 = ProcessCpuNs(), t1 = NowNs();
  uint64_t wakes = 0, most = 0;
  for (size_t i = 0; i < workers.size(); ++i) {
    const uint64_t w = VoluntarySwitches(workers[i]) - switches[i];
    wakes += w;
    most = std::max(most, w);
  }
  const uint64_t rssAfter = ResidentBytes();
  CloseChannels(channels);
  const double perMinute = 60e9 / static_cast<double>(t1 - t0);
  const double count = static_cast<double>(workers.empty() ? 1 : workers.size());
  r.Add("idle.cpu_per_minute", static_cast<double>(cpu1 - cpu0) / 1e6 * perMinute, "ms/min");
  r.Add("idle.wakeups_per_channel", static_cast<double>(wakes) / count * perMinute, "1/min");
  r.Add("idle.wakeups_worst_channel", static_cast<double>(most) * perMinute, "1/min");
  const double rssDelta = static_cast<double>(rssAfter) - static_cast<double>(rssBefore);
  r.Add("idle.rss_per_channel", rssDelta / 1024.0 / static_cast<double>(n), "KiB");
  r.Add("idle.channels", static_cast<double>(n), "channels");
}

}  // namespace kvarn::bench
