// mkcepkg: a Windows CE package built from its command line, so that a
// delivery's packages and themes are made without writing code.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "package_writer.h"
#include "platform/host/manifest.h"
#include "registry/roots.h"

namespace {

constexpr char kUsage[] = R"(usage: mkcepkg OUT.cab [OPTION]...
Writes a Windows CE package: the setup manifest as <base>.000, each file as
<base>.001 and on, the setup DLL as <base>.999, all in one MS-CAB cabinet.

  --mszip                 compress the cabinet with MSZIP (default: stored)
  --app NAME              the application's name (default: Sample)
  --provider NAME         the provider's name (default: Brand)
  --processor N           the processor it is for (default 0: any)
  --os MIN_MAJOR.MIN_MINOR[-MAX_MAJOR.MAX_MINOR]
                          the OS versions it installs on (default: any)
  --unsupported NAME      a platform it refuses; repeatable
  --file DIR NAME SOURCE [FLAGS]
                          installs the host file SOURCE as DIR\NAME, DIR such
                          as %CE1%\Sample; repeatable
  --reg ROOT KEY NAME TYPE DATA [FLAGS]
                          a registry value; repeatable. ROOT: HKCR, HKCU, HKLM
                          or HKU. KEY: e.g. Software\Sample. NAME: @ for the
                          key's default value. TYPE and DATA: sz TEXT,
                          multi_sz TEXT|TEXT|..., binary HEXDIGITS, dword N
  --link BASE NAME file|folder TARGET
                          a shortcut NAME in folder BASE (0: the install
                          folder, 1..17: %CEn%) to the file installed as TARGET
                          (the NAME of a --file) or to the folder TARGET;
                          repeatable
  --setup-dll SOURCE      the host file SOURCE as the setup DLL
  --base NAME8            the members' base name, 1 to 8 letters, digits, _ or -
                          (default: OUT's name so cut, upper case)
  --help                  shows this

N, FLAGS and dword DATA are decimal or 0x hexadecimal. FLAGS are the
manifest's: for a file e.g. 0x2 (it may not be skipped), for a value 0x2
(an existing value is kept). OUT is replaced atomically.
Exit status: 0 written; 1 a SOURCE could not be read or OUT not written;
2 a usage error.
)";

// Ends the program: status 2 for a usage error, 1 for a failed read or write.
struct Failure {
  int status;
  std::string message;
};

[[noreturn]] void Usage(const std::string& message) { throw Failure{2, message}; }

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

std::uint32_t Number(const std::string& argument, const std::string& text) {
  bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  std::size_t start = hex ? 2 : 0;
  std::uint64_t value = 0;
  for (std::size_t i = start; i < text.size(); ++i) {
    int digit = -1;
    char c = text[i];
    if (c >= '0' && c <= '9') digit = c - '0';
    if (hex && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (hex && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0) {
      Usage(argument + " " + Quoted(text) + ": not a decimal or 0x hexadecimal number");
    }
    value = value * (hex ? 16 : 10) + static_cast<std::uint64_t>(digit);
    if (value > 0xFFFFFFFFu) Usage(argument + " " + Quoted(text) + ": more than 32 bits");
  }
  if (text.size() == start) Usage(argument + ": a number is missing");
  return static_cast<std::uint32_t>(value);
}

std::string ReadSource(const std::string& argument, const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  std::string bytes;
  if (fd >= 0) {
    char buffer[65536];
    for (;;) {
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        int saved = errno;
        close(fd);
        if (n == 0) return bytes;
        errno = saved;
        break;
      }
      bytes.append(buffer, static_cast<std::size_t>(n));
    }
  }
  throw Failure{1, argument + " " + path + ": cannot read: " + std::strerror(errno)};
}

// Replaces `path` with `bytes` through a temporary file beside it, so that
// a reader never sees a part of the package.
void WriteAtomically(const std::string& path, const std::string& bytes) {
  std::string temp = path + ".XXXXXX";
  int fd = mkstemp(&temp[0]);
  if (fd < 0) throw Failure{1, path + ": cannot write: " + std::strerror(errno)};
  int error = 0;
  mode_t mask = umask(0);
  umask(mask);
  if (fchmod(fd, 0666 & ~mask) != 0) error = errno;
  for (std::size_t done = 0; error == 0 && done < bytes.size();) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n >= 0) {
      done += static_cast<std::size_t>(n);
    } else if (errno != EINTR) {
      error = errno;
    }
  }
  if (error == 0 && fsync(fd) != 0) error = errno;
  if (close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && rename(temp.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    unlink(temp.c_str());
    throw Failure{1, path + ": cannot write: " + std::strerror(error)};
  }
}

bool ValidBase(const std::string& base) {
  if (base.empty() || base.size() > 8) return false;
  for (char c : base) {
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

// OUT's file name without its extension, upper case, cut to what a base holds.
std::string DefaultBase(const std::string& out) {
  std::string name = out.substr(out.find_last_of('/') + 1);
  name = name.substr(0, name.find('.'));
  std::string base;
  for (char c : name) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (base.size() < 8 && ValidBase(std::string(1, c))) base.push_back(c);
  }
  return base.empty() ? "PACKAGE" : base;
}

class Arguments {
 public:
  Arguments(int argc, char** argv) : list_(argv + 1, argv + argc) {}
  bool Done() const { return next_ >= list_.size(); }
  std::string Take() { return list_[next_++]; }
  // The next argument of `option`, named `what` when it is missing.
  std::string Take(const std::string& option, const char* what) {
    if (Done() || IsOption(list_[next_])) Usage(option + ": " + what + " missing");
    return Take();
  }
  // An optional trailing argument, present when the next one is no option.
  bool HasMore() const { return !Done() && !IsOption(list_[next_]); }

 private:
  static bool IsOption(const std::string& text) { return text.rfind("--", 0) == 0; }
  std::vector<std::string> list_;
  std::size_t next_ = 0;
};

void ParseOs(const std::string& text, cepkg::PackageSpec* spec) {
  auto version = [&](const std::string& part, std::uint32_t* major, std::uint32_t* minor) {
    std::size_t dot = part.find('.');
    if (dot == std::string::npos) Usage("--os " + Quoted(text) + ": not MAJOR.MINOR[-MAJOR.MINOR]");
    *major = Number("--os", part.substr(0, dot));
    *minor = Number("--os", part.substr(dot + 1));
  };
  std::size_t dash = text.find('-');
  version(text.substr(0, dash), &spec->min_major, &spec->min_minor);
  if (dash != std::string::npos) version(text.substr(dash + 1), &spec->max_major, &spec->max_minor);
}

cepkg::PackageSpec::ValueSpec ParseValue(Arguments* args) {
  cepkg::PackageSpec::ValueSpec value;
  std::string root = args->Take("--reg", "ROOT");
  value.root = 0;
  for (const RegistryRoot& known : kRegistryRoots) {
    if (std::u16string(root.begin(), root.end()) == known.short_name) value.root = known.manifest;
  }
  if (value.root == 0) Usage("--reg ROOT " + Quoted(root) + ": not HKCR, HKCU, HKLM or HKU");
  value.key = args->Take("--reg", "KEY");
  value.name = args->Take("--reg", "NAME");
  if (value.name == "@") value.name.clear();
  std::string type = args->Take("--reg", "TYPE");
  std::string data = args->Take("--reg", "DATA");
  if (type == "sz") {
    value.flags = cepkg::kRegTypeSz;
    value.data = cepkg::SzData(data);
  } else if (type == "multi_sz") {
    value.flags = cepkg::kRegTypeMultiSz;
    std::vector<std::string> strings;
    for (std::size_t at = 0; !data.empty() && at <= data.size();) {
      std::size_t bar = std::min(data.find('|', at), data.size());
      strings.push_back(data.substr(at, bar - at));
      at = bar + 1;
    }
    value.data = cepkg::MultiSzData(strings);
  } else if (type == "binary") {
    value.flags = cepkg::kRegTypeBinary;
    if (data.size() % 2 != 0) Usage("--reg DATA " + Quoted(data) + ": an odd number of hex digits");
    for (std::size_t i = 0; i < data.size(); i += 2) {
      value.data.push_back(static_cast<char>(Number("--reg DATA", "0x" + data.substr(i, 2))));
    }
  } else if (type == "dword") {
    value.flags = cepkg::kRegTypeDword;
    value.data = cepkg::DwordData(Number("--reg DATA", data));
  } else {
    Usage("--reg TYPE " + Quoted(type) + ": not sz, multi_sz, binary or dword");
  }
  if (args->HasMore()) {
    std::string text = args->Take();
    std::uint32_t flags = Number("--reg FLAGS", text);
    if (flags & cepkg::kRegTypeMask) {
      Usage("--reg FLAGS " + Quoted(text) + ": holds type bits, which TYPE gives");
    }
    value.flags |= flags;
  }
  return value;
}

int Run(int argc, char** argv) {
  Arguments args(argc, argv);
  if (args.Done()) Usage("OUT.cab missing");
  std::string out = args.Take();
  if (out == "--help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (out.rfind("--", 0) == 0) Usage("the first argument must be OUT.cab, not " + Quoted(out));

  cepkg::PackageSpec spec;
  cepkg::Compression compression = cepkg::Compression::kNone;
  std::string base = DefaultBase(out);
  while (!args.Done()) {
    std::string option = args.Take();
    if (option == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (option == "--mszip") {
      compression = cepkg::Compression::kMszip;
    } else if (option == "--app") {
      spec.app_name = args.Take(option, "NAME");
    } else if (option == "--provider") {
      spec.provider = args.Take(option, "NAME");
    } else if (option == "--processor") {
      spec.processor = Number(option, args.Take(option, "N"));
    } else if (option == "--os") {
      ParseOs(args.Take(option, "MIN_MAJOR.MIN_MINOR"), &spec);
    } else if (option == "--unsupported") {
      spec.unsupported.push_back(args.Take(option, "NAME"));
    } else if (option == "--file") {
      cepkg::PackageSpec::FileSpec file;
      file.dir = args.Take(option, "DIR");
      file.name = args.Take(option, "NAME");
      file.content = ReadSource("--file SOURCE", args.Take(option, "SOURCE"));
      if (args.HasMore()) file.flags = Number("--file FLAGS", args.Take());
      spec.files.push_back(std::move(file));
    } else if (option == "--reg") {
      spec.values.push_back(ParseValue(&args));
    } else if (option == "--link") {
      cepkg::PackageSpec::LinkSpec link;
      std::string text = args.Take(option, "BASE");
      std::uint32_t folder = Number("--link BASE", text);
      if (folder > 17) Usage("--link BASE " + Quoted(text) + ": not 0..17");
      link.base = static_cast<std::uint16_t>(folder);
      link.name = args.Take(option, "NAME");
      std::string type = args.Take(option, "file|folder");
      if (type != "file" && type != "folder") {
        Usage("--link " + Quoted(type) + ": neither file nor folder");
      }
      link.type = type == "file" ? cepkg::kLinkFile : cepkg::kLinkFolder;
      link.target = args.Take(option, "TARGET");
      spec.links.push_back(std::move(link));
    } else if (option == "--setup-dll") {
      spec.setup_dll = ReadSource("--setup-dll", args.Take(option, "SOURCE"));
    } else if (option == "--base") {
      base = args.Take(option, "NAME8");
      if (!ValidBase(base)) {
        Usage("--base " + Quoted(base) + ": not 1 to 8 letters, digits, _ or -");
      }
    } else if (option.rfind("--", 0) == 0) {
      Usage("unknown option " + Quoted(option));
    } else {
      Usage("unexpected argument " + Quoted(option) + " (OUT.cab comes first)");
    }
  }
  for (const auto& link : spec.links) {
    if (link.type != cepkg::kLinkFile) continue;
    bool found = false;
    for (const auto& file : spec.files) found = found || file.name == link.target;
    if (!found)
      Usage("--link " + link.name + " TARGET " + Quoted(link.target) + ": no --file installs it");
  }

  std::string cabinet;
  try {
    cabinet = cepkg::WriteCabinet(cepkg::PackageMembers(spec, base), compression);
  } catch (const std::logic_error& e) {
    Usage(e.what());
  } catch (const std::exception& e) {
    throw Failure{1, out + ": " + e.what()};
  }
  WriteAtomically(out, cabinet);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const Failure& failure) {
    std::fprintf(stderr, "mkcepkg: %s\n", failure.message.c_str());
    if (failure.status == 2) std::fputs("Try 'mkcepkg --help'.\n", stderr);
    return failure.status;
  }
}
