// Builds Windows CE packages: the setup manifest and the cabinet around it.
// Used by the tests (packages of every shape, hostile ones made by patching
// the bytes it returns), by `mkcepkg` (the sample delivery's package and
// theme) and by the benchmarks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cepkg {

struct PackageSpec {
  std::string app_name = "Sample";
  std::string provider = "Brand";
  std::uint32_t processor = 0;  // 0: any
  std::uint32_t min_major = 0, min_minor = 0, max_major = 0, max_minor = 0;
  std::uint32_t min_build = 0, max_build = 0;
  std::vector<std::string> unsupported;

  struct FileSpec {
    std::string dir;   // e.g. "%CE1%\\Sample" or "%CE2%": split at `\` into strings
    std::string name;  // the name to install under
    std::uint32_t flags = 0;
    std::string content;
    std::uint16_t member = 0;  // its number; 0: the next free one from 1
  };
  struct ValueSpec {
    std::uint16_t root = 3;  // 1 HKCR, 2 HKCU, 3 HKLM, 4 HKU
    std::string key;         // e.g. "Software\\Sample"
    std::string name;        // empty: the default value
    std::uint32_t flags = 0; // type bits and kRegKeepExisting
    std::string data;        // raw bytes as the manifest holds them (NUL included for strings)
    std::uint16_t substitute = 0;
  };
  struct LinkSpec {
    std::uint16_t base = 11;  // 0: the install folder; 1..17: %CEn%
    std::string name;         // the shortcut's name (without .lnk)
    std::uint16_t type = 1;   // 1: a file of `files`, named by `target`; 0: a folder path
    std::string target;
  };
  std::vector<FileSpec> files;
  std::vector<ValueSpec> values;
  std::vector<LinkSpec> links;
  std::string setup_dll;  // not empty: a setup DLL member (.999) with these bytes
};

// Data for the four value types, as the manifest stores them.
std::string SzData(const std::string& text);                      // text and its NUL
std::string MultiSzData(const std::vector<std::string>& strings); // each with its NUL, then one more
std::string DwordData(std::uint32_t value);                       // four bytes, little-endian

// The manifest's bytes for `spec`.
std::string WriteManifest(const PackageSpec& spec);

struct Member {
  std::string name;  // an 8.3 name such as "SAMPLE.000"
  std::string data;
};

// The members of the package: the manifest as "<base>.000", each file as
// "<base>.NNN" with its number, and the setup DLL as "<base>.999". `base`
// is at most 8 characters.
std::vector<Member> PackageMembers(const PackageSpec& spec, const std::string& base);

enum class Compression { kNone, kMszip };

// An MS-CAB cabinet holding `members` in one folder, in their order.
std::string WriteCabinet(const std::vector<Member>& members, Compression compression);

}  // namespace cepkg
