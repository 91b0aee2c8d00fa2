// A length-prefixed 8-bit text of fixed capacity, positions counted from 1.
// The frame buffer and the field scratch text are of this kind; the decoders
// consume them from the front in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace kvarn {

template <size_t Cap>
class ShortString {
  static_assert(Cap <= 255);

 public:
  ShortString() = default;
  explicit ShortString(std::string_view text) { Assign(text); }

  static constexpr size_t Capacity() { return Cap; }
  size_t Length() const { return FLen; }
  bool Empty() const { return FLen == 0; }
  std::string_view View() const { return {FChars, FLen}; }

  // Character at 1-based `pos`; positions outside the text read as NUL, so a
  // slice that reaches past the end never sees bytes of an earlier frame.
  char At(size_t pos) const { return (pos >= 1 && pos <= FLen) ? FChars[pos - 1] : '\0'; }

  // 1-based position of the first `c`, 0 when there is none.
  size_t Pos(char c) const {
    const void* hit = FLen ? std::memchr(FChars, c, FLen) : nullptr;
    return hit ? static_cast<const char*>(hit) - FChars + 1 : 0;
  }

  // `count` characters from 1-based `start`, clipped to the text.
  std::string_view Slice(size_t start, size_t count) const {
    if (start < 1 || start > FLen) return {};
    return View().substr(start - 1, count);
  }

  void Assign(std::string_view text) {
    FLen = static_cast<uint8_t>(text.size() < Cap ? text.size() : Cap);
    if (FLen) std::memcpy(FChars, text.data(), FLen);
  }

  // Removes `count` characters from 1-based `pos`, clipped to the text.
  void Delete(size_t pos, size_t count) {
    if (pos < 1 || pos > FLen || count == 0) return;
    size_t avail = FLen - (pos - 1);
    if (count > avail) count = avail;
    std::memmove(FChars + pos - 1, FChars + pos - 1 + count, avail - count);
    FLen = static_cast<uint8_t>(FLen - count);
  }

  void Truncate(size_t len) {
    if (len < FLen) FLen = static_cast<uint8_t>(len);
  }

  // Raw storage for a read; SetLength then fixes how much of it is text.
  char* Data() { return FChars; }
  void SetLength(size_t len) { FLen = static_cast<uint8_t>(len < Cap ? len : Cap); }

 private:
  uint8_t FLen = 0;
  char FChars[Cap] = {};
};

using FrameText = ShortString<255>;

}  // namespace kvarn
