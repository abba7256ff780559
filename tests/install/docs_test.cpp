// The reference documents say what the code holds: the lint codes that the
// program lists, the README explains and the checks use are one set; the
// file groups and the brand.ini sections in docs/delivery.md and in
// brandsim-delivery(5) are the placement step's own tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "codes.h"
#include "placement/placement.h"
#include "platform/host/text.h"
#include "registry/script.h"
#include "support/support.h"

namespace {

namespace fs = std::filesystem;

const fs::path kSource = BRANDINST_SOURCE_DIR;

std::string Read(const fs::path& file) {
  std::string text = support::ReadBytes(file);
  EXPECT_FALSE(text.empty()) << file;
  return text;
}

// Every first group of `pattern` in `text`, in order.
std::vector<std::string> Matches(const std::string& text, const std::string& pattern) {
  std::vector<std::string> found;
  std::regex re(pattern);
  for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator();
       ++it) {
    found.push_back((*it)[1].str());
  }
  return found;
}

// A device path as the manual page spells it: roff escapes "\" as "\e".
std::string Roff(std::string text) {
  std::string out;
  for (char c : text) out += c == '\\' ? std::string("\\e") : std::string(1, c);
  return out;
}

std::string Destination(const char16_t* format) {
  std::string text = host::ToUtf8(format);
  return text.replace(text.find("%s"), 2, "NAME");
}

TEST(Docs, LintCodesAreOneSetInTheProgramTheReadmeAndTheChecks) {
  std::vector<std::string> listed;
  for (std::size_t c = 0; c < lint::kCodeCount; ++c) listed.push_back(lint::kCodeTable[c].id);
  std::set<std::string> table(listed.begin(), listed.end());
  EXPECT_EQ(table.size(), listed.size()) << "a code is listed twice";

  // The README's rows are the compiled table's: code, severity, summary.
  std::string readme = Read(kSource / "tools/lint/README.md");
  std::vector<std::string> explained = Matches(readme, "\n\\| `([a-z0-9-]+)` \\|");
  EXPECT_EQ(explained, listed) << "tools/lint/README.md explains other codes, or in another order";
  for (std::size_t c = 0; c < lint::kCodeCount; ++c) {
    const lint::CodeInfo& info = lint::kCodeTable[c];
    std::string severity = info.error ? "error" : "warning";
    if (*info.severity_note != 0) severity += std::string(" ") + info.severity_note;
    std::string row =
        "\n| `" + std::string(info.id) + "` | " + severity + " | " + info.summary + " |\n";
    EXPECT_NE(readme.find(row), std::string::npos)
        << "tools/lint/README.md does not hold the row of the compiled table:" << row;
    EXPECT_NE(*info.explanation, 0) << info.id;
    EXPECT_NE(*info.example, 0) << info.id;
    EXPECT_NE(*info.fix, 0) << info.id;
  }

  std::set<std::string> used;
  for (const auto& entry : fs::directory_iterator(kSource / "tools/lint")) {
    if (entry.path().extension() != ".cpp" || entry.path().filename() == "codes.cpp") continue;
    for (const std::string& code :
         Matches(Read(entry.path()), "\"((?:ini|reg|msg|file|pkg|device|lint)-[a-z0-9-]+)\"")) {
      used.insert(code);
    }
  }
  EXPECT_EQ(used, table)
      << "the checks report codes that the table does not list, or the other way";
}

TEST(Docs, TheDeliveryReferenceNamesThePlacementGroupsAsTheCodeHoldsThem) {
  std::string markdown = Read(kSource / "docs/delivery.md");
  std::string manual = Read(kSource / "docs/man/brandsim-delivery.5");
  for (const FixedGroup& group : kFixedGroups) {
    std::string extension = host::ToUtf8(group.extension);
    std::string destination = Destination(group.destination_format);
    SCOPED_TRACE(extension);
    EXPECT_NE(markdown.find("\n| `" + extension + "` | `" + destination + "` | fixed groups |"),
              std::string::npos);
    EXPECT_NE(manual.find("\n\\&" + extension + "\t" + Roff(destination) + "\tfixed groups\n"),
              std::string::npos);
  }
  for (const MappedGroup& group : kMappedGroups) {
    std::string extension = host::ToUtf8(group.extension);
    std::string section = "[" + host::ToUtf8(group.ask.section) + "]";
    SCOPED_TRACE(extension);
    EXPECT_NE(markdown.find("\n| `" + extension + "` | the value of `NAME` in `" + section +
                            "` | mapped groups |"),
              std::string::npos);
    EXPECT_NE(manual.find("\n\\&" + extension + "\tT{\nthe value of NAME in " + section +
                          "\nT}\tmapped groups\n"),
              std::string::npos);
  }

  // Both forms list the same brand.ini sections, the mapped groups' among them.
  std::vector<std::string> sections = Matches(markdown, "\n\\| `(\\[[A-Za-z_]+\\])` \\|");
  EXPECT_EQ(Matches(manual, "\n(\\[[A-Za-z_]+\\])\t"), sections);
  for (const MappedGroup& group : kMappedGroups) {
    std::string section = "[" + host::ToUtf8(group.ask.section) + "]";
    EXPECT_EQ(std::count(sections.begin(), sections.end(), section), 1) << section;
  }

  // The limits the reader and the script importer hold.
  for (const std::string* text : {&markdown, &manual}) {
    EXPECT_NE(text->find(std::to_string(kLineCapacity - 1) + " characters"), std::string::npos);
    EXPECT_NE(text->find("at most " + std::to_string(kScriptBinaryCapacity) + " bytes"),
              std::string::npos);
  }
}

}  // namespace
