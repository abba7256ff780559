// registry.reg files mutated at random (bytes flipped, control characters
// and quotes inserted, lines doubled, the file cut short), read the way a
// run reads them. Whatever a file holds:
//   - it loads, or it is refused with "registry.reg:LINE: what" on one line,
//     and a refused file leaves the store as it was;
//   - what loads is written back, and what is written loads again into the
//     very same file (one grammar for reading and writing);
//   - a whole brandsim run on it ends with 0, 1 or 2 and a message for
//     anything but 0, never a signal; after a 0 the image's registry.reg
//     loads, after a 2 nothing in the image changed.
//
// Most cases run in this process against the loader and the writer; a
// smaller number run brandsim itself. BRANDSIM_MUTATIONS=N and
// BRANDSIM_MUTATION_RUNS=N set the two counts (defaults keep CI to seconds),
// BRANDSIM_MUTATION_SEED=S repeats a sequence.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "platform/host/registry_store.h"
#include "reliability/reliability.h"
#include "support/support.h"

namespace {

namespace fs = std::filesystem;

std::size_t Count(const char* variable, std::size_t fallback) {
  const char* text = std::getenv(variable);
  return text != nullptr && *text != 0 ? std::strtoull(text, nullptr, 10) : fallback;
}

unsigned Seed() {
  const char* text = std::getenv("BRANDSIM_MUTATION_SEED");
  if (text != nullptr && *text != 0) return static_cast<unsigned>(std::strtoul(text, nullptr, 10));
  return std::random_device()();
}

const char kSeedText[] =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Brand]\r\n"
    "@=\"default\"\r\n"
    "\"Name\"=\"Te\\\\xt with \\\"quotes\\\"\"\r\n"
    "\"Count\"=dword:0000002a\r\n"
    "\"Blob\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,17,\\\r\n"
    "  18,19,1a\r\n"
    "\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
    "; a comment\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\Control Panel\\Desk]\r\n"
    "\"Wall\"=\"\\\\Windows\\\\logo.gif\"\r\n"
    "\"Gone\"=-\r\n"
    "\r\n"
    "[-HKEY_LOCAL_MACHINE\\Software\\Old]\r\n"
    "\r\n"
    "[HKEY_CLASSES_ROOT\\.txt]\r\n"
    "@=\"txtfile\"\r\n"
    "\r\n";

// The seeds: the text as UTF-16LE with its mark, as UTF-8, and as REGEDIT4.
std::vector<std::string> Seeds() {
  std::string regedit4 = kSeedText;
  regedit4.replace(0, regedit4.find('\r'), "REGEDIT4");
  return {support::Utf16LeWithBom(support::FromUtf8(kSeedText)), kSeedText, regedit4};
}

std::string Mutate(std::string bytes, std::mt19937& random) {
  static const char kInserted[] = {'\r', '\n', '\0', '\x1b', '\x1a', '"', '\\', '[', ']',
                                   '=',  ',',  ';',  '@',    '-',    ':', '\x7f', '\xff', '\t'};
  const int edits = 1 + static_cast<int>(random() % 4);
  for (int k = 0; k < edits && !bytes.empty(); ++k) {
    std::size_t at = random() % bytes.size();
    switch (random() % 6) {
      case 0:  // a bit flipped
        bytes[at] = static_cast<char>(bytes[at] ^ (1 << (random() % 8)));
        break;
      case 1:  // a character inserted (as one byte, or as a UTF-16 unit)
        if (random() % 2) {
          bytes.insert(at, 1, kInserted[random() % sizeof kInserted]);
        } else {
          bytes.insert(at & ~std::size_t{1}, std::string{kInserted[random() % sizeof kInserted], '\0'});
        }
        break;
      case 2:  // cut short
        bytes.resize(at);
        break;
      case 3:  // a piece doubled
        bytes.insert(at, bytes.substr(random() % bytes.size(), random() % 64));
        break;
      case 4:  // a piece removed
        bytes.erase(at, random() % 16);
        break;
      default:  // a byte replaced
        bytes[at] = static_cast<char>(random() % 256);
        break;
    }
  }
  return bytes;
}

bool OneLineMessage(const std::string& error) {
  if (error.empty()) return false;
  for (char c : error) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) return false;
  }
  return true;
}

TEST(RegistryMutations, WhatLoadsIsWrittenBackAndLoadsAgainTheSame) {
  const std::size_t cases = Count("BRANDSIM_MUTATIONS", 3000);
  const unsigned seed = Seed();
  SCOPED_TRACE("BRANDSIM_MUTATION_SEED=" + std::to_string(seed));
  std::mt19937 random(seed);
  const std::vector<std::string> seeds = Seeds();
  // Applied on top of a registry that is already there, as a file applies
  // to the device: a refused one must leave it whole.
  host::RegistryStore base;
  std::string error;
  ASSERT_TRUE(base.Parse(seeds[0], "registry.reg", &error)) << error;
  const std::string base_bytes = base.Serialize();

  std::size_t loaded = 0;
  auto started = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < cases; ++i) {
    const std::string input = Mutate(seeds[i % seeds.size()], random);
    host::RegistryStore store;
    ASSERT_TRUE(store.Parse(seeds[0], "registry.reg", &error));
    if (!store.Parse(input, "registry.reg", &error)) {
      ASSERT_TRUE(OneLineMessage(error) && error.rfind("registry.reg:", 0) == 0 &&
                  error.find(": ", 13) != std::string::npos)
          << "case " << i << ": " << error;
      ASSERT_EQ(store.Serialize(), base_bytes) << "case " << i << ": a refused file changed the store";
      continue;
    }
    ++loaded;
    const std::string written = store.Serialize();
    host::RegistryStore again;
    ASSERT_TRUE(again.Parse(written, "registry.reg", &error))
        << "case " << i << ": what was written does not load: " << error;
    ASSERT_EQ(again.Serialize(), written) << "case " << i << ": what was written loads otherwise";
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("%zu mutated files, %zu loaded, in %.2f s\n", cases, loaded, seconds);
  // The mutations must leave enough files loadable to test the writer.
  EXPECT_GT(loaded, cases / 20);
}

TEST(RegistryMutations, WholeRunsEndWithAStatusAndAMessageAndLoseNothing) {
  const std::size_t runs = Count("BRANDSIM_MUTATION_RUNS", 12);
  const unsigned seed = Seed();
  SCOPED_TRACE("BRANDSIM_MUTATION_SEED=" + std::to_string(seed));
  std::mt19937 random(seed);
  const std::vector<std::string> seeds = Seeds();
  support::TempDir work;
  const fs::path image = work.path() / "image";
  std::size_t by_status[3] = {0, 0, 0};
  for (std::size_t i = 0; i < runs; ++i) {
    SCOPED_TRACE("run " + std::to_string(i));
    fs::remove_all(image);
    fs::create_directories(image / "fs/Windows");
    fs::create_directories(image / "fs/Temp/branding");
    support::WriteBytes(image / "fs/Windows/wceload.exe", "placeholder");
    support::WriteBytes(image / "fs/Temp/branding/brand.ini",
                        "[REG_DEL_KEY]\r\nkey0=\"HKEY_CURRENT_USER\\Control Panel\\Desk\"\r\n");
    const std::string input = Mutate(seeds[i % seeds.size()], random);
    support::WriteBytes(image / "registry.reg", input);
    const reliability::Picture before = reliability::TakePicture(image);
    reliability::Measured run = reliability::RunMeasured(
        {"--device", image.string(), "--answer", "yes", "--quiet", "inst"}, 30);
    ASSERT_FALSE(run.timed_out);
    ASSERT_TRUE(run.status == 0 || run.status == 1 || run.status == 2)
        << "status " << run.status << ": " << run.err;
    if (run.status >= 0 && run.status <= 2) ++by_status[run.status];
    if (run.status != 0) {
      EXPECT_FALSE(run.err.empty());
    }
    if (run.status == 0) {
      host::RegistryStore store;
      std::string error;
      EXPECT_TRUE(store.Load(image / "registry.reg", &error)) << error;
    }
    if (run.status == 2) {
      EXPECT_EQ(reliability::Differences(before, reliability::TakePicture(image)), "");
    }
  }
  std::printf("%zu runs: %zu ended 0, %zu ended 1, %zu ended 2\n", runs, by_status[0],
              by_status[1], by_status[2]);
}

}  // namespace
