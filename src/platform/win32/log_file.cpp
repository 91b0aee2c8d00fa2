#include "platform/log_file.h"

#include <windows.h>

namespace kvarn::platform {
namespace {

HANDLE AsHandle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

}  // namespace

char PathSeparator() { return '\\'; }

// OPEN_ALWAYS opens or creates in one step: a log that is busy for a moment is
// never replaced by an empty one. Sharing lets other channels and readers in.
AppendFile AppendFile::OpenOrCreate(const std::string& name) {
  const HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  return h == INVALID_HANDLE_VALUE ? AppendFile() : AppendFile(reinterpret_cast<intptr_t>(h));
}

void AppendFile::Append(std::string_view bytes) {
  if (!IsOpen()) return;
  SetFilePointer(AsHandle(FHandle), 0, nullptr, FILE_END);
  DWORD written = 0;
  WriteFile(AsHandle(FHandle), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void AppendFile::Close() {
  if (!IsOpen()) return;
  CloseHandle(AsHandle(FHandle));
  FHandle = kNone;
}

}  // namespace kvarn::platform
