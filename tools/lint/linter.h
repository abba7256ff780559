// `brandsim lint`: reads a delivery folder (what will become \Temp\branding)
// the way the device reads it and reports what the device will do otherwise
// than its author meant.
//
// The linter does not parse anything itself: brand.ini and the registry
// scripts go through the installer's own line reader (ReadByteLine), its
// settings rules (ParseSettingsLine, LookupSettingIn, DecodeSettingValue),
// its script rules (ParseRegistryScript with an observing ScriptSink), its
// key list rule (ParseKeyEntry) and its path and command-line builders. The
// line readers read from a byte source, so the core reads the delivery's
// files in place, opened read-only; names, enumeration order, case folding
// and path resolution are the host backend's own (DeviceView). The linter
// writes nothing anywhere.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "device_view.h"
#include "platform/host/package.h"
#include "platform/platform.h"
#include "settings/settings.h"

namespace lint {

enum class Format { kText, kJson, kSarif };

struct Options {
  Format format = Format::kText;
  std::string delivery;  // DELIVERY_DIR as given
  std::string device;    // --device DIR as given; empty: none
  // --fail-on warning: a warning fails the run as an error does.
  bool fail_on_warning = false;
  // Codes whose findings are dropped (--disable and the config file).
  std::set<std::string> disabled;
  // Standard output is a terminal: the text form ends with the counts.
  bool terminal = false;
};

// Reads the words after `lint`. Yields -1 to go on, or the exit status to end
// with at once (0 after --help, 2 after a usage error, written to `err`).
int ParseArguments(const std::vector<std::string>& args, Options* options, std::ostream& out,
                   std::ostream& err);

// The whole command: findings to `out`, trouble to `err`. Yields 1 when an
// error was found, 0 otherwise, 2 when the delivery or the device image
// cannot be read.
int Lint(const Options& options, std::ostream& out, std::ostream& err);
int RunLint(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
            bool terminal = false);

// ---- Findings ----------------------------------------------------------------

enum class Severity { kWarning, kError };

struct Finding {
  std::string file;        // host name of the file inside the delivery
  std::uint32_t line = 0;  // 0: the whole file
  Severity severity = Severity::kWarning;
  std::string code;
  std::string message;
  // 1-based, in bytes of the line as delivered (one byte a character in code
  // page 1250); 0 where the check does not know the place in the line.
  std::uint32_t column = 0;
};

class Report {
 public:
  // A file that holds many findings (garbage) shows the first kFileLimit.
  static constexpr std::size_t kFileLimit = 200;

  void Add(const std::string& file, std::uint32_t line, Severity severity, const char* code,
           std::string message, std::uint32_t column = 0);
  void Error(const std::string& file, std::uint32_t line, const char* code, std::string message) {
    Add(file, line, Severity::kError, code, std::move(message));
  }
  void Warning(const std::string& file, std::uint32_t line, const char* code,
               std::string message) {
    Add(file, line, Severity::kWarning, code, std::move(message));
  }
  // The same with the column (1-based) where the problem starts.
  void ErrorAt(const std::string& file, std::uint32_t line, std::uint32_t column, const char* code,
               std::string message) {
    Add(file, line, Severity::kError, code, std::move(message), column);
  }
  void WarningAt(const std::string& file, std::uint32_t line, std::uint32_t column,
                 const char* code, std::string message) {
    Add(file, line, Severity::kWarning, code, std::move(message), column);
  }
  // Findings of these codes are dropped as they come: they are neither shown
  // nor counted.
  void Disable(const std::set<std::string>& codes) { disabled_ = codes; }

  bool HasError() const { return errors_ > 0; }
  // Every finding counts, also those past a file's limit.
  std::size_t Errors() const { return errors_; }
  std::size_t Warnings() const { return warnings_; }
  // Sorted: brand.ini, the scripts, the message files, the other files; each
  // by line. `prefix` is DELIVERY_DIR as given.
  std::vector<Finding> Sorted() const;
  void WriteText(std::ostream& out, const std::string& prefix) const;
  void WriteJson(std::ostream& out, const std::string& prefix) const;
  // A SARIF 2.1.0 log: one run, the code table as its rules, the files as
  // URIs relative to the delivery (uriBaseId DELIVERY).
  void WriteSarif(std::ostream& out, const std::string& prefix) const;
  // "2 errors, 1 warning": the closing line of the text form on a terminal.
  void WriteCounts(std::ostream& out) const;

 private:
  std::vector<Finding> findings_;
  std::map<std::string, std::size_t> per_file_;
  std::map<std::string, std::size_t> suppressed_;
  std::set<std::string> disabled_;
  std::size_t errors_ = 0;
  std::size_t warnings_ = 0;
};

// The checks of Lint without the writing: the findings, sorted as the output
// lists them, their files named inside the delivery. Yields what Lint yields
// (trouble to `err`; with 2, no findings).
int Findings(const Options& options, std::vector<Finding>* findings, std::ostream& err);

// ---- What the checks share -------------------------------------------------------

// An entry of the delivery's top folder, as the device lists it.
struct Staged {
  std::u16string name;    // as FindFirstFileW gives it
  std::string host_name;  // the file's name on this machine (for FILE)
  bool folder = false;
};

// What a lookup of brand.ini answers: the line that ScanSettings stopped at.
struct Answer {
  std::uint32_t line_number = 0;
  // The byte line as delivered (NUL bytes kept), and its length before the cut.
  std::u16string line;
  bool cut = false;
  std::uint32_t full_length = 0;
  SettingsLine parsed{};
  std::u16string value;   // decoded from code page 1250, as the device uses it
};

// A key that a registry script creates, where it is created.
struct ScriptKey {
  int root = 0;  // ScriptRoot
  std::u16string path;
  std::string file;  // the script's host name
  std::uint32_t line = 0;
};

// A value that a registry script writes (a line of a form the device
// writes), where it is written.
struct ScriptValueSet {
  int root = 0;  // ScriptRoot
  std::u16string key;
  std::u16string name;  // empty: the default value
  std::string file;     // the script's host name
  std::uint32_t line = 0;
};

// The ScriptRoot of a registry root handle, and of a package manifest's
// root number (kRootUnknown for HKEY_USERS or any other).
int ScriptRootOf(platform::HKey root);
int ScriptRootOfManifest(std::uint16_t root);

// A move that a placement step makes: a staged file and where it goes.
struct Move {
  std::u16string name;         // the staged file, as the device lists it
  std::u16string destination;  // a device path
  // The mapped groups: the brand.ini entry that names the destination.
  const char16_t* section = nullptr;  // null for a fixed group
  std::uint32_t line = 0;
};

// The most bytes a pass over one file reads: a file of any size (a 2 GB
// sparse script) costs what this much of a plain one does, and a warning
// says the rest was not checked.
constexpr std::uint64_t kFileReadBudget = 64ull << 20;

struct Context {
  Options options;
  Report report;
  bool device_given = false;
  // The device with the delivery staged, read in place.
  DeviceView view;

  // The delivery's top folder as the device lists it ("\Temp\branding\*.*").
  std::vector<Staged> staged;
  // Folded device name -> index into `staged`.
  std::map<std::u16string, std::size_t> by_name;
  // Folded names of the entries some step uses, and of those that a package
  // entry means but the device misreads.
  std::set<std::u16string> used;
  std::set<std::u16string> mentioned;
  const Staged* Find(const std::u16string& name) const;
  // The host name to report a device name under (the name itself when it is
  // not staged).
  std::string HostName(const std::u16string& name) const;

  // brand.ini, when the delivery holds one.
  const Staged* settings = nullptr;
  bool settings_unreadable = false;  // UTF-16: every lookup finds nothing
  // Lookups: each one scans brand.ini as the device does. Past a budget of
  // bytes read, further lookups are not made (a huge brand.ini).
  // CanLookup is false once the budget is spent; a warning says so once.
  bool CanLookup();
  std::optional<Answer> Lookup(const char16_t* section, const char16_t* key);
  bool lookup_budget_spent = false;
  std::uint64_t settings_size = 0;
  std::uint64_t lookup_bytes = 0;

  // What the steps will find, filled by the settings check.
  std::vector<Answer> packages;  // cab0, cab1, ...
  std::vector<Answer> removals;  // key0, key1, ...
  std::optional<Answer> theme;   // [skin] skin
  std::optional<Answer> restart;  // [LENGREBOOT] reboot
  // Keys the scripts create and values they write, in the scripts' order.
  std::vector<ScriptKey> script_keys;
  std::vector<ScriptValueSet> script_values;

  // The device packages are checked against: DIR/device.ini with --device,
  // else the default.
  cepkg::DeviceProfile profile;

  // The mapped groups' moves, looked up once (see MappedMoves).
  std::optional<std::vector<Move>> mapped_moves;
};

// The checks, in the order they run.
void CheckSettings(Context& context);
void CheckScripts(Context& context);
void CheckFiles(Context& context);
// Packages and the theme: after the scripts, whose values it compares.
void CheckPackages(Context& context);
void CheckDevice(Context& context);
// The delivery as a whole (empty, no brand.ini), the restart entry's value,
// and removals of keys the scripts write: after the scripts.
void CheckDelivery(Context& context);

// The fixed groups' moves whose source and destination fit, formatted as the
// placement step formats them, in the step's order.
std::vector<Move> FixedMoves(Context& context);
// The mapped groups' moves: each staged file whose entry answers with a
// destination that is not empty. Looked up on the first call only.
const std::vector<Move>& MappedMoves(Context& context);

// Reads the first `limit` bytes and the last `limit` bytes of a delivery file
// (host side, for encodings and the last line).
struct FileEnds {
  std::uint64_t size = 0;
  std::string head;
  std::string tail;
  bool read = false;
};
FileEnds ReadEnds(const std::string& host_name, const Options& options, std::size_t limit = 4096);

// Whether bytes are UTF-16 text (a byte-order mark, or zero bytes in every
// other place as ASCII text in UTF-16 has them).
bool LooksLikeUtf16(const std::string& head);

// The staging folder on the device, and a device path for a staged name.
extern const char16_t kStagingPrefix[];  // "\Temp\branding\"
std::u16string StagedPath(const std::u16string& name);

}  // namespace lint
