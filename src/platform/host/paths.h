// Device paths on the host: `\Windows\logo.gif` is DIR/fs/Windows/logo.gif,
// found without regard to case, and never anything outside DIR/fs.
//
// Every folder along a path is opened by itself, relative to the one before
// it, with O_NOFOLLOW: a link along the path, or one swapped in while the
// path is being walked, ends the walk instead of leading out of fs/. The last
// component is then acted on relative to its folder (openat, renameat2,
// unlinkat, ...), so it cannot escape either.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace host {

// An owned file descriptor, closed when it goes.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void Reset();

 private:
  int fd_ = -1;
};

// The names of each folder looked at so far, case-folded, so that finding
// `logo.gif` as `LOGO.GIF`, or proving that no case of it exists, costs one
// lookup instead of a scan of the folder. A folder is scanned once; our own
// changes keep its entry up to date, and a modification time that differs
// from the one seen last (someone else changed the folder) has it scanned
// again. Changes made by another process within the file system's clock tick
// of our own can go unseen, so whoever runs such a process drops all entries
// when it ends (Clear).
class FolderCaches {
 public:
  // The host name and lstat of `name` in `folder`: the exact name when it
  // exists, else the first existing name (in byte order) that folds the same.
  bool Lookup(int folder, std::u16string_view name, std::string* host_name, struct stat* st);
  // Our own changes to `folder`.
  void Added(int folder, const std::string& host_name);
  void Removed(int folder, const std::string& host_name);
  // A folder that is about to be removed (its inode may be reused).
  void Forget(const struct stat& folder);
  void Clear() { folders_.clear(); }

 private:
  struct Folder {
    struct timespec mtime {};
    // Folded name -> host names that fold to it, in byte order.
    std::unordered_map<std::u16string, std::vector<std::string>> names;
  };
  using Key = std::pair<dev_t, ino_t>;

  Folder* Get(int folder);         // scanned when missing or stale
  Folder* GetIfKnown(int folder);  // never scans
  static void Insert(Folder* entry, const std::string& host_name);

  std::map<Key, Folder> folders_;
};

// The last component of a device path, looked up in its folder.
struct Entry {
  Fd folder;              // the real folder that holds it
  std::u16string name;    // as the program gave it
  std::string host_name;  // the existing entry's name; else the UTF-8 of `name` (empty if none)
  bool exists = false;
  struct stat st {};  // lstat of the entry when it exists

  bool is_link() const { return exists && S_ISLNK(st.st_mode); }
  bool is_folder() const { return exists && S_ISDIR(st.st_mode); }
  // Anything else that exists counts as a file (fifos and sockets cannot be
  // opened, but can be moved and deleted like files).
  bool is_file() const { return exists && !is_link() && !is_folder(); }
};

// One entry of a folder as enumeration reports it.
struct Listed {
  std::u16string name;  // at most platform::kMaxPath - 1 code units
  std::uint32_t attributes;
};

// Splits a device path at `\` and `/`, dropping empty components. False when
// a component is `.` or `..`: the device has no such names, and they would
// lead out of fs/.
bool SplitPath(std::u16string_view path, std::vector<std::u16string>* parts);

// Whole-name match of `*` and `?` without regard to case. As on Windows,
// `*.*` matches every name, those without a dot included.
bool MatchWildcard(std::u16string_view pattern, std::u16string_view name);

// Whether a new file or folder may take this name on the device: no control
// characters, none of <>:"|?*, no lone surrogate.
bool IsValidNewName(std::u16string_view name);

// The device's file system: DIR/fs and the folder caches.
class Tree {
 public:
  // Opens DIR/fs, which must be a folder and not a link.
  bool Open(const std::filesystem::path& fs_dir, std::string* error);
  void Close();

  // Walks every component of `path` but the last through real folders and
  // looks the last up. False when the path is empty, holds `.` or `..`, or a
  // folder along it is missing or is a link; true even if the last component
  // does not exist (see Entry::exists).
  bool Resolve(std::u16string_view path, Entry* entry);

  // `pattern` is a folder's path with a wildcard name as its last component:
  // the folder's entries whose names match it, sorted by case-folded name
  // (ties in byte order of the host name, so the order never depends on the
  // host's directory order). `.` and `..` are never listed, nor names longer
  // than FindData can hold. False when the folder is missing or a link.
  bool List(std::u16string_view pattern, std::vector<Listed>* found);

  FolderCaches& caches() { return caches_; }

 private:
  bool OpenFolder(const std::vector<std::u16string>& parts, std::size_t count, Fd* folder);

  Fd root_;
  FolderCaches caches_;
};

}  // namespace host
