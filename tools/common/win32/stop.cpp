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

}  // namespace

void InstallStopHandlers() {
  if (!gStopEvent) gStopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool StopRequested() { return gStop; }

void SleepOrStop(int ms) {
  if (gStopEvent)
    WaitForSingleObject(gStopEvent, static_cast<DWORD>(ms));
  else
    Sleep(static_cast<DWORD>(ms));
}

intptr_t StopHandle() { return gStopEvent ? reinterpret_cast<intptr_t>(gStopEvent) : -1; }

bool ChangeDirectory(const std::string& dir, std::string& error) {
  if (SetCurrentDirectoryA(dir.c_str())) return true;
  error = "error " + std::to_string(GetLastError());
  return false;
}

}  // namespace kvarn::tools
