// The emulated device: how brandsim sets up and tears down the host backend
// that stands behind platform.h on Linux.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include "platform/platform.h"

namespace host {

// ---- Fault injection ---------------------------------------------------------
//
// For tests, as SQLite's test VFS does it: one operation of the platform door
// fails as the device's call fails (the error value, nothing done, the journal
// saying "ok": false), on its Nth call counted from OpenDevice (1 for the
// first), either once or on every call from then on. A driver moves N along
// until a run no longer reaches it.
enum class FaultOp {
  kNone,
  kAny,           // every operation below, counted together
  kOpen,          // "open": CreateFileW
  kRead,          // "read": ReadFile
  kFind,          // "find": FindFirstFileW, FindNextFileW
  kMove,          // "move": MoveFileW
  kDelete,        // "delete": DeleteFileW
  kAttributes,    // "attributes": SetFileAttributesW
  kMakeFolder,    // "mkdir": CreateDirectoryW
  kRemoveFolder,  // "rmdir": RemoveDirectoryW
  kRegOpen,       // "reg_open": RegOpenKeyExW
  kRegCreate,     // "reg_create": RegCreateKeyExW
  kRegSet,        // "reg_set": RegSetValueExW
  kRegQuery,      // "reg_query": RegQueryValueExW
  kRegDelete,     // "reg_delete": RegDeleteValueW, RegDeleteKeyW
  kRegFlush,      // "reg_flush": RegFlushKey (registry.reg is not written)
  kProcess,       // "process": CreateProcessW
  kWait,          // "wait": WaitForSingleObject
};

struct Fault {
  FaultOp op = FaultOp::kNone;
  unsigned long nth = 0;
  bool persistent = false;  // every call from the Nth on, not the Nth alone
};

// Reads "OP:N" or "OP:N:persist", OP being a name listed above. False with
// one line in `error` when the text is not one.
bool ParseFault(const std::string& text, Fault* fault, std::string* error);

// What the armed fault met in the current run, or in the last one once it
// ended: calls of its operation, and how many of them were made to fail.
struct FaultCount {
  unsigned long calls = 0;
  unsigned long failed = 0;
};
FaultCount FaultResult();

struct Config {
  std::filesystem::path device;  // DIR: holds fs/ and registry.reg
  int answer = 0;                // for the Yes/No dialog: platform::kIdYes, kIdNo, or 0 (none)
  bool ask_on_terminal = false;  // no --answer: ask on the terminal (standard input is one)
  // --installer PROGRAM: each process runs PROGRAM on the host. Empty: the
  // device's package installer is emulated, and any other process starts
  // and ends at once.
  std::string installer;
  bool start_only = false;        // --installer none: every process starts and ends at once
  std::filesystem::path journal;  // --journal FILE; empty: none
  bool real_time = false;         // Sleep really sleeps
  bool quiet = false;             // no transcript on standard output
  // A run as brandsim makes it: the journal starts with a `run` event (these
  // fields, the image and the answer) and ends with a `summary` event, and
  // the transcript ends with the summary. Without it (empty version) the
  // journal holds the effects alone.
  struct Run {
    std::string version;          // brandsim's
    std::u16string command_line;  // the program's
  };
  Run run;
  // After the run, what it changed on the image is written to standard
  // output (changes.h), also when `quiet`.
  bool changes = false;
  // Keep what a report of the run needs (RunRecord and TakeRunRecord in
  // changes.h): every journal event in memory, and the image's state before
  // and after.
  bool report = false;
  // Which files after the run the report shows the bytes of, by path below
  // fs/ and size: they are read into RunRecord::file_bytes before the
  // device closes (a dry run's view goes then).
  std::function<bool(const std::string& relative, std::uintmax_t size)> report_files;
  // The run changes a private view of the image (view.h), never the image;
  // the view is removed when the device closes, after the journal and the
  // changes were written.
  bool dry_run = false;
  // A fault to inject. When none is given here, the environment variable
  // BRANDSIM_FAULT (OP:N[:persist]) names one, and each failure it causes is
  // told on standard error.
  Fault fault;
};

// Opens the device image: locks it for this run, checks fs/, loads
// registry.reg (missing: empty), opens the journal. On failure nothing has
// been touched and `error` holds one line naming the file (and the line, for
// registry.reg). An image that another run holds is refused at once: the
// lock (flock on DIR) lasts until CloseDevice, or until the process ends.
bool OpenDevice(const Config& config, std::string* error);

// Ends the run: reaps started processes, writes registry.reg atomically,
// closes the journal. On failure `error` says what could not be written.
bool CloseDevice(std::string* error);

// The instance handed to the program's entry.
platform::Instance ProgramInstance();

// Handles the program left open when the run ended (each one a fault).
int OpenHandleCount();

// Whether the program requested a restart.
bool RestartRequested();

}  // namespace host
