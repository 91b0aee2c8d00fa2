#include "win32/driver/scripted_driver.h"

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include "platform/handoff.h"

namespace kvarn_test::driver {
namespace {

constexpr LONG kStatusSuccess = 0;
constexpr LONG kStatusPending = 0x103;
constexpr LONG kStatusCancelled = static_cast<LONG>(0xC0000120);

// The kernel's status for each device error; GetOverlappedResult turns it
// back into the error (checked by the driver's own test).
LONG StatusOf(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED: return static_cast<LONG>(0xC0000022);
    case ERROR_BAD_COMMAND: return static_cast<LONG>(0xC0000184);   // invalid device state
    case ERROR_DEVICE_REMOVED: return static_cast<LONG>(0xC00002B6);
    default: return kStatusCancelled;
  }
}

// --- Memory a pending request owns --------------------------------------------
// Kept apart from the driver's lock: operator delete looks here, and may run
// with that lock held.
struct Range {
  const char* Begin = nullptr;
  size_t Size = 0;
  bool Freed = false;
};
SRWLOCK gRangeLock = SRWLOCK_INIT;
Range gRanges[32];
std::atomic<int> gFreedInFlight{0};

void Own(const void* p, size_t n) {
  AcquireSRWLockExclusive(&gRangeLock);
  for (Range& r : gRanges)
    if (!r.Begin) {
      r = {static_cast<const char*>(p), n, false};
      break;
    }
  ReleaseSRWLockExclusive(&gRangeLock);
}

// False when the port freed some of it meanwhile: the request must not write.
bool Disown(const void* p) {
  bool intact = true;
  AcquireSRWLockExclusive(&gRangeLock);
  for (Range& r : gRanges)
    if (r.Begin == p) {
      intact = !r.Freed;
      r = {};
    }
  ReleaseSRWLockExclusive(&gRangeLock);
  return intact;
}

void NoteFree(const void* p, size_t n) {
  const char* b = static_cast<const char*>(p);
  AcquireSRWLockExclusive(&gRangeLock);
  for (Range& r : gRanges)
    if (r.Begin && r.Begin < b + n && b < r.Begin + r.Size && !r.Freed) {
      r.Freed = true;
      ++gFreedInFlight;
    }
  ReleaseSRWLockExclusive(&gRangeLock);
}

// --- The device ------------------------------------------------------------------
enum class Kind { Wait, Read, Write };

struct Request {
  Kind What;
  OVERLAPPED* Ov;
  DWORD* Mask;  // a wait's
  char* Buf;    // a read's target, or a write's bytes
  DWORD Len;
  bool CancelAsked = false;
  uint64_t Id = 0;
};

struct Device {
  Script S;
  HANDLE Handle = nullptr;  // a real event, signalled as a file object is
  bool Open = false;
  DWORD Removed = 0;
  DCB Dcb{};
  COMMTIMEOUTS Timeouts{};
  DWORD InQueue = 4096;
  DWORD Asked = 0;  // by SetupComm
  DWORD LastRead = 0;
  std::string Input;
  DWORD Errors = 0;
  DWORD Mask = 0;
  DWORD History = 0;  // events that happened while no wait was pending
  bool Hold = false;
  std::string Written;
  std::vector<Request> Pending;
  uint64_t NextId = 1;
  Counts Calls;
  std::string Faults;
};

std::mutex gMu;
Device gDev;

// The error a fake call leaves is set last, once its lock is released and
// whatever else it did (making a thread) cannot overwrite it.
thread_local DWORD tError = 0;
void SetError(DWORD e) { tError = e; }
struct ErrorOnReturn {
  ErrorOnReturn() { tError = 0; }
  ~ErrorOnReturn() {
    if (tError) SetLastError(tError);
  }
};

void Count(const char* name) {
  std::lock_guard lock(gMu);
  ++gDev.Calls[name];
}

DCB DefaultDcb() {
  DCB d{};
  d.DCBlength = sizeof d;
  d.BaudRate = 1200;
  d.fBinary = 1;
  d.fOutxCtsFlow = 1;
  d.fAbortOnError = 1;
  d.XonLim = 100;
  d.XoffLim = 50;
  d.ByteSize = 8;
  d.XonChar = 0x11;
  d.XoffChar = 0x13;
  d.ErrorChar = '?';
  d.EofChar = 0x1A;
  d.EvtChar = 0;
  return d;
}

// gMu held. Each kind of fault is told once.
void Fault(const char* what) {
  if (gDev.Faults.find(what) == std::string::npos) gDev.Faults += what;
}

// gMu held. Writes the result into the record and sets its event (or the
// device's, for a record without one), as the kernel does on completion.
void Complete(Request& r, LONG status, DWORD bytes) {
  const bool intact = Disown(r.Ov) & Disown(r.Buf ? static_cast<void*>(r.Buf) : static_cast<void*>(r.Mask));
  if (!intact) {
    Fault("a request ended into memory the port had freed; ");
    return;
  }
  r.Ov->InternalHigh = bytes;
  InterlockedExchange(reinterpret_cast<volatile LONG*>(&r.Ov->Internal), status);
  SetEvent(r.Ov->hEvent ? r.Ov->hEvent : gDev.Handle);
}

// gMu held.
std::optional<Request> Take(Kind k) {
  for (auto it = gDev.Pending.begin(); it != gDev.Pending.end(); ++it)
    if (it->What == k) {
      Request r = *it;
      gDev.Pending.erase(it);
      return r;
    }
  return std::nullopt;
}

// gMu held.
DWORD TakeInput(char* buf, DWORD n) {
  DWORD got = std::min<DWORD>(n, static_cast<DWORD>(gDev.Input.size()));
  if (gDev.S.ReadCap) got = std::min(got, gDev.S.ReadCap);
  std::memcpy(buf, gDev.Input.data(), got);
  gDev.Input.erase(0, got);
  return got;
}

// gMu held.
void EndRead(Request& r, LONG status) {
  DWORD got = status == kStatusSuccess ? TakeInput(r.Buf, r.Len) : 0;
  Complete(r, status, got);
}

void EndWait(Request& r, DWORD events, LONG status) {
  *r.Mask = events;
  Complete(r, status, sizeof(DWORD));
}

// gMu held. Ends a request with `status`; a wait reports no events.
void End(Request& r, LONG status) {
  if (r.What == Kind::Wait)
    EndWait(r, 0, status);
  else if (r.What == Kind::Read)
    EndRead(r, status);
  else
    Complete(r, status, 0);
}

// gMu held. Starts a request: its record shows it pending, its event is reset.
void Begin(Request r) {
  r.Ov->Internal = kStatusPending;
  r.Ov->InternalHigh = 0;
  if (r.Ov->hEvent) ResetEvent(r.Ov->hEvent);
  Own(r.Ov, sizeof *r.Ov);
  Own(r.Buf ? static_cast<void*>(r.Buf) : static_cast<void*>(r.Mask), r.Buf ? r.Len : sizeof(DWORD));
  r.Id = gDev.NextId++;
  gDev.Pending.push_back(r);
  SetError(ERROR_IO_PENDING);
}

// gMu held. A request done in the call: the record shows it done and its
// event is set, as for a later completion.
BOOL Done(OVERLAPPED* ov, DWORD bytes) {
  ov->Internal = kStatusSuccess;
  ov->InternalHigh = bytes;
  SetEvent(ov->hEvent ? ov->hEvent : gDev.Handle);
  return TRUE;
}

// gMu held. False with the error set when the handle is not the open port.
bool Usable(HANDLE h) {
  if (h != gDev.Handle || !gDev.Open) {
    SetError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (gDev.Removed) {
    SetError(gDev.Removed);
    return false;
  }
  return true;
}

// The common start of a device call: counted, its error set on return, the
// device locked and the handle checked; `body` runs under the lock.
template <typename F>
BOOL OnDevice(const char* name, HANDLE h, F body) {
  Count(name);
  ErrorOnReturn error;
  std::lock_guard lock(gMu);
  if (!Usable(h)) return FALSE;
  return body();
}

// --- The renamed imports -------------------------------------------------------------
HANDLE WINAPI FakeCreateFileA(LPCSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
  Count("CreateFileA");
  ErrorOnReturn error;
  std::lock_guard lock(gMu);
  const std::string n = name;
  const std::string want = "com" + std::to_string(kPort);
  std::string lower(n.size(), ' ');
  std::transform(n.begin(), n.end(), lower.begin(), [](char c) { return static_cast<char>(std::tolower(c)); });
  if (lower != want && lower != "\\\\.\\" + want) {
    SetError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (gDev.Open) {
    SetError(ERROR_ACCESS_DENIED);  // serial devices are exclusive
    return INVALID_HANDLE_VALUE;
  }
  gDev.Open = true;
  return gDev.Handle;
}

BOOL WINAPI FakeCloseHandle(HANDLE h) {
  Count("CloseHandle");
  ErrorOnReturn error;
  {
    std::lock_guard lock(gMu);
    if (h == gDev.Handle) {
      if (!gDev.Open) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
      }
      gDev.Open = false;
      // The last handle going cancels what is pending.
      if (gDev.S.HonourCancel) {
        for (Request& r : gDev.Pending) End(r, kStatusCancelled);
        gDev.Pending.clear();
      }
      return TRUE;
    }
    for (const Request& r : gDev.Pending)
      if (r.Ov->hEvent == h) Fault("closed the event of a pending request; ");
  }
  return CloseHandle(h);
}

BOOL WINAPI FakeSetupComm(HANDLE h, DWORD in, DWORD) {
  return OnDevice("SetupComm", h, [&] {
    gDev.Asked = in;
    gDev.InQueue = std::max(in, gDev.S.MinQueue);
    return TRUE;
  });
}

BOOL WINAPI FakeGetCommState(HANDLE h, LPDCB d) {
  return OnDevice("GetCommState", h, [&] {
    *d = gDev.Dcb;
    return TRUE;
  });
}

BOOL WINAPI FakeSetCommState(HANDLE h, LPDCB d) {
  return OnDevice("SetCommState", h, [&] {
    gDev.Dcb = *d;
    return TRUE;
  });
}

BOOL WINAPI FakeSetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) {
  return OnDevice("SetCommTimeouts", h, [&] {
    gDev.Timeouts = *t;
    return TRUE;
  });
}

// A new mask ends a pending wait with an empty mask and clears the history.
BOOL WINAPI FakeSetCommMask(HANDLE h, DWORD mask) {
  return OnDevice("SetCommMask", h, [&] {
    gDev.Mask = mask;
    gDev.History = 0;
    if (gDev.S.HonourNewMask)
      if (auto w = Take(Kind::Wait)) EndWait(*w, 0, kStatusSuccess);
    return TRUE;
  });
}

BOOL WINAPI FakeWaitCommEvent(HANDLE h, LPDWORD mask, LPOVERLAPPED ov) {
  return OnDevice("WaitCommEvent", h, [&]() -> BOOL {
    for (const Request& r : gDev.Pending)
      if (r.What == Kind::Wait) {
        Fault("a second wait while one is pending; ");
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
      }
    if (gDev.Mask == 0) {
      SetError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    if (gDev.History & gDev.Mask) {
      *mask = gDev.History & gDev.Mask;
      gDev.History = 0;
      return Done(ov, sizeof(DWORD));
    }
    Begin({Kind::Wait, ov, mask, nullptr, 0});
    return FALSE;
  });
}

BOOL WINAPI FakeClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat) {
  return OnDevice("ClearCommError", h, [&]() -> BOOL {
    if (errors) *errors = gDev.Errors;
    gDev.Errors = 0;
    if (stat) {
      *stat = COMSTAT{};
      stat->cbInQue = static_cast<DWORD>(gDev.Input.size());
      for (const Request& r : gDev.Pending)
        if (r.What == Kind::Write) stat->cbOutQue += r.Len;
    }
    return TRUE;
  });
}

void CompleteLater(uint64_t id) {
  std::thread([id] {
    Sleep(2);
    std::lock_guard lock(gMu);
    for (auto it = gDev.Pending.begin(); it != gDev.Pending.end(); ++it)
      if (it->Id == id) {
        Request r = *it;
        gDev.Pending.erase(it);
        EndRead(r, kStatusSuccess);
        return;
      }
  }).detach();
}

BOOL WINAPI FakeReadFile(HANDLE h, LPVOID buf, DWORD n, LPDWORD got, LPOVERLAPPED ov) {
  Count("ReadFile");
  ErrorOnReturn error;
  std::lock_guard lock(gMu);
  if (!Usable(h)) return FALSE;
  if (!ov) {
    Fault("a read without a record on an overlapped handle; ");
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  gDev.LastRead = n;
  if (gDev.S.Read == ReadMode::AtOnce || (gDev.S.Read == ReadMode::OnInput && !gDev.Input.empty())) {
    DWORD taken = TakeInput(static_cast<char*>(buf), n);
    if (got) *got = taken;
    return Done(ov, taken);
  }
  Begin({Kind::Read, ov, nullptr, static_cast<char*>(buf), n});
  if (gDev.S.Read == ReadMode::Pending) CompleteLater(gDev.Pending.back().Id);
  return FALSE;
}

BOOL WINAPI FakeWriteFile(HANDLE h, LPCVOID buf, DWORD n, LPDWORD sent, LPOVERLAPPED ov) {
  Count("WriteFile");
  ErrorOnReturn error;
  std::lock_guard lock(gMu);
  if (!Usable(h)) return FALSE;
  if (!gDev.Hold) {
    gDev.Written.append(static_cast<const char*>(buf), n);
    if (sent) *sent = n;
    return Done(ov, n);
  }
  Begin({Kind::Write, ov, nullptr, static_cast<char*>(const_cast<void*>(buf)), n});
  return FALSE;
}

BOOL WINAPI FakePurgeComm(HANDLE h, DWORD flags) {
  Count("PurgeComm");
  ErrorOnReturn error;
  std::lock_guard lock(gMu);
  if (!Usable(h)) return FALSE;
  if (flags & PURGE_RXCLEAR) gDev.Input.clear();
  return TRUE;
}

BOOL WINAPI FakeCancelIoEx(HANDLE h, LPOVERLAPPED ov) {
  Count("CancelIoEx");
  ErrorOnReturn error;
  std::lock_guard lock(gMu);
  if (h != gDev.Handle || !gDev.Open) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  for (auto it = gDev.Pending.begin(); it != gDev.Pending.end(); ++it)
    if (it->Ov == ov) {
      it->CancelAsked = true;
      if (gDev.S.HonourCancel) {
        Request r = *it;
        gDev.Pending.erase(it);
        End(r, kStatusCancelled);
      }
      return TRUE;
    }
  SetError(ERROR_NOT_FOUND);
  return FALSE;
}

// Real, counted.
DWORD WINAPI CountWaitForMultipleObjects(DWORD n, const HANDLE* h, BOOL all, DWORD ms) {
  Count("WaitForMultipleObjects");
  return WaitForMultipleObjects(n, h, all, ms);
}
DWORD WINAPI CountWaitForSingleObject(HANDLE h, DWORD ms) {
  Count("WaitForSingleObject");
  return WaitForSingleObject(h, ms);
}
BOOL WINAPI CountGetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD n, BOOL wait) {
  Count("GetOverlappedResult");
  return GetOverlappedResult(h, ov, n, wait);
}
BOOL WINAPI CountSetEvent(HANDLE h) {
  Count("SetEvent");
  return SetEvent(h);
}
BOOL WINAPI CountResetEvent(HANDLE h) {
  Count("ResetEvent");
  return ResetEvent(h);
}
void WINAPI CountSleep(DWORD ms) {
  Count("Sleep");
  Sleep(ms);
}

// The test programs run under Wine; the port sees Wine only when the script
// says so.
FARPROC WINAPI FakeGetProcAddress(HMODULE module, LPCSTR name) {
  if (HIWORD(reinterpret_cast<uintptr_t>(name)) && std::string_view(name) == "wine_get_version") {
    std::lock_guard lock(gMu);
    if (!gDev.S.Wine) return nullptr;
  }
  return GetProcAddress(module, name);
}

}  // namespace

// The import slots the renamed object calls through (see tests/CMakeLists.txt).
#define KVARN_SLOT(name, fn) \
  extern "C" {                                                        \
  void* kvarn_slot_##name __asm__("kvarn_slot_" #name) = reinterpret_cast<void*>(&fn); \
  }
KVARN_SLOT(CreateFileA, FakeCreateFileA)
KVARN_SLOT(CloseHandle, FakeCloseHandle)
KVARN_SLOT(SetupComm, FakeSetupComm)
KVARN_SLOT(GetCommState, FakeGetCommState)
KVARN_SLOT(SetCommState, FakeSetCommState)
KVARN_SLOT(SetCommTimeouts, FakeSetCommTimeouts)
KVARN_SLOT(SetCommMask, FakeSetCommMask)
KVARN_SLOT(WaitCommEvent, FakeWaitCommEvent)
KVARN_SLOT(ClearCommError, FakeClearCommError)
KVARN_SLOT(ReadFile, FakeReadFile)
KVARN_SLOT(WriteFile, FakeWriteFile)
KVARN_SLOT(PurgeComm, FakePurgeComm)
KVARN_SLOT(CancelIoEx, FakeCancelIoEx)
KVARN_SLOT(WaitForMultipleObjects, CountWaitForMultipleObjects)
KVARN_SLOT(WaitForSingleObject, CountWaitForSingleObject)
KVARN_SLOT(GetOverlappedResult, CountGetOverlappedResult)
KVARN_SLOT(SetEvent, CountSetEvent)
KVARN_SLOT(ResetEvent, CountResetEvent)
KVARN_SLOT(Sleep, CountSleep)
KVARN_SLOT(GetProcAddress, FakeGetProcAddress)

void Reset(const Script& script) {
  CompleteAbandoned();
  std::lock_guard lock(gMu);
  if (!gDev.Handle) gDev.Handle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE h = gDev.Handle;
  gDev = Device{};
  gDev.Handle = h;
  gDev.S = script;
  gDev.InQueue = script.InQueue;
  gDev.Dcb = DefaultDcb();
  gFreedInFlight = 0;
}

bool Pending(Kind what) {
  std::lock_guard lock(gMu);
  return std::any_of(gDev.Pending.begin(), gDev.Pending.end(), [what](const Request& r) { return r.What == what; });
}

void Send(std::string_view bytes) {
  std::lock_guard lock(gMu);
  for (char c : bytes) {
    if (gDev.Input.size() >= gDev.InQueue) {
      gDev.Errors |= CE_RXOVER;  // the byte is lost
      continue;
    }
    gDev.Input += c;
    if (gDev.S.Read == ReadMode::OnInput)
      if (auto r = Take(Kind::Read)) EndRead(*r, kStatusSuccess);
    DWORD ev = (EV_RXCHAR | (c == gDev.Dcb.EvtChar ? EV_RXFLAG : 0)) & gDev.Mask;
    if (!ev) continue;
    if (auto w = Take(Kind::Wait))
      EndWait(*w, ev | (gDev.History & gDev.Mask), kStatusSuccess);
    else
      gDev.History |= ev;
  }
}

void HoldOutput(bool hold) {
  std::lock_guard lock(gMu);
  gDev.Hold = hold;
  if (hold) return;
  while (auto w = Take(Kind::Write)) {
    gDev.Written.append(w->Buf, w->Len);  // still owned: Complete checks it was not freed
    Complete(*w, kStatusSuccess, w->Len);
  }
}

void Remove(DWORD error) {
  std::lock_guard lock(gMu);
  gDev.Removed = error;
  for (Request& r : gDev.Pending) End(r, StatusOf(error));
  gDev.Pending.clear();
}

void CompleteAbandoned() {
  std::lock_guard lock(gMu);
  for (Request& r : gDev.Pending) End(r, kStatusCancelled);
  gDev.Pending.clear();
}

void StrayWake() {
  std::lock_guard lock(gMu);
  for (const Request& r : gDev.Pending)
    if (r.What == Kind::Wait) SetEvent(r.Ov->hEvent);
}

std::string Written() {
  std::lock_guard lock(gMu);
  return gDev.Written;
}
size_t Queued() {
  std::lock_guard lock(gMu);
  return gDev.Input.size();
}
bool IsOpen() {
  std::lock_guard lock(gMu);
  return gDev.Open;
}
bool WaitPending() { return Pending(Kind::Wait); }
bool ReadPending() { return Pending(Kind::Read); }
// A copy of one field of the device, taken under its lock.
template <typename T>
T Locked(const T& field) {
  std::lock_guard lock(gMu);
  return field;
}
DWORD Mask() { return Locked(gDev.Mask); }
DCB State() { return Locked(gDev.Dcb); }
COMMTIMEOUTS Timeouts() { return Locked(gDev.Timeouts); }
DWORD InQueueSize() { return Locked(gDev.Asked); }
DWORD LastReadAsked() { return Locked(gDev.LastRead); }
Counts Calls() { return Locked(gDev.Calls); }
uint64_t Calls(const std::string& name) {
  std::lock_guard lock(gMu);
  auto it = gDev.Calls.find(name);
  return it == gDev.Calls.end() ? 0 : it->second;
}
std::string Faults() {
  std::lock_guard lock(gMu);
  std::string f = gDev.Faults;
  if (gFreedInFlight) f += std::to_string(gFreedInFlight.load()) + " freed while a pending request owned them; ";
  return f;
}

DWORD ErrorOfPendingWait(DWORD error) {
  Reset();
  HANDLE h = FakeCreateFileA("Com7", 0, 0, nullptr, 0, 0, nullptr);
  FakeSetCommMask(h, EV_RXFLAG);
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD mask = 0, n = 0, got = 0;
  if (!FakeWaitCommEvent(h, &mask, &ov) && GetLastError() == ERROR_IO_PENDING) {
    Remove(error);
    if (!GetOverlappedResult(h, &ov, &n, TRUE)) got = GetLastError();
  }
  CloseHandle(ov.hEvent);
  Reset();
  return got;
}

bool Await(uint32_t ms, const std::function<bool()>& done) {
  for (const ULONGLONG end = GetTickCount64() + ms;; Sleep(1)) {
    kvarn::platform::ServeHandoffs();
    if (done()) return true;
    if (GetTickCount64() >= end) return false;
  }
}

bool AwaitWritten(size_t n, uint32_t ms) {
  return Await(ms, [n] { return Written().size() >= n; });
}

}  // namespace kvarn_test::driver

// Every free is checked against the memory pending requests own.
void* operator new(size_t n) {
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  if (!p) return;
  kvarn_test::driver::NoteFree(p, _msize(p));
  std::free(p);
}
void operator delete(void* p, size_t) noexcept { operator delete(p); }
