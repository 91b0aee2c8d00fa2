#include "soak_frames.h"

#include <cstdio>
#include <cstring>

#include "decode/frame_decoder.h"
#include "host/tlf_msg.h"
#include "platform/clock.h"

namespace kvarn::soak {
namespace {

constexpr std::string_view kCodes[] = {"BA", "BR", "FA", "FR", "PA", "OP", "CL", "AT", "AR", "YT", "RP"};
constexpr std::string_view kSeparators = "/ -.,";

std::string Hex(uint64_t value, int width) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%0*llX", width, static_cast<unsigned long long>(value));
  return std::string(buf).substr(std::string(buf).size() - static_cast<size_t>(width));
}

bool SameStampFields(const TlfSystemTime& a, const TlfSystemTime& b) {
  return a.wHour == b.wHour && a.wMinute == b.wMinute && a.wSecond == b.wSecond && a.wDay == b.wDay &&
         a.wMonth == b.wMonth;
}

bool StampUnwritten(const TlfSystemTime& s) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&s);
  for (size_t i = 0; i < sizeof s; ++i) {
    if (bytes[i] != kUnwrittenByte) return false;
  }
  return true;
}

ExpectedEvent FirstEvent(const TlfMsg& msg) {
  ExpectedEvent e;
  e.First = true;
  e.RecNo = msg.RecNo;
  e.Line = msg.LineNo;
  e.Account = msg.Account;
  e.Area = std::string(AreaOf(msg));
  e.EvZone = std::string(EvZoneOf(msg));
  e.Timed = msg.Stamp.wYear != kNoTime;
  e.Stamp = msg.Stamp;
  return e;
}

ExpectedEvent BlockEvent(const TPendingEntry& entry) {
  ExpectedEvent e;
  e.Line = entry.Line;
  e.Account = entry.Account;
  e.Area.assign(entry.Text, TLF_AREA_CAP);
  e.EvZone.assign(entry.Text + TLF_AREA_CAP, TLF_EVZONE_CAP);
  return e;
}

}  // namespace

bool Matches(const ExpectedEvent& e, const TlfMsg& m) {
  if (m.LineNo != e.Line || m.Account != e.Account || AreaOf(m) != e.Area || EvZoneOf(m) != e.EvZone) return false;
  if (!e.First) return m.RecNo == kUnwritten && StampUnwritten(m.Stamp);
  if (m.RecNo != e.RecNo || (m.Stamp.wYear != kNoTime) != e.Timed) return false;
  return !e.Timed || SameStampFields(m.Stamp, e.Stamp);
}

Frame Classify(std::string text) {
  Frame f;
  f.Text = std::move(text);
  if (f.Text.find('@') != std::string::npos) {
    f.Kind = FrameKind::Heartbeat;
    return f;
  }
  DecodeState state;
  state.Frame.Assign(f.Text);
  state.FrameNo = 1;
  state.UtcNow = platform::UtcNow;
  const DecodeResult result = DecodeFrame(state);
  if (result == DecodeResult::Acknowledged) {
    f.Kind = FrameKind::Internal;
    return f;
  }
  if (result == DecodeResult::Rejected) return f;  // malformed
  f.Kind = FrameKind::Event;
  f.Events.push_back(FirstEvent(state.Msg));
  for (const TPendingEntry& entry : state.Pending.Blocks) f.Events.push_back(BlockEvent(entry));
  return f;
}

FrameSource::FrameSource(int channel, uint32_t seed)
    : FChannel(channel),
      FRecv(Digits(static_cast<uint64_t>(channel + 1), 2)),
      FLine("0123456789ABCDEF"[channel % 16]),
      FRandom(seed * 1000003u + static_cast<uint32_t>(channel)) {}

std::string FrameSource::Digits(uint64_t value, int width) const {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%0*llu", width, static_cast<unsigned long long>(value));
  return std::string(buf).substr(std::string(buf).size() - static_cast<size_t>(width));
}

std::string FrameSource::Header(char type) const { return std::string(1, type) + FRecv + FLine + ' '; }

// Types 1, 3 and 5 without a time: the channel in the account, the frame's
// sequence number in the event characters.
std::string FrameSource::Fixed(char type) {
  const std::string c = Hex(static_cast<uint64_t>(FChannel), 3);
  if (type == '5') {
    return Header(type) + "18C" + c + "ERP"[Pick(3)] + Digits(FSeq, 8);
  }
  if (type == '1') {
    return Header(type) + "0001" + c + Hex(FSeq / 100000, 2) + "0" + Digits(FSeq, 5);
  }
  return Header(type) + "0003" + c + Hex(FSeq / 1000000, 2) + Digits(FSeq, 6);
}

// The 19-character form: the receiver's time at the front of the remainder.
std::string FrameSource::Timed(char type) {
  const char sep = kSeparators[Pick(static_cast<uint32_t>(kSeparators.size()))];
  const std::string time = Digits(FSeq % 24, 2) + ":" + Digits(FSeq / 24 % 60, 2) + sep +
                           Digits(FSeq / 1440 % 60, 2) + sep + Digits(1 + FSeq / 86400 % 28, 2) + sep +
                           Digits(1 + Pick(12), 2);
  return Header(type) + time + "T" + Hex(static_cast<uint64_t>(FChannel), 3) + "Z";
}

std::string FrameSource::Bracketed() {
  std::string s = "S" + FRecv + "1" + FLine + "[#5" + Hex(static_cast<uint64_t>(FChannel), 3) + Hex(FSeq, 4) + "|";
  const uint32_t blocks = Pick(8);  // 0 gives the placeholder event
  for (uint32_t i = 0; i < blocks; ++i) {
    if (i > 0) s += "/";
    const uint32_t form = Pick(10);
    if (i == 0 || form == 0) s += "NE"[Pick(2)];
    if (form == 1) s += "O";  // an old event: skipped, up to the next kind letter
    if (form == 2) s += "ri" + Digits(1 + Pick(999), 1 + static_cast<int>(Pick(3))) + "/";
    if (form == 3) s += "ti" + Digits(Pick(24), 2) + ":" + Digits(Pick(60), 2) + "/";
    s += std::string(kCodes[Pick(std::size(kCodes))]) + Digits(i + 1, 2);
  }
  return s + "]";
}

std::string FrameSource::Malformed() {
  switch (Pick(5)) {
    case 0:
      return Header('5') + "18C" + Hex(static_cast<uint64_t>(FChannel), 3) + "E130" + Digits(FSeq, 3);
    case 1:
      return "S" + FRecv + "[#12|NBA01]";  // the bracket comes too early
    case 2:
      return "S" + FRecv + "1" + FLine + "[#1234|NBA01";  // no closing bracket
    case 3:
      return Header('1') + "25:61:00/01/01" + "E1301";  // no such time
    default:
      return "3" + FRecv + FLine + "000001234130001";  // no space
  }
}

Frame FrameSource::Next() {
  ++FSeq;
  const uint32_t roll = Pick(100);
  std::string text;
  if (roll < 25) {
    text = Fixed('5');
  } else if (roll < 33) {
    text = Fixed('1');
  } else if (roll < 41) {
    text = Fixed('3');
  } else if (roll < 49) {
    text = Timed("135"[Pick(3)]);
  } else if (roll < 80) {
    text = Bracketed();
  } else if (roll < 83) {
    text = "2" + FRecv + "UNKNOWN";
  } else if (roll < 90) {
    text = "1" + FRecv + "0           @    ";
  } else if (roll < 94) {
    text = "0" + FRecv + " RECEIVER LINE 1 FAULT";
  } else {
    text = Malformed();
  }
  return Classify(std::move(text));
}

}  // namespace kvarn::soak
