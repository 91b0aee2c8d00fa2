// The reader loop: the body of a channel's worker thread, which waits for
// frames ended by DC4, reads, logs and decodes them, hands each event to the
// host and answers ACK only once the host has taken it. It runs as
// TCommThread::Execute (host/comm_thread.h).
#pragma once

#include <cstddef>
#include <string_view>

namespace kvarn {

// At most this many bytes are read for one frame (the DC4 included).
constexpr size_t kMaxFrameRead = 250;

// Heartbeats carry "@" anywhere; they are acknowledged at once, never decoded.
inline bool IsHeartbeat(std::string_view frame) { return frame.find('@') != std::string_view::npos; }

}  // namespace kvarn
