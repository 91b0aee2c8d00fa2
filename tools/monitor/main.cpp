// kvarn-monitor: a console host of the library. Opens channels, polls them
// and prints every event it takes; or interprets status lines.
#include <chrono>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "common/cli.h"
#include "common/stop.h"
#include "kvarn_rcvr.h"
#include "monitor/format.h"
#include "monitor/port.h"

namespace {

using namespace kvarn::monitor;
using kvarn::tools::OptionValue;
using kvarn::tools::ParseInteger;
using kvarn::tools::ParseNonNegative;

const char kUsageHead[] = R"(usage: kvarn-monitor [options] PORT:RECEIVER...
       kvarn-monitor --status [--json] < status-lines

)";
// PortUsage() goes between the two.
const char kUsageTail[] = R"(./Rn.ini), polls the library for events and prints one line per event:
time taken, port, receiver, line, account (hex), area, event/zone and the
receiver's time ("-" when the frame carried none). Every channel is closed
cleanly on Ctrl-C or SIGTERM.

Options:
  --json          JSON Lines, one object per event
  --events N      stop after N events
  --seconds S     stop after S seconds
  --poll MS       poll interval in milliseconds (default 10)
  -C, --dir DIR   run in DIR (where ComN, Rn.ini and Tlflog are)
  --status        read status lines from standard input, pass each to
                  tlf_GetSysMsg and print the status bits and the 14 line
                  marks as they stand after it
  --help          this text

Exit status: 0 after a clean stop, 1 when a channel cannot be opened, 2 for
bad arguments.
)";

struct ChannelArg {
  int port = 0;
  int receiver = 0;
};

struct MonitorArgs {
  std::vector<ChannelArg> channels;
  bool json = false, status = false, help = false;
  std::optional<long long> events;
  std::optional<double> seconds;
  int pollMs = 10;
  std::string dir;
};

int UsageError(const std::string& message) {
  std::fprintf(stderr, "kvarn-monitor: %s\nTry 'kvarn-monitor --help'.\n", message.c_str());
  return 2;
}

std::optional<ChannelArg> ParseChannel(const std::string& text) {
  size_t colon = text.find(':');
  if (colon == std::string::npos) return std::nullopt;
  auto port = ParseInteger(std::string_view(text).substr(0, colon), 1, 255);
  auto receiver = ParseInteger(std::string_view(text).substr(colon + 1), 0, 99);
  if (!port || !receiver) return std::nullopt;
  return ChannelArg{static_cast<int>(*port), static_cast<int>(*receiver)};
}

// One option with a value at argv[i]; 0 = not this kind, 1 = taken, 2 = usage error printed.
int ValueOption(int argc, char** argv, int& i, MonitorArgs& a) {
  bool missing = false;
  std::optional<std::string> v;
  for (const char* name : {"--events", "--seconds", "--poll", "--dir", "-C"}) {
    if ((v = OptionValue(argc, argv, i, name, missing))) {
      bool ok = true;
      if (std::string(name) == "--events") ok = (a.events = ParseInteger(*v, 1, 1LL << 40)).has_value();
      if (std::string(name) == "--seconds") ok = (a.seconds = ParseNonNegative(*v)).has_value();
      if (std::string(name) == "--poll") {
        auto ms = ParseInteger(*v, 1, 10'000);
        ok = ms.has_value();
        if (ok) a.pollMs = static_cast<int>(*ms);
      }
      if (std::string(name) == "--dir" || std::string(name) == "-C") a.dir = *v;
      if (!ok) UsageError(std::string("bad value for ") + name + ": '" + *v + "'");
      return ok ? 1 : 2;
    }
    if (missing) return UsageError(std::string(name) + " needs a value");
  }
  return 0;
}

int ParseArgs(int argc, char** argv, MonitorArgs& a) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--json") a.json = true;
    else if (arg == "--status") a.status = true;
    else if (arg == "--help" || arg == "-h") a.help = true;
    else if (int r = ValueOption(argc, argv, i, a); r == 2) return 2;
    else if (r == 1) continue;
    else if (arg.starts_with("-")) return UsageError("unknown option " + arg);
    else if (auto ch = ParseChannel(arg)) a.channels.push_back(*ch);
    else return UsageError("'" + arg + "' is not a PORT:RECEIVER pair (e.g. 1:1; port 1-255, receiver 0-99)");
  }
  if (a.help) return 0;
  if (a.status && !a.channels.empty()) return UsageError("--status takes no channels");
  if (!a.status && a.channels.empty()) return UsageError("give at least one PORT:RECEIVER pair");
  return 0;
}

struct OpenChannel {
  ChannelArg target;
  TlfChannel handle = nullptr;
  long long events = 0;
};

void CloseAll(std::vector<OpenChannel>& open) {
  for (OpenChannel& ch : open) tlf_CloseComm(ch.handle);
  open.clear();
}

bool OpenAll(const MonitorArgs& a, std::vector<OpenChannel>& open) {
  for (const ChannelArg& target : a.channels) {
    TlfChannel handle = tlf_InitComm(target.port, target.receiver);
    if (!handle) {
      std::fprintf(stderr, "kvarn-monitor: cannot open port %d for receiver %d: %s\n", target.port, target.receiver,
                   OpenFailure(target.port).c_str());
      CloseAll(open);
      return false;
    }
    open.push_back({target, handle, 0});
    std::fprintf(stderr, "kvarn-monitor: listening on %s (receiver %d)\n", PortName(target.port).c_str(),
                 target.receiver);
  }
  return true;
}

void PrintLine(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// Takes every event waiting on every channel; returns how many.
long long PollOnce(std::vector<OpenChannel>& open, bool json, long long budget) {
  long long taken = 0;
  for (OpenChannel& ch : open) {
    TlfMsg msg{};
    while (taken < budget && tlf_GetMsg(ch.handle, &msg)) {
      ReceivedAt at = ReceivedNow();
      PrintLine(json ? EventJson(msg, ch.target.port, at) : EventText(msg, ch.target.port, at));
      ++ch.events;
      ++taken;
    }
  }
  return taken;
}

int RunMonitor(const MonitorArgs& a) {
  std::vector<OpenChannel> open;
  if (!OpenAll(a, open)) return 1;
  const auto start = std::chrono::steady_clock::now();
  long long total = 0;
  const long long limit = a.events.value_or(-1);
  while (!kvarn::tools::StopRequested() && (limit < 0 || total < limit)) {
    total += PollOnce(open, a.json, limit < 0 ? (1LL << 62) : limit - total);
    if (a.seconds && std::chrono::steady_clock::now() - start >= std::chrono::duration<double>(*a.seconds)) break;
    if (limit < 0 || total < limit) kvarn::tools::SleepOrStop(a.pollMs);
  }
  std::string per;
  for (const OpenChannel& ch : open)
    per += (per.empty() ? "" : ", ") + PortLabel(ch.target.port) + ": " + std::to_string(ch.events);
  CloseAll(open);
  std::fprintf(stderr, "kvarn-monitor: %lld event%s delivered (%s); channels closed\n", total,
               total == 1 ? "" : "s", per.c_str());
  return 0;
}

int RunStatus(bool json) {
  StatusState state;
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line.ends_with('\r')) line.pop_back();
    std::vector<unsigned char> bytes = StatusLineBytes(line);
    int info = 0;
    tlf_GetSysMsg(0, bytes.data(), &state.bits, state.marks, &info);
    PrintLine(json ? StatusJson(line, state) : StatusText(line, state));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  MonitorArgs args;
  if (int rc = ParseArgs(argc, argv, args)) return rc;
  if (args.help) {
    std::fputs(kUsageHead, stdout);
    std::fputs(PortUsage(), stdout);
    std::fputs(kUsageTail, stdout);
    return 0;
  }
  if (std::string error; !args.dir.empty() && !kvarn::tools::ChangeDirectory(args.dir, error)) {
    std::fprintf(stderr, "kvarn-monitor: cannot change to %s: %s\n", args.dir.c_str(), error.c_str());
    return 1;
  }
  if (args.status) return RunStatus(args.json);
  kvarn::tools::InstallStopHandlers();
  return RunMonitor(args);
}
