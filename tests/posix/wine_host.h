// The DLL under Wine, driven from a Linux test through the small Windows
// host program kvarn_remote_host.exe, so that tests written against the .so
// also run the Windows build.
#pragma once

#include <sys/types.h>

#include <mutex>
#include <string>

#include "kvarn_rcvr.h"

namespace kvarn::test {

// The Win32 build directory named by KVARN_WIN32_BUILD, or empty when runs
// under Wine are not asked for. They also need WINEPREFIX with a running
// server (scripts/lib.sh, kvarn_wine_env). A relative name is taken from the
// directory of the first call.
std::string Win32BuildDir();

// COM<port> of the Wine prefix, linked to `device` while this object lives.
class WineComPort {
 public:
  WineComPort(int port, const std::string& device);
  ~WineComPort();
  WineComPort(const WineComPort&) = delete;
  WineComPort& operator=(const WineComPort&) = delete;

 private:
  std::string link_;
};

// One host process under Wine, started in the current directory (its Rn.ini
// and Tlflog are the test's). Calls may come from several threads.
class WineHost {
 public:
  explicit WineHost(const std::string& win32Build);
  ~WineHost();  // closes what is open and waits for the process
  WineHost(const WineHost&) = delete;
  WineHost& operator=(const WineHost&) = delete;

  int Open(int port, int receiver);  // a channel id; 0 when tlf_InitComm failed
  int GetMsg(int id, TlfMsg& m);  // what the library leaves unwritten in m stays
  void Close(int id);
  pid_t Pid() const { return pid_; }

 private:
  std::string Call(const std::string& line);
  std::string ReadLine(const std::string& after);  // the next line from the host
  void Stop();  // waits for the process to end, after it was told to

  std::mutex lock_;
  pid_t pid_ = -1;
  int toHost_ = -1;
  int fromHost_ = -1;
  std::string received_;
};

}  // namespace kvarn::test
