// State shared by the host backend's files: the open device, its handle
// table and the started processes. Nothing outside src/platform/host includes
// this header; brandsim and the tests reach the backend through host.h and
// platform.h only.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/host/changes.h"
#include "platform/host/host.h"
#include "platform/host/journal.h"
#include "platform/host/package.h"
#include "platform/host/paths.h"
#include "platform/host/registry_store.h"
#include "platform/platform.h"
#include "platform/host/text.h"
#include "platform/host/view.h"

namespace host {

// ---- Handle objects --------------------------------------------------------

struct FileObject {
  Fd fd;
};
struct FindObject {
  Enumeration enumeration;  // holds its folder open until FindClose
};
struct KeyObject {
  std::shared_ptr<RegKey> key;
  // Taken when the key was opened: a key is never renamed, and a deleted one
  // may have lost its parent, so its path cannot be asked of the store later.
  std::u16string path;
};
struct ProcessObject {
  std::size_t child;  // index into State::children
};
struct ThreadObject {
  std::size_t child;
};
using Object = std::variant<FileObject, FindObject, KeyObject, ProcessObject, ThreadObject>;

// A process the program started. It outlives its handles: one the program
// never waited for is still reaped when the device closes.
struct Child {
  pid_t pid = -1;  // -1: nothing ran on the host, the process ended at once
  std::u16string image;
  std::u16string command_line;
  bool ended = false;
};

struct State {
  Config config;
  Fd lock;                              // DIR, flocked for the run
  std::filesystem::path fs_dir;         // absolute DIR/fs (a dry run: its view's)
  std::filesystem::path registry_file;  // DIR/registry.reg (a dry run: its view's)
  PrivateView view;                     // a dry run's; its dir empty otherwise
  Tree tree;
  RegistryStore registry;
  Journal journal;
  cepkg::DeviceProfile profile;  // DIR/device.ini, or the default device
  std::map<std::uintptr_t, Object> handles;
  std::vector<Child> children;
  // Indices of the children not yet seen to end: every device call looks for
  // ended ones, and a delivery may start hundreds of processes.
  std::vector<std::size_t> running;
  // The placement record's text since its last line break, and an odd byte
  // waiting for its partner when a write ended inside a code unit.
  std::u16string record;
  std::string record_byte;
  // The image as it was when the device opened, for Config::changes.
  RegistrySnapshot registry_before;
  FileSnapshot files_before;
  // Write failures met during the run (a registry flush, the restart's save):
  // shown at once on standard error and reported again by CloseDevice.
  std::vector<std::string> errors;
  // The step of the run order the program is in (a platform::StepId), -1
  // before the first: each decision names it.
  int step = -1;
};

// The open device, or null when none is open: every operation then fails.
State* Current();

// Handle values are never reused while the process lives, so a stale handle
// never reaches another object.
std::uintptr_t AddObject(Object object);
template <typename T>
T* FindObjectOf(std::uintptr_t value) {
  State* state = Current();
  if (state == nullptr) return nullptr;
  auto it = state->handles.find(value);
  if (it == state->handles.end()) return nullptr;
  return std::get_if<T>(&it->second);
}
inline std::uintptr_t Value(platform::Handle handle) { return static_cast<std::uintptr_t>(handle); }
inline std::uintptr_t Value(platform::HKey key) { return static_cast<std::uintptr_t>(key); }

// Notices started processes that ended on their own: what they did to fs/
// is unknown, so every folder cache is dropped (process.cpp).
void NoticeEndedProcesses(State& state);
// Waits for every started process that has not been waited for.
void ReapProcesses(State& state);

// Remembers a failure to write something the run must keep, and shows it.
void ReportError(State& state, const std::string& message);

// Opens the file `entry` names for reading when it is the device's own
// (Tree::Owns), checked on the opened object; why not otherwise (files.cpp).
Reason OpenForReading(State& state, const Entry& entry, Fd* fd);

// Journals what is left of the placement record when the run ends without
// a final line break (files.cpp).
void FlushRecord(State& state);

// The program asked for a restart (system.cpp); host::RestartRequested tells.
void SetRestartRequested();

// ---- Fault injection (faults.cpp) ------------------------------------------

// While one lives, no fault is injected: the calls made meanwhile are the
// emulated device's own (its package installer's), not the program's.
class FaultPause {
 public:
  FaultPause();
  ~FaultPause();
  FaultPause(const FaultPause&) = delete;
  FaultPause& operator=(const FaultPause&) = delete;
};

// Arms `fault` for a run and starts its count afresh; `announce` tells each
// failure on standard error.
void ArmFault(const Fault& fault, bool announce);
// Called once by each faultable operation, after its handle and arguments
// were found usable: true when this call is to fail.
bool InjectFault(FaultOp op);

// ---- The package installer (installer.cpp) ------------------------------------

// Whether `image` is the device's package installer, \Windows\wceload.exe.
bool IsPackageInstaller(State& state, std::u16string_view image);
// Installs the package that `command_line` names, as the device's installer
// would, before returning.
void RunEmulatedInstaller(State& state, std::u16string_view command_line);

// ---- Text (text.cpp) -------------------------------------------------------

// Null is the empty text.
std::u16string_view View(const char16_t* text);

}  // namespace host
