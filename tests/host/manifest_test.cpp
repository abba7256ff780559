// The setup manifest: what the package writer lays out, the parser reads
// back as the same package; and manifests made hostile by patching those
// bytes are refused with a line that says where and what.
#include "platform/host/manifest.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "package_writer.h"

namespace {

using cepkg::PackageSpec;

PackageSpec FullSpec() {
  PackageSpec spec;
  spec.app_name = "Sample Theme";
  spec.provider = "Brand s.r.o.";
  spec.processor = 2577;
  spec.min_major = 3;
  spec.min_minor = 0;
  spec.max_major = 5;
  spec.max_minor = 2;
  spec.min_build = 100;
  spec.max_build = 0xFFFFFFFFu;
  spec.unsupported = {"HPC", "Jupiter"};
  spec.files = {
      {"%CE1%\\Sample", "sample.exe", cepkg::kFileNoSkip | cepkg::kFileWarnIfSkipped, "MZ", 0},
      {"%CE1%\\Sample", "readme.txt", 0, "read me", 2},
      {"%CE2%", "sample.dll", cepkg::kFileShared | cepkg::kFileSelfRegister, "dll", 0},
      // Code page 1250 bytes, as the device's package tools write them: "příliš.gif".
      {"%CE1%\\Sample\\Skins", "p\xF8\xEDli\x9A.gif", cepkg::kFileIgnoreDates, "GIF89a", 0},
  };
  spec.values = {
      {3, "Software\\Sample", "Path", cepkg::kRegTypeSz, cepkg::SzData("\\Program Files\\Sample"),
       1},
      {3, "Software\\Sample", "", cepkg::kRegTypeSz, cepkg::SzData("default"), 0},
      {2, "Software\\Sample", "Skins", cepkg::kRegTypeMultiSz, cepkg::MultiSzData({"a", "b"}), 0},
      {3, "Software\\Sample\\Raw", "Blob", cepkg::kRegTypeBinary, std::string("\x00\x01\xFF", 3),
       0},
      {1, ".smp", "Count", cepkg::kRegTypeDword | cepkg::kRegKeepExisting,
       cepkg::DwordData(0x01020304), 0},
  };
  spec.links = {
      {11, "Sample", 1, "sample.exe"},
      {0, "Samples\\Skins", 0, "%CE1%\\Sample\\Skins"},
      {5, "Pictures", 0, "%CE5%\\Pictures"},  // a folder no file goes to
  };
  spec.setup_dll = "setup";
  return spec;
}

cepkg::Manifest Parse(const std::string& bytes) {
  cepkg::Manifest manifest;
  std::string error;
  EXPECT_TRUE(ParseManifest(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(),
                            &manifest, &error))
      << error;
  return manifest;
}

TEST(Manifest, WrittenAndReadBackIsTheSamePackage) {
  const PackageSpec spec = FullSpec();
  const std::string bytes = cepkg::WriteManifest(spec);
  const cepkg::Manifest m = Parse(bytes);

  EXPECT_EQ(m.length, bytes.size());
  EXPECT_STREQ(cepkg::ProcessorName(m.processor), "StrongARM");
  EXPECT_EQ(m.app_name, spec.app_name);
  EXPECT_EQ(m.provider, spec.provider);
  EXPECT_EQ(m.unsupported, spec.unsupported);
  EXPECT_EQ(std::vector<std::uint32_t>(
                {m.min_major, m.min_minor, m.max_major, m.max_minor, m.min_build, m.max_build}),
            std::vector<std::uint32_t>({3, 0, 5, 2, 100, 0xFFFFFFFFu}));

  // Every path component is stored once.
  std::set<std::string> texts;
  for (const auto& string : m.strings) EXPECT_TRUE(texts.insert(string.text).second) << string.text;
  EXPECT_EQ(texts, (std::set<std::string>{"%CE1%", "Sample", "%CE2%", "Skins", "%CE5%", "Pictures",
                                          "Software", "Raw", ".smp", "Samples"}));
  // One folder per distinct folder, the link's own among them.
  EXPECT_EQ(m.dirs.size(), 4u);
  // One hive per distinct root and key.
  EXPECT_EQ(m.hives.size(), 4u);

  // Numbers: the next free one from 1 where none was given, never one a file claims.
  const std::uint16_t numbers[] = {1, 2, 3, 4};
  ASSERT_EQ(m.files.size(), spec.files.size());
  for (std::size_t i = 0; i < spec.files.size(); ++i) {
    const cepkg::File& file = m.files[i];
    EXPECT_EQ(file.id, numbers[i]);
    EXPECT_EQ(file.name, spec.files[i].name);
    EXPECT_EQ(file.flags, spec.files[i].flags);
    ASSERT_NE(m.FindDir(file.dir), nullptr);
    EXPECT_EQ(m.FindDir(file.dir)->path, spec.files[i].dir);
    EXPECT_EQ(m.FindFile(file.id), &file);
  }

  ASSERT_EQ(m.values.size(), spec.values.size());
  for (std::size_t i = 0; i < spec.values.size(); ++i) {
    const cepkg::RegValue& value = m.values[i];
    const cepkg::Hive* hive = m.FindHive(value.hive);
    ASSERT_NE(hive, nullptr);
    EXPECT_EQ(hive->root, spec.values[i].root);
    EXPECT_EQ(hive->path, spec.values[i].key);
    EXPECT_EQ(value.name, spec.values[i].name);
    EXPECT_EQ(value.flags, spec.values[i].flags);
    EXPECT_EQ(value.data, spec.values[i].data);
    EXPECT_EQ(value.substitute, spec.values[i].substitute);
  }
  EXPECT_EQ(m.values[4].type(), cepkg::kRegTypeDword);
  EXPECT_EQ(m.values[4].data, std::string("\x04\x03\x02\x01", 4));
  EXPECT_EQ(m.values[2].data, std::string("a\0b\0\0", 5));

  ASSERT_EQ(m.links.size(), spec.links.size());
  for (std::size_t i = 0; i < spec.links.size(); ++i) {
    const cepkg::Link& link = m.links[i];
    EXPECT_EQ(link.base, spec.links[i].base);
    EXPECT_EQ(link.type, spec.links[i].type);
    EXPECT_EQ(link.name, spec.links[i].name);
    if (link.type == cepkg::kLinkFile) {
      ASSERT_NE(m.FindFile(link.target), nullptr);
      EXPECT_EQ(m.FindFile(link.target)->name, spec.links[i].target);
    } else {
      ASSERT_NE(m.FindDir(link.target), nullptr);
      EXPECT_EQ(m.FindDir(link.target)->path, spec.links[i].target);
    }
  }

  // The cabinet's members carry the numbers the manifest gives the files.
  const auto members = cepkg::PackageMembers(spec, "SAMPLE");
  std::vector<std::string> names;
  for (const auto& member : members) names.push_back(member.name);
  EXPECT_EQ(names, (std::vector<std::string>{"SAMPLE.000", "SAMPLE.001", "SAMPLE.002", "SAMPLE.003",
                                             "SAMPLE.004", "SAMPLE.999"}));
  EXPECT_EQ(members[0].data, bytes);
  for (std::size_t i = 0; i < spec.files.size(); ++i) {
    EXPECT_EQ(members[m.files[i].id].data, spec.files[i].content);
  }
  EXPECT_EQ(members.back().data, "setup");

  // A package with nothing in it is a manifest of a header and its texts.
  PackageSpec empty;
  empty.app_name.clear();
  empty.provider.clear();
  const cepkg::Manifest bare = Parse(cepkg::WriteManifest(empty));
  EXPECT_EQ(bare.length, 100u);
  EXPECT_TRUE(bare.app_name.empty() && bare.strings.empty() && bare.files.empty());
}

// --- Hostile manifests: the written bytes, patched. ---

std::uint16_t Get16(const std::string& b, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<std::uint8_t>(b.at(at)) |
                                    static_cast<std::uint8_t>(b.at(at + 1)) << 8);
}
std::uint32_t Get32(const std::string& b, std::size_t at) {
  return Get16(b, at) | static_cast<std::uint32_t>(Get16(b, at + 2)) << 16;
}
void Put16(std::string* b, std::size_t at, std::uint16_t v) {
  b->at(at) = static_cast<char>(v & 0xFF);
  b->at(at + 1) = static_cast<char>(v >> 8);
}
void Put32(std::string* b, std::size_t at, std::uint32_t v) {
  Put16(b, at, static_cast<std::uint16_t>(v & 0xFFFF));
  Put16(b, at + 2, static_cast<std::uint16_t>(v >> 16));
}

enum Section { kStrings, kDirs, kFiles, kHives, kValues, kLinks };
// Each section's fixed entry part and where in it the variable length stands.
const std::size_t kFixed[] = {4, 4, 12, 8, 12, 12};
const std::size_t kLengthAt[] = {2, 2, 10, 6, 10, 10};

// The offset of entry `index` (from 0) of `section`.
std::size_t EntryAt(const std::string& b, Section section, std::size_t index) {
  std::size_t at = Get32(b, 60 + 4 * section);
  for (std::size_t i = 0; i < index; ++i) at += kFixed[section] + Get16(b, at + kLengthAt[section]);
  return at;
}

// The offset of the text of the string with `text`.
std::size_t StringText(const std::string& b, const std::string& text) {
  for (std::size_t i = 0; i < Get16(b, 48); ++i) {
    std::size_t at = EntryAt(b, kStrings, i);
    if (b.compare(at + 4, text.size() + 1, text + '\0') == 0) return at + 4;
  }
  ADD_FAILURE() << "no string " << text;
  return 0;
}

struct Hostile {
  const char* what;
  std::function<void(std::string*)> patch;
  std::string fragment;  // the error must hold it
};

TEST(Manifest, HostileManifestsAreRefusedWithWhereAndWhat) {
  const std::string written = cepkg::WriteManifest(FullSpec());
  const std::uint32_t size = static_cast<std::uint32_t>(written.size());
  const std::string sz = std::to_string(size);

  std::vector<Hostile> rows = {
      {"bad signature", [](std::string* b) { (*b)[3] = 'X'; }, "no \"MSCE\" signature"},
      {"truncated header", [](std::string* b) { b->resize(60); },
       "header: 60 bytes, fewer than the 100"},
      {"length beyond the bytes", [size](std::string* b) { Put32(b, 8, size + 1); },
       "says " + std::to_string(size + 1) + " bytes, but only " + sz},
      {"manifest cut short", [](std::string* b) { b->pop_back(); }, "but only"},
      {"length inside the header", [](std::string* b) { Put32(b, 8, 99); }, "fewer than the 100"},
      {"app name beyond the end",
       [size](std::string* b) { Put16(b, 84, static_cast<std::uint16_t>(size)); },
       "the application name at offset"},
      {"app name without NUL",
       [](std::string* b) { (*b)[Get16(*b, 84) + Get16(*b, 86) - 1] = 'x'; },
       "application name has no NUL"},
      {"unsupported list without its empty name",
       [](std::string* b) { Put16(b, 94, static_cast<std::uint16_t>(Get16(*b, 94) - 1)); },
       "does not end in an empty name"},
      {"a count of 65535", [](std::string* b) { Put16(b, 50, 65535); },
       "header: DIRS claims 65535 entries"},
      {"a section inside the header", [](std::string* b) { Put32(b, 68, 40); },
       "FILES offset 40 lies inside the header"},
      {"entry length past the end",
       [](std::string* b) { Put16(b, EntryAt(*b, kLinks, 2) + 10, 0xFFFF); },
       "LINKS entry 3 (id 3): its 65535 bytes at offset"},
      {"string without NUL", [](std::string* b) { (*b)[StringText(*b, "Sample") + 6] = 'x'; },
       "no NUL within its 7 bytes"},
      {"duplicate string id", [](std::string* b) { Put16(b, EntryAt(*b, kStrings, 1), 1); },
       "STRINGS entry 2 (id 1): id 1 is given twice"},
      {"DIRS part naming a missing string",
       [](std::string* b) { Put16(b, EntryAt(*b, kDirs, 0) + 4, 999); },
       "DIRS entry 1 (id 1): names string 999, which STRINGS does not hold"},
      {"DIRS list without its ending 0",
       [](std::string* b) { Put16(b, EntryAt(*b, kDirs, 0) + 6 + 2, 5); }, "does not end in 0"},
      {"FILES dir missing", [](std::string* b) { Put16(b, EntryAt(*b, kFiles, 2) + 2, 9); },
       "FILES entry 3 (id 3): names folder 9, which DIRS does not hold"},
      {"file id 0", [](std::string* b) { Put16(b, EntryAt(*b, kFiles, 0), 0); },
       "FILES entry 1 (id 0): the file's number lies outside 1..998"},
      {"file id 999", [](std::string* b) { Put16(b, EntryAt(*b, kFiles, 1), 999); },
       "FILES entry 2 (id 999): the file's number lies outside 1..998"},
      {"duplicate file id", [](std::string* b) { Put16(b, EntryAt(*b, kFiles, 3), 1); },
       "FILES entry 4 (id 1): file number 1 is given twice"},
      {"file name ..",
       [](std::string* b) { b->replace(EntryAt(*b, kFiles, 0) + 12, 3, "..\0", 3); },
       "FILES entry 1 (id 1): name \"..\" is not a file's name"},
      {"file name with a backslash",
       [](std::string* b) { (*b)[EntryAt(*b, kFiles, 1) + 12 + 2] = '\\'; },
       "name \"re\\dme.txt\" holds a path separator"},
      {"file name with a line break",
       [](std::string* b) { (*b)[EntryAt(*b, kFiles, 1) + 12 + 2] = '\n'; },
       "name \"re\\x0Adme.txt\" holds a control character"},
      {"dir with a .. component",
       [](std::string* b) { b->replace(StringText(*b, "Sample"), 3, "..\0", 3); },
       "DIRS entry 1 (id 1): path \"%CE1%\\..\" has a \"..\" component"},
      {"REGKEYS hive missing", [](std::string* b) { Put16(b, EntryAt(*b, kValues, 1) + 2, 77); },
       "REGKEYS entry 2 (id 2): names hive 77, which REGHIVES does not hold"},
      {"a short DWORD",
       [](std::string* b) {
         std::size_t at = EntryAt(*b, kValues, 4);
         Put16(b, at + 10, static_cast<std::uint16_t>(Get16(*b, at + 10) - 1));
       },
       "a DWORD value takes 4 bytes of data, not 3"},
      {"LINKS file target missing",
       [](std::string* b) { Put16(b, EntryAt(*b, kLinks, 0) + 6, 500); },
       "LINKS entry 1 (id 1): targets file 500, which FILES does not hold"},
      {"LINKS folder target missing",
       [](std::string* b) { Put16(b, EntryAt(*b, kLinks, 1) + 6, 500); },
       "LINKS entry 2 (id 2): targets folder 500, which DIRS does not hold"},
      {"LINKS type 2", [](std::string* b) { Put16(b, EntryAt(*b, kLinks, 1) + 8, 2); },
       "type 2 is neither"},
      {"base 18", [](std::string* b) { Put16(b, EntryAt(*b, kLinks, 0) + 4, 18); },
       "LINKS entry 1 (id 1): base folder 18"},
      {"root 5", [](std::string* b) { Put16(b, EntryAt(*b, kHives, 0) + 2, 5); },
       "REGHIVES entry 1 (id 1): root 5"},
  };
  const char* const kSections[] = {"STRINGS", "DIRS", "FILES", "REGHIVES", "REGKEYS", "LINKS"};
  for (int s = 0; s < 6; ++s) {
    rows.push_back({kSections[s], [s](std::string* b) { Put32(b, 60 + 4 * s, 4000); },
                    std::string("header: ") + kSections[s] +
                        " offset 4000 lies beyond the manifest's " + sz + " bytes"});
  }

  for (const Hostile& row : rows) {
    SCOPED_TRACE(row.what);
    std::string bytes = written;
    row.patch(&bytes);
    ASSERT_NE(bytes, written);
    cepkg::Manifest manifest;
    std::string error;
    EXPECT_FALSE(ParseManifest(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(),
                               &manifest, &error));
    EXPECT_NE(error.find(row.fragment), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
}

}  // namespace
