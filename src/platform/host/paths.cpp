// The path walk: how a device path such as `\Windows\logo.gif` becomes an
// entry in a real folder under fs/ (paths.h says why it is done this way).
#include "platform/host/paths.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/host/internal.h"

namespace host {

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
    *error = ShowHostName(fs_dir.string()) + ": " +
             (errno == ENOENT ? std::string("missing: a device image holds its file system in fs/")
                              : std::string(std::strerror(errno)));
    return false;
  }
  if (S_ISLNK(st.st_mode)) {
    *error =
        ShowHostName(fs_dir.string()) + ": is a link; the device's file system must be a folder";
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    *error = ShowHostName(fs_dir.string()) + ": not a folder";
    return false;
  }
  Fd fd(open(fs_dir.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) {
    *error = ShowHostName(fs_dir.string()) + ": cannot open: " + std::strerror(errno);
    return false;
  }
  struct stat opened;
  if (fstat(fd.get(), &opened) != 0 || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) {
    *error = ShowHostName(fs_dir.string()) + ": changed while it was being opened";
    return false;
  }
  DropOpened();
  root_ = std::make_shared<const Fd>(std::move(fd));
  root_dev_ = opened.st_dev;
  root_key_ = {opened.st_dev, opened.st_ino};
  return true;
}

bool Tree::Owns(const struct stat& st, bool lower) const {
  if (st.st_dev != (lower ? lower_dev_ : root_dev_)) return false;
  if (foreign_ != nullptr && foreign_->count({st.st_dev, st.st_ino}) > 0) return false;
  if (S_ISDIR(st.st_mode)) return true;
  return S_ISREG(st.st_mode) && st.st_nlink <= 1;
}

void Tree::Close() {
  DropOpened();
  root_.reset();
  lower_root_.reset();
  lower_.clear();
  lower_open_.clear();
  hidden_.clear();
  view_access_.clear();
  placed_.clear();
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

bool Tree::OpenFolder(const std::vector<std::u16string>& parts, std::size_t count, FolderFd* folder,
                      struct stat* folder_st) {
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
    // Checked on the folder opened: a mount point is never entered, as if
    // it were a link.
    if (!Owns(st)) return false;
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
  entry->view = entry->folder;
  entry->view_key = parts.size() > 1 ? KeyOf(entry->folder_st) : root_key_;
  entry->lower = entry->placed = false;
  // The root's stat is not taken on the way: the lookup takes it if it needs it.
  const struct stat* folder_st = parts.size() > 1 ? &entry->folder_st : nullptr;
  entry->exists =
      caches_.Lookup(entry->folder.get(), folder_st, entry->name, &entry->host_name, &entry->st);
  if (layered()) LookInImage(entry);
  entry->foreign = entry->exists && !S_ISLNK(entry->st.st_mode) && !Owns(entry->st, entry->lower);
  if (!entry->exists && !ToUtf8Exact(entry->name, &entry->host_name)) entry->host_name.clear();
  return true;
}

bool Tree::Enumerate(std::u16string_view pattern, Enumeration* enumeration) {
  std::vector<std::u16string> parts;
  if (!SplitPath(pattern, &parts) || parts.empty()) return false;
  FolderFd folder;
  struct stat folder_st;
  if (!OpenFolder(parts, parts.size() - 1, &folder, &folder_st)) return false;
  if (!enumeration->Start(folder.get(), parts.back(), limits_)) return false;
  if (!layered()) return true;
  // Also a folder the run made, which stands for none of the image's: files
  // may have been placed in it.
  FolderKey key = parts.size() > 1 ? KeyOf(folder_st) : root_key_;
  auto merge = std::make_unique<Enumeration::Merge>();
  if (std::shared_ptr<const Fd> lower = LowerFolderOf(key)) {
    merge->lower = std::make_unique<Enumeration>();
    // What the run took from the image's folder is left out of its windows.
    if (!merge->lower->Start(lower->get(), parts.back(), limits_, this, key)) return false;
  } else {
    merge->other_done = true;
  }
  merge->tree = this;
  merge->view_key = key;
  enumeration->merge_ = std::move(merge);
  return true;
}

}  // namespace host
