// Processes: the installer stand-in, waiting, and reaping.

#include <sys/stat.h>

#include "host/host_fixture.h"

namespace hosttest {
namespace {

class Processes : public HostTest {
 protected:
  Processes() {
    device.Put("Windows/wceload.exe", "");
    out = scratch.path() / "installer.out";
  }

  // An installer that reports its arguments, BRANDSIM_FS, its folder and its
  // standard input, after running `extra` (shell commands).
  void Installer(const std::string& extra = "") {
    fs::path script = scratch.path() / "installer.sh";
    support::WriteBytes(
        script, "#!/bin/sh\n" + extra +
                    "\n{ printf '%s\\n' \"$1\" \"$2\" \"$BRANDSIM_FS\" \"$(pwd -P)\" "
                    "\"$(readlink /proc/self/fd/0)\" \"$#\"; } > '" +
                    out.string() + ".tmp' && mv '" + out.string() + ".tmp' '" + out.string() +
                    "'\n");
    fs::permissions(script, fs::perms(0755));
    config.installer = script.string();
  }

  bool Start(const char16_t* image, const std::u16string& command_line,
             platform::ProcessInformation* info) {
    std::u16string line = command_line;
    return platform::CreateProcessW(image, line.data(), nullptr, nullptr, false, 0, nullptr,
                                    nullptr, nullptr, info);
  }

  fs::path out;
};

TEST_F(Processes, TheInstallerGetsImageCommandLineAndTheDeviceFolder) {
  Installer();
  ASSERT_TRUE(Open());
  platform::ProcessInformation info;
  ASSERT_TRUE(Start(u"\\WINDOWS\\wceload.exe", U("/noui \\Temp\\branding\\značka.cab"), &info));
  EXPECT_NE(info.hProcess, info.hThread);
  EXPECT_EQ(host::OpenHandleCount(), 2);
  EXPECT_EQ(platform::WaitForSingleObject(info.hProcess, platform::kInfinite),
            platform::kWaitObject0);
  // Waiting means the installer has finished: its output is complete.
  ASSERT_TRUE(fs::exists(out));
  std::vector<std::string> lines = support::ReadLines(out);
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "\\WINDOWS\\wceload.exe", "/noui \\Temp\\branding\\značka.cab",
                       fs::absolute(device.fs()).string(), fs::canonical(device.fs()).string(),
                       "/dev/null", "2"}));
  EXPECT_TRUE(platform::CloseHandle(info.hThread));
  EXPECT_TRUE(platform::CloseHandle(info.hProcess));
  EXPECT_EQ(host::OpenHandleCount(), 0);
  EXPECT_EQ(Close(), "");
  auto waits = Events("wait");
  ASSERT_EQ(waits.size(), 1u);
  EXPECT_EQ(waits[0].at("command_line").text, "/noui \\Temp\\branding\\značka.cab");
}

TEST_F(Processes, AMissingImageDoesNotStart) {
  Installer();
  fs::create_directory(device.fs() / "Windows" / "folder.exe");
  ASSERT_TRUE(Open());
  platform::ProcessInformation info;
  EXPECT_FALSE(Start(u"\\Windows\\missing.exe", u"/noui a.cab", &info));
  EXPECT_FALSE(Start(u"\\Windows\\folder.exe", u"/noui a.cab", &info));
  EXPECT_FALSE(Start(nullptr, u"\\Windows\\wceload.exe /noui a.cab", &info));
  EXPECT_EQ(host::OpenHandleCount(), 0);
  EXPECT_EQ(Close(), "");
  EXPECT_FALSE(fs::exists(out));
  for (const auto& event : Events("process")) EXPECT_EQ(event.at("ok").text, "false");
}

TEST_F(Processes, WithoutAnInstallerAProcessStartsAndEndsAtOnce) {
  ASSERT_TRUE(Open());
  platform::ProcessInformation info;
  ASSERT_TRUE(Start(u"\\Windows\\wceload.exe", u"/noui a.cab", &info));
  EXPECT_EQ(platform::WaitForSingleObject(info.hThread, 0), platform::kWaitObject0);
  EXPECT_EQ(platform::WaitForSingleObject(info.hProcess, platform::kInfinite),
            platform::kWaitObject0);
  EXPECT_TRUE(platform::CloseHandle(info.hProcess));
  EXPECT_EQ(platform::WaitForSingleObject(info.hProcess, platform::kInfinite),
            platform::kWaitFailed);
  EXPECT_TRUE(platform::CloseHandle(info.hThread));
  EXPECT_EQ(Close(), "");
  EXPECT_EQ(Events("wait").size(), 2u);
}

// A process the program does not wait for is waited for when the device
// closes: its work is complete when CloseDevice returns.
TEST_F(Processes, ProcessesNotWaitedForAreReapedAtClose) {
  Installer("sleep 0.3");
  ASSERT_TRUE(Open());
  platform::ProcessInformation info;
  ASSERT_TRUE(Start(u"\\Windows\\wceload.exe", u"/noui \\Windows\\blue.tsk", &info));
  EXPECT_TRUE(platform::CloseHandle(info.hProcess));
  EXPECT_TRUE(platform::CloseHandle(info.hThread));
  EXPECT_EQ(Close(), "");
  EXPECT_TRUE(fs::exists(out));
  EXPECT_TRUE(Events("wait").empty());
}

// What the installer did to fs/ is seen afterwards, also by the
// case-insensitive lookups that had already looked at the folder, even when
// the folder's modification time does not show the change.
TEST_F(Processes, ChangesMadeByTheInstallerAreSeenAfterIt) {
  device.Put("Temp/branding/new.gif", "staged");
  std::string reference = (scratch.path() / "reference").string();
  Installer("touch -r \"$BRANDSIM_FS/Windows\" '" + reference +
            "' && printf installed > \"$BRANDSIM_FS/Windows/NEW.GIF\" && touch -m -r '" +
            reference + "' \"$BRANDSIM_FS/Windows\"");
  ASSERT_TRUE(Open());
  std::string bytes;
  EXPECT_FALSE(ReadDeviceFile(u"\\Windows\\new.gif", &bytes));  // looks at \Windows
  platform::ProcessInformation info;
  ASSERT_TRUE(Start(u"\\Windows\\wceload.exe", u"/noui x.cab", &info));
  EXPECT_EQ(platform::WaitForSingleObject(info.hProcess, platform::kInfinite),
            platform::kWaitObject0);
  platform::CloseHandle(info.hProcess);
  platform::CloseHandle(info.hThread);
  EXPECT_TRUE(ReadDeviceFile(u"\\Windows\\new.gif", &bytes));
  EXPECT_EQ(bytes, "installed");
  EXPECT_FALSE(platform::MoveFileW(u"\\Temp\\branding\\new.gif", u"\\Windows\\new.gif"));
  EXPECT_EQ(device.Get("Windows/NEW.GIF"), "installed");
}

TEST_F(Processes, AnInstallerThatCannotRunFailsToStart) {
  config.installer = (scratch.path() / "no-such-installer").string();
  ASSERT_TRUE(Open());
  platform::ProcessInformation info;
  EXPECT_FALSE(Start(u"\\Windows\\wceload.exe", u"/noui x.cab", &info));
  EXPECT_EQ(info.hProcess, platform::kNullHandle);
  EXPECT_EQ(host::OpenHandleCount(), 0);
}

}  // namespace
}  // namespace hosttest
