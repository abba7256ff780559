// Processes: the package installer is started through the real call.
#include <cstddef>

#include "platform/win32/win32.h"

// The door's start-up record is the platform's own, field for field, so the
// caller's record is handed over as it is.
static_assert(sizeof(platform::StartupInfo) == sizeof(STARTUPINFOW), "start-up record size");
static_assert(offsetof(platform::StartupInfo, lpDesktop) == offsetof(STARTUPINFOW, lpDesktop), "");
static_assert(offsetof(platform::StartupInfo, dwX) == offsetof(STARTUPINFOW, dwX), "");
static_assert(offsetof(platform::StartupInfo, dwFlags) == offsetof(STARTUPINFOW, dwFlags), "");
static_assert(offsetof(platform::StartupInfo, wShowWindow) == offsetof(STARTUPINFOW, wShowWindow),
              "");
static_assert(offsetof(platform::StartupInfo, lpReserved2) == offsetof(STARTUPINFOW, lpReserved2),
              "");
static_assert(offsetof(platform::StartupInfo, hStdError) == offsetof(STARTUPINFOW, hStdError), "");

namespace platform {

bool CreateProcessW(const char16_t* image, char16_t* command_line, void* process_attributes,
                    void* thread_attributes, bool inherit_handles, std::uint32_t creation_flags,
                    void* environment, const char16_t* current_directory, StartupInfo* startup,
                    ProcessInformation* information) {
  STARTUPINFOW* native_startup = reinterpret_cast<STARTUPINFOW*>(startup);
#ifndef _WIN32_WCE
  // The device takes no start-up record (the installer passes none for the
  // theme); desktop Windows requires one, so an empty one stands in.
  STARTUPINFOW empty;
  if (native_startup == nullptr) {
    ZeroMemory(&empty, sizeof empty);
    empty.cb = sizeof empty;
    native_startup = &empty;
  }
#endif
  PROCESS_INFORMATION started;
  ZeroMemory(&started, sizeof started);
  if (!::CreateProcessW(win32::Wide(image), win32::Wide(command_line),
                        static_cast<SECURITY_ATTRIBUTES*>(process_attributes),
                        static_cast<SECURITY_ATTRIBUTES*>(thread_attributes),
                        inherit_handles ? TRUE : FALSE, creation_flags, environment,
                        // Windows CE declares the folder without const.
                        const_cast<wchar_t*>(win32::Wide(current_directory)), native_startup,
                        &started)) {
    return false;
  }
  information->hProcess = win32::Portable(started.hProcess);
  information->hThread = win32::Portable(started.hThread);
  information->dwProcessId = started.dwProcessId;
  information->dwThreadId = started.dwThreadId;
  return true;
}

std::uint32_t WaitForSingleObject(Handle object, std::uint32_t milliseconds) {
  return ::WaitForSingleObject(win32::Native(object), milliseconds);
}

}  // namespace platform
