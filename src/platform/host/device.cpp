// The emulated device as a whole: opening the image, the handle table, and
// ending the run.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tuple>

#include "platform/host/internal.h"

namespace host {

namespace {

std::unique_ptr<State> g_state;
// Kept across runs of one process: a handle from an earlier run never names
// an object of a later one.
std::uintptr_t g_next_handle = 0x1000;
// What the last run left, readable after CloseDevice.
bool g_restart_requested = false;
int g_open_handles_at_close = 0;
RunRecord g_run_record;

}  // namespace

State* Current() { return g_state.get(); }

std::uintptr_t AddObject(Object object) {
  std::uintptr_t value = g_next_handle;
  g_next_handle += 4;
  g_state->handles.emplace(value, std::move(object));
  return value;
}

void ReportError(State& state, const std::string& message) {
  std::fprintf(stderr, "brandsim: %s\n", message.c_str());
  state.errors.push_back(message);
}

void SetRestartRequested() { g_restart_requested = true; }

namespace {

// The first event of a brandsim run: what was run, on what, answered how.
// The transcript leaves it out: whoever reads it started the run.
void JournalRun(State& state) {
  const Config& config = state.config;
  const char* answer = config.answer == platform::kIdYes  ? "yes"
                       : config.answer == platform::kIdNo ? "no"
                       : config.ask_on_terminal           ? "ask"
                                                          : "none";
  Event event("run");
  event.Text("version", FromUtf8(config.run.version))
      .Text("image", FromUtf8(config.device.string()))
      .Text("command_line", config.run.command_line)
      .Text("answer", FromUtf8(answer))
      .Text("device", FromUtf8(state.profile.Describe()));
  if (config.dry_run) event.Bool("dry_run", true);
  state.journal.Write(event, "");
}

}  // namespace

bool OpenDevice(const Config& config, std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  error->clear();
  if (g_state) {
    *error = "a device is already open";
    return false;
  }
  if (config.answer != 0 && config.answer != platform::kIdYes && config.answer != platform::kIdNo) {
    *error = "the answer must be Yes (6), No (7) or none (0)";
    return false;
  }
  std::error_code ec;
  std::filesystem::path dir = std::filesystem::absolute(config.device, ec);
  struct stat st;
  if (ec || config.device.empty() || stat(dir.c_str(), &st) != 0) {
    *error = ShowHostName(config.device.string()) + ": no such device image (a folder holding fs/)";
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    *error = ShowHostName(config.device.string()) +
             ": not a folder; a device image is a folder holding fs/";
    return false;
  }

  // A fault named in the environment is checked before anything else is
  // done, so that a mistyped one touches nothing.
  Fault fault = config.fault;
  bool announce = false;
  if (fault.op == FaultOp::kNone) {
    const char* text = std::getenv("BRANDSIM_FAULT");
    if (text != nullptr && *text != 0) {
      if (!ParseFault(text, &fault, error)) {
        *error = "BRANDSIM_FAULT: " + *error;
        return false;
      }
      announce = true;
    }
  }

  auto state = std::make_unique<State>();
  state->config = config;
  // One run at a time on an image: a second one would interleave its moves
  // with the first one's and write registry.reg over it. The lock is taken
  // before anything is read, is advisory (flock on DIR itself), and goes
  // with the descriptor: at CloseDevice, or when the process dies.
  state->lock = Fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!state->lock.valid()) {
    *error = ShowHostName(config.device.string()) +
             ": cannot open the device image: " + std::strerror(errno);
    return false;
  }
  if (flock(state->lock.get(), LOCK_EX | LOCK_NB) != 0) {
    *error = errno == EWOULDBLOCK
                 ? ShowHostName(config.device.string()) +
                       ": the device image is in use by another brandsim run; wait for it to end"
                 : ShowHostName(config.device.string()) +
                       ": cannot lock the device image: " + std::strerror(errno);
    return false;
  }
  state->fs_dir = dir / "fs";
  state->registry_file = dir / "registry.reg";
  if (!state->tree.Open(state->fs_dir, error)) return false;

  // A missing registry.reg is an empty registry, written at the end.
  if (!state->registry.Load(state->registry_file, error)) return false;
  // What packages are checked against: the default device unless the image
  // describes its own.
  if (!cepkg::LoadDeviceProfile(dir / "device.ini", &state->profile, error)) return false;

  // What dry runs of this image left when they were killed. Only now: the
  // lock keeps any other run from using one of them. Views are named and
  // placed after the folder itself, however DIR was spelled (a link to it,
  // a trailing slash). A dry run reads the folders for them, here, before
  // it makes its own; a real run, which reads nothing outside the image,
  // tries the one name a view has, below: a view left in place would give
  // every file of the image a second link, which makes it no longer the
  // device's own.
  std::filesystem::path real = std::filesystem::canonical(dir, ec);
  if (!ec && config.dry_run) RemoveStaleViews(real, true);
  if (config.dry_run) {
    if (ec) {
      *error = ShowHostName(config.device.string()) + ": " + ec.message();
      return false;
    }
    // Made once the image is known to be usable. A host program as the
    // installer may write into a file in place: it gets copies, not links.
    bool copy_files = !config.installer.empty() && !config.start_only;
    if (!MakePrivateView(real, copy_files, &state->view, error)) return false;
    if (!state->view.elsewhere.empty()) {
      std::fprintf(stderr,
                   "brandsim: dry run: the image's folder cannot hold the view (%s); it is "
                   "in %s\n",
                   state->view.elsewhere.c_str(), state->view.dir.parent_path().c_str());
    }
    state->fs_dir = state->view.dir / "fs";
    state->registry_file = state->view.dir / "registry.reg";
    state->tree.Close();
    state->tree.SetView(&state->view.foreign);
    if (!state->tree.Open(state->fs_dir, error) ||
        (state->view.layered &&
         !state->tree.SetLower(state->view.image_fs, std::move(state->view.lower), error))) {
      std::string ignored;
      RemovePrivateView(state->view.dir, &ignored);
      return false;
    }
  }

  // The installer runs in DIR/fs: a path relative to where brandsim started
  // would no longer lead to it there. A bare name is looked up in PATH.
  if (state->config.installer.find('/') != std::string::npos) {
    state->config.installer = std::filesystem::absolute(state->config.installer, ec).string();
  }

  if (config.changes || config.report) {
    state->registry_before = SnapshotRegistry(state->registry);
    state->files_before = SnapshotFiles(state->tree);
  }

  // Last: nothing has been created or truncated when the image is unusable.
  if (!state->journal.Open(config.journal, config.quiet, error)) {
    std::string ignored;
    if (!state->view.dir.empty()) RemovePrivateView(state->view.dir, &ignored);
    return false;
  }
  if (config.report) state->journal.Keep();
  // Only once the image has been found usable, so that a refused one is
  // left as it was; before the program runs, under the lock.
  if (!config.dry_run) {
    // What a save killed before its rename left (a dry run leaves the
    // image as it was).
    RegistryStore::RemoveLeftovers(state->registry_file);
    if (!real.empty()) RemoveStaleViews(real, false);
  }
  if (!config.run.version.empty()) JournalRun(*state);
  g_run_record = RunRecord{};

  g_restart_requested = false;
  g_open_handles_at_close = 0;
  ArmFault(fault, announce);
  g_state = std::move(state);
  return true;
}

bool CloseDevice(std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  error->clear();
  if (!g_state) {
    *error = "no device is open";
    return false;
  }
  State& state = *g_state;
  FlushRecord(state);
  ReapProcesses(state);
  std::vector<std::string> errors = state.errors;
  if (!state.config.run.version.empty()) {
    const Tally& tally = state.journal.tally();
    state.journal.Write(tally.SummaryEvent(), tally.SummaryText());
  }
  if (state.config.report) {
    g_run_record.events = state.journal.kept();
    g_run_record.registry_before = state.registry_before;
    g_run_record.registry_after = SnapshotRegistry(state.registry);
    g_run_record.files_before = state.files_before;
    const auto* wanted = state.config.report_files ? &state.config.report_files : nullptr;
    g_run_record.files_after = SnapshotFiles(state.tree, wanted, &g_run_record.file_bytes);
  }
  if (state.config.changes) {
    FileSnapshot files_after = SnapshotFiles(state.tree);
    // A file the dry run copied to change its attributes is the same file,
    // as it is after a real run.
    for (auto& [path, file] : files_after) {
      auto it = state.view.copied_up.find({file.dev, file.ino});
      if (it != state.view.copied_up.end()) std::tie(file.dev, file.ino) = it->second;
    }
    std::string changes = DescribeChanges(state.registry_before, SnapshotRegistry(state.registry),
                                          state.files_before, files_after);
    // Apart from the transcript by a blank line.
    if (!state.config.quiet) changes.insert(0, "\n");
    if (std::fputs(changes.c_str(), stdout) < 0 || std::fflush(stdout) != 0 ||
        std::ferror(stdout)) {
      errors.push_back("standard output: cannot write the changes");
      std::clearerr(stdout);
    }
  }
  std::string message;
  if (!state.registry.Save(state.registry_file, &message)) {
    errors.push_back(message);
  } else if (state.registry.failed_saves() > 0) {
    // An earlier flush said the file was not replaced; it is now.
    errors.push_back(ShowHostName(state.registry_file.string()) +
                     ": written at the end of the run with every registry change, after an "
                     "earlier save had failed");
  }
  if (!state.journal.Close(&message)) errors.push_back(message);
  g_open_handles_at_close = static_cast<int>(state.handles.size());
  std::filesystem::path view = state.view.dir;
  g_state.reset();
  // Last, once everything the run reports has been written.
  if (!view.empty() && !RemovePrivateView(view, &message)) errors.push_back(message);
  for (const std::string& e : errors) {
    if (!error->empty()) *error += "; ";
    *error += e;
  }
  return errors.empty();
}

RunRecord TakeRunRecord() {
  RunRecord record = std::move(g_run_record);
  g_run_record = RunRecord{};
  return record;
}

platform::Instance ProgramInstance() { return static_cast<platform::Instance>(0x00010000u); }

int OpenHandleCount() {
  return g_state ? static_cast<int>(g_state->handles.size()) : g_open_handles_at_close;
}

bool RestartRequested() { return g_restart_requested; }

}  // namespace host

namespace platform {

// Files, processes and threads. An enumeration is closed with FindClose and
// a key with RegCloseKey, as on the device: the wrong closer fails.
bool CloseHandle(Handle object) {
  host::State* state = host::Current();
  if (state == nullptr) return false;
  auto it = state->handles.find(host::Value(object));
  if (it == state->handles.end()) return false;
  if (std::holds_alternative<host::FindObject>(it->second) ||
      std::holds_alternative<host::KeyObject>(it->second)) {
    return false;
  }
  state->handles.erase(it);
  return true;
}

}  // namespace platform
