// Pieces shared by the line benchmarks: pseudo-terminal pairs standing in for
// serial lines, the receiver's side of a stop-and-wait exchange, a polling
// host, and the results that go out as JSON.
#pragma once

#include <sched.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "kvarn_rcvr.h"

namespace kvarn::bench {

// CLOCK_MONOTONIC in nanoseconds: one clock for every thread of the run.
uint64_t NowNs();

// A pty pair. The bench keeps the master (the receiver's end); the slave is
// what the library opens through a "ComN" link.
class Pty {
 public:
  Pty();
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;
  int Master() const { return FMaster; }
  const std::string& SlavePath() const { return FSlavePath; }
  // Opens the slave as the library does: raw, non-blocking.
  int OpenSlaveRaw() const;

 private:
  int FMaster = -1;
  std::string FSlavePath;
};

// A fresh directory as the current directory: "Rn.ini" for receiver 1 and,
// while the log is on, the traffic log directory "Tlflog".
class Scratch {
 public:
  explicit Scratch(bool log);
  ~Scratch();
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  void Link(int port, const std::string& target) const;
  void SetLog(bool on) const;
  size_t LogLines() const;  // lines in every log file so far

 private:
  std::filesystem::path FSaved;
  std::filesystem::path FDir;
};

// Writes `bytes` whole to a descriptor that may be non-blocking.
bool WriteAll(int fd, std::string_view bytes);
// Waits up to `ms` for bytes on `fd` and reads what is there.
std::string ReadSome(int fd, int ms);

// A Contact ID frame with DC4 whose account is `seq` (mod 0x10000), so the
// host can tell that it got the frames in order and whole.
std::string Frame(uint32_t seq);
constexpr char kAck = 0x06;

// One stop-and-wait exchange from the receiver's side: send `bytes`, wait for
// `reply` (one byte). False when it did not come within `ms`.
struct Exchange {
  uint64_t Sent = 0;
  uint64_t Answered = 0;
};
bool Exchange1(int master, std::string_view bytes, char reply, int ms, Exchange& out);

// The host: one thread that polls tlf_GetMsg on every channel in turn without
// pause. For each event it notes when the call that took it began (the take)
// and when it returned with the event (the event is the host's). Accounts
// must come in sequence.
class PollingHost {
 public:
  // `inOrder`: the frames carry the account sequence of Frame().
  explicit PollingHost(std::vector<TlfChannel> channels, bool inOrder = true);
  ~PollingHost();
  void Stop();
  const std::vector<uint64_t>& Taken(size_t channel) const { return FTaken[channel]; }
  const std::vector<uint64_t>& Events(size_t channel) const { return FEvents[channel]; }
  size_t Misordered() const { return FMisordered; }

 private:
  void Run();
  std::vector<TlfChannel> FChannels;
  std::vector<std::vector<uint64_t>> FTaken;
  std::vector<std::vector<uint64_t>> FEvents;
  bool FInOrder;
  size_t FMisordered = 0;
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

// Polls nothing, as often as the polling host polls: the raw baselines run
// with the same competition for the processors.
class Spinner {
 public:
  Spinner();
  ~Spinner();

 private:
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

// Echoes every byte read on each slave back on it, one thread per slave as
// the library has one worker per channel. Closes the slaves when it ends.
class Echo {
 public:
  explicit Echo(const std::vector<int>& slaves);
  ~Echo();

 private:
  int FStopFd;
  std::vector<int> FSlaves;
  std::vector<std::thread> FThreads;
};

// Drives each master in stop-and-wait until `until`: frames answered by ACK
// (frames = true) or single bytes echoed (frames = false). Records per line
// when each was sent and answered; false when an answer did not come.
struct LineLog {
  std::vector<uint64_t> Sent;
  std::vector<uint64_t> Answered;
};
bool DriveLines(const std::vector<int>& masters, bool frames, uint64_t until, std::vector<LineLog>& out);

// Nearest-rank percentile (0-100) of `v`, which it sorts.
double Percentile(std::vector<double>& v, double p);

// Results and errors of the run, written as one JSON object.
class Results {
 public:
  void Add(const std::string& name, double value, const std::string& unit);
  void Error(const std::string& text);
  // A JSON object of another program, carried over whole.
  void Attach(const std::string& name, const std::string& json);
  bool Failed() const { return !FErrors.empty(); }
  std::string Json(const std::string& mode) const;

 private:
  struct Value {
    std::string Name;
    double Number;
    std::string Unit;
  };
  std::vector<Value> FValues;
  std::vector<std::string> FErrors;
  std::vector<std::pair<std::string, std::string>> FAttached;
};

// Keeps the calling thread, and the threads it starts meanwhile, on the
// processor it runs on now; restores the old affinity of the calling thread
// when it ends.
class OnOneProcessor {
 public:
  OnOneProcessor();
  ~OnOneProcessor();
  OnOneProcessor(const OnOneProcessor&) = delete;
  OnOneProcessor& operator=(const OnOneProcessor&) = delete;

 private:
  cpu_set_t FSaved;
};

// Counts the system calls one thread enters (the kernel's raw_syscalls
// tracepoint, through perf_event_open). Needs the right to trace: without it
// Available() is false and Count() 0.
class SyscallCounter {
 public:
  explicit SyscallCounter(int tid);
  ~SyscallCounter();
  SyscallCounter(const SyscallCounter&) = delete;
  SyscallCounter& operator=(const SyscallCounter&) = delete;
  bool Available() const { return FFd >= 0; }
  uint64_t Count() const;

 private:
  int FFd = -1;
};

// Median time of one call of `fn`, in microseconds, over `n` calls each
// timed alone.
template <typename Fn>
double MedianUs(int n, Fn&& fn) {
  std::vector<double> us;
  us.reserve(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    const uint64_t t0 = NowNs();
    fn();
    us.push_back(static_cast<double>(NowNs() - t0) / 1e3);
  }
  return Percentile(us, 50);
}

// Process CPU time (user + system) in nanoseconds.
uint64_t ProcessCpuNs();
// Resident set size in bytes.
uint64_t ResidentBytes();
// Thread ids of this process.
std::vector<int> Tasks();
// Voluntary context switches of one thread: each time it went to sleep.
uint64_t VoluntarySwitches(int tid);

}  // namespace kvarn::bench
