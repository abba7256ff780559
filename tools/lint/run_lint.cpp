// The command line of `brandsim lint`, and the run of the checks on the
// delivery, read in place.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <fstream>
#include <iostream>

#include "brandinst_version.h"
#include "codes.h"
#include "lint.h"  // brandsim::RunLint
#include "linter.h"
#include "platform/text.h"
#include "settings/line_reader.h"
#include "suggest.h"
#include "text.h"

namespace lint {

namespace fs = std::filesystem;

const char16_t kStagingPrefix[] = u"\\Temp\\branding\\";

namespace {

const char kUsage[] =
    "usage: brandsim lint [--format text|json|sarif] [--fail-on error|warning]\n"
    "                     [--disable CODES] [--config FILE] [--device DIR] DELIVERY_DIR\n";

const char kHelp[] =
    "usage: brandsim lint [--format text|json|sarif] [--fail-on error|warning]\n"
    "                     [--disable CODES] [--config FILE] [--device DIR] DELIVERY_DIR\n"
    "       brandsim lint --explain CODE | --list-codes | -h | --help | --version\n"
    "\n"
    "Reads DELIVERY_DIR (what the device will hold as \\Temp\\branding) the way the\n"
    "device reads it, and reports what the device will do otherwise than meant.\n"
    "\n"
    "  --format text   one finding a line: FILE:LINE:COLUMN: error|warning: message [code]\n"
    "                  (no :COLUMN where the place in the line is not known, no\n"
    "                  :LINE for a finding about a whole file); on a terminal a\n"
    "                  last line counts the errors and warnings\n"
    "  --format json   a JSON array of {file, line, column, severity, code, message}\n"
    "                  (line 0 for a whole file, column 0 where not known)\n"
    "  --format sarif  a SARIF 2.1.0 log for code scanning: the codes as rules, the\n"
    "                  files as URIs relative to DELIVERY_DIR (uriBaseId DELIVERY)\n"
    "  --fail-on error|warning\n"
    "                  what makes the exit status 1: an error (the default), or\n"
    "                  any finding, a warning too\n"
    "  --disable CODES drop the findings of these codes (comma-separated; may be\n"
    "                  repeated): they are neither shown nor counted\n"
    "  --config FILE   read disable= and fail-on= lines from FILE; without it,\n"
    "                  from .brandsim-lint in DELIVERY_DIR's parent folder, else\n"
    "                  in the current folder (never from inside DELIVERY_DIR, whose\n"
    "                  files all go to the device)\n"
    "  --device DIR    also check the delivery against the device image DIR\n"
    "                  (DIR/fs and DIR/registry.reg, as brandsim uses them)\n"
    "  --explain CODE  say what the code means, with an example and its fix, and exit\n"
    "  --list-codes    print the code of every finding, one a line, and exit\n"
    "  -h, --help      show this help and exit\n"
    "  --version       show the version and exit\n"
    "\n"
    "Exit status: 1 when an error was found (with --fail-on warning: any\n"
    "finding), 0 otherwise, 2 for a usage error or a delivery or device image\n"
    "that cannot be read.\n"
    "\n"
    "What each code means: --explain CODE, brandsim-lint(1) and\n"
    "tools/lint/README.md. What the device reads (brand.ini, the file groups,\n"
    "registry scripts, message files): brandsim-delivery(5) and docs/delivery.md.\n";

const std::vector<std::string> kLongOptions = {"--format",     "--device", "--fail-on",
                                               "--disable",    "--config", "--explain",
                                               "--list-codes", "--help",   "--version"};

// The file of settings that is looked for beside the delivery.
const char kConfigName[] = ".brandsim-lint";

int Usage(std::ostream& err, const std::string& message) {
  err << "brandsim lint: " << message << "\n" << kUsage;
  return 2;
}

// Bytes of brand.ini that the lookups may read in all: a huge file gets the
// lookups this allows and a warning that the rest was not checked.
constexpr std::uint64_t kLookupBudget = 64ull << 20;

// The delivery's top folder as the device lists it, each entry with the host
// name it stands for.
void ListStaged(Context& context) {
  std::u16string pattern = std::u16string(kStagingPrefix) + u"*.*";
  for (const platform::FindData& found : context.view.List(pattern)) {
    Staged staged;
    staged.name = std::u16string(found.cFileName, wtext::Length(found.cFileName, platform::kMaxPath));
    staged.folder = (found.dwFileAttributes & platform::kFileAttributeDirectory) != 0;
    staged.host_name = context.view.DeliveryHostName(staged.name);
    if (staged.host_name.empty()) staged.host_name = ToUtf8(staged.name);
    context.by_name.emplace(Fold(staged.name), context.staged.size());
    context.staged.push_back(std::move(staged));
  }
}

}  // namespace

std::u16string StagedPath(const std::u16string& name) { return kStagingPrefix + name; }

const Staged* Context::Find(const std::u16string& name) const {
  auto it = by_name.find(Fold(name));
  return it == by_name.end() ? nullptr : &staged[it->second];
}

std::string Context::HostName(const std::u16string& name) const {
  const Staged* staged_entry = Find(name);
  return staged_entry != nullptr ? staged_entry->host_name : ToUtf8(name);
}

bool Context::CanLookup() {
  if (settings == nullptr || settings_unreadable) return false;
  if (lookup_bytes + settings_size <= kLookupBudget || lookup_bytes == 0) return true;
  if (!lookup_budget_spent) {
    lookup_budget_spent = true;
    report.Warning(settings->host_name, 0, "lint-incomplete",
                   "brand.ini is too large to look every entry up as the device does; "
                   "the lookups beyond the first " +
                       std::to_string(lookup_bytes / (settings_size ? settings_size : 1)) +
                       " were not checked");
  }
  return false;
}

std::optional<Answer> Context::Lookup(const char16_t* section, const char16_t* key) {
  if (!CanLookup()) return std::nullopt;
  lookup_bytes += settings_size + 1;
  // The device's own lookup, over the delivery's brand.ini; the reader then
  // tells which line answered.
  host::Fd file = view.OpenFile(StagedPath(u"brand.ini"));
  if (!file.valid()) return std::nullopt;
  HostFileBytes bytes{file.get(), kLookupBudget};
  auto reader = std::make_unique<ByteLineReader>();
  StartByteLines(reader.get(), HostFileSource(&bytes));
  char16_t line[kLineCapacity];
  SettingsLine parsed;
  char16_t value[kSettingCapacity];
  if (!LookupSettingIn(reader.get(), section, key, line, &parsed, value)) return std::nullopt;
  Answer answer;
  answer.line_number = reader->line_number;
  answer.cut = reader->cut;
  answer.full_length = reader->full_length;
  answer.line = std::u16string(line, std::min<std::uint32_t>(reader->full_length, kLineCapacity - 1));
  answer.parsed = parsed;
  answer.value = std::u16string(value, wtext::Length(value, kSettingCapacity));
  return answer;
}

FileEnds ReadEnds(const std::string& host_name, const Options& options, std::size_t limit) {
  FileEnds ends;
  host::Fd file = OpenDeliveryFile(options.delivery, host_name);
  struct stat st;
  if (!file.valid() || fstat(file.get(), &st) != 0) return ends;
  ends.size = static_cast<std::uint64_t>(st.st_size);
  auto read_at = [&](std::string* part, std::uint64_t offset) {
    std::size_t done = 0;
    while (done < part->size()) {
      ssize_t n = pread(file.get(), &(*part)[done], part->size() - done,
                        static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  };
  std::size_t head = static_cast<std::size_t>(std::min<std::uint64_t>(ends.size, limit));
  ends.head.resize(head);
  ends.tail.resize(head);
  ends.read = read_at(&ends.head, 0) && read_at(&ends.tail, ends.size - head);
  return ends;
}

bool LooksLikeUtf16(const std::string& head) {
  if (head.size() >= 2 && ((head[0] == '\xFF' && head[1] == '\xFE') ||
                           (head[0] == '\xFE' && head[1] == '\xFF'))) {
    return true;
  }
  // Without a mark: text in UTF-16 has a zero byte beside nearly every ASCII
  // character; 8-bit text has none.
  std::size_t pairs = head.size() / 2;
  if (pairs < 1) return false;
  std::size_t zero_odd = 0, zero_even = 0;
  for (std::size_t i = 0; i < pairs; ++i) {
    if (head[2 * i] == 0) ++zero_even;
    if (head[2 * i + 1] == 0) ++zero_odd;
  }
  std::size_t most = std::max(zero_odd, zero_even), least = std::min(zero_odd, zero_even);
  return most * 2 >= pairs && least * 8 < pairs;
}

namespace {

std::vector<std::string> AllCodes() {
  std::vector<std::string> codes;
  for (std::size_t c = 0; c < kCodeCount; ++c) codes.push_back(kCodeTable[c].id);
  return codes;
}

std::string Trimmed(const std::string& text) {
  std::size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

// Adds the codes of a comma-separated list; false with `problem` set for an
// unknown code or an empty list.
bool AddCodes(const std::string& list, std::set<std::string>* codes, std::string* problem) {
  bool any = false;
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t comma = std::min(list.find(',', start), list.size());
    std::string code = Trimmed(list.substr(start, comma - start));
    start = comma + 1;
    if (code.empty()) continue;
    if (FindCode(code) == nullptr) {
      *problem = "unknown code '" + code + "'" + brandsim::DidYouMean(code, AllCodes()) +
                 " (brandsim lint --list-codes lists them)";
      return false;
    }
    codes->insert(code);
    any = true;
  }
  if (!any) *problem = "no code given";
  return any;
}

bool FailOn(const std::string& value, bool* fail_on_warning, std::string* problem) {
  if (value == "error" || value == "warning") {
    *fail_on_warning = value == "warning";
    return true;
  }
  *problem = "--fail-on must be error or warning, not '" + value + "'";
  return false;
}

// The folder a path names, made absolute ("d/" and "d" alike).
fs::path Folder(const std::string& path) {
  std::error_code ec;
  fs::path folder = fs::absolute(path, ec).lexically_normal();
  if (folder.filename().empty()) folder = folder.parent_path();
  return folder;
}

// Reads the settings file: `disable = CODES` (any number) and
// `fail-on = error|warning`; blank lines and lines starting with # or ; are
// passed over. A fail-on given on the command line wins.
bool ReadConfig(const fs::path& file, bool fail_on_given, Options* options, std::ostream& err) {
  std::ifstream in(file);
  if (!in) {
    err << "brandsim lint: " << file.string() << ": cannot be read\n";
    return false;
  }
  std::string line;
  for (std::uint32_t number = 1; std::getline(in, line); ++number) {
    std::string text = Trimmed(line);
    if (text.empty() || text[0] == '#' || text[0] == ';') continue;
    std::size_t eq = text.find('=');
    std::string key = Trimmed(text.substr(0, eq)), value;
    if (eq != std::string::npos) value = Trimmed(text.substr(eq + 1));
    std::string problem;
    bool ok = true;
    if (eq == std::string::npos) {
      ok = false;
      problem = "expected disable = CODES or fail-on = error|warning";
    } else if (key == "disable") {
      ok = AddCodes(value, &options->disabled, &problem);
    } else if (key == "fail-on") {
      bool fail_on_warning = false;
      ok = FailOn(value, &fail_on_warning, &problem);
      if (ok && !fail_on_given) options->fail_on_warning = fail_on_warning;
    } else {
      ok = false;
      problem = "unknown setting '" + key + "'" + brandsim::DidYouMean(key, {"disable", "fail-on"});
    }
    if (!ok) {
      err << "brandsim lint: " << file.string() << ":" << number << ": " << problem << "\n";
      return false;
    }
  }
  return true;
}

// The settings file: --config FILE, else .brandsim-lint beside the delivery,
// else in the current folder. A file inside the delivery is never read:
// everything there is staged on the device.
bool LoadConfig(const std::string& config, bool fail_on_given, Options* options,
                std::ostream& err) {
  std::error_code ec;
  fs::path delivery = Folder(options->delivery);
  if (!config.empty()) {
    fs::path file = Folder(config);
    fs::path canonical = fs::weakly_canonical(file, ec);
    fs::path inside = fs::weakly_canonical(delivery, ec);
    auto mismatch = std::mismatch(inside.begin(), inside.end(), canonical.begin(), canonical.end());
    if (!inside.empty() && mismatch.first == inside.end()) {
      err << "brandsim lint: " << config
          << " is inside DELIVERY_DIR, whose files all go to the device; keep it beside the "
             "delivery\n";
      return false;
    }
    return ReadConfig(config, fail_on_given, options, err);
  }
  for (const fs::path& folder : {delivery.parent_path(), fs::current_path(ec)}) {
    if (folder.empty()) continue;
    fs::path file = folder / kConfigName;
    if (fs::is_regular_file(file, ec)) return ReadConfig(file, fail_on_given, options, err);
  }
  return true;
}

void Explain(const CodeInfo& info, std::ostream& out) {
  out << info.id << ": " << (info.error ? "error" : "warning");
  if (*info.severity_note != 0) out << " " << info.severity_note;
  out << "\n" << CodeSummary(info) << "\n\n" << CodeHelp(info);
}

}  // namespace

int ParseArguments(const std::vector<std::string>& args, Options* options, std::ostream& out,
                   std::ostream& err) {
  bool format_given = false, device_given = false, delivery_given = false;
  bool fail_on_given = false, config_given = false;
  std::string config;
  bool options_end = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!options_end && arg.size() > 1 && arg[0] == '-') {
      if (arg == "--") {
        options_end = true;
        continue;
      }
      if (arg == "--help" || arg == "-h") {
        out << kHelp;
        return 0;
      }
      if (arg == "--version") {
        out << "brandsim lint " << BRANDINST_VERSION << "\n";
        return 0;
      }
      if (arg == "--list-codes") {
        for (std::size_t c = 0; c < kCodeCount; ++c) out << kCodeTable[c].id << "\n";
        return 0;
      }
      std::string name = arg, value;
      bool inline_value = false;
      std::size_t eq = arg.find('=');
      if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
        name = arg.substr(0, eq);
        value = arg.substr(eq + 1);
        inline_value = true;
      }
      if (name != "--format" && name != "--device" && name != "--fail-on" && name != "--disable" &&
          name != "--config" && name != "--explain") {
        return Usage(err, "unknown option " + name + brandsim::DidYouMean(name, kLongOptions));
      }
      if (!inline_value) {
        if (i + 1 >= args.size()) return Usage(err, name + " needs a value");
        value = args[++i];
      }
      std::string problem;
      if (name == "--format") {
        if (format_given) return Usage(err, "--format given twice");
        format_given = true;
        if (value == "text") {
          options->format = Format::kText;
        } else if (value == "json") {
          options->format = Format::kJson;
        } else if (value == "sarif") {
          options->format = Format::kSarif;
        } else {
          return Usage(err, "--format must be text, json or sarif, not '" + value + "'");
        }
      } else if (name == "--fail-on") {
        if (fail_on_given) return Usage(err, "--fail-on given twice");
        fail_on_given = true;
        if (!FailOn(value, &options->fail_on_warning, &problem)) return Usage(err, problem);
      } else if (name == "--disable") {
        if (!AddCodes(value, &options->disabled, &problem)) {
          return Usage(err, "--disable: " + problem);
        }
      } else if (name == "--config") {
        if (config_given) return Usage(err, "--config given twice");
        if (value.empty()) return Usage(err, "--config needs a file");
        config_given = true;
        config = value;
      } else if (name == "--explain") {
        const CodeInfo* info = FindCode(value);
        if (info == nullptr) {
          return Usage(err, "--explain: unknown code '" + value + "'" +
                                brandsim::DidYouMean(value, AllCodes()) +
                                " (brandsim lint --list-codes lists them)");
        }
        Explain(*info, out);
        return 0;
      } else {
        if (device_given) return Usage(err, "--device given twice");
        if (value.empty()) return Usage(err, "--device needs a folder");
        device_given = true;
        options->device = value;
      }
      continue;
    }
    if (delivery_given) return Usage(err, "only one DELIVERY_DIR may be given");
    if (arg.empty()) return Usage(err, "DELIVERY_DIR is empty");
    delivery_given = true;
    options->delivery = arg;
  }
  if (!delivery_given) return Usage(err, "no DELIVERY_DIR given");
  if (!LoadConfig(config, fail_on_given, options, err)) return 2;
  return -1;
}

namespace {

// Every check over the delivery; false (trouble to `err`) when the delivery
// or the device image cannot be read.
bool Check(Context& context, std::ostream& err) {
  const Options& options = context.options;
  std::error_code ec;
  if (!fs::is_directory(options.delivery, ec)) {
    err << "brandsim lint: " << options.delivery
        << (fs::exists(options.delivery, ec) ? ": not a folder" : ": no such folder") << "\n";
    return false;
  }
  if (!options.device.empty() && !fs::is_directory(options.device, ec)) {
    err << "brandsim lint: " << options.device << ": no such device image (a folder holding fs/)\n";
    return false;
  }
  context.device_given = !options.device.empty();
  std::string error;
  if (context.device_given &&
      !cepkg::LoadDeviceProfile(fs::path(options.device) / "device.ini", &context.profile, &error)) {
    err << "brandsim lint: " << error << "\n";
    return false;
  }
  context.report.Disable(options.disabled);
  if (!context.view.Open(options.delivery, options.device, &error)) {
    err << "brandsim lint: " << error << "\n";
    return false;
  }
  ListStaged(context);
  CheckSettings(context);
  CheckScripts(context);
  CheckFiles(context);
  CheckPackages(context);
  CheckDelivery(context);
  if (context.device_given) CheckDevice(context);
  return true;
}

}  // namespace

int Lint(const Options& options, std::ostream& out, std::ostream& err) {
  Context context;
  context.options = options;
  if (!Check(context, err)) return 2;
  const Report& report = context.report;
  if (options.format == Format::kJson) {
    report.WriteJson(out, options.delivery);
  } else if (options.format == Format::kSarif) {
    report.WriteSarif(out, options.delivery);
  } else {
    report.WriteText(out, options.delivery);
    if (options.terminal) report.WriteCounts(out);
  }
  out.flush();
  return report.HasError() || (options.fail_on_warning && report.Warnings() > 0) ? 1 : 0;
}

int Findings(const Options& options, std::vector<Finding>* findings, std::ostream& err) {
  Context context;
  context.options = options;
  if (!Check(context, err)) return 2;
  *findings = context.report.Sorted();
  const Report& report = context.report;
  return report.HasError() || (options.fail_on_warning && report.Warnings() > 0) ? 1 : 0;
}

int RunLint(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
            bool terminal) {
  Options options;
  options.terminal = terminal;
  int status = ParseArguments(args, &options, out, err);
  if (status >= 0) return status;
  try {
    return Lint(options, out, err);
  } catch (const std::exception& e) {
    // The tools may throw (a file system error, memory); a crash would say less.
    err << "brandsim lint: " << e.what() << "\n";
    return 2;
  }
}

}  // namespace lint

namespace brandsim {

int RunLint(const std::vector<std::string>& args) {
  return lint::RunLint(args, std::cout, std::cerr, isatty(STDOUT_FILENO) == 1);
}

}  // namespace brandsim
