// How the monitor shows what the library delivers: one line per event and
// per status line, as readable text or as JSON Lines. Pure functions of their
// arguments, so they are tested without a channel.
#pragma once

#include <chrono>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "kvarn_rcvr.h"

namespace kvarn::monitor {

constexpr int kLineMarks = 14;

// When the host took the event, in local time.
struct ReceivedAt {
  std::tm local{};
  int millis = 0;
};

ReceivedAt ReceivedNow();

// The characters of a short-string field (length byte first), the length
// clamped to the field's capacity.
std::string ShortField(const unsigned char* field, size_t capacity);

// "-" for an event without time, else "YYYY-MM-DD hh:mm:ss" (the year is the
// PC's: receivers send none).
std::string StampText(const TlfSystemTime& stamp);

//   14:03:27.123  Com1  rec 01  line 1  acct 1234      area " 01"  event "E130 001"  time -
std::string EventText(const TlfMsg& msg, int port, const ReceivedAt& at);
//   {"received":"...","port":1,"rec_no":1,"line":1,"account":"1234","area":" 01","ev_zone":"E130 001","time":null}
std::string EventJson(const TlfMsg& msg, int port, const ReceivedAt& at);

// The host's status state, kept across status lines.
struct StatusState {
  unsigned int bits = 0;
  unsigned char marks[kLineMarks] = {};
};

// The length-prefixed form the library takes: one length byte, then the
// text cut to 255 bytes.
std::vector<unsigned char> StatusLineBytes(std::string_view line);

//   "   A 03"  bits 0x00000001  marks FF 00 ... (14 entries)
std::string StatusText(std::string_view line, const StatusState& state);
//   {"line":"   A 03","bits":1,"marks":[255,0,...]}
std::string StatusJson(std::string_view line, const StatusState& state);

}  // namespace kvarn::monitor
