// Device paths on the host: `\Windows\logo.gif` is DIR/fs/Windows/logo.gif,
// found without regard to case, and never anything outside DIR/fs.
//
// Every folder along a path is opened by itself, relative to the one before
// it, with O_NOFOLLOW: a link along the path, or one swapped in while the
// path is being walked, ends the walk instead of leading out of fs/. The last
// component is then acted on relative to its folder (openat, renameat2,
// unlinkat, ...), so it cannot escape either.
//
// Folders stay open between walks, so that the next walk through them costs
// one lstat a folder instead of an open and a close: before each use, the
// name is checked to still stand for the very folder held open (the same
// device and inode, which cannot be handed to another file while it is
// open), so that a folder renamed, removed or swapped for a link since is
// walked afresh.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
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
  // `folder_st` is the folder's own stat when the caller has just taken it
  // (null: it is taken here).
  bool Lookup(int folder, const struct stat* folder_st, std::u16string_view name,
              std::string* host_name, struct stat* st);
  // Our own changes to `folder`.
  void Added(int folder, const std::string& host_name);
  void Removed(int folder, const std::string& host_name);
  // A folder that is about to be removed (its inode may be reused).
  void Forget(const struct stat& folder);
  void Clear() { folders_.clear(); }

  // Descriptors that stay open for a while (the tree's opened folders) and
  // the folders they stand for, so that Added and Removed need not ask the
  // host which folder a change was made in when no names of it are cached.
  void Remember(int fd, const struct stat& folder) {
    known_fds_[fd] = Key{folder.st_dev, folder.st_ino};
  }
  void Unremember(int fd) { known_fds_.erase(fd); }

 private:
  struct Folder {
    struct timespec mtime {};
    // The host names by a hash of their case-folded form. Keyed by the
    // folded form itself, a folder of many thousand files would cost twice
    // as much; it is made only for the names a lookup's hash picks out.
    std::unordered_multimap<std::uint64_t, std::string> names;
  };
  using Key = std::pair<dev_t, ino_t>;

  Folder* Get(int folder, const struct stat* known);  // scanned when missing or stale
  Folder* GetIfKnown(int folder, struct stat* st);    // never scans; *st: the folder's
  // `name` among the cached names of `entry` that still exist: `exact` (its
  // host form, when it has one) first, then the others in byte order.
  static bool FindCached(int folder, Folder* entry, std::u16string_view name,
                         const std::string* exact, std::string* host_name, struct stat* st);
  static std::uint64_t FoldedHash(std::u16string_view name);
  static void Insert(Folder* entry, const std::string& host_name);
  static void Erase(Folder* entry, const std::string& host_name);

  std::map<Key, Folder> folders_;
  std::unordered_map<int, Key> known_fds_;
};

// A folder held open for as long as an entry needs it; the tree's opened
// folders may share it.
class FolderFd {
 public:
  FolderFd() = default;
  explicit FolderFd(std::shared_ptr<const Fd> fd) : fd_(std::move(fd)) {}
  int get() const { return fd_ ? fd_->get() : -1; }
  bool valid() const { return get() >= 0; }

 private:
  std::shared_ptr<const Fd> fd_;
};

// The last component of a device path, looked up in its folder.
struct Entry {
  FolderFd folder;        // the real folder that holds it
  struct stat folder_st {};  // that folder's stat, taken on the walk (none for the root)
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
  // A folder reached by an earlier walk under the exact name given.
  struct Opened {
    std::shared_ptr<const Fd> fd;
    std::string host_name;  // its name in its parent
    dev_t dev;
    ino_t ino;
  };
  // At most this many are kept open; when full, all are let go.
  static constexpr std::size_t kMaxOpened = 64;

  // *folder_st is the folder's stat, taken on the way; zeros for the root.
  bool OpenFolder(const std::vector<std::u16string>& parts, std::size_t count, FolderFd* folder,
                  struct stat* folder_st);
  Fd OpenSubfolder(int parent, const struct stat* parent_st, std::u16string_view name,
                   bool* exact);
  void DropOpened();

  std::shared_ptr<const Fd> root_;
  FolderCaches caches_;
  // By the path of the folder as given: its names joined by single "\".
  std::unordered_map<std::u16string, Opened> opened_;
};

}  // namespace host
