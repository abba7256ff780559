#include "scenario.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "driver/driver.h"

namespace core_test {

const char kRegHeader[] = "Windows Registry Editor Version 5.00\r\n\r\n";
const char kGateKey[] = "[HKEY_CLASSES_ROOT\\CLSID\\{F15D7471-D623-11d2-BE64-008048FD5745}]\r\n\r\n";

Scenario::Scenario() {
  device.Put("Windows/wceload.exe", "placeholder");
  support::fs::create_directories(device.fs() / "Windows" / "Favorites");
  config.device = device.dir();
  config.answer = platform::kIdYes;
  config.quiet = true;
  config.journal = device.dir() / "journal.jsonl";
  // What the program calls, not what the package installer then does.
  config.start_only = true;
}

Scenario::~Scenario() {
  if (open_) Close();
}

void Scenario::Stage(const std::string& name, const std::string& bytes) const {
  device.Put("Temp/branding/" + name, bytes);
}

void Scenario::Registry(const std::string& body) const {
  device.SetRegistry(std::string(kRegHeader) + body);
}

void Scenario::Open() {
  std::string error;
  ASSERT_TRUE(host::OpenDevice(config, &error)) << error;
  open_ = true;
}

void Scenario::Close() {
  open_ = false;
  std::string error;
  EXPECT_TRUE(host::CloseDevice(&error)) << error;
  events = support::ReadJournal(config.journal);
}

void Scenario::Run(const char16_t* command_line) {
  Open();
  if (!open_) return;
  EXPECT_EQ(Entry(host::ProgramInstance(), platform::Instance{}, command_line, 0), 0);
  EXPECT_EQ(host::OpenHandleCount(), 0) << "the program left handles open";
  Close();
}

std::vector<JsonObject> Scenario::Events(const std::string& name) const {
  std::vector<JsonObject> found;
  for (const JsonObject& e : events) {
    auto it = e.find("event");
    if (it != e.end() && it->second == name) found.push_back(e);
  }
  return found;
}

std::string Scenario::Sequence() const {
  std::string out;
  for (const JsonObject& e : events) {
    auto it = e.find("event");
    if (it != e.end() && (it->second == "step" || it->second == "decision")) continue;
    if (!out.empty()) out += ' ';
    out += it == e.end() ? "?" : it->second;
  }
  return out;
}

host::RegistryStore Scenario::Store() const {
  host::RegistryStore store;
  std::string error;
  EXPECT_TRUE(store.Load(device.dir() / "registry.reg", &error)) << error;
  return store;
}

namespace {

std::shared_ptr<host::RegKey> FindKey(const host::RegistryStore& store, const std::string& key) {
  std::u16string path = support::FromUtf8(key);
  std::size_t slash = path.find(u'\\');
  std::u16string root = path.substr(0, slash);
  std::u16string rest = slash == std::u16string::npos ? u"" : path.substr(slash + 1);
  for (int r = 0; r < host::RegistryStore::kRootCount; ++r) {
    auto which = static_cast<host::RegistryStore::Root>(r);
    if (root == host::RegistryStore::RootName(which)) return store.Find(store.root(which), rest);
  }
  return nullptr;
}

}  // namespace

std::string Scenario::Value(const std::string& key, const std::u16string& name) const {
  host::RegistryStore store = Store();
  auto k = FindKey(store, key);
  if (!k) return "<missing>";
  std::optional<host::RegValue> v = store.GetValue(k.get(), name);
  if (!v) return "<missing>";
  if (v->type == platform::kRegSz && v->data.size() % 2 == 0 && v->data.size() >= 2) {
    std::u16string text;
    for (std::size_t i = 0; i + 1 < v->data.size(); i += 2) {
      text.push_back(static_cast<char16_t>(v->data[i] | (v->data[i + 1] << 8)));
    }
    if (text.back() == 0) {
      text.pop_back();
      return support::ToUtf8(text);
    }
  }
  return support::Hex(v->data);
}

bool Scenario::KeyExists(const std::string& key) const { return FindKey(Store(), key) != nullptr; }

}  // namespace core_test
