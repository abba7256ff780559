// Shared by the files of the Win32 backend: the one place where the door's
// portable types meet the real API's. Handles are integers in the door and
// pointers here; text is char16_t in the door and wchar_t here (both UTF-16
// code units on every Windows).
#pragma once

#include <windows.h>

#include <cstdint>

#include "platform/platform.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows text is UTF-16");

namespace win32 {

inline const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
inline wchar_t* Wide(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }

inline HANDLE Native(platform::Handle handle) {
  return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(handle));
}
inline platform::Handle Portable(HANDLE handle) {
  return static_cast<platform::Handle>(reinterpret_cast<std::uintptr_t>(handle));
}
inline HKEY Native(platform::HKey key) {
  return reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(key));
}
inline platform::HKey Portable(HKEY key) {
  return static_cast<platform::HKey>(reinterpret_cast<std::uintptr_t>(key));
}
inline HWND Native(platform::HWnd window) {
  return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window));
}
inline HINSTANCE Native(platform::Instance instance) {
  return reinterpret_cast<HINSTANCE>(static_cast<std::uintptr_t>(instance));
}
inline platform::Instance Portable(HINSTANCE instance) {
  return static_cast<platform::Instance>(reinterpret_cast<std::uintptr_t>(instance));
}

}  // namespace win32
