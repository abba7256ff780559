// The private view of a dry run (view.h).

#include "platform/host/view.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>  // renameat2
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/host/paths.h"

namespace host {

namespace {

struct CloseDir {
  void operator()(DIR* dir) const { closedir(dir); }
};
using DirStream = std::unique_ptr<DIR, CloseDir>;

// Reads the folder `fd` from its start without taking `fd` over.
DirStream Read(int fd) {
  int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return nullptr;
  DIR* dir = fdopendir(copy);
  if (dir == nullptr) {
    close(copy);
    return nullptr;
  }
  rewinddir(dir);
  return DirStream(dir);
}

bool IsDots(const char* name) {
  return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

// Whether the entry is a folder, from its directory entry when the file
// system tells the type there, else from lstat.
bool IsFolder(int folder, const dirent* entry) {
  if (entry->d_type != DT_UNKNOWN) return entry->d_type == DT_DIR;
  struct stat st;
  return fstatat(folder, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

bool CopyBytes(int in, int out) {
  bool plain = false;
  for (;;) {
    if (!plain) {
      ssize_t n = copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
      if (n > 0) continue;
      if (n == 0) return true;
      if (errno == EINTR) continue;
      if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) return false;
      plain = true;
    }
    char buffer[64 * 1024];
    ssize_t n = read(in, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (!WriteAll(out, std::string_view(buffer, static_cast<std::size_t>(n)))) return false;
  }
}

}  // namespace

bool CopyEntry(int from_dir, const char* from, const struct stat& st, int to_dir, const char* to,
               mode_t mode) {
  bool ok;
  if (S_ISREG(st.st_mode)) {
    Fd in(openat(from_dir, from, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!in.valid()) return false;
    Fd out(openat(to_dir, to, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.valid()) return false;
    // The owner first: giving a file away clears its set-id bits.
    if (geteuid() == 0) (void)fchown(out.get(), st.st_uid, st.st_gid);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ok = CopyBytes(in.get(), out.get()) && fchmod(out.get(), mode) == 0 &&
         futimens(out.get(), times) == 0;
  } else {
    if (S_ISLNK(st.st_mode)) {
      std::string target(static_cast<std::size_t>(st.st_size) + 1, '\0');
      ssize_t n = readlinkat(from_dir, from, target.data(), target.size());
      if (n < 0) return false;
      target.resize(static_cast<std::size_t>(n));
      if (symlinkat(target.c_str(), to_dir, to) != 0) return false;
    } else if (mknodat(to_dir, to, (st.st_mode & S_IFMT) | (mode & 07777), st.st_rdev) != 0) {
      return false;
    }
    if (geteuid() == 0) (void)fchownat(to_dir, to, st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ok = utimensat(to_dir, to, times, AT_SYMLINK_NOFOLLOW) == 0 || S_ISLNK(st.st_mode);
  }
  if (!ok) {
    int error = errno;
    unlinkat(to_dir, to, 0);
    errno = error;
  }
  return ok;
}

namespace {

// Fills the new folder `to` with what `from` holds: a folder of its own for
// each folder and, in a whole view, a copy of each other entry; a layered
// view records which image folder each of its folders stands for. `shown`
// is `from` as the user knows it, for messages.
class Builder {
 public:
  Builder(PrivateView* view, std::string* error) : view_(view), error_(error) {}

  bool Fill(int from, int to, const std::string& shown) {
    DirStream dir = Read(from);
    if (!dir) return Fail(shown, "cannot read the folder");
    while (dirent* entry = (errno = 0, readdir(dir.get()))) {
      const char* name = entry->d_name;
      if (IsDots(name)) continue;
      std::string path = shown + "/" + name;
      if (IsFolder(from, entry)) {
        std::size_t length = relative_.size();
        relative_ += (length == 0 ? "" : "/") + std::string(name);
        bool made = Folder(from, name, to, name, path);
        relative_.resize(length);
        if (!made) return false;
      } else if (!view_->layered && !Other(from, to, name, path)) {
        return false;
      }
    }
    if (errno != 0) return Fail(shown, "cannot read the folder");
    return true;
  }

  // The folder `name` of `from`, as the folder `as` of `to`. Once filled, it
  // takes the mode of the one it stands for.
  bool Folder(int from, const char* name, int to, const char* as, const std::string& path) {
    Fd source(openat(from, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!source.valid() || fstat(source.get(), &st) != 0) return Fail(path, "cannot open");
    if (!have_device_) {
      device_ = st.st_dev;
      have_device_ = true;
    }
    if (mkdirat(to, as, 0700) != 0) return Fail(path, "cannot make its folder in the view");
    Fd target(openat(to, as, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!target.valid()) return Fail(path, "cannot open its folder in the view");
    if (st.st_dev != device_) {
      // A mount point: the device never enters it, so neither does the
      // view; an empty folder stands for it, marked as not the device's.
      if (!MarkForeign(target.get())) return Fail(path, "cannot look at its folder in the view");
    } else {
      if (view_->layered) {
        struct stat made;
        if (fstat(target.get(), &made) != 0)
          return Fail(path, "cannot look at its folder in the view");
        view_->lower[{made.st_dev, made.st_ino}] = LowerFolder{relative_, st.st_dev, st.st_ino};
      }
      if (!Fill(source.get(), target.get(), path)) return false;
    }
    if (geteuid() == 0) (void)fchown(target.get(), st.st_uid, st.st_gid);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (fchmod(target.get(), st.st_mode & 07777) != 0 || futimens(target.get(), times) != 0) {
      return Fail(path, "cannot give its folder in the view the same mode");
    }
    return true;
  }

 private:
  // Records what the view made at `fd` as not the device's (view.h).
  bool MarkForeign(int fd) {
    struct stat made;
    if (fstat(fd, &made) != 0) return false;
    view_->foreign.insert({made.st_dev, made.st_ino});
    return true;
  }

  // What is not the device's own file (view.h): an empty file of the same
  // size, mode and times, marked. Not a link, which would change the other
  // file's link count and change time, nor a copy, which would read it.
  bool Foreign(int to, const char* name, const struct stat& st, const std::string& path) {
    Fd out(openat(to, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.valid()) return Fail(path, "cannot make its stand-in in the view");
    if (geteuid() == 0) (void)fchown(out.get(), st.st_uid, st.st_gid);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if ((S_ISREG(st.st_mode) && ftruncate(out.get(), st.st_size) != 0) ||
        fchmod(out.get(), st.st_mode & 07777) != 0 || futimens(out.get(), times) != 0 ||
        !MarkForeign(out.get())) {
      return Fail(path, "cannot make its stand-in in the view");
    }
    return true;
  }

  bool Other(int from, int to, const char* name, const std::string& path) {
    struct stat st;
    if (fstatat(from, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return Fail(path, "cannot read");
    if (!S_ISLNK(st.st_mode) && (!S_ISREG(st.st_mode) || st.st_nlink > 1)) {
      return Foreign(to, name, st, path);
    }
    if (!CopyEntry(from, name, st, to, name, st.st_mode & 07777)) {
      return Fail(path, "cannot copy it into the view");
    }
    return true;
  }

  bool Fail(const std::string& path, const char* what) {
    *error_ = path + ": " + what + " for the dry run: " + std::strerror(errno);
    return false;
  }

  std::string relative_;  // of the folder being filled, below fs/
  bool have_device_ = false;
  dev_t device_ = 0;  // the image's fs/ folder's file system
  PrivateView* view_;
  std::string* error_;
};

// Removes everything in the folder `fd`. Entries are removed while the
// folder is read; a pass that a file system answered short is repeated.
bool RemoveContents(int fd, const std::string& shown, std::string* error) {
  for (int pass = 0; pass < 4; ++pass) {
    DirStream dir = Read(fd);
    if (!dir) break;
    bool any = false;
    while (dirent* entry = readdir(dir.get())) {
      const char* name = entry->d_name;
      if (IsDots(name)) continue;
      any = true;
      if (!IsFolder(fd, entry)) {
        if (unlinkat(fd, name, 0) != 0 && errno != ENOENT) {
          *error = shown + "/" + name + ": cannot remove: " + std::strerror(errno);
          return false;
        }
        continue;
      }
      Fd sub(openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      struct stat st;
      if (!sub.valid() || fstat(sub.get(), &st) != 0) {
        *error = shown + "/" + name + ": cannot open: " + std::strerror(errno);
        return false;
      }
      // The view's copy of an unwritable folder: ours, so made writable.
      if ((st.st_mode & 0700) != 0700) (void)fchmod(sub.get(), 0700);
      if (!RemoveContents(sub.get(), shown + "/" + name, error)) return false;
      sub.Reset();
      if (unlinkat(fd, name, AT_REMOVEDIR) != 0 && errno != ENOENT) {
        *error = shown + "/" + name + ": cannot remove: " + std::strerror(errno);
        return false;
      }
    }
    if (!any) break;
  }
  return true;
}

// The start of the name of every view of `image`; empty when it cannot be
// looked at.
std::string ViewPrefix(const std::filesystem::path& image) {
  struct stat st;
  if (lstat(image.c_str(), &st) != 0) return "";
  return ".brandsim-dryrun." + std::to_string(st.st_dev) + "." + std::to_string(st.st_ino) + ".";
}

const char kViewSuffix[] = "view";

std::filesystem::path TempFolder() {
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && *tmp != 0 ? tmp : "/tmp";
}

}  // namespace

bool MakePrivateView(const std::filesystem::path& image, bool copy_files, PrivateView* view,
                     std::string* error) {
  *view = PrivateView();
  std::string prefix = ViewPrefix(image);
  if (prefix.empty()) {
    *error = image.string() + ": cannot look at the image: " + std::strerror(errno);
    return false;
  }
  // Beside the image, where links to its files can be made; else in TMPDIR.
  // One name for each image (one dry run at a time holds its lock), so that
  // a real run can find what a killed dry run left without reading a folder.
  std::string where = (image.parent_path() / (prefix + kViewSuffix)).string();
  if (mkdir(where.c_str(), 0700) != 0) {
    view->elsewhere = image.parent_path().string() + ": " + std::strerror(errno);
    where = (TempFolder() / (prefix + kViewSuffix)).string();
    if (mkdir(where.c_str(), 0700) != 0) {
      *error = "cannot make a folder for the dry run's view, neither beside " + image.string() +
               " (" + view->elsewhere + ") nor in " + TempFolder().string() + ": " +
               std::strerror(errno);
      return false;
    }
  }
  view->dir = where;
  view->layered = !copy_files;
  view->image_fs = image / "fs";
  std::string shown = view->image_fs.string();
  Fd top(open(where.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!top.valid()) {
    *error = where + ": cannot open the dry run's view: " + std::strerror(errno);
  } else {
    Builder builder(view, error);
    if (builder.Folder(AT_FDCWD, shown.c_str(), top.get(), "fs", shown)) return true;
  }
  std::string ignored;
  RemovePrivateView(view->dir, &ignored);
  *view = PrivateView();
  return false;
}

bool RemovePrivateView(const std::filesystem::path& dir, std::string* error) {
  std::filesystem::path parent = dir.parent_path();
  Fd up(open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::string name = dir.filename().string();
  Fd fd(up.valid() ? openat(up.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                   : -1);
  if (!fd.valid()) {
    if (errno == ENOENT) return true;
    *error = dir.string() + ": cannot open the dry run's view: " + std::strerror(errno);
    return false;
  }
  if (!RemoveContents(fd.get(), dir.string(), error)) return false;
  fd.Reset();
  if (unlinkat(up.get(), name.c_str(), AT_REMOVEDIR) != 0) {
    *error = dir.string() + ": cannot remove the dry run's view: " + std::strerror(errno);
    return false;
  }
  return true;
}

void RemoveStaleViews(const std::filesystem::path& image, bool look_in_folders) {
  std::string prefix = ViewPrefix(image);
  if (prefix.empty()) return;
  if (!look_in_folders) {
    // By its name alone: a name that is not there costs a failed lookup,
    // which opens and reads nothing.
    std::string ignored;
    for (const std::filesystem::path& folder : {image.parent_path(), TempFolder()}) {
      std::filesystem::path view = folder / (prefix + kViewSuffix);
      struct stat st;
      if (lstat(view.c_str(), &st) == 0) RemovePrivateView(view, &ignored);
    }
    return;
  }
  for (const std::filesystem::path& folder : {image.parent_path(), TempFolder()}) {
    Fd fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) continue;
    std::vector<std::string> stale;
    DirStream dir = Read(fd.get());
    while (dir) {
      dirent* entry = readdir(dir.get());
      if (entry == nullptr) break;
      if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0) {
        stale.push_back(entry->d_name);
      }
    }
    std::string ignored;
    for (const std::string& name : stale) RemovePrivateView(folder / name, &ignored);
  }
}

}  // namespace host
