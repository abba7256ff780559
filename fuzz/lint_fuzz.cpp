// A whole delivery as arbitrary bytes, checked by `brandsim lint`. The input
// is a list of files in the layout `head` prints:
//
//   ==> brand.ini <==
//   [HOMEPAGE]
//   ==> start.hp <==
//   ...
//
// Text before the first such line is brand.ini. Odd-sized inputs ask for
// JSON; every fourth input is also checked against a small device image.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "check.h"
#include "device.h"
#include "linter.h"
#include "platform/host/text.h"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxFiles = 24;

struct Folders {
  fs::path delivery;
  fs::path device;
};

const Folders& Setup() {
  static const Folders folders = [] {
    Folders made;
    fs::path root = fuzz::ScratchFolder();
    made.delivery = root / "delivery";
    made.device = root / "image";
    fs::create_directories(made.device / "fs" / "Windows" / "Favorites");
    fs::create_directories(made.device / "fs" / "Temp");
    std::ofstream(made.device / "fs" / "Windows" / "wceload.exe") << "x";
    std::ofstream(made.device / "fs" / "Windows" / "logo.gif") << "old";
    std::ofstream(made.device / "registry.reg")
        << "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Old]\r\n\"A\"=dword:1\r\n\r\n"
           "[HKEY_CLASSES_ROOT\\CLSID\\{F15D7471-D623-11d2-BE64-008048FD5745}]\r\n\r\n";
    return made;
  }();
  return folders;
}

// A host name for a file the input names: no separators, no NUL, not . or ..
std::string HostName(std::string_view name) {
  std::string out(name.substr(0, 200));
  for (char& c : out) {
    if (c == '/' || c == 0) c = '_';
  }
  if (out.empty() || out == "." || out == "..") out = "_" + out;
  return out;
}


void Write(const fs::path& file, std::string_view bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Folders& folders = Setup();
  std::error_code ec;
  fs::remove_all(folders.delivery, ec);
  fs::create_directories(folders.delivery);

  std::string_view input(reinterpret_cast<const char*>(data), size);
  static constexpr std::string_view kOpen = "==> ", kClose = " <==\n";
  std::string name = "brand.ini";
  std::size_t files = 0;
  std::size_t at = 0;
  for (;;) {
    std::size_t next = input.find(kOpen, at);
    // A marker counts only at the start of a line.
    while (next != std::string_view::npos && next > 0 && input[next - 1] != '\n') {
      next = input.find(kOpen, next + 1);
    }
    std::string_view body = input.substr(at, next == std::string_view::npos ? next : next - at);
    // brand.ini is left out when the input starts with a file of its own.
    if (files > 0 || next != 0) Write(folders.delivery / HostName(name), body);
    if (next == std::string_view::npos || ++files >= kMaxFiles) break;
    std::size_t close = input.find(kClose, next);
    if (close == std::string_view::npos) break;
    name = std::string(input.substr(next + kOpen.size(), close - next - kOpen.size()));
    at = close + kClose.size();
  }

  lint::Options options;
  options.delivery = folders.delivery.string();
  options.format = (size & 1) != 0 ? lint::Format::kJson : lint::Format::kText;
  if ((size & 3) == 2) options.device = folders.device.string();
  std::ostringstream out, err;
  int status = lint::Lint(options, out, err);
  if (status != 0 && status != 1) {
    std::fprintf(stderr, "lint ended with status %d: %s\n", status, err.str().c_str());
    std::abort();
  }
  // What reaches a terminal or a JSON reader is UTF-8 without a control
  // character, whatever the delivery's names and bytes held; in text, one
  // finding a line, each naming its file under the delivery (or the delivery).
  std::string report = out.str();
  std::fprintf(stderr, "%s", std::getenv("FUZZ_SHOW_REPORT") != nullptr ? report.c_str() : "");
  FUZZ_CHECK(report.empty() || report.back() == '\n');
  std::u16string decoded;
  FUZZ_CHECK(host::FromUtf8Exact(report, &decoded));
  for (char c : report) FUZZ_CHECK(c == '\n' || static_cast<unsigned char>(c) >= 0x20);
  if (options.format == lint::Format::kJson) {
    FUZZ_CHECK(report.size() >= 3 && report.front() == '[');
  } else {
    std::string_view rest(report);
    while (!rest.empty()) {
      std::string_view line = rest.substr(0, rest.find('\n'));
      rest.remove_prefix(line.size() + 1);
      // A finding about the delivery as a whole names the folder itself.
      FUZZ_CHECK(line.rfind(options.delivery, 0) == 0 && line.size() > options.delivery.size());
      FUZZ_CHECK(line[options.delivery.size()] == '/' || line[options.delivery.size()] == ':');
      FUZZ_CHECK(line.find(": warning: ") != std::string_view::npos ||
                 line.find(": error: ") != std::string_view::npos);
      FUZZ_CHECK(!line.empty() && line.back() == ']');
    }
  }
  return 0;
}
