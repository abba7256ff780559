// One run at a time on a device image: while one brandsim runs, a second on
// the same image stops at once with status 2, says the image is in use, and
// touches nothing. The lock goes with the run, also when the run is killed.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "reliability/reliability.h"
#include "sim/sim_helpers.h"
#include "support/support.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Polls for a file with a deadline; false when it did not appear in time.
bool WaitForFile(const fs::path& file, Clock::time_point deadline) {
  std::error_code ec;
  while (!fs::exists(file, ec)) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

class ImageLock : public ::testing::Test {
 protected:
  ImageLock() {
    device.Put("Windows/wceload.exe", "placeholder");
    device.Put("Temp/branding/brand.ini", "[ADDITIONAL_CABS]\r\ncab0=\"p.cab\"\r\n");
    device.Put("Temp/branding/p.cab", "package");
    device.Put("Temp/branding/logo.gif", "logo");
    device.SetRegistry("Windows Registry Editor Version 5.00\r\n\r\n"
                       "[HKEY_LOCAL_MACHINE\\Software\\A]\r\n\"V\"=dword:00000001\r\n\r\n");
    // The package installer says it started, then waits until it is let go.
    simtest::WriteScript(installer(), "#!/bin/sh\n: > '" + ready().string() + "'\nwhile [ ! -e '" +
                                          go().string() + "' ]; do sleep 0.01; done\n");
  }

  fs::path installer() const { return scratch.path() / "installer.sh"; }
  fs::path ready() const { return scratch.path() / "ready"; }
  fs::path go() const { return scratch.path() / "go"; }
  std::vector<std::string> FirstRun() const {
    return {"--device", device.dir().string(), "--answer", "yes", "--installer",
            installer().string(), "--quiet", "inst"};
  }

  // A second run while the first holds the image.
  void ExpectRefused() {
    reliability::Picture before = reliability::TakePicture(device.dir());
    fs::path journal = scratch.path() / "second.jsonl";
    auto started = Clock::now();
    support::RunResult second = support::Brandsim(
        {"--device", device.dir().string(), "--answer", "yes", "--journal", journal.string(),
         "inst"},
        30);
    auto took = Clock::now() - started;
    EXPECT_EQ(second.status, 2) << second.err;
    EXPECT_EQ(second.err, "brandsim: " + device.dir().string() +
                              ": the device image is in use by another brandsim run; "
                              "wait for it to end\n");
    EXPECT_EQ(second.out, "");
    EXPECT_LT(took, std::chrono::seconds(5)) << "it should stop at once, not wait for the lock";
    EXPECT_EQ(reliability::Differences(before, reliability::TakePicture(device.dir())), "");
    EXPECT_FALSE(fs::exists(journal));
  }

  support::Device device;
  support::TempDir scratch;
};

TEST_F(ImageLock, ASecondRunStopsAtOnceAndTouchesNothingAndTheImageIsFreeAfterward) {
  auto deadline = Clock::now() + std::chrono::seconds(60);
  simtest::BrandsimProcess first(FirstRun());
  ASSERT_TRUE(WaitForFile(ready(), deadline)) << "the first run did not reach its installer";
  ExpectRefused();
  // Any command line: the image is locked before the program starts.
  support::RunResult other =
      support::Brandsim({"--device", device.dir().string(), "check"}, 30);
  EXPECT_EQ(other.status, 2) << other.err;

  support::WriteBytes(go(), "");
  int status = -1;
  ASSERT_TRUE(first.Wait(deadline, &status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(device.Get("Windows/logo.gif"), "logo");
  // The first run is over: the image is free again.
  support::RunResult later =
      support::Brandsim({"--device", device.dir().string(), "--answer", "yes", "inst"}, 30);
  EXPECT_EQ(later.status, 0) << later.err;
}

TEST_F(ImageLock, AKilledRunLeavesTheImageFree) {
  auto deadline = Clock::now() + std::chrono::seconds(60);
  {
    simtest::BrandsimProcess first(FirstRun());
    ASSERT_TRUE(WaitForFile(ready(), deadline));
    ExpectRefused();
    first.KillGroup();
    int status = 0;
    ASSERT_TRUE(first.Wait(deadline, &status));
    EXPECT_EQ(status, -1);
  }
  support::WriteBytes(go(), "");
  support::RunResult next = support::Brandsim(
      {"--device", device.dir().string(), "--answer", "yes", "--installer", installer().string(),
       "--quiet", "inst"},
      30);
  EXPECT_EQ(next.status, 0) << next.err;
  EXPECT_EQ(device.Get("Windows/logo.gif"), "logo");
}

}  // namespace
