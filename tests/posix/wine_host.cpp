#include "wine_host.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "support/record_hex.h"

namespace kvarn::test {

namespace fs = std::filesystem;

// Long enough for a first start of Wine; a host that says nothing for this
// long has hung, and the test fails instead of waiting for ever.
constexpr int kReplyMs = 60000;

std::string Win32BuildDir() {
  // Made absolute on the first call, before a test moves into its scratch
  // directory.
  static const std::string dir = [] {
    const char* d = getenv("KVARN_WIN32_BUILD");
    return d && *d && getenv("WINEPREFIX") ? fs::absolute(d).string() : std::string();
  }();
  return dir;
}

WineComPort::WineComPort(int port, const std::string& device)
    : link_(std::string(getenv("WINEPREFIX")) + "/dosdevices/com" + std::to_string(port)) {
  std::error_code ec;
  fs::remove(link_, ec);
  fs::create_symlink(device, link_);
}

WineComPort::~WineComPort() {
  std::error_code ec;
  fs::remove(link_, ec);
}

WineHost::WineHost(const std::string& win32Build) {
  const std::string exe = win32Build + "/kvarn_remote_host.exe";
  if (!fs::exists(exe)) throw std::runtime_error(exe + " is missing");
  signal(SIGPIPE, SIG_IGN);  // a host that died fails the call, not the test program
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("no pipe");
  pid_ = fork();
  if (pid_ == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    execlp("wine", "wine", exe.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  toHost_ = in[1];
  fromHost_ = out[0];
  if (pid_ < 0) throw std::runtime_error("no fork");
  std::string first;
  try {
    first = ReadLine("its start");
  } catch (const std::exception&) {
  }
  if (first != "ready") {
    kill(pid_, SIGKILL);
    Stop();
    throw std::runtime_error(exe + " did not start under Wine");
  }
}

WineHost::~WineHost() {
  static const char kQuit[] = "quit\n";
  if (write(toHost_, kQuit, sizeof kQuit - 1) < 0) kill(pid_, SIGKILL);
  Stop();
}

void WineHost::Stop() {
  close(toHost_);
  int status = 0;
  waitpid(pid_, &status, 0);
  close(fromHost_);
}

std::string WineHost::Call(const std::string& line) {
  std::lock_guard<std::mutex> hold(lock_);
  const std::string text = line + "\n";
  if (write(toHost_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
    throw std::runtime_error("the Wine host is gone");
  return ReadLine(line);
}

std::string WineHost::ReadLine(const std::string& after) {
  size_t end;
  while ((end = received_.find('\n')) == std::string::npos) {
    pollfd p{fromHost_, POLLIN, 0};
    char buf[512];
    ssize_t n = 0;
    if (poll(&p, 1, kReplyMs) <= 0 || (n = read(fromHost_, buf, sizeof buf)) <= 0)
      throw std::runtime_error("no answer from the Wine host to: " + after);
    received_.append(buf, static_cast<size_t>(n));
  }
  std::string reply = received_.substr(0, end);
  received_.erase(0, end + 1);
  return reply;
}

int WineHost::Open(int port, int receiver) {
  const std::string reply = Call("open " + std::to_string(port) + " " + std::to_string(receiver));
  return reply.rfind("ok ", 0) == 0 ? std::stoi(reply.substr(3)) : 0;
}

int WineHost::GetMsg(int id, TlfMsg& m) {
  const std::string reply = Call("get " + std::to_string(id) + " " + RecordHex(m));
  if (reply == "none") return 0;
  if (reply.rfind("msg ", 0) != 0 || !RecordFromHex(reply.substr(4), m))
    throw std::runtime_error("the Wine host answered: " + reply);
  return 1;
}

void WineHost::Close(int id) { Call("close " + std::to_string(id)); }

}  // namespace kvarn::test
