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

void FolderCaches::Insert(Folder* entry, const std::string& host_name) {
  std::vector<std::string>& names = entry->names[FoldName(FromUtf8(host_name))];
  auto at = std::lower_bound(names.begin(), names.end(), host_name);
  if (at == names.end() || *at != host_name) names.insert(at, host_name);
}

FolderCaches::Folder* FolderCaches::GetIfKnown(int folder) {
  struct stat st;
  if (fstat(folder, &st) != 0) return nullptr;
  auto it = folders_.find(Key{st.st_dev, st.st_ino});
  return it == folders_.end() ? nullptr : &it->second;
}

FolderCaches::Folder* FolderCaches::Get(int folder) {
  struct stat st;
  if (fstat(folder, &st) != 0) return nullptr;
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

bool FolderCaches::Lookup(int folder, std::u16string_view name, std::string* host_name,
                          struct stat* st) {
  std::string exact;
  if (ToUtf8Exact(name, &exact) && !exact.empty() &&
      fstatat(folder, exact.c_str(), st, AT_SYMLINK_NOFOLLOW) == 0) {
    *host_name = std::move(exact);
    return true;
  }
  Folder* entry = Get(folder);
  if (entry == nullptr) return false;
  auto it = entry->names.find(FoldName(name));
  if (it == entry->names.end()) return false;
  std::vector<std::string>& candidates = it->second;
  for (std::size_t i = 0; i < candidates.size();) {
    if (fstatat(folder, candidates[i].c_str(), st, AT_SYMLINK_NOFOLLOW) == 0) {
      *host_name = candidates[i];
      return true;
    }
    candidates.erase(candidates.begin() + static_cast<std::ptrdiff_t>(i));  // gone meanwhile
  }
  entry->names.erase(it);
  return false;
}

void FolderCaches::Added(int folder, const std::string& host_name) {
  Folder* entry = GetIfKnown(folder);
  if (entry == nullptr) return;
  Insert(entry, host_name);
  struct stat st;
  if (fstat(folder, &st) == 0) entry->mtime = st.st_mtim;
}

void FolderCaches::Removed(int folder, const std::string& host_name) {
  Folder* entry = GetIfKnown(folder);
  if (entry == nullptr) return;
  auto it = entry->names.find(FoldName(FromUtf8(host_name)));
  if (it != entry->names.end()) {
    auto& names = it->second;
    names.erase(std::remove(names.begin(), names.end(), host_name), names.end());
    if (names.empty()) entry->names.erase(it);
  }
  struct stat st;
  if (fstat(folder, &st) == 0) entry->mtime = st.st_mtim;
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
  root_ = std::move(fd);
  return true;
}

void Tree::Close() {
  root_.Reset();
  caches_.Clear();
}

bool Tree::OpenFolder(const std::vector<std::u16string>& parts, std::size_t count, Fd* folder) {
  if (!root_.valid()) return false;
  Fd current(openat(root_.get(), ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!current.valid()) return false;
  for (std::size_t i = 0; i < count; ++i) {
    std::string host_name;
    struct stat st;
    if (!caches_.Lookup(current.get(), parts[i], &host_name, &st) || !S_ISDIR(st.st_mode)) {
      return false;
    }
    // O_NOFOLLOW: if the folder was swapped for a link since the lookup, the
    // open fails instead of following it.
    Fd next(
        openat(current.get(), host_name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat opened;
    if (!next.valid() || fstat(next.get(), &opened) != 0 || !S_ISDIR(opened.st_mode)) {
      return false;
    }
    current = std::move(next);
  }
  *folder = std::move(current);
  return true;
}

bool Tree::Resolve(std::u16string_view path, Entry* entry) {
  std::vector<std::u16string> parts;
  if (!SplitPath(path, &parts) || parts.empty()) return false;
  if (!OpenFolder(parts, parts.size() - 1, &entry->folder)) return false;
  entry->name = parts.back();
  entry->exists = caches_.Lookup(entry->folder.get(), entry->name, &entry->host_name, &entry->st);
  if (!entry->exists && !ToUtf8Exact(entry->name, &entry->host_name)) entry->host_name.clear();
  return true;
}

bool Tree::List(std::u16string_view pattern, std::vector<Listed>* found) {
  found->clear();
  std::vector<std::u16string> parts;
  if (!SplitPath(pattern, &parts) || parts.empty()) return false;
  Fd folder;
  if (!OpenFolder(parts, parts.size() - 1, &folder)) return false;
  const std::u16string& wildcard = parts.back();

  struct Item {
    std::u16string folded;
    std::string host_name;
    Listed entry;
  };
  std::vector<Item> items;
  bool read = ForEachName(folder.get(), [&](const std::string& host_name) {
    std::u16string name = FromUtf8(host_name);
    // A name the device cannot hold in FindData, or cannot address because
    // it contains its separator, is not reported.
    if (name.size() > static_cast<std::size_t>(platform::kMaxPath - 1)) return;
    if (name.find(u'\\') != std::u16string::npos) return;
    if (!MatchWildcard(wildcard, name)) return;
    struct stat st;
    if (fstatat(folder.get(), host_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return;
    std::u16string folded = FoldName(name);
    items.push_back(Item{std::move(folded), host_name, Listed{std::move(name), AttributesOf(st)}});
  });
  if (!read) return false;
  std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
    return a.folded != b.folded ? a.folded < b.folded : a.host_name < b.host_name;
  });
  found->reserve(items.size());
  for (Item& item : items) found->push_back(std::move(item.entry));
  return true;
}

}  // namespace host
