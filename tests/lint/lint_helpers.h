// What the linter tests share: running the linter in this process on a
// delivery folder, reading its JSON findings, and running the same delivery
// through brandsim to see what the device really does with it.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "cepkg/package_writer.h"
#include "support/support.h"

namespace linttest {

namespace fs = std::filesystem;
using support::JsonObject;

// Staged files: name and bytes.
using Files = std::vector<std::pair<std::string, std::string>>;

struct Finding {
  std::string file;  // as printed (DELIVERY_DIR/name)
  unsigned line = 0;
  unsigned column = 0;
  std::string severity;
  std::string code;
  std::string message;
};

struct LintResult {
  int status = -1;
  std::string out;
  std::string err;
  std::vector<Finding> findings;  // parsed when the format was JSON
  bool Has(const std::string& code) const;
  const Finding* Find(const std::string& code) const;
  // "code@line" of every finding, for failure messages.
  std::string Summary() const;
};

// The linter's command in this process: `args` are the words after `lint`;
// `terminal` as when standard output is a terminal.
LintResult RunLint(const std::vector<std::string>& args, bool terminal = false);
// --format json on `delivery`, with --device when `device` is not empty, and
// any further options.
LintResult LintJson(const fs::path& delivery, const fs::path& device = {},
                    const std::vector<std::string>& more = {});
// The JSON array the linter prints, one object a line.
std::vector<Finding> ParseFindings(const std::string& json);

// A device image for the brandsim runs: \Windows with wceload.exe and
// Favorites, and a registry holding the Today key. Tests change it before
// staging their delivery.
struct Scene {
  Scene();
  support::Device device;
  void Stage(const Files& files) const;
  void Registry(const std::string& body) const;  // registry.reg: header added

  // brandsim --answer yes --quiet --journal ... inst; fails the test when it
  // does not end with status 0.
  void Run();
  std::vector<JsonObject> events;
  std::vector<JsonObject> Events(const std::string& name) const;
  std::vector<std::string> CommandLines() const;  // of the process events
  // The data of reg_set events for a value name (REG_SZ decoded to UTF-8
  // without the terminator, other types as hex); none when never set.
  std::vector<std::string> Sets(const std::string& name) const;
};

// The registry text that Scene starts with (the header and the Today key).
extern const char kBaseRegistry[];

std::string Utf16Le(const std::u16string& text, bool mark);

// A package (or theme) cabinet for `spec`; a package installing one file into
// its own folder by default.
std::string Package(const cepkg::PackageSpec& spec = {});
// A spec installing `name` into the device folder `dir` (e.g. "%CE2%").
cepkg::PackageSpec Installs(const std::string& dir, const std::string& name);

}  // namespace linttest
