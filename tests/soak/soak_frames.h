// What the simulated receivers send in the soak run, and what the host must
// receive for each frame. Every frame carries its channel's receiver number at
// positions 2-3, and events carry the channel in their account where the
// frame form has room for it, so an event delivered on the wrong channel does
// not match anything there.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "kvarn_rcvr.h"

namespace kvarn::soak {

// RecNo the host puts in its record before each call: the block path leaves
// RecNo alone, so a record still holding this came from the block path.
constexpr int kUnwritten = 0x5A5A5A5A;
constexpr unsigned char kUnwrittenByte = 0x5A;

struct ExpectedEvent {
  bool First = false;  // the frame's current event (else a further block)
  int32_t RecNo = 0;
  uint16_t Line = 0;
  int32_t Account = 0;
  std::string Area;
  std::string EvZone;
  bool Timed = false;
  TlfSystemTime Stamp{};
};

enum class FrameKind { Event, Heartbeat, Internal, Malformed };

struct Frame {
  std::string Text;  // without the DC4
  FrameKind Kind = FrameKind::Malformed;
  std::vector<ExpectedEvent> Events;  // first event, then the further blocks
};

// Whether `m`, as the host received it, is the event `e`.
bool Matches(const ExpectedEvent& e, const TlfMsg& m);

// The kind and the events of a frame text, by the library's own decoder run
// on a fresh channel state (the soak checks delivery, not decoding).
Frame Classify(std::string text);

// A receiver's mixed stream: valid frames of every form, bracketed frames of
// one to six blocks, heartbeats, receiver-internal frames and malformed ones.
class FrameSource {
 public:
  FrameSource(int channel, uint32_t seed);
  Frame Next();

 private:
  std::string Fixed(char type);
  std::string Timed(char type);
  std::string Bracketed();
  std::string Malformed();
  std::string Header(char type) const;
  std::string Digits(uint64_t value, int width) const;
  uint32_t Pick(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(FRandom); }

  int FChannel;
  std::string FRecv;  // two decimal digits
  char FLine;         // one hexadecimal digit
  uint64_t FSeq = 0;
  std::mt19937 FRandom;
};

}  // namespace kvarn::soak
