// Processes of the emulated device. The device's package installer is
// emulated (installer.cpp), or stood in for by a host program (--installer);
// any other process starts and ends at once.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/host/internal.h"

extern char** environ;

namespace host {

namespace {

constexpr std::uint32_t kWaitTimeout = 0x102;
std::uint32_t g_next_id = 0x100;

// Starts the installer as `installer IMAGE COMMAND_LINE` in DIR/fs, with
// BRANDSIM_FS naming that folder, input from /dev/null, and its output sent
// to standard error so that standard output keeps to the transcript.
bool Spawn(State& state, const Child& child, pid_t* pid) {
  const std::string& installer = state.config.installer;
  std::string image = ToUtf8(child.image);
  std::string command_line = ToUtf8(child.command_line);
  std::vector<char*> argv{const_cast<char*>(installer.c_str()), image.data(), command_line.data(),
                          nullptr};

  std::vector<std::string> environment;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    if (std::strncmp(*e, "BRANDSIM_FS=", 12) != 0) environment.emplace_back(*e);
  }
  environment.push_back("BRANDSIM_FS=" + state.fs_dir.string());
  std::vector<char*> envp;
  for (std::string& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, 2, 1);
  posix_spawn_file_actions_addchdir_np(&actions, state.fs_dir.c_str());
  // Whatever the transcript holds so far comes before the installer's output.
  std::fflush(stdout);
  int rc = installer.find('/') != std::string::npos
               ? posix_spawn(pid, installer.c_str(), &actions, nullptr, argv.data(), envp.data())
               : posix_spawnp(pid, installer.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    std::fprintf(stderr, "brandsim: cannot start the installer %s: %s\n", installer.c_str(),
                 std::strerror(rc));
    return false;
  }
  return true;
}

bool WaitFor(Child& child, bool block) {
  if (child.ended) return true;
  for (;;) {
    int status = 0;
    pid_t r = waitpid(child.pid, &status, block ? 0 : WNOHANG);
    if (r < 0 && errno == EINTR) continue;
    // ECHILD: someone else reaped it; it has ended all the same.
    if (r == child.pid || r < 0) child.ended = true;
    return child.ended;
  }
}

// Why the image cannot start, as the device would say it.
Reason StartReason(State& state, std::u16string_view image, bool has_information) {
  if (!has_information) return Reason::kInvalidParameter;
  if (InjectFault(FaultOp::kProcess)) return Reason::kInjected;
  Entry entry;
  if (!state.tree.Resolve(image, &entry)) return Reason::kPathNotFound;
  if (!entry.exists || entry.is_link()) return Reason::kNotFound;
  if (entry.is_folder()) return Reason::kIsAFolder;
  if (!S_ISREG(entry.st.st_mode)) return Reason::kAccessDenied;
  return Reason::kNone;
}

Child* ChildOf(platform::Handle handle) {
  State* state = Current();
  if (state == nullptr) return nullptr;
  std::size_t index;
  if (auto* process = FindObjectOf<ProcessObject>(Value(handle))) {
    index = process->child;
  } else if (auto* thread = FindObjectOf<ThreadObject>(Value(handle))) {
    index = thread->child;
  } else {
    return nullptr;
  }
  return &state->children[index];
}

}  // namespace

void NoticeEndedProcesses(State& state) {
  if (state.running.empty()) return;
  bool ended = false;
  auto still = std::remove_if(state.running.begin(), state.running.end(), [&](std::size_t index) {
    Child& child = state.children[index];
    if (child.ended) return true;  // seen by a wait, which cleared the caches
    if (!WaitFor(child, false)) return false;
    ended = true;
    return true;
  });
  state.running.erase(still, state.running.end());
  if (ended) state.tree.caches().Clear();
}

void ReapProcesses(State& state) {
  for (Child& child : state.children) WaitFor(child, true);
  state.tree.caches().Clear();
}

}  // namespace host

namespace platform {

using host::Current;
using host::State;
using host::View;

bool CreateProcessW(const char16_t* image, char16_t* command_line, void* /*process_attributes*/,
                    void* /*thread_attributes*/, bool /*inherit_handles*/,
                    std::uint32_t /*creation_flags*/, void* /*environment*/,
                    const char16_t* /*current_directory*/, StartupInfo* /*startup*/,
                    ProcessInformation* information) {
  State* state = Current();
  if (state == nullptr) return false;
  if (information != nullptr) *information = ProcessInformation{kNullHandle, kNullHandle, 0, 0};
  host::NoticeEndedProcesses(*state);
  host::Child child;
  child.image = View(image);
  child.command_line = View(command_line);
  // As on the device, a program that is not there does not start.
  host::Reason reason = host::StartReason(*state, child.image, information != nullptr);
  bool ok = reason == host::Reason::kNone;
  bool emulate = false;
  if (ok && !state->config.installer.empty()) {
    ok = host::Spawn(*state, child, &child.pid);
    if (!ok) reason = host::Reason::kDeviceError;
  } else {
    child.ended = true;
    emulate = ok && !state->config.start_only && host::IsPackageInstaller(*state, child.image);
  }
  if (ok) {
    state->children.push_back(child);
    std::size_t index = state->children.size() - 1;
    if (!child.ended) state->running.push_back(index);
    information->hProcess = static_cast<Handle>(host::AddObject(host::ProcessObject{index}));
    information->hThread = static_cast<Handle>(host::AddObject(host::ThreadObject{index}));
    information->dwProcessId =
        child.pid > 0 ? static_cast<std::uint32_t>(child.pid) : host::g_next_id++;
    information->dwThreadId = host::g_next_id++;
  }
  state->journal.Write(host::Event("process")
                           .Text("image", child.image)
                           .Text("command_line", child.command_line)
                           .Result(reason),
                       "process " + host::Show(child.image) + " \"" +
                           host::Show(child.command_line) + "\": " + host::Outcome(reason));
  if (emulate) host::RunEmulatedInstaller(*state, child.command_line);
  return ok;
}

// A process or its thread is signalled when the process has ended. A wait
// that ends because of its time limit yields WAIT_TIMEOUT and is not journaled.
std::uint32_t WaitForSingleObject(Handle object, std::uint32_t milliseconds) {
  State* state = Current();
  host::Child* child = host::ChildOf(object);
  if (state == nullptr || child == nullptr) return kWaitFailed;
  if (host::InjectFault(host::FaultOp::kWait)) return kWaitFailed;
  if (milliseconds == kInfinite) {
    host::WaitFor(*child, true);
  } else {
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    while (!host::WaitFor(*child, false)) {
      timespec now;
      clock_gettime(CLOCK_MONOTONIC, &now);
      long long elapsed_ms =
          (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000LL;
      if (elapsed_ms >= milliseconds) return host::kWaitTimeout;
      timespec pause{0, 1000000};  // 1 ms between looks
      nanosleep(&pause, nullptr);
    }
  }
  if (child->pid > 0) state->tree.caches().Clear();  // it may have changed fs/
  state->journal.Write(
      host::Event("wait").Text("command_line", child->command_line),
      "wait " + host::Show(child->image) + " \"" + host::Show(child->command_line) + "\"");
  return kWaitObject0;
}

}  // namespace platform
