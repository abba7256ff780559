// Files and folders: the real calls, with enumeration narrowed to what the
// device would list.
#include <cstddef>

#include "platform/win32/win32.h"
#include "platform/win32/wildcard.h"

namespace {

// Desktop Windows also matches a pattern against each file's generated 8.3
// name ("*.gif" finds "a.gifx" through "A~1.GIF") and lists the "." and ".."
// entries; the device does neither. So every result is tested again against
// the pattern's last component, and an open enumeration keeps its own copy of
// that component: the caller may reuse the pattern's buffer at once.
struct Enumeration {
  HANDLE find;  // null when the slot is free
  char16_t name_pattern[platform::kMaxPath];
};

// Enough for nested enumerations as deep as a 255-character path can go
// ("\x" per level); when every slot is taken, FindFirstFileW fails.
constexpr int kMaxEnumerations = 128;
Enumeration g_enumerations[kMaxEnumerations];

Enumeration* FindSlot(HANDLE find) {
  for (Enumeration& slot : g_enumerations) {
    if (slot.find == find) return &slot;
  }
  return nullptr;
}

// What the device would answer for a path that the desktop reads its own
// way; 0 when the path may go to the desktop as it is. A device path starts
// at the root of the device's one file system, and the device holds no name
// with a ':': on the desktop a ':' would name a drive ("C:\\x") or a file's
// stream ("a:b"), and Wine makes a file of that name. The device resolves no
// "." or ".." either: such a path fails there as a missing one would.
DWORD DeviceRefusal(const char16_t* path) {
  if (path == nullptr) return 0;
  std::size_t start = 0;
  for (std::size_t i = 0;; ++i) {
    char16_t c = path[i];
    if (c == u':') return ERROR_INVALID_NAME;
    if (c == 0 || c == u'\\' || c == u'/') {
      std::size_t length = i - start;
      if ((length == 1 && path[start] == u'.') ||
          (length == 2 && path[start] == u'.' && path[start + 1] == u'.')) {
        return ERROR_PATH_NOT_FOUND;
      }
      if (c == 0) return 0;
      start = i + 1;
    }
  }
}

// False, with the device's error, when the desktop must not be given `path`.
bool Reachable(const char16_t* path) {
  DWORD refusal = DeviceRefusal(path);
  if (refusal != 0) ::SetLastError(refusal);
  return refusal == 0;
}

bool IsDotEntry(const wchar_t* name) {
  return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

bool Accept(const Enumeration& enumeration, const WIN32_FIND_DATAW& found) {
  return !IsDotEntry(found.cFileName) &&
         win32::MatchesWildcard(enumeration.name_pattern,
                                reinterpret_cast<const char16_t*>(found.cFileName));
}

void Deliver(const WIN32_FIND_DATAW& found, platform::FindData* data) {
  data->dwFileAttributes = found.dwFileAttributes;
  int i = 0;
  for (; i < platform::kMaxPath - 1 && found.cFileName[i] != 0; ++i) {
    data->cFileName[i] = static_cast<char16_t>(found.cFileName[i]);
  }
  data->cFileName[i] = 0;
}

// Moves on to the next accepted result; false at the end.
bool Advance(const Enumeration& enumeration, WIN32_FIND_DATAW* found) {
  while (::FindNextFileW(enumeration.find, found)) {
    if (Accept(enumeration, *found)) return true;
  }
  return false;
}

}  // namespace

namespace platform {

Handle CreateFileW(const char16_t* name, std::uint32_t access, std::uint32_t share_mode,
                   void* security, std::uint32_t disposition, std::uint32_t flags,
                   Handle template_file) {
  return win32::Portable(::CreateFileW(win32::Wide(name), access, share_mode,
                                       static_cast<SECURITY_ATTRIBUTES*>(security), disposition,
                                       flags, win32::Native(template_file)));
}

bool ReadFile(Handle file, void* buffer, std::uint32_t bytes_to_read, std::uint32_t* bytes_read,
              void* overlapped) {
  DWORD read = 0;
  BOOL ok = ::ReadFile(win32::Native(file), buffer, bytes_to_read, &read,
                       static_cast<OVERLAPPED*>(overlapped));
  if (bytes_read != nullptr) *bytes_read = ok ? read : 0;
  return ok != FALSE;
}

// The placement record is written to kInvalidHandleValue, which stays
// INVALID_HANDLE_VALUE here: the call fails and the text goes nowhere, as on
// the device.
bool WriteFile(Handle file, const void* buffer, std::uint32_t bytes_to_write,
               std::uint32_t* bytes_written, void* overlapped) {
  DWORD written = 0;
  BOOL ok = ::WriteFile(win32::Native(file), buffer, bytes_to_write, &written,
                        static_cast<OVERLAPPED*>(overlapped));
  if (bytes_written != nullptr) *bytes_written = ok ? written : 0;
  return ok != FALSE;
}

bool CloseHandle(Handle object) { return ::CloseHandle(win32::Native(object)) != FALSE; }

Handle FindFirstFileW(const char16_t* pattern, FindData* data) {
  int last = -1;
  for (int i = 0; pattern[i] != 0; ++i) {
    if (pattern[i] == u'\\' || pattern[i] == u'/') last = i;
  }
  const char16_t* name_pattern = pattern + last + 1;
  Enumeration* slot = FindSlot(nullptr);
  if (slot == nullptr) {
    ::SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    return kInvalidHandleValue;
  }
  int length = 0;
  while (name_pattern[length] != 0) {
    if (length == kMaxPath - 1) {
      ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return kInvalidHandleValue;
    }
    slot->name_pattern[length] = name_pattern[length];
    ++length;
  }
  slot->name_pattern[length] = 0;

  WIN32_FIND_DATAW found;
  HANDLE find = ::FindFirstFileW(win32::Wide(pattern), &found);
  if (find == INVALID_HANDLE_VALUE) return kInvalidHandleValue;
  slot->find = find;
  if (!Accept(*slot, found) && !Advance(*slot, &found)) {
    ::FindClose(find);
    slot->find = nullptr;
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    return kInvalidHandleValue;
  }
  Deliver(found, data);
  return win32::Portable(find);
}

bool FindNextFileW(Handle find, FindData* data) {
  Enumeration* slot = FindSlot(win32::Native(find));
  if (slot == nullptr || slot->find == nullptr) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  WIN32_FIND_DATAW found;
  if (!Advance(*slot, &found)) return false;
  Deliver(found, data);
  return true;
}

bool FindClose(Handle find) {
  Enumeration* slot = FindSlot(win32::Native(find));
  if (slot == nullptr || slot->find == nullptr) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  slot->find = nullptr;
  return ::FindClose(win32::Native(find)) != FALSE;
}

// Without MOVEFILE_REPLACE_EXISTING, as MoveFileW itself: an existing
// destination makes the move fail.
bool MoveFileW(const char16_t* existing, const char16_t* destination) {
  if (!Reachable(existing) || !Reachable(destination)) return false;
  return ::MoveFileW(win32::Wide(existing), win32::Wide(destination)) != FALSE;
}

bool DeleteFileW(const char16_t* name) { return ::DeleteFileW(win32::Wide(name)) != FALSE; }

bool SetFileAttributesW(const char16_t* name, std::uint32_t attributes) {
  return ::SetFileAttributesW(win32::Wide(name), attributes) != FALSE;
}

bool CreateDirectoryW(const char16_t* name, void* security) {
  if (!Reachable(name)) return false;
  return ::CreateDirectoryW(win32::Wide(name), static_cast<SECURITY_ATTRIBUTES*>(security)) !=
         FALSE;
}

bool RemoveDirectoryW(const char16_t* name) {
  return ::RemoveDirectoryW(win32::Wide(name)) != FALSE;
}

}  // namespace platform
