// In-process micro-benchmarks of the installer's hot paths on an emulated
// device: the settings lookup, the line reader and the registry script
// import. The host backend runs in this process on a scratch device image,
// as brandsim does; nothing is journaled and nothing is printed.
//
//   micro [--benchmark_filter=REGEX] [other Google Benchmark options]
//
// Each benchmark reports the bytes it scanned per second, so that a lookup
// that reads far into brand.ini and one that stops early compare fairly.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/host/host.h"
#include "platform/platform.h"
#include "registry/script.h"
#include "settings/line_reader.h"
#include "settings/settings.h"

namespace {

namespace fs = std::filesystem;

// A scratch device image, opened for the benchmark and removed after it.
class Device {
 public:
  Device() {
    std::string pattern = (fs::temp_directory_path() / "brandmicro.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    dir_ = pattern;
    fs::create_directories(dir_ / "fs" / "Temp" / "branding");
    fs::create_directories(dir_ / "fs" / "Windows");
  }
  ~Device() {
    Close();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  void Stage(const std::string& name, const std::string& bytes) const {
    std::ofstream(dir_ / "fs" / "Temp" / "branding" / name, std::ios::binary) << bytes;
  }
  bool Open(benchmark::State& state) {
    host::Config config;
    config.device = dir_;
    config.quiet = true;
    config.answer = platform::kIdYes;
    std::string error;
    open_ = host::OpenDevice(config, &error);
    if (!open_) state.SkipWithError(error.c_str());
    return open_;
  }
  void Close() {
    if (open_) host::CloseDevice(nullptr);
    open_ = false;
  }

 private:
  fs::path dir_;
  bool open_ = false;
};

std::string Number(const char* format, long n) {
  char buffer[128];
  std::snprintf(buffer, sizeof buffer, format, n);
  return buffer;
}

// A brand.ini shaped like a big delivery's: `n` packages, then `n` start
// pages, then `n` URL files, each entry a line of about fifty bytes.
std::string BrandIni(long n) {
  std::string ini = "[ADDITIONAL_CABS]\r\n";
  for (long i = 0; i < n; ++i) {
    ini += Number("cab%ld=", i) + Number("\"cabs\\pkg%06ld.cab\"\r\n", i);
  }
  ini += "\r\n[HOMEPAGE]\r\n";
  for (long i = 0; i < n; ++i) {
    ini += Number("page%06ld.hp=\"\\Windows\\Web\\a00\\b00\\c000\\", i) +
           Number("page%06ld.htm\"\r\n", i);
  }
  ini += "\r\n[URLS]\r\n";
  for (long i = 0; i < n; ++i) {
    ini += Number("site%06ld.ur=\"\\Windows\\Web\\a00\\b00\\c000\\", i) +
           Number("site%06ld.url\"\r\n", i);
  }
  return ini + "\r\n";
}

// The lookup of the last URL file: the scan passes over every other line.
void BM_LookupLastEntry(benchmark::State& state) {
  const long n = state.range(0);
  Device device;
  const std::string ini = BrandIni(n);
  device.Stage("brand.ini", ini);
  if (!device.Open(state)) return;
  std::u16string key;
  for (char c : Number("site%06ld.ur", n - 1)) key.push_back(static_cast<char16_t>(c));
  for (auto _ : state) {
    const char16_t* value = LookupSetting(u"URLS", key.c_str());
    if (value == nullptr) state.SkipWithError("the entry was not found");
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<long>(ini.size()));
  device.Close();
}
BENCHMARK(BM_LookupLastEntry)->Arg(10)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

// An enumeration of numbered keys as the package step makes it: cab0, cab1,
// ... until one is missing, each lookup a scan of its own.
void BM_NumberedKeys(benchmark::State& state) {
  const long n = state.range(0);
  Device device;
  device.Stage("brand.ini", BrandIni(n));
  if (!device.Open(state)) return;
  for (auto _ : state) {
    long found = 0;
    for (long i = 0;; ++i) {
      std::u16string key = u"cab";
      for (char c : std::to_string(i)) key.push_back(static_cast<char16_t>(c));
      if (LookupSetting(u"ADDITIONAL_CABS", key.c_str()) == nullptr) break;
      ++found;
    }
    if (found != n) state.SkipWithError("the enumeration stopped early");
  }
  state.SetItemsProcessed(state.iterations() * (n + 1));
  device.Close();
}
BENCHMARK(BM_NumberedKeys)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

// The line reader alone over a large file.
void BM_ReadLines(benchmark::State& state) {
  Device device;
  const std::string ini = BrandIni(state.range(0));
  device.Stage("lines.txt", ini);
  if (!device.Open(state)) return;
  for (auto _ : state) {
    platform::Handle file = platform::CreateFileW(
        u"\\Temp\\branding\\lines.txt", platform::kGenericRead, platform::kFileShareRead, nullptr,
        platform::kOpenExisting, platform::kFileAttributeNormal, platform::kNullHandle);
    ByteLineReader reader;
    StartByteLines(&reader, FileByteSource(&file));
    char16_t line[kLineCapacity];
    while (ReadByteLine(&reader, line)) benchmark::DoNotOptimize(line);
    platform::CloseHandle(file);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<long>(ini.size()));
  device.Close();
}
BENCHMARK(BM_ReadLines)->Arg(10000)->Unit(benchmark::kMicrosecond);

// A registry script of `n` values, twenty to a key, in the three forms, as
// the synthetic deliveries hold them; imported into the emulated registry.
std::string Script(long n) {
  std::string script = "REGEDIT4\r\n";
  for (long i = 0; i < n; ++i) {
    if (i % 20 == 0) {
      script += Number("\r\n[HKEY_LOCAL_MACHINE\\Software\\Bench\\Key%06ld]\r\n", i / 20);
    }
    std::string name = Number("\"Value%02ld\"=", i % 20);
    if (i % 20 < 12) {
      script += name + Number("\"text %ld for the bench, some words to make it longer\"\r\n", i);
    } else if (i % 20 < 17) {
      script += name + Number("dword:%08lx\r\n", (i * 2654435761L) & 0xFFFFFFFFL);
    } else {
      script += name +
                "hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\r\n"
                "  16,17\r\n";
    }
  }
  return script;
}

void BM_ImportScript(benchmark::State& state) {
  const long n = state.range(0);
  Device device;
  const std::string script = Script(n);
  device.Stage("bench.reg", script);
  if (!device.Open(state)) return;
  for (auto _ : state) ImportRegistryScript(u"\\Temp\\branding\\bench.reg");
  state.SetBytesProcessed(state.iterations() * static_cast<long>(script.size()));
  state.SetItemsProcessed(state.iterations() * n);
  device.Close();
}
BENCHMARK(BM_ImportScript)->Arg(1000)->Arg(50000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
