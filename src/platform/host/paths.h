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
//
// The code, by job: fd.cpp (descriptors and whole writes), folder_cache.cpp
// (FolderCaches), enumeration.cpp (Enumeration), paths.cpp (the path walk:
// SplitPath, IsValidNewName and Tree), layers.cpp (a dry run's tree over the
// image, and the walk of the whole tree).
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/host/view.h"
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

// Writes all of `bytes`, taking a call that a caught signal interrupted up
// again; false (errno set) on any other failure.
bool WriteAll(int fd, std::string_view bytes);

// Sizes that bound what the backend holds in memory, whatever the folders
// hold. The defaults suit any device image; tests make them small to reach
// their edges with a few hundred files.
struct Limits {
  // An enumeration holds at most this many names at once, and at most this
  // many bytes of them (each name with its terminator and a 4-byte index; the
  // storage it takes stays under one and a half times that).
  std::size_t window_entries = 4096;
  std::size_t window_bytes = 80 * 1024;
  // Each cached folder's name filter: bits per name it is sized for (half
  // of them where the folder's variants below are all known), the fewest
  // names it is sized for, and the most bytes it takes; all folders'
  // filters and variants together take at most `filters_bytes`.
  std::size_t filter_bits_per_name = 16;
  std::size_t filter_min_names = 256;
  std::size_t filter_max_bytes = 512 * 1024;
  std::size_t filters_bytes = 1024 * 1024;
  // Each cached folder also keeps the names that are not already in folded
  // form (`Logo.GIF`, not `logo.gif`), up to this many, so that finding
  // another case of a name does not read the whole folder. A folder with
  // more of them is read for each such lookup.
  std::size_t variants_per_folder = 1024;
};

// What each folder looked at so far holds, as a filter of its case-folded
// names (a Bloom filter), so that proving that no case of `logo.gif` exists
// costs no call at all, in a folder of any size, and at most a couple of bytes
// a name. A name the filter may hold is looked up exactly, and when no entry
// has exactly that name the folder is read for the names that fold alike; the
// same read rebuilds the filter. A folder is read once to start its filter;
// our own changes keep it up to date (a removed name leaves its bits set,
// which only costs a read later, never a wrong answer), and a modification
// time that differs from the one seen last (someone else changed the folder)
// has it read again. Changes made by another process within the file
// system's clock tick of our own can go unseen, so whoever runs such a
// process drops all entries when it ends (Clear).
class FolderCaches {
 public:
  explicit FolderCaches(const Limits& limits = Limits()) : limits_(limits) {}

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
  void Clear();

  // Descriptors that stay open for a while (the tree's opened folders) and
  // the folders they stand for, so that Added and Removed need not ask the
  // host which folder a change was made in when no names of it are cached.
  void Remember(int fd, const struct stat& folder) {
    known_fds_[fd] = Key{folder.st_dev, folder.st_ino};
  }
  void Unremember(int fd) { known_fds_.erase(fd); }

  // Bytes all filters take now, and whole-folder reads made so far (for tests).
  std::size_t filter_bytes() const { return filter_bytes_; }
  std::size_t reads() const { return reads_; }

 private:
  struct Folder {
    struct timespec mtime {};
    std::vector<std::uint64_t> bits;
    std::size_t names = 0;     // names set since it was built (removed ones too)
    std::size_t capacity = 0;  // names it was sized for
    std::size_t bits_per_name = 1;
    std::uint64_t used = 0;  // when it last answered, for eviction
    // The names not in folded form, when there are few enough of them
    // (variants_complete): with a look at the folded form itself, they
    // answer a lookup by another case without a read of the folder.
    std::vector<std::string> variants;
    bool variants_complete = true;
  };
  using Key = std::pair<dev_t, ino_t>;

  Folder* Fresh(const struct stat& folder_st);  // cached and unchanged since
  // The folder's filter is current and says no case of the name is there.
  bool ProvenAbsent(const struct stat& folder_st, std::uint64_t hash);
  // The most names a filter of `bits_per_name` is sized for.
  std::size_t MostNames(std::size_t bits_per_name) const;
  std::size_t FullBitsPerName() const;              // where the variants are not all known
  bool Outgrown(const Folder& entry) const;         // wants a new filter
  Folder* GetIfKnown(int folder, struct stat* st);  // *st: the folder's
  // Reads `folder` into a new filter for it, collecting the names that fold
  // to `folded` (null: none wanted); null when the folder cannot be read.
  Folder* Rebuild(int folder, const struct stat& folder_st, const std::u16string* folded,
                  std::vector<std::string>* alike);
  void Set(Folder* entry, std::uint64_t hash) const;
  bool MayHold(const Folder& entry, std::uint64_t hash) const;
  void Drop(std::map<Key, Folder>::iterator it);
  // Keeps `host_name` among the entry's variants when it is one; the change
  // in the bytes they take.
  std::ptrdiff_t AddVariant(Folder* entry, std::string_view host_name) const;
  // The existing names of `folder` that fold to `folded`, from the entry's
  // variants and the folded form; false when the variants cannot tell.
  bool AlikeFromVariants(int folder, const Folder& entry, const std::u16string& folded,
                         std::vector<std::string>* alike) const;
  static std::size_t VariantBytes(const Folder& entry);
  void MakeRoom(std::size_t bytes);
  static std::uint64_t FoldedHash(std::u16string_view name);

  Limits limits_;
  std::map<Key, Folder> folders_;
  std::unordered_map<int, Key> known_fds_;
  std::size_t filter_bytes_ = 0;
  std::uint64_t clock_ = 0;
  std::size_t reads_ = 0;
};

// A folder held open for as long as an entry needs it; the tree's opened
// folders may share it.
class FolderFd {
 public:
  FolderFd() = default;
  explicit FolderFd(std::shared_ptr<const Fd> fd) : fd_(std::move(fd)) {}
  int get() const { return fd_ ? fd_->get() : -1; }
  bool valid() const { return get() >= 0; }
  const std::shared_ptr<const Fd>& shared() const { return fd_; }

 private:
  std::shared_ptr<const Fd> fd_;
};

// Host names in the order enumeration gives them: by their UTF-16 forms
// compared without regard to case (CompareNoCase), ties in byte order
// (<0, 0 or >0).
int CompareHostNames(std::string_view a, std::string_view b);

// A file of the image that a dry run moved (Tree::Place): it stays in the
// image's folder under its own name and shows in a view folder under
// another.
struct Placed {
  std::shared_ptr<const Fd> folder;
  std::string name;
  struct stat st {};
};
// Placed files of one view folder, in the order enumeration gives names:
// those whose names fold alike are neighbours, the first of them the first
// in byte order; a UTF-16 name finds them all (FoldedProbe).
struct FoldedProbe {
  std::u16string_view name;
};
struct HostNameOrder {
  using is_transparent = void;
  bool operator()(const std::string& a, const std::string& b) const {
    return CompareHostNames(a, b) < 0;
  }
  bool operator()(const std::string& a, const FoldedProbe& b) const;
  bool operator()(const FoldedProbe& a, const std::string& b) const;
};
using PlacedFiles = std::map<std::string, Placed, HostNameOrder>;

// The last component of a device path, looked up in its folder.
struct Entry {
  FolderFd folder;           // the real folder that holds it (the view's, when it does not exist)
  struct stat folder_st {};  // the view's folder's stat, taken on the walk (none for the root)
  // A layered tree (Tree::SetLower): found in the image's folder behind the
  // view's, which `folder` then is. Such an entry is only ever read there:
  // whatever changes it happens in `view`, the view's folder. A placed one
  // (Tree::Place) is the image's file `source` in `folder`, shown in `view`
  // as `host_name`.
  bool lower = false;
  bool placed = false;
  std::string source;
  FolderFd view;
  FolderKey view_key{};   // `view`'s device and inode
  std::u16string name;    // as the program gave it
  std::string host_name;  // the existing entry's name; else the UTF-8 of `name` (empty if none)
  bool exists = false;
  struct stat st {};  // lstat of the entry when it exists

  // Exists but is not the device's own (Tree::Owns): no operation opens,
  // changes, moves or removes it.
  bool foreign = false;

  bool is_link() const { return exists && S_ISLNK(st.st_mode); }
  bool is_folder() const { return exists && S_ISDIR(st.st_mode); }
  // Anything else that exists counts as a file (fifos and sockets cannot be
  // opened, but can be moved and deleted like files).
  bool is_file() const { return exists && !is_link() && !is_folder(); }
  // The name of the file itself in `folder`.
  const std::string& object_name() const { return placed ? source : host_name; }
};

// `folder` opened anew for reading its names, with an offset of its own
// (enumeration.cpp; the folder caches read folders through it too). Null
// when it cannot be opened.
DIR* OpenNames(int folder);

class Tree;

// One entry of a folder as enumeration reports it.
struct Listed {
  std::u16string name;  // at most platform::kMaxPath - 1 code units
  std::uint32_t attributes;
  std::string host_name;
};

// The entries of one folder whose names match a wildcard, one at a time,
// sorted by case-folded name (ties in byte order of the host name, so that
// the order never depends on the host's directory order). `.` and `..` are
// never listed, nor names longer than FindData can hold, nor names holding
// the device's separator.
//
// A folder of any size is enumerated in a bounded window: each pass reads
// the whole folder and keeps the smallest names after the last one given
// out, as many as the window holds; when they are used up, another pass.
// A folder whose matching names fit the window is read once. Each entry is
// looked at (lstat) just before it is given out, so an entry removed or moved
// away meanwhile is not reported; one added meanwhile is, when it sorts
// after the last name given out and a pass is still to come.
class Enumeration {
 public:
  Enumeration() = default;
  Enumeration(Enumeration&&) noexcept = default;
  Enumeration& operator=(Enumeration&&) noexcept = default;

  // The next entry; false when there is none left (or the folder can no
  // longer be read).
  bool Next(Listed* entry);
  std::size_t passes() const { return passes_; }  // for tests

 private:
  friend class Tree;
  struct CloseDir {
    void operator()(DIR* dir) const;
  };
  // A layered tree's folder: the names of the image's folder behind it go
  // into the one order, but for those the tree no longer shows and those
  // the view's folder holds itself.
  struct Merge {
    std::unique_ptr<Enumeration> lower;
    const Tree* tree = nullptr;
    FolderKey view_key{};
    Listed own, other;  // the next of each, once read
    bool have_own = false, have_other = false, own_done = false, other_done = false;
    bool own_waited = false;  // `own` was read before the last entry given out
    // The files placed in the view folder are asked for as they are when
    // each entry goes out: the first after the last name given out.
    std::string last_out;
    bool started = false;
  };
  bool Start(int folder, std::u16string_view wildcard, const Limits& limits,
             const Tree* hiding = nullptr, FolderKey hiding_key = {});
  bool NextOwn(Listed* entry);
  bool Pass();
  std::string_view NameAt(std::uint32_t offset) const { return &arena_[offset]; }
  // The order given out: the names at two offsets, by CompareHostNames.
  bool Before(std::uint32_t a, std::uint32_t b) const;
  void DropLargest();
  void Compact();

  std::unique_ptr<DIR, CloseDir> dir_;
  std::unique_ptr<Merge> merge_;
  // Names a layered tree hides in the view folder `hiding_key_` are not
  // read into the window (a hidden name never shows again).
  const Tree* hiding_ = nullptr;
  FolderKey hiding_key_{};
  std::u16string wildcard_;
  std::size_t max_entries_ = 0;
  std::size_t max_bytes_ = 0;
  std::vector<char> arena_;            // the window's names, each ended by a NUL
  std::vector<std::uint32_t> window_;  // offsets into arena_: a max-heap during a pass, then sorted
  std::size_t held_ = 0;               // bytes of the window's names and terminators
  std::size_t next_ = 0;               // in window_
  std::string last_;                   // the last name taken from a window
  bool started_ = false;               // last_ is set
  bool closed_ = false;                // this pass's window has let a name go
  bool complete_ = false;              // the last pass held every name left
  std::size_t passes_ = 0;
};

// Splits a device path at `\` and `/`, dropping empty components. False when
// a component is `.` or `..`: the device has no such names, and they would
// lead out of fs/.
bool SplitPath(std::u16string_view path, std::vector<std::u16string>* parts);

// Whether a new file or folder may take this name on the device: no control
// characters, none of <>:"|?*, no lone surrogate.
bool IsValidNewName(std::u16string_view name);

// The device's file system: DIR/fs and the folder caches.
class Tree {
 public:
  explicit Tree(const Limits& limits = Limits()) : limits_(limits), caches_(limits) {}

  // Opens DIR/fs, which must be a folder and not a link.
  bool Open(const std::filesystem::path& fs_dir, std::string* error);
  void Close();

  // Walks every component of `path` but the last through real folders and
  // looks the last up. False when the path is empty, holds `.` or `..`, or a
  // folder along it is missing or is a link; true even if the last component
  // does not exist (see Entry::exists).
  bool Resolve(std::u16string_view path, Entry* entry);

  // Starts `enumeration` over the entries of a folder whose names match a
  // wildcard: `pattern` is the folder's path with the wildcard as its last
  // component. False when the folder is missing, a link, or cannot be read.
  bool Enumerate(std::u16string_view pattern, Enumeration* enumeration);

  FolderCaches& caches() { return caches_; }

  // Whether what `st` describes (taken on an opened object wherever the
  // answer decides an operation) is the device's own: a folder on fs/'s
  // own file system, or a regular file there with no hard link but its
  // name in fs/. Anything else -- a file with another hard link (whose
  // other name may be anywhere on the host), a mount point, a device node,
  // a fifo, a socket -- is not: the device lists it, never enters, opens,
  // changes, moves or removes it. `foreign` holds the (device, inode)
  // pairs a dry run's view made in place of what is not the device's, which
  // would otherwise look like its own (view.h); `lower`: found in the image
  // behind a layered view, on the image's file system.
  bool Owns(const struct stat& st, bool lower = false) const;
  void SetView(const std::set<std::pair<dev_t, ino_t>>* foreign) { foreign_ = foreign; }
  dev_t device() const { return root_dev_; }

  // Layers the tree (Open first) over the image's file system `image_fs`:
  // each of the tree's folders named in `folders` stands for that image
  // folder, whose entries show through it unless the tree holds an entry of
  // the same name or the name was hidden since (view.h). Nothing here
  // changes the image; the callers of Resolve act on an entry found there
  // through its view folder (Entry::lower).
  bool SetLower(const std::filesystem::path& image_fs, std::map<FolderKey, LowerFolder> folders,
                std::string* error);
  bool layered() const { return lower_root_ != nullptr; }
  // `host_name`, gone from the view's folder `view_key` (moved away,
  // deleted), no longer shows from the image.
  void Hide(const FolderKey& view_key, const std::string& host_name);
  bool Hidden(const FolderKey& view_key, std::string_view host_name) const;
  // The view's folder `view_key` is gone; its inode may come back as a new
  // folder, which stands for nothing in the image.
  void ForgetLower(const FolderKey& view_key);
  // Whether the image's folder behind `view_key` still shows an entry, or
  // the view folder a placed file.
  bool LowerShowsAny(const FolderKey& view_key);
  // The image's file `placed` moved by a dry run to `host_name` in the view
  // folder `view_key`, which holds no such name: a move out of the image
  // changes nothing on the host. Unplace takes it away again (moved on,
  // deleted, replaced by a file of the view's own).
  void Place(const FolderKey& view_key, const std::string& host_name, Placed placed);
  void Unplace(const FolderKey& view_key, const std::string& host_name);
  // The files placed in a view folder; null when none.
  const PlacedFiles* PlacedIn(const FolderKey& view_key) const;
  // 0 when the program may take names from the image's folder behind the
  // entry's view folder (as taking them from the folder itself needs it
  // written: the view's stand-in allows it exactly when the image's does);
  // else errno.
  int MayTakeFromImage(const Entry& entry);

  // Every entry of the device's file system as the run sees it, with its
  // path below fs/ ('/' between host names), its folder and its lstat; a
  // mount point is listed, never entered.
  struct Walked {
    const std::string& relative;
    int folder;
    const char* name;
    const struct stat& st;
    bool lower;  // in the image behind a layered tree's view
  };
  void Walk(const std::function<void(const Walked&)>& visit);

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
  Fd OpenSubfolder(int parent, const struct stat* parent_st, std::u16string_view name, bool* exact);
  void DropOpened();
  // The view folder's key, for the root as for any other.
  FolderKey KeyOf(const struct stat& folder_st) const;
  // The image's folder behind a view folder, opened, and its stat as it
  // was opened (the run never changes it); null when none.
  std::shared_ptr<const Fd> LowerFolderOf(const FolderKey& view_key,
                                          const struct stat** st = nullptr);
  // What the placed files and the image's folder show under a name the
  // view's folder holds no exact case of (Resolve).
  void LookInImage(Entry* entry);
  void WalkFolder(int folder, const FolderKey& key, const std::string& relative,
                  const std::function<void(const Walked&)>& visit);

  Limits limits_;
  std::shared_ptr<const Fd> root_;
  dev_t root_dev_ = 0;
  const std::set<std::pair<dev_t, ino_t>>* foreign_ = nullptr;
  FolderCaches caches_;
  // By the path of the folder as given: its names joined by single "\".
  std::unordered_map<std::u16string, Opened> opened_;

  // A layered tree's image, its folders behind the view's, those of them
  // open now (at most kMaxOpened; when full, all are let go) and the
  // names hidden in each view folder.
  std::shared_ptr<const Fd> lower_root_;
  dev_t lower_dev_ = 0;
  FolderKey root_key_{};
  std::map<FolderKey, LowerFolder> lower_;
  struct OpenLower {
    std::shared_ptr<const Fd> fd;
    struct stat st;
  };
  std::map<FolderKey, OpenLower> lower_open_;
  // Hidden names, each with a filter in front: nearly every name asked
  // about is not hidden, and a folder's worth of names hidden would make
  // each question a walk through memory.
  struct HiddenNames {
    std::unordered_set<std::string> names;
    std::vector<std::uint64_t> filter;  // kHiddenFilterBits bits, two per name
  };
  static constexpr std::size_t kHiddenFilterBits = std::size_t{1} << 20;
  std::map<FolderKey, HiddenNames> hidden_;
  std::map<FolderKey, int> view_access_;  // MayTakeFromImage's answers
  std::map<FolderKey, PlacedFiles> placed_;
};

}  // namespace host
