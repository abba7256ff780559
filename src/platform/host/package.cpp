#include "platform/host/package.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/host/cabinet.h"
#include "platform/host/registry_store.h"
#include "platform/host/text.h"
#include "platform/platform.h"
#include "registry/roots.h"

namespace cepkg {

namespace {

// A manifest larger than this is not one a device installer would read.
constexpr std::size_t kMaxManifest = 16u << 20;

char16_t Lower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(static_cast<unsigned char>(a[i])) != Lower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

bool EndsWithNoCase(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && EqualNoCase(text.substr(text.size() - tail.size()), tail);
}

std::string Version(std::uint32_t major, std::uint32_t minor) {
  return std::to_string(major) + "." + std::to_string(minor);
}

std::string ProcessorText(std::uint32_t processor) {
  const char* name = ProcessorName(processor);
  return std::string(name != nullptr ? name : "an unknown processor") + " (" +
         std::to_string(processor) + ")";
}

// A %CEn% or %InstallDir% macro at the start of a folder path, as 8-bit
// text; false when it names no folder of this device.
bool ExpandMacro(std::string_view macro, const std::string& install_dir, std::string* out) {
  if (EqualNoCase(macro, "%InstallDir%")) {
    *out = install_dir;
    return true;
  }
  if (macro.size() < 5 || !EqualNoCase(macro.substr(0, 3), "%CE") || macro.back() != '%') {
    return false;
  }
  std::string_view digits = macro.substr(3, macro.size() - 4);
  if (digits.empty() || digits.size() > 2 ||
      digits.find_first_not_of("0123456789") != std::string_view::npos) {
    return false;
  }
  const char16_t* folder = StandardFolder(std::stoi(std::string(digits)));
  if (folder == nullptr) return false;
  out->clear();
  for (const char16_t* c = folder; *c != 0; ++c) out->push_back(static_cast<char>(*c));
  return true;
}

// A manifest folder path on the device, as 8-bit text: a leading macro
// expanded, an absolute path kept, anything else below the install folder.
bool ExpandFolder(const std::string& path, const std::string& install_dir, std::string* out,
                  std::string* reason) {
  if (!path.empty() && path[0] == '%') {
    std::size_t end = path.find('\\');
    std::string_view macro = std::string_view(path).substr(0, end);
    if (!ExpandMacro(macro, install_dir, out)) {
      *reason = "the folder " + std::string(macro) + " is not defined on this device";
      return false;
    }
    if (end != std::string::npos) *out += path.substr(end);
  } else if (!path.empty() && path[0] == '\\') {
    *out = path;
  } else {
    *out = path.empty() ? install_dir : install_dir + "\\" + path;
  }
  // A folder of the device holds no empty names.
  std::string squeezed;
  for (char c : *out) {
    if (c == '\\' && !squeezed.empty() && squeezed.back() == '\\') continue;
    squeezed.push_back(c);
  }
  while (squeezed.size() > 1 && squeezed.back() == '\\') squeezed.pop_back();
  if (squeezed.empty() || squeezed[0] != '\\') squeezed.insert(squeezed.begin(), '\\');
  *out = squeezed;
  return true;
}

std::string Join(const std::string& folder, const std::string& name) {
  return folder == "\\" ? folder + name : folder + "\\" + name;
}

// Strings in the manifest substituted as the device does when a value asks
// for it: %InstallDir% and %CEn% anywhere in the text.
std::string Substitute(const std::string& text, const std::string& install_dir) {
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t end = text[i] == '%' ? text.find('%', i + 1) : std::string::npos;
    std::string expanded;
    if (end != std::string::npos &&
        ExpandMacro(std::string_view(text).substr(i, end + 1 - i), install_dir, &expanded)) {
      out += expanded;
      i = end + 1;
    } else {
      out.push_back(text[i++]);
    }
  }
  return out;
}

void PlanValue(const Manifest& manifest, const RegValue& value, const std::string& install_dir,
               PlannedValue* planned) {
  planned->value = &value;
  const Hive* hive = manifest.FindHive(value.hive);
  planned->root = hive != nullptr ? hive->root : 0;
  const RegistryRoot* root = RootByManifest(planned->root);
  if (root != nullptr) planned->root_name = root->name;
  planned->key = hive != nullptr ? host::DecodeCp1250(hive->path) : u"";
  planned->name = host::DecodeCp1250(value.name);
  planned->keep_existing = (value.flags & kRegKeepExisting) != 0;
  if (root != nullptr && root->key == platform::kNullKey) {
    planned->refusal = {true, "HKEY_USERS is not part of this device's registry"};
  }
  auto text = [&](const std::string& bytes) {
    std::string cut = bytes.substr(0, bytes.find('\0'));
    return host::DecodeCp1250(value.substitute != 0 ? Substitute(cut, install_dir) : cut);
  };
  switch (value.type()) {
    case kRegTypeSz:
      planned->type = platform::kRegSz;
      host::AppendStringData(text(value.data), &planned->data);
      break;
    case kRegTypeMultiSz: {
      planned->type = platform::kRegMultiSz;
      std::size_t start = 0;
      while (start < value.data.size()) {
        std::size_t end = value.data.find('\0', start);
        if (end == std::string::npos) end = value.data.size();
        if (end == start) break;  // the empty string that ends the list
        host::AppendStringData(text(value.data.substr(start, end - start)), &planned->data);
        start = end + 1;
      }
      planned->data.push_back(0);
      planned->data.push_back(0);
      break;
    }
    case kRegTypeDword:
      planned->type = platform::kRegDword;
      if (value.data.size() != 4 && !planned->refusal.refused) {
        planned->refusal = {true, "a DWORD value needs 4 bytes of data; the manifest gives " +
                                      std::to_string(value.data.size())};
      }
      planned->data.assign(value.data.begin(), value.data.end());
      break;
    default:
      planned->type = platform::kRegBinary;
      planned->data.assign(value.data.begin(), value.data.end());
      break;
  }
}

}  // namespace

std::string DeviceProfile::Describe() const {
  return ProcessorText(processor) + ", Windows CE " + Version(major, minor) + " build " +
         std::to_string(build) + ", platform " + platform;
}

bool LoadDeviceProfile(const std::filesystem::path& file, DeviceProfile* profile,
                       std::string* error) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::error_code ec;
    if (!std::filesystem::exists(std::filesystem::symlink_status(file, ec))) return true;
    *error = file.string() + ": cannot be read";
    return false;
  }
  DeviceProfile read = *profile;
  std::string line;
  int number = 0;
  auto fail = [&](const std::string& what) {
    *error = file.string() + ":" + std::to_string(number) + ": " + what;
    return false;
  };
  auto parse_number = [](const std::string& text, std::uint32_t* out) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) {
      return false;
    }
    *out = static_cast<std::uint32_t>(std::stoul(text));
    return true;
  };
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == ';' || line[first] == '#') continue;
    std::size_t eq = line.find('=');
    if (eq == std::string::npos) return fail("expected key=value");
    auto trim = [](std::string s) {
      s.erase(0, s.find_first_not_of(" \t"));
      s.erase(s.find_last_not_of(" \t") + 1);
      return s;
    };
    std::string key = trim(line.substr(0, eq));
    std::string value = trim(line.substr(eq + 1));
    if (key == "processor") {
      if (!parse_number(value, &read.processor)) return fail("processor: expected a number");
    } else if (key == "version") {
      std::size_t dot = value.find('.');
      if (dot == std::string::npos || !parse_number(value.substr(0, dot), &read.major) ||
          !parse_number(value.substr(dot + 1), &read.minor)) {
        return fail("version: expected MAJOR.MINOR, e.g. 3.0");
      }
    } else if (key == "build") {
      if (!parse_number(value, &read.build)) return fail("build: expected a number");
    } else if (key == "platform") {
      read.platform = value;
    } else {
      return fail("unknown key '" + key + "' (known: processor, version, build, platform)");
    }
  }
  *profile = read;
  return true;
}

bool ParseInstallerCommand(std::u16string_view line, InstallerCommand* command,
                           std::string* error) {
  std::vector<std::u16string> words;
  std::size_t i = 0;
  while (i < line.size()) {
    if (line[i] == u' ' || line[i] == u'\t') {
      ++i;
      continue;
    }
    std::u16string word;
    if (line[i] == u'"') {
      std::size_t end = line.find(u'"', i + 1);
      if (end == std::u16string_view::npos) end = line.size();
      word = std::u16string(line.substr(i + 1, end - i - 1));
      words.push_back(word);
      i = end + 1;
      continue;
    }
    while (i < line.size() && line[i] != u' ' && line[i] != u'\t') word.push_back(line[i++]);
    words.push_back(word);
  }
  bool named = false;
  for (std::size_t w = 0; w < words.size(); ++w) {
    std::u16string lower;
    for (char16_t c : words[w]) lower.push_back(Lower(c));
    if (!lower.empty() && lower[0] == u'/') {
      if (lower == u"/noui") {
        command->no_ui = true;
      } else if (lower == u"/safe") {
        command->safe = true;
      } else if (lower == u"/nouninstall") {
        command->no_uninstall = true;
      } else if (lower == u"/delete" && w + 1 < words.size() &&
                 (words[w + 1] == u"0" || words[w + 1] == u"1")) {
        command->delete_after = words[++w] == u"1";
      } else {
        command->ignored.push_back(words[w]);
      }
    } else if (!named) {
      command->package = words[w];
      named = true;
    } else {
      command->ignored.push_back(words[w]);
    }
  }
  if (!named || command->package.empty()) {
    *error = "the command line names no package";
    return false;
  }
  return true;
}

bool FitsDevice(const Manifest& m, const DeviceProfile& device, std::string* reason) {
  if (m.processor != 0 && m.processor != device.processor) {
    *reason = "built for " + ProcessorText(m.processor) + "; this device is " +
              ProcessorText(device.processor);
    return false;
  }
  auto below = [](std::uint32_t a1, std::uint32_t a2, std::uint32_t b1, std::uint32_t b2) {
    return a1 < b1 || (a1 == b1 && a2 < b2);
  };
  std::string runs = "this device runs Windows CE " + Version(device.major, device.minor);
  if ((m.min_major != 0 || m.min_minor != 0) &&
      below(device.major, device.minor, m.min_major, m.min_minor)) {
    *reason = "needs Windows CE " + Version(m.min_major, m.min_minor) + " or later; " + runs;
    return false;
  }
  if ((m.max_major != 0 || m.max_minor != 0) &&
      below(m.max_major, m.max_minor, device.major, device.minor)) {
    *reason = "supports Windows CE up to " + Version(m.max_major, m.max_minor) + "; " + runs;
    return false;
  }
  std::string build = "; this device's build is " + std::to_string(device.build);
  if (m.min_build != 0 && device.build < m.min_build) {
    *reason = "needs build " + std::to_string(m.min_build) + " or later" + build;
    return false;
  }
  if (m.max_build != 0 && device.build > m.max_build) {
    *reason = "supports builds up to " + std::to_string(m.max_build) + build;
    return false;
  }
  for (const std::string& name : m.unsupported) {
    if (EqualNoCase(name, device.platform)) {
      *reason = "marked as unsupported on the platform " + device.platform;
      return false;
    }
  }
  return true;
}

std::vector<std::string> ExecutableCode(const Manifest& manifest, bool has_setup_dll) {
  std::vector<std::string> found;
  if (has_setup_dll) found.push_back("a setup DLL (member 999)");
  for (const File& file : manifest.files) {
    if (file.flags & kFileSelfRegister) {
      found.push_back(file.name + " (self-registering)");
    } else {
      for (const char* ext : {".exe", ".dll", ".cpl", ".ocx"}) {
        if (EndsWithNoCase(file.name, ext)) found.push_back(file.name);
      }
    }
  }
  return found;
}

const char16_t* StandardFolder(int n) {
  switch (n) {
    case 1: return u"\\Program Files";
    case 2: return u"\\Windows";
    case 4: return u"\\Windows\\StartUp";
    case 5: return u"\\My Documents";
    case 11: return u"\\Windows\\Start Menu\\Programs";
    case 14: return u"\\Windows\\Start Menu\\Programs\\Games";
    case 15: return u"\\Windows\\Fonts";
    case 17: return u"\\Windows\\Start Menu";
    default: return nullptr;
  }
}

Plan PlanPackage(const Manifest& manifest, const DeviceProfile& /*device*/) {
  Plan plan;
  plan.app_name = host::DecodeCp1250(manifest.app_name);
  plan.provider = host::DecodeCp1250(manifest.provider);
  std::string install_dir = "\\Program Files";
  if (!manifest.app_name.empty()) install_dir += "\\" + manifest.app_name;
  plan.install_dir = host::DecodeCp1250(install_dir);

  // Destinations as 8-bit text first: a shortcut's file holds its target
  // in the device's code page.
  std::vector<std::string> narrow_files(manifest.files.size());
  for (std::size_t i = 0; i < manifest.files.size(); ++i) {
    const File& file = manifest.files[i];
    PlannedFile planned;
    planned.file = &file;
    const Dir* dir = manifest.FindDir(file.dir);
    std::string folder, reason;
    if (dir == nullptr || !ExpandFolder(dir->path, install_dir, &folder, &reason)) {
      planned.refusal = {true, dir == nullptr ? "its folder is not in the manifest" : reason};
    } else {
      narrow_files[i] = Join(folder, file.name);
      planned.folder = host::DecodeCp1250(folder);
      planned.destination = host::DecodeCp1250(narrow_files[i]);
      if (planned.destination.size() >= static_cast<std::size_t>(platform::kMaxPath)) {
        planned.refusal = {true, "the destination is longer than the device's paths may be"};
      }
    }
    plan.files.push_back(planned);
  }

  plan.values.resize(manifest.values.size());
  for (std::size_t i = 0; i < manifest.values.size(); ++i) {
    PlanValue(manifest, manifest.values[i], install_dir, &plan.values[i]);
  }

  for (const Link& link : manifest.links) {
    PlannedLink planned;
    planned.link = &link;
    std::string base, reason, target;
    if (link.base == 0) {
      base = install_dir;
    } else if (!ExpandMacro("%CE" + std::to_string(link.base) + "%", install_dir, &base)) {
      planned.refusal = {true, "the folder %CE" + std::to_string(link.base) +
                                   "% is not defined on this device"};
    }
    if (link.type == kLinkFile) {
      for (std::size_t i = 0; i < manifest.files.size(); ++i) {
        if (manifest.files[i].id == link.target) target = narrow_files[i];
      }
    } else if (const Dir* dir = manifest.FindDir(link.target)) {
      if (!ExpandFolder(dir->path, install_dir, &target, &reason)) target.clear();
    }
    if (target.empty() && !planned.refusal.refused) {
      planned.refusal = {true, "its target is not installed by the package"};
    }
    if (!planned.refusal.refused) {
      std::string quoted = "\"" + target + "\"";
      planned.content = std::to_string(quoted.size()) + "#" + quoted;
      planned.path = host::DecodeCp1250(Join(base, link.name + ".lnk"));
      planned.target = host::DecodeCp1250(target);
    }
    plan.links.push_back(planned);
  }
  return plan;
}

bool ReadPackage(int fd, Cabinet* cabinet, Manifest* manifest, std::string* reason) {
  if (!cabinet->Open(fd, reason)) {
    if (reason->rfind("not a cabinet", 0) != 0) *reason = "cabinet " + *reason;
    return false;
  }
  int index = cabinet->Find(kManifestMember);
  if (index == -1) {
    *reason = "no setup manifest: the cabinet has no member numbered 000";
    return false;
  }
  if (index == -2) {
    *reason = "two members are numbered 000";
    return false;
  }
  std::string bytes;
  if (!cabinet->Read(static_cast<std::size_t>(index), kMaxManifest, &bytes, reason)) {
    *reason = "the setup manifest cannot be read: " + *reason;
    return false;
  }
  if (!ParseManifest(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), manifest,
                     reason)) {
    *reason = "malformed setup manifest: " + *reason;
    return false;
  }
  for (const File& file : manifest->files) {
    int found = cabinet->Find(file.id);
    if (found >= 0) continue;
    char number[8];
    std::snprintf(number, sizeof number, "%03u", static_cast<unsigned>(file.id));
    *reason = found == -1 ? "member " + std::string(number) + " (" + file.name +
                                ") is missing from the cabinet"
                          : "two members are numbered " + std::string(number);
    return false;
  }
  return true;
}

}  // namespace cepkg
