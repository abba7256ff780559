// Resource bounds: a 200 MB brand.ini or registry script made of one line is
// read in fixed-size pieces, so brandsim's peak memory stays under 32 MB and
// what follows the line is still acted on.
//
// The peak is the process's own (ru_maxrss from wait4). Under a sanitizer
// the process starts far larger, so there the bound is on the growth over a
// run of the same image without the long line.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/host/registry_store.h"
#include "reliability/reliability.h"
#include "support/support.h"

#if defined(__SANITIZE_ADDRESS__)
#define BRANDINST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BRANDINST_SANITIZED 1
#endif
#endif

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kHuge = 200u << 20;
constexpr long kPeakLimitKb = 32 * 1024;
// What a run may grow by, over the same run without the long line.
constexpr long kGrowthLimitKb = 8 * 1024;
constexpr double kTimeout = 100;

std::string Value(const fs::path& registry_file, const std::u16string& key,
                  const std::u16string& name) {
  host::RegistryStore store;
  std::string error;
  if (!store.Load(registry_file, &error)) return "unloadable: " + error;
  auto found = store.Find(store.root(host::RegistryStore::kLocalMachine), key);
  if (!found) return "<no key>";
  std::optional<host::RegValue> value = store.GetValue(found.get(), name);
  if (!value) return "<no value>";
  return support::Hex(value->data);
}

class Resources : public ::testing::Test {
 protected:
  Resources() {
    device.Put("Windows/wceload.exe", "placeholder");
    device.SetRegistry(
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Old]\r\n\"O\"=dword:00000001\r\n\r\n");
  }

  // Runs the installation on the image, or on a copy of it (a run
  // consumes its delivery).
  reliability::Measured Install(bool on_a_copy) {
    fs::path image = device.dir();
    if (on_a_copy) {
      image = scratch.path() / "copy";
      fs::copy(device.dir(), image, fs::copy_options::recursive);
    }
    reliability::Measured run = reliability::RunMeasured(
        {"--device", image.string(), "--answer", "yes", "--quiet", "inst"}, kTimeout);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_FALSE(run.timed_out) << "after " << run.seconds << " s";
    last_image = image;
    return run;
  }
  reliability::Measured Lint() {
    reliability::Measured run =
        reliability::RunMeasured({"lint", device.staging().string()}, kTimeout);
    EXPECT_TRUE(run.status == 0 || run.status == 1) << run.err;
    EXPECT_FALSE(run.timed_out) << "after " << run.seconds << " s";
    return run;
  }

  void ExpectBounded(const reliability::Measured& huge, const reliability::Measured& small,
                     const std::string& what) {
    std::printf("%s: peak %ld KB in %.1f s (%ld KB without the long line)\n", what.c_str(),
                huge.peak_rss_kb, huge.seconds, small.peak_rss_kb);
#ifndef BRANDINST_SANITIZED
    EXPECT_LT(huge.peak_rss_kb, kPeakLimitKb) << what;
#endif
    EXPECT_LT(huge.peak_rss_kb - small.peak_rss_kb, kGrowthLimitKb) << what;
  }

  support::Device device;
  support::TempDir scratch;
  fs::path last_image;
};

TEST_F(Resources, A200MegabyteLineInBrandIniIsReadInPieces) {
  device.Put("Temp/branding/start.hp", "page");
  const std::string head = "[HOMEPAGE]\r\nnothing.hp=\"x\"\r\n";
  const std::string tail =
      "\r\nstart.hp=\"\\Windows\\Web\\start.htm\"\r\n"
      "\r\n[REG_DEL_KEY]\r\nkey0=\"HKEY_LOCAL_MACHINE\\Software\\Old\"\r\n";
  // The same file without its long line, for the sanitizer's baseline.
  device.Put("Temp/branding/brand.ini", head + "short\r\n" + tail.substr(2));
  reliability::Measured small = Install(true);
  reliability::Measured small_lint = Lint();

  reliability::WriteLarge(device.staging() / "brand.ini", head, "0123456789abcdef", kHuge, tail);
  ASSERT_EQ(fs::file_size(device.staging() / "brand.ini"), kHuge);
  reliability::Measured lint = Lint();
  ExpectBounded(lint, small_lint, "brandsim lint with a 200 MB line in brand.ini");
  reliability::Measured huge = Install(false);
  ExpectBounded(huge, small, "brandsim inst with a 200 MB line in brand.ini");
  // The entries after the long line were found: the page was placed and the
  // key removed.
  EXPECT_EQ(support::ReadBytes(last_image / "fs" / "Windows" / "Web" / "start.htm"), "page");
  EXPECT_EQ(Value(last_image / "registry.reg", u"Software\\Old", u"O"), "<no key>");
}

TEST_F(Resources, A200MegabyteLineInARegistryScriptIsReadInPieces) {
  const std::string head = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Huge]\r\n\"Big\"=hex:";
  const std::string tail = "41\r\n\"After\"=dword:0000002a\r\n";
  device.Put("Temp/branding/huge.reg", head + "41,42,\r\n" + tail);
  reliability::Measured small = Install(true);
  reliability::Measured small_lint = Lint();

  reliability::WriteLarge(device.staging() / "huge.reg", head, "41,", kHuge, tail);
  ASSERT_EQ(fs::file_size(device.staging() / "huge.reg"), kHuge);
  reliability::Measured lint = Lint();
  ExpectBounded(lint, small_lint, "brandsim lint with a 200 MB line in a registry script");
  reliability::Measured huge = Install(false);
  ExpectBounded(huge, small, "brandsim inst with a 200 MB line in a registry script");
  // The line was cut at 255 characters: the 245 after "Big"=hex: hold 82
  // whole pairs. The value after the line was written.
  std::string big;
  for (int i = 0; i < 82; ++i) big += "41";
  EXPECT_EQ(Value(last_image / "registry.reg", u"Software\\Huge", u"Big"), big);
  EXPECT_EQ(Value(last_image / "registry.reg", u"Software\\Huge", u"After"), "2a000000");
}

// A loaded registry.reg takes at most about twice its size in memory: it is
// read through a buffer, never whole, and a key or a value costs a few dozen
// bytes beside its name and data. Two shapes: keys with several values
// each in UTF-16, as regedit writes them; and the most keys a UTF-8 file can
// hold, one short name each, where the cost of a key shows most. The bound
// is on the growth over a run with the fixture's small registry.
TEST_F(Resources, ARegistryFileTakesAtMostTwiceItsSizeInMemory) {
#ifdef BRANDINST_SANITIZED
  // Its allocator keeps what is freed (each line's pieces) in quarantine.
  GTEST_SKIP() << "peak memory under a sanitizer is not the program's own";
#endif
  const reliability::Measured small = Install(false);
  const std::string header = "Windows Registry Editor Version 5.00\r\n\r\n";
  std::string keys = header;
  for (int i = 0; keys.size() < 12'000'000; ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "[HKEY_CURRENT_USER\\k%06d]\r\n", i);
    keys += line;
  }
  std::string values = header;
  for (int i = 0; values.size() < 6'000'000; ++i) {
    char text[512];
    std::snprintf(text, sizeof text,
                  "[HKEY_LOCAL_MACHINE\\Software\\Vendor\\Group%03d\\Item%06d]\r\n"
                  "\"Name\"=\"Item number %d\"\r\n\"Count\"=dword:%08x\r\n"
                  "\"Flags\"=hex:01,02,03,04,05,06,07,08\r\n"
                  "\"Path\"=\"\\\\Program Files\\\\item%d.dll\"\r\n\r\n",
                  i / 1000, i, i, i, i);
    values += text;
  }
  const std::vector<std::pair<std::string, std::string>> files = {
      {"keys", keys},
      {"values", support::Utf16LeWithBom(support::FromUtf8(values))},
  };
  for (const auto& [what, bytes] : files) {
    SCOPED_TRACE(what);
    support::WriteBytes(device.dir() / "registry.reg", bytes);
    const reliability::Measured run = Install(false);
    const long growth_kb = run.peak_rss_kb - small.peak_rss_kb;
    std::printf("registry.reg of %zu bytes (%s): peak %ld KB, %ld KB over the small one\n",
                bytes.size(), what.c_str(), run.peak_rss_kb, growth_kb);
    EXPECT_LT(growth_kb * 1024.0, 2.0 * static_cast<double>(bytes.size()));
  }
  // The last run wrote the registry back whole.
  EXPECT_EQ(Value(last_image / "registry.reg", u"Software\\Vendor\\Group000\\Item000007",
                  u"Count"),
            "07000000");
}

}  // namespace
