// The receiver's line protocol, as far as the reader loop needs it: frames
// end with DC4, the host answers each one it has taken with ACK, and
// heartbeats are told apart by a character no event frame carries.
#pragma once

#include <cstddef>
#include <string_view>

namespace kvarn {

constexpr char kFrameEnd = 0x14;  // DC4
constexpr char kAck = 0x06;

// At most this many bytes are read for one frame (the DC4 included).
constexpr size_t kMaxFrameRead = 250;

// Heartbeats carry "@" anywhere; they are acknowledged at once, never decoded
// and never logged.
inline bool IsHeartbeat(std::string_view frame) { return frame.find('@') != std::string_view::npos; }

}  // namespace kvarn
