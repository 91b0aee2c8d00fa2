// A pseudo-terminal pair standing in for a receiver's serial line, and a
// scratch working directory in which "ComN" links to its slave side.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace kvarn::test {

class Pty {
 public:
  Pty();  // opens the pair; the test keeps the slave open too
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  int Master() const { return master_; }
  int Slave() const { return slave_; }
  const std::string& SlavePath() const { return slavePath_; }

  // The receiver sends bytes.
  void Send(std::string_view bytes) const;
  // What the library wrote, collected for `ms` or until `count` bytes came.
  std::string Receive(uint32_t ms, size_t count = SIZE_MAX) const;
  void CloseMaster();

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
};

// A fresh temporary directory as the current directory for one test.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const std::filesystem::path& Path() const { return dir_; }
  void Link(int port, const std::string& target) const;  // "Com<port>" -> target
  void Write(const std::string& name, const std::string& text) const;

 private:
  std::filesystem::path saved_;
  std::filesystem::path dir_;
};

// Open descriptors and threads of this process.
size_t OpenFdCount();
size_t ThreadCount();

}  // namespace kvarn::test
