#include "lint_helpers.h"

#include <gtest/gtest.h>

#include <sstream>

#include "linter.h"
#include "platform/host/text.h"

namespace linttest {

const char kBaseRegistry[] =
    "Windows Registry Editor Version 5.00\r\n\r\n"
    "[HKEY_CURRENT_USER\\Software\\Microsoft\\Today]\r\n"
    "\"Skin\"=\"\\\\Windows\\\\default.tsk\"\r\n"
    "\"UseStartImage\"=dword:00000001\r\n\r\n";

bool LintResult::Has(const std::string& code) const { return Find(code) != nullptr; }

const Finding* LintResult::Find(const std::string& code) const {
  for (const Finding& f : findings) {
    if (f.code == code) return &f;
  }
  return nullptr;
}

std::string LintResult::Summary() const {
  std::string text;
  for (const Finding& f : findings) {
    text += "\n  " + f.file + ":" + std::to_string(f.line) + " " + f.severity + " " + f.code +
            ": " + f.message;
  }
  if (!err.empty()) text += "\n  stderr: " + err;
  return text.empty() ? "(no findings)" : text;
}

std::vector<Finding> ParseFindings(const std::string& json) {
  std::vector<Finding> findings;
  std::istringstream in(json);
  std::string line;
  bool open = false, closed = false;
  while (std::getline(in, line)) {
    if (line == "[" || line == "[]") {
      open = true;
      closed = line == "[]";
      continue;
    }
    if (line == "]") {
      closed = true;
      continue;
    }
    if (!line.empty() && line.back() == ',') line.pop_back();
    JsonObject object = support::ParseJsonObject(line);
    Finding f;
    f.file = object["file"];
    f.line = static_cast<unsigned>(std::stoul(object["line"]));
    f.column = static_cast<unsigned>(std::stoul(object["column"]));
    f.severity = object["severity"];
    f.code = object["code"];
    f.message = object["message"];
    EXPECT_TRUE(f.severity == "error" || f.severity == "warning") << line;
    EXPECT_FALSE(f.code.empty()) << line;
    EXPECT_FALSE(f.message.empty()) << line;
    findings.push_back(f);
  }
  EXPECT_TRUE(open && closed) << "not a JSON array:\n" << json;
  return findings;
}

LintResult RunLint(const std::vector<std::string>& args, bool terminal) {
  std::ostringstream out, err;
  LintResult result;
  result.status = lint::RunLint(args, out, err, terminal);
  result.out = out.str();
  result.err = err.str();
  return result;
}

LintResult LintJson(const fs::path& delivery, const fs::path& device,
                    const std::vector<std::string>& more) {
  std::vector<std::string> args{"--format", "json"};
  args.insert(args.end(), more.begin(), more.end());
  if (!device.empty()) {
    args.push_back("--device");
    args.push_back(device.string());
  }
  args.push_back(delivery.string());
  LintResult result = RunLint(args);
  if (result.status == 0 || result.status == 1) result.findings = ParseFindings(result.out);
  bool error = false;
  for (const Finding& f : result.findings) error = error || f.severity == "error";
  EXPECT_EQ(result.status, error ? 1 : 0) << "the exit status follows the errors" << result.Summary();
  return result;
}

std::string Utf16Le(const std::u16string& text, bool mark) { return host::ToUtf16Le(text, mark); }

std::string Package(const cepkg::PackageSpec& spec) {
  cepkg::PackageSpec filled = spec;
  if (filled.files.empty() && filled.values.empty() && filled.links.empty()) {
    filled.files.push_back({"%InstallDir%", "readme.txt", 0, "Sample", 0});
  }
  return cepkg::WriteCabinet(cepkg::PackageMembers(filled, "PACKAGE"), cepkg::Compression::kNone);
}

cepkg::PackageSpec Installs(const std::string& dir, const std::string& name) {
  cepkg::PackageSpec spec;
  spec.files.push_back({dir, name, 0, "from the package", 0});
  return spec;
}

Scene::Scene() {
  device.Put("Windows/wceload.exe", "placeholder");
  fs::create_directories(device.fs() / "Windows" / "Favorites");
  support::WriteBytes(device.dir() / "registry.reg", kBaseRegistry);
}

void Scene::Stage(const Files& files) const {
  fs::create_directories(device.staging());
  for (const auto& [name, bytes] : files) device.Put("Temp/branding/" + name, bytes);
}

void Scene::Registry(const std::string& body) const {
  support::WriteBytes(device.dir() / "registry.reg", std::string(kBaseRegistry) + body);
}

void Scene::Run() {
  fs::path journal = device.dir() / "journal.jsonl";
  support::RunResult run = support::Brandsim({"--device", device.dir().string(), "--answer", "yes",
                                              "--quiet", "--journal", journal.string(), "inst"});
  ASSERT_FALSE(run.timed_out);
  ASSERT_EQ(run.status, 0) << run.err;
  events = support::ReadJournal(journal);
}

std::vector<JsonObject> Scene::Events(const std::string& name) const {
  std::vector<JsonObject> found;
  for (const JsonObject& e : events) {
    auto it = e.find("event");
    if (it != e.end() && it->second == name) found.push_back(e);
  }
  return found;
}

std::vector<std::string> Scene::CommandLines() const {
  std::vector<std::string> lines;
  for (JsonObject& e : Events("process")) lines.push_back(e["command_line"]);
  return lines;
}

std::vector<std::string> Scene::Sets(const std::string& name) const {
  std::vector<std::string> data;
  for (JsonObject& e : Events("reg_set")) {
    if (e["name"] != name) continue;
    const std::string& hex = e["data"];
    if (e["type"] != "1") {
      data.push_back(hex);
      continue;
    }
    std::u16string text;
    for (std::size_t i = 0; i + 3 < hex.size(); i += 4) {
      unsigned lo = static_cast<unsigned>(std::stoul(hex.substr(i, 2), nullptr, 16));
      unsigned hi = static_cast<unsigned>(std::stoul(hex.substr(i + 2, 2), nullptr, 16));
      text.push_back(static_cast<char16_t>(lo | hi << 8));
    }
    if (!text.empty() && text.back() == 0) text.pop_back();
    data.push_back(support::ToUtf8(text));
  }
  return data;
}

}  // namespace linttest
