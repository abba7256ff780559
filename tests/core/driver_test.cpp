// The entry, the consent gate, the notice texts, the clean-up and the
// restart decision, watched through the emulated device's journal.
#include <gtest/gtest.h>

#include "driver/driver.h"
#include "platform/host/text.h"
#include "scenario.h"

namespace core_test {
namespace {

const char kCzechNotice[] =
    "Změny nastavení se projeví až po restartu. Uložte prosím otevřené soubory, uzavřete všechny "
    "aplikace a pro RESTART klepněte na OK. ";

std::string Utf16(const std::u16string& text, bool mark) { return host::ToUtf16Le(text, mark); }

TEST(Entry, AnythingButInstEndsAtOnceAndTouchesNothing) {
  for (const char16_t* words : {u"unin", u"", u"Inst", u" inst", u"inst ", u"INST"}) {
    Scenario s;
    s.Registry(std::string(kGateKey) + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps]\r\n\"CABInst\"=dword:00000007\r\n\r\n");
    s.Stage("logo.gif", "GIF89a");
    s.Run(words);
    EXPECT_EQ(s.events.size(), 0u) << s.Sequence();
    EXPECT_TRUE(s.device.Exists("Temp/branding/logo.gif"));
    EXPECT_EQ(s.Value("HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps", u"CABInst"), "07000000");
  }
}

TEST(Gate, WithoutTheGateKeyNoDialogAsksAndTheDeviceRestarts) {
  Scenario s;
  s.Run();
  ASSERT_EQ(s.Events("dialog").size(), 1u);
  EXPECT_EQ(s.Events("dialog")[0]["caption"], "System Reboot");
  EXPECT_EQ(s.Events("restart").size(), 1u);
}

TEST(Gate, RefusalRemovesTheStagingFolderAndChangesNothingElse) {
  Scenario s;
  s.Registry(std::string(kGateKey) + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps]\r\n\"CABInst\"=dword:00000003\r\n\r\n");
  s.Ini("[LENGREBOOT]\r\nreboot=\"1\"\r\n");
  s.Stage("logo.gif", "GIF89a");
  s.Stage("a.reg", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\A]\r\n\"N\"=\"x\"\r\n");
  s.config.answer = platform::kIdNo;
  s.Run();
  auto dialogs = s.Events("dialog");
  ASSERT_EQ(dialogs.size(), 1u);
  EXPECT_EQ(dialogs[0]["caption"], "Branding");
  EXPECT_EQ(dialogs[0]["text"], "Do you want to install branding files?");
  EXPECT_EQ(dialogs[0]["flags"], "65540");
  EXPECT_EQ(dialogs[0]["answer"], "7");
  EXPECT_FALSE(s.device.Exists("Temp/branding"));
  EXPECT_FALSE(s.device.Exists("Windows/logo.gif"));
  EXPECT_FALSE(s.KeyExists("HKEY_LOCAL_MACHINE\\Software\\A"));
  // The marker is consumed only by the restart decision, which a refusal skips.
  EXPECT_EQ(s.Value("HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps", u"CABInst"), "03000000");
  EXPECT_TRUE(s.Events("restart").empty());
  EXPECT_TRUE(s.Events("process").empty());
}

TEST(Notice, ConsentTextComesFromInstMsgWithOrWithoutMark) {
  struct Case {
    std::string file;
    std::string shown;
  } cases[] = {
      {Utf16(u"Install the \u010desk\u00e1 branding?", true), "Install the česká branding?"},
      {Utf16(u"No mark here", false), "No mark here"},
      {Utf16(u"Two\r\nlines", true), "Two\r\nlines"},
      // An odd length leaves half a code unit: its low byte counts.
      {Utf16(u"Ab", false) + "C", "AbC"},
      {"", ""},
  };
  for (const Case& c : cases) {
    Scenario s;
    s.Registry(kGateKey);
    s.Stage("inst.msg", c.file);
    s.Run();
    auto dialogs = s.Events("dialog");
    ASSERT_GE(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0]["text"], c.shown);
  }
}

TEST(Notice, OnlyTheFirst510BytesOfAMessageCount) {
  std::u16string long_text(300, u'x');
  for (int i = 0; i < 300; ++i) long_text[i] = static_cast<char16_t>(u'a' + i % 26);
  for (bool mark : {false, true}) {
    Scenario s;
    s.Registry(kGateKey);
    s.Stage("inst.msg", Utf16(long_text, mark));
    s.Run();
    auto dialogs = s.Events("dialog");
    ASSERT_GE(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0]["text"], support::ToUtf8(long_text.substr(0, mark ? 254 : 255)));
  }
}

TEST(Notice, RestartNoticeIsReadBeforeTheFolderGoesAndFallsBackToCzech) {
  {
    Scenario s;
    s.Stage("reboot.msg", Utf16(u"Restarting now.", true));
    s.Run();
    auto dialogs = s.Events("dialog");
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0]["text"], "Restarting now.");
    EXPECT_EQ(dialogs[0]["flags"], "327680");
    EXPECT_FALSE(s.device.Exists("Temp/branding"));
  }
  {
    Scenario s;
    s.Run();
    auto dialogs = s.Events("dialog");
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0]["text"], kCzechNotice);
    EXPECT_EQ(support::FromUtf8(dialogs[0]["text"]).size(), 131u);
  }
}

// Marker, [LENGREBOOT] reboot, consent -> restart?
struct RestartRow {
  const char* marker;  // dword text, or null for none
  bool reboot_entry;
  bool consent;
  bool restart;
};

TEST(Restart, TheDecisionTable) {
  const RestartRow rows[] = {
      {"00000007", true, true, false},   {"00000007", false, false, false},
      {"00000007", true, false, false},  {nullptr, true, true, true},
      {nullptr, true, false, true},      {"00000003", true, true, true},
      {nullptr, false, true, false},     {"00000003", false, true, false},
      {nullptr, false, false, true},     {"00000003", false, false, true},
  };
  for (const RestartRow& row : rows) {
    SCOPED_TRACE(testing::Message() << "marker " << (row.marker ? row.marker : "none") << " reboot "
                                    << row.reboot_entry << " consent " << row.consent);
    Scenario s;
    std::string reg = row.consent ? kGateKey : "";
    reg += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps]\r\n";
    if (row.marker) reg += std::string("\"CABInst\"=dword:") + row.marker + "\r\n";
    s.Registry(reg + "\r\n");
    s.Ini(row.reboot_entry ? "[LENGREBOOT]\r\nreboot=\"1\"\r\n" : "[OTHER]\r\nreboot=\"1\"\r\n");
    s.Stage("logo.gif", "GIF89a");
    s.Run();
    EXPECT_EQ(s.Events("restart").size(), row.restart ? 1u : 0u);
    EXPECT_EQ(s.Events("sleep").size(), row.restart ? 1u : 0u);
    // The marker acts once, and the staging folder goes on every path.
    EXPECT_EQ(s.Value("HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps", u"CABInst"), "<missing>");
    EXPECT_FALSE(s.device.Exists("Temp/branding"));
    EXPECT_TRUE(s.device.Exists("Windows/logo.gif"));
  }
}

TEST(Restart, NoticeThenFlushThenPauseThenRestart) {
  Scenario s;
  s.Run();
  std::string seq = s.Sequence();
  std::size_t dialog = seq.find("dialog");
  std::size_t flush = seq.find("reg_flush", dialog);
  std::size_t sleep = seq.find("sleep");
  std::size_t restart = seq.find("restart");
  ASSERT_NE(dialog, std::string::npos);
  EXPECT_LT(seq.rfind("rmdir", dialog), dialog) << "the folder is removed before the notice";
  EXPECT_LT(dialog, flush);
  EXPECT_LT(flush, sleep) << "the registry is durable before the pause";
  EXPECT_EQ(s.Events("reg_flush")[0]["key"], "HKEY_LOCAL_MACHINE");
  EXPECT_LT(sleep, restart);
  EXPECT_EQ(s.Events("sleep")[0]["ms"], "2000");
}

// The clean-up removes the registry scripts: a run that died during it
// would lose its registry changes for good, unless they were made durable
// first. On both paths of the decision.
TEST(Restart, TheRegistryIsDurableBeforeTheCleanUpRemovesTheScripts) {
  for (bool restart : {true, false}) {
    SCOPED_TRACE(restart ? "restart" : "no restart");
    Scenario s;
    s.Registry(std::string(kGateKey));
    if (restart) s.Ini("[LENGREBOOT]\r\nreboot=\"1\"\r\n");
    s.Stage("a.reg", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\A]\r\n\"V\"=dword:1\r\n");
    s.Run();
    std::string seq = s.Sequence();
    std::size_t flush = seq.find("reg_flush");
    ASSERT_NE(flush, std::string::npos);
    EXPECT_LT(seq.find("reg_set"), flush);
    EXPECT_LT(flush, seq.find("delete")) << seq;
    EXPECT_EQ(s.Events("reg_flush")[0]["key"], "HKEY_LOCAL_MACHINE");
    EXPECT_EQ(s.Events("restart").size(), restart ? 1u : 0u);
  }
}

TEST(Restart, EmptyOrMissingStagingFolderStillReachesTheDecision) {
  Scenario s;
  support::fs::remove_all(s.device.staging());
  s.Run();
  EXPECT_EQ(s.Events("restart").size(), 1u);
}

TEST(CleanUp, RemovesEverythingInTheStagingFolderSubFoldersAndReadOnlyFilesToo) {
  Scenario s;
  s.Stage("readonly.txt", "r");
  s.Stage("README", "no dot in this name");
  s.Stage("pkgs/deep/x.cab", "cab");
  s.Stage("pkgs/y.cab", "cab");
  // Paths as long as the device's limit (259 characters) are reached too.
  s.Stage(std::string(240, 'l') + ".txt", "\\Temp\\branding\\ and 244 characters");
  s.Stage("pkgs/" + std::string(235, 'l') + ".cab", "\\Temp\\branding\\pkgs\\ and 239");
  // An empty sub-folder: its listing finds nothing and returns at once.
  support::fs::create_directories(s.device.staging() / "pkgs" / "empty");
  support::fs::permissions(s.device.staging() / "readonly.txt", support::fs::perms::owner_write,
                           support::fs::perm_options::remove);
  support::fs::permissions(s.device.staging() / "pkgs" / "y.cab", support::fs::perms::owner_write,
                           support::fs::perm_options::remove);
  s.Run();
  EXPECT_FALSE(s.device.Exists("Temp/branding"));
  EXPECT_TRUE(s.device.Exists("Temp"));
}

// One unit beyond the device's paths: such a name cannot be reached on the
// device (nor on the desktop), so it stays, and the staging folder with it.
TEST(CleanUp, ANameBeyondTheDevicesPathsStays) {
  Scenario s;
  const std::string name = std::string(241, 'l') + ".txt";  // \Temp\branding\ and 245: 260
  s.Stage(name, "x");
  s.Run();
  EXPECT_TRUE(s.device.Exists("Temp/branding/" + name));
}

TEST(CleanUp, LinksAreRemovedNeverFollowed) {
  Scenario s;
  support::TempDir outside;
  support::WriteBytes(outside.path() / "precious.txt", "keep me");
  support::fs::create_directory_symlink(outside.path(), s.device.staging() / "folder_link");
  support::fs::create_symlink(outside.path() / "precious.txt", s.device.staging() / "file_link");
  s.Run();
  EXPECT_EQ(support::ReadBytes(outside.path() / "precious.txt"), "keep me");
  EXPECT_FALSE(s.device.Exists("Temp/branding"));
}

TEST(CleanUp, AReadOnlyFileOutsideTheStagingFolderCannotBeDeleted) {
  Scenario s;
  s.device.Put("Windows/keep.gif", "old");
  support::fs::permissions(s.device.fs() / "Windows" / "keep.gif", support::fs::perms::owner_write,
                           support::fs::perm_options::remove);
  s.Open();
  EXPECT_FALSE(platform::DeleteFileW(u"\\Windows\\keep.gif"));
  s.Close();
  EXPECT_EQ(s.device.Get("Windows/keep.gif"), "old");
}

}  // namespace
}  // namespace core_test
