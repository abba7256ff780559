#include "scratch.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <system_error>

#include "platform/host/host.h"
#include "platform/host/paths.h"
#include "platform/host/registry_store.h"
#include "text.h"

namespace lint {

namespace fs = std::filesystem;

namespace {

// Far more than any delivery or device image holds; a folder beyond it (the
// host's root given by mistake) is refused instead of copied for minutes.
constexpr std::size_t kMaxEntries = 200000;
constexpr int kMaxDepth = 64;

// The files whose bytes the device reads: everything else is an empty file.
bool CopiesBytes(const std::string& host_name) {
  std::u16string name = FromUtf8(host_name);
  return EqualNoCase(name, u"brand.ini") || EqualNoCase(name, u"inst.msg") ||
         EqualNoCase(name, u"reboot.msg") || EndsWithNoCase(name, u".reg");
}

struct Mirror {
  std::size_t entries = 0;
  dev_t device_dev = 0;  // the device's fs/ folder's file system
  std::string error;

  bool Fail(const fs::path& path, const std::string& what) {
    if (error.empty()) error = path.string() + ": " + what;
    return false;
  }

  // A file's bytes and permission bits (a missing write bit is the read-only
  // attribute on the emulated device). fs::copy_file gives up when a signal
  // caught without SA_RESTART interrupts one of its calls, as a fuzzer's timer
  // or a program that runs the linter may; this takes every call up again
  // where it stopped.
  bool Copy(const fs::path& from, const fs::path& to) {
    auto failed = [this](const fs::path& path, const char* what) {
      return Fail(path, std::string(what) + ": " + std::strerror(errno));
    };
    host::Fd in(open(from.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (!in.valid() || fstat(in.get(), &st) != 0) return failed(from, "cannot read");
    host::Fd out(open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 0777));
    if (!out.valid()) return failed(to, "cannot create");
    char buffer[65536];
    for (;;) {
      ssize_t got = read(in.get(), buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return failed(from, "cannot read");
      if (got == 0) break;
      if (!host::WriteAll(out.get(), std::string_view(buffer, static_cast<std::size_t>(got)))) {
        return failed(to, "cannot write");
      }
    }
    // The mode given to open passes through the umask; copy_file sets it whole.
    if (fchmod(out.get(), st.st_mode & 07777) != 0) return failed(to, "cannot write");
    return true;
  }

  bool Placeholder(const fs::path& to) {
    std::ofstream file(to, std::ios::binary);
    if (!file) return Fail(to, "cannot create the file");
    return true;
  }

  // The delivery: links are followed, as copying it onto a device would.
  bool Delivery(const fs::path& from, const fs::path& to, int depth) {
    std::error_code ec;
    fs::directory_iterator it(from, ec);
    if (ec) return Fail(from, "cannot read the folder: " + ec.message());
    for (; it != fs::directory_iterator(); it.increment(ec)) {
      if (++entries > kMaxEntries) return Fail(from, "too many files to check");
      const fs::path& source = it->path();
      fs::path target = to / source.filename();
      fs::file_status status = fs::status(source, ec);
      if (ec) continue;  // a dangling link: nothing would be copied
      if (fs::is_directory(status)) {
        if (depth >= kMaxDepth) continue;
        fs::create_directory(target, ec);
        if (ec) return Fail(target, "cannot create: " + ec.message());
        if (!Delivery(source, target, depth + 1)) return false;
      } else if (fs::is_regular_file(status)) {
        if (depth == 0 && CopiesBytes(source.filename().string())) {
          if (!Copy(source, target)) return false;
        } else if (!Placeholder(target)) {
          return false;
        }
      }
    }
    if (ec) return Fail(from, "cannot read the folder: " + ec.message());
    return true;
  }

  // The device's file system: names only; links stay links (the emulation
  // never follows them), and the staging folder is left out, since the
  // delivery takes its place.
  bool Device(const fs::path& from, const fs::path& to, int depth, bool in_temp) {
    std::error_code ec;
    fs::directory_iterator it(from, ec);
    if (ec) return Fail(from, "cannot read the folder: " + ec.message());
    for (; it != fs::directory_iterator(); it.increment(ec)) {
      if (++entries > kMaxEntries) return Fail(from, "too many files to mirror");
      const fs::path& source = it->path();
      std::u16string name = FromUtf8(source.filename().string());
      fs::path target = to / source.filename();
      fs::file_status status = fs::symlink_status(source, ec);
      if (ec) continue;
      if (fs::is_symlink(status)) {
        fs::path link = fs::read_symlink(source, ec);
        if (!ec) fs::create_symlink(link, target, ec);
      } else if (fs::is_directory(status)) {
        if (in_temp && EqualNoCase(name, u"branding")) continue;
        if (depth >= kMaxDepth) continue;
        fs::create_directory(target, ec);
        if (ec) return Fail(target, "cannot create: " + ec.message());
        // A folder of another file system is not the device's: the device
        // never enters it, and neither does the mirror.
        struct stat st;
        if (lstat(source.c_str(), &st) != 0 || st.st_dev != device_dev) continue;
        if (!Device(source, target, depth + 1, depth == 0 && EqualNoCase(name, u"temp"))) {
          return false;
        }
      } else if (fs::is_regular_file(status)) {
        if (!Placeholder(target)) return false;
      }
    }
    if (ec) return Fail(from, "cannot read the folder: " + ec.message());
    return true;
  }
};

// The folder the device reaches as \Temp: "Temp" itself, else the first
// name in byte order that folds to it.
fs::path TempFolder(const fs::path& fs_dir) {
  std::error_code ec;
  if (fs::is_directory(fs::symlink_status(fs_dir / "Temp", ec))) return fs_dir / "Temp";
  std::string best;
  for (fs::directory_iterator it(fs_dir, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (EqualNoCase(FromUtf8(name), u"temp") &&
        fs::is_directory(fs::symlink_status(it->path(), ec)) && (best.empty() || name < best)) {
      best = name;
    }
  }
  return fs_dir / (best.empty() ? std::string("Temp") : best);
}

}  // namespace

bool ScratchDevice::Open(const fs::path& delivery, const fs::path& device, std::string* error) {
  std::error_code ec;
  if (!device.empty()) {
    if (!fs::is_directory(fs::symlink_status(device / "fs", ec))) {
      *error = device.string() + ": not a device image (no fs/ folder)";
      return false;
    }
  }
  // The user's file is named in the message, not the scratch copy. It is
  // read once, as a run reads it (no link followed, no fifo waited for),
  // and the scratch device gets what was read, written anew.
  host::RegistryStore store;
  if (!device.empty() && !store.Load(device / "registry.reg", error)) return false;

  std::string pattern = (fs::temp_directory_path(ec) / "brandsim-lint-XXXXXX").string();
  if (ec || mkdtemp(pattern.data()) == nullptr) {
    *error = "cannot create a scratch folder in " + fs::temp_directory_path(ec).string();
    return false;
  }
  dir_ = pattern;

  Mirror mirror;
  fs::path fs_dir = dir_ / "fs";
  fs::create_directory(fs_dir, ec);
  bool ok = !ec;
  if (ok && !device.empty()) {
    struct stat st;
    ok = stat((device / "fs").c_str(), &st) == 0;
    mirror.device_dev = st.st_dev;
    if (!ok) mirror.Fail(device / "fs", std::string("cannot read: ") + std::strerror(errno));
    if (ok) ok = mirror.Device(device / "fs", fs_dir, 0, false);
    std::string save_error;
    if (ok && !store.Save(dir_ / "registry.reg", &save_error)) {
      ok = mirror.Fail(dir_ / "registry.reg", save_error);
    }
  }
  fs::path staging = TempFolder(fs_dir) / "branding";
  if (ok) {
    fs::create_directories(staging, ec);
    if (ec) ok = mirror.Fail(staging, "cannot create: " + ec.message());
  }
  if (ok) ok = mirror.Delivery(delivery, staging, 0);
  if (!ok) {
    *error = mirror.error;
    Remove();
    return false;
  }

  host::Config config;
  config.device = dir_;
  config.quiet = true;
  if (!host::OpenDevice(config, error)) {
    Remove();
    return false;
  }
  open_ = true;
  return true;
}

void ScratchDevice::Remove() {
  if (dir_.empty()) return;
  std::error_code ec;
  fs::remove_all(dir_, ec);
  dir_.clear();
}

ScratchDevice::~ScratchDevice() {
  if (open_) {
    std::string ignored;
    host::CloseDevice(&ignored);
  }
  Remove();
}

}  // namespace lint
