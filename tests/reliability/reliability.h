// What the reliability tests share: brandsim runs measured from outside
// (exit status, peak memory, time), a watch that reports every access to
// folders the program must never reach, and a file-by-file picture of a
// folder with modification times.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "sim/sim_helpers.h"

namespace reliability {

namespace fs = std::filesystem;

// A fresh folder in memory (/dev/shm) when the machine has one, else in the
// temporary folder; removed with all it holds when the object goes. For
// tests that make and remove thousands of files.
class MemoryTempDir {
 public:
  MemoryTempDir();
  ~MemoryTempDir();
  MemoryTempDir(const MemoryTempDir&) = delete;
  MemoryTempDir& operator=(const MemoryTempDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// brandsim run to its end with a time bound; its standard output goes to
// /dev/null unless `out_file` is given, its standard error is kept.
struct Measured {
  int status = -1;          // exit status; -1 when a signal ended it or it timed out
  bool timed_out = false;
  long peak_rss_kb = 0;     // its peak resident memory (ru_maxrss), measured by peak_rss
  double seconds = 0;
  std::string err;
};
Measured RunMeasured(const std::vector<std::string>& args, double timeout_seconds,
                     const fs::path& out_file = {});

// Every entry under `root` (links not followed) with its type, mode,
// modification time and, for files, bytes. Equal pictures mean nothing was
// added, removed, written, renamed or had its mode changed.
using Picture = std::map<std::string, std::string>;
Picture TakePicture(const fs::path& root);
// The paths that differ, one a line; empty when the pictures are equal.
using simtest::Differences;

// inotify on a set of folders: every open, read, listing, write, change of
// attributes, creation, removal and rename in them (and in every folder
// below those added with `recursive`) is recorded. A folder added with a
// list of allowed names reports only events on other names; the empty name
// stands for the folder itself.
class AccessWatch {
 public:
  AccessWatch();
  ~AccessWatch();
  AccessWatch(const AccessWatch&) = delete;
  AccessWatch& operator=(const AccessWatch&) = delete;

  void Add(const fs::path& folder, bool recursive);
  // `allowed` holds names, or prefixes ending in '*'.
  void AddAllowing(const fs::path& folder, const std::vector<std::string>& allowed);
  // The events recorded so far that are not allowed, one a line:
  // "PATH: OPEN ACCESS ...". Empty when there was none.
  std::string Violations();

 private:
  struct Watched {
    fs::path folder;
    std::vector<std::string> allowed;
    bool restricted = false;
  };
  int fd_ = -1;
  std::map<int, Watched> watches_;
};

// Writes `size` bytes to `file` in 1 MB pieces: `head`, then `fill` repeated
// (cut to fit), then `tail`.
void WriteLarge(const fs::path& file, const std::string& head, const std::string& fill,
                std::size_t size, const std::string& tail);

}  // namespace reliability
