// What the traffic log needs of the file system.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kvarn::platform {

// '\\' on Windows, '/' elsewhere.
char PathSeparator();

// A file opened for appending, closed when this object goes. Opening creates
// a missing file but never truncates an existing one, and never creates a
// missing directory.
class AppendFile {
 public:
  AppendFile() = default;  // not open
  static AppendFile OpenOrCreate(const std::string& name);

  AppendFile(AppendFile&& other) noexcept : FHandle(other.FHandle) { other.FHandle = kNone; }
  AppendFile& operator=(AppendFile&& other) noexcept;
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;
  ~AppendFile() { Close(); }

  bool IsOpen() const { return FHandle != kNone; }
  // Writes the bytes at the current end of the file. Failures are not reported:
  // the log has no one to report them to.
  void Append(std::string_view bytes);
  void Close();

 private:
  static constexpr intptr_t kNone = -1;  // also the value of INVALID_HANDLE_VALUE
  explicit AppendFile(intptr_t handle) : FHandle(handle) {}
  intptr_t FHandle = kNone;
};

inline AppendFile& AppendFile::operator=(AppendFile&& other) noexcept {
  if (this != &other) {
    Close();
    FHandle = other.FHandle;
    other.FHandle = kNone;
  }
  return *this;
}

}  // namespace kvarn::platform
