// Files and folders of the emulated device, and the placement record.

#include <fcntl.h>
#include <stdio.h>  // renameat2
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "platform/host/internal.h"

namespace host {

namespace {

// The host has no read-only attribute that root respects, so the device's
// rule is applied here: a file whose owner-write bit is clear is neither
// deleted nor replaced. It can still be moved: a rename changes the folders,
// not the file, and needs no write access to it on the device either.
bool IsReadOnly(const Entry& entry) { return entry.is_file() && !(entry.st.st_mode & S_IWUSR); }

// Renames without ever replacing what is at the destination.
bool RenameNoReplace(const Entry& from, const Entry& to) {
  if (renameat2(from.folder.get(), from.host_name.c_str(), to.folder.get(), to.host_name.c_str(),
                RENAME_NOREPLACE) == 0) {
    return true;
  }
  if ((errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) || from.is_folder()) {
    return false;
  }
  // A file system without RENAME_NOREPLACE: a new link fails when the name
  // is taken, so there is still no moment at which anything is replaced.
  if (linkat(from.folder.get(), from.host_name.c_str(), to.folder.get(), to.host_name.c_str(), 0) !=
      0) {
    return false;
  }
  if (unlinkat(from.folder.get(), from.host_name.c_str(), 0) != 0) {
    unlinkat(to.folder.get(), to.host_name.c_str(), 0);
    return false;
  }
  return true;
}

// The file `entry` names, opened as an object (O_PATH: nothing is read and
// no device driver is called) and checked as opened: still the file looked
// up, and the device's own. A name swapped meanwhile fails the check rather
// than lead to another file.
Reason OpenOwnObject(State& state, const Entry& entry, Fd* object, struct stat* st) {
  Fd fd(openat(entry.folder.get(), entry.object_name().c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) return ReasonOfErrno(errno);
  if (fstat(fd.get(), st) != 0) return ReasonOfErrno(errno);
  if (S_ISLNK(st->st_mode) || st->st_dev != entry.st.st_dev || st->st_ino != entry.st.st_ino) {
    return Reason::kNotFound;
  }
  if (!state.tree.Owns(*st, entry.lower)) return Reason::kNotTheDevices;
  *object = std::move(fd);
  return Reason::kNone;
}

// The name by which the kernel reaches an opened object itself, whatever
// its name in fs/ has become meanwhile.
std::string ObjectPath(const Fd& object) { return "/proc/self/fd/" + std::to_string(object.get()); }

// The reason a path leads nowhere: Resolve failed (a folder along it is
// missing, or is a link), or its last component is not there.
Reason Missing(bool resolved) { return resolved ? Reason::kNotFound : Reason::kPathNotFound; }

// A name taken away from the image's folder behind a dry run's view.
Reason MayTakeFromImage(State& state, const Entry& entry) {
  int error = state.tree.MayTakeFromImage(entry);
  return error == 0 ? Reason::kNone : ReasonOfErrno(error);
}

// Gives the image's file `entry` (Entry::lower) a copy in front of it in
// its view folder, with the mode `mode`: known as the same file
// (PrivateView::copied_up), as the file a real run changes in place is.
Reason CopyFromImage(State& state, const Entry& entry, mode_t mode) {
  int to = entry.view.get();
  struct stat made;
  if (!CopyEntry(entry.folder.get(), entry.object_name().c_str(), entry.st, to,
                 entry.host_name.c_str(), mode) ||
      fstatat(to, entry.host_name.c_str(), &made, AT_SYMLINK_NOFOLLOW) != 0) {
    return ReasonOfErrno(errno);
  }
  if (entry.placed) state.tree.Unplace(entry.view_key, entry.host_name);
  state.tree.caches().Added(to, entry.host_name);
  state.view.copied_up[{made.st_dev, made.st_ino}] = {entry.st.st_dev, entry.st.st_ino};
  return Reason::kNone;
}

// Takes the image's file `entry` (Entry::lower) out of its place in the
// view: nothing changes on the host.
void TakeAway(State& state, const Entry& entry) {
  if (entry.placed) {
    state.tree.Unplace(entry.view_key, entry.host_name);
  } else {
    state.tree.Hide(entry.view_key, entry.host_name);
  }
}

// Each operation yields why it failed, as the device's call would report
// it, or Reason::kNone.
Reason Move(State& state, std::u16string_view existing, std::u16string_view destination) {
  Entry from, to;
  bool resolved = state.tree.Resolve(existing, &from);
  if (!resolved || !from.exists || from.is_link()) return Missing(resolved);
  // A name in fs/ for something that is not the device's stays where it is:
  // moved, a file linked from elsewhere would become one the device placed.
  if (from.foreign) return Reason::kNotTheDevices;
  // `to.exists` is the case-insensitive answer: LOGO.GIF blocks logo.gif.
  if (!state.tree.Resolve(destination, &to)) return Reason::kPathNotFound;
  if (to.exists) return Reason::kAlreadyExists;
  if (!IsValidNewName(to.name) || to.host_name.empty()) return Reason::kInvalidName;
  if (from.lower) {
    // Both folders written, as a rename needs them.
    for (const Entry* folder : {&from, &to}) {
      if (Reason why = MayTakeFromImage(state, *folder); why != Reason::kNone) return why;
    }
    Placed placed{from.folder.shared(), from.object_name(), from.st};
    TakeAway(state, from);
    state.tree.Place(to.view_key, to.host_name, std::move(placed));
    return Reason::kNone;
  }
  if (!RenameNoReplace(from, to)) return ReasonOfErrno(errno);
  state.tree.caches().Removed(from.folder.get(), from.host_name);
  state.tree.Hide(from.view_key, from.host_name);
  state.tree.caches().Added(to.folder.get(), to.host_name);
  return Reason::kNone;
}

Reason Delete(State& state, std::u16string_view path) {
  Entry entry;
  bool resolved = state.tree.Resolve(path, &entry);
  if (!resolved || !entry.exists) return Missing(resolved);
  if (entry.is_folder()) return Reason::kIsAFolder;
  if (entry.foreign) return Reason::kNotTheDevices;
  if (IsReadOnly(entry)) return Reason::kReadOnly;
  if (entry.lower) {
    if (Reason why = MayTakeFromImage(state, entry); why != Reason::kNone) return why;
    TakeAway(state, entry);
    return Reason::kNone;
  }
  // unlinkat never follows a link: a link is removed itself.
  if (unlinkat(entry.folder.get(), entry.host_name.c_str(), 0) != 0) return ReasonOfErrno(errno);
  state.tree.caches().Removed(entry.folder.get(), entry.host_name);
  state.tree.Hide(entry.view_key, entry.host_name);
  return Reason::kNone;
}

Reason SetAttributes(State& state, std::u16string_view path, std::uint32_t attributes) {
  Entry entry;
  bool resolved = state.tree.Resolve(path, &entry);
  if (!resolved || !entry.exists || entry.is_link()) return Missing(resolved);
  if (entry.foreign) return Reason::kNotTheDevices;
  // A folder reports no read-only attribute, and making it unwritable on the
  // host would keep unprivileged users from emptying it: nothing to change.
  if (entry.is_folder()) return Reason::kNone;
  Fd object;
  struct stat st;
  if (Reason why = OpenOwnObject(state, entry, &object, &st); why != Reason::kNone) return why;
  mode_t mode = st.st_mode & 07777;
  mode_t wanted =
      (attributes & platform::kFileAttributeReadonly) ? (mode & ~S_IWUSR) : (mode | S_IWUSR);
  if (wanted == mode) return Reason::kNone;
  // The image's file behind a dry run's view: the view gets a copy of its
  // own to change, which stands in front of it.
  if (entry.lower) return CopyFromImage(state, entry, wanted);
  // The mode of the object checked above, not of whatever the name holds now.
  if (chmod(ObjectPath(object).c_str(), wanted) == 0) return Reason::kNone;
  if (errno != ENOENT) return ReasonOfErrno(errno);
  // No /proc: the file opened for reading (without blocking, and never a
  // link), checked to be the same one, and changed through that.
  Fd opened(openat(entry.folder.get(), entry.host_name.c_str(),
                   O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat again;
  if (!opened.valid() || fstat(opened.get(), &again) != 0) return ReasonOfErrno(errno);
  if (again.st_dev != st.st_dev || again.st_ino != st.st_ino) return Reason::kNotFound;
  if (fchmod(opened.get(), wanted) != 0) return ReasonOfErrno(errno);
  return Reason::kNone;
}

Reason MakeFolder(State& state, std::u16string_view path) {
  Entry entry;
  if (!state.tree.Resolve(path, &entry)) return Reason::kPathNotFound;
  if (entry.exists) return Reason::kAlreadyExists;
  if (!IsValidNewName(entry.name) || entry.host_name.empty()) return Reason::kInvalidName;
  if (mkdirat(entry.folder.get(), entry.host_name.c_str(), 0777) != 0) return ReasonOfErrno(errno);
  state.tree.caches().Added(entry.folder.get(), entry.host_name);
  return Reason::kNone;
}

Reason RemoveFolder(State& state, std::u16string_view path) {
  Entry entry;
  bool resolved = state.tree.Resolve(path, &entry);
  if (!resolved || !entry.exists) return Missing(resolved);
  if (!entry.is_folder()) return Reason::kNotAFolder;
  if (entry.foreign) return Reason::kNotTheDevices;
  // A dry run's folder is empty when the image's behind it shows nothing
  // either.
  FolderKey key{entry.st.st_dev, entry.st.st_ino};
  if (state.tree.layered() && state.tree.LowerShowsAny(key)) return Reason::kNotEmpty;
  if (unlinkat(entry.folder.get(), entry.host_name.c_str(), AT_REMOVEDIR) != 0) {
    // Some file systems say EEXIST where others say ENOTEMPTY.
    return errno == EEXIST ? Reason::kNotEmpty : ReasonOfErrno(errno);
  }
  state.tree.caches().Forget(entry.st);
  state.tree.caches().Removed(entry.folder.get(), entry.host_name);
  state.tree.ForgetLower(key);
  state.tree.Hide(entry.view_key, entry.host_name);
  return Reason::kNone;
}

// The operation's outcome: an injected fault, or what the operation says.
template <typename Operation>
Reason Attempt(FaultOp op, Operation operation) {
  return InjectFault(op) ? Reason::kInjected : operation();
}

void JournalPath(State& state, const char* event, std::u16string_view path, Reason reason) {
  state.journal.Write(Event(event).Text("path", path).Result(reason),
                      std::string(event) + " " + Show(path) + ": " + Outcome(reason));
}

void Fill(const Listed& entry, platform::FindData* data) {
  *data = platform::FindData{};
  data->dwFileAttributes = entry.attributes;
  std::copy(entry.name.begin(), entry.name.end(), data->cFileName);
}

void WriteRecord(State& state, std::u16string_view text) {
  state.journal.Write(Event("record").Text("text", text), "record " + Show(text));
}

}  // namespace

Reason OpenForReading(State& state, const Entry& entry, Fd* fd) {
  if (entry.foreign) return Reason::kNotTheDevices;
  Fd object;
  struct stat st;
  if (Reason why = OpenOwnObject(state, entry, &object, &st); why != Reason::kNone) return why;
  // Reopened through the object itself: the file checked is the file read.
  // O_NONBLOCK in case of the unforeseen (the object is a regular file).
  Fd opened(open(ObjectPath(object).c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!opened.valid() && errno == ENOENT) {
    // No /proc: by name again, never following a link, and checked to be
    // the same file.
    opened = Fd(openat(entry.folder.get(), entry.object_name().c_str(),
                       O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  }
  struct stat again;
  if (!opened.valid() || fstat(opened.get(), &again) != 0) return ReasonOfErrno(errno);
  if (again.st_dev != st.st_dev || again.st_ino != st.st_ino || !S_ISREG(again.st_mode)) {
    return Reason::kNotFound;
  }
  *fd = std::move(opened);
  return Reason::kNone;
}

void FlushRecord(State& state) {
  if (!state.record.empty()) WriteRecord(state, state.record);
  state.record.clear();
  state.record_byte.clear();
}

}  // namespace host

namespace platform {

using host::Current;
using host::State;
using host::View;

Handle CreateFileW(const char16_t* name, std::uint32_t access, std::uint32_t /*share_mode*/,
                   void* /*security*/, std::uint32_t disposition, std::uint32_t /*flags*/,
                   Handle /*template_file*/) {
  State* state = Current();
  // The device program only reads; nothing here writes a file.
  if (state == nullptr || access != kGenericRead || disposition != kOpenExisting) {
    return kInvalidHandleValue;
  }
  if (host::InjectFault(host::FaultOp::kOpen)) return kInvalidHandleValue;
  host::NoticeEndedProcesses(*state);
  host::Entry entry;
  host::Fd fd;
  if (!state->tree.Resolve(View(name), &entry) || !entry.is_file() ||
      host::OpenForReading(*state, entry, &fd) != host::Reason::kNone) {
    return kInvalidHandleValue;
  }
  return static_cast<Handle>(host::AddObject(host::FileObject{std::move(fd)}));
}

bool ReadFile(Handle file, void* buffer, std::uint32_t bytes_to_read, std::uint32_t* bytes_read,
              void* /*overlapped*/) {
  if (bytes_read != nullptr) *bytes_read = 0;
  auto* object = host::FindObjectOf<host::FileObject>(host::Value(file));
  if (object == nullptr || (buffer == nullptr && bytes_to_read > 0)) return false;
  if (host::InjectFault(host::FaultOp::kRead)) return false;
  std::uint32_t done = 0;
  while (done < bytes_to_read) {
    ssize_t n = read(object->fd.get(), static_cast<char*>(buffer) + done, bytes_to_read - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    done += static_cast<std::uint32_t>(n);
  }
  if (bytes_read != nullptr) *bytes_read = done;
  return true;
}

// Files are opened for reading only, so the one write that reaches the
// device is the placement record on the invalid handle: collected here as
// UTF-16LE and journaled a line at a time. It fails, as it does on the device.
bool WriteFile(Handle file, const void* buffer, std::uint32_t bytes_to_write,
               std::uint32_t* bytes_written, void* /*overlapped*/) {
  if (bytes_written != nullptr) *bytes_written = 0;
  State* state = Current();
  if (state == nullptr || file != kInvalidHandleValue || buffer == nullptr) return false;
  std::string bytes = state->record_byte;
  bytes.append(static_cast<const char*>(buffer), bytes_to_write);
  std::size_t even = bytes.size() & ~std::size_t{1};
  for (std::size_t i = 0; i < even; i += 2) {
    state->record.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                                  (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  }
  state->record_byte = bytes.substr(even);
  std::size_t end;
  while ((end = state->record.find(u"\r\n")) != std::u16string::npos) {
    host::WriteRecord(*state, std::u16string_view(state->record).substr(0, end));
    state->record.erase(0, end + 2);
  }
  return false;
}

Handle FindFirstFileW(const char16_t* pattern, FindData* data) {
  State* state = Current();
  if (state == nullptr || data == nullptr) return kInvalidHandleValue;
  if (host::InjectFault(host::FaultOp::kFind)) return kInvalidHandleValue;
  host::NoticeEndedProcesses(*state);
  host::FindObject find;
  host::Listed first;
  if (!state->tree.Enumerate(View(pattern), &find.enumeration) || !find.enumeration.Next(&first)) {
    return kInvalidHandleValue;
  }
  host::Fill(first, data);
  return static_cast<Handle>(host::AddObject(std::move(find)));
}

bool FindNextFileW(Handle find, FindData* data) {
  auto* object = host::FindObjectOf<host::FindObject>(host::Value(find));
  if (object == nullptr || data == nullptr) return false;
  if (host::InjectFault(host::FaultOp::kFind)) return false;
  host::Listed entry;
  if (!object->enumeration.Next(&entry)) return false;
  host::Fill(entry, data);
  return true;
}

bool FindClose(Handle find) {
  State* state = Current();
  if (host::FindObjectOf<host::FindObject>(host::Value(find)) == nullptr) return false;
  state->handles.erase(host::Value(find));
  return true;
}

bool MoveFileW(const char16_t* existing, const char16_t* destination) {
  State* state = Current();
  if (state == nullptr) return false;
  host::NoticeEndedProcesses(*state);
  host::Reason reason = host::Attempt(
      host::FaultOp::kMove, [&] { return host::Move(*state, View(existing), View(destination)); });
  state->journal.Write(
      host::Event("move").Text("from", View(existing)).Text("to", View(destination)).Result(reason),
      "move " + host::Show(View(existing)) + " -> " + host::Show(View(destination)) + ": " +
          host::Outcome(reason));
  return reason == host::Reason::kNone;
}

bool DeleteFileW(const char16_t* name) {
  State* state = Current();
  if (state == nullptr) return false;
  host::NoticeEndedProcesses(*state);
  host::Reason reason =
      host::Attempt(host::FaultOp::kDelete, [&] { return host::Delete(*state, View(name)); });
  host::JournalPath(*state, "delete", View(name), reason);
  return reason == host::Reason::kNone;
}

bool SetFileAttributesW(const char16_t* name, std::uint32_t attributes) {
  State* state = Current();
  if (state == nullptr) return false;
  host::NoticeEndedProcesses(*state);
  host::Reason reason = host::Attempt(host::FaultOp::kAttributes, [&] {
    return host::SetAttributes(*state, View(name), attributes);
  });
  char shown[16];
  std::snprintf(shown, sizeof shown, "0x%08x", static_cast<unsigned>(attributes));
  state->journal.Write(
      host::Event("attributes")
          .Text("path", View(name))
          .Number("attributes", attributes)
          .Result(reason),
      "attributes " + host::Show(View(name)) + " = " + shown + ": " + host::Outcome(reason));
  return reason == host::Reason::kNone;
}

bool CreateDirectoryW(const char16_t* name, void* /*security*/) {
  State* state = Current();
  if (state == nullptr) return false;
  host::NoticeEndedProcesses(*state);
  host::Reason reason = host::Attempt(host::FaultOp::kMakeFolder,
                                      [&] { return host::MakeFolder(*state, View(name)); });
  host::JournalPath(*state, "mkdir", View(name), reason);
  return reason == host::Reason::kNone;
}

bool RemoveDirectoryW(const char16_t* name) {
  State* state = Current();
  if (state == nullptr) return false;
  host::NoticeEndedProcesses(*state);
  host::Reason reason = host::Attempt(host::FaultOp::kRemoveFolder,
                                      [&] { return host::RemoveFolder(*state, View(name)); });
  host::JournalPath(*state, "rmdir", View(name), reason);
  return reason == host::Reason::kNone;
}

}  // namespace platform
