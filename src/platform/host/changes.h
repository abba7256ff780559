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
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/host/journal.h"
#include "platform/host/registry_store.h"

namespace host {

class Tree;

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
// The device's file system as the run sees it (a dry run's: the view and
// the image behind it); the bytes of each regular file `keep` wants go into
// `*kept`.
FileSnapshot SnapshotFiles(
    Tree& tree,
    const std::function<bool(const std::string& relative, std::uintmax_t size)>* keep = nullptr,
    std::map<std::string, std::string>* kept = nullptr);

struct KeyState {
  std::u16string path;                        // as created: "HKEY_LOCAL_MACHINE\Software\A"
  std::map<std::u16string, RegValue> values;  // by case-folded name
};
// Every key, the roots included, by its case-folded path.
using RegistrySnapshot = std::map<std::u16string, KeyState>;
RegistrySnapshot SnapshotRegistry(const RegistryStore& store);

// One file change as the list above shows it.
struct FileChange {
  enum Kind { kMoved, kAdded, kRemoved, kChanged };
  Kind kind = kAdded;
  std::string path;  // relative to fs/, '/'-separated, as the host names it
  std::string from;  // kMoved: where it was
  bool folder = false;
  std::uintmax_t size_before = 0;  // kRemoved, kChanged
  std::uintmax_t size = 0;         // kMoved, kAdded, kChanged
};
// In the order above: moved, added, removed, changed, each by path.
std::vector<FileChange> ListFileChanges(const FileSnapshot& before, const FileSnapshot& after);
// "\Windows\logo.gif" for "Windows/logo.gif" (folders end in '\'), shown as the
// transcript shows text.
std::string DevicePathOf(const std::string& relative, bool folder);

// The registry part of the text above, from "registry changes:" on.
std::string DescribeRegistryChanges(const RegistrySnapshot& before, const RegistrySnapshot& after);

// What a report of the run is made of (Config::report): every event the
// journal wrote, and the image before and after the run.
struct RunRecord {
  std::vector<KeptEvent> events;
  RegistrySnapshot registry_before, registry_after;
  FileSnapshot files_before, files_after;
  // The files after the run that Config::report_files asked for, by path.
  std::map<std::string, std::string> file_bytes;
};

// With Config::report: what the last run recorded, handed over once after
// CloseDevice (a second call yields an empty record).
RunRecord TakeRunRecord();

// The text above, ending with a line break.
std::string DescribeChanges(const RegistrySnapshot& registry_before,
                            const RegistrySnapshot& registry_after,
                            const FileSnapshot& files_before, const FileSnapshot& files_after);

}  // namespace host
