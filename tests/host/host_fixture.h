// A temporary device image opened through the host backend, for tests that
// call the platform operations directly.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "platform/host/host.h"
#include "platform/platform.h"
#include "support/json_check.h"
#include "support/support.h"

namespace hosttest {

namespace fs = std::filesystem;

class HostTest : public ::testing::Test {
 protected:
  HostTest();
  void TearDown() override;

  // Opens the device with `config` (quiet, journal in the scratch folder).
  // Set up files before: folder caches start when the device opens.
  ::testing::AssertionResult Open();
  // Closes it; the error text, empty when all went well.
  std::string Close();

  // The journal's objects so far, each checked to be one JSON object.
  std::vector<simtest::JsonObject> Journal() const;
  // The journal objects of one event kind.
  std::vector<simtest::JsonObject> Events(const std::string& event) const;

  // The names FindFirstFileW/FindNextFileW give for `pattern`, with their
  // attributes; also checks that the enumeration handle is closed.
  std::vector<std::pair<std::string, std::uint32_t>> List(const std::u16string& pattern);

  // Reads a whole device file through CreateFileW/ReadFile; false when it
  // cannot be opened.
  bool ReadDeviceFile(const std::u16string& path, std::string* bytes);

  support::Device device;
  support::TempDir scratch;  // outside the device: journal, installer, "outside" files
  host::Config config;
  fs::path journal_file;
  bool open = false;
};

// Field names of a journal object.
std::set<std::string> Fields(const simtest::JsonObject& object);

// Mode bits and modification time of a host file, to prove it untouched.
struct Snapshot {
  bool exists = false;
  std::string bytes;
  mode_t mode = 0;
  struct timespec mtime {};
  bool operator==(const Snapshot& other) const;
};
Snapshot Take(const fs::path& file);

std::u16string U(const std::string& utf8);
std::string S(const std::u16string& text);
std::string S(const char16_t* text);

}  // namespace hosttest
