// Every finding: a delivery that triggers it, a clean twin that lints without
// any finding, and, where the finding predicts what the device does, the same
// delivery run through brandsim to see that it does exactly that.
#include <gtest/gtest.h>

#include "lint_helpers.h"

namespace linttest {
namespace {

struct Case {
  std::string name;
  Files bad;
  std::string file;  // the staged file the finding is about ("" for the delivery)
  std::string code;
  unsigned line = 0;
  std::string severity;
  Files clean;
  // Prepares the device image; lint then runs with --device.
  std::function<void(const Scene&)> device;
  // What brandsim must show for `bad`.
  std::function<void(const Scene&)> effect;
  // The device image for the clean twin, when the finding is about the
  // device rather than the delivery.
  std::function<void(const Scene&)> clean_device;
  // Text the finding's message must hold, where it names what the device does.
  std::string says;
  // The column the finding points at, where the check knows it.
  unsigned column = 0;

  Case& Device(std::function<void(const Scene&)> f) {
    device = std::move(f);
    return *this;
  }
  Case& Effect(std::function<void(const Scene&)> f) {
    effect = std::move(f);
    return *this;
  }
  Case& CleanDevice(std::function<void(const Scene&)> f) {
    clean_device = std::move(f);
    return *this;
  }
  Case& Says(std::string text) {
    says = std::move(text);
    return *this;
  }
  Case& Column(unsigned n) {
    column = n;
    return *this;
  }
};

std::ostream& operator<<(std::ostream& out, const Case& c) { return out << c.name; }

Case Make(std::string name, Files bad, std::string file, std::string code, unsigned line,
          std::string severity, Files clean) {
  Case c;
  c.name = std::move(name);
  c.bad = std::move(bad);
  c.file = std::move(file);
  c.code = std::move(code);
  c.line = line;
  c.severity = std::move(severity);
  c.clean = std::move(clean);
  return c;
}

// brand.ini with CR LF line ends, as such files are written.
std::string Ini(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// A script whose key block starts at line 3 (its first value is line 4).
std::string Reg(const std::string& values) {
  return Ini("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Brand]\n" + values);
}

const char kCab[] = "[ADDITIONAL_CABS]\ncab0=\"one.cab\"\n";
Files CleanCab() { return {{"brand.ini", Ini(kCab)}, {"one.cab", Package()}}; }
// A theme that installs a background image, as themes do.
std::string BlueTheme() { return Package(Installs("%CE2%", "blue_bg.gif")); }
const Files kCleanScript{{"s.reg", Reg("\"s\"=\"x\"\n\"d\"=dword:0000001a\n\"b\"=hex:01,02,\\\n  03\n")}};

std::string Noui(const std::string& path) { return "/noui \"" + path + "\""; }
std::string ThemeLine(const std::string& path) {
  return "/safe /noui /nouninstall /delete 0 \"" + path + "\"";
}

void NoProcess(const Scene& s) { EXPECT_TRUE(s.CommandLines().empty()); }
void NoRegistryChange(const Scene& s) {
  EXPECT_TRUE(s.Events("reg_create").empty());
  EXPECT_TRUE(s.Events("reg_set").empty());
}
std::function<void(const Scene&)> NotSet(const std::string& name) {
  return [name](const Scene& s) {
    EXPECT_TRUE(s.Sets(name).empty()) << name << " was written";
    EXPECT_FALSE(s.Sets("s").empty() && name != "s") << "the script's other values are written";
  };
}
std::function<void(const Scene&)> SetTo(const std::string& name, const std::string& data) {
  return [name, data](const Scene& s) { EXPECT_EQ(s.Sets(name), std::vector<std::string>{data}); };
}
std::vector<JsonObject> Moves(const Scene& s) { return s.Events("move"); }

const char kOldKey[] =
    "[HKEY_LOCAL_MACHINE\\Software\\Old]\r\n\"Name\"=\"old\"\r\n\r\n";
const char kGate[] = "[HKEY_CLASSES_ROOT\\CLSID\\{F15D7471-D623-11d2-BE64-008048FD5745}]\r\n\r\n";

std::vector<Case> SettingsCases() {
  std::vector<Case> cases;
  cases.push_back(Make("UnquotedValue", {{"brand.ini", Ini("[ADDITIONAL_CABS]\ncab0=one.cab\n")}, {"one.cab", "c"}},
                       "brand.ini", "ini-unquoted-value", 2, "error", CleanCab())
                      .Column(6)
                      .Effect([](const Scene& s) {
                        EXPECT_EQ(s.CommandLines(), std::vector<std::string>{Noui("\\Temp\\Branding\\ne.cab")});
                      }));
  cases.push_back(Make("BlankAfterEquals", {{"brand.ini", Ini("[ADDITIONAL_CABS]\ncab0= \"one.cab\"\n")}, {"one.cab", "c"}},
                       "brand.ini", "ini-value-blank", 2, "error", CleanCab())
                      .Column(6)
                      .Effect([](const Scene& s) {
                        EXPECT_EQ(s.CommandLines(), std::vector<std::string>{Noui("\\Temp\\Branding\\")});
                      }));
  cases.push_back(Make("BlankBeforeEquals", {{"brand.ini", Ini("[ADDITIONAL_CABS]\ncab0 =\"one.cab\"\n")}, {"one.cab", "c"}},
                       "brand.ini", "ini-key-blank", 2, "error", CleanCab())
                      .Column(5)
                      .Effect(NoProcess));
  cases.push_back(Make("IndentedKey", {{"brand.ini", Ini("[ADDITIONAL_CABS]\n  cab0=\"one.cab\"\n")}, {"one.cab", "c"}},
                       "brand.ini", "ini-key-blank", 2, "error", CleanCab())
                      .Column(1)
                      .Effect(NoProcess));
  cases.push_back(Make("EntryAfterBlankLine",
                       {{"brand.ini", Ini("[ADDITIONAL_CABS]\ncab0=\"one.cab\"\n\ncab1=\"two.cab\"\n")}, {"one.cab", "c"}, {"two.cab", "c"}},
                       "brand.ini", "ini-after-blank", 4, "error", CleanCab())
                      .Effect([](const Scene& s) {
                        EXPECT_EQ(s.CommandLines(), std::vector<std::string>{Noui("\\Temp\\Branding\\one.cab")});
                      }));
  cases.push_back(Make("EntryAfterNulLine",
                       {{"brand.ini", Ini(std::string("[ADDITIONAL_CABS]\ncab0=\"one.cab\"\n") + '\0' + "x\ncab1=\"two.cab\"\n")}, {"one.cab", "c"}, {"two.cab", "c"}},
                       "brand.ini", "ini-after-blank", 4, "error", CleanCab())
                      .Effect([](const Scene& s) { EXPECT_EQ(s.CommandLines().size(), 1u); }));
  cases.push_back(Make("RepeatedSection",
                       {{"brand.ini", Ini("[ADDITIONAL_CABS]\ncab0=\"one.cab\"\n[LENGREBOOT]\nreboot=\"1\"\n[additional_cabs]\ncab1=\"two.cab\"\n")},
                        {"one.cab", "c"}, {"two.cab", "c"}},
                       "brand.ini", "ini-repeated-section", 6, "error", CleanCab())
                      .Effect([](const Scene& s) {
                        EXPECT_EQ(s.CommandLines(), std::vector<std::string>{Noui("\\Temp\\Branding\\one.cab")});
                      }));
  cases.push_back(Make("BeforeFirstSection", {{"brand.ini", Ini("cab0=\"one.cab\"\n[ADDITIONAL_CABS]\n")}, {"one.cab", "c"}},
                       "brand.ini", "ini-before-section", 1, "error", CleanCab())
                      .Effect(NoProcess));
  cases.push_back(Make("NumberGap",
                       {{"brand.ini", Ini("[ADDITIONAL_CABS]\ncab0=\"one.cab\"\ncab1=\"two.cab\"\ncab3=\"three.cab\"\n")},
                        {"one.cab", "c"}, {"two.cab", "c"}, {"three.cab", "c"}},
                       "brand.ini", "ini-number-gap", 4, "error", CleanCab())
                      .Effect([](const Scene& s) {
                        EXPECT_EQ(s.CommandLines(), (std::vector<std::string>{Noui("\\Temp\\Branding\\one.cab"),
                                                                              Noui("\\Temp\\Branding\\two.cab")}));
                      }));
  cases.push_back(Make("NumberNotFromZero", {{"brand.ini", Ini("[ADDITIONAL_CABS]\ncab1=\"one.cab\"\n")}, {"one.cab", "c"}},
                       "brand.ini", "ini-number-start", 2, "error", CleanCab())
                      .Effect(NoProcess));
  cases.push_back(Make("NumberLeadingZero", {{"brand.ini", Ini("[REG_DEL_KEY]\nkey00=\"HKEY_LOCAL_MACHINE\\Software\\Old\"\n")}},
                       "brand.ini", "ini-number-leading-zero", 2, "error",
                       {{"brand.ini", Ini("[REG_DEL_KEY]\nkey0=\"HKEY_LOCAL_MACHINE\\Software\\Old\"\n")}})
                      .Effect([](const Scene& s) { EXPECT_TRUE(s.Events("reg_delete_key").empty()); }));
  cases.push_back(Make("DuplicateKey",
                       {{"brand.ini", Ini("[ADDITIONAL_CABS]\ncab0=\"one.cab\"\ncab0=\"two.cab\"\n")}, {"one.cab", "c"}, {"two.cab", "c"}},
                       "brand.ini", "ini-duplicate-key", 3, "error", CleanCab())
                      .Effect([](const Scene& s) {
                        EXPECT_EQ(s.CommandLines(), std::vector<std::string>{Noui("\\Temp\\Branding\\one.cab")});
                      }));
  cases.push_back(Make("NoEquals", {{"brand.ini", Ini("[ADDITIONAL_CABS]\ncab0\n")}}, "brand.ini", "ini-no-equals", 2,
                       "error", CleanCab())
                      .Effect([](const Scene& s) {
                        EXPECT_EQ(s.CommandLines(), std::vector<std::string>{Noui("\\Temp\\Branding\\")});
                      }));
  cases.push_back(Make("PackageMissing", {{"brand.ini", Ini("[ADDITIONAL_CABS]\ncab0=\"none.cab\"\n")}}, "brand.ini",
                       "ini-package-missing", 2, "error", CleanCab())
                      .Effect([](const Scene& s) {
                        EXPECT_EQ(s.CommandLines(), std::vector<std::string>{Noui("\\Temp\\Branding\\none.cab")});
                      }));
  cases.push_back(Make("PackagePathTooLong",
                       {{"brand.ini", Ini("[ADDITIONAL_CABS]\ncab0=\"" + std::string(240, 'p') + ".cab\"\n")}},
                       "brand.ini", "ini-package-path-long", 2, "error", CleanCab())
                      .Effect(NoProcess));
  cases.push_back(Make("StartPageWithoutEntry",
                       {{"brand.ini", Ini("[LENGREBOOT]\nreboot=\"1\"\n")}, {"start.hp", "<html>"}}, "start.hp",
                       "ini-missing-destination", 0, "error",
                       {{"brand.ini", Ini("[HOMEPAGE]\nstart.hp=\"\\Windows\\start.htm\"\n")}, {"start.hp", "<html>"}})
                      .Effect([](const Scene& s) {
                        EXPECT_TRUE(Moves(s).empty());
                        EXPECT_FALSE(s.device.Exists("Temp/branding/start.hp"));
                      }));
  cases.push_back(Make("UrlFileWithoutSettings", {{"links.ur", "x"}}, "links.ur", "ini-missing-destination", 0,
                       "error", {{"brand.ini", Ini("[URLS]\nLINKS.UR=\"\\Windows\\links.txt\"\n")}, {"links.ur", "x"}})
                      .Effect([](const Scene& s) { EXPECT_TRUE(Moves(s).empty()); }));
  cases.push_back(Make("DestinationEmpty", {{"brand.ini", Ini("[HOMEPAGE]\nstart.hp=\"\"\n")}, {"start.hp", "<html>"}},
                       "brand.ini", "ini-destination-empty", 2, "error",
                       {{"brand.ini", Ini("[HOMEPAGE]\nstart.hp=\"\\Windows\\start.htm\"\n")}, {"start.hp", "<html>"}})
                      .Effect([](const Scene& s) {
                        ASSERT_EQ(Moves(s).size(), 1u);
                        EXPECT_EQ(Moves(s)[0]["ok"], "false");
                      }));
  cases.push_back(Make("DestinationFolder",
                       {{"brand.ini", Ini("[HOMEPAGE]\nstart.hp=\"\\Windows\\Web\\\"\n")}, {"start.hp", "<html>"}},
                       "brand.ini", "ini-destination-folder", 2, "error",
                       {{"brand.ini", Ini("[HOMEPAGE]\nstart.hp=\"\\Windows\\Web\\start.htm\"\n")}, {"start.hp", "<html>"}})
                      .Effect([](const Scene& s) {
                        ASSERT_EQ(Moves(s).size(), 1u);
                        EXPECT_EQ(Moves(s)[0]["ok"], "false");
                      }));
  cases.push_back(Make("DestinationForAFileNotStaged",
                       {{"brand.ini", Ini("[HOMEPAGE]\nstart.hp=\"\\Windows\\start.htm\"\nother.hp=\"\\Windows\\o.htm\"\n")},
                        {"start.hp", "<html>"}},
                       "brand.ini", "ini-destination-not-staged", 3, "warning",
                       {{"brand.ini", Ini("[HOMEPAGE]\nstart.hp=\"\\Windows\\start.htm\"\n")}, {"start.hp", "<html>"}})
                      .Effect([](const Scene& s) { EXPECT_EQ(Moves(s).size(), 1u); }));
  cases.push_back(Make("DestinationForAFileOfAnotherGroup",
                       {{"brand.ini", Ini("[HOMEPAGE]\nstart.htm=\"\\Windows\\start.htm\"\n")}, {"start.htm", "<html>"}},
                       "brand.ini", "ini-destination-not-staged", 2, "warning",
                       {{"brand.ini", Ini("[HOMEPAGE]\nstart.hp=\"\\Windows\\start.htm\"\n")}, {"start.hp", "<html>"}})
                      .Effect([](const Scene& s) { EXPECT_TRUE(Moves(s).empty()); }));

  const Files clean_removal{{"brand.ini", Ini("[REG_DEL_KEY]\nkey0=\"HKEY_LOCAL_MACHINE\\Software\\Old\"\n")}};
  auto old_key = [](const Scene& s) { s.Registry(kOldKey); };
  auto nothing_deleted = [](const Scene& s) { EXPECT_TRUE(s.Events("reg_delete_key").empty()); };
  cases.push_back(Make("RemovalWithoutBackslash", {{"brand.ini", Ini("[REG_DEL_KEY]\nkey0=\"Old\"\n")}}, "brand.ini",
                       "ini-delkey-no-backslash", 2, "error", clean_removal)
                      .Device(old_key)
                      .Effect(nothing_deleted));
  cases.push_back(Make("RemovalWithAbbreviatedRoot", {{"brand.ini", Ini("[REG_DEL_KEY]\nkey0=\"HKLM\\Software\\Old\"\n")}},
                       "brand.ini", "ini-delkey-unknown-root", 2, "error", clean_removal)
                      .Device(old_key)
                      .Effect(nothing_deleted));
  cases.push_back(Make("RemovalWithRootRunIn",
                       {{"brand.ini", Ini("[REG_DEL_KEY]\nkey0=\"HKEY_LOCAL_MACHINE_OLD\\Software\\Old\"\n")}}, "brand.ini",
                       "ini-delkey-root-run-in", 2, "error", clean_removal)
                      .Device(old_key)
                      .Says("it deletes HKEY_LOCAL_MACHINE\\Software\\Old, not")
                      .Effect([](const Scene& s) {
                        std::vector<JsonObject> deleted = s.Events("reg_delete_key");
                        ASSERT_EQ(deleted.size(), 1u);
                        EXPECT_EQ(deleted[0]["key"], "HKEY_LOCAL_MACHINE\\Software\\Old");
                        EXPECT_EQ(deleted[0]["ok"], "true");
                      }));
  cases.push_back(Make("RemovalWithEmptyLeaf",
                       {{"brand.ini", Ini("[REG_DEL_KEY]\nkey0=\"HKEY_LOCAL_MACHINE\\Software\\Old\\\"\n")}}, "brand.ini",
                       "ini-delkey-empty-leaf", 2, "error", clean_removal)
                      .Device(old_key)
                      .Effect(nothing_deleted));
  cases.push_back(Make("RemovalDirectlyUnderRoot", {{"brand.ini", Ini("[REG_DEL_KEY]\nkey0=\"HKEY_CURRENT_USER\\Software\"\n")}},
                       "brand.ini", "ini-delkey-top-level", 2, "warning", clean_removal)
                      .Device(old_key)
                      .Says("deletes HKEY_CURRENT_USER\\Software, a key")
                      .Effect([](const Scene& s) {
                        std::vector<JsonObject> deleted = s.Events("reg_delete_key");
                        ASSERT_EQ(deleted.size(), 1u);
                        EXPECT_EQ(deleted[0]["key"], "HKEY_CURRENT_USER\\Software");
                        EXPECT_EQ(deleted[0]["ok"], "true");
                      }));

  const Files clean_theme{{"brand.ini", Ini("[skin]\nskin=\"\\Windows\\blue.tsk\"\n")}, {"blue.tsk", BlueTheme()}};
  cases.push_back(Make("ThemeNamedInStagingButMoved",
                       {{"brand.ini", Ini("[skin]\nskin=\"\\Temp\\branding\\blue.tsk\"\n")}, {"blue.tsk", "t"}}, "brand.ini",
                       "ini-theme-moved", 2, "error", clean_theme)
                      .Effect([](const Scene& s) {
                        EXPECT_EQ(s.CommandLines(), std::vector<std::string>{ThemeLine("\\Temp\\branding\\blue.tsk")});
                        EXPECT_TRUE(s.device.Exists("Windows/blue.tsk"));
                      }));
  cases.push_back(Make("ThemeMissingFromStaging", {{"brand.ini", Ini("[skin]\nskin=\"\\Temp\\branding\\none.tsk\"\n")}},
                       "brand.ini", "ini-theme-missing", 2, "error", clean_theme)
                      .Effect([](const Scene& s) {
                        EXPECT_EQ(s.CommandLines(), std::vector<std::string>{ThemeLine("\\Temp\\branding\\none.tsk")});
                      }));
  cases.push_back(Make("ThemeLeftInStaging",
                       {{"brand.ini", Ini("[skin]\nskin=\"\\Temp\\branding\\blue.thm\"\n")}, {"blue.thm", "t"}}, "brand.ini",
                       "ini-theme-in-staging", 2, "warning", clean_theme)
                      .Effect([](const Scene& s) {
                        EXPECT_TRUE(s.Events("wait").empty()) << "the theme installer is not waited for";
                        EXPECT_FALSE(s.device.Exists("Temp/branding/blue.thm"));
                      }));
  cases.push_back(Make("ThemeNotStaged", {{"brand.ini", Ini("[skin]\nskin=\"\\Windows\\other.tsk\"\n")}}, "brand.ini",
                       "ini-theme-not-staged", 2, "warning", clean_theme));
  cases.push_back(Make("ThemePathTooLong",
                       {{"brand.ini", Ini("[skin]\nskin=\"\\Windows\\" + std::string(215, 't') + ".tsk\"\n")}}, "brand.ini",
                       "ini-theme-path-long", 2, "error", clean_theme)
                      .Effect([](const Scene& s) {
                        NoProcess(s);
                        EXPECT_TRUE(s.Sets("Skin").empty());
                      }));
  cases.push_back(Make("SectionNameWithBlanks", {{"brand.ini", Ini("[ skin ]\nskin=\"\\Windows\\blue.tsk\"\n")}, {"blue.tsk", "t"}},
                       "brand.ini", "ini-section-blank", 1, "error", clean_theme)
                      .Column(2)
                      .Effect(NoProcess));
  cases.push_back(Make("UnknownSection", {{"brand.ini", Ini("[Info]\nauthor=\"me\"\n")}}, "brand.ini",
                       "ini-unknown-section", 1, "warning", CleanCab()));
  cases.push_back(Make("UnknownKey", {{"brand.ini", Ini("[skin]\ntheme=\"\\Windows\\blue.tsk\"\n")}, {"blue.tsk", "t"}},
                       "brand.ini", "ini-unknown-key", 2, "warning", clean_theme)
                      .Effect(NoProcess));
  cases.push_back(Make("Utf16Settings",
                       {{"brand.ini", Utf16Le(u"[ADDITIONAL_CABS]\r\ncab0=\"one.cab\"\r\n", true)}, {"one.cab", "c"}},
                       "brand.ini", "ini-utf16", 0, "error", CleanCab())
                      .Effect(NoProcess));
  cases.push_back(Make("ByteOrderMark", {{"brand.ini", "\xEF\xBB\xBF" + Ini(kCab)}, {"one.cab", "c"}}, "brand.ini",
                       "ini-bom", 1, "error", CleanCab())
                      .Effect(NoProcess));
  cases.push_back(Make("LastLineWithoutLineBreak", {{"brand.ini", "[ADDITIONAL_CABS]\r\ncab0=\"one.cab\""}, {"one.cab", "c"}},
                       "brand.ini", "ini-no-final-newline", 2, "error", CleanCab())
                      .Effect(NoProcess));
  cases.push_back(Make("CarriageReturnLineEnds", {{"brand.ini", "[ADDITIONAL_CABS]\rcab0=\"one.cab\"\r"}, {"one.cab", "c"}},
                       "brand.ini", "ini-no-final-newline", 1, "error", CleanCab())
                      .Effect(NoProcess));
  cases.push_back(Make("LongLine",
                       {{"brand.ini", Ini("[HOMEPAGE]\nstart.hp=\"\\Windows\\" + std::string(260, 'a') + ".htm\"\n")}, {"start.hp", "<html>"}},
                       "brand.ini", "ini-long-line", 2, "error",
                       {{"brand.ini", Ini("[HOMEPAGE]\nstart.hp=\"\\Windows\\" + std::string(200, 'a') + ".htm\"\n")}, {"start.hp", "<html>"}})
                      .Effect([](const Scene& s) {
                        ASSERT_EQ(Moves(s).size(), 1u);
                        EXPECT_EQ(Moves(s)[0]["to"], "\\Windows\\" + std::string(236, 'a'));
                      }));
  cases.push_back(Make("LongHeaderLine",
                       {{"brand.ini", Ini("[HOMEPAGE" + std::string(250, ' ') + "]\nstart.hp=\"\\Windows\\start.htm\"\n")},
                        {"start.hp", "<html>"}},
                       "brand.ini", "ini-long-line", 1, "error",
                       {{"brand.ini", Ini("[HOMEPAGE]\nstart.hp=\"\\Windows\\start.htm\"\n")}, {"start.hp", "<html>"}})
                      .Says("the section name is cut")
                      .Effect([](const Scene& s) { EXPECT_TRUE(Moves(s).empty()); }));
  cases.push_back(Make("UndefinedCodePageByte",
                       {{"brand.ini", Ini("[HOMEPAGE]\nstart.hp=\"\\Windows\\a\x81.htm\"\n")}, {"start.hp", "<html>"}},
                       "brand.ini", "ini-cp1250-undefined", 2, "error",
                       {{"brand.ini", Ini("[HOMEPAGE]\nstart.hp=\"\\Windows\\\x8A\xE8.htm\"\n")}, {"start.hp", "<html>"}})
                      .Column(21)
                      .Effect([](const Scene& s) {
                        ASSERT_EQ(Moves(s).size(), 1u);
                        EXPECT_EQ(Moves(s)[0]["to"], "\\Windows\\a\xC2\x81.htm");
                      }));
  cases.push_back(Make("Utf8Value",
                       {{"brand.ini", Ini("[HOMEPAGE]\nstart.hp=\"\\Windows\\Star\xC3\xA1.htm\"\n")}, {"start.hp", "<html>"}},
                       "brand.ini", "ini-utf8", 2, "error",
                       {{"brand.ini", Ini("[HOMEPAGE]\nstart.hp=\"\\Windows\\Star\xE1.htm\"\n")}, {"start.hp", "<html>"}})
                      .Column(11)
                      .Effect([](const Scene& s) {
                        ASSERT_EQ(Moves(s).size(), 1u);
                        // 0xC3 0xA1 in code page 1250: U+0102 U+02C7.
                        EXPECT_EQ(Moves(s)[0]["to"], "\\Windows\\Star\xC4\x82\xCB\x87.htm");
                      }));
  cases.push_back(Make("NulByteInValue",
                       {{"brand.ini", Ini(std::string("[ADDITIONAL_CABS]\ncab0=\"one\0.cab\"\n", 34))}, {"one.cab", "c"}},
                       "brand.ini", "ini-nul", 2, "error", CleanCab())
                      .Column(10)
                      .Effect([](const Scene& s) {
                        EXPECT_EQ(s.CommandLines(), std::vector<std::string>{Noui("\\Temp\\Branding\\one")});
                      }));
  cases.push_back(Make("LargeSettings",
                       {{"brand.ini", Ini(std::string(kCab) + "\n[Notes]\n" + std::string(70000, ';') + "\n")}, {"one.cab", "c"}},
                       "brand.ini", "ini-large", 0, "warning", CleanCab()));
  cases.push_back(Make("NoSettings", {{"logo.gif", "GIF89a"}}, "", "ini-missing", 0, "warning",
                       {{"brand.ini", Ini("[LENGREBOOT]\nreboot=\"1\"\n")}, {"logo.gif", "GIF89a"}})
                      .Says("installs no package")
                      .Device([](const Scene& s) { s.Registry(kGate); })
                      .Effect([](const Scene& s) {
                        // Asked and answered Yes, without the entry: no restart.
                        EXPECT_TRUE(s.Events("restart").empty());
                        EXPECT_EQ(Moves(s).size(), 1u) << "the fixed groups are still placed";
                      }));
  cases.push_back(Make("RestartEntrySayingNo", {{"brand.ini", Ini("[LENGREBOOT]\nreboot=\"No\"\n")}}, "brand.ini",
                       "ini-reboot-no", 2, "error", {{"brand.ini", Ini("[LENGREBOOT]\nreboot=\"1\"\n")}})
                      .Column(9)
                      .Says("whatever its value")
                      .Device([](const Scene& s) { s.Registry(kGate); })
                      .Effect([](const Scene& s) { EXPECT_EQ(s.Events("restart").size(), 1u); }));
  cases.push_back(Make("RemovalOfAKeyAScriptWrites",
                       {{"brand.ini", Ini("[REG_DEL_KEY]\nkey0=\"HKEY_LOCAL_MACHINE\\software\\BRAND\"\n")},
                        {"s.reg", Reg("\"s\"=\"x\"\n")}},
                       "brand.ini", "ini-delkey-script-key", 2, "error",
                       {{"brand.ini", Ini("[REG_DEL_KEY]\nkey0=\"HKEY_LOCAL_MACHINE\\Software\\Old\"\n")},
                        {"s.reg", Reg("\"s\"=\"x\"\n")}})
                      .Column(7)
                      .Says("`s.reg` writes `s` under it at line 4")
                      .Effect([](const Scene& s) {
                        EXPECT_EQ(s.Sets("s"), std::vector<std::string>{"x"});
                        EXPECT_EQ(s.device.Registry().find("Software\\Brand"), std::string::npos);
                      }));
  return cases;
}

std::vector<Case> ScriptCases() {
  std::vector<Case> cases;
  auto script = [](const std::string& values) { return Files{{"s.reg", Reg(values)}}; };
  cases.push_back(Make("Utf16Script", {{"s.reg", Utf16Le(u"Windows Registry Editor Version 5.00\r\n\r\n"
                                                         u"[HKEY_LOCAL_MACHINE\\Software\\Brand]\r\n\"s\"=\"x\"\r\n", true)}},
                       "s.reg", "reg-utf16", 0, "error", kCleanScript)
                      .Effect(NoRegistryChange));
  cases.push_back(Make("AbbreviatedRoot", {{"s.reg", Ini("REGEDIT4\n\n[HKLM\\Software\\Brand]\n\"s\"=\"x\"\n")}}, "s.reg",
                       "reg-unknown-root", 3, "error", kCleanScript)
                      .Effect(NoRegistryChange));
  cases.push_back(Make("KeyDeletion", {{"s.reg", Ini("REGEDIT4\n\n[-HKEY_LOCAL_MACHINE\\Software\\Old]\n")}}, "s.reg",
                       "reg-delete-key", 3, "error", kCleanScript)
                      .Device([](const Scene& s) { s.Registry(kOldKey); })
                      .Effect([](const Scene& s) {
                        EXPECT_TRUE(s.Events("reg_delete_key").empty());
                        EXPECT_NE(s.device.Registry().find("Software\\Old]"), std::string::npos);
                      }));
  cases.push_back(Make("ValueDeletion", script("\"s\"=\"x\"\n\"n\"=-\n"), "s.reg", "reg-delete-value", 5, "error",
                       kCleanScript)
                      .Column(5)
                      .Effect([](const Scene& s) {
                        EXPECT_TRUE(s.Sets("n").empty());
                        EXPECT_TRUE(s.Events("reg_delete_value").empty() ||
                                    s.Events("reg_delete_value")[0]["name"] != "n");
                      }));
  cases.push_back(Make("DoubledBackslashes", script("\"p\"=\"\\\\\\\\Windows\\\\\\\\x\"\n"), "s.reg", "reg-escape", 4,
                       "error", kCleanScript)
                      .Column(6)
                      .Effect(SetTo("p", "\\\\\\\\Windows\\\\\\\\x")));
  cases.push_back(Make("EscapedQuote", script("\"q\"=\"say \\\"hi\\\"\"\n"), "s.reg", "reg-escape", 4, "error",
                       kCleanScript)
                      .Effect(SetTo("q", "say \\")));
  cases.push_back(Make("EscapeInName", script("\"a\\\\b\"=\"x\"\n"), "s.reg", "reg-escape", 4, "error", kCleanScript)
                      .Effect(SetTo("a\\\\b", "x")));
  cases.push_back(Make("TypedHex", script("\"s\"=\"x\"\n\"h\"=hex(2):41,00,00,00\n"), "s.reg", "reg-typed-hex", 5,
                       "error", kCleanScript)
                      .Effect(NotSet("h")));
  cases.push_back(Make("UpperCaseType", script("\"s\"=\"x\"\n\"d\"=DWORD:00000001\n"), "s.reg", "reg-uppercase-type", 5,
                       "error", kCleanScript)
                      .Column(5)
                      .Effect(NotSet("d")));
  cases.push_back(Make("BlanksAroundEquals", script("\"s\"=\"x\"\n\"f\" = \"y\"\n"), "s.reg", "reg-blank-around-equals",
                       5, "error", kCleanScript)
                      .Column(4)
                      .Effect(NotSet("f")));
  cases.push_back(Make("CommentInsideBlock", script("\"s\"=\"x\"\n; the rest\n\"b\"=\"y\"\n"), "s.reg",
                       "reg-block-ended", 5, "error", kCleanScript)
                      .Effect(NotSet("b")));
  cases.push_back(Make("BlankLineInsideBlock", script("\"s\"=\"x\"\n\n\"b\"=\"y\"\n"), "s.reg", "reg-block-ended", 5,
                       "error", kCleanScript)
                      .Effect(NotSet("b")));
  cases.push_back(Make("ValueBeforeAnyHeader",
                       {{"s.reg", Ini("REGEDIT4\n\"b\"=\"y\"\n[HKEY_LOCAL_MACHINE\\Software\\Brand]\n\"s\"=\"x\"\n")}}, "s.reg",
                       "reg-value-outside-block", 2, "error", kCleanScript)
                      .Effect(NotSet("b")));
  cases.push_back(Make("IndentedValue", script("\"s\"=\"x\"\n  \"b\"=\"y\"\n"), "s.reg", "reg-indented-value", 5, "error",
                       kCleanScript)
                      .Effect(NotSet("b")));
  cases.push_back(Make("IndentedHeader", {{"s.reg", Ini("REGEDIT4\n\n  [HKEY_LOCAL_MACHINE\\Software\\Brand]\n\"s\"=\"x\"\n")}},
                       "s.reg", "reg-indented-header", 3, "error", kCleanScript)
                      .Effect(NoRegistryChange));
  cases.push_back(Make("HeaderAfterByteOrderMark",
                       {{"s.reg", "\xEF\xBB\xBF" + Ini("[HKEY_LOCAL_MACHINE\\Software\\Brand]\n\"s\"=\"x\"\n")}}, "s.reg",
                       "reg-indented-header", 1, "error", kCleanScript)
                      .Effect(NoRegistryChange));
  cases.push_back(Make("DwordTooManyDigits", script("\"i\"=dword:123456789\n"), "s.reg", "reg-dword-digits", 4, "error",
                       kCleanScript)
                      .Effect(SetTo("i", "89674523")));
  cases.push_back(Make("DwordWithPrefix", script("\"r\"=dword:0x10\n"), "s.reg", "reg-dword-bad", 4, "error",
                       kCleanScript)
                      .Column(12)
                      .Effect(SetTo("r", "00000000")));
  cases.push_back(Make("HexOddDigits", script("\"o\"=hex:01,02,3\n"), "s.reg", "reg-hex-odd", 4, "error", kCleanScript)
                      .Effect(SetTo("o", "0102")));
  cases.push_back(Make("HexSingleDigits", script("\"j\"=hex:1,2,3,4\n"), "s.reg", "reg-hex-bad", 4, "error",
                       kCleanScript)
                      .Effect(SetTo("j", "0c1c2c")));
  cases.push_back(Make("HexContinuationSwallowsValue", script("\"k\"=hex:01,\\\n\"l\"=\"m\"\n"), "s.reg",
                       "reg-hex-continuation", 5, "error", kCleanScript)
                      .Effect([](const Scene& s) {
                        EXPECT_TRUE(s.Sets("l").empty());
                        EXPECT_EQ(s.Sets("k").size(), 1u);
                      }));
  {
    std::string data = "\"t\"=hex:";
    for (int line = 0; line < 110; ++line) {
      for (int i = 0; i < 75; ++i) data += "ab,";
      data += "\\\n  ";
    }
    data += "ab\n";
    cases.push_back(Make("HexTooLong", script(data), "s.reg", "reg-hex-too-long", 4, "error", kCleanScript)
                        .Effect(SetTo("t", [] {
                          std::string hex;
                          for (int i = 0; i < 8196; ++i) hex += "ab";
                          return hex;
                        }())));
  }
  cases.push_back(Make("LongStringLine", script("\"s\"=\"" + std::string(300, 'x') + "\"\n"), "s.reg", "reg-long-line",
                       4, "error", kCleanScript)
                      .Effect(SetTo("s", std::string(250, 'x'))));
  cases.push_back(Make("KeyNameNotDecoded",
                       {{"s.reg", Ini("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Zna\xE8ka]\n\"s\"=\"x\"\n")}}, "s.reg",
                       "reg-name-bytes", 3, "error", kCleanScript)
                      .Effect([](const Scene& s) {
                        std::vector<JsonObject> created = s.Events("reg_create");
                        ASSERT_EQ(created.size(), 1u);
                        // 0xE8 is č in code page 1250, but è as a code unit.
                        EXPECT_EQ(created[0]["key"], "HKEY_LOCAL_MACHINE\\Software\\Zna\xC3\xA8ka");
                      }));
  cases.push_back(Make("StringWithoutClosingQuote", script("\"s\"=\"abc \n"), "s.reg", "reg-string-unclosed", 4,
                       "warning", kCleanScript)
                      .Effect(SetTo("s", "abc ")));
  cases.push_back(Make("UndefinedCodePageByteInString", script("\"s\"=\"a\x81\"\n"), "s.reg", "reg-cp1250-undefined", 4,
                       "error", kCleanScript)
                      .Column(7)
                      .Effect(SetTo("s", "a\xC2\x81")));
  cases.push_back(Make("Utf8String", script("\"s\"=\"Star\xC3\xA1\"\n"), "s.reg", "reg-utf8", 4, "error",
                       {{"s.reg", Reg("\"s\"=\"Star\xE1\"\n")}})
                      .Effect(SetTo("s", "Star\xC4\x82\xCB\x87")));
  cases.push_back(Make("NulByteInString", script(std::string("\"s\"=\"ab\0cd\"\n", 12)), "s.reg", "reg-nul", 4, "error",
                       kCleanScript)
                      .Column(8)
                      .Effect(SetTo("s", "ab")));
  cases.push_back(Make("ScriptWithoutFinalLineBreak",
                       {{"s.reg", Ini("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Brand]\n\"a\"=\"1\"\n") + "\"s\"=\"x\""}}, "s.reg",
                       "reg-no-final-newline", 5, "error", kCleanScript)
                      .Effect([](const Scene& s) {
                        EXPECT_TRUE(s.Sets("s").empty());
                        EXPECT_EQ(s.Sets("a").size(), 1u);
                      }));
  cases.push_back(Make("NoKeyHeader", {{"s.reg", Ini("REGEDIT\nHKEY_CLASSES_ROOT\\.brand = Brand\n")}}, "s.reg",
                       "reg-changes-nothing", 0, "error", kCleanScript)
                      .Effect(NoRegistryChange));
  cases.push_back(Make("ScriptWithCarriageReturnsOnly",
                       {{"s.reg", "REGEDIT4\r\r[HKEY_LOCAL_MACHINE\\Software\\Brand]\r\"s\"=\"x\"\r"}}, "s.reg",
                       "reg-changes-nothing", 0, "error", kCleanScript)
                      .Effect(NoRegistryChange));
  cases.push_back(Make("NameWithoutClosingQuote", script("\"s\"=\"x\"\n\"abc=dword:1\n"), "s.reg", "reg-name-unclosed", 5,
                       "error", kCleanScript)
                      .Effect(NotSet("abc=dword:1")));
  cases.push_back(Make("UnknownValueForm", script("\"s\"=\"x\"\n\"u\"=other\n"), "s.reg", "reg-unknown-type", 5, "error",
                       kCleanScript)
                      .Effect(NotSet("u")));
  return cases;
}

std::vector<Case> FileCases() {
  std::vector<Case> cases;
  const Files clean_notice{{"reboot.msg", Utf16Le(u"Restart now.", true)}};
  auto notice = [](const Scene& s) -> std::string {
    for (JsonObject& e : s.Events("dialog")) {
      if (e["caption"] == "System Reboot") return e["text"];
    }
    ADD_FAILURE() << "no restart notice";
    return {};
  };
  cases.push_back(Make("NoticeIn8BitText", {{"reboot.msg", "Restart now."}}, "reboot.msg", "msg-not-utf16", 0, "error",
                       clean_notice)
                      .Effect([notice](const Scene& s) {
                        EXPECT_NE(notice(s), "Restart now.");
                        EXPECT_EQ(notice(s), support::ToUtf8(u"\u6552\u7473\u7261\u2074\u6f6e\u2e77"));
                      }));
  cases.push_back(Make("NoticeInUtf8", {{"reboot.msg", "\xEF\xBB\xBFRestart now."}}, "reboot.msg", "msg-not-utf16", 0,
                       "error", clean_notice));
  cases.push_back(Make("NoticeTooLong", {{"reboot.msg", Utf16Le(std::u16string(300, u'r'), true)}}, "reboot.msg",
                       "msg-too-long", 0, "error", {{"reboot.msg", Utf16Le(std::u16string(254, u'r'), true)}})
                      .Effect([notice](const Scene& s) { EXPECT_EQ(notice(s), std::string(254, 'r')); }));
  cases.push_back(Make("NoticeEmpty", {{"reboot.msg", ""}}, "reboot.msg", "msg-empty", 0, "error", clean_notice)
                      .Effect([notice](const Scene& s) { EXPECT_EQ(notice(s), ""); }));
  std::string long_gif = std::string(237, 'g') + ".gif";
  cases.push_back(Make("StagedNameTooLong", {{long_gif, "GIF89a"}}, long_gif, "file-name-too-long", 0, "error",
                       {{std::string(236, 'g') + ".gif", "GIF89a"}})
                      .Effect([](const Scene& s) { EXPECT_TRUE(Moves(s).empty()); }));
  cases.push_back(Make("UrlNameTooLongForFavorites", {{std::string(233, 'u') + ".url", "[InternetShortcut]"}},
                       std::string(233, 'u') + ".url", "file-name-too-long", 0, "error",
                       {{std::string(232, 'u') + ".url", "[InternetShortcut]"}})
                      .Effect([](const Scene& s) { EXPECT_TRUE(Moves(s).empty()); }));
  cases.push_back(Make("NamesDifferingInCase", {{"Logo.gif", "GIF89a1"}, {"logo.gif", "GIF89a2"}}, "logo.gif",
                       "file-name-clash", 0, "error", {{"logo.gif", "GIF89a"}})
                      .Effect([](const Scene& s) {
                        std::vector<JsonObject> moves = Moves(s);
                        ASSERT_EQ(moves.size(), 2u);
                        EXPECT_NE(moves[0]["ok"], moves[1]["ok"]) << "only one of them is placed";
                      }));
  cases.push_back(Make("UnusedFile", {{"readme.txt", "notes"}}, "readme.txt", "file-unused", 0, "warning",
                       {{"logo.gif", "GIF89a"}})
                      .Effect([](const Scene& s) {
                        EXPECT_TRUE(Moves(s).empty());
                        EXPECT_FALSE(s.device.Exists("Temp/branding/readme.txt"));
                      }));
  cases.push_back(Make("UnlistedPackage", {{"extra.cab", "c"}}, "extra.cab", "file-unused", 0, "warning", CleanCab())
                      .Effect(NoProcess));
  cases.push_back(Make("EmptyDelivery", {}, "", "file-delivery-empty", 0, "error",
                       {{"brand.ini", Ini("[LENGREBOOT]\nreboot=\"1\"\n")}})
                      .Effect([](const Scene& s) { EXPECT_EQ(s.Events("restart").size(), 1u); }));
  return cases;
}

std::vector<Case> DeviceCases() {
  std::vector<Case> cases;
  cases.push_back(Make("ImageAlreadyOnDevice", {{"logo.gif", "GIF89a-new"}}, "logo.gif", "device-file-exists", 0,
                       "error", {{"brand.gif", "GIF89a-new"}})
                      .Device([](const Scene& s) { s.device.Put("Windows/LOGO.GIF", "GIF89a-old"); })
                      .Effect([](const Scene& s) {
                        ASSERT_EQ(Moves(s).size(), 1u);
                        EXPECT_EQ(Moves(s)[0]["ok"], "false");
                        EXPECT_EQ(s.device.Get("Windows/LOGO.GIF"), "GIF89a-old");
                      }));
  cases.push_back(Make("StartPageAlreadyOnDevice",
                       {{"brand.ini", Ini("[HOMEPAGE]\nstart.hp=\"\\Windows\\start.htm\"\n")}, {"start.hp", "<new>"}}, "start.hp",
                       "device-file-exists", 0, "error",
                       {{"brand.ini", Ini("[HOMEPAGE]\nstart.hp=\"\\Windows\\Web\\start.htm\"\n")}, {"start.hp", "<new>"}})
                      .Device([](const Scene& s) { s.device.Put("Windows/start.htm", "<old>"); })
                      .Effect([](const Scene& s) { EXPECT_EQ(s.device.Get("Windows/start.htm"), "<old>"); }));
  cases.push_back(Make("NoFavoritesFolder", {{"Home.url", "[InternetShortcut]"}}, "Home.url", "device-folder-missing", 0,
                       "error", {{"logo.gif", "GIF89a"}})
                      .Device([](const Scene& s) { fs::remove(s.device.fs() / "Windows" / "Favorites"); })
                      .Effect([](const Scene& s) {
                        ASSERT_EQ(Moves(s).size(), 1u);
                        EXPECT_EQ(Moves(s)[0]["ok"], "false");
                      }));
  cases.push_back(Make("NoPackageInstaller", CleanCab(), "brand.ini", "device-no-installer", 2, "error",
                       {{"logo.gif", "GIF89a"}})
                      .Device([](const Scene& s) { fs::remove(s.device.fs() / "Windows" / "wceload.exe"); })
                      .Effect([](const Scene& s) {
                        std::vector<JsonObject> started = s.Events("process");
                        ASSERT_EQ(started.size(), 1u);
                        EXPECT_EQ(started[0]["ok"], "false");
                      }));
  cases.push_back(Make("NoTodayKey", {{"brand.ini", Ini("[skin]\nskin=\"\\Windows\\blue.tsk\"\n")}, {"blue.tsk", "t"}},
                       "brand.ini", "device-no-today-key", 2, "error", {{"logo.gif", "GIF89a"}})
                      .Device([](const Scene& s) {
                        support::WriteBytes(s.device.dir() / "registry.reg", "Windows Registry Editor Version 5.00\r\n\r\n");
                      })
                      .Effect([](const Scene& s) {
                        EXPECT_TRUE(s.Sets("Skin").empty());
                        EXPECT_EQ(s.CommandLines(), std::vector<std::string>{ThemeLine("\\Windows\\blue.tsk")});
                      }));
  cases.push_back(Make("ThemeNowhere", {{"brand.ini", Ini("[skin]\nskin=\"\\Windows\\none.tsk\"\n")}}, "brand.ini",
                       "device-theme-missing", 2, "error",
                       {{"brand.ini", Ini("[skin]\nskin=\"\\Windows\\default.tsk\"\n")}})
                      .Device([](const Scene& s) { s.device.Put("Windows/default.tsk", BlueTheme()); })
                      .Effect([](const Scene& s) {
                        EXPECT_EQ(s.CommandLines(), std::vector<std::string>{ThemeLine("\\Windows\\none.tsk")});
                        EXPECT_FALSE(s.device.Exists("Windows/none.tsk"));
                      }));
  cases.push_back(Make("RemovalOfAbsentKey", {{"brand.ini", Ini("[REG_DEL_KEY]\nkey0=\"HKEY_LOCAL_MACHINE\\Software\\Gone\"\n")}},
                       "brand.ini", "device-key-missing", 2, "warning",
                       {{"brand.ini", Ini("[REG_DEL_KEY]\nkey0=\"HKEY_LOCAL_MACHINE\\Software\\Old\"\n")}})
                      .Device([](const Scene& s) { s.Registry(kOldKey); })
                      .Says("no key `HKEY_LOCAL_MACHINE\\Software\\Gone`")
                      .Effect([](const Scene& s) {
                        for (JsonObject& e : s.Events("reg_delete_key")) EXPECT_EQ(e["ok"], "false");
                        EXPECT_NE(s.device.Registry().find("Software\\Old]"), std::string::npos);
                      }));
  cases.push_back(Make("ConsentWithoutRestartEntry", CleanCab(), "brand.ini", "device-no-restart", 0, "warning",
                       {{"brand.ini", Ini(std::string(kCab) + "[LENGREBOOT]\nreboot=\"1\"\n")}, {"one.cab", Package()}})
                      .Device([](const Scene& s) { s.Registry(kGate); })
                      .Effect([](const Scene& s) { EXPECT_TRUE(s.Events("restart").empty()); }));
  cases.push_back(Make("RestartHeldByMarker", CleanCab(), "", "device-restart-held", 0, "warning", CleanCab())
                      .Device([](const Scene& s) {
                        s.Registry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps]\r\n\"CABInst\"=dword:00000007\r\n\r\n");
                      })
                      .CleanDevice([](const Scene& s) {
                        s.Registry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps]\r\n\"CABInst\"=dword:00000003\r\n\r\n");
                      })
                      .Effect([](const Scene& s) { EXPECT_TRUE(s.Events("restart").empty()); }));
  return cases;
}

std::vector<Case> PackageCases() {
  std::vector<Case> cases;
  auto with = [](const std::string& ini, Files files) {
    files.insert(files.begin(), {"brand.ini", Ini(ini)});
    return files;
  };
  auto refused = [](const std::string& reason) {
    return [reason](const Scene& s) {
      std::vector<JsonObject> ends = s.Events("package_end");
      ASSERT_EQ(ends.size(), 1u);
      EXPECT_EQ(ends[0]["ok"], "false");
      EXPECT_NE(ends[0]["reason"].find(reason), std::string::npos) << ends[0]["reason"];
    };
  };
  auto skipped = [](const std::string& what) {
    return [what](const Scene& s) {
      std::vector<JsonObject> skips = s.Events("package_skip");
      ASSERT_EQ(skips.size(), 1u);
      EXPECT_EQ(skips[0]["what"], what);
    };
  };
  auto spec = [](auto change) {
    cepkg::PackageSpec made;
    change(made);
    return Package(made);
  };
  const std::string theme_ini = "[skin]\nskin=\"\\Windows\\blue.tsk\"\n";

  cases.push_back(Make("PackageNotACabinet", with(kCab, {{"one.cab", "MSCF, but no cabinet"}}), "brand.ini",
                       "pkg-malformed", 2, "error", CleanCab())
                      .Says("the device's installer refuses `one.cab`: ")
                      .Effect(refused("")));
  cases.push_back(Make("PackageForAnotherProcessor",
                       with(kCab, {{"one.cab", spec([](cepkg::PackageSpec& p) { p.processor = 4000; })}}), "brand.ini",
                       "pkg-unfit", 2, "error", CleanCab())
                      .Says("the default device (StrongARM (2577), Windows CE 3.0 build 11171, platform PocketPC)")
                      .Effect(refused("does not fit the device")));
  cases.push_back(Make("PackageForANewerSystemThanTheImage",
                       with(kCab, {{"one.cab", spec([](cepkg::PackageSpec& p) { p.min_major = 4; })}}), "brand.ini",
                       "pkg-unfit", 2, "error", CleanCab())
                      .Device([](const Scene& s) { support::WriteBytes(s.device.dir() / "device.ini", "version=2.11\n"); })
                      .Says("needs Windows CE 4.0 or later; this device runs Windows CE 2.11")
                      .Effect(refused("does not fit the device")));
  cases.push_back(Make("ThemeWithAProgram", with(theme_ini, {{"blue.tsk", Package(Installs("%CE2%", "blue.exe"))}}),
                       "brand.ini", "pkg-theme-code", 2, "error", with(theme_ini, {{"blue.tsk", BlueTheme()}}))
                      .Says("(blue.exe)")
                      .Effect([refused](const Scene& s) {
                        refused("refused by /safe")(s);
                        EXPECT_FALSE(s.device.Exists("Windows/blue.exe"));
                      }));
  cases.push_back(Make("PackageWithSetupDll",
                       with(kCab, {{"one.cab", spec([](cepkg::PackageSpec& p) { p.setup_dll = "MZ"; })}}), "brand.ini",
                       "pkg-setup-dll", 2, "warning", CleanCab())
                      .Effect(skipped("setup_dll")));
  cases.push_back(Make("PackageFileForAnUndefinedFolder", with(kCab, {{"one.cab", Package(Installs("%CE3%", "a.txt"))}}),
                       "brand.ini", "pkg-refused-item", 2, "warning", CleanCab())
                      .Says("skips 1 item of `one.cab`: `a.txt` (the folder %CE3% is not defined on this device)")
                      .Effect(skipped("file")));
  cases.push_back(Make("PackageFileWhereAnImageIsMoved",
                       with(kCab, {{"one.cab", Package(Installs("%CE2%", "LOGO.GIF"))}, {"logo.gif", "GIF89a"}}), "brand.ini",
                       "pkg-file-collision", 2, "error",
                       with(kCab, {{"one.cab", Package(Installs("%CE2%", "other.gif"))}, {"logo.gif", "GIF89a"}}))
                      .Says("installs `\\Windows\\LOGO.GIF`, where the staged `logo.gif` is moved afterwards")
                      .Effect([](const Scene& s) {
                        ASSERT_EQ(Moves(s).size(), 1u);
                        EXPECT_EQ(Moves(s)[0]["ok"], "false");
                        EXPECT_EQ(s.device.Get("Windows/LOGO.GIF"), "from the package");
                      }));
  const std::string start_ini = theme_ini + "[HOMEPAGE]\nstart.hp=\"\\Windows\\start.htm\"\n";
  cases.push_back(Make("ThemeFileWhereTheStartPageIsMoved",
                       with(start_ini, {{"blue.tsk", Package(Installs("%CE2%", "start.htm"))}, {"start.hp", "<html>"}}),
                       "brand.ini", "pkg-file-collision", 2, "error",
                       with(start_ini, {{"blue.tsk", BlueTheme()}, {"start.hp", "<html>"}}))
                      .Says("where [HOMEPAGE] (line 4) moves the staged `start.hp` afterwards")
                      .Effect([](const Scene& s) {
                        ASSERT_EQ(Moves(s).size(), 2u);  // the theme, then the start page
                        EXPECT_EQ(Moves(s)[1]["ok"], "false");
                        EXPECT_EQ(s.device.Get("Windows/start.htm"), "from the package");
                      }));
  const std::string two_ini = std::string(kCab) + "cab1=\"two.cab\"\n";
  cases.push_back(Make("TwoPackagesInstallOneFile",
                       with(two_ini, {{"one.cab", Package(Installs("%CE2%", "a.txt"))},
                                      {"two.cab", spec([](cepkg::PackageSpec& p) {
                                         p.app_name = "Two";
                                         p.files = {{"%CE2%", "A.txt", 0, "second", 0}};
                                       })}}),
                       "brand.ini", "pkg-file-replaced", 3, "warning",
                       with(two_ini, {{"one.cab", Package(Installs("%CE2%", "a.txt"))},
                                      {"two.cab", Package(Installs("%CE2%", "b.txt"))}}))
                      .Says("which `one.cab` installed before: the later file replaces it")
                      .Effect([](const Scene& s) { EXPECT_EQ(s.device.Get("Windows/a.txt"), "second"); }));
  auto writes = [](const std::string& key, const std::string& name) {
    cepkg::PackageSpec made;
    made.values = {{3, key, name, 0, cepkg::SzData("package"), 0}};
    return Package(made);
  };
  cases.push_back(Make("PackageValueSetAgainByAScript",
                       with(kCab, {{"one.cab", writes("Software\\BRAND", "S")}, {"s.reg", Reg("\"s\"=\"x\"\n")}}),
                       "brand.ini", "pkg-value-overwritten", 2, "warning",
                       with(kCab, {{"one.cab", writes("Software\\Brand", "p")}, {"s.reg", Reg("\"s\"=\"x\"\n")}}))
                      .Says("writes HKEY_LOCAL_MACHINE\\Software\\BRAND `S`, which `s.reg` sets again at line 4")
                      .Effect([](const Scene& s) {
                        EXPECT_EQ(s.Sets("S"), std::vector<std::string>{"package"});
                        EXPECT_EQ(s.Sets("s"), std::vector<std::string>{"x"});
                        EXPECT_NE(s.device.Registry().find("\"S\"=\"x\""), std::string::npos);
                      }));
  const std::string removal_ini = std::string(kCab) + "[REG_DEL_KEY]\nkey0=\"HKEY_LOCAL_MACHINE\\Software\\Old\"\n";
  cases.push_back(Make("PackageValueUnderARemovedKey", with(removal_ini, {{"one.cab", writes("Software\\Old\\Sub", "n")}}),
                       "brand.ini", "pkg-value-removed", 2, "warning",
                       with(removal_ini, {{"one.cab", writes("Software\\Brand", "n")}}))
                      .Says("[REG_DEL_KEY] (line 4) deletes the key HKEY_LOCAL_MACHINE\\Software\\Old")
                      .Effect([](const Scene& s) {
                        EXPECT_EQ(s.Sets("n"), std::vector<std::string>{"package"});
                        EXPECT_EQ(s.device.Registry().find("Software\\Old"), std::string::npos);
                      }));
  return cases;
}

class FindingTest : public testing::TestWithParam<Case> {};

std::string Basename(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

TEST_P(FindingTest, TriggeredOnlyByItsDelivery) {
  const Case& c = GetParam();
  {
    Scene scene;
    if (c.device) c.device(scene);
    scene.Stage(c.bad);
    LintResult result = LintJson(scene.device.staging(), c.device ? scene.device.dir() : fs::path());
    const Finding* found = result.Find(c.code);
    ASSERT_NE(found, nullptr) << "expected " << c.code << result.Summary();
    EXPECT_EQ(found->line, c.line) << result.Summary();
    EXPECT_EQ(found->severity, c.severity) << result.Summary();
    EXPECT_NE(found->message.find(c.says), std::string::npos) << found->message;
    if (c.column != 0) {
      EXPECT_EQ(found->column, c.column) << result.Summary();
    }
    if (c.file.empty()) {
      EXPECT_EQ(found->file, scene.device.staging().string());
    } else {
      EXPECT_EQ(Basename(found->file), c.file) << result.Summary();
    }
    if (c.effect) {
      scene.Run();
      c.effect(scene);
    }
  }
  {
    Scene scene;
    if (c.clean_device) {
      c.clean_device(scene);
    } else if (c.device) {
      c.device(scene);
    }
    scene.Stage(c.clean);
    // A twin without brand.ini is told so (ini-missing); nothing else may be said.
    bool settings = false;
    for (const auto& file : c.clean) settings = settings || file.first == "brand.ini";
    std::vector<std::string> more;
    if (!settings) more = {"--disable", "ini-missing"};
    LintResult result =
        LintJson(scene.device.staging(), c.device ? scene.device.dir() : fs::path(), more);
    EXPECT_TRUE(result.findings.empty()) << "the clean twin:" << result.Summary();
    EXPECT_EQ(result.status, 0);
  }
}

std::string CaseName(const testing::TestParamInfo<Case>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Settings, FindingTest, testing::ValuesIn(SettingsCases()), CaseName);
INSTANTIATE_TEST_SUITE_P(Scripts, FindingTest, testing::ValuesIn(ScriptCases()), CaseName);
INSTANTIATE_TEST_SUITE_P(Files, FindingTest, testing::ValuesIn(FileCases()), CaseName);
INSTANTIATE_TEST_SUITE_P(Device, FindingTest, testing::ValuesIn(DeviceCases()), CaseName);
INSTANTIATE_TEST_SUITE_P(Packages, FindingTest, testing::ValuesIn(PackageCases()), CaseName);

}  // namespace
}  // namespace linttest
