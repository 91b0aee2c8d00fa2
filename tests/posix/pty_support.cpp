#include "pty_support.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <stdexcept>

namespace kvarn::test {

namespace fs = std::filesystem;

Pty::Pty() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) throw std::runtime_error("no pty");
  slavePath_ = ptsname(master_);
  slave_ = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ < 0) throw std::runtime_error("no pty slave");
}

Pty::~Pty() {
  CloseMaster();
  if (slave_ >= 0) close(slave_);
}

void Pty::Send(std::string_view bytes) const {
  while (!bytes.empty()) {
    ssize_t n = write(master_, bytes.data(), bytes.size());
    if (n <= 0) throw std::runtime_error("pty write failed");
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

std::string Pty::Receive(uint32_t ms, size_t count) const {
  std::string got;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (got.size() < count) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0 || !(p.revents & POLLIN)) break;
    char buf[256];
    ssize_t n = read(master_, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

void Pty::CloseMaster() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

ScratchDir::ScratchDir() : saved_(fs::current_path()) {
  std::string tmpl = (fs::temp_directory_path() / "kvarn_pty_XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("no temp dir");
  dir_ = tmpl;
  fs::current_path(dir_);
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  fs::current_path(saved_, ec);
  fs::remove_all(dir_, ec);
}

void ScratchDir::Link(int port, const std::string& target) const {
  fs::create_symlink(target, dir_ / ("Com" + std::to_string(port)));
}

void ScratchDir::Write(const std::string& name, const std::string& text) const {
  std::ofstream(dir_ / name, std::ios::binary) << text;
}

size_t OpenFdCount() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

size_t ThreadCount() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/task")) ++n;
  return n;
}

}  // namespace kvarn::test
