// Registry scripts: what the device applies, what it passes over, and what
// it must survive.
#include <gtest/gtest.h>

#include "registry/script.h"
#include "scenario.h"

namespace core_test {
namespace {

const std::string kKey = "HKEY_LOCAL_MACHINE\\Software\\A";

// Runs one script (its body after a header line) and yields the scenario.
std::unique_ptr<Scenario> Apply(const std::string& script) {
  auto s = std::make_unique<Scenario>();
  s->Stage("s.reg", script);
  s->Run();
  return s;
}

std::string Block(const std::string& values) {
  return "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\A]\r\n" + values + "\r\n";
}

TEST(Script, ValueForms) {
  struct Case {
    const char* line;
    std::u16string name;
    const char* data;  // as Scenario::Value shows it
  } cases[] = {
      {"\"N\"=\"x\"", u"N", "x"},
      {"@=\"d\"", u"", "d"},
      {"\"@\"=\"d\"", u"", "d"},
      {"\"\"=\"x\"", u"", "x"},
      {"\"N\"=\"\"", u"N", ""},
      {"\"N\"=\"a\\\\b\\\"c\"", u"N", "a\\\\b\\"},
      {"\"N\"=\"open", u"N", "open"},
      {"\"N\"=\"\x9a\xe8\"", u"N", "š\xc4\x8d"},
      {"\"N\"=dword:0000001A", u"N", "1a000000"},
      {"\"N\"=dword:1a", u"N", "1a000000"},
      {"\"N\"=dword:1A", u"N", "1a000000"},
      {"\"N\"=dword:123456789", u"N", "89674523"},
      {"\"N\"=dword:", u"N", "00000000"},
      {"\"N\"=hex:01,02,ff", u"N", "0102ff"},
      {"\"N\"=hex:", u"N", ""},
      {"\"N\"=hex:01,02,f", u"N", "0102"},
      // A continuation line written without regedit's indentation.
      {"\"N\"=hex:01,\\\r\n02,03", u"N", "010203"},
      {"\"N\"=other", u"N", "<missing>"},
      {"\"N\"=DWORD:1", u"N", "<missing>"},
      {"\"N\"=HEX:01", u"N", "<missing>"},
      {"\"N\"=-", u"N", "<missing>"},
      {"\"N\"", u"N", "<missing>"},
      {"\"N", u"N", "<missing>"},
  };
  for (const Case& c : cases) {
    auto s = Apply(Block(std::string(c.line) + "\r\n\"after\"=\"still\"\r\n"));
    EXPECT_EQ(s->Value(kKey, c.name), c.data) << c.line;
    EXPECT_EQ(s->Value(kKey, u"after"), "still") << c.line << ": the block goes on";
  }
}

TEST(Script, StringsAreWrittenWithTheirTerminator) {
  auto s = Apply(Block("\"N\"=\"x\""));
  auto sets = s->Events("reg_set");
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(sets[0]["type"], "1");
  EXPECT_EQ(sets[0]["data"], "78000000");
}

TEST(Script, ContinuedBinaryData) {
  auto s = Apply(Block("\"N\"=hex:01,\\\r\n  02,03\r\n\"M\"=hex:aa,\\\r\n\r\n\"L\"=hex:0a,\\"));
  EXPECT_EQ(s->Value(kKey, u"N"), "010203");
  // An empty continuation line ends the data; the block goes on after it.
  EXPECT_EQ(s->Value(kKey, u"M"), "aa");
  EXPECT_EQ(s->Value(kKey, u"L"), "0a");
}

TEST(Script, BinaryDataIsCutAt8196Bytes) {
  std::string script = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\A]\r\n\"N\"=hex:";
  for (int i = 0; i < 9000; ++i) script += (i % 40 == 39) ? "11,\\\r\n  " : "11,";
  script += "22\r\n\"after\"=dword:00000001\r\n\r\n";
  auto s = Apply(script);
  EXPECT_EQ(s->Value(kKey, u"N"), std::string(8196 * 2, '1'));
  EXPECT_EQ(s->Value(kKey, u"after"), "01000000");
}

TEST(Script, TypedBinaryFormsAreNotApplied) {
  auto s = Apply(Block(
      "\"E\"=hex(2):25,00,53,00,00,00\r\n\"M\"=hex(7):61,00,\\\r\n  00,00,00,00\r\n\"after\"=\"ok\""));
  EXPECT_EQ(s->Value(kKey, u"E"), "<missing>");
  EXPECT_EQ(s->Value(kKey, u"M"), "<missing>");
  EXPECT_EQ(s->Value(kKey, u"after"), "ok");
}

TEST(Script, BlocksAndHeaders) {
  auto s = Apply(
      "REGEDIT4\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\A]\r\n\"a\"=\"1\"\r\n\r\n"
      "[hkey_current_user\\Software\\B]\r\n\"b\"=\"2\"\r\n"
      "[HKEY_CLASSES_ROOT\\C]\r\n\"c\"=\"3\"\r\n"
      "[HKEY_USERS\\X]\r\n\"x\"=\"lost\"\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Empty]\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\D]\r\n[HKEY_LOCAL_MACHINE\\Software\\E]\r\n\"e\"=\"5\"\r\n"
      "; a comment ends the block\r\n\"lost\"=\"1\"\r\n");
  EXPECT_EQ(s->Value(kKey, u"a"), "1");
  EXPECT_EQ(s->Value("HKEY_CURRENT_USER\\Software\\B", u"b"), "2");
  // A header right after a value line starts a block of its own.
  EXPECT_EQ(s->Value("HKEY_CLASSES_ROOT\\C", u"c"), "3");
  EXPECT_TRUE(s->KeyExists("HKEY_LOCAL_MACHINE\\Software\\Empty"));
  EXPECT_TRUE(s->KeyExists("HKEY_LOCAL_MACHINE\\Software\\D"));
  EXPECT_EQ(s->Value("HKEY_LOCAL_MACHINE\\Software\\E", u"e"), "5");
  EXPECT_EQ(s->Value("HKEY_LOCAL_MACHINE\\Software\\E", u"lost"), "<missing>");
}

TEST(Script, AHeaderNamingOnlyARootOpensTheRoot) {
  auto s = Apply("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE]\r\n\"top\"=\"1\"\r\n\r\n");
  EXPECT_FALSE(s->KeyExists("HKEY_LOCAL_MACHINE\\HKEY_LOCAL_MACHINE"));
  EXPECT_EQ(s->Value("HKEY_LOCAL_MACHINE", u"top"), "1");
}

TEST(Script, FormsTheDeviceDoesNotSupportChangeNothing) {
  auto s = std::make_unique<Scenario>();
  s->Registry("[HKEY_LOCAL_MACHINE\\Software\\Old]\r\n\"v\"=\"1\"\r\n\r\n");
  s->Stage("del.reg", "REGEDIT4\r\n\r\n[-HKEY_LOCAL_MACHINE\\Software\\Old]\r\n\r\n"
                      "[HKEY_LOCAL_MACHINE\\Software\\Old]\r\n\"v\"=-\r\n\r\n");
  // A UTF-16 export: read as bytes, no header names a root.
  s->Stage("wide.reg", support::Utf16LeWithBom(
                           u"Windows Registry Editor Version 5.00\r\n\r\n"
                           u"[HKEY_LOCAL_MACHINE\\Software\\Wide]\r\n\"w\"=\"1\"\r\n\r\n"));
  s->Run();
  EXPECT_EQ(s->Value("HKEY_LOCAL_MACHINE\\Software\\Old", u"v"), "1");
  EXPECT_FALSE(s->KeyExists("HKEY_LOCAL_MACHINE\\Software\\Wide"));
}

TEST(Script, AnExportOfTheRegistryEditorIsAppliedExactly) {
  auto s = Apply(
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_CURRENT_USER\\Software\\Vendor\\App]\r\n"
      "@=\"Default\"\r\n"
      "\"Count\"=dword:0000000a\r\n"
      "\"Blob\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,\\\r\n"
      "  17,18,19\r\n"
      "\r\n"
      "[HKEY_CURRENT_USER\\Software\\Vendor\\App\\Sub]\r\n"
      "\"Name\"=\"Value\"\r\n"
      "\r\n");
  const std::string app = "HKEY_CURRENT_USER\\Software\\Vendor\\App";
  EXPECT_EQ(s->Value(app, u""), "Default");
  EXPECT_EQ(s->Value(app, u"Count"), "0a000000");
  EXPECT_EQ(s->Value(app, u"Blob"), "00010203040506070809" "0a0b0c0d0e0f10111213" "141516171819");
  EXPECT_EQ(s->Value(app + "\\Sub", u"Name"), "Value");
}

TEST(Script, HexHelpers) {
  EXPECT_TRUE(IsHexDigit(u'F'));
  EXPECT_TRUE(IsHexDigit(u'a'));
  EXPECT_FALSE(IsHexDigit(u'g'));
  EXPECT_FALSE(IsHexDigit(u':'));
  EXPECT_EQ(ParseHexDword(u"ffffffff"), 0xFFFFFFFFu);
  EXPECT_EQ(ParseHexDword(u"0ffffffff"), 0xFFFFFFFFu);
  EXPECT_EQ(ParseHexDword(u"100000000"), 0u);
  EXPECT_EQ(ParseHexDword(u""), 0u);
}

TEST(Script, HostileScriptsNeverCrashAndTheRunGoesOn) {
  std::string garbage;
  std::uint32_t x = 12345;
  for (int i = 0; i < 200000; ++i) {
    x = x * 1103515245u + 12345u;
    garbage.push_back(static_cast<char>(x >> 24));
  }
  std::string huge = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Huge]\r\n\"v\"=\"" +
                     std::string(10 * 1024 * 1024, 'v') + "\"\r\n\"after\"=\"1\"\r\n\r\n";
  std::string wide_name = "[HKEY_LOCAL_MACHINE\\" + std::string(400, 'k') + "]\r\n\"" +
                          std::string(400, 'n') + "\"=hex:" + std::string(600, 'f') + "\r\n";
  auto s = std::make_unique<Scenario>();
  s->Stage("garbage.reg", garbage);
  s->Stage("huge.reg", huge);
  s->Stage("wide.reg", wide_name);
  static const char kNul[] = "[HKEY_LOCAL_MACHINE\\N\0ul]\r\n\"a\0\"=\"b\"\r\n";
  s->Stage("nul.reg", std::string(kNul, sizeof kNul - 1));
  s->Run();
  EXPECT_EQ(s->Value("HKEY_LOCAL_MACHINE\\Software\\Huge", u"v"), std::string(250, 'v'));
  EXPECT_EQ(s->Value("HKEY_LOCAL_MACHINE\\Software\\Huge", u"after"), "1");
  EXPECT_EQ(s->Events("restart").size(), 1u);
}

}  // namespace
}  // namespace core_test
