// The registry: the real calls, adapted where desktop Windows is stricter
// than the device.
#include "platform/win32/win32.h"

namespace {

// The device ignores the access a key is opened with; desktop Windows
// refuses writes (and even queries) through a handle opened with access 0.
// Every key is therefore opened for everything the installer may do with it,
// falling back to reading when that is all the caller may do: only whether
// the key opens matters to some callers (the consent gate).
LONG OpenKey(HKEY root, const wchar_t* sub_key, HKEY* result) {
  LONG status = ::RegOpenKeyExW(root, sub_key, 0, KEY_ALL_ACCESS, result);
  if (status == ERROR_ACCESS_DENIED) status = ::RegOpenKeyExW(root, sub_key, 0, KEY_READ, result);
  return status;
}

}  // namespace

namespace platform {

std::int32_t RegOpenKeyExW(HKey key, const char16_t* sub_key, std::uint32_t, std::uint32_t,
                           HKey* result) {
  // A subkey path must not begin with a backslash (the documented rule, which
  // the emulation keeps); desktop Windows lets one pass below HKEY_CLASSES_ROOT.
  if (sub_key != nullptr && sub_key[0] == u'\\') return ERROR_BAD_PATHNAME;
  HKEY opened = nullptr;
  LONG status = OpenKey(win32::Native(key), win32::Wide(sub_key), &opened);
  if (status == ERROR_SUCCESS) *result = win32::Portable(opened);
  return status;
}

std::int32_t RegCreateKeyExW(HKey key, const char16_t* sub_key, std::uint32_t reserved,
                             char16_t* class_name, std::uint32_t options, std::uint32_t,
                             void* security, HKey* result, std::uint32_t* disposition) {
  HKEY created = nullptr;
  DWORD how = 0;
  LONG status = ::RegCreateKeyExW(win32::Native(key), win32::Wide(sub_key), reserved,
                                  win32::Wide(class_name), options, KEY_ALL_ACCESS,
                                  static_cast<SECURITY_ATTRIBUTES*>(security), &created, &how);
  if (status == ERROR_SUCCESS) {
    *result = win32::Portable(created);
    if (disposition != nullptr) *disposition = how;
  }
  return status;
}

std::int32_t RegSetValueExW(HKey key, const char16_t* value_name, std::uint32_t reserved,
                            std::uint32_t type, const std::uint8_t* data, std::uint32_t size) {
  return ::RegSetValueExW(win32::Native(key), win32::Wide(value_name), reserved, type, data, size);
}

// Desktop Windows leaves a too small buffer's contents undefined; the door
// promises them untouched, so the size is asked first and the data fetched
// only when it fits.
std::int32_t RegQueryValueExW(HKey key, const char16_t* value_name, std::uint32_t* reserved,
                              std::uint32_t* type, std::uint8_t* data, std::uint32_t* size) {
  HKEY native = win32::Native(key);
  DWORD* reserved_native = reinterpret_cast<DWORD*>(reserved);
  DWORD found_type = 0;
  DWORD needed = 0;
  LONG status = ::RegQueryValueExW(native, win32::Wide(value_name), reserved_native, &found_type,
                                   nullptr, &needed);
  if (status != ERROR_SUCCESS) return status;
  if (data != nullptr) {
    DWORD capacity = size != nullptr ? *size : 0;
    if (needed > capacity) {
      if (size != nullptr) *size = needed;
      return ERROR_MORE_DATA;
    }
    needed = capacity;
    status = ::RegQueryValueExW(native, win32::Wide(value_name), reserved_native, &found_type,
                                data, &needed);
    if (status != ERROR_SUCCESS) return status;
  }
  if (type != nullptr) *type = found_type;
  if (size != nullptr) *size = needed;
  return ERROR_SUCCESS;
}

std::int32_t RegDeleteValueW(HKey key, const char16_t* value_name) {
  return ::RegDeleteValueW(win32::Native(key), win32::Wide(value_name));
}

// The device removes a key with everything below it; desktop RegDeleteKeyW
// refuses a key that has subkeys, so the tree is removed instead. A missing
// or empty name would make RegDeleteTreeW empty `key` itself: refused.
std::int32_t RegDeleteKeyW(HKey key, const char16_t* sub_key) {
  if (sub_key == nullptr || sub_key[0] == 0) return ERROR_INVALID_PARAMETER;
#ifdef _WIN32_WCE
  return ::RegDeleteKeyW(win32::Native(key), win32::Wide(sub_key));
#else
  return ::RegDeleteTreeW(win32::Native(key), win32::Wide(sub_key));
#endif
}

std::int32_t RegCloseKey(HKey key) { return ::RegCloseKey(win32::Native(key)); }

std::int32_t RegFlushKey(HKey key) { return ::RegFlushKey(win32::Native(key)); }

}  // namespace platform
