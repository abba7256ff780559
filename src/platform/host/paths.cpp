#include "platform/host/paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/host/internal.h"
#include "platform/text.h"

namespace host {

namespace {

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Reads the names in `folder` (. and .. left out); false when it cannot be read.
template <typename F>
bool ForEachName(int folder, F&& visit) {
  int fd = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    close(fd);
    return false;
  }
  errno = 0;
  while (const struct dirent* d = readdir(dir)) {
    if (std::strcmp(d->d_name, ".") != 0 && std::strcmp(d->d_name, "..") != 0) {
      visit(std::string(d->d_name));
    }
    errno = 0;
  }
  bool ok = errno == 0;
  closedir(dir);
  return ok;
}

// Case-folded names in code unit order: <0, 0 or >0.
int CompareFolded(std::u16string_view a, std::u16string_view b) {
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] == b[i]) continue;
    char16_t x = wtext::ToLower(a[i]);
    char16_t y = wtext::ToLower(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

std::uint32_t AttributesOf(const struct stat& st) {
  if (S_ISLNK(st.st_mode)) return platform::kFileAttributeReparsePoint;
  if (S_ISDIR(st.st_mode)) return platform::kFileAttributeDirectory;
  return (st.st_mode & S_IWUSR) ? platform::kFileAttributeNormal : platform::kFileAttributeReadonly;
}

}  // namespace

void Fd::Reset() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

// ---- Folder caches -----------------------------------------------------------

std::uint64_t FolderCaches::FoldedHash(std::u16string_view name) {
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a over the folded code units
  for (char16_t c : name) {
    hash = (hash ^ wtext::ToLower(c)) * 1099511628211ull;
  }
  return hash;
}

void FolderCaches::Insert(Folder* entry, const std::string& host_name) {
  std::uint64_t hash = FoldedHash(FromUtf8(host_name));
  auto range = entry->names.equal_range(hash);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == host_name) return;
  }
  entry->names.emplace(hash, host_name);
}

FolderCaches::Folder* FolderCaches::GetIfKnown(int folder, struct stat* st) {
  auto fd = known_fds_.find(folder);
  if (fd != known_fds_.end() && folders_.count(fd->second) == 0) return nullptr;
  if (fstat(folder, st) != 0) return nullptr;
  auto it = folders_.find(Key{st->st_dev, st->st_ino});
  return it == folders_.end() ? nullptr : &it->second;
}

FolderCaches::Folder* FolderCaches::Get(int folder, const struct stat* known) {
  struct stat st;
  if (known != nullptr) {
    st = *known;
  } else if (fstat(folder, &st) != 0) {
    return nullptr;
  }
  Key key{st.st_dev, st.st_ino};
  auto it = folders_.find(key);
  if (it != folders_.end() && SameTime(it->second.mtime, st.st_mtim)) return &it->second;
  // The time is taken before the scan: a change during the scan shows up as
  // a newer time at the next lookup.
  Folder fresh;
  fresh.mtime = st.st_mtim;
  if (!ForEachName(folder, [&](const std::string& name) { Insert(&fresh, name); })) {
    folders_.erase(key);
    return nullptr;
  }
  Folder& stored = folders_[key];
  stored = std::move(fresh);
  return &stored;
}

bool FolderCaches::Lookup(int folder, const struct stat* folder_st, std::u16string_view name,
                          std::string* host_name, struct stat* st) {
  std::string exact;
  bool exact_ok = ToUtf8Exact(name, &exact) && !exact.empty();
  // A folder whose names are cached, and that has not changed since, answers
  // from its cache: a name that is not there is not in the folder, and no
  // call is made to learn it (in a big folder, a name that does not exist
  // costs the file system a search).
  if (folder_st != nullptr) {
    auto it = folders_.find(Key{folder_st->st_dev, folder_st->st_ino});
    if (it != folders_.end() && SameTime(it->second.mtime, folder_st->st_mtim)) {
      return FindCached(folder, &it->second, name, exact_ok ? &exact : nullptr, host_name, st);
    }
  }
  if (exact_ok && fstatat(folder, exact.c_str(), st, AT_SYMLINK_NOFOLLOW) == 0) {
    *host_name = std::move(exact);
    return true;
  }
  Folder* entry = Get(folder, folder_st);
  if (entry == nullptr) return false;
  return FindCached(folder, entry, name, nullptr, host_name, st);
}

bool FolderCaches::FindCached(int folder, Folder* entry, std::u16string_view name,
                              const std::string* exact, std::string* host_name, struct stat* st) {
  // The names under the hash that really fold to `name`: the exact one
  // first, then in byte order.
  const std::u16string folded = FoldName(name);
  auto range = entry->names.equal_range(FoldedHash(name));
  std::vector<std::string> candidates;
  for (auto it = range.first; it != range.second; ++it) {
    if (FoldName(FromUtf8(it->second)) == folded) candidates.push_back(it->second);
  }
  auto before = [exact](const std::string& a, const std::string& b) {
    if (exact != nullptr && (a == *exact) != (b == *exact)) return a == *exact;
    return a < b;
  };
  std::sort(candidates.begin(), candidates.end(), before);
  for (const std::string& candidate : candidates) {
    if (fstatat(folder, candidate.c_str(), st, AT_SYMLINK_NOFOLLOW) == 0) {
      *host_name = candidate;
      return true;
    }
    Erase(entry, candidate);  // gone meanwhile
  }
  return false;
}

void FolderCaches::Erase(Folder* entry, const std::string& host_name) {
  auto range = entry->names.equal_range(FoldedHash(FromUtf8(host_name)));
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == host_name) {
      entry->names.erase(it);
      return;
    }
  }
}

// Both are called after the change, so the folder's time that GetIfKnown
// reads is already the one the change left.
void FolderCaches::Added(int folder, const std::string& host_name) {
  struct stat st;
  Folder* entry = GetIfKnown(folder, &st);
  if (entry == nullptr) return;
  Insert(entry, host_name);
  entry->mtime = st.st_mtim;
}

void FolderCaches::Removed(int folder, const std::string& host_name) {
  struct stat st;
  Folder* entry = GetIfKnown(folder, &st);
  if (entry == nullptr) return;
  Erase(entry, host_name);
  entry->mtime = st.st_mtim;
}

void FolderCaches::Forget(const struct stat& folder) {
  folders_.erase(Key{folder.st_dev, folder.st_ino});
}

// ---- Names -------------------------------------------------------------------

bool SplitPath(std::u16string_view path, std::vector<std::u16string>* parts) {
  parts->clear();
  std::size_t start = 0;
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != u'\\' && path[i] != u'/') continue;
    if (i > start) {
      std::u16string_view part = path.substr(start, i - start);
      if (part == u"." || part == u"..") return false;
      parts->emplace_back(part);
    }
    start = i + 1;
  }
  return true;
}

bool MatchWildcard(std::u16string_view pattern, std::u16string_view name) {
  if (pattern == u"*.*") return true;
  // Greedy match with one backtrack point: the last `*` seen.
  std::size_t p = 0, n = 0;
  std::size_t star = std::u16string_view::npos, resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == u'*') {
      star = p++;
      resume = n;
    } else if (p < pattern.size() &&
               (pattern[p] == u'?' || wtext::ToLower(pattern[p]) == wtext::ToLower(name[n]))) {
      ++p;
      ++n;
    } else if (star != std::u16string_view::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == u'*') ++p;
  return p == pattern.size();
}

bool IsValidNewName(std::u16string_view name) {
  if (name.empty()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    char16_t c = name[i];
    if (c < 0x20 || std::u16string_view(u"<>:\"|?*").find(c) != std::u16string_view::npos) {
      return false;
    }
    if (c >= 0xD800 && c < 0xDC00) {
      if (i + 1 >= name.size() || name[i + 1] < 0xDC00 || name[i + 1] >= 0xE000) return false;
      ++i;
    } else if (c >= 0xDC00 && c < 0xE000) {
      return false;
    }
  }
  return true;
}

// ---- The tree ----------------------------------------------------------------

bool Tree::Open(const std::filesystem::path& fs_dir, std::string* error) {
  Close();
  struct stat st;
  if (lstat(fs_dir.c_str(), &st) != 0) {
    *error = fs_dir.string() + ": " +
             (errno == ENOENT ? std::string("missing: a device image holds its file system in fs/")
                              : std::string(std::strerror(errno)));
    return false;
  }
  if (S_ISLNK(st.st_mode)) {
    *error = fs_dir.string() + ": is a link; the device's file system must be a folder";
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    *error = fs_dir.string() + ": not a folder";
    return false;
  }
  Fd fd(open(fs_dir.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) {
    *error = fs_dir.string() + ": cannot open: " + std::strerror(errno);
    return false;
  }
  struct stat opened;
  if (fstat(fd.get(), &opened) != 0 || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) {
    *error = fs_dir.string() + ": changed while it was being opened";
    return false;
  }
  DropOpened();
  root_ = std::make_shared<const Fd>(std::move(fd));
  return true;
}

void Tree::Close() {
  DropOpened();
  root_.reset();
  caches_.Clear();
}

void Tree::DropOpened() {
  for (const auto& entry : opened_) caches_.Unremember(entry.second.fd->get());
  opened_.clear();
}

// One call for a folder that exists under the name given, which is nearly
// every time; the folder caches are asked only when no entry has exactly that
// name. O_NOFOLLOW with O_DIRECTORY refuses a link as it refuses a file, and
// if the folder is swapped for a link after the lookup, the open fails
// instead of following it.
Fd Tree::OpenSubfolder(int parent, const struct stat* parent_st, std::u16string_view name,
                       bool* exact) {
  constexpr int kFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  *exact = false;
  std::string host_name;
  if (ToUtf8Exact(name, &host_name) && !host_name.empty()) {
    Fd folder(openat(parent, host_name.c_str(), kFlags));
    // Any other failure: the name is taken by something that is no folder
    // (which wins over other cases of it, as in a lookup), or unusable.
    *exact = folder.valid();
    if (folder.valid() || errno != ENOENT) return folder;
  }
  struct stat st;
  if (!caches_.Lookup(parent, parent_st, name, &host_name, &st) || !S_ISDIR(st.st_mode)) {
    return Fd();
  }
  return Fd(openat(parent, host_name.c_str(), kFlags));
}

bool Tree::OpenFolder(const std::vector<std::u16string>& parts, std::size_t count,
                      FolderFd* folder, struct stat* folder_st) {
  if (!root_) return false;
  std::shared_ptr<const Fd> current = root_;
  struct stat current_st;
  bool have_st = false;  // the root's is taken only when needed
  std::u16string path;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) path.push_back(u'\\');
    path += parts[i];
    int parent = current->get();
    auto it = opened_.find(path);
    if (it != opened_.end()) {
      const Opened& held = it->second;
      struct stat st;
      if (fstatat(parent, held.host_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISDIR(st.st_mode) && st.st_dev == held.dev && st.st_ino == held.ino) {
        current = held.fd;
        current_st = st;
        have_st = true;
        continue;
      }
      caches_.Unremember(held.fd->get());
      opened_.erase(it);
    }
    bool exact = false;
    Fd next = OpenSubfolder(parent, have_st ? &current_st : nullptr, parts[i], &exact);
    struct stat st;
    if (!next.valid() || fstat(next.get(), &st) != 0) return false;
    auto shared = std::make_shared<const Fd>(std::move(next));
    // Only a folder found under the exact name given is kept: a check of
    // that name then tells whether a new walk would come to the same folder.
    if (exact) {
      if (opened_.size() >= kMaxOpened) DropOpened();
      caches_.Remember(shared->get(), st);
      opened_.emplace(path, Opened{shared, ToUtf8(parts[i]), st.st_dev, st.st_ino});
    }
    current = std::move(shared);
    current_st = st;
    have_st = true;
  }
  *folder = FolderFd(std::move(current));
  if (have_st) {
    *folder_st = current_st;
  } else {
    *folder_st = {};
  }
  return true;
}

bool Tree::Resolve(std::u16string_view path, Entry* entry) {
  std::vector<std::u16string> parts;
  if (!SplitPath(path, &parts) || parts.empty()) return false;
  if (!OpenFolder(parts, parts.size() - 1, &entry->folder, &entry->folder_st)) return false;
  entry->name = parts.back();
  // The root's stat is not taken on the way: the lookup takes it if it needs it.
  const struct stat* folder_st = parts.size() > 1 ? &entry->folder_st : nullptr;
  entry->exists = caches_.Lookup(entry->folder.get(), folder_st, entry->name, &entry->host_name,
                                 &entry->st);
  if (!entry->exists && !ToUtf8Exact(entry->name, &entry->host_name)) entry->host_name.clear();
  return true;
}

bool Tree::List(std::u16string_view pattern, std::vector<Listed>* found) {
  found->clear();
  std::vector<std::u16string> parts;
  if (!SplitPath(pattern, &parts) || parts.empty()) return false;
  FolderFd folder;
  struct stat folder_st;
  if (!OpenFolder(parts, parts.size() - 1, &folder, &folder_st)) return false;
  const std::u16string& wildcard = parts.back();

  // The entries as they come, and their host names for the order alone:
  // a big folder is listed without a second copy of every name.
  std::vector<std::string> host_names;
  bool read = ForEachName(folder.get(), [&](const std::string& host_name) {
    std::u16string name = FromUtf8(host_name);
    // A name the device cannot hold in FindData, or cannot address because
    // it contains its separator, is not reported.
    if (name.size() > static_cast<std::size_t>(platform::kMaxPath - 1)) return;
    if (name.find(u'\\') != std::u16string::npos) return;
    if (!MatchWildcard(wildcard, name)) return;
    struct stat st;
    if (fstatat(folder.get(), host_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return;
    found->push_back(Listed{std::move(name), AttributesOf(st)});
    host_names.push_back(host_name);
  });
  if (!read) {
    found->clear();
    return false;
  }
  std::vector<std::uint32_t> order(found->size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<std::uint32_t>(i);
  std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    int folded = CompareFolded((*found)[a].name, (*found)[b].name);
    return folded != 0 ? folded < 0 : host_names[a] < host_names[b];
  });
  host_names = std::vector<std::string>();
  // The entries into that order in place: position i takes entry order[i].
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (order[i] == i) continue;
    Listed held = std::move((*found)[i]);
    std::size_t at = i;
    while (order[at] != i) {
      std::size_t from = order[at];
      (*found)[at] = std::move((*found)[from]);
      order[at] = static_cast<std::uint32_t>(at);
      at = from;
    }
    (*found)[at] = std::move(held);
    order[at] = static_cast<std::uint32_t>(at);
  }
  return true;
}

}  // namespace host
