// The receiver's reads, writes and waits on its line, each bounded by a
// deadline and ended early by the stop. A line or stop is a descriptor on
// POSIX (the stop: a pipe's read end, readable once set) and a HANDLE on
// Windows (the stop: an event); -1 means none.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kvarn::sim::io {

using Clock = std::chrono::steady_clock;

// Readies the line for bounded waits (never blocking on a full queue).
void Prepare(intptr_t line);

enum class ReadResult { Data, Timeout, Stop, Gone };

// Waits until bytes come in (Data, `got` > 0), `until` passes, the stop is
// set, or the other end has let go of the line (Gone).
ReadResult ReadSome(intptr_t line, intptr_t stop, Clock::time_point until, char* buf, size_t size, size_t& got);

// Takes bytes already waiting, without waiting for more; 0 when none.
size_t ReadWaiting(intptr_t line, char* buf, size_t size);

// Writes all of `bytes` unless `deadline` passes, the stop is set or the
// line fails first.
void WriteAll(intptr_t line, intptr_t stop, const std::string& bytes, Clock::time_point deadline);

bool StopSet(intptr_t stop);

// Sleeps until `until` or until the stop is set.
void WaitForStop(intptr_t stop, Clock::time_point until);

// False when the line is a pty master whose slave no host holds open.
bool HostPresent(intptr_t line);

}  // namespace kvarn::sim::io
