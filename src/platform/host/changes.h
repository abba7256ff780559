// What a run changed on the device image (brandsim --changes): the state of
// the registry and of fs/ is taken when the device opens and compared with
// the state when it closes, whoever made the changes (the program, or an
// installer given with --installer).
//
//   registry changes:
//   Windows Registry Editor Version 5.00
//
//   ; key added
//   [HKEY_LOCAL_MACHINE\Software\Added]
//   "N"="x"
//
//   ; key removed
//   [-HKEY_LOCAL_MACHINE\Software\Old]
//
//   ; key changed
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Apps]
//   ; value changed, it was:
//   ; "Flag"=dword:00000001
//   "Flag"=dword:00000002
//   ; value removed
//   "CABInst"=-
//
//   file changes:
//   \Temp\branding\logo.gif -> \Windows\logo.gif (6 bytes)
//   + \Windows\Start\ (folder)
//   + \Windows\new.txt (12 bytes)
//   - \Temp\branding\ (folder)
//   - \Temp\branding\brand.ini (40 bytes)
//   ~ \Windows\x.txt (3 -> 5 bytes)
//
// The registry part, from its header on, is regedit text that imports as it
// stands: applied to the registry as it was, it gives the registry as it is
// (a removed key is named once, its subkeys go with it). A file that left
// one path and appeared at another, the same file (inode) of the same size
// and modification time, is a move; files are listed moved, added, removed,
// changed, each by path. Text is UTF-8; control characters in file names
// are escaped as in the transcript. A part without changes reads
// "registry changes: none" or "file changes: none".
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>

#include "platform/host/registry_store.h"

namespace host {

struct FileState {
  bool folder = false;
  std::uintmax_t size = 0;
  dev_t dev = 0;
  ino_t ino = 0;
  struct timespec mtime {};
};
// Every entry under fs/ by its path relative to it, '/'-separated, as the
// host names it. Links are entries of their own, never followed.
using FileSnapshot = std::map<std::string, FileState>;
FileSnapshot SnapshotFiles(const std::filesystem::path& fs_dir);

struct KeyState {
  std::u16string path;                        // as created: "HKEY_LOCAL_MACHINE\Software\A"
  std::map<std::u16string, RegValue> values;  // by case-folded name
};
// Every key, the roots included, by its case-folded path.
using RegistrySnapshot = std::map<std::u16string, KeyState>;
RegistrySnapshot SnapshotRegistry(const RegistryStore& store);

// The text above, ending with a line break.
std::string DescribeChanges(const RegistrySnapshot& registry_before,
                            const RegistrySnapshot& registry_after,
                            const FileSnapshot& files_before, const FileSnapshot& files_after);

}  // namespace host
