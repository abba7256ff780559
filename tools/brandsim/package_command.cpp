// `brandsim package FILE`: what a CE package would install on the emulated
// device, from the same reading and planning that the emulated installer
// carries out.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "brandinst_version.h"
#include "lint.h"
#include "platform/host/cabinet.h"
#include "platform/host/journal.h"
#include "platform/host/package.h"
#include "platform/host/text.h"
#include "platform/platform.h"
#include "suggest.h"

namespace brandsim {

namespace {

const char kUsage[] = R"(Usage: brandsim package [--format text|json] [--device DIR] FILE
       brandsim package -h | --help | --version

Shows what the CE package (or Today theme) FILE would install on the
emulated device: where each file goes, each registry value with its type,
each shortcut, what the package requires and whether it fits the device
(DIR/device.ini with --device DIR, else the default ARM Pocket PC on
Windows CE 3.0), and whether it carries a setup DLL or other executable code.

Exit status: 0 when FILE is a package the installer can read, 1 when it is
not (the message says why), 2 for a usage error.
)";

std::string Json(const std::u16string& text) { return "\"" + host::JsonEscape(text) + "\""; }
std::string Json(const std::string& text) { return Json(host::FromUtf8(text)); }

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(value));
  return text;
}

std::string FileFlags(std::uint32_t flags) {
  static const struct {
    std::uint32_t bit;
    const char* word;
  } kFlags[] = {{cepkg::kFileNeverOverwrite, "never overwrite"},
                {cepkg::kFileOnlyIfExists, "only replace an existing file"},
                {cepkg::kFileNoOverwriteNewer, "do not overwrite a newer file"},
                {cepkg::kFileIgnoreDates, "always overwrite"},
                {cepkg::kFileShared, "shared"},
                {cepkg::kFileSelfRegister, "self-registering"},
                {cepkg::kFileNoSkip, "may not be skipped"},
                {cepkg::kFileWarnIfSkipped, "warn if skipped"}};
  std::string words;
  for (const auto& flag : kFlags) {
    if (flags & flag.bit) words += std::string(words.empty() ? "" : ", ") + flag.word;
  }
  return words;
}

std::string Requirements(const cepkg::Manifest& m) {
  std::string text;
  if (m.processor == 0) {
    text = "any processor";
  } else {
    const char* name = cepkg::ProcessorName(m.processor);
    text = std::string(name != nullptr ? name : "processor") + " (" +
           std::to_string(m.processor) + ")";
  }
  auto version = [](std::uint32_t a, std::uint32_t b) {
    return std::to_string(a) + "." + std::to_string(b);
  };
  if (m.min_major || m.min_minor) text += ", Windows CE " + version(m.min_major, m.min_minor) + " or later";
  if (m.max_major || m.max_minor) text += ", Windows CE up to " + version(m.max_major, m.max_minor);
  if (m.min_build) text += ", build " + std::to_string(m.min_build) + " or later";
  if (m.max_build) text += ", builds up to " + std::to_string(m.max_build);
  for (const std::string& name : m.unsupported) text += ", not on " + name;
  return text;
}

std::u16string ValuePath(const cepkg::PlannedValue& v) {
  return v.root_name + (v.key.empty() ? u"" : u"\\" + v.key) + u"\\" +
         (v.name.empty() ? u"@" : v.name);
}

}  // namespace

int RunPackage(const std::vector<std::string>& args) {
  std::string format = "text", device, file;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&](const char* name, std::string* out) {
      std::string prefix = std::string(name) + "=";
      if (arg.rfind(prefix, 0) == 0) {
        *out = arg.substr(prefix.size());
        return true;
      }
      if (arg == name && i + 1 < args.size()) {
        *out = args[++i];
        return true;
      }
      return false;
    };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--version") {
      std::printf("brandsim package %s\n", BRANDINST_VERSION);
      return 0;
    } else if (value("--format", &format) || value("--device", &device)) {
      continue;
    } else if (arg.size() > 1 && arg[0] == '-') {
      std::string name = arg.substr(0, arg.find('='));
      std::fprintf(stderr, "brandsim package: unknown option '%s'%s\n%s", name.c_str(),
                   DidYouMean(name, {"--format", "--device", "--help", "--version"}).c_str(),
                   kUsage);
      return 2;
    } else if (file.empty()) {
      file = arg;
    } else {
      std::fprintf(stderr, "brandsim package: one FILE only ('%s' is a second)\n", arg.c_str());
      return 2;
    }
  }
  if (file.empty() || (format != "text" && format != "json")) {
    std::fprintf(stderr, "brandsim package: %s\n%s",
                 file.empty() ? "FILE is missing" : "--format takes text or json", kUsage);
    return 2;
  }

  cepkg::DeviceProfile profile;
  std::string error;
  if (!device.empty() && !cepkg::LoadDeviceProfile(std::filesystem::path(device) / "device.ini",
                                                   &profile, &error)) {
    std::fprintf(stderr, "brandsim package: %s\n", error.c_str());
    return 2;
  }
  int fd = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    std::perror(("brandsim package: " + file).c_str());
    return 1;
  }
  cepkg::Cabinet cabinet;
  cepkg::Manifest manifest;
  bool read = cepkg::ReadPackage(fd, &cabinet, &manifest, &error);
  if (!read) {
    close(fd);
    std::fprintf(stderr, "brandsim package: %s: %s\n", file.c_str(), error.c_str());
    return 1;
  }
  std::string misfit;
  bool fits = cepkg::FitsDevice(manifest, profile, &misfit);
  bool setup_dll = cabinet.Find(cepkg::kSetupDllMember) >= 0;
  std::vector<std::string> code = cepkg::ExecutableCode(manifest, setup_dll);
  cepkg::Plan plan = cepkg::PlanPackage(manifest, profile);
  auto member_of = [&](const cepkg::File& f) -> const cepkg::CabMember& {
    return cabinet.members()[static_cast<std::size_t>(cabinet.Find(f.id))];
  };

  if (format == "json") {
    std::string out = "{\"file\":" + Json(file) + ",\"name\":" + Json(plan.app_name) +
                      ",\"provider\":" + Json(plan.provider) +
                      ",\"install_dir\":" + Json(plan.install_dir) +
                      ",\"processor\":" + std::to_string(manifest.processor) +
                      ",\"requires\":" + Json(Requirements(manifest)) +
                      ",\"fits\":" + (fits ? "true" : "false");
    if (!fits) out += ",\"misfit\":" + Json(misfit);
    out += ",\"device\":" + Json(profile.Describe());
    out += std::string(",\"setup_dll\":") + (setup_dll ? "true" : "false") + ",\"executable_code\":[";
    for (std::size_t i = 0; i < code.size(); ++i) out += (i ? "," : "") + Json(code[i]);
    out += "],\"files\":[";
    for (std::size_t i = 0; i < plan.files.size(); ++i) {
      const cepkg::PlannedFile& f = plan.files[i];
      out += std::string(i ? "," : "") + "{\"member\":" + Json(member_of(*f.file).name) +
             ",\"name\":" + Json(f.file->name) + ",\"to\":" + Json(f.destination) +
             ",\"size\":" + std::to_string(member_of(*f.file).size) +
             ",\"flags\":" + std::to_string(f.file->flags);
      if (f.refusal.refused) out += ",\"refused\":" + Json(f.refusal.reason);
      out += "}";
    }
    out += "],\"values\":[";
    for (std::size_t i = 0; i < plan.values.size(); ++i) {
      const cepkg::PlannedValue& v = plan.values[i];
      out += std::string(i ? "," : "") + "{\"key\":" +
             Json(v.root_name + (v.key.empty() ? u"" : u"\\" + v.key)) +
             ",\"name\":" + Json(v.name) + ",\"type\":" + std::to_string(v.type) +
             ",\"data\":" + Json(host::ShowValue(v.type, v.data.data(), v.data.size())) +
             ",\"keep_existing\":" + (v.keep_existing ? "true" : "false");
      if (v.refusal.refused) out += ",\"refused\":" + Json(v.refusal.reason);
      out += "}";
    }
    out += "],\"shortcuts\":[";
    for (std::size_t i = 0; i < plan.links.size(); ++i) {
      const cepkg::PlannedLink& l = plan.links[i];
      out += std::string(i ? "," : "") + "{\"name\":" + Json(l.link->name) +
             ",\"path\":" + Json(l.path) + ",\"target\":" + Json(l.target);
      if (l.refusal.refused) out += ",\"refused\":" + Json(l.refusal.reason);
      out += "}";
    }
    out += "]}\n";
    std::fputs(out.c_str(), stdout);
  } else {
    std::printf("%s: \"%s\" from \"%s\"\n", file.c_str(), host::Show(plan.app_name).c_str(),
                host::Show(plan.provider).c_str());
    std::printf("  requires: %s\n", Requirements(manifest).c_str());
    std::printf("  device: %s: %s\n", profile.Describe().c_str(),
                fits ? "fits" : ("does not fit: " + misfit).c_str());
    std::printf("  install folder: %s\n", host::Show(plan.install_dir).c_str());
    std::printf("  setup DLL: %s\n",
                setup_dll ? "present (native code: the emulated device never runs it)" : "none");
    std::string code_list;
    for (const std::string& c : code) code_list += (code_list.empty() ? "" : ", ") + c;
    std::printf("  executable code: %s\n", code.empty() ? "none" : code_list.c_str());
    std::printf("files (%zu):\n", plan.files.size());
    for (const cepkg::PlannedFile& f : plan.files) {
      const cepkg::CabMember& m = member_of(*f.file);
      std::string flags = f.file->flags == 0 ? ""
                          : "flags " + Hex(f.file->flags) + " (" + FileFlags(f.file->flags) + ")";
      std::printf("  %s <- %s, %u bytes%s%s\n",
                  f.refusal.refused ? ("(" + f.file->name + ")").c_str()
                                    : host::Show(f.destination).c_str(),
                  m.name.c_str(), static_cast<unsigned>(m.size),
                  flags.empty() ? "" : (", " + flags).c_str(),
                  f.refusal.refused ? ("; refused: " + f.refusal.reason).c_str() : "");
    }
    std::printf("registry values (%zu):\n", plan.values.size());
    for (const cepkg::PlannedValue& v : plan.values) {
      std::printf("  %s = %s%s%s\n", host::Show(ValuePath(v)).c_str(),
                  host::ShowValue(v.type, v.data.data(), v.data.size()).c_str(),
                  v.keep_existing ? " (an existing value is kept)" : "",
                  v.refusal.refused ? ("; refused: " + v.refusal.reason).c_str() : "");
    }
    std::printf("shortcuts (%zu):\n", plan.links.size());
    for (const cepkg::PlannedLink& l : plan.links) {
      if (l.refusal.refused) {
        std::printf("  %s: refused: %s\n", l.link->name.c_str(), l.refusal.reason.c_str());
      } else {
        std::printf("  %s -> %s\n", host::Show(l.path).c_str(), host::Show(l.target).c_str());
      }
    }
  }
  close(fd);
  return 0;
}

}  // namespace brandsim
