// The delivery steps and their fixed order, through whole runs.
#include <gtest/gtest.h>

#include "scenario.h"

namespace core_test {
namespace {

std::vector<std::string> Field(const std::vector<JsonObject>& events, const char* name) {
  std::vector<std::string> out;
  for (const JsonObject& e : events) {
    auto it = e.find(name);
    out.push_back(it == e.end() ? "<absent>" : it->second);
  }
  return out;
}

using V = std::vector<std::string>;

TEST(Packages, EachListedPackageIsInstalledAndWaitedForUntilTheFirstGap) {
  Scenario s;
  s.Ini("[ADDITIONAL_CABS]\r\ncab0=\"a.cab\"\r\ncab1=\"sub\\b.cab\"\r\ncab3=\"never.cab\"\r\n");
  s.Run();
  auto processes = s.Events("process");
  EXPECT_EQ(Field(processes, "image"), (V{"\\Windows\\wceload.exe", "\\Windows\\wceload.exe"}));
  EXPECT_EQ(Field(processes, "command_line"),
            (V{"/noui \"\\Temp\\Branding\\a.cab\"", "/noui \"\\Temp\\Branding\\sub\\b.cab\""}));
  EXPECT_EQ(Field(s.Events("wait"), "command_line"), Field(processes, "command_line"));
  // Each installation ends before the next begins.
  EXPECT_NE(s.Sequence().find("process wait process wait"), std::string::npos) << s.Sequence();
}

TEST(Packages, TenAndMoreEntriesEachInstallOnce) {
  Scenario s;
  std::string ini = "[ADDITIONAL_CABS]\r\n";
  for (int i = 0; i < 12; ++i) ini += "cab" + std::to_string(i) + "=\"p" + std::to_string(i) + ".cab\"\r\n";
  s.Ini(ini);
  s.Run();
  auto lines = Field(s.Events("process"), "command_line");
  ASSERT_EQ(lines.size(), 12u);
  EXPECT_EQ(lines[10], "/noui \"\\Temp\\Branding\\p10.cab\"");
}

TEST(Packages, NoListOrAMissingInstallerStartsNothingAndTheRunGoesOn) {
  {
    Scenario s;
    s.Ini("[ADDITIONAL_CABS]\r\ncab1=\"a.cab\"\r\n");
    s.Run();
    EXPECT_TRUE(s.Events("process").empty());
  }
  {
    Scenario s;
    support::fs::remove(s.device.fs() / "Windows" / "wceload.exe");
    s.Ini("[ADDITIONAL_CABS]\r\ncab0=\"a.cab\"\r\ncab1=\"b.cab\"\r\n");
    s.Run();
    EXPECT_EQ(Field(s.Events("process"), "ok"), (V{"false", "false"}));
    EXPECT_TRUE(s.Events("wait").empty());
    EXPECT_EQ(s.Events("restart").size(), 1u);
  }
}

TEST(Packages, ACommandLineThatDoesNotFitIsSkippedNeverCut) {
  Scenario s;
  std::string fits(232, 'f');    // /noui "\Temp\Branding\ + 232 + " = 255 characters
  std::string too_long(233, 't');
  s.Ini("[ADDITIONAL_CABS]\r\ncab0=\"" + fits + "\"\r\ncab1=\"" + too_long + "\"\r\ncab2=\"c.cab\"\r\n");
  s.Run();
  EXPECT_EQ(Field(s.Events("process"), "command_line"),
            (V{"/noui \"\\Temp\\Branding\\" + fits + "\"", "/noui \"\\Temp\\Branding\\c.cab\""}));
}

TEST(FixedGroups, ImagesShortcutsAndThemesMoveHomeWithoutReplacing) {
  Scenario s;
  s.Stage("logo.gif", "new logo");
  s.Stage("old.gif", "new old");
  s.device.Put("Windows/OLD.GIF", "existing");
  s.Stage("Home.url", "[InternetShortcut]");
  s.Stage("blue.tsk", "theme");
  s.Stage("x.gif.txt", "not an image");
  s.Stage("a.gifx", "not an image either");
  s.Run();
  EXPECT_EQ(s.device.Get("Windows/logo.gif"), "new logo");
  EXPECT_EQ(s.device.Get("Windows/OLD.GIF"), "existing");
  EXPECT_FALSE(s.device.Exists("Windows/old.gif") && s.device.Get("Windows/old.gif") == "new old");
  EXPECT_EQ(s.device.Get("Windows/Favorites/Home.url"), "[InternetShortcut]");
  EXPECT_EQ(s.device.Get("Windows/blue.tsk"), "theme");
  EXPECT_FALSE(s.device.Exists("Windows/x.gif.txt"));
  EXPECT_FALSE(s.device.Exists("Windows/a.gifx"));
  EXPECT_FALSE(s.device.Exists("Temp/branding"));
  EXPECT_EQ(Field(s.Events("record"), "text"),
            (V{"\\Windows\\logo.gif", "\\Windows\\old.gif", "\\Windows\\Favorites\\Home.url",
               "\\Windows\\blue.tsk", "---"}));
}

TEST(FixedGroups, AMissingFavoritesFolderIsNotCreated) {
  Scenario s;
  support::fs::remove_all(s.device.fs() / "Windows" / "Favorites");
  s.Stage("Home.url", "x");
  s.Run();
  EXPECT_FALSE(s.device.Exists("Windows/Favorites"));
  auto moves = s.Events("move");
  ASSERT_EQ(moves.size(), 1u);
  EXPECT_EQ(moves[0]["ok"], "false");
}

TEST(FixedGroups, NamesTooLongForTheirPathsAreSkipped) {
  Scenario s;
  std::string fits = std::string(236, 'u') + ".url";  // 240: fits \Temp\branding\ (15 + 240)
  std::string too_long = std::string(237, 'u') + ".url";
  s.Stage(fits, "fits the source, not \\Windows\\Favorites");
  s.Stage(too_long, "fits nothing");
  s.Run();
  EXPECT_TRUE(s.Events("move").empty()) << s.Sequence();
  EXPECT_EQ(Field(s.Events("record"), "text"), (V{"---"}));
}

TEST(Theme, TheTodayScreenIsPointedAtTheThemeAndItsInstallerStarted) {
  Scenario s;
  s.Registry(
      "[HKEY_CURRENT_USER\\Software\\Microsoft\\Today]\r\n\"Skin\"=\"old.tsk\"\r\n"
      "\"Wall\"=\"w.jpg\"\r\n\"UseStartImage\"=dword:00000001\r\n\r\n");
  s.Stage("blue.tsk", "theme");
  s.Ini("[skin]\r\nskin=\"\\Windows\\blue.tsk\"\r\n");
  s.Run();
  const std::string today = "HKEY_CURRENT_USER\\Software\\Microsoft\\Today";
  EXPECT_EQ(s.Value(today, u"Skin"), "\\Windows\\blue.tsk");
  EXPECT_EQ(s.Value(today, u"Wall"), "");
  EXPECT_EQ(s.Value(today, u"WallFile"), "");
  EXPECT_EQ(s.Value(today, u"UseStartImage"), "<missing>");
  auto processes = s.Events("process");
  ASSERT_EQ(processes.size(), 1u);
  EXPECT_EQ(processes[0]["image"], "\\windows\\wceload.exe");
  EXPECT_EQ(processes[0]["command_line"], "/safe /noui /nouninstall /delete 0 \"\\Windows\\blue.tsk\"");
  EXPECT_TRUE(s.Events("wait").empty()) << "the theme installer is not waited for";
  // The theme file was placed before its installer ran.
  std::string seq = s.Sequence();
  EXPECT_LT(seq.find("move"), seq.find("process"));
}

TEST(Theme, EmptyPathMissingKeyOrNoEntry) {
  {
    Scenario s;
    s.Registry("[HKEY_CURRENT_USER\\Software\\Microsoft\\Today]\r\n\r\n");
    s.Ini("[skin]\r\nskin=\"\"\r\n");
    s.Run();
    EXPECT_EQ(s.Value("HKEY_CURRENT_USER\\Software\\Microsoft\\Today", u"Skin"), "");
    EXPECT_EQ(Field(s.Events("process"), "command_line"),
              (V{"/safe /noui /nouninstall /delete 0 \"\""}));
  }
  {
    Scenario s;
    s.Ini("[skin]\r\nskin=\"\\Windows\\blue.tsk\"\r\n");
    s.Run();
    EXPECT_FALSE(s.KeyExists("HKEY_CURRENT_USER\\Software\\Microsoft\\Today"));
    EXPECT_EQ(s.Events("process").size(), 1u);
  }
  {
    Scenario s;
    s.Registry("[HKEY_CURRENT_USER\\Software\\Microsoft\\Today]\r\n\"Skin\"=\"old\"\r\n\r\n");
    s.Run();
    EXPECT_EQ(s.Value("HKEY_CURRENT_USER\\Software\\Microsoft\\Today", u"Skin"), "old");
    EXPECT_TRUE(s.Events("process").empty());
  }
}

TEST(MappedGroups, StartPagesGoWhereTheSettingsSayWithTheirFolders) {
  Scenario s;
  s.Stage("start.hp", "<html>");
  s.Stage("a.ur", "url");
  s.Stage("unlisted.hp", "stays");
  s.Stage("x.url", "fixed group");
  s.Ini("[HOMEPAGE]\r\nSTART.HP=\"\\Windows\\Start Menu\\Web\\start.htm\"\r\n\r\n"
        "[URLS]\r\na.ur=\"\\a.txt\"\r\n");
  s.Run();
  EXPECT_EQ(s.device.Get("Windows/Start Menu/Web/start.htm"), "<html>");
  EXPECT_EQ(s.device.Get("a.txt"), "url");
  EXPECT_EQ(s.device.Get("Windows/Favorites/x.url"), "fixed group");
  EXPECT_FALSE(s.device.Exists("Temp/branding"));
  EXPECT_EQ(Field(s.Events("mkdir"), "path"),
            (V{"\\Windows", "\\Windows\\Start Menu", "\\Windows\\Start Menu\\Web"}));
  EXPECT_EQ(Field(s.Events("mkdir"), "ok"), (V{"false", "true", "true"}));
}

TEST(MappedGroups, DestinationsOutsideTheDeviceGoNowhere) {
  Scenario s;
  s.Stage("a.hp", "escape");
  s.Stage("b.hp", "escape");
  s.Stage("c.hp", "escape");
  s.Ini("[HOMEPAGE]\r\na.hp=\"\\..\\..\\escaped.txt\"\r\nb.hp=\"/../escaped.txt\"\r\n"
        "c.hp=\"\\Windows\\..\\..\\escaped.txt\"\r\n");
  s.Run();
  EXPECT_FALSE(support::fs::exists(s.device.dir() / "escaped.txt"));
  EXPECT_FALSE(support::fs::exists(s.device.dir().parent_path() / "escaped.txt"));
  for (const JsonObject& m : s.Events("move")) EXPECT_EQ(m.at("ok"), "false");
  EXPECT_EQ(s.Events("restart").size(), 1u);
}

TEST(KeyRemoval, ListedKeysGoWithEverythingBelowThem) {
  Scenario s;
  s.Registry(
      "[HKEY_LOCAL_MACHINE\\Software\\A]\r\n\"keep\"=\"1\"\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\A\\B]\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\A\\B\\C]\r\n\"v\"=\"1\"\r\n\r\n"
      "[HKEY_CURRENT_USER\\Temp]\r\n\r\n"
      "[HKEY_CLASSES_ROOT\\Gone]\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Lower]\r\n\r\n");
  s.Ini("[REG_DEL_KEY]\r\nkey0=\"HKEY_LOCAL_MACHINE\\Software\\A\\B\"\r\n"
        "key1=\"HKEY_CURRENT_USER\\Temp\"\r\nkey2=\"no backslash\"\r\n"
        "key3=\"HKEY_USERS\\Software\\A\"\r\nkey4=\"hkey_local_machine\\Software\\Lower\"\r\n"
        "key5=\"HKEY_CLASSES_ROOT\\Gone\"\r\nkey6=\"HKEY_LOCAL_MACHINE\\Missing\\Key\"\r\n");
  s.Run();
  EXPECT_TRUE(s.KeyExists("HKEY_LOCAL_MACHINE\\Software\\A"));
  EXPECT_EQ(s.Value("HKEY_LOCAL_MACHINE\\Software\\A", u"keep"), "1");
  EXPECT_FALSE(s.KeyExists("HKEY_LOCAL_MACHINE\\Software\\A\\B"));
  EXPECT_FALSE(s.KeyExists("HKEY_CURRENT_USER\\Temp"));
  EXPECT_FALSE(s.KeyExists("HKEY_LOCAL_MACHINE\\Software\\Lower"));
  EXPECT_FALSE(s.KeyExists("HKEY_CLASSES_ROOT\\Gone"));
  EXPECT_EQ(s.Events("reg_delete_key").size(), 4u);
}

TEST(KeyRemoval, TheListEndsAtTheFirstGap) {
  Scenario s;
  s.Registry("[HKEY_CURRENT_USER\\A]\r\n\r\n[HKEY_CURRENT_USER\\C]\r\n\r\n");
  s.Ini("[REG_DEL_KEY]\r\nkey0=\"HKEY_CURRENT_USER\\A\"\r\nkey2=\"HKEY_CURRENT_USER\\C\"\r\n");
  s.Run();
  EXPECT_FALSE(s.KeyExists("HKEY_CURRENT_USER\\A"));
  EXPECT_TRUE(s.KeyExists("HKEY_CURRENT_USER\\C"));
}

TEST(KeyRemoval, AnEmptyLeafNeverDeletesTheParentOrTheRoot) {
  Scenario s;
  s.Registry("[HKEY_LOCAL_MACHINE\\Software\\A]\r\n\"v\"=\"1\"\r\n\r\n");
  s.Ini("[REG_DEL_KEY]\r\nkey0=\"HKEY_LOCAL_MACHINE\\Software\\A\\\"\r\n"
        "key1=\"HKEY_LOCAL_MACHINE\\\"\r\nkey2=\"HKEY_LOCAL_MACHINE\\Software\\\"\r\n");
  s.Run();
  EXPECT_EQ(s.Value("HKEY_LOCAL_MACHINE\\Software\\A", u"v"), "1");
  EXPECT_TRUE(s.Events("reg_delete_key").empty());
}

TEST(RunOrder, PackagesFilesThemePagesScriptsRemovalsThenTheRestart) {
  Scenario s;
  s.Registry("[HKEY_CURRENT_USER\\Software\\Microsoft\\Today]\r\n\r\n");
  s.Stage("p.cab", "cab");
  s.Stage("logo.gif", "gif");
  s.Stage("t.tsk", "theme");
  s.Stage("start.hp", "page");
  s.Stage("s.reg", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Brand]\r\n\"N\"=\"x\"\r\n\r\n");
  s.Ini("[ADDITIONAL_CABS]\r\ncab0=\"p.cab\"\r\n\r\n[skin]\r\nskin=\"\\Windows\\t.tsk\"\r\n\r\n"
        "[HOMEPAGE]\r\nstart.hp=\"\\Web\\start.htm\"\r\n\r\n"
        "[REG_DEL_KEY]\r\nkey0=\"HKEY_LOCAL_MACHINE\\Software\\Brand\"\r\n\r\n"
        "[LENGREBOOT]\r\nreboot=\"1\"\r\n");
  s.Run();
  std::string seq = s.Sequence();
  auto at = [&](const std::string& what) { return seq.find(what); };
  EXPECT_LT(at("wait"), at("move")) << "packages finish before any file moves";
  EXPECT_LT(at("move"), seq.find("process", at("wait"))) << "the theme file is placed before its installer";
  EXPECT_LT(at("mkdir"), at("reg_create"));
  EXPECT_LT(at("reg_create"), at("reg_delete_key"));
  EXPECT_LT(at("reg_delete_key"), at("restart"));
  // A key a script writes and the list removes is gone at the end.
  EXPECT_FALSE(s.KeyExists("HKEY_LOCAL_MACHINE\\Software\\Brand"));
  EXPECT_EQ(s.device.Get("Web/start.htm"), "page");
}

}  // namespace
}  // namespace core_test

namespace core_test {
namespace {

TEST(Hostile, SettingsFilesOfAnyShapeNeverStopTheRun) {
  std::string garbage;
  std::uint32_t x = 99;
  for (int i = 0; i < 100000; ++i) {
    x = x * 1664525u + 1013904223u;
    garbage.push_back(static_cast<char>(x >> 24));
  }
  static const char kNul[] = "[ADDITIONAL_CABS]\0\r\ncab0=\"a\0b.cab\"\r\n";
  const std::string inis[] = {
      std::string(10 * 1024 * 1024, 'a'),
      "[LENGREBOOT]\r\nreboot=\"" + std::string(10 * 1024 * 1024, 'r') + "\"\r\n",
      std::string(kNul, sizeof kNul - 1),
      garbage,
      "[" + std::string(5000, '[') + "\r\n=\r\n==\r\n\"\r\n",
  };
  for (const std::string& ini : inis) {
    Scenario s;
    s.Ini(ini);
    s.Stage(std::string(236, 'n') + ".hp", "long name");
    s.Run();
    EXPECT_EQ(s.Events("restart").size(), 1u);
    EXPECT_FALSE(s.device.Exists("Temp/branding"));
  }
}

}  // namespace
}  // namespace core_test
