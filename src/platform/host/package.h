// What the device's package installer (\Windows\wceload.exe) decides about a
// package: whether it fits the device, where each file goes, what each
// registry value becomes, what each shortcut holds. The emulated installer
// carries out these decisions; `brandsim package` shows them and the linter
// checks a delivery against them, so all three say the same thing.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/host/manifest.h"

namespace cepkg {

class Cabinet;

// The emulated device as a package sees it. The default is an ARM Pocket
// PC on Windows CE 3.0; an image may say otherwise in DIR/device.ini.
struct DeviceProfile {
  std::uint32_t processor = 2577;  // StrongARM
  std::uint32_t major = 3, minor = 0;
  std::uint32_t build = 11171;  // Pocket PC 2002's CE 3.0 build
  std::string platform = "PocketPC";

  // "StrongARM (2577), Windows CE 3.0 build 11171, platform PocketPC"
  std::string Describe() const;
};

// Reads DIR/device.ini: `key=value` lines (`processor`, `version` as
// MAJOR.MINOR, `build`, `platform`), blank lines and `;` comments. A
// missing file leaves the defaults. False with "FILE:LINE: what is wrong".
bool LoadDeviceProfile(const std::filesystem::path& file, DeviceProfile* profile,
                       std::string* error);

// The switches of wceload's command line and the package it names.
struct InstallerCommand {
  std::u16string package;  // the path, without its quotation marks
  bool no_ui = false;
  bool safe = false;          // refuse a package that carries executable code
  bool no_uninstall = false;  // leave no uninstall record
  bool delete_after = true;   // /delete 1 (the default) or /delete 0
  std::vector<std::u16string> ignored;  // switches the emulation does not know
};
// False with a reason when no package is named.
bool ParseInstallerCommand(std::u16string_view command_line, InstallerCommand* command,
                           std::string* error);

// Whether the package may be installed on the device: processor, OS version
// and build range, and the list of unsupported platforms. False with the
// reason ("built for MIPS R4000 (4000); this device is StrongARM (2577)").
bool FitsDevice(const Manifest& manifest, const DeviceProfile& device, std::string* reason);

// Executable code that a package carries: its setup DLL, self-registering
// files, and files installed as programs or libraries (.exe, .dll, .cpl,
// .ocx). Empty when there is none; else each piece, for messages.
std::vector<std::string> ExecutableCode(const Manifest& manifest, bool has_setup_dll);

// A decision about one item, kept with the item.
struct Refusal {
  bool refused = false;
  std::string reason;
};

struct PlannedFile {
  const File* file = nullptr;
  std::u16string destination;  // the device path, e.g. \Program Files\Sample\tool.exe
  std::u16string folder;       // the folder it goes into
  Refusal refusal;             // e.g. the folder is not defined on this device
};

struct PlannedValue {
  const RegValue* value = nullptr;
  std::uint16_t root = 0;       // the hive's root
  std::u16string root_name;     // HKEY_LOCAL_MACHINE, ...
  std::u16string key;           // below the root
  std::u16string name;          // empty: the default value
  std::uint32_t type = 0;       // the registry's type (REG_SZ 1, ...)
  std::vector<std::uint8_t> data;  // as the registry holds it (UTF-16LE for text)
  bool keep_existing = false;
  Refusal refusal;
};

struct PlannedLink {
  const Link* link = nullptr;
  std::u16string path;    // the shortcut file, e.g. \Windows\Start Menu\Programs\Sample.lnk
  std::u16string target;  // the device path it starts
  std::string content;    // the file's bytes: "NN#\"target\""
  Refusal refusal;
};

struct Plan {
  std::u16string app_name;     // decoded from the device's code page
  std::u16string provider;
  std::u16string install_dir;  // \Program Files\<application name>
  std::vector<PlannedFile> files;
  std::vector<PlannedValue> values;
  std::vector<PlannedLink> links;
};

// Where everything in the manifest goes on `device`. Items that cannot be
// placed there are planned as refused, with the reason.
Plan PlanPackage(const Manifest& manifest, const DeviceProfile& device);

// The device folder for a %CEn% number, or null when the device does not define it.
const char16_t* StandardFolder(int n);

// Reads a package: the cabinet from `fd` (borrowed), its manifest and a
// check that every file the manifest names is a member and no number is
// carried twice. False with the reason (no manifest, a member missing, ...).
bool ReadPackage(int fd, Cabinet* cabinet, Manifest* manifest, std::string* reason);

}  // namespace cepkg
