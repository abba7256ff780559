#include "packages/packages.h"

#include "platform/platform.h"
#include "platform/text.h"
#include "settings/line_reader.h"
#include "settings/settings.h"

const char16_t kInstallerImage[] = u"\\Windows\\wceload.exe";
const char16_t kTodayKey[] = u"Software\\Microsoft\\Today";

namespace {

// The theme step names the installer in lower case; file names ignore case.
const char16_t kThemeInstallerImage[] = u"\\windows\\wceload.exe";
bool Quote(char16_t* command_line, const char16_t* prefix, const char16_t* path) {
  wtext::Clear(command_line, kLineCapacity * sizeof(char16_t));
  return wtext::Copy(command_line, kLineCapacity, prefix) &&
         wtext::Append(command_line, kLineCapacity, path) &&
         wtext::Append(command_line, kLineCapacity, u"\"");
}

void SetText(platform::HKey key, const char16_t* name, const char16_t* text) {
  std::size_t length = wtext::Length(text, kSettingCapacity);
  platform::RegSetValueExW(key, name, 0, platform::kRegSz,
                           reinterpret_cast<const std::uint8_t*>(text),
                           static_cast<std::uint32_t>((length + 1) * 2));
}

}  // namespace

bool BuildPackagePath(char16_t* path, const char16_t* value) {
  wtext::Clear(path, kLineCapacity * sizeof(char16_t));
  return wtext::Copy(path, kLineCapacity, u"\\Temp\\Branding\\") &&
         wtext::Append(path, kLineCapacity, value);
}

bool BuildPackageCommandLine(char16_t* command_line, const char16_t* package_path) {
  return Quote(command_line, u"/noui \"", package_path);
}

bool BuildThemeCommandLine(char16_t* command_line, const char16_t* theme_path) {
  return Quote(command_line, u"/safe /noui /nouninstall /delete 0 \"", theme_path);
}

void RunPackageInstaller(const char16_t* package_path) {
  char16_t command_line[kLineCapacity];
  if (!BuildPackageCommandLine(command_line, package_path)) {
    platform::Decision(platform::DecisionId::kCommandLineTooLong, package_path, 0);
    return;
  }
  platform::ProcessInformation process;
  platform::StartupInfo startup;
  wtext::Clear(&process, sizeof process);
  wtext::Clear(&startup, sizeof startup);
  startup.cb = sizeof startup;
  if (!platform::CreateProcessW(kInstallerImage, command_line, nullptr, nullptr, false, 0, nullptr,
                                nullptr, &startup, &process)) {
    return;
  }
  platform::WaitForSingleObject(process.hProcess, platform::kInfinite);
  platform::CloseHandle(process.hThread);
  platform::CloseHandle(process.hProcess);
}

const SettingAsk kPackageAsk = {u"ADDITIONAL_CABS", u"cab", AskKind::kNumbered};
const SettingAsk kThemeAsk = {u"skin", u"skin", AskKind::kKey};

void InstallPackages() {
  for (int n = 0;; ++n) {
    char16_t key[kNumberedKeyCapacity];
    NumberedKey(kPackageAsk, n, key);
    const char16_t* value = LookupSetting(kPackageAsk.section, key);
    if (value == nullptr) {
      platform::Decision(platform::DecisionId::kListEnds, key, static_cast<std::uint32_t>(n));
      return;
    }
    char16_t path[kLineCapacity];
    // A path that does not fit is skipped: cut, it would name another file.
    if (BuildPackagePath(path, value)) {
      RunPackageInstaller(path);
    } else {
      platform::Decision(platform::DecisionId::kPathTooLong, value, 0);
    }
  }
}

void ApplyTodayTheme(const char16_t* theme_path) {
  char16_t command_line[kLineCapacity];
  // Without its installer the theme would be half applied: skip it whole.
  if (!BuildThemeCommandLine(command_line, theme_path)) {
    platform::Decision(platform::DecisionId::kCommandLineTooLong, theme_path, 0);
    return;
  }
  platform::HKey today;
  if (platform::RegOpenKeyExW(platform::kHkeyCurrentUser, kTodayKey, 0, 0, &today) ==
      platform::kErrorSuccess) {
    SetText(today, u"Skin", theme_path);
    SetText(today, u"Wall", u"");
    SetText(today, u"WallFile", u"");
    platform::RegDeleteValueW(today, u"UseStartImage");
    platform::RegCloseKey(today);
  } else {
    platform::Decision(platform::DecisionId::kTodayKeyMissing, kTodayKey, 0);
  }
  platform::ProcessInformation process;
  wtext::Clear(&process, sizeof process);
  if (platform::CreateProcessW(kThemeInstallerImage, command_line, nullptr, nullptr, false, 0,
                               nullptr, nullptr, nullptr, &process)) {
    // Not waited for: the theme installs beside the rest of the run.
    platform::CloseHandle(process.hThread);
    platform::CloseHandle(process.hProcess);
  }
}

void ApplyThemeSetting() {
  const char16_t* value = LookupSetting(kThemeAsk.section, kThemeAsk.key);
  if (value != nullptr) {
    ApplyTodayTheme(value);
  } else {
    platform::Decision(platform::DecisionId::kNoTheme, kThemeAsk.key, 0);
  }
}
