// Sleeping and the restart request.
#include "platform/win32/win32.h"

#ifdef _WIN32_WCE
// The OEM adaptation layer's entry; not every SDK's headers declare it.
extern "C" BOOL KernelIoControl(DWORD io_control_code, LPVOID in_buffer, DWORD in_size,
                                LPVOID out_buffer, DWORD out_size, LPDWORD bytes_returned);
#endif

namespace platform {

void Sleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

#ifdef _WIN32_WCE

bool KernelIoControl(std::uint32_t io_control_code, void* in_buffer, std::uint32_t in_size,
                     void* out_buffer, std::uint32_t out_size, std::uint32_t* bytes_returned) {
  return ::KernelIoControl(io_control_code, in_buffer, in_size, out_buffer, out_size,
                           reinterpret_cast<DWORD*>(bytes_returned)) != FALSE;
}

#else

// A desktop build never restarts the machine it runs on. It counts the
// restart requests instead, in the DWORD value RestartRequested under
// HKEY_LOCAL_MACHINE\Software\brandinst, where a test (or a person) can see
// that the device would have restarted, and how often.
bool KernelIoControl(std::uint32_t io_control_code, void*, std::uint32_t, void*, std::uint32_t,
                     std::uint32_t* bytes_returned) {
  if (bytes_returned != nullptr) *bytes_returned = 0;
  if (io_control_code != kIoctlHalReboot) {
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return false;
  }
  HKEY trace = nullptr;
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\brandinst", 0, nullptr, 0,
                        KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &trace,
                        nullptr) != ERROR_SUCCESS) {
    return false;
  }
  DWORD count = 0;
  DWORD type = 0;
  DWORD size = sizeof count;
  if (::RegQueryValueExW(trace, L"RestartRequested", nullptr, &type,
                         reinterpret_cast<BYTE*>(&count), &size) != ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof count) {
    count = 0;
  }
  ++count;
  LONG status = ::RegSetValueExW(trace, L"RestartRequested", 0, REG_DWORD,
                                 reinterpret_cast<const BYTE*>(&count), sizeof count);
  ::RegFlushKey(trace);
  ::RegCloseKey(trace);
  return status == ERROR_SUCCESS;
}

#endif

}  // namespace platform
