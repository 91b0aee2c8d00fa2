#include "platform/event.h"

#include <windows.h>

namespace kvarn::platform {
namespace {

HANDLE H(const Event& e) { return reinterpret_cast<HANDLE>(e.NativeHandle()); }

DWORD Ms(uint32_t ms) { return ms == kInfinite ? INFINITE : static_cast<DWORD>(ms); }

}  // namespace

std::unique_ptr<Event> Event::Create(EventReset kind) {
  HANDLE h = CreateEventA(nullptr, kind == EventReset::Manual, FALSE, nullptr);
  if (!h) return nullptr;
  return std::unique_ptr<Event>(new Event(reinterpret_cast<intptr_t>(h), kind));
}

Event::~Event() { CloseHandle(H(*this)); }

void Event::Set() { SetEvent(H(*this)); }

void Event::Reset() { ResetEvent(H(*this)); }

bool Event::Wait(uint32_t ms) { return WaitForSingleObject(H(*this), Ms(ms)) == WAIT_OBJECT_0; }

int WaitAny(Event& first, Event& second, uint32_t ms) {
  HANDLE list[2] = {H(first), H(second)};
  DWORD r = WaitForMultipleObjects(2, list, FALSE, Ms(ms));
  if (r == WAIT_OBJECT_0) return 0;
  if (r == WAIT_OBJECT_0 + 1) return 1;
  return -1;
}

}  // namespace kvarn::platform
