#include "sim/scenarios.h"

#include <cstdio>
#include <ctime>

namespace kvarn::sim {
namespace {

// "hh:mm:ss DD/MM" as a receiver stamps its messages.
std::string ReceiverTimeNow() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d %02d/%02d", tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_mday,
                tm.tm_mon + 1);
  return buf;
}

std::vector<ScenarioFrame> ContactIdFrames() {
  return {
      {"5011 181234E13001001", "burglary alarm, account 1234, group 01, zone 001"},
      {"5011 181234R13001001", "burglary restore, zone 001"},
      {"5011 181234E40102007", "opening by user 007"},
      {"5011 181234R40102007", "closing by user 007"},
      {"5012 185678E11000012", "fire alarm, account 5678, zone 012 (line 2)"},
      {"5012 185678R11000012", "fire restore, zone 012"},
      {"5011 18ABCDE30100000", "AC power loss, account ABCD"},
      {"5011 18ABCDE30200000", "low battery, account ABCD"},
      {"5011 181234P13001003", "burglary still present, zone 003"},
      {"5011 181234E60200000", "periodic test"},
  };
}

std::vector<ScenarioFrame> BracketedFrames() {
  return {
      {"S0111[#1234|Nri12/BA03/BR04]", "area 12: burglary alarm zone 3, restore zone 4 (two events)"},
      {"S0111[#1234|NFA05]", "fire alarm zone 5"},
      {"S0111[#1234|Nid7/OP01]", "opening, user 7 sets the area"},
      {"S0111[#5678|Nri2/CL02/ri3/CL03]", "closings in areas 2 and 3 (two events)"},
      {"S0112[#00AB|OBA01/NBA02/NBR02]", "old burglary skipped, alarm and restore zone 2"},
      {"S0111[#1234|NYT00/AT00/NRP00]", "battery trouble, AC trouble block skipped, test"},
  };
}

std::vector<ScenarioFrame> LegacyFrames() {
  const std::string t = ReceiverTimeNow();
  return {
      {"1011 018001234 A1003", "fixed-position form 1: account 1234, event A, area 1, zone 003"},
      {"1011 018001234 R1003", "form 1 restore"},
      {"3011 018005678130004", "fixed-position form 3: account 5678, event 130, zone 004"},
      {"1011 " + t + "01003", "form 1 with the receiver's time"},
      {"3011 " + t + "13004", "form 3 with the receiver's time"},
  };
}

std::vector<ScenarioFrame> ReceiverFrames() {
  return {
      {"0010 LINE 2 FAULT", "receiver's own message: acknowledged, no event"},
      {"0010 LINE 2 OK", "receiver's own message: acknowledged, no event"},
  };
}

std::vector<ScenarioFrame> MalformedFrames() {
  return {
      {"5011 181234E1300100", "remainder one character short: rejected"},
      {"5011181234E13001001", "no space after the header: rejected"},
      {"S01[#1234|NBA01]", "\"[\" too early: rejected"},
      {"3011 24:61:00 31/04xxxxx", "impossible receiver time: rejected"},
  };
}

std::vector<ScenarioFrame> DemoFrames() {
  const std::string t = ReceiverTimeNow();
  return {
      {"5011 181234E13001001", "burglary alarm, zone 001"},
      {"5011 181234R13001001", "burglary restore, zone 001"},
      {"S0111[#1234|Nri12/BA03/BR04]", "bracketed: alarm zone 3 and restore zone 4 in area 12"},
      {"1011 018001234 A1003", "fixed-position form 1"},
      {"3011 018005678130004", "fixed-position form 3"},
      {"1011 " + t + "01003", "form 1 with the receiver's time"},
      {HeartbeatFrame(1), "heartbeat: acknowledged at once"},
      {"0010 LINE 2 FAULT", "receiver's own message: acknowledged, no event"},
      {"5011 181234E1300100", "malformed (one character short): never acknowledged"},
      {"5012 185678E11000012", "fire alarm on line 2"},
      {"S0111[#1234|NFA05]", "bracketed fire alarm zone 5"},
      {"5011 181234E60200000", "periodic test"},
  };
}

}  // namespace

std::string HeartbeatFrame(int receiver) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "1%02d0", receiver % 100);
  return std::string(buf) + std::string(11, ' ') + "@" + std::string(4, ' ');
}

std::vector<Scenario> BuiltInScenarios() {
  std::vector<ScenarioFrame> heartbeats(3, {HeartbeatFrame(1), "heartbeat"});
  return {
      {"demo", "a little of everything: alarms, restores, every frame form, a heartbeat, a receiver "
               "message and one malformed frame",
       DemoFrames()},
      {"contact-id", "Contact ID style reports (form 5): alarms, restores, openings, troubles", ContactIdFrames()},
      {"bracketed", "bracketed frames with several blocks and modifiers", BracketedFrames()},
      {"legacy", "fixed-position forms 1 and 3, with and without the receiver's time", LegacyFrames()},
      {"receiver", "the receiver's own messages (form 0)", ReceiverFrames()},
      {"malformed", "frames the library rejects (never acknowledged)", MalformedFrames()},
      {"heartbeat", "three heartbeats", heartbeats},
  };
}

Scenario FindScenario(std::string_view name) {
  for (Scenario& s : BuiltInScenarios())
    if (s.name == name) return s;
  return {};
}

std::string LoadFrame(uint64_t index, int receiver) {
  static const char* const kCodes[] = {"130", "110", "120", "401", "301", "602"};
  const unsigned account = static_cast<unsigned>(index / 2 % 0x10000);
  const char qualifier = index % 2 == 0 ? 'E' : 'R';
  const char* code = kCodes[index / 2 % 6];
  const unsigned zone = static_cast<unsigned>(index / 12 % 1000);
  char buf[40];
  std::snprintf(buf, sizeof buf, "5%02d1 18%04X%c%s01%03u", receiver % 100, account, qualifier, code, zone);
  return buf;
}

}  // namespace kvarn::sim
