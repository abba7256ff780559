#include "sim_helpers.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/host/registry_store.h"
#include "support/support.h"

extern char** environ;

namespace simtest {

Snapshot TakeSnapshot(const fs::path& root) {
  Snapshot snapshot;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    std::string name = fs::relative(it->path(), root).generic_string();
    fs::file_status status = it->symlink_status();
    if (fs::is_symlink(status)) {
      snapshot[name] = "link -> " + fs::read_symlink(it->path()).string();
    } else if (fs::is_directory(status)) {
      snapshot[name] = "dir";
    } else {
      std::ostringstream mode;
      mode << std::oct << static_cast<unsigned>(status.permissions());
      snapshot[name] = "file " + mode.str() + ": " + support::ReadBytes(it->path());
    }
  }
  return snapshot;
}

std::string Differences(const Snapshot& before, const Snapshot& after) {
  std::string out;
  for (const auto& [name, state] : before) {
    auto found = after.find(name);
    if (found == after.end()) {
      out += "removed: " + name + "\n";
    } else if (found->second != state) {
      out += "changed: " + name + "\n";
    }
  }
  for (const auto& [name, state] : after) {
    if (before.count(name) == 0) out += "added: " + name + "\n";
  }
  return out;
}

std::string RegistryContent(const fs::path& file) {
  host::RegistryStore store;
  std::string error;
  if (!store.Load(file, &error)) return "unloadable: " + error;
  return support::Utf16LeToUtf8(store.Serialize());
}

void CopyTree(const fs::path& from, const fs::path& to) {
  fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
}

void WriteScript(const fs::path& file, const std::string& text) {
  support::WriteBytes(file, text);
  fs::permissions(file, fs::perms::owner_all, fs::perm_options::add);
}

DirectoryWatch::DirectoryWatch(const fs::path& dir) {
  fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0 || inotify_add_watch(fd_, dir.c_str(), IN_CREATE | IN_MODIFY | IN_MOVED_TO) < 0) {
    throw std::runtime_error("cannot watch " + dir.string());
  }
}

DirectoryWatch::~DirectoryWatch() {
  if (fd_ >= 0) close(fd_);
}

bool DirectoryWatch::WaitForChange(std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) > 0) return true;
  }
}

BrandsimProcess::BrandsimProcess(const std::vector<std::string>& args)
    : BrandsimProcess(args, fs::path(), fs::path()) {}

BrandsimProcess::BrandsimProcess(const std::vector<std::string>& args, const fs::path& out,
                                 const fs::path& err, const std::vector<std::string>& wrapper) {
  std::vector<std::string> argv = wrapper;
  argv.push_back(BRANDSIM_PATH);
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> pointers;
  for (const std::string& a : argv) pointers.push_back(const_cast<char*>(a.c_str()));
  pointers.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  constexpr int kWrite = O_WRONLY | O_CREAT | O_TRUNC;
  posix_spawn_file_actions_addopen(&actions, 1, out.empty() ? "/dev/null" : out.c_str(), kWrite,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.empty() ? "/dev/null" : err.c_str(), kWrite,
                                   0644);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  int rc = posix_spawn(&pid_, pointers[0], &actions, &attributes, pointers.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
}

BrandsimProcess::~BrandsimProcess() {
  KillGroup();
  if (!reaped_) waitpid(pid_, nullptr, 0);
}

void BrandsimProcess::KillGroup() {
  // The group outlives its leader while a started program still runs in it.
  kill(-pid_, SIGKILL);
}

bool BrandsimProcess::Wait(std::chrono::steady_clock::time_point deadline, int* status) {
  for (;;) {
    int raw = 0;
    pid_t done = waitpid(pid_, &raw, WNOHANG);
    if (done == pid_) {
      reaped_ = true;
      *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

int RunOnTerminal(const std::vector<std::string>& args, const std::string& typed,
                  std::chrono::seconds timeout) {
  int master = -1;
  int slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    throw std::runtime_error("cannot open a terminal");
  }
  std::vector<std::string> argv{BRANDSIM_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> pointers;
  for (const std::string& a : argv) pointers.push_back(const_cast<char*>(a.c_str()));
  pointers.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, slave, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addclose(&actions, master);
  posix_spawn_file_actions_addclose(&actions, slave);
  pid_t pid;
  int rc = posix_spawn(&pid, pointers[0], &actions, nullptr, pointers.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(slave);
  if (rc != 0) {
    close(master);
    throw std::runtime_error("cannot start " + argv[0]);
  }
  // The terminal keeps what is typed until the program reads it.
  if (write(master, typed.data(), typed.size()) != static_cast<ssize_t>(typed.size())) {
    kill(pid, SIGKILL);
  }
  auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = -2;
  char echo[256];
  for (;;) {
    int raw = 0;
    if (waitpid(pid, &raw, WNOHANG) == pid) {
      status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      break;
    }
    // Drain the terminal's echo so that the program never blocks on it.
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 1) > 0 && read(master, echo, sizeof echo) < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  close(master);
  return status;
}

}  // namespace simtest
