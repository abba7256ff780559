// What the brandsim tests look at from outside: the whole state of a device
// image, the registry's content, and a brandsim run that can be killed.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace simtest {

namespace fs = std::filesystem;

// Every entry under `root` by its relative path: "dir", "link -> TARGET" or
// "file MODE: BYTES". Equal snapshots mean nothing was added, removed or
// changed.
using Snapshot = std::map<std::string, std::string>;
Snapshot TakeSnapshot(const fs::path& root);
// The paths that differ, one a line; empty when the snapshots are equal.
std::string Differences(const Snapshot& before, const Snapshot& after);

// The registry file as the store reads it, written back in its own layout
// and decoded to UTF-8: equal results mean equal registries, whatever the
// bytes. A file that does not load gives "unloadable: " and the store's
// message.
std::string RegistryContent(const fs::path& file);

// Copies a folder with everything in it.
void CopyTree(const fs::path& from, const fs::path& to);

// A file with the owner's execute bit set.
void WriteScript(const fs::path& file, const std::string& text);

// Reports the first change among a folder's own entries (not below them):
// a file created, written or renamed into it.
class DirectoryWatch {
 public:
  explicit DirectoryWatch(const fs::path& dir);
  ~DirectoryWatch();
  DirectoryWatch(const DirectoryWatch&) = delete;
  DirectoryWatch& operator=(const DirectoryWatch&) = delete;
  // False when nothing changed before the deadline.
  bool WaitForChange(std::chrono::steady_clock::time_point deadline);

 private:
  int fd_ = -1;
};

// brandsim started in a process group of its own, standard input and output
// on /dev/null, so that a kill reaches the programs it started too.
class BrandsimProcess {
 public:
  explicit BrandsimProcess(const std::vector<std::string>& args);
  // The same with standard output and error written to files (empty: none),
  // and `wrapper` (a program and its arguments) run with brandsim's command
  // line after its own.
  BrandsimProcess(const std::vector<std::string>& args, const fs::path& out, const fs::path& err,
                  const std::vector<std::string>& wrapper = {});
  ~BrandsimProcess();  // kills and reaps what is still running
  BrandsimProcess(const BrandsimProcess&) = delete;
  BrandsimProcess& operator=(const BrandsimProcess&) = delete;

  void KillGroup();
  // Polls until the process ended or the deadline passed; false on timeout.
  // *status: the exit status, or -1 when a signal ended it.
  bool Wait(std::chrono::steady_clock::time_point deadline, int* status);

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
};

// Runs brandsim with its standard input on a new terminal where `typed` has
// been typed, output discarded. Yields the exit status, -1 when a signal
// ended it, -2 when it did not end within `timeout`.
int RunOnTerminal(const std::vector<std::string>& args, const std::string& typed,
                  std::chrono::seconds timeout);

}  // namespace simtest
