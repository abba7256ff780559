// Dialogs and the program's string table.
#include "platform/win32/win32.h"

namespace platform {

std::int32_t MessageBoxW(HWnd owner, const char16_t* text, const char16_t* caption,
                         std::uint32_t type) {
  return ::MessageBoxW(win32::Native(owner), win32::Wide(text), win32::Wide(caption), type);
}

// A buffer_max of 0 would make LoadStringW store a pointer into the
// resource in place of text: no caller wants that, so it copies nothing.
std::int32_t LoadStringW(Instance instance, std::uint32_t id, char16_t* buffer,
                         std::int32_t buffer_max) {
  if (buffer_max <= 0) return 0;
  return ::LoadStringW(win32::Native(instance), id, win32::Wide(buffer), buffer_max);
}

}  // namespace platform
