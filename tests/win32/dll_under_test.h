// The built DLL as the Win32 tests load it, and a stdcall caller that measures
// what the callee does to the stack pointer.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace kvarn_test {

// KVARN_LIBRARY_PATH is the build's path; under Wine that is a Unix path,
// which Windows programs reach through drive Z:.
inline std::string DllPath() {
  std::string path = KVARN_LIBRARY_PATH;
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

// Calls `fn` with `count` 32-bit arguments pushed right to left, as a stdcall
// caller does, without cleaning up after it. `*moved` receives how far the
// stack pointer moved across the call: 0 when the callee removed exactly its
// arguments, -4 * count when it removed none (a cdecl callee). Returns EAX.
extern "C" uint32_t KvarnCallStdcall(const void* fn, const uint32_t* args, uint32_t count, int32_t* moved);

template <typename T>
uint32_t Arg(T* p) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
}

}  // namespace kvarn_test
