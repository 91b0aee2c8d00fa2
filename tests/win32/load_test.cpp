// A host that loads the DLL, asks its name, interprets a status line and
// unloads it again without opening a channel: nothing of the library's own
// may run, so no thread, window or file may appear.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "kvarn_rcvr.h"
#include "win32/dll_under_test.h"
// After windows.h, which it needs.
#include <tlhelp32.h>

namespace kvarn_test {
namespace {

int ThreadCount() {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snap == INVALID_HANDLE_VALUE) return -1;
  int n = 0;
  THREADENTRY32 te{};
  te.dwSize = sizeof te;
  for (BOOL ok = Thread32First(snap, &te); ok; ok = Thread32Next(snap, &te))
    if (te.th32OwnerProcessID == GetCurrentProcessId()) ++n;
  CloseHandle(snap);
  return n;
}

BOOL CALLBACK CountWindow(HWND, LPARAM count) {
  ++*reinterpret_cast<int*>(count);
  return TRUE;
}

// Windows of this thread, message-only ones included (EnumThreadWindows
// does not list those).
int WindowCount() {
  int n = 0;
  EnumThreadWindows(GetCurrentThreadId(), CountWindow, reinterpret_cast<LPARAM>(&n));
  for (HWND w = FindWindowExA(HWND_MESSAGE, nullptr, nullptr, nullptr); w;
       w = FindWindowExA(HWND_MESSAGE, w, nullptr, nullptr))
    if (GetWindowThreadProcessId(w, nullptr) == GetCurrentThreadId()) ++n;
  return n;
}

std::vector<std::string> DirEntries(const std::string& dir) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA fd;
  HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return names;
  do {
    const std::string name = fd.cFileName;
    if (name != "." && name != "..") names.push_back(name);
  } while (FindNextFileA(h, &fd));
  FindClose(h);
  return names;
}

struct Activity {
  int threads;
  int windows;
};
Activity Now() { return {ThreadCount(), WindowCount()}; }

void ExpectQuiet(const Activity& before, const Activity& now, const char* when) {
  EXPECT_EQ(now.threads, before.threads) << "threads " << when;
  EXPECT_EQ(now.windows, before.windows) << "windows " << when;
}

TEST(DllLoad, LoadCallUnloadIsQuiet) {
  char temp[MAX_PATH];
  ASSERT_GT(GetTempPathA(MAX_PATH, temp), 0u);
  const std::string dir = std::string(temp) + "kvarn-load-" + std::to_string(GetCurrentProcessId());
  ASSERT_TRUE(CreateDirectoryA(dir.c_str(), nullptr)) << dir;
  char oldDir[MAX_PATH];
  ASSERT_GT(GetCurrentDirectoryA(MAX_PATH, oldDir), 0u);
  ASSERT_TRUE(SetCurrentDirectoryA(dir.c_str()));
  // Absolute path: the current directory is the scratch one now.
  const std::string dll = DllPath();
  ASSERT_EQ(GetModuleHandleA("Kvarn_Rcvr.dll"), nullptr) << "already loaded; this test needs a fresh load";

  const Activity before = Now();
  ASSERT_GT(before.threads, 0);
  HMODULE lib = LoadLibraryA(dll.c_str());
  ASSERT_NE(lib, nullptr) << GetLastError();
  ExpectQuiet(before, Now(), "after load");

  auto getName = reinterpret_cast<decltype(&Tlf_GetNameN4)>(reinterpret_cast<void*>(GetProcAddress(lib, "Tlf_GetNameN4")));
  auto getSysMsg =
      reinterpret_cast<decltype(&tlf_GetSysMsg)>(reinterpret_cast<void*>(GetProcAddress(lib, "tlf_GetSysMsg")));
  ASSERT_TRUE(getName && getSysMsg);
  int id1 = 0;
  EXPECT_STREQ(getName(&id1, nullptr, nullptr), "Kvarn_Rcvr");
  const unsigned char line[] = "\x07   R E1";
  unsigned int bits = 0;
  unsigned char marks[14] = {};
  int info = 0;
  getSysMsg(0, line, &bits, marks, &info);
  EXPECT_EQ(marks[0], 255);
  ExpectQuiet(before, Now(), "after the calls");

  EXPECT_TRUE(FreeLibrary(lib));
  ExpectQuiet(before, Now(), "after unload");
  EXPECT_EQ(DirEntries(dir), std::vector<std::string>{});

  SetCurrentDirectoryA(oldDir);
  RemoveDirectoryA(dir.c_str());
}

// The last channel closed on another thread than the window's, and the
// library unloaded there, as a host may once every channel is closed: when
// the window's thread next retrieves its messages, nothing may lead into the
// unloaded code. Run by wine_check.py, which maps a port.
TEST(DllUnload, WindowThreadRetrievesMessagesAfterTheLibraryWentOnAnotherThread) {
  const char* port = std::getenv("KVARN_TEST_COM_PORT");
  if (!port) GTEST_SKIP() << "no COM port mapped to a pseudo-terminal";
  HMODULE lib = LoadLibraryA(DllPath().c_str());
  ASSERT_NE(lib, nullptr);
  auto init = reinterpret_cast<decltype(&tlf_InitComm)>(reinterpret_cast<void*>(GetProcAddress(lib, "tlf_InitComm")));
  auto close =
      reinterpret_cast<decltype(&tlf_CloseComm)>(reinterpret_cast<void*>(GetProcAddress(lib, "tlf_CloseComm")));
  ASSERT_TRUE(init && close);
  TlfChannel channel = init(std::atoi(port), 1);  // this thread owns the window
  ASSERT_NE(channel, nullptr);
  const int windows = WindowCount();
  EXPECT_GE(windows, 1);
  std::thread([&] {
    close(channel);
    FreeLibrary(lib);
  }).join();
  ASSERT_EQ(GetModuleHandleA("Kvarn_Rcvr.dll"), nullptr) << "still loaded";
  MSG m;
  while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
  EXPECT_EQ(WindowCount(), windows - 1) << "the window outlived its dispatch";
}

}  // namespace
}  // namespace kvarn_test
