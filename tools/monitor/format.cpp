#include "monitor/format.h"

#include <cstdio>

#include "common/json.h"
#include "common/printable.h"
#include "monitor/local_time.h"

namespace kvarn::monitor {
namespace {

using tools::JsonString;
using tools::Printable;

std::string Quoted(std::string_view text) { return "\"" + Printable(text) + "\""; }

std::string AccountHex(const TlfMsg& msg) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%X", static_cast<unsigned>(msg.Account));
  return buf;
}

std::string ClockText(const ReceivedAt& at) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", at.local.tm_hour, at.local.tm_min, at.local.tm_sec,
                at.millis);
  return buf;
}

// ISO 8601 with the local offset, e.g. 2024-05-01T14:03:27.123+02:00.
std::string IsoText(const ReceivedAt& at) {
  long off = UtcOffsetSeconds(at.local) / 60;
  char sign = off < 0 ? '-' : '+';
  if (off < 0) off = -off;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02ld:%02ld", at.local.tm_year + 1900,
                at.local.tm_mon + 1, at.local.tm_mday, at.local.tm_hour, at.local.tm_min, at.local.tm_sec,
                at.millis, sign, off / 60, off % 60);
  return buf;
}

std::string Area(const TlfMsg& msg) { return ShortField(msg.Area, TLF_AREA_CAP); }
std::string EvZone(const TlfMsg& msg) { return ShortField(msg.EvZone, TLF_EVZONE_CAP); }

}  // namespace

ReceivedAt ReceivedNow() {
  auto now = std::chrono::system_clock::now();
  std::time_t secs = std::chrono::system_clock::to_time_t(now);
  ReceivedAt at;
  localtime_r(&secs, &at.local);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  at.millis = static_cast<int>(ms < 0 ? ms + 1000 : ms);
  return at;
}

std::string ShortField(const unsigned char* field, size_t capacity) {
  size_t len = field[0] < capacity ? field[0] : capacity;
  return std::string(reinterpret_cast<const char*>(field + 1), len);
}

std::string StampText(const TlfSystemTime& s) {
  if (s.wYear == TLF_NO_TIME) return "-";
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", s.wYear, s.wMonth, s.wDay, s.wHour, s.wMinute,
                s.wSecond);
  return buf;
}

std::string EventText(const TlfMsg& msg, int port, const ReceivedAt& at) {
  char head[96];
  std::snprintf(head, sizeof head, "%s  Com%d  rec %02d  line %u  acct %-8s  area ", ClockText(at).c_str(), port,
                msg.RecNo, static_cast<unsigned>(msg.LineNo), AccountHex(msg).c_str());
  return head + Quoted(Area(msg)) + "  event " + Quoted(EvZone(msg)) + "  time " + StampText(msg.Stamp);
}

std::string EventJson(const TlfMsg& msg, int port, const ReceivedAt& at) {
  std::string time = msg.Stamp.wYear == TLF_NO_TIME ? "null" : JsonString(StampText(msg.Stamp).replace(10, 1, "T"));
  return "{\"received\":" + JsonString(IsoText(at)) + ",\"port\":" + std::to_string(port) +
         ",\"rec_no\":" + std::to_string(msg.RecNo) + ",\"line\":" + std::to_string(msg.LineNo) +
         ",\"account\":" + JsonString(AccountHex(msg)) + ",\"area\":" + JsonString(Area(msg)) +
         ",\"ev_zone\":" + JsonString(EvZone(msg)) + ",\"time\":" + time + "}";
}

std::vector<unsigned char> StatusLineBytes(std::string_view line) {
  if (line.size() > 255) line = line.substr(0, 255);
  std::vector<unsigned char> bytes(line.size() + 1);
  bytes[0] = static_cast<unsigned char>(line.size());
  for (size_t i = 0; i < line.size(); ++i) bytes[i + 1] = static_cast<unsigned char>(line[i]);
  return bytes;
}

std::string StatusText(std::string_view line, const StatusState& state) {
  char bits[32];
  std::snprintf(bits, sizeof bits, "  bits 0x%08X  marks", state.bits);
  std::string out = Quoted(line) + bits;
  for (unsigned char m : state.marks) {
    char cell[4];
    std::snprintf(cell, sizeof cell, " %02X", m);
    out += cell;
  }
  return out;
}

std::string StatusJson(std::string_view line, const StatusState& state) {
  std::string out = "{\"line\":" + JsonString(line) + ",\"bits\":" + std::to_string(state.bits) + ",\"marks\":[";
  for (int i = 0; i < kLineMarks; ++i) out += (i ? "," : "") + std::to_string(state.marks[i]);
  return out + "]}";
}

}  // namespace kvarn::monitor
