#include "device.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/host/host.h"

namespace fuzz {

namespace fs = std::filesystem;

namespace {

fs::path g_root;  // the folder that holds everything this process made
fs::path g_device;
bool g_open = false;

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "fuzz: %s\n", what.c_str());
  std::abort();
}

void RemoveRoot() {
  if (g_open) {
    std::string ignored;
    host::CloseDevice(&ignored);
    g_open = false;
  }
  std::error_code ec;
  if (!g_root.empty()) fs::remove_all(g_root, ec);
}

const fs::path& Root() {
  if (!g_root.empty()) return g_root;
  std::error_code ec;
  fs::path base = access("/dev/shm", W_OK) == 0 ? fs::path("/dev/shm") : fs::temp_directory_path(ec);
  std::string pattern = (base / "brandinst-fuzz-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) Die("cannot create a folder in " + base.string());
  g_root = pattern;
  std::atexit(RemoveRoot);
  return g_root;
}

void WriteBytes(const fs::path& file, const std::uint8_t* data, std::size_t size) {
  int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) Die("cannot write " + file.string());
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) Die("cannot write " + file.string());
    done += static_cast<std::size_t>(n);
  }
  close(fd);
}

void Open() {
  std::string error;
  host::Config config;
  config.device = g_device;
  config.quiet = true;
  config.answer = platform::kIdYes;  // should anything ask
  if (!host::OpenDevice(config, &error)) Die("cannot open the device: " + error);
  g_open = true;
}

}  // namespace

void OpenDevice() {
  if (g_open) return;
  g_device = Root() / "device";
  fs::create_directories(g_device / "fs" / "Temp" / "branding");
  fs::create_directories(g_device / "fs" / "Windows" / "Favorites");
  // The package installer must be there for the processes to start.
  WriteBytes(g_device / "fs" / "Windows" / "wceload.exe",
             reinterpret_cast<const std::uint8_t*>("x"), 1);
  Open();
}

void Stage(const std::string& name, const std::uint8_t* data, std::size_t size) {
  WriteBytes(g_device / "fs" / "Temp" / "branding" / name, data, size);
}

void Renew() {
  std::string ignored;
  // A name the registry file cannot hold makes the write fail; the registry
  // is thrown away all the same.
  host::CloseDevice(&ignored);
  g_open = false;
  std::error_code ec;
  fs::remove(g_device / "registry.reg", ec);
  Open();
}

std::string ScratchFolder() { return Root().string(); }

}  // namespace fuzz
