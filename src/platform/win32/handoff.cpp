// The library's hidden message window. A message-only window (parent
// HWND_MESSAGE): it belongs to the thread that created it, receives no
// broadcasts, and works where no desktop does (a hidden top-level window
// cannot be made there).
#include "platform/handoff.h"

#include <windows.h>

#include <cstring>
#include <exception>

namespace kvarn::platform {
namespace {

constexpr UINT kRunMessage = WM_APP + 0x4B1;  // lParam: the Handoff to run
constexpr char kClassName[] = "Kvarn_Rcvr handoff";

struct Handoff {
  const std::function<void()>* Fn;
  bool Ran = false;
  std::exception_ptr Error;
};

// Guards the count and the window; never held while waiting for another
// thread, so the window's thread may take it too.
SRWLOCK gLock = SRWLOCK_INIT;
int gHolders = 0;
HWND gWindow = nullptr;

LRESULT CALLBACK WindowProc(HWND w, UINT msg, WPARAM wp, LPARAM lp);

HINSTANCE ThisModule() {
  HMODULE m = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&WindowProc), &m);
  return m;
}

// A window handle can outlive its window (gone with its thread) and be
// reused: only a window of the library's class is touched.
bool IsLibraryWindow(HWND w) {
  char name[sizeof kClassName + 1] = {};
  return w && GetClassNameA(w, name, sizeof name) > 0 && std::strcmp(name, kClassName) == 0;
}

// gLock held exclusively, by the last release. The class goes with the last
// window, so nothing of the library is left registered once all channels
// are closed.
void DestroyLibraryWindow(HWND w) {
  DestroyWindow(w);
  UnregisterClassA(kClassName, ThisModule());  // fails while another window lives
}

LRESULT CALLBACK WindowProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == kRunMessage) {
    auto* h = reinterpret_cast<Handoff*>(lp);
    h->Ran = true;
    // Nothing may unwind through the window manager: the worker rethrows.
    try {
      (*h->Fn)();
    } catch (...) {
      h->Error = std::current_exception();
    }
    return 1;
  }
  return DefWindowProcA(w, msg, wp, lp);
}

// gLock held exclusively. Null when the window cannot be made: handoffs then
// run on the workers. The class's own procedure is the system's: a class
// left registered after the library is unloaded (its last window went on
// another thread) leads nowhere into unloaded code. The window gets the
// library's procedure once it exists.
HWND MakeWindow() {
  WNDCLASSA wc{};
  wc.lpfnWndProc = DefWindowProcA;
  wc.hInstance = ThisModule();
  wc.lpszClassName = kClassName;
  if (!RegisterClassA(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return nullptr;
  HWND w = CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
  if (w) SetWindowLongPtrA(w, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(WindowProc));
  return w;
}

}  // namespace

void AcquireWindow() {
  AcquireSRWLockExclusive(&gLock);
  if (gHolders++ == 0) gWindow = MakeWindow();
  ReleaseSRWLockExclusive(&gLock);
}

void ReleaseWindow() {
  AcquireSRWLockExclusive(&gLock);
  if (gHolders > 0 && --gHolders == 0) {
    HWND w = gWindow;
    gWindow = nullptr;
    if (!IsLibraryWindow(w)) {
      UnregisterClassA(kClassName, ThisModule());  // the window went with its thread
    } else if (GetWindowThreadProcessId(w, nullptr) == GetCurrentThreadId()) {
      DestroyLibraryWindow(w);
    } else {
      // Only its own thread may destroy it, when it next retrieves its posted
      // messages; the host may unload the library before that. So the
      // window is handed the system's procedure first, and the message that
      // ends it is one the system handles.
      SetWindowLongPtrA(w, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(DefWindowProcA));
      PostMessageA(w, WM_CLOSE, 0, 0);
    }
  }
  ReleaseSRWLockExclusive(&gLock);
}

void RunOnWindowThread(const std::function<void()>& fn) {
  AcquireSRWLockShared(&gLock);
  HWND w = gWindow;
  ReleaseSRWLockShared(&gLock);
  Handoff h{&fn, false, nullptr};
  // Blocks until the window's thread has run it. Fails at once when the
  // window has gone with its thread; the worker then marks the event ready
  // itself rather than never.
  if (w) SendMessageA(w, kRunMessage, 0, reinterpret_cast<LPARAM>(&h));
  if (!h.Ran) {
    fn();
    return;
  }
  if (h.Error) std::rethrow_exception(h.Error);
}

// Without PM_REMOVE and limited to sent messages, this runs what other
// threads have sent to the caller and leaves its posted messages queued.
void ServeHandoffs() {
  MSG m;
  while (PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE)) {
  }
}

}  // namespace kvarn::platform
