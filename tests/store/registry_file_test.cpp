// registry.reg: reading the regedit layout, writing it back byte for byte,
// saving atomically.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "platform/host/registry_store.h"
#include "support/support.h"

namespace {

namespace fs = std::filesystem;
using host::RegistryStore;
using support::FromUtf8;
using support::ToUtf8;
using support::Utf16LeToUtf8;
using support::Utf16LeWithBom;

// Every key and value in a fixed order, for comparing two stores without
// going through the writer under test.
void DumpKey(const RegistryStore& store, const std::shared_ptr<host::RegKey>& key,
             std::string* out) {
  *out += "[" + ToUtf8(store.FullPath(key.get())) + "]\n";
  for (const host::RegValue& value : store.Values(key.get())) {
    char head[32];
    std::snprintf(head, sizeof head, " type %x:", static_cast<unsigned>(value.type));
    *out += "  \"" + ToUtf8(value.name) + "\"" + head;
    for (std::uint8_t b : value.data) {
      std::snprintf(head, sizeof head, " %02x", b);
      *out += head;
    }
    *out += "\n";
  }
  for (const auto& child : store.Subkeys(key.get())) DumpKey(store, child, out);
}

std::string Dump(const RegistryStore& store) {
  std::string out;
  for (int r = 0; r < RegistryStore::kRootCount; ++r) {
    auto root = store.root(static_cast<RegistryStore::Root>(r));
    DumpKey(store, root, &out);
  }
  return out;
}

std::string Utf16(const std::string& utf8) { return Utf16LeWithBom(FromUtf8(utf8)); }

std::string Crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// Parses UTF-8 text given with LF line ends, as UTF-16LE with CRLF.
void MustParse(RegistryStore* store, const std::string& text) {
  std::string error;
  ASSERT_TRUE(store->Parse(Utf16(Crlf(text)), "registry.reg", &error)) << error;
}

std::string ParseError(const std::string& bytes) {
  RegistryStore store;
  std::string error;
  EXPECT_FALSE(store.Parse(bytes, "registry.reg", &error));
  EXPECT_EQ(Dump(store), Dump(RegistryStore())) << "a failed parse changed the store";
  return error;
}

std::vector<std::uint8_t> Bytes(std::initializer_list<int> list) {
  std::vector<std::uint8_t> out;
  for (int b : list) out.push_back(static_cast<std::uint8_t>(b));
  return out;
}

std::vector<std::uint8_t> Sz(const std::u16string& text) {
  std::vector<std::uint8_t> out;
  host::AppendStringData(text, &out);
  return out;
}

host::RegValue Value(const RegistryStore& store, const std::u16string& key,
                     const std::u16string& name) {
  auto k = store.Find(store.root(RegistryStore::kLocalMachine), key);
  std::optional<host::RegValue> v = k ? store.GetValue(k.get(), name) : std::nullopt;
  return v ? *v : host::RegValue{u"<missing>", 0xFFFFFFFF, {}};
}

// --- Reading -------------------------------------------------------------

TEST(RegistryParse, ReadsEveryKindOfValue) {
  RegistryStore store;
  MustParse(&store,
            "Windows Registry Editor Version 5.00\n"
            "\n"
            "; a comment\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Test]\n"
            "@=\"default\"\n"
            "\"Path\"=\"C:\\\\Program Files\\\\\\\"x\\\"\"\n"
            "\"Quote\\\"Name\\\\\"=\"\"\n"
            "\"Short\"=dword:7\n"
            "\"Padded\"=dword:0ffffffff\n"
            "\"Bin\"=hex:00,ff,A0\n"
            "\"Empty\"=hex:\n"
            "\"None\"=hex(0):\n"
            "\"Qword\"=hex(b):01,02,03,04,05,06,07,08\n"
            "\"Multi\"=hex(7):41,00,00,00,\\\n"
            "    ; a comment inside the data\n"
            "  00,00\n"
            "\"Lone\"=hex:\\\n"
            "      0\n"
            "   \"Spaced\" = \"v\" ; trailing comment\n"
            "\"Big\"=hex(ffffffff):1\n"
            "\"\u017Dlu\u0165ou\u010Dk\u00FD\"=\"k\u016F\u0148 \U0001F600\"\n");
  EXPECT_EQ(Value(store, u"Software\\Test", u"").data, Sz(u"default"));
  EXPECT_EQ(Value(store, u"Software\\Test", u"path").data, Sz(u"C:\\Program Files\\\"x\""));
  EXPECT_EQ(Value(store, u"Software\\Test", u"Path").type, 1u);
  EXPECT_EQ(Value(store, u"Software\\Test", u"Quote\"Name\\").data, Sz(u""));
  EXPECT_EQ(Value(store, u"Software\\Test", u"Short").data, Bytes({7, 0, 0, 0}));
  EXPECT_EQ(Value(store, u"Software\\Test", u"Short").type, 4u);
  EXPECT_EQ(Value(store, u"Software\\Test", u"Padded").data, Bytes({255, 255, 255, 255}));
  EXPECT_EQ(Value(store, u"Software\\Test", u"Bin").data, Bytes({0, 0xff, 0xa0}));
  EXPECT_EQ(Value(store, u"Software\\Test", u"Bin").type, 3u);
  EXPECT_TRUE(Value(store, u"Software\\Test", u"Empty").data.empty());
  EXPECT_EQ(Value(store, u"Software\\Test", u"None").type, 0u);
  EXPECT_TRUE(Value(store, u"Software\\Test", u"None").data.empty());
  EXPECT_EQ(Value(store, u"Software\\Test", u"Qword").type, 11u);
  EXPECT_EQ(Value(store, u"Software\\Test", u"Qword").data.size(), 8u);
  EXPECT_EQ(Value(store, u"Software\\Test", u"Multi").type, 7u);
  EXPECT_EQ(Value(store, u"Software\\Test", u"Multi").data, Bytes({0x41, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Value(store, u"Software\\Test", u"Lone").data, Bytes({0}));
  EXPECT_EQ(Value(store, u"Software\\Test", u"Spaced").data, Sz(u"v"));
  EXPECT_EQ(Value(store, u"Software\\Test", u"Big").type, 0xFFFFFFFFu);
  EXPECT_EQ(Value(store, u"Software\\Test", u"Big").data, Bytes({1}));
  EXPECT_EQ(Value(store, u"Software\\Test", u"\u017DLU\u0164OU\u010CK\u00DD").data,
            Sz(u"k\u016F\u0148 \U0001F600"));
}

TEST(RegistryParse, EncodingsAndLineEndsReadAlike) {
  const std::string text =
      "Windows Registry Editor Version 5.00\n\n"
      "[HKEY_CURRENT_USER\\\u010Cesk\u00FD]\n\"N\u00E1zev\"=\"\u0159\u00ED\u0161e\"\n"
      "\"B\"=hex:01,\\\n  02\n";
  RegistryStore reference;
  MustParse(&reference, text);
  const std::string expected = Dump(reference);
  ASSERT_NE(expected.find("N\u00E1zev"), std::string::npos);

  const std::vector<std::pair<std::string, std::string>> variants = {
      {"UTF-16LE, LF", Utf16(text)},
      {"UTF-8, LF", text},
      {"UTF-8, CRLF", Crlf(text)},
      {"UTF-8 with a mark, CRLF", "\xEF\xBB\xBF" + Crlf(text)},
      {"REGEDIT4", "REGEDIT4\r\n" + Crlf(text.substr(text.find('\n') + 1))},
      {"no final line end", text.substr(0, text.size() - 1)},
      {"Ctrl-Z at the end", text + "\x1A"},
  };
  for (const auto& [what, bytes] : variants) {
    RegistryStore store;
    std::string error;
    EXPECT_TRUE(store.Parse(bytes, "registry.reg", &error)) << what << ": " << error;
    EXPECT_EQ(Dump(store), expected) << what;
  }
  // Only the mark: an empty registry, as a missing file is.
  for (const std::string& empty : {std::string(), std::string("\xFF\xFE")}) {
    RegistryStore store;
    std::string error;
    EXPECT_TRUE(store.Parse(empty, "registry.reg", &error)) << error;
  }
}

TEST(RegistryParse, KeyLines) {
  RegistryStore store;
  MustParse(&store,
            "REGEDIT4\n"
            "[HKEY_LOCAL_MACHINE]\n"
            "\"OnRoot\"=dword:1\n"
            "[hkey_local_machine\\Empty\\]\n"
            "[HKEY_LOCAL_MACHINE\\\\A\\\\B\\]\n"
            "\"x\"=\"1\"\n"
            "[HKEY_LOCAL_MACHINE\\a\\b]   ; again, other case\n"
            "\"y\"=\"2\"\n"
            "[HKEY_CLASSES_ROOT\\*\\shell\\a]b]\n"
            "[HKEY_CURRENT_USER\\ spaced ]\n");
  auto hklm = store.root(RegistryStore::kLocalMachine);
  EXPECT_EQ(store.Subkeys(hklm.get()).size(), 2u);  // Empty, A: the root never became a subkey
  EXPECT_TRUE(store.GetValue(hklm.get(), u"OnRoot"));
  EXPECT_TRUE(store.Find(hklm, u"Empty"));
  auto b = store.Find(hklm, u"A\\B");
  ASSERT_TRUE(b);
  EXPECT_EQ(store.Values(b.get()).size(), 2u);
  EXPECT_EQ(ToUtf8(store.FullPath(b.get())), "HKEY_LOCAL_MACHINE\\A\\B");
  EXPECT_TRUE(store.Find(store.root(RegistryStore::kClassesRoot), u"*\\shell\\a]b"));
  EXPECT_TRUE(store.Find(store.root(RegistryStore::kCurrentUser), u" spaced "));
}

TEST(RegistryParse, DeletionsAreApplied) {
  RegistryStore store;
  MustParse(&store,
            "REGEDIT4\n"
            "[HKEY_CURRENT_USER\\Old\\Deep\\Deeper]\n\"v\"=\"1\"\n"
            "[HKEY_CURRENT_USER\\Keep]\n\"a\"=\"1\"\n\"b\"=\"2\"\n");
  auto held = store.Find(store.root(RegistryStore::kCurrentUser), u"Old\\Deep");
  MustParse(&store,
            "Windows Registry Editor Version 5.00\n"
            "[-HKEY_CURRENT_USER\\OLD]\n"
            "[-HKEY_CURRENT_USER\\Never\\There]\n"
            "[HKEY_CURRENT_USER\\Keep]\n"
            "\"A\"=-\n"
            "\"missing\"=-\n"
            "[HKEY_CURRENT_USER\\New]\n\"n\"=\"1\"\n"
            "[-HKEY_CURRENT_USER\\New\\]\n"
            "[HKEY_CURRENT_USER\\New]\n");
  auto hkcu = store.root(RegistryStore::kCurrentUser);
  EXPECT_EQ(store.Find(hkcu, u"Old"), nullptr);
  EXPECT_TRUE(store.Deleted(held.get()));
  auto keep = store.Find(hkcu, u"Keep");
  ASSERT_TRUE(keep);
  EXPECT_EQ(store.Values(keep.get()).size(), 1u);
  EXPECT_TRUE(store.GetValue(keep.get(), u"b"));
  // Deleted and opened again: there, and empty.
  auto fresh = store.Find(hkcu, u"New");
  ASSERT_TRUE(fresh);
  EXPECT_TRUE(store.Values(fresh.get()).empty());
}

TEST(RegistryParse, ErrorsNameTheFileAndLine) {
  const std::string v5 = "Windows Registry Editor Version 5.00\n\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"REGEDIT\n",
       "registry.reg:1: expected \"Windows Registry Editor Version 5.00\" or "
       "\"REGEDIT4\" as the first line"},
      {"\n" + v5, "registry.reg:1: expected \"Windows Registry Editor Version 5.00\""},
      {v5 + "[HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"1\"\n\n; fine so far\n[HKEY_USERS\\.DEFAULT]\n",
       "registry.reg:7: unknown root HKEY_USERS"},
      {v5 + "[HKLM\\Software]\n", "registry.reg:3: unknown root HKLM"},
      {v5 + "[\\Software]\n", "registry.reg:3: key line without a root key name"},
      {v5 + "[HKEY_LOCAL_MACHINE\\A\n", "registry.reg:3: key line without its closing ']'"},
      {v5 + "[HKEY_LOCAL_MACHINE\\A] x\n", "registry.reg:3: text after the key line's ']'"},
      {v5 + "\"a\"=\"1\"\n", "registry.reg:3: value line outside any key"},
      {v5 + "[-HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"1\"\n",
       "registry.reg:4: value line under a key deletion"},
      {v5 + "[-HKEY_LOCAL_MACHINE]\n", "registry.reg:3: a root key cannot be deleted"},
      {v5 + "[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:01,zz,03\n", "registry.reg:4: bad hex byte 'zz'"},
      {v5 + "[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:01,\\\n  02,123\n",
       "registry.reg:5: bad hex byte '123'"},
      {v5 + "[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:01,02,\n",
       "registry.reg:4: hex data ends with a comma"},
      {v5 + "[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:01 02\n",
       "registry.reg:4: expected ',' between hex bytes"},
      {v5 + "[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:01,\\\n",
       "registry.reg:4: hex data continued past the end of the file"},
      {v5 + "[HKEY_LOCAL_MACHINE\\A]\n\"a\"=dword:\n",
       "registry.reg:4: dword needs 1 to 8 hex digits"},
      {v5 + "[HKEY_LOCAL_MACHINE\\A]\n\"a\"=dword:123456789\n",
       "registry.reg:4: dword needs 1 to 8 hex digits, not '123456789'"},
      {v5 + "[HKEY_LOCAL_MACHINE\\A]\n\"a\"=dword:12g4\n",
       "registry.reg:4: dword needs 1 to 8 hex digits, not '12g4'"},
      {v5 + "[HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"open\n", "registry.reg:4: unterminated string"},
      {v5 + "[HKEY_LOCAL_MACHINE\\A]\n\"a=\"x\"\n",
       "registry.reg:4: expected '=' after the value name"},
      {v5 + "[HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"x\"y\n",
       "registry.reg:4: text after the string's closing quote"},
      {v5 + "[HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"C:\\Windows\"\n",
       "registry.reg:4: unknown escape \\W in a string"},
      {v5 + "[HKEY_LOCAL_MACHINE\\A]\n\"a\"=multi_sz:\"x\"\n",
       "registry.reg:4: unknown value type 'multi_sz'"},
      {v5 + "[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex(q):00\n", "registry.reg:4: bad value type"},
      {v5 + "[HKEY_LOCAL_MACHINE\\A]\n\"a\"=\n", "registry.reg:4: no data after '='"},
      {v5 + "[HKEY_LOCAL_MACHINE\\A]\n\"a\"=-1\n", "registry.reg:4: text after '-'"},
      {v5 + "[HKEY_LOCAL_MACHINE\\A]\nHKEY_CLASSES_ROOT\\x = y\n",
       "registry.reg:4: expected a [key] line"},
  };
  for (const auto& [text, expected] : cases) {
    std::string error = ParseError(Utf16(text));
    EXPECT_EQ(error.substr(0, expected.size()), expected) << "input:\n" << text;
    // The same through UTF-8: the line numbers do not depend on the encoding.
    EXPECT_EQ(ParseError(text), error);
  }

  std::string deep = v5 + "[HKEY_LOCAL_MACHINE";
  for (int i = 0; i < 513; ++i) deep += "\\k";
  EXPECT_EQ(ParseError(deep + "]\n"), "registry.reg:3: key nested deeper than 512 levels");
}

TEST(RegistryParse, EncodingErrorsNameTheLine) {
  EXPECT_EQ(ParseError("REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"a\"=\"gr\xFC\xDF\"\n"),
            "registry.reg:3: not UTF-8 text (byte 0xFC); save the file as UTF-16LE with its "
            "mark, or as UTF-8");
  // Overlong forms and encoded surrogates are not UTF-8 either.
  EXPECT_NE(ParseError("REGEDIT4\n\xC0\xAF").find("registry.reg:2: not UTF-8"), std::string::npos);
  EXPECT_NE(ParseError("REGEDIT4\n\xED\xA0\x80").find("registry.reg:2: not UTF-8"),
            std::string::npos);
  std::string no_mark = Utf16("REGEDIT4\n").substr(2);
  EXPECT_NE(ParseError(no_mark).find("registry.reg:1: UTF-16 text without a byte-order mark"),
            std::string::npos);
  EXPECT_NE(ParseError("\xFE\xFF").find("registry.reg:1: big-endian"), std::string::npos);
  EXPECT_EQ(ParseError(Utf16("REGEDIT4\n\n") + "x"),
            "registry.reg:3: UTF-16 text that ends in half a character");
}

TEST(RegistryParse, AFailedParseChangesNothing) {
  RegistryStore store;
  MustParse(&store, "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Keep\\Me]\n\"v\"=\"1\"\n");
  const std::string before = Dump(store);
  std::string error;
  EXPECT_FALSE(store.Parse(Utf16("REGEDIT4\n"
                                 "[-HKEY_LOCAL_MACHINE\\Keep]\n"
                                 "[HKEY_LOCAL_MACHINE\\Added]\n\"v\"=\"1\"\n"
                                 "\"w\"=hex:0g\n"),
                           "registry.reg", &error));
  EXPECT_EQ(error, "registry.reg:5: bad hex byte '0g'");
  EXPECT_EQ(Dump(store), before);
}

// --- Writing -------------------------------------------------------------

TEST(RegistrySerialize, WritesTheRegeditLayout) {
  RegistryStore store;
  auto hklm = store.root(RegistryStore::kLocalMachine);
  auto hkcu = store.root(RegistryStore::kCurrentUser);
  auto app = store.Create(hklm, u"Software\\App", nullptr);
  auto sz = Sz(u"C:\\a \"b\"");
  store.SetValue(app.get(), u"zeta", 1, sz.data(), sz.size());
  const std::uint8_t dword[] = {0x2c, 0x01, 0x00, 0xa0};
  store.SetValue(app.get(), u"Alpha", 4, dword, 4);
  auto def = Sz(u"");
  store.SetValue(app.get(), u"", 1, def.data(), def.size());
  const std::uint8_t bin[] = {0x00, 0xAB};
  store.SetValue(app.get(), u"b\\\"q", 3, bin, 2);
  store.SetValue(app.get(), u"Multi", 7, bin, 2);
  store.SetValue(app.get(), u"Odd", 0x1234abcd, nullptr, 0);
  store.Create(hklm, u"Software\\Empty", nullptr);
  store.Create(hklm, u"Software\\apple", nullptr);  // sorts between App and Empty
  store.SetValue(hkcu.get(), u"OnRoot", 3, bin, 1);

  EXPECT_EQ(Utf16LeToUtf8(store.Serialize()),
            "Windows Registry Editor Version 5.00\r\n"
            "\r\n"
            "[HKEY_CURRENT_USER]\r\n"
            "\"OnRoot\"=hex:00\r\n"
            "\r\n"
            "[HKEY_LOCAL_MACHINE\\Software]\r\n"
            "\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\App]\r\n"
            "@=\"\"\r\n"
            "\"Alpha\"=dword:a000012c\r\n"
            "\"b\\\\\\\"q\"=hex:00,ab\r\n"
            "\"Multi\"=hex(7):00,ab\r\n"
            "\"Odd\"=hex(1234abcd):\r\n"
            "\"zeta\"=\"C:\\\\a \\\"b\\\"\"\r\n"
            "\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\apple]\r\n"
            "\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Empty]\r\n"
            "\r\n");
  EXPECT_EQ(store.Serialize().substr(0, 2), "\xFF\xFE");
}

TEST(RegistrySerialize, HexLinesWrapAsRegeditWrapsThem) {
  // Lines as regedit exports them: 25 bytes on a continued line.
  const std::string block =
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run]\r\n"
      "@=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,17,\\\r\n"
      "  18\r\n"
      "\"SecurityHealth\"=hex(2):25,00,77,00,69,00,6e,00,64,00,69,00,72,00,25,00,5c,00,\\\r\n"
      "  73,00,79,00,73,00,74,00,65,00,6d,00,33,00,32,00,5c,00,53,00,65,00,63,00,75,\\\r\n"
      "  00,72,00,69,00,74,00,79,00,48,00,65,00,61,00,6c,00,74,00,68,00,53,00,79,00,\\\r\n"
      "  73,00,74,00,72,00,61,00,79,00,2e,00,65,00,78,00,65,00,00,00\r\n"
      "\r\n";
  RegistryStore store;
  auto run = store.Create(store.root(RegistryStore::kLocalMachine),
                          u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", nullptr);
  auto data = Sz(u"%windir%\\system32\\SecurityHealthSystray.exe");
  store.SetValue(run.get(), u"SecurityHealth", 2, data.data(), data.size());
  std::vector<std::uint8_t> counting;
  for (int i = 0; i < 25; ++i) counting.push_back(static_cast<std::uint8_t>(i));
  store.SetValue(run.get(), u"", 3, counting.data(), counting.size());
  std::string text = Utf16LeToUtf8(store.Serialize());
  EXPECT_NE(text.find(block), std::string::npos) << text;

  // A name too long for the line: the data starts on the next one.
  RegistryStore longer;
  auto key = longer.Create(longer.root(RegistryStore::kLocalMachine), u"K", nullptr);
  longer.SetValue(key.get(), std::u16string(80, u'n'), 3, counting.data(), 3);
  EXPECT_NE(Utf16LeToUtf8(longer.Serialize()).find("\"=hex:00,\\\r\n  01,02\r\n"),
            std::string::npos);
}

TEST(RegistrySerialize, DataThatIsNotPlainTextIsWrittenAsHex) {
  RegistryStore store;
  auto key = store.Create(store.root(RegistryStore::kLocalMachine), u"K", nullptr);
  auto set = [&](const char16_t* name, std::uint32_t type, std::vector<std::uint8_t> data) {
    store.SetValue(key.get(), name, type, data.data(), data.size());
  };
  set(u"a_unterminated", 1, Bytes({'a', 0}));
  set(u"b_embedded_nul", 1, Bytes({'a', 0, 0, 0, 'b', 0, 0, 0}));
  set(u"c_odd", 1, Bytes({'a', 0, 0}));
  set(u"d_empty", 1, {});
  set(u"e_newline", 1, Bytes({'a', 0, '\n', 0, 0, 0}));
  set(u"f_lone_surrogate", 1, Bytes({0x00, 0xD8, 'a', 0, 0, 0}));
  set(u"g_pair", 1, Bytes({0x3D, 0xD8, 0x00, 0xDE, 0, 0}));
  set(u"h_short_dword", 4, Bytes({1, 2, 3}));
  set(u"i_long_dword", 4, Bytes({1, 2, 3, 4, 5}));
  EXPECT_EQ(Utf16LeToUtf8(store.Serialize()),
            "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\K]\r\n"
            "\"a_unterminated\"=hex(1):61,00\r\n"
            "\"b_embedded_nul\"=hex(1):61,00,00,00,62,00,00,00\r\n"
            "\"c_odd\"=hex(1):61,00,00\r\n"
            "\"d_empty\"=hex(1):\r\n"
            "\"e_newline\"=hex(1):61,00,0a,00,00,00\r\n"
            "\"f_lone_surrogate\"=hex(1):00,d8,61,00,00,00\r\n"
            "\"g_pair\"=\"\U0001F600\"\r\n"
            "\"h_short_dword\"=hex(4):01,02,03\r\n"
            "\"i_long_dword\"=hex(4):01,02,03,04,05\r\n"
            "\r\n");
}

// A tree with awkward names and values of every kind, from a seed.
void Generate(unsigned seed, RegistryStore* store) {
  std::mt19937 rng(seed);
  auto pick = [&rng](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  const std::u16string alphabet =
      u"abcXYZ019 _.-;=@[]{}%*/\"\\\t\u00E9\u00C9\u017D\u017E\u0141\u4E2D\u00D7\xD83D\xDE00";
  auto name = [&](bool for_key) {
    std::u16string out;
    std::size_t length = 1 + pick(12);
    while (out.size() < length) {
      char16_t c = alphabet[pick(alphabet.size())];
      if (c == 0xD83D) {
        out += u"\xD83D\xDE00";
      } else if (c != 0xDE00 && !(for_key && c == u'\\')) {
        out.push_back(c);
      }
    }
    return out;
  };
  const std::uint32_t types[] = {0, 1, 2, 3, 4, 7, 11, 0x12345678};
  auto data = [&](std::uint32_t type) {
    std::vector<std::uint8_t> out;
    std::size_t shape = pick(4);
    if ((type == 1 || type == 2) && shape < 2) {
      out = Sz(name(false));  // the "text" form
    } else if (type == 4 && shape < 2) {
      out.resize(4);
      for (auto& b : out) b = static_cast<std::uint8_t>(rng());
    } else {
      out.resize(shape == 2 ? pick(4) : pick(300));
      for (auto& b : out) b = static_cast<std::uint8_t>(rng());
    }
    return out;
  };
  for (int k = 0; k < 60; ++k) {
    auto root = store->root(static_cast<RegistryStore::Root>(pick(RegistryStore::kRootCount)));
    std::u16string path;
    for (std::size_t depth = 1 + pick(4); depth > 0; --depth) path += name(true) + u"\\";
    auto key = store->Create(root, path, nullptr);
    for (std::size_t v = pick(6); v > 0; --v) {
      std::uint32_t type = types[pick(std::size(types))];
      auto bytes = data(type);
      store->SetValue(key.get(), pick(8) == 0 ? u"" : name(false), type, bytes.data(),
                      bytes.size());
    }
  }
}

TEST(RegistrySerialize, ReadingBackGivesTheSameTreeByteForByte) {
  for (unsigned seed = 1; seed <= 40; ++seed) {
    RegistryStore original;
    Generate(seed, &original);
    const std::string written = original.Serialize();
    RegistryStore copy;
    std::string error;
    ASSERT_TRUE(copy.Parse(written, "registry.reg", &error)) << "seed " << seed << ": " << error;
    ASSERT_EQ(Dump(copy), Dump(original)) << "seed " << seed;
    ASSERT_EQ(copy.Serialize(), written) << "seed " << seed;
  }
}

// --- Files ---------------------------------------------------------------

std::vector<std::string> FolderNames(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(RegistryFile, AMissingFileIsAnEmptyRegistry) {
  support::TempDir dir;
  RegistryStore store;
  std::string error;
  EXPECT_TRUE(store.Load(dir.path() / "registry.reg", &error)) << error;
  EXPECT_EQ(Dump(store), Dump(RegistryStore()));
  EXPECT_TRUE(FolderNames(dir.path()).empty());
}

TEST(RegistryFile, SaveReplacesTheFileWhole) {
  support::TempDir dir;
  const fs::path file = dir.path() / "registry.reg";
  RegistryStore store;
  Generate(7, &store);
  std::string error;
  ASSERT_TRUE(store.Save(file, &error)) << error;
  EXPECT_EQ(support::ReadBytes(file), store.Serialize());

  // A second save over the first keeps the file's permissions.
  ASSERT_EQ(chmod(file.c_str(), 0640), 0);
  auto key = store.Create(store.root(RegistryStore::kCurrentUser), u"Later", nullptr);
  store.SetValue(key.get(), u"v", 3, nullptr, 0);
  ASSERT_TRUE(store.Save(file, &error)) << error;
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(FolderNames(dir.path()), std::vector<std::string>{"registry.reg"});

  RegistryStore loaded;
  ASSERT_TRUE(loaded.Load(file, &error)) << error;
  EXPECT_EQ(Dump(loaded), Dump(store));
}

TEST(RegistryFile, AFailedSaveLeavesTheOldFileAndNoLitter) {
  support::TempDir dir;
  RegistryStore store;
  Generate(3, &store);
  std::string error;

  // The target is a folder: the rename fails after the new file was written.
  const fs::path folder = dir.path() / "registry.reg";
  fs::create_directory(folder);
  support::WriteBytes(folder / "inside", "kept");
  EXPECT_FALSE(store.Save(folder, &error));
  EXPECT_NE(error.find(folder.string()), std::string::npos) << error;
  EXPECT_EQ(support::ReadBytes(folder / "inside"), "kept");
  EXPECT_EQ(FolderNames(dir.path()), std::vector<std::string>{"registry.reg"});

  // A name that the layout cannot hold: nothing is written.
  const fs::path file = dir.path() / "other.reg";
  support::WriteBytes(file, "old");
  RegistryStore odd;
  auto key = odd.Create(odd.root(RegistryStore::kCurrentUser), u"Fine\\Two\nLines", nullptr);
  EXPECT_FALSE(odd.Save(file, &error));
  // Shown escaped: the message stays one line.
  EXPECT_NE(error.find("HKEY_CURRENT_USER\\Fine\\Two\\nLines has a line break"), std::string::npos)
      << error;
  odd.DeleteKey(key.get());
  odd.SetValue(odd.root(RegistryStore::kCurrentUser).get(), u"a\rb", 3, nullptr, 0);
  EXPECT_FALSE(odd.Save(file, &error));
  EXPECT_NE(error.find("the value \"a\\rb\" of HKEY_CURRENT_USER has"), std::string::npos) << error;
  EXPECT_EQ(support::ReadBytes(file), "old");
  EXPECT_EQ(FolderNames(dir.path()), (std::vector<std::string>{"other.reg", "registry.reg"}));

  // No folder to write into.
  error.clear();
  EXPECT_FALSE(store.Save(dir.path() / "missing" / "registry.reg", &error));
  EXPECT_NE(error.find("missing/registry.reg"), std::string::npos) << error;
}

TEST(RegistryFile, LoadErrorsNameTheFile) {
  support::TempDir dir;
  const fs::path file = dir.path() / "registry.reg";
  support::WriteBytes(file, Utf16("REGEDIT4\r\n\r\n[HKEY_USERS\\x]\r\n"));
  RegistryStore store;
  std::string error;
  EXPECT_FALSE(store.Load(file, &error));
  EXPECT_EQ(error, file.string() + ":3: unknown root HKEY_USERS");

  error.clear();
  EXPECT_FALSE(store.Load(dir.path(), &error));
  EXPECT_NE(error.find(dir.path().string()), std::string::npos) << error;
}

// --- Files from elsewhere ---------------------------------------------------

fs::path CorpusFolder() { return fs::path(BRANDINST_CORPUS_DIR) / "reg"; }

TEST(RegistryCorpus, RealExportsLoad) {
  if (!fs::is_directory(CorpusFolder())) GTEST_SKIP() << "no corpus at " << CorpusFolder();
  const std::vector<std::string> loadable = {
      "desk_atlas_healthtray_hex2_utf16le.reg",
      "desk_atlas_takeownership_utf16le.reg",
      "desk_atlas_terminals_minimal.reg",
      "desk_debloat_lower_ram_hex.reg",
      "desk_debloat_photo_viewer.reg",
      "desk_ezd_polish_utf16le.reg",
      "desk_far2_macros_install_escapes.reg",
      "desk_far2_macros_uninstall_nobl.reg",
      "desk_mssample_appmem_comments.reg",
      "desk_mssample_fdprovider_hexacl.reg",
      "desk_mssample_oledb_placeholders.reg",
      "desk_mssample_perfgen_spaces.reg",
      "desk_mssample_sideshow_hex2_hex7.reg",
      "desk_mssample_wmp_debugon_trailing_blank.reg",
      "desk_putty_session_utf8bom.reg",
      "desk_winevdm_install_comments.reg",
      // Device files written by hand in the same layout.
      "wm_ihook.reg",
      "wm_rac_wpa_supplicant_quotes.reg",
      "wm_rdminject_kernel_hex7_ansi.reg",
      "wm_ilock_commented.reg",
  };
  for (const std::string& name : loadable) {
    RegistryStore store;
    std::string error;
    EXPECT_TRUE(store.Load(CorpusFolder() / name, &error)) << error;
    // What we write from it reads back the same.
    RegistryStore copy;
    EXPECT_TRUE(copy.Parse(store.Serialize(), name, &error)) << error;
    EXPECT_EQ(Dump(copy), Dump(store)) << name;
  }

  RegistryStore store;
  std::string error;
  ASSERT_TRUE(store.Load(CorpusFolder() / "desk_atlas_takeownership_utf16le.reg", &error));
  auto take = store.Find(store.root(RegistryStore::kClassesRoot), u"*\\shell\\TakeOwnership");
  ASSERT_TRUE(take);
  EXPECT_EQ(store.GetValue(take.get(), u"")->data, Sz(u"Take Ownership"));
  EXPECT_FALSE(store.GetValue(take.get(), u"Extended"));

  ASSERT_TRUE(store.Load(CorpusFolder() / "desk_debloat_lower_ram_hex.reg", &error));
  EXPECT_EQ(
      Value(store, u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Multimedia\\SystemProfile",
            u"NetworkThrottlingIndex")
          .data,
      Bytes({255, 255, 255, 255}));

  // A regedit export's key blocks come out exactly as they went in.
  for (const char* name :
       {"desk_atlas_healthtray_hex2_utf16le.reg", "desk_mssample_sideshow_hex2_hex7.reg"}) {
    RegistryStore one;
    ASSERT_TRUE(one.Load(CorpusFolder() / name, &error)) << error;
    std::string original = support::ReadBytes(CorpusFolder() / name);
    original = original.substr(0, 2) == "\xFF\xFE" ? Utf16LeToUtf8(original) : Crlf(original);
    std::string block = original.substr(original.find("\r\n\r\n") + 4);
    block = block.substr(0, block.find("\r\n\r\n") + 4);
    EXPECT_NE(Utf16LeToUtf8(one.Serialize()).find(block), std::string::npos) << name;
  }
}

TEST(RegistryCorpus, OtherFilesAreRejectedAtALine) {
  if (!fs::is_directory(CorpusFolder())) GTEST_SKIP() << "no corpus at " << CorpusFolder();
  const std::vector<std::pair<std::string, std::string>> rejected = {
      {"desk_bluecat_full_badroots.reg", "unknown root HKEY_CURRENT_ROOT"},
      {"desk_w11debloat_lcroot_valdel.reg", ":3: unknown root hkey_users"},
      {"desk_w11debloat_lcroot_hex_utf16le_lf.reg", "unknown root hkey_users"},
      {"desk_mssample_sserver_win31_regedit.reg", ":1: expected"},
      {"ce_bsp_canbd_cp1252.reg", ":1: expected"},
      {"ce_bsp_gps_multisz.reg", ":1: expected"},
      {"wm_ihookidle_cn51.reg", ":10: unknown escape \\r"},
      {"wm_ilock517_ansi.reg", ":15: not UTF-8 text (byte 0xFC)"},
  };
  for (const auto& [name, expected] : rejected) {
    RegistryStore store;
    std::string error;
    EXPECT_FALSE(store.Load(CorpusFolder() / name, &error)) << name;
    EXPECT_NE(error.find(expected), std::string::npos) << error;
    EXPECT_EQ(error.rfind((CorpusFolder() / name).string() + ":", 0), 0u) << error;
  }
}

TEST(RegistryCorpus, DamagedFilesNeverCrash) {
  if (!fs::is_directory(CorpusFolder())) GTEST_SKIP() << "no corpus at " << CorpusFolder();
  std::mt19937 rng(11);
  const char* noise[] = {"\\", "\"", "[", "]", "=", ",", "\n", "\r", "\x1A", "\xFF", "\0", "-"};
  for (const auto& entry : fs::directory_iterator(CorpusFolder())) {
    const std::string bytes = support::ReadBytes(entry.path());
    for (int round = 0; round < 200; ++round) {
      std::string damaged = bytes.substr(0, rng() % (bytes.size() + 1));
      if (round % 2 && !damaged.empty()) {
        for (int k = 0; k < 4; ++k) damaged[rng() % damaged.size()] = noise[rng() % 12][0];
      }
      RegistryStore store;
      std::string error;
      if (!store.Parse(damaged, "x.reg", &error)) {
        EXPECT_EQ(error.rfind("x.reg:", 0), 0u) << error;
      }
    }
  }
}

// --- Size ------------------------------------------------------------------

// Work that grows with the square of the size is what this guards against.
// Absolute times depend on the build and on the machine's load, so the test
// compares a registry ten times the size of another: linear work takes about
// ten times as long, quadratic work a hundred.
struct ScaleTimes {
  double write_seconds;
  double read_seconds;
};

ScaleTimes TimeRegistryOfSize(int keys, int wide_values) {
  RegistryStore store;
  auto hklm = store.root(RegistryStore::kLocalMachine);
  const std::uint8_t blob[40] = {1, 2, 3};
  for (int k = 0; k < keys; ++k) {
    auto key = store.Create(hklm, u"Software\\Bulk\\Key" + FromUtf8(std::to_string(k)), nullptr);
    for (int v = 0; v < 100; ++v) {
      std::u16string name = u"Value" + FromUtf8(std::to_string(v));
      store.SetValue(key.get(), name, v % 3 == 0 ? 3 : 4, blob, v % 3 == 0 ? sizeof blob : 4);
    }
  }
  // And one key that holds many values and many subkeys itself.
  auto wide = store.Create(hklm, u"Wide", nullptr);
  for (int v = 0; v < wide_values; ++v) {
    store.SetValue(wide.get(), FromUtf8(std::to_string(v)), 1, blob, 2);
    store.Create(wide, FromUtf8(std::to_string(v)), nullptr);
  }

  using Clock = std::chrono::steady_clock;
  auto start = Clock::now();
  std::string written = store.Serialize();
  double write_seconds = std::chrono::duration<double>(Clock::now() - start).count();

  RegistryStore loaded;
  std::string error;
  start = Clock::now();
  EXPECT_TRUE(loaded.Parse(written, "registry.reg", &error)) << error;
  double read_seconds = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_EQ(loaded.Values(loaded.Find(loaded.root(RegistryStore::kLocalMachine), u"Wide").get()).size(),
            static_cast<std::size_t>(wide_values));
  return {write_seconds, read_seconds};
}

TEST(RegistryScale, LoadingAndSavingGrowLinearly) {
  ScaleTimes small = TimeRegistryOfSize(100, 2000);
  ScaleTimes large = TimeRegistryOfSize(1000, 20000);
  // A floor keeps a very fast small run from making any ratio look large.
  const double floor = 0.005;
  EXPECT_LT(large.write_seconds / std::max(small.write_seconds, floor), 30.0);
  EXPECT_LT(large.read_seconds / std::max(small.read_seconds, floor), 30.0);
}

}  // namespace
