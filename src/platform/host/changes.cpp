#include "platform/host/changes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <set>
#include <utility>
#include <vector>

#include "platform/host/journal.h"
#include "platform/host/paths.h"
#include "platform/host/text.h"

namespace host {

namespace {

// The bytes of the regular file `name` in `folder` whose lstat is `st`:
// never through a link, never waiting on anything but a file, and only the
// file looked at.
bool ReadRegular(int folder, const char* name, const struct stat& st, std::string* bytes) {
  Fd fd(openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat opened;
  if (!fd.valid() || fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode) ||
      opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) {
    return false;
  }
  bytes->clear();
  char buffer[64 * 1024];
  for (;;) {
    ssize_t n = read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    bytes->append(buffer, static_cast<std::size_t>(n));
  }
}

// "\Windows\logo.gif" for "Windows/logo.gif", folders ending in "\".
std::string DevicePath(const std::string& relative, bool folder) {
  std::string path = "\\";
  for (char c : relative) path.push_back(c == '/' ? '\\' : c);
  if (folder) path.push_back('\\');
  return Show(FromUtf8(path));
}

std::string Bytes(std::uintmax_t size) {
  return std::to_string(size) + (size == 1 ? " byte" : " bytes");
}

// The same file, untouched: a rename keeps all of these, while a new file
// that happens to get a removed one's inode has its own modification time.
bool SameFile(const FileState& a, const FileState& b) {
  return a.folder == b.folder && a.dev == b.dev && a.ino == b.ino && a.size == b.size &&
         a.mtime.tv_sec == b.mtime.tv_sec && a.mtime.tv_nsec == b.mtime.tv_nsec;
}

// A value's lines, each with `prefix` before it.
std::string ValueLines(const RegValue& value, const char* prefix) {
  std::string out;
  std::string text = ToUtf8(FormatValue(value));
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    out += prefix + text.substr(start, end - start) + "\n";
    start = end + 1;
  }
  return out;
}

std::string RemovedValue(const RegValue& value) {
  if (value.name.empty()) return "@=-\n";
  return "\"" + ToUtf8(RegeditEscape(value.name)) + "\"=-\n";
}

// The changes of one key present before and after; empty when none.
std::string ValueChanges(const KeyState& before, const KeyState& after) {
  std::string added, changed, removed;
  for (const auto& [name, value] : after.values) {
    auto old = before.values.find(name);
    if (old == before.values.end()) {
      added += "; value added\n" + ValueLines(value, "");
    } else if (old->second.type != value.type || old->second.data != value.data ||
               old->second.name != value.name) {
      changed +=
          "; value changed, it was:\n" + ValueLines(old->second, "; ") + ValueLines(value, "");
    }
  }
  for (const auto& [name, value] : before.values) {
    if (after.values.count(name) == 0) removed += "; value removed\n" + RemovedValue(value);
  }
  return added + changed + removed;
}

std::u16string ParentPath(const std::u16string& path) {
  std::size_t slash = path.rfind(u'\\');
  return slash == std::u16string::npos ? std::u16string() : path.substr(0, slash);
}

std::string RegistryChanges(const RegistrySnapshot& before, const RegistrySnapshot& after) {
  std::string out;
  std::set<std::u16string> paths;
  for (const auto& entry : before) paths.insert(entry.first);
  for (const auto& entry : after) paths.insert(entry.first);
  for (const std::u16string& folded : paths) {
    auto old = before.find(folded);
    auto now = after.find(folded);
    if (old == before.end()) {
      out += "; key added\n[" + ToUtf8(now->second.path) + "]\n";
      for (const auto& entry : now->second.values) out += ValueLines(entry.second, "");
      out += "\n";
    } else if (now == after.end()) {
      // Removing a key removes its subkeys: only the topmost one is named.
      if (after.count(ParentPath(folded)) == 0) continue;
      out += "; key removed\n[-" + ToUtf8(old->second.path) + "]\n\n";
    } else {
      std::string values = ValueChanges(old->second, now->second);
      if (!values.empty()) {
        out += "; key changed\n[" + ToUtf8(now->second.path) + "]\n" + values + "\n";
      }
    }
  }
  if (out.empty()) return "registry changes: none\n";
  return "registry changes:\nWindows Registry Editor Version 5.00\n\n" + out;
}

std::string FileChanges(const FileSnapshot& before, const FileSnapshot& after) {
  std::string out;
  for (const FileChange& change : ListFileChanges(before, after)) {
    switch (change.kind) {
      case FileChange::kMoved:
        out += DevicePath(change.from, false) + " -> " + DevicePath(change.path, false) + " (" +
               Bytes(change.size) + ")\n";
        break;
      case FileChange::kAdded:
        out += "+ " + DevicePath(change.path, change.folder) +
               (change.folder ? " (folder)" : " (" + Bytes(change.size) + ")") + "\n";
        break;
      case FileChange::kRemoved:
        out += "- " + DevicePath(change.path, change.folder) +
               (change.folder ? " (folder)" : " (" + Bytes(change.size_before) + ")") + "\n";
        break;
      case FileChange::kChanged:
        out += "~ " + DevicePath(change.path, false) + " (" + std::to_string(change.size_before) +
               " -> " + Bytes(change.size) + ")\n";
        break;
    }
  }
  if (out.empty()) return "file changes: none\n";
  return "file changes:\n" + out;
}

}  // namespace

std::vector<FileChange> ListFileChanges(const FileSnapshot& before, const FileSnapshot& after) {
  // A file gone from one path and found at another is the same file moved.
  std::map<std::pair<dev_t, ino_t>, std::string> gone;
  for (const auto& [path, state] : before) {
    if (!state.folder && after.count(path) == 0) gone[{state.dev, state.ino}] = path;
  }
  std::map<std::string, std::string> moved;  // from -> to
  std::set<std::string> moved_to;
  for (const auto& [path, state] : after) {
    if (state.folder || before.count(path) != 0) continue;
    auto it = gone.find({state.dev, state.ino});
    if (it != gone.end() && SameFile(before.at(it->second), state)) {
      moved[it->second] = path;
      moved_to.insert(path);
      gone.erase(it);
    }
  }

  std::vector<FileChange> moves, added, removed, changed;
  for (const auto& [from, to] : moved) {
    FileChange change;
    change.kind = FileChange::kMoved;
    change.path = to;
    change.from = from;
    change.size = after.at(to).size;
    moves.push_back(change);
  }
  auto make = [](FileChange::Kind kind, const std::string& path, const FileState& state) {
    FileChange change;
    change.kind = kind;
    change.path = path;
    change.folder = state.folder;
    (kind == FileChange::kRemoved ? change.size_before : change.size) = state.size;
    return change;
  };
  for (const auto& [path, state] : after) {
    auto old = before.find(path);
    if (old == before.end()) {
      if (moved_to.count(path) == 0) added.push_back(make(FileChange::kAdded, path, state));
    } else if (old->second.folder != state.folder) {
      removed.push_back(make(FileChange::kRemoved, path, old->second));
      added.push_back(make(FileChange::kAdded, path, state));
    } else if (!state.folder && !SameFile(old->second, state)) {
      FileChange change = make(FileChange::kChanged, path, state);
      change.size_before = old->second.size;
      changed.push_back(change);
    }
  }
  for (const auto& [path, state] : before) {
    if (after.count(path) == 0 && moved.count(path) == 0) {
      removed.push_back(make(FileChange::kRemoved, path, state));
    }
  }
  std::vector<FileChange> out = moves;
  out.insert(out.end(), added.begin(), added.end());
  out.insert(out.end(), removed.begin(), removed.end());
  out.insert(out.end(), changed.begin(), changed.end());
  return out;
}

std::string DevicePathOf(const std::string& relative, bool folder) {
  return DevicePath(relative, folder);
}

std::string DescribeRegistryChanges(const RegistrySnapshot& before, const RegistrySnapshot& after) {
  return RegistryChanges(before, after);
}

FileSnapshot SnapshotFiles(
    Tree& tree, const std::function<bool(const std::string& relative, std::uintmax_t size)>* keep,
    std::map<std::string, std::string>* kept) {
  FileSnapshot snapshot;
  tree.Walk([&](const Tree::Walked& walked) {
    const struct stat& st = walked.st;
    FileState state;
    state.folder = S_ISDIR(st.st_mode);
    state.size = state.folder ? 0 : static_cast<std::uintmax_t>(st.st_size);
    state.dev = st.st_dev;
    state.ino = st.st_ino;
    state.mtime = st.st_mtim;
    snapshot[walked.relative] = state;
    // Only the device's own files: one with another hard link may be read
    // through a name outside fs/.
    if (keep != nullptr && tree.Owns(st, walked.lower) && (*keep)(walked.relative, state.size)) {
      std::string bytes;
      if (ReadRegular(walked.folder, walked.name, st, &bytes)) {
        (*kept)[walked.relative] = std::move(bytes);
      }
    }
  });
  return snapshot;
}

RegistrySnapshot SnapshotRegistry(const RegistryStore& store) {
  RegistrySnapshot snapshot;
  store.ForEachKey([&snapshot](const std::u16string& path, std::vector<RegValue>&& values) {
    KeyState state;
    state.path = path;
    for (RegValue& value : values) {
      std::u16string folded = FoldName(value.name);
      state.values.emplace(std::move(folded), std::move(value));
    }
    snapshot[FoldName(path)] = std::move(state);
  });
  return snapshot;
}

std::string DescribeChanges(const RegistrySnapshot& registry_before,
                            const RegistrySnapshot& registry_after,
                            const FileSnapshot& files_before, const FileSnapshot& files_after) {
  // Each changed key ends with a blank line already.
  std::string registry = RegistryChanges(registry_before, registry_after);
  if (registry.compare(registry.size() - 2, 2, "\n\n") != 0) registry += "\n";
  return registry + FileChanges(files_before, files_after);
}

}  // namespace host
