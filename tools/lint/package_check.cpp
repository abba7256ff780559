// Packages and the theme: each file the device's package installer is
// started for is read the way that installer reads it (ReadPackage,
// FitsDevice, ExecutableCode for the theme's /safe, PlanPackage: the very
// decisions the emulated installer carries out), and what it installs is set
// against what the later steps do with the same paths and values: the staged
// groups' moves, the registry scripts and the key removal list.
//
// The files are read where the device finds them (DeviceView), one
// component at a time without following a link, so that nothing outside the
// delivery (or the device image's fs/, for a theme already on the device) is
// ever opened.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <set>
#include <utility>

#include "linter.h"
#include "packages/packages.h"
#include "platform/host/cabinet.h"
#include "platform/host/paths.h"
#include "platform/text.h"
#include "registry/key_list.h"
#include "settings/line_reader.h"
#include "text.h"

namespace lint {

namespace {

namespace fs = std::filesystem;

// A device path (or key path) as the device compares it: either separator,
// no empty components, case ignored.
std::u16string Compared(std::u16string_view path) {
  std::u16string out;
  for (char16_t c : path) {
    if (c == u'/') c = u'\\';
    if (c == u'\\' && (out.empty() || out.back() == u'\\')) continue;
    out.push_back(c);
  }
  while (!out.empty() && out.back() == u'\\') out.pop_back();
  return Fold(out);
}

// What the device does with one file it starts the installer for.
struct Installer {
  std::string what;  // for messages: "`extra.cab`" or "the theme `\Windows\blue.tsk`"
  std::uint32_t line = 0;
  bool theme = false;
  cepkg::Manifest manifest;
  cepkg::Plan plan;
  bool installs = false;  // read, fits, and (the theme) carries no code
};

// A path an installer puts a file at, and which installer.
struct Placed {
  const Installer* by;
  std::u16string path;
  std::uint32_t flags;
};

// 8-bit manifest text as a byte line, for ShowBytes.
std::u16string ByteUnits(const std::string& bytes) {
  std::u16string units;
  for (char b : bytes) units.push_back(static_cast<unsigned char>(b));
  return units;
}

std::string ValueShown(const cepkg::PlannedValue& value) {
  std::u16string key = value.root_name + (value.key.empty() ? u"" : u"\\" + value.key);
  return Show(key) + (value.name.empty() ? " (the default value)" : " `" + Show(value.name) + "`");
}

class PackageCheck {
 public:
  explicit PackageCheck(Context& context)
      : c_(context), settings_(context.settings ? context.settings->host_name : std::string()) {}
  void Run();

 private:
  void Package(const Answer& answer);
  void Theme(const Answer& answer);
  // Reads the package at `fd` and says what keeps the device from
  // installing it.
  void Read(host::Fd fd, Installer* installer);
  void Refusals(const Installer& installer);
  void Files();
  void Values();

  Context& c_;
  std::string settings_;
  std::vector<std::unique_ptr<Installer>> installers_;
  std::set<std::pair<dev_t, ino_t>> read_;
};

void PackageCheck::Run() {
  for (const Answer& answer : c_.packages) Package(answer);
  if (c_.theme) Theme(*c_.theme);
  // An image without the installer installs nothing (device-no-installer):
  // nothing then meets the later steps.
  if (c_.device_given && c_.view.List(kInstallerImage).empty()) return;
  Files();
  Values();
}

void PackageCheck::Package(const Answer& answer) {
  char16_t path[kLineCapacity];
  char16_t command_line[kLineCapacity];
  if (!BuildPackagePath(path, answer.value.c_str()) ||
      !BuildPackageCommandLine(command_line, path)) {
    return;  // skipped by the device: said by the settings check
  }
  // Only what the device finds: a missing package has its own finding.
  host::Fd fd = c_.view.OpenFile(path);
  if (!fd.valid()) return;
  struct stat st;
  if (fstat(fd.get(), &st) == 0 && !read_.insert({st.st_dev, st.st_ino}).second) {
    // The installer removed the cabinet after its first installation: the
    // device finds it no more.
    return;
  }
  auto installer = std::make_unique<Installer>();
  installer->what = "`" + Show(answer.value) + "`";
  installer->line = answer.line_number;
  Read(std::move(fd), installer.get());
  installers_.push_back(std::move(installer));
}

void PackageCheck::Theme(const Answer& answer) {
  char16_t command_line[kLineCapacity];
  if (!BuildThemeCommandLine(command_line, answer.value.c_str())) return;  // skipped
  // Where the theme is when its step runs: a staged *.tsk has been moved to
  // \Windows, a file left in the staging folder is still there, and any
  // other is the device's own.
  std::u16string folded = Fold(answer.value);
  std::u16string windows = Fold(u"\\Windows\\"), staging = Fold(kStagingPrefix);
  const Staged* staged = nullptr;
  if (folded.rfind(windows, 0) == 0) {
    staged = c_.Find(answer.value.substr(windows.size()));
    if (staged != nullptr && !EndsWithNoCase(staged->name, u".tsk")) staged = nullptr;
  } else if (folded.rfind(staging, 0) == 0) {
    staged = c_.Find(answer.value.substr(staging.size()));
    // A *.tsk named there is gone (ini-theme-moved); a missing one is said too.
    if (staged == nullptr || EndsWithNoCase(staged->name, u".tsk")) return;
  }
  host::Fd fd;
  if (staged != nullptr) {
    fd = c_.view.OpenFile(StagedPath(staged->name));
  } else if (c_.device_given && !answer.value.empty() &&
             (answer.value[0] == u'\\' || answer.value[0] == u'/')) {
    fd = c_.view.OpenFile(answer.value);
  }
  if (!fd.valid()) return;  // not there: said by the settings or the device check
  auto installer = std::make_unique<Installer>();
  installer->what = "the theme `" + Show(answer.value) + "`";
  installer->line = answer.line_number;
  installer->theme = true;
  Read(std::move(fd), installer.get());
  installers_.push_back(std::move(installer));
}

void PackageCheck::Read(host::Fd fd, Installer* installer) {
  std::string reason;
  bool setup_dll = false;
  bool read = false;
  {
    cepkg::Cabinet cabinet;
    read = cepkg::ReadPackage(fd.get(), &cabinet, &installer->manifest, &reason);
    setup_dll = read && cabinet.Find(cepkg::kSetupDllMember) >= 0;
  }
  fd.Reset();
  const std::string& what = installer->what;
  if (!read) {
    c_.report.Error(settings_, installer->line, "pkg-malformed",
                    "the device's installer refuses " + what + ": " + reason +
                        "; nothing of it is installed");
    return;
  }
  if (!cepkg::FitsDevice(installer->manifest, c_.profile, &reason)) {
    c_.report.Error(settings_, installer->line, "pkg-unfit",
                    "the device's installer refuses " + what + ", which does not fit " +
                        (c_.device_given ? "the image's device" : "the default device") +
                        " (" + c_.profile.Describe() + "): " + reason +
                        "; nothing of it is installed");
    return;
  }
  if (installer->theme) {
    std::vector<std::string> code = cepkg::ExecutableCode(installer->manifest, setup_dll);
    if (!code.empty()) {
      std::string list = code[0];
      for (std::size_t i = 1; i < code.size(); ++i) list += ", " + code[i];
      c_.report.Error(settings_, installer->line, "pkg-theme-code",
                      what + " carries executable code (" + list +
                          "): the device starts the theme's installer with /safe, which refuses "
                          "it, so nothing of the theme is installed; build the theme without "
                          "programs, libraries or a setup DLL");
      return;
    }
  } else if (setup_dll) {
    c_.report.Warning(settings_, installer->line, "pkg-setup-dll",
                      what + " has a setup DLL: the device runs its native code while it "
                             "installs the package, which brandsim cannot, so what brandsim "
                             "shows for this package may differ from the device");
  }
  installer->plan = cepkg::PlanPackage(installer->manifest, c_.profile);
  installer->installs = true;
  Refusals(*installer);
}

void PackageCheck::Refusals(const Installer& installer) {
  std::vector<std::string> items;
  for (const cepkg::PlannedFile& file : installer.plan.files) {
    if (!file.refusal.refused) continue;
    items.push_back("`" + (file.destination.empty() ? ShowBytes(ByteUnits(file.file->name))
                                                    : Show(file.destination)) +
                    "` (" + file.refusal.reason + ")");
  }
  for (const cepkg::PlannedValue& value : installer.plan.values) {
    if (value.refusal.refused) items.push_back(ValueShown(value) + " (" + value.refusal.reason + ")");
  }
  for (const cepkg::PlannedLink& link : installer.plan.links) {
    if (link.refusal.refused) {
      items.push_back("the shortcut `" + ShowBytes(ByteUnits(link.link->name)) + "` (" +
                      link.refusal.reason + ")");
    }
  }
  if (items.empty()) return;
  constexpr std::size_t kShown = 3;
  std::string list;
  for (std::size_t i = 0; i < items.size() && i < kShown; ++i) list += (i ? "; " : "") + items[i];
  if (items.size() > kShown) list += "; and " + std::to_string(items.size() - kShown) + " more";
  c_.report.Warning(settings_, installer.line, "pkg-refused-item",
                    "the device's installer skips " +
                        Plural(items.size(), "item", "items") + " of " + installer.what + ": " +
                        list);
}

void PackageCheck::Files() {
  std::vector<Move> fixed = FixedMoves(c_);
  std::vector<Placed> placed;
  for (const auto& installer : installers_) {
    if (!installer->installs) continue;
    std::vector<Placed> mine;
    for (const cepkg::PlannedFile& file : installer->plan.files) {
      // A file installed only over one already there: the staged one could
      // not have been placed anyway.
      if (file.refusal.refused || (file.file->flags & cepkg::kFileOnlyIfExists)) continue;
      mine.push_back(Placed{installer.get(), file.destination, file.file->flags});
    }
    for (const cepkg::PlannedLink& link : installer->plan.links) {
      if (!link.refusal.refused) mine.push_back(Placed{installer.get(), link.path, 0});
    }
    for (const Placed& file : mine) {
      std::u16string path = Compared(file.path);
      std::string shown = "`" + Show(file.path) + "`";
      const Placed* earlier = nullptr;
      for (const Placed& before : placed) {
        if (Compared(before.path) == path) {
          earlier = &before;
          break;
        }
      }
      if (earlier != nullptr) {
        // What the staged groups then do to the path was said for the first.
        std::string outcome =
            (file.flags & cepkg::kFileNeverOverwrite)
                ? "the later package never overwrites it, so the earlier file stays"
            : (file.flags & cepkg::kFileNoOverwriteNewer) && !(file.flags & cepkg::kFileIgnoreDates)
                ? "the later file replaces it unless the earlier one is newer"
                : "the later file replaces it";
        c_.report.Warning(settings_, installer->line, "pkg-file-replaced",
                          installer->what + " installs " + shown + ", which " + earlier->by->what +
                              " installed before: " + outcome);
        continue;
      }
      std::string never = ": moving never replaces a file, so the staged one is never placed and "
                          "is removed at clean-up; leave one of them out of the delivery";
      // The fixed groups move after the packages and before the theme.
      for (const Move& move : fixed) {
        if (installer->theme || Compared(move.destination) != path) continue;
        c_.report.Error(settings_, installer->line, "pkg-file-collision",
                        installer->what + " installs " + shown + ", where the staged `" +
                            Show(move.name) + "` is moved afterwards" + never);
      }
      for (const Move& move : MappedMoves(c_)) {
        if (Compared(move.destination) != path) continue;
        c_.report.Error(settings_, installer->line, "pkg-file-collision",
                        installer->what + " installs " + shown + ", where [" +
                            ToUtf8(move.section) + "] (line " + std::to_string(move.line) +
                            ") moves the staged `" + Show(move.name) + "` afterwards" + never);
      }
    }
    placed.insert(placed.end(), mine.begin(), mine.end());
  }
}

void PackageCheck::Values() {
  struct Removal {
    int root;
    std::u16string path;
    std::string shown;
    std::uint32_t line;
  };
  std::vector<Removal> removals;
  for (const Answer& answer : c_.removals) {
    KeyEntry entry;
    ParseKeyEntry(answer.value.c_str(), &entry);
    if (entry.status != KeyEntryStatus::kDelete) continue;
    std::u16string path = answer.value.substr(static_cast<std::size_t>(entry.parent_begin));
    removals.push_back(Removal{ScriptRootOf(entry.root), Compared(path), Show(path),
                               answer.line_number});
  }
  for (const auto& installer : installers_) {
    if (!installer->installs) continue;
    for (const cepkg::PlannedValue& value : installer->plan.values) {
      if (value.refusal.refused) continue;
      int root = ScriptRootOfManifest(value.root);
      std::u16string key = Compared(value.key);
      std::u16string name = Fold(value.name);
      for (const ScriptValueSet& set : c_.script_values) {
        if (set.root != root || Compared(set.key) != key || Fold(set.name) != name) continue;
        c_.report.Warning(settings_, installer->line, "pkg-value-overwritten",
                          installer->what + " writes " + ValueShown(value) + ", which `" +
                              ShowHostName(set.file) + "` sets again at line " +
                              std::to_string(set.line) +
                              ": the scripts run after the packages and the theme, so the "
                              "package's value is lost; set the value in one place only");
        break;
      }
      for (const Removal& removal : removals) {
        if (removal.root != root || key.rfind(removal.path, 0) != 0 ||
            (key.size() != removal.path.size() && key[removal.path.size()] != u'\\')) {
          continue;
        }
        c_.report.Warning(settings_, installer->line, "pkg-value-removed",
                          installer->what + " writes " + ValueShown(value) +
                              ", but [REG_DEL_KEY] (line " + std::to_string(removal.line) +
                              ") deletes the key " + Show(value.root_name) + "\\" + removal.shown +
                              " after the packages and the scripts: the value is gone after the "
                              "run; leave the value out of the package or the key off the list");
        break;
      }
    }
  }
}

}  // namespace

void CheckPackages(Context& context) {
  PackageCheck check(context);
  check.Run();
}

}  // namespace lint
