// The command line of `brandsim lint`: arguments, the two output formats,
// exit statuses, and what it leaves behind (nothing).
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <chrono>
#include <sstream>

#include "lint_helpers.h"

namespace linttest {
namespace {

// A delivery with one error (brand.ini line 2), one warning (a whole-file
// finding on readme.txt) and a script error (s.reg line 4).
void StageMixed(const fs::path& dir) {
  support::WriteBytes(dir / "brand.ini", "[ADDITIONAL_CABS]\r\ncab0=one.cab\r\n");
  support::WriteBytes(dir / "ne.cab", Package());
  support::WriteBytes(dir / "readme.txt", "notes");
  support::WriteBytes(dir / "s.reg", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"n\"=DWORD:1\r\n");
}

TEST(LintCommand, UsageErrorsExitWithTwoAndSayWhy) {
  support::TempDir dir;
  support::TempDir other;
  support::WriteBytes(dir.path() / "file", "x");
  struct Usage {
    std::vector<std::string> args;
    std::string says;
  };
  std::vector<Usage> cases = {
      {{}, "no DELIVERY_DIR"},
      {{dir.path().string(), other.path().string()}, "only one DELIVERY_DIR"},
      {{"--format", "xml", dir.path().string()}, "--format must be text, json or sarif"},
      {{"--fail-on", "info", dir.path().string()},
       "--fail-on must be error or warning, not 'info'"},
      {{"--fail-on", "error", "--fail-on=warning", dir.path().string()}, "--fail-on given twice"},
      {{"--disable", "file-unused,ini-utf17", dir.path().string()},
       "unknown code 'ini-utf17'; did you mean 'ini-utf16'?"},
      {{"--disable", ",", dir.path().string()}, "--disable: no code given"},
      {{"--explain", "reg-escapes"}, "unknown code 'reg-escapes'; did you mean 'reg-escape'?"},
      {{"--explian", "reg-escape"}, "unknown option --explian; did you mean '--explain'?"},
      {{"--config", (dir.path() / "none").string(), other.path().string()}, "none: cannot be read"},
      {{"--format"}, "--format needs a value"},
      {{"--device"}, "--device needs a value"},
      {{"--verbose", dir.path().string()}, "unknown option --verbose"},
      {{"--format", "json", "--format", "text", dir.path().string()}, "--format given twice"},
      {{(dir.path() / "missing").string()}, "no such folder"},
      {{(dir.path() / "file").string()}, "not a folder"},
      {{"--device", (dir.path() / "missing").string(), other.path().string()},
       "no such device image"},
      {{"--device", dir.path().string(), other.path().string()},
       "not a device image (no fs/ folder)"},
  };
  for (const Usage& u : cases) {
    LintResult r = RunLint(u.args);
    std::string shown;
    for (const std::string& a : u.args) shown += a + " ";
    EXPECT_EQ(r.status, 2) << shown;
    EXPECT_NE(r.err.find(u.says), std::string::npos) << shown << "\n" << r.err;
    EXPECT_EQ(r.out, "") << shown;
  }
}

TEST(LintCommand, UnloadableDeviceRegistryNamesTheFileAndLine) {
  support::TempDir delivery;
  support::Device device;
  support::WriteBytes(device.dir() / "registry.reg",
                      "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"n\"=bogus:1\r\n");
  LintResult r = RunLint({"--device", device.dir().string(), delivery.path().string()});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find((device.dir() / "registry.reg").string() + ":4"), std::string::npos) << r.err;
}

TEST(LintCommand, UnreadableDeviceProfileNamesTheFileAndLine) {
  support::TempDir delivery;
  support::Device device;
  support::WriteBytes(device.dir() / "device.ini", "processor=2577\nversion=three\n");
  LintResult r = RunLint({"--device", device.dir().string(), delivery.path().string()});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find((device.dir() / "device.ini").string() + ":2"), std::string::npos) << r.err;
}

// A package is read where the device finds it (a sub-folder, any case), and
// never through a link, which could lead out of the delivery.
TEST(LintCommand, PackagesAreReadInsideTheDeliveryOnly) {
  support::TempDir dir, outside;
  fs::path delivery = dir.path() / "d";
  fs::create_directories(delivery / "Sub");
  support::WriteBytes(delivery / "brand.ini",
                      "[ADDITIONAL_CABS]\r\ncab0=\"one.cab\"\r\ncab1=\"sub\\TWO.cab\"\r\n");
  support::WriteBytes(outside.path() / "secret", "not a package");
  fs::create_symlink(outside.path() / "secret", delivery / "one.cab");
  support::WriteBytes(delivery / "Sub" / "two.cab", "not a package either");
  LintResult r = LintJson(delivery);
  std::vector<unsigned> malformed;
  for (const Finding& f : r.findings) {
    if (f.code == "pkg-malformed") malformed.push_back(f.line);
  }
  EXPECT_EQ(malformed, std::vector<unsigned>{3}) << r.Summary();
}

TEST(LintCommand, HelpDescribesTheFormatsAndExitsWithZero) {
  LintResult r = RunLint({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(
      r.out.find(
          "usage: brandsim lint [--format text|json|sarif] [--fail-on error|warning]\n"
          "                     [--disable CODES] [--config FILE] [--device DIR] DELIVERY_DIR\n"),
      std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("FILE:LINE:COLUMN: error|warning: message [code]"), std::string::npos);
}

TEST(LintCommand, TextFindingsNameFileLineSeverityAndCodeInOrder) {
  support::TempDir dir;
  StageMixed(dir.path());
  std::string prefix = dir.path().string();
  LintResult r = RunLint({prefix});
  EXPECT_EQ(r.status, 1);
  std::istringstream lines(r.out);
  std::vector<std::string> got;
  for (std::string line; std::getline(lines, line);) got.push_back(line);
  ASSERT_EQ(got.size(), 3u) << r.out;
  // brand.ini, then the scripts, then the other files; a whole-file finding
  // has no line number.
  // The column, where the check knows the place in the line.
  EXPECT_EQ(got[0].rfind(prefix + "/brand.ini:2:6: error: value read as `ne.cab`", 0), 0u)
      << got[0];
  EXPECT_NE(got[0].find("write cab0=\"one.cab\" [ini-unquoted-value]"), std::string::npos) << got[0];
  EXPECT_EQ(got[1].rfind(prefix + "/s.reg:4:5: error: ", 0), 0u) << got[1];
  EXPECT_NE(got[1].find("[reg-uppercase-type]"), std::string::npos) << got[1];
  EXPECT_EQ(got[2].rfind(prefix + "/readme.txt: warning: no step uses this file", 0), 0u) << got[2];

  // The folder is printed as given: a trailing slash makes no double one.
  LintResult slash = RunLint({prefix + "/"});
  EXPECT_EQ(slash.out, r.out);
}

TEST(LintCommand, JsonFindingsCarryTheSameFacts) {
  support::TempDir dir;
  StageMixed(dir.path());
  LintResult r = LintJson(dir.path());
  ASSERT_EQ(r.findings.size(), 3u) << r.out;
  EXPECT_EQ(r.findings[0].file, (dir.path() / "brand.ini").string());
  EXPECT_EQ(r.findings[0].line, 2u);
  EXPECT_EQ(r.findings[0].column, 6u);
  EXPECT_EQ(r.findings[0].severity, "error");
  EXPECT_EQ(r.findings[0].code, "ini-unquoted-value");
  EXPECT_NE(r.findings[0].message.find("write cab0=\"one.cab\""), std::string::npos);
  EXPECT_EQ(r.findings[2].line, 0u) << "a whole-file finding has line 0";
  EXPECT_EQ(r.findings[2].column, 0u) << "and column 0";
  EXPECT_EQ(r.findings[2].severity, "warning");
}

TEST(LintCommand, ExitStatusFollowsErrorsNotWarnings) {
  support::TempDir clean, warned, failed, empty;
  support::WriteBytes(clean.path() / "brand.ini", "[LENGREBOOT]\r\nreboot=\"1\"\r\n");
  EXPECT_EQ(RunLint({clean.path().string()}).status, 0);
  EXPECT_EQ(RunLint({clean.path().string()}).out, "");
  EXPECT_EQ(RunLint({"--format", "json", clean.path().string()}).out, "[]\n");
  support::WriteBytes(warned.path() / "readme.txt", "x");
  EXPECT_EQ(RunLint({warned.path().string()}).status, 0);
  support::WriteBytes(failed.path() / "start.hp", "x");
  EXPECT_EQ(RunLint({failed.path().string()}).status, 1);
  EXPECT_EQ(RunLint({empty.path().string()}).status, 1) << "an empty delivery is an error";
}

// --fail-on, --disable and the settings file beside the delivery decide
// together what is shown and what fails the run.
TEST(LintCommand, FailOnDisableAndTheSettingsFile) {
  support::TempDir dir, elsewhere;
  fs::path delivery = dir.path() / "delivery";
  fs::create_directories(delivery);
  StageMixed(delivery);  // 2 errors, 1 warning (file-unused)
  fs::path config = dir.path() / ".brandsim-lint";
  fs::path other = elsewhere.path() / "lint.conf";
  support::WriteBytes(other,
                      "# only the warnings fail\nfail-on = warning\ndisable=ini-unquoted-value\n"
                      "disable = reg-uppercase-type\n");
  struct Run {
    std::vector<std::string> args;
    std::string config;  // .brandsim-lint beside the delivery; none when empty
    int status;
    std::vector<std::string> codes;
  };
  const std::string all[] = {"ini-unquoted-value", "reg-uppercase-type", "file-unused"};
  std::vector<Run> runs = {
      {{}, "", 1, {all[0], all[1], all[2]}},
      {{"--disable", "ini-unquoted-value,reg-uppercase-type"}, "", 0, {all[2]}},
      {{"--disable", "ini-unquoted-value", "--disable=reg-uppercase-type", "--fail-on", "warning"},
       "",
       1,
       {all[2]}},
      {{"--disable", "ini-unquoted-value,reg-uppercase-type,file-unused", "--fail-on", "warning"},
       "",
       0,
       {}},
      {{}, "disable = file-unused\n", 1, {all[0], all[1]}},
      {{"--disable", "ini-unquoted-value"},
       "disable = reg-uppercase-type\nfail-on = warning\n",
       1,
       {all[2]}},
      {{"--fail-on", "error", "--disable", "ini-unquoted-value"},
       "disable = reg-uppercase-type\nfail-on = warning\n",
       0,
       {all[2]}},
      // --config FILE is read in place of the one beside the delivery.
      {{"--config", other.string()}, "disable = file-unused\n", 1, {all[2]}},
  };
  for (const Run& run : runs) {
    std::string shown;
    for (const std::string& a : run.args) shown += a + " ";
    SCOPED_TRACE(shown + "| " + run.config);
    fs::remove(config);
    if (!run.config.empty()) support::WriteBytes(config, run.config);
    std::vector<std::string> args = {"--format", "json"};
    args.insert(args.end(), run.args.begin(), run.args.end());
    args.push_back(delivery.string());
    LintResult r = RunLint(args);
    EXPECT_EQ(r.status, run.status) << r.err;
    std::vector<std::string> codes;
    for (const Finding& f : ParseFindings(r.out)) codes.push_back(f.code);
    EXPECT_EQ(codes, run.codes);
  }

  // A settings file with a mistake names its line; one inside the delivery
  // (which goes to the device) is never read, and refused when named.
  struct Bad {
    std::string text;
    std::string says;
  };
  for (const Bad& bad : std::vector<Bad>{
           {"fail-on = warning\ndisabel = file-unused\n",
            ".brandsim-lint:2: unknown setting 'disabel'; did you mean 'disable'?"},
           {"disable = file-unsued\n",
            ".brandsim-lint:1: unknown code 'file-unsued'; did you mean 'file-unused'?"},
           {"fail-on\n", ".brandsim-lint:1: expected disable = CODES"}}) {
    support::WriteBytes(config, bad.text);
    LintResult r = RunLint({delivery.string()});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(bad.says), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  fs::remove(config);
  support::WriteBytes(delivery / ".brandsim-lint", "disable = file-unused\n");
  LintResult inside = LintJson(delivery);
  EXPECT_TRUE(inside.Has("file-unused")) << inside.Summary();
  LintResult named =
      RunLint({"--config", (delivery / ".brandsim-lint").string(), delivery.string()});
  EXPECT_EQ(named.status, 2);
  EXPECT_NE(named.err.find("is inside DELIVERY_DIR"), std::string::npos) << named.err;
}

TEST(LintCommand, TextOnATerminalEndsWithTheCounts) {
  support::TempDir dir;
  StageMixed(dir.path());
  LintResult text = RunLint({dir.path().string()}, true);
  EXPECT_EQ(text.status, 1);
  std::string tail = text.out.substr(text.out.rfind('\n', text.out.size() - 2) + 1);
  EXPECT_EQ(tail, "2 errors, 1 warning\n") << text.out;
  EXPECT_EQ(RunLint({dir.path().string()}).out.find(" errors, "), std::string::npos)
      << "not when the output goes to a file or a pipe";
  LintResult disabled = RunLint({"--disable", "file-unused", dir.path().string()}, true);
  EXPECT_NE(disabled.out.find("\n2 errors, 0 warnings\n"), std::string::npos) << disabled.out;
  for (const char* format : {"json", "sarif"}) {
    LintResult r = RunLint({"--format", format, dir.path().string()}, true);
    EXPECT_EQ(r.out.find(" errors, "), std::string::npos) << format;
  }
}

TEST(LintCommand, ExplainsEveryCodeFromTheTable) {
  LintResult list = RunLint({"--list-codes"});
  std::istringstream codes(list.out);
  int explained = 0;
  for (std::string code; std::getline(codes, code); ++explained) {
    LintResult r = RunLint({"--explain", code});
    ASSERT_EQ(r.status, 0) << code << r.err;
    // The code and its severity, the summary, the explanation, an example
    // of the fault and its fix.
    EXPECT_TRUE(r.out.rfind(code + ": error", 0) == 0 || r.out.rfind(code + ": warning", 0) == 0)
        << r.out;
    std::size_t example = r.out.find("\nFor example:\n    "), fix = r.out.find("\nInstead:\n    ");
    EXPECT_NE(example, std::string::npos) << r.out;
    EXPECT_LT(example, fix) << r.out;
    EXPECT_GT(r.out.size(), fix + 16) << r.out;
  }
  EXPECT_GT(explained, 90);
  LintResult bom = RunLint({"--explain=ini-bom"});
  EXPECT_EQ(bom.out.rfind("ini-bom: error (warning when the first line is no header)\n"
                          "The device reads a UTF-8 byte-order mark as part of the first line",
                          0),
            0u)
      << bom.out;
}

// The SARIF log validates against the SARIF 2.1.0 schema (kept in this
// folder: the tests reach no network), and says what the text form says.
TEST(LintCommand, SarifLogFollowsTheSchemaAndCarriesTheFindings) {
  support::TempDir dir, out;
  fs::path delivery = dir.path() / "my delivery";
  fs::create_directories(delivery);
  StageMixed(delivery);
  LintResult r = RunLint({"--format", "sarif", delivery.string()});
  EXPECT_EQ(r.status, 1) << r.err;
  std::string version = RunLint({"--version"}).out;
  version = version.substr(version.rfind(' ') + 1);
  version.pop_back();
  std::vector<std::string> facts = {
      "\"version\": \"2.1.0\"", "\"name\": \"brandsim lint\", \"version\": \"" + version + "\"",
      // A rule per code of the table, with its level.
      "{\"id\": \"ini-unquoted-value\", \"shortDescription\": {\"text\": \"The device skips the "
      "character after",
      "\"defaultConfiguration\": {\"level\": \"warning\"}}",
      "\"ruleId\": \"ini-unquoted-value\", \"ruleIndex\": ",
      "\"level\": \"error\", \"message\": {\"text\": \"value read as `ne.cab`",
      // Files as URIs relative to the delivery, which is the base.
      "{\"uri\": \"brand.ini\", \"uriBaseId\": \"DELIVERY\"}, \"region\": {\"startLine\": 2, "
      "\"startColumn\": 6}}",
      "{\"uri\": \"s.reg\", \"uriBaseId\": \"DELIVERY\"}, \"region\": {\"startLine\": 4, "
      "\"startColumn\": 5}}",
      // A whole-file finding has no region.
      "{\"uri\": \"readme.txt\", \"uriBaseId\": \"DELIVERY\"}}}]}",
      "\"originalUriBaseIds\": {\"DELIVERY\": {\"uri\": \"file://", "/my%20delivery/\"}}"};
  for (const std::string& fact : facts) {
    EXPECT_NE(r.out.find(fact), std::string::npos) << fact << "\n" << r.out;
  }
  support::WriteBytes(out.path() / "findings.sarif", r.out);
  support::TempDir clean;
  support::WriteBytes(clean.path() / "brand.ini", "[LENGREBOOT]\r\nreboot=\"1\"\r\n");
  LintResult none = RunLint({"--format", "sarif", clean.path().string()});
  EXPECT_EQ(none.status, 0) << none.err;
  support::WriteBytes(out.path() / "clean.sarif", none.out);
  fs::path check = fs::path(BRANDINST_SOURCE_DIR) / "tests" / "lint" / "sarif_check.py";
  fs::path schema = fs::path(BRANDINST_SOURCE_DIR) / "tests" / "lint" / "sarif-schema-2.1.0.json";
  support::RunResult valid = support::Run(
      {"/usr/bin/env", "python3", check.string(), schema.string(),
       (out.path() / "findings.sarif").string(), (out.path() / "clean.sarif").string()});
  ASSERT_FALSE(valid.timed_out);
  if (valid.status == 77 || valid.status == 127)
    GTEST_SKIP() << "python3 with jsonschema is not installed: " << valid.err;
  EXPECT_EQ(valid.status, 0) << valid.out << valid.err;
  EXPECT_NE(valid.out.find("findings.sarif: valid, 3 results"), std::string::npos) << valid.out;
  EXPECT_NE(valid.out.find("clean.sarif: valid, 0 results"), std::string::npos) << valid.out;
}

TEST(LintCommand, JsonStaysValidForAnyText) {
  // Quotes, backslashes, control characters and bytes that are not UTF-8,
  // in file names and in the text the messages quote.
  support::TempDir dir;
  support::WriteBytes(dir.path() / "brand.ini",
                      std::string("[HOMEPAGE]\r\na\"b\\c\x01\x7f\xff.hp=x\r\n[ADDITIONAL_CABS]\r\ncab0=\t\"\x1b[31m\"\r\n"));
  support::WriteBytes(dir.path() / "n\xff\x01.hp", "x");
  LintResult r = LintJson(dir.path());
  EXPECT_FALSE(r.findings.empty());
  for (const Finding& f : r.findings) {
    EXPECT_EQ(f.message.find('\x1b'), std::string::npos) << "escape sequences never reach a terminal";
  }
  LintResult text = RunLint({dir.path().string()});
  EXPECT_EQ(text.out.find('\x1b'), std::string::npos);
  EXPECT_EQ(text.out.find('\x01'), std::string::npos);
}

// Every entry under a folder: its relative path, its mode, its bytes, and a
// folder's modification time (which anything created or removed in it moves).
std::map<std::string, std::string> Snapshot(const fs::path& root) {
  std::map<std::string, std::string> all;
  auto stamp = [](const fs::path& path) {
    struct stat st;
    lstat(path.c_str(), &st);
    return ":" + std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
  };
  all["."] = stamp(root);
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    std::string what = std::to_string(static_cast<int>(entry.symlink_status().permissions()));
    if (entry.is_regular_file()) what += ":" + support::ReadBytes(entry.path());
    if (entry.is_directory()) what += stamp(entry.path());
    all[fs::relative(entry.path(), root).string()] = what;
  }
  return all;
}

void SetWritable(const fs::path& root, bool writable) {
  auto set = [writable](const fs::path& path) {
    fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    writable ? fs::perm_options::add : fs::perm_options::remove);
  };
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_directory()) set(entry.path());
  }
  set(root);
}

// The linter writes nothing anywhere: not in the delivery, not in the image,
// not in $TMPDIR, which may be missing or read-only; both folders read-only.
TEST(LintCommand, TouchesNeitherTheDeliveryNorTheDeviceAndLeavesNoScratch) {
  Scene scene;
  StageMixed(scene.device.staging());
  scene.device.Put("Windows/logo.gif", "old");
  fs::permissions(scene.device.staging() / "s.reg", fs::perms::owner_write, fs::perm_options::remove);
  support::TempDir apart;
  StageMixed(apart.path());
  SetWritable(scene.device.dir(), false);
  SetWritable(apart.path(), false);
  auto before = Snapshot(scene.device.dir());
  auto apart_before = Snapshot(apart.path());

  support::TempDir tmp;
  fs::create_directory(tmp.path() / "read-only");
  fs::permissions(tmp.path() / "read-only", fs::perms::owner_all);
  fs::permissions(tmp.path() / "read-only", fs::perms::owner_write, fs::perm_options::remove);
  auto tmp_before = Snapshot(tmp.path());
  const char* old_tmpdir = getenv("TMPDIR");
  std::string saved = old_tmpdir ? old_tmpdir : "";
  for (const char* folder : {"missing", "read-only"}) {
    SCOPED_TRACE(folder);
    setenv("TMPDIR", (tmp.path() / folder).c_str(), 1);
    LintResult r = LintJson(scene.device.staging(), scene.device.dir());
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(r.Has("reg-uppercase-type")) << r.Summary();
    LintResult alone = LintJson(apart.path(), scene.device.dir());
    auto facts = [](const LintResult& result) {
      std::vector<std::string> all;
      for (const Finding& f : result.findings) {
        all.push_back(f.code + "@" + std::to_string(f.line) + ": " + f.message);
      }
      return all;
    };
    EXPECT_EQ(facts(alone), facts(r)) << "the delivery apart from the image reads alike";
    LintResult usage = RunLint({"--device", scene.device.staging().string(), scene.device.staging().string()});
    EXPECT_EQ(usage.status, 2);
  }
  if (old_tmpdir) {
    setenv("TMPDIR", saved.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
  EXPECT_EQ(Snapshot(tmp.path()), tmp_before);
  EXPECT_EQ(Snapshot(scene.device.dir()), before);
  EXPECT_EQ(Snapshot(apart.path()), apart_before);
  fs::permissions(tmp.path() / "read-only", fs::perms::owner_all);
  SetWritable(scene.device.dir(), true);
  SetWritable(apart.path(), true);
}

// Links are listed, never followed, and a huge file is read only up to a
// bound: a link loop, a link to `/` and a 2 GB sparse script cost about what
// plain files do, and the linter says what it left unchecked.
TEST(LintCommand, LinksAndHugeFilesCostWhatPlainFilesDo) {
  support::TempDir dir;
  support::WriteBytes(dir.path() / "brand.ini", "[skin]\r\nskin=\"\\Windows\\t.tsk\"\r\n");
  fs::create_symlink("loop", dir.path() / "loop");
  fs::create_symlink("/", dir.path() / "root.reg");
  fs::create_symlink("/", dir.path() / "inst.msg");
  fs::create_symlink("/dev/zero", dir.path() / "zero.reg");
  support::WriteBytes(dir.path() / "big.reg", "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n");
  fs::resize_file(dir.path() / "big.reg", std::uintmax_t{2} << 30);
  auto start = std::chrono::steady_clock::now();
  LintResult r = LintJson(dir.path());
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_NE(r.status, 2) << r.err;
  EXPECT_LT(seconds, 20.0);
  const Finding* incomplete = r.Find("lint-incomplete");
  ASSERT_NE(incomplete, nullptr) << r.Summary();
  EXPECT_EQ(incomplete->file, (dir.path() / "big.reg").string());
  for (const Finding& f : r.findings) {
    EXPECT_EQ(f.file.find("zero.reg"), std::string::npos) << "a link is never read: " << f.code;
    EXPECT_EQ(f.file.find("root.reg"), std::string::npos) << "a link is never read: " << f.code;
  }
}

TEST(LintCommand, ASignalCaughtMeanwhileIsNoReadError) {
  // A program that runs the linter may catch signals without SA_RESTART (a
  // fuzzer's timer does): a copy one interrupts is taken up again, not
  // reported as a file that cannot be read. The files are big enough for
  // the copies to span many signals.
  support::TempDir dir;
  std::string ini = "[HOMEPAGE]\r\n" + std::string(4 << 20, 'x') + "\r\n";
  support::WriteBytes(dir.path() / "brand.ini", ini);
  Scene scene;
  support::WriteBytes(scene.device.dir() / "registry.reg", "");

  struct sigaction caught = {};
  caught.sa_handler = [](int) {};
  sigemptyset(&caught.sa_mask);
  caught.sa_flags = 0;
  struct sigaction old_action;
  ASSERT_EQ(sigaction(SIGALRM, &caught, &old_action), 0);
  itimerval every = {{0, 50}, {0, 50}};
  itimerval old_timer;
  ASSERT_EQ(setitimer(ITIMER_REAL, &every, &old_timer), 0);
  std::vector<LintResult> results;
  for (int i = 0; i < 20; ++i) results.push_back(LintJson(dir.path(), scene.device.dir()));
  itimerval off = {};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &old_action, nullptr);
  setitimer(ITIMER_REAL, &old_timer, nullptr);

  for (const LintResult& r : results) {
    EXPECT_NE(r.status, 2) << r.err;
    EXPECT_EQ(r.err.find("Interrupted"), std::string::npos) << r.err;
  }
}

TEST(LintCommand, RunsAsBrandsimLint) {
  fs::path delivery = fs::path(BRANDINST_SOURCE_DIR) / "examples" / "device" / "fs" / "Temp" / "branding";
  support::RunResult r = support::Brandsim({"lint", "--format", "json", delivery.string()});
  ASSERT_FALSE(r.timed_out);
  if (r.err.find("not available") != std::string::npos) {
    GTEST_SKIP() << "this brandsim is not linked with the linter yet";
  }
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "[]\n");
  support::TempDir dir;
  StageMixed(dir.path());
  support::RunResult failed = support::Brandsim({"lint", dir.path().string()});
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.out, RunLint({dir.path().string()}).out);
  EXPECT_EQ(support::Brandsim({"lint"}).status, 2);
}

}  // namespace
}  // namespace linttest
