// The staged files themselves (names, message files, files no step uses),
// and, with a device image, what the device already holds.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>

#include "driver/driver.h"
#include "linter.h"
#include "packages/packages.h"
#include "placement/placement.h"
#include "platform/text.h"
#include "registry/key_list.h"
#include "registry/script.h"
#include "settings/line_reader.h"
#include "text.h"

namespace lint {

namespace fs = std::filesystem;

namespace {

std::u16string NameOf(const platform::FindData& found) {
  return std::u16string(found.cFileName, wtext::Length(found.cFileName, platform::kMaxPath));
}

std::u16string FormatPath(const char16_t* format, const std::u16string& name, bool* fits) {
  char16_t path[kLineCapacity];
  *fits = wtext::FormatText(path, kLineCapacity, format, name.c_str());
  return std::u16string(path, wtext::Length(path, kLineCapacity));
}

std::string TooLong(const std::u16string& name, const char16_t* format) {
  std::u16string shown(format);
  shown.replace(shown.find(u"%s"), 2, u"NAME");
  return "the name has " + std::to_string(name.size()) + " characters, so `" + Show(shown) +
         "` does not fit 255: the device skips the file, which stays in the staging folder; "
         "shorten the name";
}

class FilesCheck {
 public:
  explicit FilesCheck(Context& context) : c_(context) {}
  void Run();

 private:
  void Names();
  void Groups();
  void MessageFile(const char16_t* name);
  void Unused();
  Context& c_;
};

void FilesCheck::Run() {
  Names();
  Groups();
  MessageFile(u"inst.msg");
  MessageFile(u"reboot.msg");
  Unused();
}

void FilesCheck::Names() {
  std::map<std::u16string, std::string> folded;
  std::error_code ec;
  std::vector<std::string> names;
  for (fs::directory_iterator it(c_.options.delivery, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  for (const std::string& host_name : names) {
    std::u16string name = FromUtf8(host_name);
    if (name.size() > static_cast<std::size_t>(platform::kMaxPath - 1)) {
      c_.report.Error(host_name, 0, "file-name-too-long",
                      "the name has " + std::to_string(name.size()) +
                          " characters: the device cannot list a name longer than 259, so the "
                          "file is never placed nor removed; shorten the name");
      continue;
    }
    auto [it, added] = folded.emplace(Fold(name), host_name);
    if (!added) {
      c_.report.Error(host_name, 0, "file-name-clash",
                      "the name differs from `" + ShowHostName(it->second) +
                          "` only in case: the device's file names ignore case, so it holds only "
                          "one of them; remove or rename one");
    }
  }
}

void FilesCheck::Groups() {
  for (const FixedGroup& group : kFixedGroups) {
    for (const platform::FindData& found : c_.view.List(group.pattern)) {
      std::u16string name = NameOf(found);
      c_.used.insert(Fold(name));
      bool source_fits = false, destination_fits = false;
      FormatPath(kStagedFormat, name, &source_fits);
      FormatPath(group.destination_format, name, &destination_fits);
      if (!source_fits || !destination_fits) {
        c_.report.Error(c_.HostName(name), 0, "file-name-too-long",
                        TooLong(name, source_fits ? group.destination_format : kStagedFormat));
      }
    }
  }
  for (const MappedGroup& group : kMappedGroups) {
    for (const platform::FindData& found : c_.view.List(group.pattern)) {
      std::u16string name = NameOf(found);
      c_.used.insert(Fold(name));
      bool fits = false;
      FormatPath(kStagedFormat, name, &fits);
      if (!fits) {
        c_.report.Error(c_.HostName(name), 0, "file-name-too-long", TooLong(name, kStagedFormat));
      }
    }
  }
  for (const platform::FindData& found : c_.view.List(kScriptPattern)) {
    std::u16string name = NameOf(found);
    bool fits = false;
    FormatPath(kStagedFormat, name, &fits);
    if (!fits) {
      c_.report.Error(c_.HostName(name), 0, "file-name-too-long", TooLong(name, kStagedFormat));
    }
  }
}

void FilesCheck::MessageFile(const char16_t* name) {
  const Staged* staged = c_.Find(name);
  if (staged == nullptr || staged->folder) return;
  c_.used.insert(Fold(name));
  FileEnds ends = ReadEnds(staged->host_name, c_.options);
  const std::string& head = ends.head;
  // What the dialog shows, from the device's own reading of the file.
  char16_t shown[kLineCapacity];
  host::Fd file = c_.view.OpenFile(StagedPath(name));
  if (!file.valid()) return;  // a link: the device shows its own text
  HostFileBytes bytes{file.get(), kFileReadBudget};
  ReadNoticeText(HostFileSource(&bytes), shown);
  std::u16string text(shown, wtext::Length(shown, kLineCapacity));

  std::string problem;
  if (head.rfind("\xEF\xBB\xBF", 0) == 0) {
    problem = "UTF-8 with a byte-order mark";
  } else if (head.rfind("\xFE\xFF", 0) == 0) {
    problem = "UTF-16 big-endian";
  } else if (!head.empty() && !LooksLikeUtf16(head)) {
    problem = "8-bit text";
  }
  if (!problem.empty()) {
    c_.report.Error(staged->host_name, 0, "msg-not-utf16",
                    "the file is " + problem +
                        ", but the device reads UTF-16 little-endian: the dialog shows `" +
                        Show(text, 40) + "`; save it as UTF-16 LE (\"Unicode\")");
    return;
  }
  bool mark = head.size() >= 2 && head[0] == '\xFF' && head[1] == '\xFE';
  if (text.empty()) {
    c_.report.Error(staged->host_name, 0, "msg-empty",
                    std::string("the file holds no text: the device shows an empty dialog (its own "
                                "text is used only when the file is missing); write the text or "
                                "remove the file"));
    return;
  }
  std::size_t limit_bytes = (kLineCapacity - 1) * 2;
  if (ends.size <= limit_bytes) return;
  // Past what is read: only blanks and line breaks may be lost unnoticed.
  bool lost = ends.size > head.size();
  for (std::size_t i = limit_bytes; !lost && i + 1 < head.size(); i += 2) {
    char16_t unit = static_cast<char16_t>(static_cast<unsigned char>(head[i]) |
                                          static_cast<unsigned char>(head[i + 1]) << 8);
    if (unit != u' ' && unit != u'\r' && unit != u'\n' && unit != u'\t' && unit != 0) lost = true;
  }
  if (!lost) return;
  c_.report.Error(staged->host_name, 0, "msg-too-long",
                  "the text has " + std::to_string((ends.size - (mark ? 2 : 0)) / 2) +
                      " characters, but the device shows only the first " +
                      std::to_string(mark ? 254 : 255) + ": it ends at `..." +
                      Show(std::u16string_view(text).substr(text.size() > 30 ? text.size() - 30 : 0)) +
                      "`; shorten the text");
}

void FilesCheck::Unused() {
  for (const Staged& staged : c_.staged) {
    if (c_.used.count(Fold(staged.name))) continue;
    std::string hint;
    std::u16string name = staged.name;
    if (staged.folder) {
      hint = "; only packages named under [ADDITIONAL_CABS] are read from sub-folders";
    } else if (c_.mentioned.count(Fold(name))) {
      hint = "; brand.ini names it under [ADDITIONAL_CABS], but the device misreads that entry";
    } else if (EndsWithNoCase(name, u".cab")) {
      hint = "; list it under [ADDITIONAL_CABS] as cabN=\"" + Show(name) + "\"";
    } else if (EndsWithNoCase(name, u".htm") || EndsWithNoCase(name, u".html")) {
      hint = "; a start page is staged as *.hp with its destination under [HOMEPAGE]";
    } else if (EndsWithNoCase(name, u".jpg") || EndsWithNoCase(name, u".png") ||
               EndsWithNoCase(name, u".bmp")) {
      hint = "; only *.gif images are moved to \\Windows";
    } else if (EndsWithNoCase(name, u".msg")) {
      hint = "; the device reads only inst.msg and reboot.msg";
    } else if (EndsWithNoCase(name, u".ini")) {
      hint = "; the device reads only brand.ini";
    }
    c_.report.Warning(staged.host_name, 0, "file-unused",
                      std::string(staged.folder ? "no step uses this folder"
                                                : "no step uses this file") +
                          ": the device removes it at clean-up" + hint);
  }
}

// ---- Against a device image -----------------------------------------------------

enum class On { kMissing, kFile, kFolder, kNoFolder };

// What the device holds at `path`: FindFirstFileW with the name itself as
// the pattern answers as the device's file system does (case ignored).
On Probe(DeviceView& view, const std::u16string& path) {
  std::size_t slash = path.find_last_of(u"\\/");
  std::u16string name = slash == std::u16string::npos ? path : path.substr(slash + 1);
  if (name.find_first_of(u"*?") != std::u16string::npos) return On::kMissing;
  std::vector<platform::FindData> found = view.List(path);
  if (found.empty()) {
    if (slash == std::u16string::npos || slash == 0) return On::kMissing;
    return Probe(view, path.substr(0, slash)) == On::kFolder ? On::kMissing : On::kNoFolder;
  }
  return (found[0].dwFileAttributes & platform::kFileAttributeDirectory) ? On::kFolder : On::kFile;
}

class DeviceCheck {
 public:
  explicit DeviceCheck(Context& context)
      : c_(context), settings_(context.settings ? context.settings->host_name : std::string()) {}
  void Run();

 private:
  void Placement();
  void Installer();
  void Theme();
  void Removals();
  void Restart();
  bool ScriptCreates(int root, const std::u16string& path) const;
  Context& c_;
  std::string settings_;
};

void DeviceCheck::Run() {
  Placement();
  Installer();
  Theme();
  Removals();
  Restart();
}

void DeviceCheck::Placement() {
  for (const Move& move : FixedMoves(c_)) {
    std::string host = c_.HostName(move.name);
    switch (Probe(c_.view, move.destination)) {
      case On::kNoFolder: {
        std::u16string folder = move.destination.substr(0, move.destination.find_last_of(u'\\'));
        c_.report.Error(host, 0, "device-folder-missing",
                        "the device has no folder `" + Show(folder) +
                            "`, which the device never creates: the move fails and the file "
                            "is removed at clean-up");
        break;
      }
      case On::kFile:
      case On::kFolder:
        c_.report.Error(host, 0, "device-file-exists",
                        "the device already holds `" + Show(move.destination) +
                            "`: a move never replaces a file, so the device keeps its own and "
                            "removes the staged one at clean-up");
        break;
      case On::kMissing:
        break;
    }
  }
  for (const Move& move : MappedMoves(c_)) {
    On on = Probe(c_.view, move.destination);
    if (on == On::kFile || on == On::kFolder) {
      c_.report.Error(c_.HostName(move.name), 0, "device-file-exists",
                      "the device already holds `" + Show(move.destination) +
                          "`: a move never replaces a file, so the device keeps its own and "
                          "removes the staged one at clean-up");
    }
  }
}

void DeviceCheck::Installer() {
  if (c_.packages.empty() && !c_.theme) return;
  if (Probe(c_.view, kInstallerImage) == On::kFile) return;
  std::uint32_t line = !c_.packages.empty() ? c_.packages[0].line_number : c_.theme->line_number;
  std::string what = !c_.packages.empty() && c_.theme ? "the packages and the theme"
                     : !c_.packages.empty()          ? "the packages"
                                                     : "the theme";
  c_.report.Error(settings_, line, "device-no-installer",
                  "the device has no \\Windows\\wceload.exe: " + what +
                      " are never installed (the installer cannot start)");
}

bool DeviceCheck::ScriptCreates(int root, const std::u16string& path) const {
  std::u16string wanted = Fold(path);
  for (const ScriptKey& key : c_.script_keys) {
    if (key.root != root) continue;
    std::u16string created = Fold(key.path);
    if (created.rfind(wanted, 0) == 0 &&
        (created.size() == wanted.size() || created[wanted.size()] == u'\\')) {
      return true;
    }
  }
  return false;
}

void DeviceCheck::Theme() {
  if (!c_.theme) return;
  const Answer& answer = *c_.theme;
  if (!c_.view.KeyExists(platform::kHkeyCurrentUser, kTodayKey)) {
    c_.report.Error(settings_, answer.line_number, "device-no-today-key",
                    std::string("the device has no HKEY_CURRENT_USER\\Software\\Microsoft\\Today: "
                                "the theme's registry part (Skin, Wall, WallFile) is skipped and "
                                "only its installer runs") +
                        (ScriptCreates(kRootCurrentUser, kTodayKey)
                             ? "; a registry script creates the key, but the scripts run after "
                               "the theme"
                             : ""));
  }
  std::u16string folded = Fold(answer.value);
  if (folded.rfind(Fold(kStagingPrefix), 0) == 0) return;  // said by the settings check
  std::u16string windows = Fold(u"\\Windows\\");
  if (folded.rfind(windows, 0) == 0) {
    const Staged* staged = c_.Find(answer.value.substr(windows.size()));
    if (staged != nullptr && EndsWithNoCase(staged->name, u".tsk")) return;
  }
  if (Probe(c_.view, answer.value) != On::kFile) {
    c_.report.Error(settings_, answer.line_number, "device-theme-missing",
                    "the theme `" + Show(answer.value) +
                        "` is neither staged as a *.tsk nor on the device: the installer is "
                        "started for a file that does not exist");
  }
}

void DeviceCheck::Removals() {
  for (const Answer& answer : c_.removals) {
    KeyEntry entry;
    ParseKeyEntry(answer.value.c_str(), &entry);
    if (entry.status != KeyEntryStatus::kDelete) continue;
    std::u16string path = answer.value.substr(static_cast<std::size_t>(entry.parent_begin));
    if (c_.view.KeyExists(entry.root, path) || ScriptCreates(ScriptRootOf(entry.root), path)) continue;
    c_.report.Warning(settings_, answer.line_number, "device-key-missing",
                      "the device holds no key `" + Show(answer.value) +
                          "` and no script creates it: nothing is deleted");
  }
}

void DeviceCheck::Restart() {
  if (c_.view.KeyExists(platform::kHkeyLocalMachine, kAppsKey)) {
    // The restart step reads at most four bytes of the marker.
    std::uint8_t data[4] = {0, 0, 0, 0};
    std::optional<host::RegValue> marker =
        c_.view.Value(platform::kHkeyLocalMachine, kAppsKey, kRestartMarkerName);
    // A value longer than the four bytes asked for is not read at all.
    if (marker && marker->data.size() <= 4) {
      std::copy(marker->data.begin(), marker->data.end(), data);
    }
    // Whatever the run brings, the marker decides first.
    if (DecideRestart(RestartMarkerValue(data), true, true) == RestartChoice::kHeldByMarker) {
      c_.report.Warning("", 0, "device-restart-held",
                        "the device holds " + ToUtf8(kRestartMarkerName) + " = " +
                            std::to_string(RestartMarkerValue(data)) +
                            " under HKEY_LOCAL_MACHINE\\" + ToUtf8(kAppsKey) +
                            ": it does not restart after this run (and removes the marker)");
      return;
    }
  }
  // With the gate, the run goes on only after a Yes.
  if (c_.view.KeyExists(platform::kHkeyClassesRoot, kGateKey) &&
      DecideRestart(0, c_.restart.has_value(), true) == RestartChoice::kHeldByConsent) {
    std::string section = ToUtf8(kRestartAsk.section), key = ToUtf8(kRestartAsk.key);
    std::string entry = "[" + section + "] " + key;
    c_.report.Warning(settings_, 0, "device-no-restart",
                      "the device asks the user for consent first, and brand.ini has no " +
                          entry + " entry: after a Yes the device does not restart, so the "
                          "changes take effect only at the next restart; add [" + section +
                          "] with " + key + "=\"1\"");
  }
}

}  // namespace

std::vector<Move> FixedMoves(Context& context) {
  std::vector<Move> moves;
  for (const FixedGroup& group : kFixedGroups) {
    for (const platform::FindData& found : context.view.List(group.pattern)) {
      Move move;
      move.name = NameOf(found);
      bool source_fits = false, destination_fits = false;
      FormatPath(kStagedFormat, move.name, &source_fits);
      move.destination = FormatPath(group.destination_format, move.name, &destination_fits);
      // PlaceFixedGroup skips a name that does not fit either path.
      if (source_fits && destination_fits) moves.push_back(std::move(move));
    }
  }
  return moves;
}

const std::vector<Move>& MappedMoves(Context& context) {
  if (context.mapped_moves) return *context.mapped_moves;
  context.mapped_moves.emplace();
  for (const MappedGroup& group : kMappedGroups) {
    for (const platform::FindData& found : context.view.List(group.pattern)) {
      if (!context.CanLookup()) return *context.mapped_moves;
      Move move;
      move.name = NameOf(found);
      std::optional<Answer> answer = context.Lookup(group.ask.section, move.name.c_str());
      if (!answer || answer->value.empty()) continue;
      move.destination = answer->value;
      move.section = group.ask.section;
      move.line = answer->line_number;
      context.mapped_moves->push_back(std::move(move));
    }
  }
  return *context.mapped_moves;
}

void CheckFiles(Context& context) {
  FilesCheck check(context);
  check.Run();
}

void CheckDevice(Context& context) {
  DeviceCheck check(context);
  check.Run();
}

}  // namespace lint
