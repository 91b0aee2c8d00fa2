// A fresh, empty directory under the system's temporary one that is the
// current directory for as long as the object lives, for tests of code that
// reads and writes files relative to it (Rn.ini, Tlflog).
#pragma once

#include <filesystem>
#include <string>

namespace kvarn::test {

class WorkDir {
 public:
  explicit WorkDir(const std::string& name)
      : saved_(std::filesystem::current_path()), dir_(std::filesystem::temp_directory_path() / name) {
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    std::filesystem::current_path(dir_);
  }
  ~WorkDir() {
    std::error_code ec;
    std::filesystem::current_path(saved_, ec);
    std::filesystem::remove_all(dir_, ec);
  }
  WorkDir(const WorkDir&) = delete;
  WorkDir& operator=(const WorkDir&) = delete;

  const std::filesystem::path& Path() const { return dir_; }

 private:
  std::filesystem::path saved_, dir_;
};

}  // namespace kvarn::test
