// kvarn-sim: plays an alarm receiver on a serial line or a pseudo-terminal.
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/cli.h"
#include "common/stop.h"
#include "sim/frames.h"
#include "sim/receiver.h"
#include "sim/report.h"
#include "sim/scenarios.h"
#include "sim/serial.h"

namespace {

using namespace kvarn::sim;
using kvarn::tools::OptionValue;
using kvarn::tools::ParseInteger;
using kvarn::tools::ParseNonNegative;

const char kUsageHead[] = R"(usage: kvarn-sim [options] DEVICE
       kvarn-sim [options] --pty [--link PATH] [--hold]

Plays an alarm receiver: sends frames ended by DC4 (0x14), one at a time,
waits for the host's ACK (0x06), resends unanswered frames, gives them up,
and sends heartbeats when the line is idle.

Line:
)";
// DeviceUsage() goes between the two.
const char kUsageTail[] = R"(  --pty             create a pseudo-terminal pair; the host opens its slave.
                    Frames wait until a host holds the slave open.
  --link PATH       with --pty: make PATH a symlink to the slave (e.g. ./Com1)
  --hold            with --pty: after the last frame, keep the line up until
                    the host closes the port
  --baud N          line speed for DEVICE (default 9600)

Frames (default: --scenario demo):
  --scenario NAME   a built-in scenario (see --list-scenarios)
  --frames FILE     one frame per line; escapes \xHH \\ \t \r \n; lines
                    starting with # are comments; the DC4 is added
  --replay FILE     the frames of a traffic log written by the library
  --frame TEXT      one frame (escapes as in --frames; '' sends DC4 alone);
                    may be repeated

Load:
  --count N         send N frames: the input repeated, or generated Contact
                    ID reports when no input is given
  --rate R          frames per second; 0 = as fast as ACKs allow (default)

Receiver behaviour:
  --ack-timeout S   seconds to wait for the ACK (default 4)
  --retries N       resends of an unanswered frame before giving it up (default 3)
  --gap S           pause after an ACK (default 0.5; 0 with --count or --rate)
  --no-clear        do not discard input before sending: an ACK byte already
                    waiting answers the frame just sent (some receivers)
  --heartbeat S     heartbeat after S idle seconds (default 30; 0 = off)
  --receiver N      receiver number in heartbeats and generated frames (default 1)
  --delay S         wait before the first frame (default 0)
  --linger S        stay S seconds after the last frame, sending heartbeats;
                    "inf" = until stopped (default 0)

Report:
  --json            JSON Lines (one object per frame, then a summary object)
  --quiet           the summary only
  --report FILE     also write the JSON summary to FILE once sending is over
  --list-scenarios  list the built-in scenarios and their frames
  --help            this text

Exit status: 0 when done or stopped by a signal, 1 when the line cannot be
used, 2 for bad arguments.
)";

struct SimArgs {
  std::string device;
  bool pty = false;
  std::string link;
  bool hold = false;
  int baud = 9600;
  std::string scenario, framesFile, replayFile;
  std::vector<std::string> frames;
  std::optional<uint64_t> count;
  std::optional<double> rate, gap;
  ReceiverOptions rx;
  int receiver = 1;
  bool json = false, quiet = false, listScenarios = false, help = false, noClear = false;
  std::string reportFile;
};

int UsageError(const std::string& message) {
  std::fprintf(stderr, "kvarn-sim: %s\nTry 'kvarn-sim --help'.\n", message.c_str());
  return 2;
}

// Applies one option that takes a value; false with `error` set when the
// value is bad.
using Setter = std::function<bool(const std::string&)>;

std::map<std::string, Setter> ValueOptions(SimArgs& a) {
  auto seconds = [](double& out) {
    return [&out](const std::string& v) {
      std::optional<double> s = ParseNonNegative(v);
      if (s) out = *s;
      return s.has_value();
    };
  };
  auto optSeconds = [](std::optional<double>& out) {
    return [&out](const std::string& v) { return (out = ParseNonNegative(v)).has_value(); };
  };
  auto text = [](std::string& out) {
    return [&out](const std::string& v) { return !(out = v).empty(); };
  };
  return {
      {"--link", text(a.link)},
      {"--baud", [&a](const std::string& v) {
         auto n = ParseInteger(v, 1, 4'000'000);
         return n && IsKnownBaud(static_cast<int>(*n)) && (a.baud = static_cast<int>(*n), true);
       }},
      {"--scenario", text(a.scenario)},
      {"--frames", text(a.framesFile)},
      {"--replay", text(a.replayFile)},
      {"--frame", [&a](const std::string& v) {
         std::string frame, why;
         if (!ParseEscapes(v, frame, why)) return false;
         a.frames.push_back(frame);
         return true;
       }},
      {"--count", [&a](const std::string& v) {
         auto n = ParseInteger(v, 1, 1'000'000'000'000LL);
         return n && (a.count = static_cast<uint64_t>(*n), true);
       }},
      {"--rate", optSeconds(a.rate)},
      {"--ack-timeout", seconds(a.rx.ackTimeout)},
      {"--retries", [&a](const std::string& v) {
         auto n = ParseInteger(v, 0, 100);
         return n && (a.rx.retries = static_cast<int>(*n), true);
       }},
      {"--gap", optSeconds(a.gap)},
      {"--heartbeat", seconds(a.rx.heartbeat)},
      {"--receiver", [&a](const std::string& v) {
         auto n = ParseInteger(v, 0, 99);
         return n && (a.receiver = static_cast<int>(*n), true);
       }},
      {"--delay", seconds(a.rx.delay)},
      {"--linger", [&a](const std::string& v) {
         if (v == "inf") return (a.rx.linger = -1, true);
         auto s = ParseNonNegative(v);
         return s && (a.rx.linger = *s, true);
       }},
      {"--report", text(a.reportFile)},
  };
}

std::map<std::string, bool*> FlagOptions(SimArgs& a) {
  return {{"--pty", &a.pty},     {"--hold", &a.hold},         {"--json", &a.json},
          {"--quiet", &a.quiet}, {"--no-clear", &a.noClear}, {"--list-scenarios", &a.listScenarios}, {"--help", &a.help}, {"-h", &a.help}};
}

// Returns 0 when the arguments are good, else the usage exit code (message printed).
int ParseArgs(int argc, char** argv, SimArgs& a) {
  auto values = ValueOptions(a);
  auto flags = FlagOptions(a);
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (auto f = flags.find(arg); f != flags.end()) {
      *f->second = true;
      continue;
    }
    bool matched = false;
    for (auto& [name, set] : values) {
      bool missing = false;
      std::optional<std::string> v = OptionValue(argc, argv, i, name, missing);
      if (missing) return UsageError(name + " needs a value");
      if (!v) continue;
      if (!set(*v)) return UsageError("bad value for " + name + ": '" + *v + "'");
      matched = true;
      break;
    }
    if (matched) continue;
    if (arg.starts_with("-")) return UsageError("unknown option " + arg);
    if (!a.device.empty()) return UsageError("more than one device given");
    a.device = arg;
  }
  return 0;
}

int CheckArgs(const SimArgs& a) {
  if (a.pty == !a.device.empty()) return UsageError("give either a DEVICE or --pty");
  if (std::string why = PtyUnavailable(); a.pty && !why.empty()) return UsageError(why);
  if ((!a.link.empty() || a.hold) && !a.pty) return UsageError("--link and --hold need --pty");
  int inputs = !a.scenario.empty() + !a.framesFile.empty() + !a.replayFile.empty() + !a.frames.empty();
  if (inputs > 1) return UsageError("give only one of --scenario, --frames, --replay and --frame");
  if (!a.scenario.empty() && FindScenario(a.scenario).name.empty())
    return UsageError("no scenario named '" + a.scenario + "' (see --list-scenarios)");
  if (a.rx.ackTimeout <= 0) return UsageError("--ack-timeout must be more than 0");
  return 0;
}

void ListScenarios() {
  for (const Scenario& s : BuiltInScenarios()) {
    std::printf("%s: %s\n", s.name.c_str(), s.summary.c_str());
    for (const ScenarioFrame& f : s.frames)
      std::printf("    %-34s %s\n", ("\"" + ShowFrame(f.frame) + "\"").c_str(), f.note.c_str());
  }
}

// Collects the frames to send. False with `error` set on a bad file.
bool LoadFrames(const SimArgs& a, std::vector<std::string>& frames, std::string& error) {
  std::string contents;
  if (!a.framesFile.empty()) {
    if (!ReadWholeFile(a.framesFile, contents, error)) return false;
    if (!ParseFrameFile(contents, frames, error)) return (error = a.framesFile + ": " + error, false);
    if (frames.empty()) return (error = a.framesFile + ": no frames in the file", false);
  } else if (!a.replayFile.empty()) {
    std::vector<std::string> warnings;
    if (!ReadWholeFile(a.replayFile, contents, error)) return false;
    bool ok = ParseTrafficLog(contents, frames, warnings, error);
    for (const std::string& w : warnings) std::fprintf(stderr, "kvarn-sim: %s: %s\n", a.replayFile.c_str(), w.c_str());
    if (!ok) return (error = a.replayFile + ": " + error, false);
  } else if (!a.frames.empty()) {
    frames = a.frames;
  } else if (!a.scenario.empty() || !a.count) {
    for (ScenarioFrame& f : FindScenario(a.scenario.empty() ? "demo" : a.scenario).frames)
      frames.push_back(std::move(f.frame));
  }
  return true;
}

FrameSource MakeSource(const std::vector<std::string>& frames, std::optional<uint64_t> count, int receiver) {
  return [&frames, count, receiver](uint64_t i) -> std::optional<std::string> {
    if (count && i >= *count) return std::nullopt;
    if (frames.empty()) return LoadFrame(i, receiver);
    if (!count && i >= frames.size()) return std::nullopt;
    return frames[static_cast<size_t>(i % frames.size())];
  };
}

bool OpenLine(const SimArgs& a, Line& line) {
  std::string error;
  bool ok = a.pty ? CreatePty(line, error) && (a.link.empty() || LinkPty(line, a.link, error))
                  : OpenDevice(a.device, a.baud, line, error);
  if (!ok) {
    std::fprintf(stderr, "kvarn-sim: %s\n", error.c_str());
    CloseLine(line);
    return false;
  }
  if (a.pty)
    std::fprintf(stderr, "kvarn-sim: receiver line on %s%s\n", line.slavePath.c_str(),
                 a.link.empty() ? "" : (", linked as " + a.link).c_str());
  return true;
}

void WriteReportFile(const std::string& path, const std::string& json) {
  std::string tmp = path + ".tmp";
  if (std::FILE* f = std::fopen(tmp.c_str(), "w")) {
    std::fprintf(f, "%s\n", json.c_str());
    std::fclose(f);
    std::rename(tmp.c_str(), path.c_str());
  } else {
    std::fprintf(stderr, "kvarn-sim: cannot write %s\n", path.c_str());
  }
}

int RunSimulator(const SimArgs& a, const std::vector<std::string>& frames) {
  Line line;
  if (!OpenLine(a, line)) return 1;
  ReceiverOptions rx = a.rx;
  const bool load = a.count || a.rate;
  rx.gap = a.gap.value_or(load ? 0.0 : 0.5);
  rx.clearInput = !a.noClear;
  rx.rate = a.rate.value_or(0);
  rx.watchHost = line.ptyMaster;
  rx.heartbeatFrame = HeartbeatFrame(a.receiver);
  Report report(stdout, a.json, !a.quiet);
  Receiver receiver(line.fd, rx, kvarn::tools::StopHandle());
  const bool completed =
      receiver.Run(MakeSource(frames, a.count, a.receiver), [&report](const FrameOutcome& o) { report.Add(o); },
                   [](const std::string& n) { std::fprintf(stderr, "kvarn-sim: %s\n", n.c_str()); });
  const double elapsed = receiver.ElapsedSeconds();
  report.PrintSummary(elapsed);
  if (!a.reportFile.empty()) WriteReportFile(a.reportFile, report.SummaryJson(elapsed));
  if (a.hold && completed) receiver.HoldUntilHostCloses();
  CloseLine(line);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  SimArgs args;
  if (int rc = ParseArgs(argc, argv, args)) return rc;
  if (args.help) {
    std::fputs(kUsageHead, stdout);
    std::fputs(DeviceUsage(), stdout);
    std::fputs(kUsageTail, stdout);
    return 0;
  }
  if (args.listScenarios) {
    ListScenarios();
    return 0;
  }
  if (int rc = CheckArgs(args)) return rc;
  std::vector<std::string> frames;
  std::string error;
  if (!LoadFrames(args, frames, error)) {
    std::fprintf(stderr, "kvarn-sim: %s\n", error.c_str());
    return 1;
  }
  kvarn::tools::InstallStopHandlers();
  return RunSimulator(args, frames);
}
