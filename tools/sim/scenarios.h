// Built-in receiver traffic: named scenarios of realistic frames, the
// heartbeat frame and the frames of load runs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kvarn::sim {

struct ScenarioFrame {
  std::string frame;
  std::string note;  // what a receiver means by it (for --list-scenarios)
};

struct Scenario {
  std::string name;
  std::string summary;
  std::vector<ScenarioFrame> frames;
};

// Every built-in scenario. Frames with a receiver time carry the local time
// of the call, so they stay valid whatever the date.
std::vector<Scenario> BuiltInScenarios();

// nullptr-like: an empty name means "not found".
Scenario FindScenario(std::string_view name);

// "1" + receiver (2 digits) + line 0 + 11 spaces + "@" + 4 spaces.
std::string HeartbeatFrame(int receiver);

// The index-th frame of a load run: Contact ID style alarms and restores over
// a spread of accounts, event codes and zones, all decodable.
std::string LoadFrame(uint64_t index, int receiver);

}  // namespace kvarn::sim
