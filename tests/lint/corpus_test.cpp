// Real files and garbage: the sample delivery lints clean, registry scripts
// written by real tools produce no false finding, and no input crashes the
// linter or keeps it busy.
#include <gtest/gtest.h>

#include <chrono>
#include <random>

#include "lint_helpers.h"

namespace linttest {
namespace {

fs::path Corpus(const char* kind) { return fs::path(BRANDINST_CORPUS_DIR) / kind; }

std::vector<fs::path> CorpusFiles(const char* kind) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (fs::directory_iterator it(Corpus(kind), ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Lines that start a value: what a script that the device reads whole writes.
std::size_t ValueLines(const std::string& bytes) {
  std::size_t count = 0;
  bool start = true;
  for (char c : bytes) {
    if (start && (c == '"' || c == '@')) ++count;
    start = c == '\n';
  }
  return count;
}

TEST(SampleDelivery, LintsClean) {
  fs::path device = fs::path(BRANDINST_SOURCE_DIR) / "examples" / "device";
  fs::path delivery = device / "fs" / "Temp" / "branding";
  ASSERT_TRUE(fs::is_directory(delivery));
  LintResult alone = LintJson(delivery);
  EXPECT_TRUE(alone.findings.empty()) << alone.Summary();
  LintResult against = LintJson(delivery, device);
  EXPECT_TRUE(against.findings.empty()) << against.Summary();
}

// The codes of the findings, in order.
std::vector<std::string> Codes(const LintResult& result) {
  std::vector<std::string> codes;
  for (const Finding& f : result.findings) codes.push_back(f.code);
  return codes;
}

// A delivery of a script alone has no brand.ini, and is told so.
const std::vector<std::string> kNoSettings = {"ini-missing"};

// Scripts from handheld projects that the device applies as written.
const char* const kCleanScripts[] = {
    "wm_funckeys_noblank.reg",         "wm_ihookidle_cn51.reg",
    "wm_ihookremapkeys4_hexcont.reg",  "wm_ilock517_ansi.reg",
    "wm_keytoggleboot330_de_ansi.reg", "wm_rebootdialog2_en.reg",
    "wm_system_events.reg",            "desk_debloat_lower_ram_hex.reg",
    "desk_mssample_wmp_debugon_trailing_blank.reg",
};

TEST(RealScripts, CleanOnesHaveNoFindingAndAreAppliedWhole) {
  if (!fs::is_directory(Corpus("reg"))) GTEST_SKIP() << "no corpus of real scripts here";
  for (const char* name : kCleanScripts) {
    SCOPED_TRACE(name);
    std::string bytes = support::ReadBytes(Corpus("reg") / name);
    Scene scene;
    scene.Stage({{name, bytes}});
    LintResult result = LintJson(scene.device.staging());
    EXPECT_EQ(Codes(result), kNoSettings) << result.Summary();
    // Nothing said of the script: every value line of it is written.
    scene.Run();
    EXPECT_EQ(scene.Events("reg_set").size(), ValueLines(bytes));
  }
}

TEST(RealScripts, Utf16ExportsAreReportedAndChangeNothing) {
  if (!fs::is_directory(Corpus("reg"))) GTEST_SKIP() << "no corpus of real scripts here";
  int seen = 0;
  for (const fs::path& file : CorpusFiles("reg")) {
    if (file.filename().string().find("utf16le") == std::string::npos) continue;
    SCOPED_TRACE(file.filename().string());
    ++seen;
    Scene scene;
    scene.Stage({{file.filename().string(), support::ReadBytes(file)}});
    LintResult result = LintJson(scene.device.staging());
    EXPECT_EQ(Codes(result), (std::vector<std::string>{"reg-utf16", "ini-missing"}))
        << result.Summary();
    scene.Run();
    EXPECT_TRUE(scene.Events("reg_create").empty());
    EXPECT_TRUE(scene.Events("reg_set").empty());
  }
  EXPECT_GT(seen, 0);
}

// A script of regedit's 8-bit export layout: a blank line after each key,
// continued hex lines, default values, numbers.
TEST(RealScripts, RegeditExportLayoutHasNoFinding) {
  const std::string script =
      "REGEDIT4\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Brand]\r\n"
      "@=\"Brand\"\r\n"
      "\"Path\"=\"\\Windows\\brand.exe\"\r\n"
      "\"Flags\"=dword:0000001f\r\n"
      "\"Blob\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\r\n"
      "  16,17,18,19,1a,1b,1c,1d,1e,1f\r\n"
      "\"Empty\"=hex:\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Brand\\Sub]\r\n"
      "\r\n"
      "[HKEY_CURRENT_USER\\Software\\Brand]\r\n"
      "\"Name\"=\"Zna\xE8ka\"\r\n"
      "\r\n";
  Scene scene;
  scene.Stage({{"brand.reg", script}});
  LintResult result = LintJson(scene.device.staging());
  EXPECT_EQ(Codes(result), kNoSettings) << result.Summary();
  scene.Run();
  EXPECT_EQ(scene.Events("reg_create").size(), 3u);
  EXPECT_EQ(scene.Events("reg_set").size(), ValueLines(script));
}

TEST(RealScripts, EveryCorpusFileLintsWithoutTrouble) {
  for (const char* kind : {"reg", "ini"}) {
    for (const fs::path& file : CorpusFiles(kind)) {
      SCOPED_TRACE(file.filename().string());
      support::TempDir dir;
      // A settings file from another program stands in for brand.ini.
      std::string name = std::string(kind) == "ini" ? "brand.ini" : file.filename().string();
      support::WriteBytes(dir.path() / name, support::ReadBytes(file));
      auto start = std::chrono::steady_clock::now();
      LintResult result = LintJson(dir.path());
      EXPECT_TRUE(result.status == 0 || result.status == 1) << result.err;
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
      if (file.filename().string().find("utf16le") != std::string::npos) {
        EXPECT_TRUE(result.Has(std::string(kind) == "ini" ? "ini-utf16" : "reg-utf16")) << result.Summary();
      }
    }
  }
}

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& b : bytes) b = static_cast<char>(random() & 0xFF);
  return bytes;
}

TEST(Garbage, FindingsOrNothingNeverACrashAndBoundedInTime) {
  struct Input {
    const char* what;
    Files files;
  };
  std::string huge_line(10 << 20, 'x');
  std::vector<Input> inputs = {
      {"binary everywhere",
       {{"brand.ini", RandomBytes(300000, 1)}, {"a.reg", RandomBytes(300000, 2)},
        {"inst.msg", RandomBytes(3001, 3)}, {"reboot.msg", RandomBytes(1, 4)},
        {"x.hp", RandomBytes(10, 5)}, {"logo.gif", RandomBytes(100, 6)}}},
      {"10 MB lines",
       {{"brand.ini", "[ADDITIONAL_CABS]\ncab0=\"" + huge_line + "\"\n[HOMEPAGE]\n" + huge_line},
        {"a.reg", "[HKEY_LOCAL_MACHINE\\A]\n\"n\"=hex:" + huge_line + "\n\"s\"=\"" + huge_line}}},
      {"NUL bytes",
       {{"brand.ini", std::string(10 << 20, '\0')}, {"a.reg", std::string(1 << 20, '\0') + "\n\n"},
        {"inst.msg", std::string(600, '\0')}}},
      {"only line breaks",
       {{"brand.ini", std::string(5 << 20, '\n')}, {"a.reg", std::string(5 << 20, '\n')}}},
      {"many entries",
       {{"brand.ini", [] {
          std::string ini = "[ADDITIONAL_CABS]\n";
          for (int n = 0; n < 200000; ++n) ini += "cab" + std::to_string(n) + "=\"a.cab\"\n";
          return ini;
        }()},
        {"a.cab", "c"}}},
      {"continuations without end",
       {{"a.reg", [] {
          std::string reg = "[HKEY_LOCAL_MACHINE\\A]\n\"n\"=hex:";
          for (int n = 0; n < 100000; ++n) reg += "ff,ff,\\\n";
          return reg;
        }()}}},
  };
  for (const Input& input : inputs) {
    SCOPED_TRACE(input.what);
    support::TempDir dir;
    for (const auto& [name, bytes] : input.files) support::WriteBytes(dir.path() / name, bytes);
    auto start = std::chrono::steady_clock::now();
    LintResult result = LintJson(dir.path());
    EXPECT_TRUE(result.status == 0 || result.status == 1) << result.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    // A flood of findings is cut per file, and says so.
    std::map<std::string, int> per_file;
    for (const Finding& f : result.findings) ++per_file[f.file];
    for (const auto& [file, count] : per_file) EXPECT_LE(count, 201) << file;
  }
}

TEST(Garbage, FloodsAreCutAndSaidSo) {
  support::TempDir dir;
  std::string reg = "[HKEY_LOCAL_MACHINE\\A]\n";
  for (int n = 0; n < 1000; ++n) reg += "\"n\"=DWORD:1\n";
  support::WriteBytes(dir.path() / "b.reg", reg);
  std::string ini = "[ADDITIONAL_CABS]\n";
  for (int n = 0; n < 200000; ++n) ini += "cab" + std::to_string(n) + "=\"a.cab\"\n";
  support::WriteBytes(dir.path() / "brand.ini", ini);
  support::WriteBytes(dir.path() / "a.cab", "c");
  LintResult result = LintJson(dir.path());
  EXPECT_EQ(result.status, 1) << "errors past the cut still count";
  const Finding* more = result.Find("lint-more");
  ASSERT_NE(more, nullptr) << result.Summary();
  EXPECT_NE(more->message.find("800 more findings"), std::string::npos) << more->message;
  EXPECT_TRUE(result.Has("lint-incomplete")) << result.Summary();
  EXPECT_TRUE(result.Has("ini-large")) << result.Summary();
}

}  // namespace
}  // namespace linttest
