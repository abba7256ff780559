// Hands packages to the device's package installer: the additional packages
// listed under [ADDITIONAL_CABS], each waited for in turn, and the Today
// theme named under [skin], which is not waited for.
#pragma once

#include "settings/settings.h"

// The package installer, and the Today screen's key under HKEY_CURRENT_USER.
extern const char16_t kInstallerImage[];
extern const char16_t kTodayKey[];

// The step: cab0, cab1, ... until the first missing number.
void InstallPackages();
extern const SettingAsk kPackageAsk;  // [ADDITIONAL_CABS] cab0, cab1, ...
// Starts the installer for one package and waits for it to end.
void RunPackageInstaller(const char16_t* package_path);

// The step: the theme that [skin] names, if any.
void ApplyThemeSetting();
extern const SettingAsk kThemeAsk;  // [skin] skin
// Points the Today screen at the theme and starts its installer.
void ApplyTodayTheme(const char16_t* theme_path);

// The command lines, shared with the linter. Each yields false when the
// text does not fit its 256-character buffer; the entry is then skipped.
bool BuildPackagePath(char16_t* path, const char16_t* value);
bool BuildPackageCommandLine(char16_t* command_line, const char16_t* package_path);
bool BuildThemeCommandLine(char16_t* command_line, const char16_t* theme_path);
