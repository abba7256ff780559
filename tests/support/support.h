// Shared pieces of the test suites: scratch device images and running
// brandsim as a process with a time bound.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace support {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed with all it
// holds when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// A device image in a TempDir: DIR/fs with \Temp\branding and \Windows, and
// DIR/registry.reg when a registry text is given.
class Device {
 public:
  Device();
  const fs::path& dir() const { return dir_.path(); }
  fs::path fs() const { return dir() / "fs"; }
  fs::path staging() const { return fs() / "Temp" / "branding"; }
  // Writes a file under fs/, given as a device-relative path with '/'.
  void Put(const std::string& device_path, const std::string& bytes) const;
  bool Exists(const std::string& device_path) const;
  std::string Get(const std::string& device_path) const;
  // registry.reg from UTF-8 text in the regedit layout.
  void SetRegistry(const std::string& utf8_text) const;
  // registry.reg decoded to UTF-8 (empty when missing).
  std::string Registry() const;

 private:
  TempDir dir_;
};

void WriteBytes(const fs::path& file, const std::string& bytes);
std::string ReadBytes(const fs::path& file);

std::string Utf16LeWithBom(const std::u16string& text);
std::string Utf16LeToUtf8(const std::string& bytes);  // drops a leading mark
std::string ToUtf8(const std::u16string& text);
// Bytes as lower-case hexadecimal digits, two a byte, nothing between.
std::string Hex(const std::vector<std::uint8_t>& bytes);
std::u16string FromUtf8(const std::string& text);

struct RunResult {
  int status = -1;  // exit status; -1 when killed or timed out
  bool timed_out = false;
  std::string out;
  std::string err;
};

// Runs a program with arguments, standard input from /dev/null, output
// captured; killed after `timeout_seconds`.
RunResult Run(const std::vector<std::string>& argv, double timeout_seconds = 60);
// Runs brandsim with the given arguments.
RunResult Brandsim(const std::vector<std::string>& args, double timeout_seconds = 60);

// The journal's lines, one JSON object each, as text.
std::vector<std::string> ReadLines(const fs::path& file);

// One JSON object: each member's value as text (strings decoded to UTF-8;
// numbers and true/false as written). Fails the current test on anything
// that is not exactly one object.
using JsonObject = std::map<std::string, std::string>;
JsonObject ParseJsonObject(const std::string& text);
// The journal's objects, in order.
std::vector<JsonObject> ReadJournal(const fs::path& file);

}  // namespace support
