// The line reader and the settings lookup, called directly on an emulated
// device.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <cctype>
#include <random>
#include <string>
#include <vector>

#include "platform/text.h"
#include "scenario.h"
#include "settings/line_reader.h"
#include "settings/settings.h"

namespace core_test {
namespace {

// The lines ReadByteLine delivers for a file on the device, each as UTF-8 (code units are
// bytes, so only ASCII is compared here).
std::vector<std::string> Lines(const std::string& bytes) {
  Scenario s;
  s.Stage("t.txt", bytes);
  s.Open();
  platform::Handle file = platform::CreateFileW(u"\\Temp\\branding\\t.txt", platform::kGenericRead,
                                                platform::kFileShareRead, nullptr,
                                                platform::kOpenExisting, 0, platform::kNullHandle);
  EXPECT_NE(file, platform::kInvalidHandleValue);
  // The same bytes from memory must give the same lines.
  MemoryBytes memory{reinterpret_cast<const std::uint8_t*>(bytes.data()),
                     static_cast<std::uint32_t>(bytes.size()), 0};
  std::vector<std::string> read[2];
  ByteSource sources[2] = {FileByteSource(&file), MemoryByteSource(&memory)};
  for (int k = 0; k < 2; ++k) {
    auto reader = std::make_unique<ByteLineReader>();
    StartByteLines(reader.get(), sources[k]);
    char16_t line[kLineCapacity + 8];
    for (auto& c : line) c = u'#';
    while (ReadByteLine(reader.get(), line)) {
      EXPECT_EQ(line[kLineCapacity], u'#') << "wrote past the buffer";
      std::string text;
      for (int i = 0; line[i] != 0; ++i) text.push_back(static_cast<char>(line[i]));
      read[k].push_back(text);
    }
  }
  EXPECT_EQ(read[1], read[0]) << "memory and file sources differ";
  platform::CloseHandle(file);
  s.Close();
  return read[0];
}

using L = std::vector<std::string>;

TEST(LineReader, LineEndsAndCarriageReturns) {
  EXPECT_EQ(Lines("a\r\nb\r\n"), (L{"a", "b"}));
  EXPECT_EQ(Lines("a\nb"), (L{"a"})) << "a last line without LF is never delivered";
  EXPECT_EQ(Lines("\r\n"), (L{""}));
  EXPECT_EQ(Lines("x\ry\n"), (L{"xy"}));
  EXPECT_EQ(Lines(""), L{});
  EXPECT_EQ(Lines(std::string("a\0b\n\0c\n", 7)), (L{"a", ""}));
}

TEST(LineReader, LongLinesAreCutAndTheirRestDropped) {
  std::string long_line(70000, 'x');
  L lines = Lines(long_line + "\nnext\n");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], std::string(255, 'x'));
  EXPECT_EQ(lines[1], "next");
  EXPECT_EQ(Lines(std::string(255, 'y') + "\n"), (L{std::string(255, 'y')}));
}

TEST(LineReader, LinesAcrossReadChunksStayWhole) {
  std::string bytes;
  L expected;
  for (int i = 0; i < 3000; ++i) {
    std::string line = "line" + std::to_string(i) + std::string(i % 17, '-');
    bytes += line + (i % 3 ? "\r\n" : "\n");
    expected.push_back(line);
  }
  EXPECT_EQ(Lines(bytes), expected);
}

// Looks up (section, key) in a brand.ini; "<none>" when the lookup yields none.
std::string Lookup(const std::string& ini, const char16_t* section, const char16_t* key) {
  Scenario s;
  s.Ini(ini);
  s.Open();
  const char16_t* value = LookupSetting(section, key);
  std::string result = value ? support::ToUtf8(value) : "<none>";
  s.Close();
  return result;
}

TEST(Settings, HowEntriesAreFound) {
  struct Case {
    const char* ini;
    const char16_t* section;
    const char16_t* key;
    const char* expected;
  } cases[] = {
      {"[Skin]\r\nSKIN=\"x\"\r\n", u"skin", u"skin", "x"},
      {"[ADDITIONAL_CABS]\r\ncab0=\"one.cab\"\r\n", u"ADDITIONAL_CABS", u"cab0", "one.cab"},
      {"[A]\r\ncab0=one.cab\r\n", u"A", u"cab0", "ne.cab"},
      {"[A]\r\ncab0=\"\"\r\n", u"A", u"cab0", ""},
      // Case folding at both ends of the alphabet.
      {"[HOMEPAGE]\r\nZONE.HP=\"z\"\r\n", u"homepage", u"zone.hp", "z"},
      {"[A]\r\nalpha=\"a\"\r\n", u"A", u"ALPHA", "a"},
      {"[A]\r\ncab0=\r\n", u"A", u"cab0", ""},
      {"[A]\r\ncab0\r\n", u"A", u"cab0", ""},
      {"[A]\r\ncab10=\"x\"\r\n", u"A", u"cab1", "<none>"},
      {"[A]\r\ncab1=\"x\"\r\n", u"A", u"cab10", "<none>"},
      {"[A]\r\ncab0 =\"x\"\r\n", u"A", u"cab0", "<none>"},
      {"[A]\r\ncab0= \"x\"\r\n", u"A", u"cab0", ""},
      {"[A]\r\n=\"x\"\r\n", u"A", u"cab0", "<none>"},
      {"[A]\r\na=\"1\"\r\n\r\nb=\"2\"\r\n", u"A", u"b", "<none>"},
      {"[A]\r\na=\"1\"\r\n[A]\r\nb=\"2\"\r\n", u"A", u"b", "<none>"},
      {"b=\"0\"\r\n[A]\r\nb=\"2\"\r\n", u"A", u"b", "2"},
      {"[B]\r\nb=\"1\"\r\n[A]\r\nb=\"2\"\r\n", u"A", u"b", "2"},
      {"[A\r\nb=\"open header\"\r\n", u"A", u"b", "open header"},
      {"[A]trailing\r\nb=\"x\" rest\r\n", u"A", u"b", "x"},
      {"[A]\r\nb=\"no closing quote\r\n", u"A", u"b", "no closing quote"},
      {"[A]\nb=\"LF only\"\n", u"A", u"b", "LF only"},
      {"[A]\r\nb=\"\x8a\xe8\x9a\"\r\n", u"A", u"b", "Šč\xc5\xa1"},
      {"[A]\r\nb=\"last line without LF\"", u"A", u"b", "<none>"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Lookup(c.ini, c.section, c.key), c.expected) << c.ini;
  }
}

TEST(Settings, WithoutTheFileEveryLookupYieldsNone) {
  Scenario s;
  s.Open();
  EXPECT_EQ(LookupSetting(u"LENGREBOOT", u"reboot"), nullptr);
  s.Close();
}

TEST(Settings, ALookupThatFindsNothingLeavesTheResultAsItWas) {
  Scenario s;
  s.Ini("[A]\r\ncab0=\"first\"\r\ncab1\r\n");
  s.Open();
  const char16_t* first = LookupSetting(u"A", u"cab0");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(LookupSetting(u"A", u"missing"), nullptr);
  EXPECT_EQ(support::ToUtf8(first), "first");
  // An empty value never shows what the previous lookup held.
  const char16_t* empty = LookupSetting(u"A", u"cab1");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty[0], 0);
  s.Close();
}

TEST(Settings, OffsetsNeverPassTheEndOfTheLine) {
  // "cab0" alone after a line that left text further along the buffer: the
  // value must not pick that text up.
  std::string ini = "[A]\r\nlong=\"" + std::string(200, 'z') + "\"\r\ncab0\r\ncab1=\r\n";
  EXPECT_EQ(Lookup(ini, u"A", u"cab0"), "");
  EXPECT_EQ(Lookup(ini, u"A", u"cab1"), "");
}

TEST(Settings, ValuesNeverOverflowTheirBuffers) {
  // The longest value a line can carry, in the widest form.
  std::string value(253, '\xe8');
  EXPECT_EQ(Lookup("[A]\r\nk=\"" + value + "\"\r\n", u"A", u"k"),
            [] {
              std::string s;
              for (int i = 0; i < 252; ++i) s += "č";
              return s;
            }());
}

// The lookup as the rules read, straight from the bytes: the oracle for the
// scan, which passes over lines it can tell will not answer without reading
// them. "<none>" when nothing answers; ASCII values only. *line_number is
// that of the answering line (1 for the first).
std::string ReferenceLookup(const std::string& bytes, const std::string& section,
                            const std::string& key, std::size_t* line_number) {
  auto lower = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  std::vector<std::string> lines;
  std::string current;
  for (char c : bytes) {
    if (c == '\n') {
      lines.push_back(current.substr(0, current.find('\0')).substr(0, kLineCapacity - 1));
      current.clear();
    } else if (c != '\r') {
      current.push_back(c);
    }
  }
  std::size_t i = 0;
  for (; i < lines.size(); ++i) {
    const std::string& l = lines[i];
    if (!l.empty() && l[0] == '[' && lower(l.substr(1, l.find(']') - 1)) == lower(section)) break;
  }
  for (++i; i < lines.size(); ++i) {
    const std::string& l = lines[i];
    if (l.empty() || l[0] == '[') return "<none>";
    std::size_t key_end = std::min(l.find('='), l.size());
    if (lower(l.substr(0, key_end)) != lower(key)) continue;
    std::size_t begin = std::min(key_end + 2, l.size());
    *line_number = i + 1;
    return l.substr(begin, l.find('"', begin) - begin);
  }
  return "<none>";
}

TEST(Settings, PassingOverLinesChangesNoAnswer) {
  // Pieces that make lines look alike to a quick glance and differ by the
  // rules: CR and NUL bytes inside keys, cut and chunk-crossing lines, near
  // misses of the key and the section, missing LFs.
  const std::string k255(255, 'k');
  const std::vector<std::string> pieces = {
      "[S]", "[s]", "\r[S]", "[S", "[T]", "[S]x", "", "\r", std::string("\0k=\"nul\"", 8),
      "k=\"1\"", "K=\"2\"", "k\r=\"3\"", "\rk=\"4\"", "k\r\r=\"5\"", "k", "k ", "k =\"6\"",
      "kk=\"7\"", "=\"8\"", std::string("k\0=\"9\"", 7), "k=", "k=x", k255, k255 + "=\"a\"",
      k255.substr(1) + "=\"b\"", k255 + "k=\"c\"", std::string(300, 'x'), std::string(5000, 'y'),
      "k=\"" + std::string(4100, 'z') + "\"", "j=\"" + std::string(40, 'j') + "\"",
      "k=\"[S]\"", "x[S]", "\r\r[S]", "[", "[[S]",
      // File names sharing a long head, which the scan compares a word at a time.
      "page000001.hp=\"p1\"", "PAGE000001.HP=\"p2\"", "page000002.hp=\"p3\"",
      "page0000\r01.hp=\"p4\"", "page000001.hpx=\"p5\"", "page000001.h=\"p6\"",
      "page0=1=\"p7\""};
  const std::pair<std::string, std::u16string> asks[] = {
      {"S", u"k"}, {"s", u"K"}, {"T", u"k"}, {"S", u"kk"}, {"S", u""},
      {"S", std::u16string(255, u'k')}, {"S", std::u16string(254, u'k')},
      {"S", std::u16string(256, u'k')}, {"S", u"page000001.hp"}, {"S", u"Page000002.HP"},
      {"S", u"page0=1"}};
  std::mt19937 rng(7);
  // One device for every round: each lookup opens brand.ini afresh.
  Scenario s;
  s.Open();
  for (int round = 0; round < 300; ++round) {
    std::string ini;
    int count = 1 + static_cast<int>(rng() % 40);
    for (int n = 0; n < count; ++n) {
      ini += pieces[rng() % pieces.size()];
      ini += rng() % 4 ? "\r\n" : "\n";
    }
    if (rng() % 3 == 0) ini += "k=\"no LF\"";
    s.Ini(ini);
    for (const auto& [section, key] : asks) {
      std::u16string wide_section(section.begin(), section.end());
      const char16_t* value = LookupSetting(wide_section.c_str(), key.c_str());
      std::string got = value ? support::ToUtf8(value) : "<none>";
      std::string narrow_key(key.begin(), key.end());
      std::size_t expected_line = 0;
      ASSERT_EQ(got, ReferenceLookup(ini, section, narrow_key, &expected_line))
          << "round " << round << ", [" << section << "] " << narrow_key.substr(0, 8);
      // The same lookup over the bytes in memory (as the linter makes it)
      // answers alike, and with the number of the answering line.
      MemoryBytes memory{reinterpret_cast<const std::uint8_t*>(ini.data()),
                         static_cast<std::uint32_t>(ini.size()), 0};
      auto reader = std::make_unique<ByteLineReader>();
      StartByteLines(reader.get(), MemoryByteSource(&memory));
      char16_t line[kLineCapacity];
      SettingsLine parsed;
      char16_t in_memory[kSettingCapacity] = {};
      bool found =
          LookupSettingIn(reader.get(), wide_section.c_str(), key.c_str(), line, &parsed, in_memory);
      ASSERT_EQ(found, value != nullptr) << "round " << round;
      if (found) {
        EXPECT_EQ(support::ToUtf8(in_memory), got) << "round " << round;
        EXPECT_EQ(reader->line_number, expected_line) << "round " << round;
      }
    }
  }
  s.Close();
}

}  // namespace
}  // namespace core_test
