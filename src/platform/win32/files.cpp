// Files and folders: the real calls, with enumeration narrowed to what the
// device would list.
#include <cstddef>

#include "platform/win32/win32.h"
#include "platform/text.h"
#include "platform/wildcard.h"

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

bool IsDotEntry(const wchar_t* name) {
  return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

bool Accept(const Enumeration& enumeration, const WIN32_FIND_DATAW& found) {
  const char16_t* name = reinterpret_cast<const char16_t*>(found.cFileName);
  return !IsDotEntry(found.cFileName) &&
         wtext::MatchesWildcard(enumeration.name_pattern,
                                wtext::Length(enumeration.name_pattern, platform::kMaxPath), name,
                                wtext::Length(name, platform::kMaxPath));
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

#ifndef _WIN32_WCE
// A device path starts at the root of the device's one file system, which
// resolves no "." or ".." component: such a path fails there as a missing
// one would, where the desktop would resolve it and reach another file.
// 0 when there is none.
DWORD DotComponent(const char16_t* path) {
  std::size_t start = 0;
  for (std::size_t i = 0;; ++i) {
    char16_t c = path[i];
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

// Desktop Windows reserves device names (NUL, CON, AUX, PRN, COM1-COM9,
// LPT1-LPT9, with any extension) in every folder, so "\Temp\branding\nul.reg"
// would open a device; the device has no such names (its devices are named
// like "COM1:"), and there it is a file. A "\\?\" path reaches it as a file.
// Such a path is taken as it stands, so the device's own path rules are
// applied here first: rooted at the current drive, with or without a
// leading "\", "/" separating as "\"
// does, repeated separators as one, and a "." or ".." component leading
// nowhere, as the emulated device has it. Paths the device could not hold
// (over 259 units) fail as they did before.
class DevicePath {
 public:
  explicit DevicePath(const char16_t* path) {
    error_ = DotComponent(path);
    if (error_ != 0) return;
    if (path[0] == 0) {
      pass_through_ = path;  // names nothing, here as there
      return;
    }
    const bool rooted = path[0] == u'\\' || path[0] == u'/';
    if (rooted && (path[1] == u'\\' || path[1] == u'/')) {
      pass_through_ = path;  // a network path: no device names there
      return;
    }
    wchar_t current[MAX_PATH];
    DWORD got = ::GetCurrentDirectoryW(MAX_PATH, current);
    if (got < 2 || got >= MAX_PATH || current[1] != L':') {
      pass_through_ = path;
      return;
    }
    int n = 0;
    for (const wchar_t* p = L"\\\\?\\"; *p != 0; ++p) buffer_[n++] = *p;
    buffer_[n++] = current[0];
    buffer_[n++] = L':';
    const int root = n;
    // The device has no current folder: a path without a leading "\" starts
    // at the root too, where the desktop would start it in the current folder.
    if (!rooted) buffer_[n++] = L'\\';
    int length = 0;
    for (int i = 0; path[i] != 0; ++i) {
      if (++length >= platform::kMaxPath) {
        error_ = ERROR_FILENAME_EXCED_RANGE;
        return;
      }
      char16_t c = path[i] == u'/' ? u'\\' : path[i];
      if (c == u'\\' && n > root && buffer_[n - 1] == L'\\') continue;
      buffer_[n++] = static_cast<wchar_t>(c);
    }
    buffer_[n] = 0;
  }

  // The path to hand to the API, or null (the last error then set) when
  // the device would find nothing there.
  const wchar_t* get() const {
    if (error_ != 0) {
      ::SetLastError(error_);
      return nullptr;
    }
    return pass_through_ != nullptr ? win32::Wide(pass_through_) : buffer_;
  }

 private:
  const char16_t* pass_through_ = nullptr;
  DWORD error_ = 0;
  wchar_t buffer_[8 + platform::kMaxPath];
};
#else
// The device's paths are its own: handed on as they are.
class DevicePath {
 public:
  explicit DevicePath(const char16_t* path) : path_(path) {}
  const wchar_t* get() const { return win32::Wide(path_); }

 private:
  const char16_t* path_;
};
#endif

// The device holds no name with a ':'. On the desktop a ':' would name a
// drive ("C:\\x") or a file's stream ("a:b"), and Wine makes a file of that
// name: a move or a new folder there fails as an invalid name, as on the
// device. False, with that error, when `path` holds one.
bool NoColon(const char16_t* path) {
  for (std::size_t i = 0; path[i] != 0; ++i) {
    if (path[i] == u':') {
      ::SetLastError(ERROR_INVALID_NAME);
      return false;
    }
  }
  return true;
}

}  // namespace

namespace platform {

Handle CreateFileW(const char16_t* name, std::uint32_t access, std::uint32_t share_mode,
                   void* security, std::uint32_t disposition, std::uint32_t flags,
                   Handle template_file) {
  DevicePath path(name);
  if (path.get() == nullptr) return kInvalidHandleValue;
  return win32::Portable(::CreateFileW(path.get(), access, share_mode,
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

  DevicePath path(pattern);
  if (path.get() == nullptr) return kInvalidHandleValue;
  WIN32_FIND_DATAW found;
  HANDLE find = ::FindFirstFileW(path.get(), &found);
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
  if (!NoColon(existing) || !NoColon(destination)) return false;
  DevicePath from(existing);
  DevicePath to(destination);
  return from.get() != nullptr && to.get() != nullptr && ::MoveFileW(from.get(), to.get()) != FALSE;
}

bool DeleteFileW(const char16_t* name) {
  DevicePath path(name);
  return path.get() != nullptr && ::DeleteFileW(path.get()) != FALSE;
}

bool SetFileAttributesW(const char16_t* name, std::uint32_t attributes) {
  DevicePath path(name);
  return path.get() != nullptr && ::SetFileAttributesW(path.get(), attributes) != FALSE;
}

bool CreateDirectoryW(const char16_t* name, void* security) {
  if (!NoColon(name)) return false;
  DevicePath path(name);
  return path.get() != nullptr &&
         ::CreateDirectoryW(path.get(), static_cast<SECURITY_ATTRIBUTES*>(security)) != FALSE;
}

bool RemoveDirectoryW(const char16_t* name) {
  DevicePath path(name);
  return path.get() != nullptr && ::RemoveDirectoryW(path.get()) != FALSE;
}

}  // namespace platform
