#include "line_support.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <stdlib.h>
#include <linux/perf_event.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kvarn::bench {

namespace fs = std::filesystem;

uint64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

Pty::Pty() {
  FMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (FMaster < 0 || grantpt(FMaster) != 0 || unlockpt(FMaster) != 0) throw std::runtime_error("no pty");
  FSlavePath = ptsname(FMaster);
}

Pty::~Pty() {
  if (FMaster >= 0) close(FMaster);
}

int Pty::OpenSlaveRaw() const {
  int fd = open(FSlavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + FSlavePath);
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &t);
  return fd;
}

Scratch::Scratch(bool log) : FSaved(fs::current_path()) {
  std::string tmpl = (fs::temp_directory_path() / "kvarn_bench_XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("no scratch directory");
  FDir = tmpl;
  fs::current_path(FDir);
  // A pty keeps 8 data bits whatever is asked; say so, and a line speed.
  std::ofstream(FDir / "Rn.ini", std::ios::binary) << "[RecNr1]\r\nBaud=115200\r\nDataBit=8\r\n";
  SetLog(log);
}

Scratch::~Scratch() {
  std::error_code ec;
  fs::current_path(FSaved, ec);
  fs::remove_all(FDir, ec);
}

void Scratch::Link(int port, const std::string& target) const {
  fs::create_symlink(target, FDir / ("Com" + std::to_string(port)));
}

// Off parks the directory under another name and on brings it back, so the
// lines written while it was on stay countable.
void Scratch::SetLog(bool on) const {
  const fs::path live = FDir / "Tlflog", parked = FDir / "Tlflog.off";
  if (on && fs::exists(parked))
    fs::rename(parked, live);
  else if (on)
    fs::create_directories(live);
  else if (fs::exists(live))
    fs::rename(live, parked);
}

size_t Scratch::LogLines() const {
  size_t lines = 0;
  for (const char* name : {"Tlflog", "Tlflog.off"}) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(FDir / name, ec)) {
      std::ifstream in(e.path(), std::ios::binary);
      lines += static_cast<size_t>(std::count(std::istreambuf_iterator<char>(in), {}, '\n'));
    }
  }
  return lines;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::string ReadSome(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  int r;
  do r = poll(&p, 1, ms);
  while (r < 0 && errno == EINTR);
  if (r <= 0 || !(p.revents & POLLIN)) return {};
  char buf[256];
  ssize_t n = read(fd, buf, sizeof buf);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string Frame(uint32_t seq) {
  char text[32];
  std::snprintf(text, sizeof text, "5011 18%04XE13001001\x14", seq & 0xFFFFu);
  return text;
}

bool Exchange1(int master, std::string_view bytes, char reply, int ms, Exchange& out) {
  out.Sent = NowNs();
  if (!WriteAll(master, bytes)) return false;
  pollfd p{master, POLLIN, 0};
  int r;
  do r = poll(&p, 1, ms);
  while (r < 0 && errno == EINTR);
  out.Answered = NowNs();
  if (r <= 0) return false;
  char got[8];
  return read(master, got, sizeof got) == 1 && got[0] == reply;
}

PollingHost::PollingHost(std::vector<TlfChannel> channels, bool inOrder)
    : FChannels(std::move(channels)), FTaken(FChannels.size()), FEvents(FChannels.size()), FInOrder(inOrder) {
  for (auto& e : FTaken) e.reserve(1 << 16);
  for (auto& e : FEvents) e.reserve(1 << 16);
  FThread = std::thread([this] { Run(); });
}

PollingHost::~PollingHost() { Stop(); }

void PollingHost::Stop() {
  FStop = true;
  if (FThread.joinable()) FThread.join();
}

void PollingHost::Run() {
  const size_t n = FChannels.size();
  while (!FStop.load(std::memory_order_relaxed)) {
    // Without pause, but polite: a worker woken on this processor runs at
    // once instead of waiting for the end of the host's time slice.
    sched_yield();
    for (size_t c = 0; c < n; ++c) {
      TlfMsg m;
      const uint64_t before = NowNs();
      if (!tlf_GetMsg(FChannels[c], &m)) continue;
      const uint64_t after = NowNs();
      auto& events = FEvents[c];
      if (FInOrder && static_cast<uint32_t>(m.Account) != (events.size() & 0xFFFFu)) ++FMisordered;
      FTaken[c].push_back(before);
      events.push_back(after);
    }
  }
}

Spinner::Spinner() {
  FThread = std::thread([this] {
    while (!FStop.load(std::memory_order_relaxed)) {
      sched_yield();
    }
  });
}

Spinner::~Spinner() {
  FStop = true;
  FThread.join();
}

Echo::Echo(const std::vector<int>& slaves) : FStopFd(eventfd(0, EFD_CLOEXEC)), FSlaves(slaves) {
  for (int fd : slaves) {
    FThreads.emplace_back([fd, stop = FStopFd] {
      for (;;) {
        pollfd p[2] = {{fd, POLLIN, 0}, {stop, POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR) return;
        if (p[1].revents) return;
        char buf[64];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) WriteAll(fd, std::string_view(buf, static_cast<size_t>(n)));
      }
    });
  }
}

Echo::~Echo() {
  uint64_t one = 1;
  [[maybe_unused]] ssize_t r = write(FStopFd, &one, sizeof one);
  for (auto& t : FThreads) t.join();
  for (int fd : FSlaves) close(fd);
  close(FStopFd);
}

namespace {

struct LineState {
  uint32_t Seq = 0;
  bool Waiting = false;
  uint64_t SentAt = 0;
};

bool SendNext(int master, bool frames, LineState& s, LineLog& log) {
  s.SentAt = NowNs();
  s.Waiting = true;
  log.Sent.push_back(s.SentAt);
  return WriteAll(master, frames ? Frame(s.Seq++) : std::string("x"));
}

}  // namespace

bool DriveLines(const std::vector<int>& masters, bool frames, uint64_t until, std::vector<LineLog>& out) {
  constexpr uint64_t kAnswerLimitNs = 2'000'000'000;
  const size_t n = masters.size();
  const char reply = frames ? kAck : 'x';
  out.assign(n, {});
  std::vector<LineState> state(n);
  std::vector<pollfd> fds(n);
  for (size_t i = 0; i < n; ++i) {
    out[i].Sent.reserve(1 << 16);
    out[i].Answered.reserve(1 << 16);
    fds[i] = {masters[i], POLLIN, 0};
    if (!SendNext(masters[i], frames, state[i], out[i])) return false;
  }
  size_t waiting = n;
  while (waiting > 0) {
    int r = poll(fds.data(), n, 100);
    if (r < 0 && errno != EINTR) return false;
    const uint64_t now = NowNs();
    for (size_t i = 0; i < n; ++i) {
      LineState& s = state[i];
      if (!s.Waiting) continue;
      if (!(fds[i].revents & POLLIN)) {
        if (now - s.SentAt > kAnswerLimitNs) return false;
        continue;
      }
      char got[8];
      if (read(masters[i], got, sizeof got) != 1 || got[0] != reply) return false;
      out[i].Answered.push_back(now);
      s.Waiting = false;
      if (now < until) {
        if (!SendNext(masters[i], frames, s, out[i])) return false;
      } else {
        fds[i].events = 0;
        --waiting;
      }
    }
  }
  return true;
}

double Percentile(std::vector<double>& v, double p) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(v.size())));
  return v[std::clamp<size_t>(rank, 1, v.size()) - 1];
}

void Results::Add(const std::string& name, double value, const std::string& unit) {
  FValues.push_back({name, value, unit});
}

void Results::Error(const std::string& text) {
  std::fprintf(stderr, "error: %s\n", text.c_str());
  FErrors.push_back(text);
}

void Results::Attach(const std::string& name, const std::string& json) { FAttached.push_back({name, json}); }

namespace {

std::string Quoted(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

}  // namespace

std::string Results::Json(const std::string& mode) const {
  std::ostringstream o;
  o << "{\"mode\": " << Quoted(mode) << ",\n \"errors\": [";
  for (size_t i = 0; i < FErrors.size(); ++i) o << (i ? ", " : "") << Quoted(FErrors[i]);
  o << "],\n \"values\": [";
  for (size_t i = 0; i < FValues.size(); ++i) {
    const Value& v = FValues[i];
    o << (i ? ",\n  " : "\n  ") << "{\"name\": " << Quoted(v.Name) << ", \"value\": ";
    if (std::isfinite(v.Number))
      o << v.Number;
    else
      o << "null";
    o << ", \"unit\": " << Quoted(v.Unit) << "}";
  }
  o << "]";
  for (const auto& [name, json] : FAttached) o << ",\n " << Quoted(name) << ": " << json;
  o << "}\n";
  return o.str();
}

OnOneProcessor::OnOneProcessor() {
  sched_getaffinity(0, sizeof FSaved, &FSaved);
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(sched_getcpu(), &one);
  sched_setaffinity(0, sizeof one, &one);
}

OnOneProcessor::~OnOneProcessor() { sched_setaffinity(0, sizeof FSaved, &FSaved); }

SyscallCounter::SyscallCounter(int tid) {
  std::ifstream idFile("/sys/kernel/tracing/events/raw_syscalls/sys_enter/id");
  uint64_t id = 0;
  if (!(idFile >> id)) return;
  perf_event_attr a{};
  a.size = sizeof a;
  a.type = PERF_TYPE_TRACEPOINT;
  a.config = id;
  a.sample_period = 0;
  FFd = static_cast<int>(syscall(SYS_perf_event_open, &a, tid, -1, -1, PERF_FLAG_FD_CLOEXEC));
}

SyscallCounter::~SyscallCounter() {
  if (FFd >= 0) close(FFd);
}

uint64_t SyscallCounter::Count() const {
  uint64_t n = 0;
  if (FFd < 0 || read(FFd, &n, sizeof n) != static_cast<ssize_t>(sizeof n)) return 0;
  return n;
}

uint64_t ProcessCpuNs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  auto ns = [](const timeval& t) {
    return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_usec) * 1000u;
  };
  return ns(u.ru_utime) + ns(u.ru_stime);
}

uint64_t ResidentBytes() {
  std::ifstream in("/proc/self/statm");
  uint64_t size = 0, resident = 0;
  in >> size >> resident;
  return resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

std::vector<int> Tasks() {
  std::vector<int> ids;
  for (const auto& e : fs::directory_iterator("/proc/self/task")) ids.push_back(std::stoi(e.path().filename()));
  std::sort(ids.begin(), ids.end());
  return ids;
}

uint64_t VoluntarySwitches(int tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stoull(line.substr(24));
  return 0;
}

}  // namespace kvarn::bench
