#include "device_view.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "text.h"

namespace lint {

namespace fs = std::filesystem;

namespace {

// Reopens a file held as an object (O_PATH) for reading: the file checked
// is the file read, and nothing that is no regular file (a fifo, a device
// node) is ever opened for reading, which could block or act.
host::Fd ReadOnly(int folder, const std::string& name, const struct stat* expected) {
  host::Fd object(openat(folder, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (!object.valid() || fstat(object.get(), &st) != 0 || !S_ISREG(st.st_mode)) return host::Fd();
  if (expected != nullptr && (st.st_dev != expected->st_dev || st.st_ino != expected->st_ino)) {
    return host::Fd();
  }
  std::string self = "/proc/self/fd/" + std::to_string(object.get());
  host::Fd opened(open(self.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!opened.valid() && errno == ENOENT) {
    // No /proc: by name again, never following a link, checked below.
    opened = host::Fd(openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  }
  struct stat again;
  if (!opened.valid() || fstat(opened.get(), &again) != 0 || again.st_dev != st.st_dev ||
      again.st_ino != st.st_ino) {
    return host::Fd();
  }
  return opened;
}

std::uint32_t ReadHostFile(void* context, std::uint8_t* buffer, std::uint32_t capacity) {
  auto* file = static_cast<HostFileBytes*>(context);
  std::uint64_t left = file->budget - std::min(file->budget, file->read);
  std::uint32_t wanted = static_cast<std::uint32_t>(std::min<std::uint64_t>(capacity, left));
  std::uint32_t done = 0;
  while (done < wanted) {
    ssize_t n = read(file->fd, buffer + done, wanted - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::uint32_t>(n);
  }
  file->read += done;
  if (done == wanted && wanted < capacity) {
    // The budget is spent: whether anything was left unread.
    char more;
    ssize_t n;
    do {
      n = read(file->fd, &more, 1);
    } while (n < 0 && errno == EINTR);
    file->cut = n > 0;
  }
  return done;
}

const host::RegistryStore::Root* RootOf(platform::HKey root) {
  static const host::RegistryStore::Root kRoots[] = {host::RegistryStore::kClassesRoot,
                                                     host::RegistryStore::kCurrentUser,
                                                     host::RegistryStore::kLocalMachine};
  if (root == platform::kHkeyClassesRoot) return &kRoots[0];
  if (root == platform::kHkeyCurrentUser) return &kRoots[1];
  if (root == platform::kHkeyLocalMachine) return &kRoots[2];
  return nullptr;
}

}  // namespace

ByteSource HostFileSource(HostFileBytes* file) { return ByteSource{ReadHostFile, file}; }

bool DeviceView::Open(const std::string& delivery, const std::string& device, std::string* error) {
  // The folder the user named may be reached through a link of their own;
  // below it, no link is followed.
  char* real = realpath(delivery.c_str(), nullptr);
  if (real == nullptr) {
    *error = ShowHostName(delivery) + ": cannot read: " + std::strerror(errno);
    return false;
  }
  std::string resolved = real;
  free(real);
  if (!delivery_.Open(resolved, error)) {
    *error = ShowHostName(delivery) + ": cannot read the folder";
    return false;
  }
  if (device.empty()) return true;
  fs::path image(device);
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(image / "fs", ec))) {
    *error = device + ": not a device image (no fs/ folder)";
    return false;
  }
  if (!fs_.Open(image / "fs", error)) return false;
  has_fs_ = true;
  // Read once, as a run reads it: no link followed, no fifo waited for.
  return registry_.Load(image / "registry.reg", error);
}

host::Tree* DeviceView::Route(std::u16string_view path, std::u16string* inside) {
  std::vector<std::u16string> parts;
  if (!host::SplitPath(path, &parts) || parts.empty()) return nullptr;
  if (parts.size() >= 3 && EqualNoCase(parts[0], u"Temp") && EqualNoCase(parts[1], u"branding")) {
    inside->clear();
    for (std::size_t i = 2; i < parts.size(); ++i) {
      if (i > 2) inside->push_back(u'\\');
      *inside += parts[i];
    }
    return &delivery_;
  }
  if (!has_fs_) return nullptr;
  *inside = std::u16string(path);
  return &fs_;
}

std::vector<platform::FindData> DeviceView::List(std::u16string_view pattern) {
  std::vector<platform::FindData> found;
  std::u16string inside;
  host::Tree* tree = Route(pattern, &inside);
  host::Enumeration enumeration;
  if (tree == nullptr || !tree->Enumerate(inside, &enumeration)) return found;
  host::Listed entry;
  while (enumeration.Next(&entry)) {
    platform::FindData data{};
    data.dwFileAttributes = entry.attributes;
    std::copy(entry.name.begin(), entry.name.end(), data.cFileName);
    found.push_back(data);
  }
  return found;
}

host::Fd DeviceView::OpenFile(std::u16string_view path) {
  std::u16string inside;
  host::Tree* tree = Route(path, &inside);
  host::Entry entry;
  if (tree == nullptr || !tree->Resolve(inside, &entry) || !entry.exists ||
      !S_ISREG(entry.st.st_mode)) {
    return host::Fd();
  }
  // The device's own file system keeps brandsim's rule: a file with another
  // hard link is not the device's, and is never opened. A delivery's file is
  // what will be copied to the device, however it is linked here.
  if (tree == &fs_ && entry.foreign) return host::Fd();
  return ReadOnly(entry.folder.get(), entry.host_name, &entry.st);
}

std::string DeviceView::DeliveryHostName(std::u16string_view name) {
  host::Entry entry;
  if (!delivery_.Resolve(name, &entry) || !entry.exists) return std::string();
  return entry.host_name;
}

bool DeviceView::KeyExists(platform::HKey root, std::u16string_view path) const {
  const host::RegistryStore::Root* r = RootOf(root);
  return r != nullptr && registry_.Find(registry_.root(*r), path) != nullptr;
}

std::optional<host::RegValue> DeviceView::Value(platform::HKey root, std::u16string_view key,
                                        std::u16string_view name) const {
  const host::RegistryStore::Root* r = RootOf(root);
  if (r == nullptr) return std::nullopt;
  std::shared_ptr<host::RegKey> found = registry_.Find(registry_.root(*r), key);
  return found ? registry_.GetValue(found.get(), name) : std::nullopt;
}

host::Fd OpenDeliveryFile(const std::string& delivery, const std::string& host_name) {
  host::Fd folder(open(delivery.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder.valid() || host_name.find('/') != std::string::npos) return host::Fd();
  return ReadOnly(folder.get(), host_name, nullptr);
}

}  // namespace lint
