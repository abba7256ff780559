#include "host/host_fixture.h"

#include <sys/stat.h>

namespace hosttest {

HostTest::HostTest() {
  config.device = device.dir();
  config.quiet = true;
  journal_file = scratch.path() / "journal.jsonl";
  config.journal = journal_file;
}

void HostTest::TearDown() {
  if (open) Close();
}

::testing::AssertionResult HostTest::Open() {
  std::string error;
  if (!host::OpenDevice(config, &error)) {
    return ::testing::AssertionFailure() << "OpenDevice: " << error;
  }
  open = true;
  return ::testing::AssertionSuccess();
}

std::string HostTest::Close() {
  open = false;
  std::string error;
  if (host::CloseDevice(&error)) return {};
  return error.empty() ? "CloseDevice failed without a message" : error;
}

std::vector<simtest::JsonObject> HostTest::Journal() const {
  std::vector<simtest::JsonObject> objects;
  for (const std::string& line : support::ReadLines(journal_file)) {
    simtest::JsonObject object;
    std::string error;
    EXPECT_TRUE(simtest::ParseJsonObject(line, &object, &error)) << error << ": " << line;
    objects.push_back(object);
  }
  return objects;
}

std::vector<simtest::JsonObject> HostTest::Events(const std::string& event) const {
  std::vector<simtest::JsonObject> found;
  for (const simtest::JsonObject& object : Journal()) {
    auto it = object.find("event");
    if (it != object.end() && it->second.text == event) found.push_back(object);
  }
  return found;
}

std::vector<std::pair<std::string, std::uint32_t>> HostTest::List(const std::u16string& pattern) {
  std::vector<std::pair<std::string, std::uint32_t>> names;
  platform::FindData data;
  platform::Handle find = platform::FindFirstFileW(pattern.c_str(), &data);
  if (find == platform::kInvalidHandleValue) return names;
  do {
    names.emplace_back(S(data.cFileName), data.dwFileAttributes);
  } while (platform::FindNextFileW(find, &data));
  EXPECT_TRUE(platform::FindClose(find));
  return names;
}

bool HostTest::ReadDeviceFile(const std::u16string& path, std::string* bytes) {
  bytes->clear();
  platform::Handle file = platform::CreateFileW(
      path.c_str(), platform::kGenericRead, platform::kFileShareRead, nullptr,
      platform::kOpenExisting, platform::kFileAttributeNormal, platform::kNullHandle);
  if (file == platform::kInvalidHandleValue) return false;
  char buffer[7];  // small on purpose: several reads per file
  std::uint32_t read = 0;
  while (platform::ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) {
    bytes->append(buffer, read);
  }
  EXPECT_EQ(read, 0u);
  EXPECT_TRUE(platform::CloseHandle(file));
  return true;
}

std::set<std::string> Fields(const simtest::JsonObject& object) {
  std::set<std::string> names;
  for (const auto& member : object) names.insert(member.first);
  return names;
}

bool Snapshot::operator==(const Snapshot& other) const {
  return exists == other.exists && bytes == other.bytes && mode == other.mode &&
         mtime.tv_sec == other.mtime.tv_sec && mtime.tv_nsec == other.mtime.tv_nsec;
}

Snapshot Take(const fs::path& file) {
  Snapshot s;
  struct stat st;
  if (lstat(file.c_str(), &st) != 0) return s;
  s.exists = true;
  s.mode = st.st_mode;
  s.mtime = st.st_mtim;
  if (S_ISREG(st.st_mode)) s.bytes = support::ReadBytes(file);
  return s;
}

std::u16string U(const std::string& utf8) { return support::FromUtf8(utf8); }
std::string S(const std::u16string& text) { return support::ToUtf8(text); }
std::string S(const char16_t* text) { return support::ToUtf8(text); }

}  // namespace hosttest
