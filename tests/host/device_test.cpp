// Opening and closing device images, dialogs, sleeping and the restart.

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "host/host_fixture.h"

namespace hosttest {
namespace {

using DeviceImage = HostTest;
using Dialogs = HostTest;
using System = HostTest;

std::string OpenError(const host::Config& config) {
  std::string error;
  if (host::OpenDevice(config, &error)) {
    host::CloseDevice(&error);
    return "(opened)";
  }
  return error;
}

TEST_F(DeviceImage, UnusableImagesAreRefusedNamingTheFile) {
  host::Config bad = config;
  bad.device = device.dir() / "none";
  EXPECT_NE(OpenError(bad).find(bad.device.string()), std::string::npos);

  support::TempDir empty;
  bad.device = empty.path();
  EXPECT_NE(OpenError(bad).find((empty.path() / "fs").string()), std::string::npos);

  // fs/ as a link, even to a real folder, is refused; so is a file.
  fs::create_directory(empty.path() / "real");
  fs::create_directory_symlink(empty.path() / "real", empty.path() / "fs");
  std::string error = OpenError(bad);
  EXPECT_NE(error.find("link"), std::string::npos) << error;
  fs::remove(empty.path() / "fs");
  support::WriteBytes(empty.path() / "fs", "");
  EXPECT_NE(OpenError(bad).find("not a folder"), std::string::npos);
  EXPECT_FALSE(fs::exists(journal_file));
}

TEST_F(DeviceImage, ARegistryThatDoesNotParseTouchesNothing) {
  device.SetRegistry(
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software]\r\n"
      "this is no value\r\n");
  const Snapshot before = Take(device.dir() / "registry.reg");
  std::string error = OpenError(config);
  fs::path file = fs::absolute(device.dir() / "registry.reg");
  EXPECT_EQ(error.rfind(file.string() + ":4: ", 0), 0u) << error;
  EXPECT_TRUE(Take(device.dir() / "registry.reg") == before);
  EXPECT_FALSE(fs::exists(journal_file));
  EXPECT_EQ(host::OpenHandleCount(), 0);
}

TEST_F(DeviceImage, AMissingRegistryIsEmptyAndWrittenAtTheEnd) {
  ASSERT_TRUE(Open());
  EXPECT_TRUE(fs::exists(journal_file));
  EXPECT_FALSE(fs::exists(device.dir() / "registry.reg"));
  platform::HKey key;
  EXPECT_EQ(platform::RegOpenKeyExW(platform::kHkeyLocalMachine, u"Software", 0, 0, &key),
            platform::kErrorFileNotFound);
  EXPECT_EQ(Close(), "");
  EXPECT_EQ(device.Registry().rfind("Windows Registry Editor Version 5.00\r\n", 0), 0u);
}

TEST_F(DeviceImage, EachRunStartsAfreshAndLeavesItsCount) {
  device.Put("Temp/branding/a.gif", "a");
  ASSERT_TRUE(Open());
  EXPECT_FALSE(host::OpenDevice(config, nullptr));  // one device at a time
  platform::Handle file = platform::CreateFileW(
      u"\\Temp\\branding\\a.gif", platform::kGenericRead, platform::kFileShareRead, nullptr,
      platform::kOpenExisting, platform::kFileAttributeNormal, platform::kNullHandle);
  ASSERT_NE(file, platform::kInvalidHandleValue);
  platform::HKey key;
  platform::RegCreateKeyExW(platform::kHkeyCurrentUser, u"A", 0, nullptr, 0, 0, nullptr, &key,
                            nullptr);
  platform::KernelIoControl(platform::kIoctlHalReboot, nullptr, 0, nullptr, 0, nullptr);
  EXPECT_EQ(Close(), "");
  // What the run left is still there to be asked after it ended.
  EXPECT_EQ(host::OpenHandleCount(), 2);
  EXPECT_TRUE(host::RestartRequested());
  std::string error;
  EXPECT_FALSE(host::CloseDevice(&error));
  EXPECT_NE(error, "");

  ASSERT_TRUE(Open());
  EXPECT_EQ(host::OpenHandleCount(), 0);
  EXPECT_FALSE(host::RestartRequested());
  EXPECT_FALSE(platform::CloseHandle(file));  // a handle of the last run names nothing
  EXPECT_EQ(platform::RegCloseKey(key), platform::kErrorInvalidHandle);
  platform::HKey again;
  EXPECT_EQ(platform::RegOpenKeyExW(platform::kHkeyCurrentUser, u"a", 0, 0, &again),
            platform::kErrorSuccess);
  EXPECT_EQ(platform::RegCloseKey(again), platform::kErrorSuccess);
  EXPECT_EQ(Close(), "");
  // The journal starts anew with each run.
  EXPECT_TRUE(Journal().empty());
}

TEST_F(DeviceImage, NothingWorksWithoutAnOpenDevice) {
  platform::FindData data;
  EXPECT_EQ(platform::FindFirstFileW(u"\\*", &data), platform::kInvalidHandleValue);
  EXPECT_FALSE(platform::MoveFileW(u"\\a", u"\\b"));
  platform::HKey key;
  EXPECT_NE(platform::RegOpenKeyExW(platform::kHkeyLocalMachine, u"", 0, 0, &key),
            platform::kErrorSuccess);
  EXPECT_FALSE(
      platform::KernelIoControl(platform::kIoctlHalReboot, nullptr, 0, nullptr, 0, nullptr));
}

TEST_F(Dialogs, YesNoIsAnsweredByTheConfigurationAndOkByOk) {
  config.answer = platform::kIdNo;
  ASSERT_TRUE(Open());
  EXPECT_EQ(platform::MessageBoxW(platform::kNoOwner, u"Install?", u"Branding",
                                  platform::kMbYesNo | platform::kMbSetForeground),
            platform::kIdNo);
  EXPECT_EQ(platform::MessageBoxW(platform::kNoOwner, u"Restart.", u"System Reboot",
                                  platform::kMbOk | platform::kMbTopmost),
            platform::kIdOk);
  EXPECT_EQ(Close(), "");
  config.answer = platform::kIdYes;
  ASSERT_TRUE(Open());
  EXPECT_EQ(platform::MessageBoxW(platform::kNoOwner, u"Install?", u"Branding", platform::kMbYesNo),
            platform::kIdYes);
  EXPECT_EQ(Close(), "");
  config.answer = 3;
  EXPECT_NE(OpenError(config), "(opened)");
}

// Standard input replaced by `text` for as long as the object lives.
class FeedStdin {
 public:
  FeedStdin(const fs::path& file, const std::string& text) {
    support::WriteBytes(file, text);
    saved_ = dup(0);
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    dup2(fd, 0);
    close(fd);
    std::clearerr(stdin);
  }
  ~FeedStdin() {
    dup2(saved_, 0);
    close(saved_);
    std::clearerr(stdin);
  }

 private:
  int saved_ = -1;
};

TEST_F(Dialogs, WithoutAnAnswerTheQuestionIsAskedOnTheTerminal) {
  config.ask_on_terminal = true;
  ASSERT_TRUE(Open());
  {
    FeedStdin feed(scratch.path() / "in.txt", "maybe\n YES \n");
    EXPECT_EQ(
        platform::MessageBoxW(platform::kNoOwner, u"Install?", u"Branding", platform::kMbYesNo),
        platform::kIdYes);
  }
  {
    FeedStdin feed(scratch.path() / "in.txt", "n\n");
    EXPECT_EQ(
        platform::MessageBoxW(platform::kNoOwner, u"Install?", u"Branding", platform::kMbYesNo),
        platform::kIdNo);
  }
  EXPECT_EQ(Close(), "");
  auto dialogs = Events("dialog");
  ASSERT_EQ(dialogs.size(), 2u);
  EXPECT_EQ(dialogs[0].at("answer").text, "6");
  EXPECT_EQ(dialogs[1].at("answer").text, "7");
}

// Nobody to answer: the run stops with status 2 before anything is written.
TEST_F(Dialogs, WithNoWayToAnswerTheRunStopsWithStatus2) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ASSERT_TRUE(Open());
  EXPECT_EXIT(
      platform::MessageBoxW(platform::kNoOwner, u"Install?", u"Branding", platform::kMbYesNo),
      ::testing::ExitedWithCode(2),
      "the program asks \"Branding\": Install\\?\n.*--answer yes or --answer no");
  EXPECT_FALSE(fs::exists(device.dir() / "registry.reg"));
}

TEST_F(System, SleepIsRecordedNotSleptAndOtherControlCodesFail) {
  ASSERT_TRUE(Open());
  auto start = std::chrono::steady_clock::now();
  platform::Sleep(600000);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
  std::uint32_t returned = 5;
  EXPECT_FALSE(platform::KernelIoControl(0x01010000u, nullptr, 0, nullptr, 0, &returned));
  EXPECT_EQ(returned, 0u);
  EXPECT_FALSE(host::RestartRequested());
  EXPECT_EQ(Close(), "");
  EXPECT_EQ(Events("sleep").size(), 1u);
  EXPECT_TRUE(Events("restart").empty());
}

TEST_F(System, TheRestartWritesTheRegistryAtOnce) {
  ASSERT_TRUE(Open());
  platform::HKey key;
  platform::RegCreateKeyExW(platform::kHkeyLocalMachine, u"Software\\Brand", 0, nullptr, 0, 0,
                            nullptr, &key, nullptr);
  platform::RegCloseKey(key);
  EXPECT_TRUE(
      platform::KernelIoControl(platform::kIoctlHalReboot, nullptr, 0, nullptr, 0, nullptr));
  EXPECT_TRUE(host::RestartRequested());
  EXPECT_NE(device.Registry().find("[HKEY_LOCAL_MACHINE\\Software\\Brand]"), std::string::npos);
}

}  // namespace
}  // namespace hosttest
