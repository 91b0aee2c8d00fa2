// A Windows host program that a Linux test drives through its standard input
// and output, so that tests written against the .so can run the DLL under
// Wine. It loads Kvarn_Rcvr.dll by name, as hosts do, and answers one line
// per command, after a first line "ready" once the DLL is loaded:
//
//   open PORT RECEIVER  ->  ok ID  |  fail
//   get ID HEX          ->  msg HEX  |  none
//
// HEX is the 48-byte record in 96 hex digits: the caller's record goes in as
// it stands, so that what the library leaves unwritten comes back unchanged.
//   close ID            ->  ok
//   quit (or the end of input): closes what is open and exits
//
// Channels are opened on the main thread, which serves the library's window
// all the time; the other calls run on the thread that reads the commands,
// which the library allows.
#include <windows.h>

#include <cstdio>
#include <map>
#include <string>

#include "kvarn_rcvr.h"
#include "support/record_hex.h"

namespace {

using InitFn = TlfChannel(TLF_CALL*)(int, int);
using GetFn = int(TLF_CALL*)(TlfChannel, TlfMsg*);
using CloseFn = int(TLF_CALL*)(TlfChannel);

InitFn gInit;
GetFn gGet;
CloseFn gClose;
DWORD gMainThread;

// An open request carried to the main thread.
struct OpenRequest {
  int Port, Receiver;
  TlfChannel Result = nullptr;
  HANDLE Done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
};

void Reply(const std::string& line) {
  const std::string text = line + "\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

TlfChannel OpenOnMainThread(int port, int receiver) {
  OpenRequest r{port, receiver};
  if (PostThreadMessageA(gMainThread, WM_APP, 0, reinterpret_cast<LPARAM>(&r)))
    WaitForSingleObject(r.Done, INFINITE);
  CloseHandle(r.Done);
  return r.Result;
}

class Commands {
 public:
  ~Commands() {
    for (auto& [id, channel] : FOpen) gClose(channel);
  }

  void Run(const std::string& line) {
    char verb[16] = {}, record[100] = {};
    int a = 0, b = 0;
    const int n = std::sscanf(line.c_str(), "%15s %d %d", verb, &a, &b);
    TlfMsg m;
    const std::string v = n > 0 ? verb : "";
    if (v == "open" && n == 3) {
      TlfChannel c = OpenOnMainThread(a, b);
      if (c) FOpen[++FLastId] = c;
      Reply(c ? "ok " + std::to_string(FLastId) : "fail");
    } else if (v == "get" && std::sscanf(line.c_str(), "get %d %99s", &a, record) == 2 && FOpen.count(a) &&
               kvarn::test::RecordFromHex(record, m)) {
      Reply(gGet(FOpen[a], &m) == 1 ? "msg " + kvarn::test::RecordHex(m) : "none");
    } else if (v == "close" && n == 2 && FOpen.count(a)) {
      gClose(FOpen[a]);
      FOpen.erase(a);
      Reply("ok");
    } else {
      Reply("error " + line);
    }
  }

 private:
  std::map<int, TlfChannel> FOpen;
  int FLastId = 0;
};

// Runs commands until "quit" or the end of input.
void Serve(Commands& commands) {
  std::string pending;
  char buf[256];
  DWORD got = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buf, sizeof buf, &got, nullptr) && got > 0) {
    pending.append(buf, got);
    for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
      std::string line = pending.substr(0, end);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line == "quit") return;
      commands.Run(line);
    }
  }
}

DWORD WINAPI ReadCommands(void*) {
  {
    Commands commands;
    Serve(commands);
  }  // every channel is closed before the main thread lets go of the window
  PostThreadMessageA(gMainThread, WM_QUIT, 0, 0);
  return 0;
}

}  // namespace

int main() {
  HMODULE dll = LoadLibraryA("Kvarn_Rcvr.dll");
  if (!dll) {
    std::fprintf(stderr, "kvarn_remote_host: Kvarn_Rcvr.dll not loaded (%lu)\n", GetLastError());
    return 2;
  }
  gInit = reinterpret_cast<InitFn>(reinterpret_cast<void*>(GetProcAddress(dll, "tlf_InitComm")));
  gGet = reinterpret_cast<GetFn>(reinterpret_cast<void*>(GetProcAddress(dll, "tlf_GetMsg")));
  gClose = reinterpret_cast<CloseFn>(reinterpret_cast<void*>(GetProcAddress(dll, "tlf_CloseComm")));
  if (!gInit || !gGet || !gClose) return 2;
  gMainThread = GetCurrentThreadId();
  MSG msg;
  PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the queue exists before the reader posts to it
  HANDLE reader = CreateThread(nullptr, 0, ReadCommands, nullptr, 0, nullptr);
  if (!reader) return 2;
  Reply("ready");
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    if (!msg.hwnd && msg.message == WM_APP) {
      auto* r = reinterpret_cast<OpenRequest*>(msg.lParam);
      r->Result = gInit(r->Port, r->Receiver);
      SetEvent(r->Done);
      continue;
    }
    DispatchMessageA(&msg);
  }
  WaitForSingleObject(reader, INFINITE);
  return 0;
}
