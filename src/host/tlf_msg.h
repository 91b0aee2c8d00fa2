// The event record as the library sees it: the layout comes from the public
// header (one definition for hosts and library); this adds the offset checks
// and the short-string helpers the decoder and the pickup use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "kvarn_rcvr.h"

static_assert(sizeof(TlfMsg) == 48);
static_assert(offsetof(TlfMsg, RecNo) == 0);
static_assert(offsetof(TlfMsg, LineNo) == 4);
static_assert(offsetof(TlfMsg, Account) == 8);
static_assert(offsetof(TlfMsg, Area) == 12);
static_assert(offsetof(TlfMsg, EvZone) == 16);
static_assert(offsetof(TlfMsg, Stamp) == 26);
static_assert(offsetof(TlfMsg, Extra) == 44);
static_assert(sizeof(TlfSystemTime) == 16);

namespace kvarn {

constexpr uint16_t kNoTime = 0xFFFF;

// Stores `text` into a short-string field of capacity `cap` (array of cap+1
// bytes), cut to the capacity. Only the length byte and the counted
// characters are written.
inline void StoreShort(unsigned char* field, size_t cap, std::string_view text) {
  size_t n = text.size() < cap ? text.size() : cap;
  field[0] = static_cast<unsigned char>(n);
  for (size_t i = 0; i < n; ++i) field[1 + i] = static_cast<unsigned char>(text[i]);
}

inline std::string_view ShortText(const unsigned char* field) {
  return {reinterpret_cast<const char*>(field + 1), field[0]};
}

inline void SetArea(TlfMsg& m, std::string_view text) { StoreShort(m.Area, TLF_AREA_CAP, text); }
inline void SetEvZone(TlfMsg& m, std::string_view text) { StoreShort(m.EvZone, TLF_EVZONE_CAP, text); }
inline std::string_view AreaOf(const TlfMsg& m) { return ShortText(m.Area); }
inline std::string_view EvZoneOf(const TlfMsg& m) { return ShortText(m.EvZone); }

}  // namespace kvarn
