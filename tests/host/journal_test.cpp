// The journal's events and fields, its text encoding, the transcript, and
// failures to write them.

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "host/host_fixture.h"

namespace hosttest {
namespace {

using JournalEvents = HostTest;
using Transcript = HostTest;
using Set = std::set<std::string>;

// Standard output sent to a file for as long as the object lives.
class CaptureStdout {
 public:
  explicit CaptureStdout(const fs::path& file) : file_(file) {
    std::fflush(stdout);
    saved_ = dup(1);
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(fd, 1);
    close(fd);
  }
  ~CaptureStdout() { Stop(); }
  std::vector<std::string> Stop() {
    if (saved_ >= 0) {
      std::fflush(stdout);
      dup2(saved_, 1);
      close(saved_);
      saved_ = -1;
    }
    return support::ReadLines(file_);
  }

 private:
  fs::path file_;
  int saved_ = -1;
};

// Runs one effect of every kind and checks each journal object's fields.
TEST_F(JournalEvents, EveryEventCarriesItsFields) {
  device.Put("Temp/branding/logo.gif", "x");
  device.Put("Temp/branding/old.txt", "x");
  device.Put("Windows/wceload.exe", "");
  fs::create_directory(device.staging() / "pkg");
  config.answer = platform::kIdYes;
  config.start_only = true;  // the package installer's events are checked with packages
  ASSERT_TRUE(Open());

  platform::MessageBoxW(platform::kNoOwner, u"Do you want to install branding files?", u"Branding",
                        platform::kMbYesNo | platform::kMbSetForeground);
  platform::ProcessInformation info;
  std::u16string command_line = u"/noui \\Temp\\branding\\extra.cab";
  ASSERT_TRUE(platform::CreateProcessW(u"\\Windows\\wceload.exe", command_line.data(), nullptr,
                                       nullptr, false, 0, nullptr, nullptr, nullptr, &info));
  EXPECT_EQ(platform::WaitForSingleObject(info.hProcess, platform::kInfinite),
            platform::kWaitObject0);
  platform::CloseHandle(info.hThread);
  platform::CloseHandle(info.hProcess);
  platform::WriteFile(platform::kInvalidHandleValue, u"---\r\n", 10, nullptr, nullptr);
  platform::MoveFileW(u"\\Temp\\branding\\logo.gif", u"\\Windows\\logo.gif");
  platform::SetFileAttributesW(u"\\Temp\\branding\\old.txt", platform::kFileAttributeNormal);
  platform::DeleteFileW(u"\\Temp\\branding\\old.txt");
  platform::CreateDirectoryW(u"\\Windows\\Start", nullptr);
  platform::RemoveDirectoryW(u"\\Temp\\branding\\pkg");
  platform::HKey key;
  platform::RegCreateKeyExW(platform::kHkeyLocalMachine, u"Software\\A", 0, nullptr, 0, 0, nullptr,
                            &key, nullptr);
  const std::uint8_t data[] = {0x01, 0xAB, 0x00, 0xFF};
  platform::RegSetValueExW(key, u"Blob", 0, platform::kRegBinary, data, sizeof data);
  platform::RegSetValueExW(key, nullptr, 0, platform::kRegBinary, data, 1);
  platform::RegDeleteValueW(key, u"Blob");
  platform::RegCloseKey(key);
  platform::RegDeleteKeyW(platform::kHkeyLocalMachine, u"software\\a");
  platform::MessageBoxW(platform::kNoOwner, u"Restart now.", u"System Reboot",
                        platform::kMbOk | platform::kMbSetForeground | platform::kMbTopmost);
  platform::Sleep(2000);
  platform::KernelIoControl(platform::kIoctlHalReboot, nullptr, 0, nullptr, 0, nullptr);
  EXPECT_EQ(Close(), "");

  std::vector<simtest::JsonObject> journal = Journal();
  std::vector<std::string> kinds;
  for (const auto& object : journal) kinds.push_back(object.at("event").text);
  EXPECT_EQ(kinds, (std::vector<std::string>{"dialog", "process", "wait", "record", "move",
                                             "attributes", "delete", "mkdir", "rmdir", "reg_create",
                                             "reg_set", "reg_set", "reg_delete_value",
                                             "reg_delete_key", "dialog", "sleep", "restart"}));
  ASSERT_EQ(journal.size(), kinds.size());
  auto at = [&](std::size_t i, const char* field) { return journal[i].at(field); };

  EXPECT_EQ(Fields(journal[0]), (Set{"event", "caption", "text", "flags", "answer"}));
  EXPECT_EQ(at(0, "caption").text, "Branding");
  EXPECT_EQ(at(0, "text").text, "Do you want to install branding files?");
  EXPECT_EQ(at(0, "flags").text, "65540");
  EXPECT_EQ(at(0, "flags").kind, simtest::JsonValue::kNumber);
  EXPECT_EQ(at(0, "answer").text, "6");

  EXPECT_EQ(Fields(journal[1]), (Set{"event", "image", "command_line", "ok"}));
  EXPECT_EQ(at(1, "image").text, "\\Windows\\wceload.exe");
  EXPECT_EQ(at(1, "command_line").text, "/noui \\Temp\\branding\\extra.cab");
  EXPECT_EQ(at(1, "ok").kind, simtest::JsonValue::kBool);
  EXPECT_EQ(at(1, "ok").text, "true");

  EXPECT_EQ(Fields(journal[2]), (Set{"event", "command_line"}));
  EXPECT_EQ(at(2, "command_line").text, "/noui \\Temp\\branding\\extra.cab");

  EXPECT_EQ(Fields(journal[3]), (Set{"event", "text"}));
  EXPECT_EQ(at(3, "text").text, "---");

  EXPECT_EQ(Fields(journal[4]), (Set{"event", "from", "to", "ok"}));
  EXPECT_EQ(at(4, "from").text, "\\Temp\\branding\\logo.gif");
  EXPECT_EQ(at(4, "to").text, "\\Windows\\logo.gif");
  EXPECT_EQ(at(4, "ok").text, "true");

  EXPECT_EQ(Fields(journal[5]), (Set{"event", "path", "attributes", "ok"}));
  EXPECT_EQ(at(5, "attributes").text, "128");
  for (std::size_t i : {6, 7, 8}) {
    EXPECT_EQ(Fields(journal[i]), (Set{"event", "path", "ok"})) << kinds[i];
    EXPECT_EQ(at(i, "ok").text, "true") << kinds[i];
  }
  EXPECT_EQ(at(6, "path").text, "\\Temp\\branding\\old.txt");
  EXPECT_EQ(at(7, "path").text, "\\Windows\\Start");
  EXPECT_EQ(at(8, "path").text, "\\Temp\\branding\\pkg");

  EXPECT_EQ(Fields(journal[9]), (Set{"event", "key", "ok"}));
  EXPECT_EQ(at(9, "key").text, "HKEY_LOCAL_MACHINE\\Software\\A");

  EXPECT_EQ(Fields(journal[10]), (Set{"event", "key", "name", "type", "type_name", "data", "ok"}));
  EXPECT_EQ(at(10, "key").text, "HKEY_LOCAL_MACHINE\\Software\\A");
  EXPECT_EQ(at(10, "name").text, "Blob");
  EXPECT_EQ(at(10, "type").text, "3");
  EXPECT_EQ(at(10, "type_name").text, "REG_BINARY");
  EXPECT_EQ(at(10, "data").text, "01ab00ff");
  EXPECT_EQ(at(11, "name").text, "");
  EXPECT_EQ(at(11, "data").text, "01");

  EXPECT_EQ(Fields(journal[12]), (Set{"event", "key", "name", "ok"}));
  EXPECT_EQ(at(12, "name").text, "Blob");
  EXPECT_EQ(Fields(journal[13]), (Set{"event", "key", "ok"}));
  EXPECT_EQ(at(13, "key").text, "HKEY_LOCAL_MACHINE\\Software\\A");  // as created

  EXPECT_EQ(at(14, "answer").text, "1");
  EXPECT_EQ(at(14, "flags").text, std::to_string(0x50000));
  EXPECT_EQ(Fields(journal[15]), (Set{"event", "ms"}));
  EXPECT_EQ(at(15, "ms").text, "2000");
  EXPECT_EQ(Fields(journal[16]), (Set{"event"}));
}

// Each failure says why: the device's error number and words in the journal,
// just before "ok", and the same words in the transcript.
TEST_F(JournalEvents, FailuresSayWhyInTheJournalAndTheTranscript) {
  device.Put("Temp/branding/logo.gif", "x");
  device.Put("Windows/logo.gif", "old");
  device.Put("Temp/branding/locked.txt", "x");
  fs::permissions(device.staging() / "locked.txt", fs::perms::owner_write,
                  fs::perm_options::remove);
  device.Put("Temp/branding/pkg/a.cab", "x");
  config.quiet = false;
  CaptureStdout capture(scratch.path() / "out.txt");
  ASSERT_TRUE(Open());

  struct Case {
    const char* what;
    bool (*fails)();  // runs the operation; true when it reported failure
    const char* event;
    int error;
    const char* reason;
  };
  const Case cases[] = {
      {"move onto a file that exists (in another case)",
       [] { return !platform::MoveFileW(u"\\Temp\\branding\\logo.gif", u"\\Windows\\LOGO.GIF"); },
       "move", 183, "already exists"},
      {"move of a missing file",
       [] { return !platform::MoveFileW(u"\\Temp\\branding\\none.gif", u"\\Windows\\none.gif"); },
       "move", 2, "not found"},
      {"move into a missing folder",
       [] { return !platform::MoveFileW(u"\\Temp\\branding\\logo.gif", u"\\Nowhere\\logo.gif"); },
       "move", 3, "path not found"},
      {"delete of a read-only file",
       [] { return !platform::DeleteFileW(u"\\Temp\\branding\\locked.txt"); }, "delete", 5,
       "read-only"},
      {"delete of a folder", [] { return !platform::DeleteFileW(u"\\Temp\\branding\\pkg"); },
       "delete", 5, "is a folder"},
      {"mkdir of a folder that exists",
       [] { return !platform::CreateDirectoryW(u"\\Windows", nullptr); }, "mkdir", 183,
       "already exists"},
      {"mkdir of a name the device cannot hold",
       [] { return !platform::CreateDirectoryW(u"\\Windows\\a:b", nullptr); }, "mkdir", 123,
       "invalid name"},
      {"rmdir of a folder with files",
       [] { return !platform::RemoveDirectoryW(u"\\Temp\\branding\\pkg"); }, "rmdir", 145,
       "not empty"},
      {"rmdir of a file", [] { return !platform::RemoveDirectoryW(u"\\Temp\\branding\\logo.gif"); },
       "rmdir", 267, "not a folder"},
      {"removal of a missing key",
       [] {
         return platform::RegDeleteKeyW(platform::kHkeyCurrentUser, u"Software\\None") ==
                platform::kErrorFileNotFound;
       },
       "reg_delete_key", 2, "no such key"},
      {"removal of a missing value",
       [] {
         return platform::RegDeleteValueW(platform::kHkeyCurrentUser, u"None") ==
                platform::kErrorFileNotFound;
       },
       "reg_delete_value", 2, "no such value"},
      {"a value set through a key removed meanwhile",
       [] {
         platform::HKey key;
         platform::RegCreateKeyExW(platform::kHkeyCurrentUser, u"Software\\Gone", 0, nullptr, 0, 0,
                                   nullptr, &key, nullptr);
         platform::RegDeleteKeyW(platform::kHkeyCurrentUser, u"Software\\Gone");
         std::int32_t error =
             platform::RegSetValueExW(key, u"N", 0, platform::kRegBinary, nullptr, 0);
         platform::RegCloseKey(key);
         return error == platform::kErrorInvalidHandle;
       },
       "reg_set", 6, "invalid handle"},
      {"a program that is not on the device",
       [] {
         platform::ProcessInformation info;
         std::u16string command_line = u"/noui x.cab";
         return !platform::CreateProcessW(u"\\Windows\\wceload.exe", command_line.data(), nullptr,
                                          nullptr, false, 0, nullptr, nullptr, nullptr, &info);
       },
       "process", 2, "not found"},
  };
  for (const Case& c : cases) EXPECT_TRUE(c.fails()) << c.what;
  EXPECT_EQ(Close(), "");

  // One transcript line per journal line; the failed ones are the cases'.
  std::vector<std::string> transcript = capture.Stop();
  std::vector<std::string> journal = support::ReadLines(journal_file);
  ASSERT_EQ(transcript.size(), journal.size());
  std::size_t next = 0;
  for (std::size_t i = 0; i < journal.size(); ++i) {
    if (journal[i].find("\"ok\":false") == std::string::npos) continue;
    ASSERT_LT(next, std::size(cases)) << journal[i];
    const Case& c = cases[next++];
    SCOPED_TRACE(c.what);
    EXPECT_EQ(journal[i].rfind(std::string("{\"event\":\"") + c.event + "\"", 0), 0u) << journal[i];
    std::string tail =
        ",\"error\":" + std::to_string(c.error) + ",\"reason\":\"" + c.reason + "\",\"ok\":false}";
    EXPECT_EQ(journal[i].substr(journal[i].size() - std::min(journal[i].size(), tail.size())), tail)
        << journal[i];
    std::string said = std::string(": failed (") + c.reason + ")";
    EXPECT_EQ(
        transcript[i].substr(transcript[i].size() - std::min(transcript[i].size(), said.size())),
        said)
        << transcript[i];
  }
  EXPECT_EQ(next, std::size(cases));
}

// Reading files, opening keys and enumerating change nothing: not journaled.
TEST_F(JournalEvents, ReadingIsNotJournaled) {
  device.Put("Temp/branding/brand.ini", "x");
  ASSERT_TRUE(Open());
  std::string bytes;
  ASSERT_TRUE(ReadDeviceFile(u"\\Temp\\branding\\brand.ini", &bytes));
  EXPECT_EQ(List(u"\\Temp\\branding\\*").size(), 1u);
  platform::HKey key;
  EXPECT_EQ(platform::RegOpenKeyExW(platform::kHkeyLocalMachine, u"", 0, 0, &key),
            platform::kErrorSuccess);
  std::uint32_t size = 0;
  platform::RegQueryValueExW(key, u"x", nullptr, nullptr, nullptr, &size);
  platform::RegCloseKey(key);
  EXPECT_EQ(Close(), "");
  EXPECT_TRUE(Journal().empty());
}

TEST_F(JournalEvents, TextIsEscapedUtf8) {
  ASSERT_TRUE(Open());
  // A quote, a backslash, control characters, a Czech letter, a character
  // beyond the BMP, and a lone surrogate.
  std::u16string path = u"\\a\"b\\c\td\x01\u010D\U0001F600";
  path.push_back(static_cast<char16_t>(0xD800));
  path += u"e";
  EXPECT_FALSE(platform::DeleteFileW(path.c_str()));
  EXPECT_EQ(Close(), "");
  std::vector<std::string> lines = support::ReadLines(journal_file);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            "{\"event\":\"delete\",\"path\":\"\\\\a\\\"b\\\\c\\u0009d\\u0001\xC4\x8D"
            "\xF0\x9F\x98\x80\xEF\xBF\xBD"
            "e\",\"error\":3,\"reason\":\"path not found\",\"ok\":false}");
}

TEST_F(JournalEvents, AJournalThatCannotBeWrittenIsReported) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  config.journal = "/dev/full";
  ASSERT_TRUE(Open());
  platform::Sleep(1);
  std::string error = Close();
  EXPECT_NE(error.find("/dev/full"), std::string::npos) << error;
}

TEST_F(Transcript, OneLinePerEffect) {
  device.Put("Temp/branding/logo.gif", "x");
  config.quiet = false;
  config.answer = platform::kIdNo;
  CaptureStdout capture(scratch.path() / "out.txt");
  ASSERT_TRUE(Open());
  platform::MessageBoxW(platform::kNoOwner, u"Install?\r\nReally?", u"Branding",
                        platform::kMbYesNo);
  platform::MoveFileW(u"\\Temp\\branding\\logo.gif", u"\\Windows\\logo.gif");
  platform::MoveFileW(u"\\Temp\\branding\\logo.gif", u"\\Windows\\logo.gif");
  platform::HKey key;
  platform::RegCreateKeyExW(platform::kHkeyCurrentUser, u"Software\\Microsoft\\Today", 0, nullptr,
                            0, 0, nullptr, &key, nullptr);
  std::u16string skin = u"\\Windows\\blue.tsk";
  platform::RegSetValueExW(key, u"Skin", 0, platform::kRegSz,
                           reinterpret_cast<const std::uint8_t*>(skin.c_str()),
                           static_cast<std::uint32_t>((skin.size() + 1) * 2));
  std::uint32_t one = 1;
  platform::RegSetValueExW(key, nullptr, 0, platform::kRegDword,
                           reinterpret_cast<const std::uint8_t*>(&one), 4);
  platform::RegCloseKey(key);
  platform::RegFlushKey(platform::kHkeyLocalMachine);
  platform::Sleep(2000);
  platform::KernelIoControl(platform::kIoctlHalReboot, nullptr, 0, nullptr, 0, nullptr);
  EXPECT_EQ(Close(), "");
  EXPECT_EQ(capture.Stop(),
            (std::vector<std::string>{
                "dialog \"Branding\": Install?\\r\\nReally? -> No",
                "move \\Temp\\branding\\logo.gif -> \\Windows\\logo.gif: ok",
                "move \\Temp\\branding\\logo.gif -> \\Windows\\logo.gif: failed (not found)",
                "reg create HKEY_CURRENT_USER\\Software\\Microsoft\\Today: ok",
                "reg set HKEY_CURRENT_USER\\Software\\Microsoft\\Today\\Skin = "
                "\"\\Windows\\blue.tsk\": ok",
                "reg set HKEY_CURRENT_USER\\Software\\Microsoft\\Today\\@ = dword:00000001: ok",
                "reg flush HKEY_LOCAL_MACHINE: ok",
                "sleep 2000 ms",
                "restart",
            }));
}

// --changes: a move is told from a removed file and a new one of the same
// size, and a removed key is named once with its subkeys.
TEST_F(Transcript, ChangesTellWhatTheRunChanged) {
  device.SetRegistry(
      "Windows Registry Editor Version 5.00\n\n"
      "[HKEY_CURRENT_USER\\Software\\A]\n\"Keep\"=\"1\"\n\"Drop\"=dword:00000001\n"
      "\"Change\"=\"old\"\n\n"
      "[HKEY_CURRENT_USER\\Software\\A\\Old\\Deeper]\n\n");
  device.Put("Temp/branding/a.gif", "aaaa");
  device.Put("Temp/branding/b.gif", "bbbb");
  device.Put("Windows/x.txt", "xxx");
  config.changes = true;
  CaptureStdout capture(scratch.path() / "out.txt");
  ASSERT_TRUE(Open());
  ASSERT_TRUE(platform::MoveFileW(u"\\Temp\\branding\\a.gif", u"\\Windows\\a.gif"));
  device.Put("Windows/c.gif", "cccc");
  ASSERT_TRUE(platform::DeleteFileW(u"\\Temp\\branding\\b.gif"));
  device.Put("Windows/x.txt", "xxxxx");
  ASSERT_TRUE(platform::CreateDirectoryW(u"\\Windows\\Start", nullptr));
  platform::HKey key;
  ASSERT_EQ(platform::RegCreateKeyExW(platform::kHkeyCurrentUser, u"Software\\A", 0, nullptr, 0, 0,
                                      nullptr, &key, nullptr),
            platform::kErrorSuccess);
  std::u16string text = u"new";
  platform::RegSetValueExW(key, u"Change", 0, platform::kRegSz,
                           reinterpret_cast<const std::uint8_t*>(text.c_str()), 8);
  std::uint32_t one = 1;
  platform::RegSetValueExW(key, nullptr, 0, platform::kRegDword,
                           reinterpret_cast<const std::uint8_t*>(&one), 4);
  platform::RegDeleteValueW(key, u"Drop");
  platform::RegCloseKey(key);
  platform::RegDeleteKeyW(platform::kHkeyCurrentUser, u"Software\\A\\Old");
  EXPECT_EQ(Close(), "");
  EXPECT_EQ(capture.Stop(), (std::vector<std::string>{
                                "registry changes:",
                                "Windows Registry Editor Version 5.00",
                                "",
                                "; key changed",
                                "[HKEY_CURRENT_USER\\Software\\A]",
                                "; value added",
                                "@=dword:00000001",
                                "; value changed, it was:",
                                "; \"Change\"=\"old\"",
                                "\"Change\"=\"new\"",
                                "; value removed",
                                "\"Drop\"=-",
                                "",
                                "; key removed",
                                "[-HKEY_CURRENT_USER\\Software\\A\\Old]",
                                "",
                                "file changes:",
                                "\\Temp\\branding\\a.gif -> \\Windows\\a.gif (4 bytes)",
                                "+ \\Windows\\Start\\ (folder)",
                                "+ \\Windows\\c.gif (4 bytes)",
                                "- \\Temp\\branding\\b.gif (4 bytes)",
                                "~ \\Windows\\x.txt (3 -> 5 bytes)",
                            }));
}

TEST_F(Transcript, QuietWritesNothing) {
  config.quiet = true;
  CaptureStdout capture(scratch.path() / "out.txt");
  ASSERT_TRUE(Open());
  platform::Sleep(5);
  platform::CreateDirectoryW(u"\\X", nullptr);
  EXPECT_EQ(Close(), "");
  EXPECT_TRUE(capture.Stop().empty());
}

}  // namespace
}  // namespace hosttest
