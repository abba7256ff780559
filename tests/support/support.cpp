#include "support/support.h"

#include "platform/host/text.h"
#include "support/json_check.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

extern char** environ;

namespace support {

TempDir::TempDir() {
  std::random_device rd;
  fs::path base = fs::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path candidate = base / ("brandinst-test-" + std::to_string(rd()));
    std::error_code ec;
    if (fs::create_directory(candidate, ec)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests make files read-only; give the owner write access back so that
  // removal succeeds for unprivileged users too.
  for (auto it = fs::recursive_directory_iterator(path_, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_symlink(ec)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
  }
  fs::remove_all(path_, ec);
}

Device::Device() {
  fs::create_directories(staging());
  fs::create_directories(fs() / "Windows");
}

void Device::Put(const std::string& device_path, const std::string& bytes) const {
  fs::path p = fs() / device_path;
  fs::create_directories(p.parent_path());
  WriteBytes(p, bytes);
}

bool Device::Exists(const std::string& device_path) const {
  std::error_code ec;
  return fs::exists(fs::symlink_status(fs() / device_path, ec));
}

std::string Device::Get(const std::string& device_path) const {
  return ReadBytes(fs() / device_path);
}

void Device::SetRegistry(const std::string& utf8_text) const {
  WriteBytes(dir() / "registry.reg", Utf16LeWithBom(FromUtf8(utf8_text)));
}

std::string Device::Registry() const {
  std::error_code ec;
  if (!fs::exists(dir() / "registry.reg", ec)) return {};
  return Utf16LeToUtf8(ReadBytes(dir() / "registry.reg"));
}

void WriteBytes(const fs::path& file, const std::string& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + file.string());
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + file.string());
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Utf16LeWithBom(const std::u16string& text) { return host::ToUtf16Le(text, true); }

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  std::string hex;
  char digits[4];
  for (std::uint8_t byte : bytes) {
    std::snprintf(digits, sizeof digits, "%02x", byte);
    hex += digits;
  }
  return hex;
}

std::string Utf16LeToUtf8(const std::string& bytes) { return host::ToUtf8(host::FromUtf16Le(bytes)); }

std::string ToUtf8(const std::u16string& text) { return host::ToUtf8(text); }

std::u16string FromUtf8(const std::string& text) { return host::FromUtf8(text); }

RunResult Run(const std::vector<std::string>& argv, double timeout_seconds) {
  RunResult result;
  int out_pipe[2], err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
  posix_spawn_file_actions_addclose(&actions, out_pipe[0]);
  posix_spawn_file_actions_addclose(&actions, err_pipe[0]);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid;
  int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (rc != 0) {
    close(out_pipe[0]);
    close(err_pipe[0]);
    throw std::runtime_error("cannot start " + argv[0]);
  }
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(static_cast<long>(timeout_seconds * 1000));
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  int open_fds = 2;
  char buf[65536];
  while (open_fds > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) {
      result.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    if (poll(fds, 2, static_cast<int>(left)) < 0) continue;
    for (int k = 0; k < 2; ++k) {
      if (fds[k].fd < 0 || !(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = read(fds[k].fd, buf, sizeof buf);
      if (n <= 0) {
        close(fds[k].fd);
        fds[k].fd = -1;
        --open_fds;
      } else {
        (k == 0 ? result.out : result.err).append(buf, static_cast<std::size_t>(n));
      }
    }
  }
  for (auto& f : fds) {
    if (f.fd >= 0) close(f.fd);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

RunResult Brandsim(const std::vector<std::string>& args, double timeout_seconds) {
  std::vector<std::string> argv{BRANDSIM_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return Run(argv, timeout_seconds);
}

std::vector<std::string> ReadLines(const fs::path& file) {
  std::vector<std::string> lines;
  std::ifstream in(file, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

JsonObject ParseJsonObject(const std::string& text) {
  simtest::JsonObject parsed;
  std::string error;
  JsonObject object;
  if (!simtest::ParseJsonObject(text, &parsed, &error)) {
    ADD_FAILURE() << "not one JSON object (" << error << "): " << text;
    return object;
  }
  for (const auto& [name, value] : parsed) object[name] = value.text;
  return object;
}

std::vector<JsonObject> ReadJournal(const fs::path& file) {
  std::vector<JsonObject> events;
  for (const std::string& line : ReadLines(file)) events.push_back(ParseJsonObject(line));
  return events;
}

}  // namespace support
