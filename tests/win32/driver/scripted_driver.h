// A scripted Windows serial driver at the kernel32 boundary. The production
// Win32 serial port's object file is linked into the driver tests with its
// serial-device imports renamed to this driver's entry points, so that code
// runs unchanged against a device whose every behaviour a test chooses.
// Events, waits, GetOverlappedResult and GetLastError stay the system's:
// the driver fills the OVERLAPPED records (Internal, InternalHigh, the event
// mask) and sets their events as the kernel does. The waits and event calls
// of the port pass through counters, so tests can count system calls.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace kvarn_test::driver {

// The device the port opens: "Com7" and "\\.\Com7".
constexpr int kPort = 7;

enum class ReadMode {
  AtOnce,   // a read completes in the call with what the queue holds
  Pending,  // a read returns ERROR_IO_PENDING and completes on the driver's thread
  Never,    // a read stays pending until cancelled
  OnInput,  // a read stays pending until bytes arrive, then takes them (Wine's)
};

struct Script {
  ReadMode Read = ReadMode::AtOnce;
  DWORD ReadCap = 0;           // a read takes at most this many bytes (0: no cap)
  bool HonourCancel = true;    // CancelIoEx and closing the handle end pending requests
  bool HonourNewMask = true;   // SetCommMask ends a pending wait with an empty mask
  DWORD InQueue = 4096;        // input queue size until SetupComm sets it
  DWORD MinQueue = 0;          // SetupComm's size is a request: at least this is used
  bool Wine = false;           // the port is opened as under Wine (it reads ahead)
};

// What the port did, counted per entry point ("WaitCommEvent", "ReadFile",
// "WaitForMultipleObjects", ...).
using Counts = std::map<std::string, uint64_t>;

// Starts a fresh device: closed, empty queues, no history, nothing pending.
// Requests a previous test left pending are completed first.
void Reset(const Script& script = {});

// The receiver's side of the line.
void Send(std::string_view bytes);
// XOFF received or CTS low: writes stay pending until released.
void HoldOutput(bool hold);
// The device is gone: pending requests end with `error` and every later call
// fails with it at once. ERROR_ACCESS_DENIED, ERROR_BAD_COMMAND,
// ERROR_OPERATION_ABORTED or ERROR_DEVICE_REMOVED.
void Remove(DWORD error);
// Completes what a driver that ignores cancellation still holds, as late as
// it likes; a record it writes into that the port freed is a fault.
void CompleteAbandoned();
// Sets the read record's event of the pending wait without ending it.
void StrayWake();

std::string Written();  // bytes the port wrote, in order
size_t Queued();        // bytes in the input queue
bool IsOpen();
bool WaitPending();
bool ReadPending();
DWORD Mask();  // the event mask last set
DCB State();
COMMTIMEOUTS Timeouts();
DWORD InQueueSize();   // as SetupComm asked for it
DWORD LastReadAsked();  // bytes the last ReadFile asked for
Counts Calls();
uint64_t Calls(const std::string& name);
// Faults of the port against the driver: a freed record or buffer that a
// pending request still owned, a closed event of a pending request, a second
// wait started while one is pending.
std::string Faults();

// Starts a wait on the device itself, removes the device with `error` and
// returns the error GetOverlappedResult reports for the wait.
DWORD ErrorOfPendingWait(DWORD error);

// Waits until `done` holds, serving the handoffs sent to this thread.
bool Await(uint32_t ms, const std::function<bool()>& done);
bool AwaitWritten(size_t n, uint32_t ms = 5000);

}  // namespace kvarn_test::driver
