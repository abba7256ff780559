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
// rule is applied here: a file whose owner-write bit is clear stays put.
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

bool Move(State& state, std::u16string_view existing, std::u16string_view destination) {
  Entry from, to;
  if (!state.tree.Resolve(existing, &from) || !from.exists || from.is_link() || IsReadOnly(from)) {
    return false;
  }
  // `to.exists` is the case-insensitive answer: LOGO.GIF blocks logo.gif.
  if (!state.tree.Resolve(destination, &to) || to.exists || !IsValidNewName(to.name) ||
      to.host_name.empty()) {
    return false;
  }
  if (!RenameNoReplace(from, to)) return false;
  state.tree.caches().Removed(from.folder.get(), from.host_name);
  state.tree.caches().Added(to.folder.get(), to.host_name);
  return true;
}

bool Delete(State& state, std::u16string_view path) {
  Entry entry;
  if (!state.tree.Resolve(path, &entry) || !entry.exists || entry.is_folder() ||
      IsReadOnly(entry)) {
    return false;
  }
  // unlinkat never follows a link: a link is removed itself.
  if (unlinkat(entry.folder.get(), entry.host_name.c_str(), 0) != 0) return false;
  state.tree.caches().Removed(entry.folder.get(), entry.host_name);
  return true;
}

bool SetAttributes(State& state, std::u16string_view path, std::uint32_t attributes) {
  Entry entry;
  if (!state.tree.Resolve(path, &entry) || !entry.exists || entry.is_link()) return false;
  // A folder reports no read-only attribute, and making it unwritable on the
  // host would keep unprivileged users from emptying it: nothing to change.
  if (entry.is_folder()) return true;
  mode_t mode = entry.st.st_mode & 07777;
  mode_t wanted =
      (attributes & platform::kFileAttributeReadonly) ? (mode & ~S_IWUSR) : (mode | S_IWUSR);
  if (wanted == mode) return true;
  return fchmodat(entry.folder.get(), entry.host_name.c_str(), wanted, AT_SYMLINK_NOFOLLOW) == 0;
}

bool MakeFolder(State& state, std::u16string_view path) {
  Entry entry;
  if (!state.tree.Resolve(path, &entry) || entry.exists || !IsValidNewName(entry.name) ||
      entry.host_name.empty()) {
    return false;
  }
  if (mkdirat(entry.folder.get(), entry.host_name.c_str(), 0777) != 0) return false;
  state.tree.caches().Added(entry.folder.get(), entry.host_name);
  return true;
}

bool RemoveFolder(State& state, std::u16string_view path) {
  Entry entry;
  if (!state.tree.Resolve(path, &entry) || !entry.is_folder()) return false;
  if (unlinkat(entry.folder.get(), entry.host_name.c_str(), AT_REMOVEDIR) != 0) return false;
  state.tree.caches().Forget(entry.st);
  state.tree.caches().Removed(entry.folder.get(), entry.host_name);
  return true;
}

void JournalPath(State& state, const char* event, std::u16string_view path, bool ok) {
  state.journal.Write(Event(event).Text("path", path).Bool("ok", ok),
                      std::string(event) + " " + Show(path) + ": " + OkWord(ok));
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
  if (!state->tree.Resolve(View(name), &entry) || !entry.is_file()) return kInvalidHandleValue;
  // O_NONBLOCK: a fifo must not hang the run; it is refused just below.
  host::Fd fd(openat(entry.folder.get(), entry.host_name.c_str(),
                     O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return kInvalidHandleValue;
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
  bool ok = !host::InjectFault(host::FaultOp::kMove) &&
            host::Move(*state, View(existing), View(destination));
  state->journal.Write(
      host::Event("move").Text("from", View(existing)).Text("to", View(destination)).Bool("ok", ok),
      "move " + host::Show(View(existing)) + " -> " + host::Show(View(destination)) + ": " +
          host::OkWord(ok));
  return ok;
}

bool DeleteFileW(const char16_t* name) {
  State* state = Current();
  if (state == nullptr) return false;
  host::NoticeEndedProcesses(*state);
  bool ok = !host::InjectFault(host::FaultOp::kDelete) && host::Delete(*state, View(name));
  host::JournalPath(*state, "delete", View(name), ok);
  return ok;
}

bool SetFileAttributesW(const char16_t* name, std::uint32_t attributes) {
  State* state = Current();
  if (state == nullptr) return false;
  host::NoticeEndedProcesses(*state);
  bool ok = !host::InjectFault(host::FaultOp::kAttributes) &&
            host::SetAttributes(*state, View(name), attributes);
  char shown[16];
  std::snprintf(shown, sizeof shown, "0x%08x", static_cast<unsigned>(attributes));
  state->journal.Write(
      host::Event("attributes")
          .Text("path", View(name))
          .Number("attributes", attributes)
          .Bool("ok", ok),
      "attributes " + host::Show(View(name)) + " = " + shown + ": " + host::OkWord(ok));
  return ok;
}

bool CreateDirectoryW(const char16_t* name, void* /*security*/) {
  State* state = Current();
  if (state == nullptr) return false;
  host::NoticeEndedProcesses(*state);
  bool ok = !host::InjectFault(host::FaultOp::kMakeFolder) && host::MakeFolder(*state, View(name));
  host::JournalPath(*state, "mkdir", View(name), ok);
  return ok;
}

bool RemoveDirectoryW(const char16_t* name) {
  State* state = Current();
  if (state == nullptr) return false;
  host::NoticeEndedProcesses(*state);
  bool ok =
      !host::InjectFault(host::FaultOp::kRemoveFolder) && host::RemoveFolder(*state, View(name));
  host::JournalPath(*state, "rmdir", View(name), ok);
  return ok;
}

}  // namespace platform
