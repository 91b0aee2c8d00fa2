// A host played by the test on one end of a pseudo-terminal, driving the
// simulated receiver on the other: it reads frames up to DC4 and answers
// them as the test says.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>

namespace kvarn::sim::testing {

struct PtyPair {
  int master = -1;
  int slave = -1;

  PtyPair() {
    termios raw{};
    cfmakeraw(&raw);
    openpty(&master, &slave, nullptr, &raw, nullptr);
  }
  ~PtyPair() {
    if (master >= 0) close(master);
    if (slave >= 0) close(slave);
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;
};

class ScriptedHost {
 public:
  explicit ScriptedHost(int fd) : FFd(fd) {}

  // The next frame without its DC4, or nullopt when none ends in time.
  std::optional<std::string> NextFrame(std::chrono::milliseconds timeout = std::chrono::seconds(3)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (size_t dc4 = FBuf.find('\x14'); dc4 != std::string::npos) {
        std::string frame = FBuf.substr(0, dc4);
        FBuf.erase(0, dc4 + 1);
        return frame;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd p{FFd, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0 || !(p.revents & POLLIN)) continue;
      char chunk[256];
      ssize_t n = read(FFd, chunk, sizeof chunk);
      if (n > 0) FBuf.append(chunk, static_cast<size_t>(n));
    }
  }

  void Ack() { Put('\x06'); }
  void Nak() { Put('\x15'); }

 private:
  void Put(char c) { (void)!write(FFd, &c, 1); }

  int FFd;
  std::string FBuf;
};

}  // namespace kvarn::sim::testing
