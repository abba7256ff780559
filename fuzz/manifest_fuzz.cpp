// A package's setup manifest as arbitrary bytes: the parser either refuses it
// with one line, or every reference in what it read leads somewhere, every
// file number is a member's, and no path can climb out of its folder.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "check.h"
#include "platform/host/manifest.h"

namespace {

bool HasDotComponent(const std::string& path) {
  std::size_t start = 0;
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '\\' || path[i] == '/') {
      std::string component = path.substr(start, i - start);
      if (component == "." || component == "..") return true;
      start = i + 1;
    }
  }
  return false;
}

// The path a string list names, from the strings the manifest holds.
std::string Joined(const cepkg::Manifest& m, const std::vector<std::uint16_t>& parts) {
  std::string path;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const cepkg::String* string = m.FindString(parts[i]);
    FUZZ_CHECK(string != nullptr);
    if (i > 0) path += '\\';
    path += string->text;
  }
  return path;
}

void CheckPath(const cepkg::Manifest& m, const std::vector<std::uint16_t>& parts,
               const std::string& path) {
  FUZZ_CHECK(Joined(m, parts) == path);
  FUZZ_CHECK(!HasDotComponent(path));
  for (char c : path) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  cepkg::Manifest m;
  std::string error;
  if (!cepkg::ParseManifest(data, size, &m, &error)) {
    FUZZ_CHECK(!error.empty());
    FUZZ_CHECK(error.find('\n') == std::string::npos);
    return 0;
  }
  FUZZ_CHECK(m.length >= 100 && m.length <= size);
  for (const auto& dir : m.dirs) {
    FUZZ_CHECK(m.FindDir(dir.id) == &dir);
    FUZZ_CHECK(!dir.path.empty());
    CheckPath(m, dir.parts, dir.path);
  }
  std::set<std::uint16_t> numbers;
  for (const auto& file : m.files) {
    FUZZ_CHECK(file.id >= 1 && file.id <= 998);
    FUZZ_CHECK(numbers.insert(file.id).second);
    FUZZ_CHECK(m.FindDir(file.dir) != nullptr);
    FUZZ_CHECK(!file.name.empty() && file.name != "." && file.name != "..");
    FUZZ_CHECK(file.name.find_first_of("\\/:") == std::string::npos);
  }
  for (const auto& hive : m.hives) {
    FUZZ_CHECK(m.FindHive(hive.id) == &hive);
    FUZZ_CHECK(hive.root >= 1 && hive.root <= 4);
    CheckPath(m, hive.parts, hive.path);
  }
  for (const auto& value : m.values) {
    FUZZ_CHECK(m.FindHive(value.hive) != nullptr);
    if (value.type() == cepkg::kRegTypeDword) FUZZ_CHECK(value.data.size() == 4);
  }
  for (const auto& link : m.links) {
    FUZZ_CHECK(link.base <= 17);
    if (link.type == cepkg::kLinkFile) {
      FUZZ_CHECK(m.FindFile(link.target) != nullptr);
    } else {
      FUZZ_CHECK(link.type == cepkg::kLinkFolder);
      FUZZ_CHECK(m.FindDir(link.target) != nullptr);
    }
    FUZZ_CHECK(!link.name.empty());
    CheckPath(m, link.parts, link.name);
  }
  cepkg::ProcessorName(m.processor);
  return 0;
}
