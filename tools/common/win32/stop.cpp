#include <windows.h>

#include <atomic>

#include "common/stop.h"

namespace kvarn::tools {
namespace {

// The console runs the handler on a thread of its own: it only sets the
// flag and the event that every wait of the tools includes.
std::atomic<bool> gStop{false};
HANDLE gStopEvent = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD) {
  gStop = true;
  SetEvent(gStopEvent);
  return TRUE;
}

// The library hands events over through a window of the thread that opened
// the channels: that thread must dispatch its messages while it waits.
void ServeMessages() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

}  // namespace

void InstallStopHandlers() {
  if (!gStopEvent) gStopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool StopRequested() { return gStop; }

void SleepOrStop(int ms) {
  const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(ms);
  const DWORD handles = gStopEvent ? 1 : 0;
  for (;;) {
    ServeMessages();
    const ULONGLONG now = GetTickCount64();
    if (gStop || now >= end) return;
    DWORD r = MsgWaitForMultipleObjectsEx(handles, &gStopEvent, static_cast<DWORD>(end - now), QS_ALLINPUT,
                                          MWMO_INPUTAVAILABLE);
    if (r != WAIT_OBJECT_0 + handles) return;  // stopped, timed out or failed
  }
}

intptr_t StopHandle() { return gStopEvent ? reinterpret_cast<intptr_t>(gStopEvent) : -1; }

bool ChangeDirectory(const std::string& dir, std::string& error) {
  if (SetCurrentDirectoryA(dir.c_str())) return true;
  error = "error " + std::to_string(GetLastError());
  return false;
}

}  // namespace kvarn::tools
