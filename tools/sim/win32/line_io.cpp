#include <windows.h>

#include <algorithm>

#include "sim/line_io.h"

namespace kvarn::sim::io {
namespace {

HANDLE H(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

// Whole milliseconds, rounded up so a wait never ends early.
DWORD MsUntil(Clock::time_point until) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
  return static_cast<DWORD>(std::clamp<long long>(left, 0, 60'000));
}

// One read: returns at once with what is queued, else after the port's read
// slice (set when it was opened) with what came in meanwhile.
bool ReadOnce(intptr_t line, char* buf, size_t size, size_t& got) {
  DWORD n = 0;
  BOOL ok = ReadFile(H(line), buf, static_cast<DWORD>(std::min<size_t>(size, 4096)), &n, nullptr);
  got = n;
  return ok != 0;
}

}  // namespace

void Prepare(intptr_t) {}  // the write time-out set at open keeps writes bounded

ReadResult ReadSome(intptr_t line, intptr_t stop, Clock::time_point until, char* buf, size_t size, size_t& got) {
  got = 0;
  for (;;) {
    if (StopSet(stop)) return ReadResult::Stop;
    if (Clock::now() >= until) return ReadResult::Timeout;
    if (!ReadOnce(line, buf, size, got)) {
      // The port failed (an adapter pulled out): nothing can answer now.
      got = 0;
      return ReadResult::Gone;
    }
    if (got > 0) return ReadResult::Data;
  }
}

size_t ReadWaiting(intptr_t line, char* buf, size_t size) {
  DWORD errors = 0;
  COMSTAT st{};
  if (!ClearCommError(H(line), &errors, &st) || st.cbInQue == 0) return 0;
  size_t got = 0;
  return ReadOnce(line, buf, std::min<size_t>(size, st.cbInQue), got) ? got : 0;
}

void WriteAll(intptr_t line, intptr_t stop, const std::string& bytes, Clock::time_point deadline) {
  size_t done = 0;
  while (done < bytes.size() && !StopSet(stop) && Clock::now() < deadline) {
    DWORD n = 0;
    if (!WriteFile(H(line), bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &n, nullptr)) return;
    done += n;
  }
}

bool StopSet(intptr_t stop) { return stop != -1 && WaitForSingleObject(H(stop), 0) == WAIT_OBJECT_0; }

void WaitForStop(intptr_t stop, Clock::time_point until) {
  if (stop != -1)
    WaitForSingleObject(H(stop), MsUntil(until));
  else
    Sleep(MsUntil(until));
}

// A COM port has no sign of who holds its far end.
bool HostPresent(intptr_t) { return true; }

}  // namespace kvarn::sim::io
