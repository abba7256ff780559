// What the device will hold once the delivery is staged, read in place and
// read-only: the delivery folder stands for \Temp\branding, and with a device
// image its fs/ for everything else and its registry.reg for the registry.
//
// Names, case folding, the enumeration's order and path resolution are the
// host backend's own (host::Tree, as brandsim resolves them): every folder
// is opened by itself without following a link, a link is listed but never
// opened, and nothing outside the two folders is reached. Nothing is ever
// written or created.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/paths.h"
#include "platform/host/registry_store.h"
#include "platform/platform.h"
#include "settings/line_reader.h"

namespace lint {

class DeviceView {
 public:
  // `device` may be empty: then the device holds nothing but the delivery
  // and an empty registry. On failure `error` names the folder or file.
  bool Open(const std::string& delivery, const std::string& device, std::string* error);

  // What FindFirstFileW and FindNextFileW give for `pattern` (a device path
  // whose last component is a wildcard), in the device's order.
  std::vector<platform::FindData> List(std::u16string_view pattern);

  // The regular file that CreateFileW opens at the device path `path` for
  // reading, opened read-only; invalid when there is none (missing, a
  // link, a folder, a fifo or a device node).
  host::Fd OpenFile(std::u16string_view path);

  // The host name of the delivery's top-level entry that the device reaches
  // as `name` (the name itself, else the first in byte order that differs
  // only in case); empty when there is none.
  std::string DeliveryHostName(std::u16string_view name);

  // The device's registry: whether a key exists, and a value.
  bool KeyExists(platform::HKey root, std::u16string_view path) const;
  std::optional<host::RegValue> Value(platform::HKey root, std::u16string_view key,
                                      std::u16string_view name) const;

 private:
  // The tree that holds `path` and the path inside it; null when the path
  // leads nowhere (a `.` or `..`, or outside the staging folder without a
  // device image).
  host::Tree* Route(std::u16string_view path, std::u16string* inside);

  host::Tree delivery_;
  host::Tree fs_;
  bool has_fs_ = false;
  host::RegistryStore registry_;
};

// A byte source over a host file descriptor that gives at most `budget`
// bytes: a file of any size (a 2 GB sparse script) costs no more to read
// than its first `budget` bytes. `cut` tells whether bytes were left unread.
struct HostFileBytes {
  int fd = -1;
  std::uint64_t budget = 0;
  std::uint64_t read = 0;
  bool cut = false;
};
ByteSource HostFileSource(HostFileBytes* file);

// The regular file `host_name` at the top of the delivery folder, opened
// read-only without following a link; invalid when it is none.
host::Fd OpenDeliveryFile(const std::string& delivery, const std::string& host_name);

}  // namespace lint
