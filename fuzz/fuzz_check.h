// Shared by the fuzz targets: a check that stops the run with a message (the
// same in a libFuzzer build and in a plain replay build), and a reader that
// takes the fuzzer's bytes apart piece by piece.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#define FUZZ_CHECK(cond)                                                               \
  do {                                                                                 \
    if (!(cond)) {                                                                     \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);    \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)

namespace kvarn::fuzz {

class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) : FData(data), FSize(size) {}

  bool Empty() const { return FPos >= FSize; }
  size_t Left() const { return FSize - FPos; }

  uint8_t Byte() { return Empty() ? 0 : FData[FPos++]; }

  // Up to `n` bytes as text.
  std::string_view Text(size_t n) {
    if (n > Left()) n = Left();
    std::string_view s(reinterpret_cast<const char*>(FData + FPos), n);
    FPos += n;
    return s;
  }

  std::string_view Rest() { return Text(Left()); }

 private:
  const uint8_t* FData;
  size_t FSize;
  size_t FPos = 0;
};

}  // namespace kvarn::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
