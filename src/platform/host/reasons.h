// Why an operation of the emulated device failed: the error number the
// device's own call reports (what GetLastError or a registry call would give
// on Windows CE) and a few words for people. One table holds both, so that
// the journal (`"error":183,"reason":"already exists"`) and the transcript
// (`move A -> B: failed (already exists)`) never disagree.
//
// Several reasons share a number where the device gives one number for
// causes a reader wants told apart: deleting a read-only file and deleting a
// folder are both ERROR_ACCESS_DENIED, a missing key and a missing value both
// ERROR_FILE_NOT_FOUND.
#pragma once

#include <cstdint>

namespace host {

enum class Reason {
  kNone,              // 0: the operation succeeded
  kNotFound,          // 2 ERROR_FILE_NOT_FOUND
  kPathNotFound,      // 3 ERROR_PATH_NOT_FOUND: a folder along the path is missing
  kAccessDenied,      // 5 ERROR_ACCESS_DENIED
  kReadOnly,          // 5: a read-only file is not deleted or replaced
  kIsAFolder,         // 5: a file operation named a folder
  kInjected,          // 5: a fault injected for a test (BRANDSIM_FAULT)
  kInvalidHandle,     // 6 ERROR_INVALID_HANDLE: a closed handle, a removed key
  kWriteProtected,    // 19 ERROR_WRITE_PROTECT
  kWriteFault,        // 29 ERROR_WRITE_FAULT: registry.reg could not be written
  kDeviceError,       // 31 ERROR_GEN_FAILURE: any other failure of the host
  kInUse,             // 32 ERROR_SHARING_VIOLATION
  kInvalidParameter,  // 87 ERROR_INVALID_PARAMETER
  kDiskFull,          // 112 ERROR_DISK_FULL
  kInvalidName,       // 123 ERROR_INVALID_NAME: a name the device cannot create
  kNotEmpty,          // 145 ERROR_DIR_NOT_EMPTY
  kAlreadyExists,     // 183 ERROR_ALREADY_EXISTS: never replaced
  kNameTooLong,       // 206 ERROR_FILENAME_EXCED_RANGE
  kNotAFolder,        // 267 ERROR_DIRECTORY: a folder operation named a file
  kNoSuchKey,         // 2: a registry key that is not there
  kNoSuchValue,       // 2: a registry value that is not there
  kNotTheDevices,     // 5: a file or folder in fs/ that is not the device's own
                      //    (another hard link, a mount point, a device, fifo, socket)
  kBadPathname,       // 161 ERROR_BAD_PATHNAME: a subkey path that begins with a backslash
};

// The device's error number; 0 for kNone.
std::int32_t ErrorNumber(Reason reason);
// A few lower-case words ("already exists"); empty for kNone.
const char* ReasonWords(Reason reason);
// The reason for a failed host call by its errno, where the emulation did not
// foresee the failure (a host folder without write access, a full disk, ...).
Reason ReasonOfErrno(int error);

}  // namespace host
