#include "platform/host/reasons.h"

#include <cerrno>
#include <iterator>

namespace host {

namespace {

struct Row {
  Reason reason;
  std::int32_t error;
  const char* words;
};

// In the order of the enumeration, which ReasonRow checks.
constexpr Row kRows[] = {
    {Reason::kNone, 0, ""},
    {Reason::kNotFound, 2, "not found"},
    {Reason::kPathNotFound, 3, "path not found"},
    {Reason::kAccessDenied, 5, "access denied"},
    {Reason::kReadOnly, 5, "read-only"},
    {Reason::kIsAFolder, 5, "is a folder"},
    {Reason::kInjected, 5, "injected fault"},
    {Reason::kInvalidHandle, 6, "invalid handle"},
    {Reason::kWriteProtected, 19, "write-protected"},
    {Reason::kWriteFault, 29, "write fault"},
    {Reason::kDeviceError, 31, "device error"},
    {Reason::kInUse, 32, "in use"},
    {Reason::kInvalidParameter, 87, "invalid parameter"},
    {Reason::kDiskFull, 112, "disk full"},
    {Reason::kInvalidName, 123, "invalid name"},
    {Reason::kNotEmpty, 145, "not empty"},
    {Reason::kAlreadyExists, 183, "already exists"},
    {Reason::kNameTooLong, 206, "name too long"},
    {Reason::kNotAFolder, 267, "not a folder"},
    {Reason::kNoSuchKey, 2, "no such key"},
    {Reason::kNoSuchValue, 2, "no such value"},
    {Reason::kNotTheDevices, 5, "not the device's"},
    {Reason::kBadPathname, 161, "bad path name"},
};

constexpr bool InOrder() {
  for (std::size_t i = 0; i < std::size(kRows); ++i) {
    if (static_cast<std::size_t>(kRows[i].reason) != i) return false;
  }
  return true;
}
static_assert(InOrder(), "kRows must list the reasons in the order of the enumeration");

const Row& ReasonRow(Reason reason) {
  auto index = static_cast<std::size_t>(reason);
  return index < std::size(kRows) ? kRows[index] : kRows[static_cast<int>(Reason::kDeviceError)];
}

}  // namespace

std::int32_t ErrorNumber(Reason reason) { return ReasonRow(reason).error; }

const char* ReasonWords(Reason reason) { return ReasonRow(reason).words; }

Reason ReasonOfErrno(int error) {
  switch (error) {
    case 0:
      return Reason::kDeviceError;  // failed without saying why
    case ENOENT:
    case ELOOP:  // a link met where the device has none
      return Reason::kNotFound;
    case ENOTDIR:
      return Reason::kPathNotFound;
    case EACCES:
    case EPERM:
      return Reason::kAccessDenied;
    case EEXIST:
      return Reason::kAlreadyExists;
    case ENOTEMPTY:
      return Reason::kNotEmpty;
    case EISDIR:
      return Reason::kIsAFolder;
    case EROFS:
      return Reason::kWriteProtected;
    case EBUSY:
    case ETXTBSY:
      return Reason::kInUse;
    case ENOSPC:
    case EDQUOT:
      return Reason::kDiskFull;
    case ENAMETOOLONG:
      return Reason::kNameTooLong;
    case EINVAL:
      return Reason::kInvalidParameter;
    default:
      return Reason::kDeviceError;
  }
}

}  // namespace host
