// The one door through which the installer reaches the operating system.
//
// Each operation keeps the name and the argument order of the Windows CE call
// it stands for, so that the core reads like the device program it is. Text is
// UTF-16 as char16_t, numbers have fixed widths, and handles are opaque.
// The implementation is chosen at link time: platform/win32 forwards to the
// real API, platform/host emulates a device on a host folder.
//
// Constants carry a k prefix because windows.h defines the plain names as
// macros, and the Win32 backend includes both headers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// ---- Fixed limits of the device -------------------------------------------

constexpr int kMaxPath = 260;  // size of FindData::cFileName, terminator included

// ---- Handles ----------------------------------------------------------------

enum class Handle : std::uintptr_t {};
enum class HKey : std::uintptr_t {};
enum class HWnd : std::uintptr_t {};
enum class Instance : std::uintptr_t {};

constexpr Handle kInvalidHandleValue = static_cast<Handle>(~std::uintptr_t{0});
constexpr Handle kNullHandle = static_cast<Handle>(0);
constexpr HKey kNullKey = static_cast<HKey>(0);
constexpr HWnd kNoOwner = static_cast<HWnd>(0);

// The predefined roots hold the values Windows gives them: 32-bit numbers,
// sign-extended on 64-bit builds.
constexpr HKey RootKey(std::uint32_t value) {
  return static_cast<HKey>(static_cast<std::uintptr_t>(
      static_cast<std::intptr_t>(static_cast<std::int32_t>(value))));
}
constexpr HKey kHkeyClassesRoot = RootKey(0x80000000u);
constexpr HKey kHkeyCurrentUser = RootKey(0x80000001u);
constexpr HKey kHkeyLocalMachine = RootKey(0x80000002u);

// ---- Results ---------------------------------------------------------------

constexpr std::int32_t kErrorSuccess = 0;
constexpr std::int32_t kErrorFileNotFound = 2;
constexpr std::int32_t kErrorAccessDenied = 5;
constexpr std::int32_t kErrorInvalidHandle = 6;
constexpr std::int32_t kErrorInvalidParameter = 87;
constexpr std::int32_t kErrorMoreData = 234;

// ---- Files -----------------------------------------------------------------

constexpr std::uint32_t kGenericRead = 0x80000000u;
constexpr std::uint32_t kFileShareRead = 1;
constexpr std::uint32_t kOpenExisting = 3;
constexpr std::uint32_t kFileAttributeReadonly = 0x01;
constexpr std::uint32_t kFileAttributeDirectory = 0x10;
constexpr std::uint32_t kFileAttributeNormal = 0x80;
constexpr std::uint32_t kFileAttributeReparsePoint = 0x400;  // a link: removed, never followed

// One entry of an enumeration: the bare name and its attributes.
struct FindData {
  std::uint32_t dwFileAttributes;
  char16_t cFileName[kMaxPath];
};

// Opens an existing file for reading; kInvalidHandleValue when it cannot.
Handle CreateFileW(const char16_t* name, std::uint32_t access, std::uint32_t share_mode,
                   void* security, std::uint32_t disposition, std::uint32_t flags,
                   Handle template_file);
// *bytes_read is 0 at the end of the file and on failure.
bool ReadFile(Handle file, void* buffer, std::uint32_t bytes_to_read, std::uint32_t* bytes_read,
              void* overlapped);
bool WriteFile(Handle file, const void* buffer, std::uint32_t bytes_to_write,
               std::uint32_t* bytes_written, void* overlapped);
bool CloseHandle(Handle object);

// Whole-name wildcard match ("*" and "?") without regard to case, in one
// folder. kInvalidHandleValue when nothing matches or the folder is missing.
Handle FindFirstFileW(const char16_t* pattern, FindData* data);
bool FindNextFileW(Handle find, FindData* data);
bool FindClose(Handle find);

// Fails when the destination exists: nothing is ever replaced.
bool MoveFileW(const char16_t* existing, const char16_t* destination);
bool DeleteFileW(const char16_t* name);
bool SetFileAttributesW(const char16_t* name, std::uint32_t attributes);
// One level; fails when the folder exists.
bool CreateDirectoryW(const char16_t* name, void* security);
// Only an empty folder.
bool RemoveDirectoryW(const char16_t* name);

// ---- Registry (results are error codes, kErrorSuccess on success) ----------

constexpr std::uint32_t kRegNone = 0;
constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegExpandSz = 2;
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;
constexpr std::uint32_t kRegMultiSz = 7;

// An empty or null sub_key opens the key itself.
std::int32_t RegOpenKeyExW(HKey key, const char16_t* sub_key, std::uint32_t options,
                           std::uint32_t sam_desired, HKey* result);
// Opens or creates the key, with every missing key along the path.
std::int32_t RegCreateKeyExW(HKey key, const char16_t* sub_key, std::uint32_t reserved,
                             char16_t* class_name, std::uint32_t options,
                             std::uint32_t sam_desired, void* security, HKey* result,
                             std::uint32_t* disposition);
// The empty or null name is the key's default value.
std::int32_t RegSetValueExW(HKey key, const char16_t* value_name, std::uint32_t reserved,
                            std::uint32_t type, const std::uint8_t* data, std::uint32_t size);
// A data buffer too small gets kErrorMoreData, is left untouched, and *size
// says how much is needed.
std::int32_t RegQueryValueExW(HKey key, const char16_t* value_name, std::uint32_t* reserved,
                              std::uint32_t* type, std::uint8_t* data, std::uint32_t* size);
std::int32_t RegDeleteValueW(HKey key, const char16_t* value_name);
// Removes the subkey with everything below it.
std::int32_t RegDeleteKeyW(HKey key, const char16_t* sub_key);
std::int32_t RegCloseKey(HKey key);
// Makes the registry's changes durable.
std::int32_t RegFlushKey(HKey key);

// ---- Processes -------------------------------------------------------------

// Laid out as the platform's STARTUPINFO, so that its size is the platform's
// own: 68 bytes on 32-bit builds, 104 on 64-bit ones.
struct StartupInfo {
  std::uint32_t cb;
  char16_t* lpReserved;
  char16_t* lpDesktop;
  char16_t* lpTitle;
  std::uint32_t dwX, dwY, dwXSize, dwYSize;
  std::uint32_t dwXCountChars, dwYCountChars, dwFillAttribute, dwFlags;
  std::uint16_t wShowWindow, cbReserved2;
  std::uint8_t* lpReserved2;
  Handle hStdInput, hStdOutput, hStdError;
};

struct ProcessInformation {
  Handle hProcess;
  Handle hThread;
  std::uint32_t dwProcessId;
  std::uint32_t dwThreadId;
};

constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;
constexpr std::uint32_t kWaitObject0 = 0;
constexpr std::uint32_t kWaitFailed = 0xFFFFFFFFu;

// startup may be null. On success the caller owns both handles.
bool CreateProcessW(const char16_t* image, char16_t* command_line, void* process_attributes,
                    void* thread_attributes, bool inherit_handles, std::uint32_t creation_flags,
                    void* environment, const char16_t* current_directory, StartupInfo* startup,
                    ProcessInformation* information);
std::uint32_t WaitForSingleObject(Handle object, std::uint32_t milliseconds);

// ---- Dialogs and resources -------------------------------------------------

constexpr std::uint32_t kMbOk = 0x0;
constexpr std::uint32_t kMbYesNo = 0x4;
constexpr std::uint32_t kMbSetForeground = 0x00010000u;
constexpr std::uint32_t kMbTopmost = 0x00040000u;
constexpr std::int32_t kIdOk = 1;
constexpr std::int32_t kIdYes = 6;
constexpr std::int32_t kIdNo = 7;

std::int32_t MessageBoxW(HWnd owner, const char16_t* text, const char16_t* caption,
                         std::uint32_t type);
// Copies string `id` of the program's string table, cut to buffer_max - 1 code
// units and terminated; yields the code units copied, 0 when there is none.
std::int32_t LoadStringW(Instance instance, std::uint32_t id, char16_t* buffer,
                         std::int32_t buffer_max);

// ---- Text ------------------------------------------------------------------

constexpr std::uint32_t kCodePage1250 = 1250;

// Decodes `count` bytes (no terminator is added beyond them); yields the code
// units written, 0 on failure or when they do not fit `capacity`.
std::int32_t MultiByteToWideChar(std::uint32_t code_page, std::uint32_t flags, const char* bytes,
                                 std::int32_t count, char16_t* wide, std::int32_t capacity);

// ---- System ----------------------------------------------------------------

constexpr std::uint32_t kIoctlHalReboot = 0x0101003Cu;

void Sleep(std::uint32_t milliseconds);
bool KernelIoControl(std::uint32_t io_control_code, void* in_buffer, std::uint32_t in_size,
                     void* out_buffer, std::uint32_t out_size, std::uint32_t* bytes_returned);

// ---- What the run decided, and why -----------------------------------------
//
// The core says where a step of the run order starts and, at the point where
// it decides, which decision it made with which inputs. The host backend
// journals them with their words; the device program keeps no trace of them:
// without BRANDINST_TRACE (set for the host build only) they are empty inline
// functions, and the compiler drops them with their arguments. Arguments are
// therefore values the core already holds, never calls made for the trace.

enum class StepId : std::uint8_t {
  kConsentGate,
  kPackages,
  kFixedGroups,
  kTheme,
  kMappedGroups,
  kRegistryScripts,
  kKeyRemoval,
  kRestartDecision,
  kCleanUp,
  kRestart,  // the notice, the flush, the pause and the restart request
};

enum class DecisionId : std::uint8_t {
  // The consent gate (subject: the gate key; value: the dialog's answer).
  kGateKeyAbsent,
  kGateKeyPresent,
  kConsentGiven,
  kConsentRefused,
  // A lookup of brand.ini that found nothing (SettingMissing).
  kSettingsFileMissing,
  kSectionMissing,
  kSectionEndsBeforeKey,  // an empty line or another header ended it
  kKeyMissing,            // the section runs to the end of the file without it
  // A numbered list (cab0, cab1, ... or key0, key1, ...) ends at its first
  // missing number (subject: that key; value: its number).
  kListEnds,
  // An entry skipped whole, never cut into another path (subject: the entry).
  kPathTooLong,
  kCommandLineTooLong,
  // The theme.
  kNoTheme,
  kTodayKeyMissing,
  // The file groups and the scripts (subject: the pattern, or the file).
  kNothingStaged,
  kNoDestination,  // a mapped file stays for the clean-up
  kScriptUnreadable,
  // The key removal list (subject: the entry, or the parent key).
  kKeyEntryNoBackslash,
  kKeyEntryUnknownRoot,
  kKeyEntryEmptyLeaf,
  kParentKeyMissing,
  // The restart decision: its inputs (value: the marker; the consent), then
  // its outcome.
  kMarkerAbsent,
  kMarkerFound,
  kRebootEntryPresent,
  kRebootEntryAbsent,
  kUserConfirmed,
  kUserNotAsked,
  kHeldByMarker,
  kHeldByConsent,
  kRestartForRebootEntry,
  kRestartUnconfirmed,
};

#ifdef BRANDINST_TRACE
void Step(StepId step);
void Decision(DecisionId decision, const char16_t* subject, std::uint32_t value);
// A lookup of (section, key) found nothing; `why` is one of the lookup's
// decisions above.
void SettingMissing(DecisionId why, const char16_t* section, const char16_t* key);
#else
inline void Step(StepId) {}
inline void Decision(DecisionId, const char16_t*, std::uint32_t) {}
inline void SettingMissing(DecisionId, const char16_t*, const char16_t*) {}
#endif

}  // namespace platform
