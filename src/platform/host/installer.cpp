// The emulated device's package installer, \Windows\wceload.exe: when the
// program starts it, the package named on its command line is installed
// through the same emulated file system and registry as everything else, so
// that confinement to fs/, the case rules, read-only files and the atomic
// registry write hold for a package's effects too.
//
// The whole installation happens while CreateProcessW runs, before the
// program's next call. For a package the program waits for, that is what the
// device does as well. The theme's installer is not waited for: on a device
// it runs beside the rest of the run, and here it finishes before the mapped
// groups, the registry scripts and the key removal list, which is the one
// order that does not depend on timing.
//
// Every effect is journaled with the package it belongs to (a "package"
// field), and every refusal with its reason.

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/host/cabinet.h"
#include "platform/host/internal.h"
#include "platform/host/package.h"
#include "registry/roots.h"

namespace host {

namespace {

// A number the device has no root for: HKEY_LOCAL_MACHINE.
platform::HKey RootKey(std::uint16_t root) {
  const RegistryRoot* known = RootByManifest(root);
  return known != nullptr && known->key != platform::kNullKey ? known->key
                                                              : platform::kHkeyLocalMachine;
}

std::u16string Text(const std::string& ascii) { return FromUtf8(ascii); }

std::u16string MemberName(const cepkg::Cabinet& cabinet, std::uint16_t id) {
  int index = cabinet.Find(id);
  return index >= 0 ? Text(cabinet.members()[static_cast<std::size_t>(index)].name) : u"";
}

time_t MemberTime(const cepkg::CabMember& member) {
  struct tm when {};
  when.tm_year = member.year - 1900;
  when.tm_mon = member.month - 1;
  when.tm_mday = member.day;
  when.tm_hour = member.hour;
  when.tm_min = member.minute;
  when.tm_sec = member.second;
  return timegm(&when);
}

class Installation {
 public:
  Installation(State& state, const cepkg::InstallerCommand& command)
      : state_(state), command_(command) {}

  void Run() {
    Fd fd;
    std::string reason;
    if (!OpenPackage(&fd, &reason)) {
      End(false, reason);
      return;
    }
    bool ok = ReadAndCheck(fd.get(), &reason);
    if (ok) Install();
    fd.Reset();
    // wceload removes the cabinet unless told to keep it, also when the
    // installation failed.
    if (command_.delete_after) platform::DeleteFileW(command_.package.c_str());
    End(ok, reason);
  }

 private:
  bool OpenPackage(Fd* fd, std::string* reason) {
    Entry entry;
    if (!state_.tree.Resolve(command_.package, &entry) || !entry.exists) {
      *reason = "the package file is not on the device";
      return false;
    }
    if (!entry.is_file()) {
      *reason = "the package is not a file";
      return false;
    }
    Reason why = OpenForReading(state_, entry, fd);
    if (why == Reason::kNotTheDevices) {
      *reason = "the package file is not the device's own (a hard link, a device, fifo or socket)";
      return false;
    }
    if (why != Reason::kNone) {
      *reason = "the package file cannot be read";
      return false;
    }
    return true;
  }

  bool ReadAndCheck(int fd, std::string* reason) {
    if (!cepkg::ReadPackage(fd, &cabinet_, &manifest_, reason)) return false;
    plan_ = cepkg::PlanPackage(manifest_, state_.profile);
    state_.journal.Say("\"" + Show(plan_.app_name) + "\" from \"" + Show(plan_.provider) +
                       "\", installed into " + Show(plan_.install_dir));
    if (!cepkg::FitsDevice(manifest_, state_.profile, reason)) {
      *reason = "does not fit the device: " + *reason;
      return false;
    }
    if (command_.safe) {
      std::vector<std::string> code =
          cepkg::ExecutableCode(manifest_, cabinet_.Find(cepkg::kSetupDllMember) >= 0);
      if (!code.empty()) {
        *reason = "refused by /safe: it carries executable code: " + code.front();
        for (std::size_t i = 1; i < code.size(); ++i) *reason += ", " + code[i];
        return false;
      }
    }
    return true;
  }

  void Install() {
    int setup_dll = cabinet_.Find(cepkg::kSetupDllMember);
    if (setup_dll >= 0) {
      Skip("setup_dll", MemberName(cabinet_, cepkg::kSetupDllMember),
           "a setup DLL is native code, which the emulated device never runs");
    }
    for (const cepkg::PlannedFile& file : plan_.files) InstallPlannedFile(file);
    for (const cepkg::PlannedValue& value : plan_.values) SetPlannedValue(value);
    CloseKey();
    for (const cepkg::PlannedLink& link : plan_.links) MakeShortcut(link);
    if (!command_.no_uninstall) WriteUninstallRecord();
  }

  // The folders along `folder` that are missing, made one level at a time.
  bool MakeFolders(const std::u16string& folder, std::string* reason) {
    std::vector<std::u16string> parts;
    if (!SplitPath(folder, &parts)) {
      *reason = "its folder is not a device path";
      return false;
    }
    std::u16string path;
    for (const std::u16string& part : parts) {
      path += u"\\" + part;
      Entry entry;
      if (!state_.tree.Resolve(path, &entry)) {
        *reason = "the folder " + Show(path) + " cannot be reached";
        return false;
      }
      if (entry.is_folder()) continue;
      if (entry.exists) {
        *reason = "a file stands where the folder " + Show(path) + " should be";
        return false;
      }
      if (!platform::CreateDirectoryW(path.c_str(), nullptr)) {
        *reason = "the folder " + Show(path) + " cannot be made";
        return false;
      }
    }
    return true;
  }

  // Puts `write`'s bytes at `path`: a new file beside the destination, then
  // renamed over it, so that a failure leaves the old file or none, never a
  // half-written one.
  template <typename Writer>
  bool PutFile(const std::u16string& path, bool replace, time_t mtime, Writer write,
               std::string* reason) {
    Entry entry;
    if (!state_.tree.Resolve(path, &entry) || entry.host_name.empty() ||
        !IsValidNewName(entry.name)) {
      *reason = "not a name the device can hold";
      return false;
    }
    if (entry.is_folder() || entry.is_link()) {
      *reason = "a folder or link of that name is in the way";
      return false;
    }
    if (entry.foreign) {
      *reason = "a file that is not the device's own is in the way";
      return false;
    }
    if (entry.exists && !replace) {
      *reason = "a file of that name exists";
      return false;
    }
    if (entry.exists && !(entry.st.st_mode & S_IWUSR)) {
      *reason = "the file on the device is read-only";
      return false;
    }
    char temp[64];
    std::snprintf(temp, sizeof temp, ".brandsim-install-%ld-%u", static_cast<long>(getpid()),
                  ++temp_counter_);
    // In the view's folder: a file found in the image behind a dry run's
    // view is replaced by one in front of it.
    int folder = entry.view.get();
    Fd out(openat(folder, temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!out.valid()) {
      *reason = std::string("cannot write in its folder: ") + std::strerror(errno);
      return false;
    }
    bool ok = write(out.get(), reason);
    if (ok && mtime != 0) {
      struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
      futimens(out.get(), times);
    }
    out.Reset();
    if (ok) {
      ok = entry.exists && !entry.lower
               ? renameat(folder, temp, folder, entry.host_name.c_str()) == 0
               : renameat2(folder, temp, folder, entry.host_name.c_str(), RENAME_NOREPLACE) == 0;
      if (!ok) *reason = std::string("cannot be put in place: ") + std::strerror(errno);
    }
    if (!ok) unlinkat(folder, temp, 0);
    if (ok) state_.tree.caches().Added(folder, entry.host_name);
    if (ok && entry.placed) state_.tree.Unplace(entry.view_key, entry.host_name);
    return ok;
  }

  // Whether the file at `path` is to be replaced under `flags`; false with
  // the reason when it stays.
  bool MayReplace(const cepkg::PlannedFile& planned, const Entry& existing, time_t member_time,
                  std::string* reason) {
    std::uint32_t flags = planned.file->flags;
    if (flags & cepkg::kFileNeverOverwrite) {
      *reason = "file kept: it exists and the package never overwrites it";
      return false;
    }
    if ((flags & cepkg::kFileNoOverwriteNewer) && !(flags & cepkg::kFileIgnoreDates) &&
        existing.st.st_mtime > member_time) {
      *reason = "file kept: the file on the device is newer than the package's";
      return false;
    }
    return true;
  }

  void InstallPlannedFile(const cepkg::PlannedFile& planned) {
    const cepkg::File& file = *planned.file;
    std::u16string member = MemberName(cabinet_, file.id);
    if (planned.refusal.refused) {
      Skip("file", planned.destination.empty() ? Text(file.name) : planned.destination,
           planned.refusal.reason);
      return;
    }
    std::size_t index = static_cast<std::size_t>(cabinet_.Find(file.id));
    const cepkg::CabMember& cab_member = cabinet_.members()[index];
    time_t member_time = MemberTime(cab_member);
    Entry existing;
    std::string reason;
    bool exists = state_.tree.Resolve(planned.destination, &existing) && existing.exists;
    if (!exists && (file.flags & cepkg::kFileOnlyIfExists)) {
      Skip("file", planned.destination,
           "not installed: the package only replaces a file that is already there");
      return;
    }
    if (exists && existing.is_file() && !MayReplace(planned, existing, member_time, &reason)) {
      Skip("file", planned.destination, reason);
      return;
    }
    bool ok = MakeFolders(planned.folder, &reason) &&
              PutFile(planned.destination, true, member_time,
                      [&](int out, std::string* why) {
                        return cabinet_.Extract(index, out, why);
                      },
                      &reason);
    if (ok) ++files_;
    Event event("install_file");
    event.Text("member", member).Text("to", planned.destination).Number("size", cab_member.size)
        .Number("flags", file.flags);
    if (!ok) event.Text("reason", Text(reason));
    state_.journal.Write(event.Bool("ok", ok),
                         "install " + Show(member) + " -> " + Show(planned.destination) + " (" +
                             std::to_string(cab_member.size) + " bytes): " + OkWord(ok) +
                             (ok ? "" : " (" + reason + ")"));
    if (ok && (file.flags & cepkg::kFileSelfRegister)) {
      Skip("self_register", planned.destination,
           "self-registration runs native code, which the emulated device never runs");
    }
  }

  void SetPlannedValue(const cepkg::PlannedValue& planned) {
    std::u16string shown = planned.root_name + (planned.key.empty() ? u"" : u"\\" + planned.key) +
                           u"\\" + (planned.name.empty() ? u"@" : planned.name);
    if (planned.refusal.refused) {
      Skip("value", shown, planned.refusal.reason);
      return;
    }
    // Values of one key follow each other: the key is opened once for them.
    std::u16string key_path = planned.root_name + u"\\" + planned.key;
    if (key_ == platform::kNullKey || key_path != key_path_) {
      CloseKey();
      std::uint32_t disposition = 0;
      if (platform::RegCreateKeyExW(RootKey(planned.root), planned.key.c_str(), 0, nullptr, 0, 0,
                                    nullptr, &key_, &disposition) != platform::kErrorSuccess) {
        return;  // the journal has said so
      }
      key_path_ = key_path;
    }
    platform::HKey key = key_;
    std::uint32_t type = 0, size = 0;
    if (planned.keep_existing &&
        platform::RegQueryValueExW(key, planned.name.c_str(), nullptr, &type, nullptr, &size) ==
            platform::kErrorSuccess) {
      Skip("value", shown, "value kept: it exists and the package keeps existing values");
    } else if (platform::RegSetValueExW(key, planned.name.c_str(), 0, planned.type,
                                        planned.data.data(),
                                        static_cast<std::uint32_t>(planned.data.size())) ==
               platform::kErrorSuccess) {
      ++values_;
    }
  }

  void CloseKey() {
    if (key_ != platform::kNullKey) platform::RegCloseKey(key_);
    key_ = platform::kNullKey;
  }

  void MakeShortcut(const cepkg::PlannedLink& planned) {
    if (planned.refusal.refused) {
      Skip("shortcut", Text(planned.link->name), planned.refusal.reason);
      return;
    }
    std::u16string folder = planned.path.substr(0, planned.path.rfind(u'\\'));
    std::string reason;
    bool ok = MakeFolders(folder, &reason) &&
              PutFile(planned.path, true, 0,
                      [&](int out, std::string* why) {
                        if (WriteAll(out, planned.content)) return true;
                        *why = std::strerror(errno);
                        return false;
                      },
                      &reason);
    if (ok) ++links_;
    Event event("shortcut");
    event.Text("path", planned.path).Text("target", planned.target);
    if (!ok) event.Text("reason", Text(reason));
    state_.journal.Write(event.Bool("ok", ok), "shortcut " + Show(planned.path) + " -> " +
                                                   Show(planned.target) + ": " + OkWord(ok) +
                                                   (ok ? "" : " (" + reason + ")"));
  }

  // What lets the device's Remove Programs list the package.
  void WriteUninstallRecord() {
    std::u16string name = plan_.provider.empty() ? plan_.app_name
                                                 : plan_.provider + u" " + plan_.app_name;
    std::u16string key_path = u"SOFTWARE\\Apps\\" + name;
    platform::HKey key = platform::kNullKey;
    std::uint32_t disposition = 0;
    if (platform::RegCreateKeyExW(platform::kHkeyLocalMachine, key_path.c_str(), 0, nullptr, 0, 0,
                                  nullptr, &key, &disposition) != platform::kErrorSuccess) {
      return;
    }
    auto set_text = [&](const char16_t* value_name, const std::u16string& text) {
      std::vector<std::uint8_t> data;
      AppendStringData(text, &data);
      platform::RegSetValueExW(key, value_name, 0, platform::kRegSz, data.data(),
                               static_cast<std::uint32_t>(data.size()));
    };
    const std::uint8_t one[4] = {1, 0, 0, 0};
    platform::RegSetValueExW(key, u"Instl", 0, platform::kRegDword, one, 4);
    set_text(u"InstlDir", plan_.install_dir);
    set_text(u"CabFile", command_.package);
    platform::RegCloseKey(key);
  }

  void Skip(const char* what, const std::u16string& item, const std::string& reason) {
    ++skipped_;
    state_.journal.Write(
        Event("package_skip").Text("what", Text(what)).Text("item", item).Text("reason", Text(reason)),
        std::string("skip ") + what + " " + Show(item) + ": " + reason);
  }

  void End(bool ok, const std::string& reason) {
    Event event("package_end");
    event.Text("path", command_.package)
        .Text("name", plan_.app_name)
        .Text("provider", plan_.provider)
        .Number("files", files_)
        .Number("values", values_)
        .Number("shortcuts", links_)
        .Number("skipped", skipped_);
    if (!ok) event.Text("reason", Text(reason));
    auto count = [](unsigned n, const char* one, const char* many) {
      return std::to_string(n) + " " + (n == 1 ? one : many);
    };
    std::string summary =
        ok ? "installed: " + count(files_, "file", "files") + ", " +
                 count(values_, "value", "values") + ", " +
                 count(links_, "shortcut", "shortcuts") +
                 (skipped_ > 0 ? ", " + std::to_string(skipped_) + " skipped" : "")
           : "refused: " + reason;
    state_.journal.Write(event.Bool("ok", ok),
                         "package " + Show(command_.package) + ": " + summary);
  }

  State& state_;
  const cepkg::InstallerCommand& command_;
  cepkg::Cabinet cabinet_;
  cepkg::Manifest manifest_;
  cepkg::Plan plan_;
  unsigned files_ = 0, values_ = 0, links_ = 0, skipped_ = 0;
  unsigned temp_counter_ = 0;
  platform::HKey key_ = platform::kNullKey;  // the key the last value went to
  std::u16string key_path_;
};

}  // namespace

bool IsPackageInstaller(State& state, std::u16string_view image) {
  Entry wanted, started;
  return state.tree.Resolve(u"\\Windows\\wceload.exe", &wanted) && wanted.exists &&
         state.tree.Resolve(image, &started) && started.exists &&
         started.st.st_dev == wanted.st.st_dev && started.st.st_ino == wanted.st.st_ino;
}

void RunEmulatedInstaller(State& state, std::u16string_view command_line) {
  // The installer's own calls are not the program's: an injected fault
  // counts the program's calls only.
  FaultPause pause;
  cepkg::InstallerCommand command;
  std::string reason;
  bool named = cepkg::ParseInstallerCommand(command_line, &command, &reason);
  state.journal.Write(Event("package_begin")
                          .Text("path", command.package)
                          .Text("command_line", command_line),
                      "package " + (named ? Show(command.package) : std::string("(none)")) +
                          ": the emulated installer installs it now, before the program goes on");
  JournalContext context(state.journal, command.package);
  if (!named) {
    state.journal.Write(Event("package_end").Text("path", u"").Text("reason", Text(reason)).Bool("ok", false),
                        "package: refused: " + reason);
    return;
  }
  for (const std::u16string& word : command.ignored) {
    state.journal.Say("switch " + Show(word) + " is not known to the emulated installer; ignored");
  }
  Installation(state, command).Run();
}

}  // namespace host
