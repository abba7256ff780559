// The setup manifest of a Windows CE package: the `.000` member of a
// package or theme cabinet, which tells the device's package installer what
// to install where. Read by the emulated installer, by `brandsim package`
// and by the linter, so that all three see one package.
//
// Layout (all numbers little-endian): the signature "MSCE", then a header
// up to offset 100:
//   u32 @8  the manifest's length         u32 @20 target processor (0: any)
//   u32 @24/@28 lowest OS version major/minor, @32/@36 highest (0: no limit)
//   u32 @40/@44 lowest/highest build (0: no limit)
//   u16 @48..@58 entry counts of STRINGS, DIRS, FILES, REGHIVES, REGKEYS, LINKS
//   u32 @60..@80 offsets of those six sections
//   u16 pairs @84/86 application name, @88/90 provider, @92/94 the list of
//   unsupported platforms (offset, length): NUL-separated names ending with
//   an empty one.
// Sections lie anywhere after the header, in any order, without padding:
//   STRINGS  u16 id, u16 length (NUL included), the bytes
//   DIRS     u16 id, u16 byte length, u16 string ids ending in 0 (joined by `\`)
//   FILES    u16 id (= the member's number), u16 dir id, u16 unknown, u32 flags,
//            u16 name length, the NUL-terminated name
//   REGHIVES u16 id, u16 root (1 HKCR, 2 HKCU, 3 HKLM, 4 HKU: registry/roots.h), u16 0,
//            u16 byte length, u16 string ids ending in 0 (the key path)
//   REGKEYS  u16 id, u16 hive id, u16 substitute flag, u32 type and flags,
//            u16 byte length, the NUL-terminated value name, then the data
//   LINKS    u16 id, u16 unknown, u16 base folder (0: the install folder,
//            1-17: %CEn%), u16 target id, u16 type (0 folder, 1 file),
//            u16 byte length, u16 string ids ending in 0 (the shortcut's name)
// Text is 8-bit, in the device's code page; it is kept here as bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace cepkg {

// Registry value types as the manifest encodes them (flags & kRegTypeMask).
constexpr std::uint32_t kRegTypeMask = 0x00010001u;
constexpr std::uint32_t kRegTypeSz = 0x00000000u;
constexpr std::uint32_t kRegTypeMultiSz = 0x00010000u;
constexpr std::uint32_t kRegTypeBinary = 0x00000001u;
constexpr std::uint32_t kRegTypeDword = 0x00010001u;
constexpr std::uint32_t kRegKeepExisting = 0x00000002u;

// File flags.
constexpr std::uint32_t kFileWarnIfSkipped = 0x00000001u;
constexpr std::uint32_t kFileNoSkip = 0x00000002u;
constexpr std::uint32_t kFileNeverOverwrite = 0x00000010u;
constexpr std::uint32_t kFileOnlyIfExists = 0x00000400u;
constexpr std::uint32_t kFileSelfRegister = 0x10000000u;
constexpr std::uint32_t kFileNoOverwriteNewer = 0x20000000u;
constexpr std::uint32_t kFileIgnoreDates = 0x40000000u;
constexpr std::uint32_t kFileShared = 0x80000000u;

// Link types.
constexpr std::uint16_t kLinkFolder = 0;
constexpr std::uint16_t kLinkFile = 1;

// The manifest's member number, and the setup DLL's.
constexpr int kManifestMember = 0;
constexpr int kSetupDllMember = 999;

struct String {
  std::uint16_t id = 0;
  std::string text;  // without its NUL
};

struct Dir {
  std::uint16_t id = 0;
  std::vector<std::uint16_t> parts;  // string ids, without the ending 0
  std::string path;                  // their texts joined by `\`, e.g. "%CE1%\Sample"
};

struct File {
  std::uint16_t id = 0;  // the member's number: 1..998
  std::uint16_t dir = 0;
  std::uint16_t unknown = 0;
  std::uint32_t flags = 0;
  std::string name;  // the name to install under, without its NUL
};

struct Hive {
  std::uint16_t id = 0;
  std::uint16_t root = 0;
  std::vector<std::uint16_t> parts;
  std::string path;  // the key path below the root, joined by `\`
};

struct RegValue {
  std::uint16_t id = 0;
  std::uint16_t hive = 0;
  std::uint16_t substitute = 0;
  std::uint32_t flags = 0;  // type (kRegTypeMask) and kRegKeepExisting
  std::string name;         // empty: the default value
  std::string data;         // the raw bytes after the name's NUL
  std::uint32_t type() const { return flags & kRegTypeMask; }
};

struct Link {
  std::uint16_t id = 0;
  std::uint16_t unknown = 0;
  std::uint16_t base = 0;  // 0: the install folder; 1..17: %CEn%
  std::uint16_t target = 0;  // a FILES id (type 1) or a DIRS id (type 0)
  std::uint16_t type = 0;
  std::vector<std::uint16_t> parts;
  std::string name;  // the shortcut's name, joined by `\`
};

struct Manifest {
  std::uint32_t length = 0;
  std::uint32_t processor = 0;
  std::uint32_t min_major = 0, min_minor = 0, max_major = 0, max_minor = 0;
  std::uint32_t min_build = 0, max_build = 0;
  std::string app_name;
  std::string provider;
  std::vector<std::string> unsupported;
  std::vector<String> strings;
  std::vector<Dir> dirs;
  std::vector<File> files;
  std::vector<Hive> hives;
  std::vector<RegValue> values;
  std::vector<Link> links;

  const String* FindString(std::uint16_t id) const;
  const Dir* FindDir(std::uint16_t id) const;
  const File* FindFile(std::uint16_t id) const;
  const Hive* FindHive(std::uint16_t id) const;
};

// Reads a manifest from `size` bytes. Every offset, length, count and id is
// checked against the bytes given before it is used: a DIRS, REGHIVES or
// LINKS entry naming a string that is not there, a FILES entry naming a
// missing folder, a REGKEYS entry naming a missing hive, a LINKS target that
// does not exist, a file number outside 1..998 or given twice, a name or
// path that holds `..`, `.`, a `:` or starts at the root where only a name
// fits, are all refused. False with one line in *error saying what is wrong
// and where ("FILES entry 3 (id 7): names folder 9, which DIRS does not
// hold"); *manifest is then unspecified.
bool ParseManifest(const std::uint8_t* bytes, std::size_t size, Manifest* manifest,
                   std::string* error);

// The name of a processor number ("StrongARM", "MIPS R4000", ...), or null
// when it is not one the format documents.
const char* ProcessorName(std::uint32_t processor);

}  // namespace cepkg
