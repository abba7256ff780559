// The setup manifest of a package, laid out as the device's package
// installer reads it (src/platform/host/manifest.h describes the layout):
// the header, the application name, the provider, the unsupported list, then
// STRINGS, DIRS, FILES, REGHIVES, REGKEYS and LINKS, one after another.
#include <cstdio>
#include <map>
#include <set>
#include <stdexcept>
#include <utility>

#include "package_writer.h"

namespace cepkg {

namespace {

constexpr std::size_t kHeaderSize = 100;

void Put16(std::string* out, std::uint16_t value) {
  out->push_back(static_cast<char>(value & 0xFF));
  out->push_back(static_cast<char>(value >> 8));
}

void Put32(std::string* out, std::uint32_t value) {
  Put16(out, static_cast<std::uint16_t>(value & 0xFFFF));
  Put16(out, static_cast<std::uint16_t>(value >> 16));
}

void Set16(std::string* out, std::size_t at, std::uint16_t value) {
  (*out)[at] = static_cast<char>(value & 0xFF);
  (*out)[at + 1] = static_cast<char>(value >> 8);
}

void Set32(std::string* out, std::size_t at, std::uint32_t value) {
  Set16(out, at, static_cast<std::uint16_t>(value & 0xFFFF));
  Set16(out, at + 2, static_cast<std::uint16_t>(value >> 16));
}

// Counts, lengths and ids are 16 bits wide: a spec that needs more cannot be
// written, and silently wrapping would write a different package.
std::uint16_t Narrow(std::size_t value, const char* what) {
  if (value > 0xFFFF) {
    throw std::length_error(std::string("manifest: ") + what + " " + std::to_string(value) +
                            " does not fit 16 bits");
  }
  return static_cast<std::uint16_t>(value);
}

// A path split at `\`; an empty path has no parts at all.
std::vector<std::string> Split(const std::string& path) {
  std::vector<std::string> parts;
  if (path.empty()) return parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = path.find('\\', start);
    parts.push_back(path.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

// Each distinct text once, numbered from 1 in the order first asked for.
class StringTable {
 public:
  std::uint16_t Intern(const std::string& text) {
    auto found = ids_.find(text);
    if (found != ids_.end()) return found->second;
    std::uint16_t id = Narrow(texts_.size() + 1, "string id");
    ids_.emplace(text, id);
    texts_.push_back(text);
    return id;
  }
  std::vector<std::uint16_t> Path(const std::string& path) {
    std::vector<std::uint16_t> ids;
    for (const std::string& part : Split(path)) ids.push_back(Intern(part));
    return ids;
  }
  const std::vector<std::string>& texts() const { return texts_; }

 private:
  std::map<std::string, std::uint16_t> ids_;
  std::vector<std::string> texts_;
};

// Distinct keys numbered from 1 in the order first asked for.
template <typename Key>
class Numbering {
 public:
  std::uint16_t Id(const Key& key) {
    auto found = ids_.find(key);
    if (found != ids_.end()) return found->second;
    std::uint16_t id = Narrow(keys_.size() + 1, "id");
    ids_.emplace(key, id);
    keys_.push_back(key);
    return id;
  }
  const std::vector<Key>& keys() const { return keys_; }

 private:
  std::map<Key, std::uint16_t> ids_;
  std::vector<Key> keys_;
};

// The member number of each of spec.files: its own, or the next one from 1
// that no file claims for itself.
std::vector<std::uint16_t> FileNumbers(const PackageSpec& spec) {
  std::set<std::uint16_t> taken;
  for (const auto& file : spec.files) {
    if (file.member != 0) taken.insert(file.member);
  }
  std::vector<std::uint16_t> numbers;
  std::uint16_t next = 1;
  for (const auto& file : spec.files) {
    if (file.member != 0) {
      numbers.push_back(file.member);
      continue;
    }
    while (taken.count(next) != 0) ++next;
    taken.insert(next);
    numbers.push_back(next);
  }
  return numbers;
}

// A string list: the ids, then the 0 that ends it.
void PutParts(std::string* out, const std::vector<std::uint16_t>& parts) {
  Put16(out, Narrow(2 * (parts.size() + 1), "string list length"));
  for (std::uint16_t id : parts) Put16(out, id);
  Put16(out, 0);
}

// A text of the header's (offset, length) fields at `field`; none when empty.
void PutHeaderText(std::string* out, std::size_t field, const std::string& bytes) {
  std::uint16_t at = Narrow(bytes.empty() ? 0 : out->size(), "header text offset");
  Set16(out, field, at);
  Set16(out, field + 2, Narrow(bytes.size(), "header text length"));
  *out += bytes;
}

}  // namespace

std::string SzData(const std::string& text) { return text + '\0'; }

std::string MultiSzData(const std::vector<std::string>& strings) {
  std::string data;
  for (const std::string& text : strings) data += text + '\0';
  return data + '\0';
}

std::string DwordData(std::uint32_t value) {
  std::string data;
  Put32(&data, value);
  return data;
}

std::string WriteManifest(const PackageSpec& spec) {
  // Number everything first: links add folders, and every section needs
  // its strings before the STRINGS section is written.
  StringTable strings;
  Numbering<std::string> dirs;
  std::vector<std::uint16_t> file_dirs;
  for (const auto& file : spec.files) file_dirs.push_back(dirs.Id(file.dir));
  const std::vector<std::uint16_t> numbers = FileNumbers(spec);

  Numbering<std::pair<std::uint16_t, std::string>> hives;
  std::vector<std::uint16_t> value_hives;
  for (const auto& value : spec.values) value_hives.push_back(hives.Id({value.root, value.key}));

  std::vector<std::uint16_t> link_targets;
  for (const auto& link : spec.links) {
    std::uint16_t target = 0;  // a file the package does not install: nothing the parser takes
    if (link.type == 1) {
      for (std::size_t i = 0; i < spec.files.size(); ++i) {
        if (spec.files[i].name == link.target) {
          target = numbers[i];
          break;
        }
      }
    } else {
      target = dirs.Id(link.target);
    }
    link_targets.push_back(target);
  }

  std::vector<std::vector<std::uint16_t>> dir_parts, hive_parts, link_parts;
  for (const std::string& dir : dirs.keys()) dir_parts.push_back(strings.Path(dir));
  for (const auto& hive : hives.keys()) hive_parts.push_back(strings.Path(hive.second));
  for (const auto& link : spec.links) link_parts.push_back(strings.Path(link.name));

  std::string out(kHeaderSize, '\0');
  out.replace(0, 4, "MSCE");
  // Offsets 4, 12, 16, 96 and 98 hold values whose meaning nobody has
  // documented; the device's installer is not known to read them: 0.
  Set32(&out, 20, spec.processor);
  Set32(&out, 24, spec.min_major);
  Set32(&out, 28, spec.min_minor);
  Set32(&out, 32, spec.max_major);
  Set32(&out, 36, spec.max_minor);
  Set32(&out, 40, spec.min_build);
  Set32(&out, 44, spec.max_build);

  PutHeaderText(&out, 84, spec.app_name.empty() ? std::string() : SzData(spec.app_name));
  PutHeaderText(&out, 88, spec.provider.empty() ? std::string() : SzData(spec.provider));
  PutHeaderText(&out, 92, spec.unsupported.empty() ? std::string() : MultiSzData(spec.unsupported));

  // Each section: its count at 48 + 2n and its offset at 60 + 4n.
  auto begin_section = [&out](int n, std::size_t count) {
    Set16(&out, static_cast<std::size_t>(48 + 2 * n), Narrow(count, "entry count"));
    Set32(&out, static_cast<std::size_t>(60 + 4 * n), static_cast<std::uint32_t>(out.size()));
  };

  begin_section(0, strings.texts().size());
  for (std::size_t i = 0; i < strings.texts().size(); ++i) {
    const std::string& text = strings.texts()[i];
    Put16(&out, static_cast<std::uint16_t>(i + 1));
    Put16(&out, Narrow(text.size() + 1, "string length"));
    out += SzData(text);
  }

  begin_section(1, dirs.keys().size());
  for (std::size_t i = 0; i < dirs.keys().size(); ++i) {
    Put16(&out, static_cast<std::uint16_t>(i + 1));
    PutParts(&out, dir_parts[i]);
  }

  begin_section(2, spec.files.size());
  for (std::size_t i = 0; i < spec.files.size(); ++i) {
    const auto& file = spec.files[i];
    Put16(&out, numbers[i]);
    Put16(&out, file_dirs[i]);
    Put16(&out, 0);
    Put32(&out, file.flags);
    Put16(&out, Narrow(file.name.size() + 1, "file name length"));
    out += SzData(file.name);
  }

  begin_section(3, hives.keys().size());
  for (std::size_t i = 0; i < hives.keys().size(); ++i) {
    Put16(&out, static_cast<std::uint16_t>(i + 1));
    Put16(&out, hives.keys()[i].first);
    Put16(&out, 0);
    PutParts(&out, hive_parts[i]);
  }

  begin_section(4, spec.values.size());
  for (std::size_t i = 0; i < spec.values.size(); ++i) {
    const auto& value = spec.values[i];
    Put16(&out, Narrow(i + 1, "value id"));
    Put16(&out, value_hives[i]);
    Put16(&out, value.substitute);
    Put32(&out, value.flags);
    Put16(&out, Narrow(value.name.size() + 1 + value.data.size(), "value length"));
    out += SzData(value.name);
    out += value.data;
  }

  begin_section(5, spec.links.size());
  for (std::size_t i = 0; i < spec.links.size(); ++i) {
    const auto& link = spec.links[i];
    Put16(&out, Narrow(i + 1, "link id"));
    Put16(&out, 0);
    Put16(&out, link.base);
    Put16(&out, link_targets[i]);
    Put16(&out, link.type);
    PutParts(&out, link_parts[i]);
  }

  Set32(&out, 8, static_cast<std::uint32_t>(out.size()));
  return out;
}

std::vector<Member> PackageMembers(const PackageSpec& spec, const std::string& base) {
  // The device finds members by their three-digit extension; the 8.3 name
  // leaves eight characters before it.
  if (base.empty() || base.size() > 8) {
    throw std::invalid_argument("package member base \"" + base + "\" is not 1 to 8 characters");
  }
  auto name = [&base](unsigned number) {
    char extension[16];
    std::snprintf(extension, sizeof extension, ".%03u", number);
    return base + extension;
  };
  std::vector<Member> members;
  members.push_back({name(0), WriteManifest(spec)});
  const std::vector<std::uint16_t> numbers = FileNumbers(spec);
  for (std::size_t i = 0; i < spec.files.size(); ++i) {
    members.push_back({name(numbers[i]), spec.files[i].content});
  }
  if (!spec.setup_dll.empty()) members.push_back({name(999), spec.setup_dll});
  return members;
}

}  // namespace cepkg
