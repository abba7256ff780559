// Crash safety: brandsim killed with SIGKILL at random moments of a large
// delivery. After every kill registry.reg loads, and every staged file is
// either still staged or at its destination, whole; a later run completes
// the delivery: the image ends exactly as an undisturbed run leaves it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "reliability/reliability.h"
#include "sim/sim_helpers.h"
#include "support/support.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A file the delivery places: its staged name, its destination under fs/,
// and its bytes.
struct Placed {
  std::string staged;
  std::string destination;
  std::string bytes;
};

constexpr int kFixedGifs = 1500;
constexpr int kFavorites = 400;
constexpr int kMappedPages = 150;
constexpr int kMappedLinks = 50;
constexpr int kScripts = 6;
constexpr int kValuesPerScript = 50;
constexpr int kUnusedFiles = 150;
constexpr int kMinKills = 100;
constexpr int kMinCleanupKills = 20;

// Bytes that differ from file to file and are long enough that a file cut
// short would show.
std::string Content(const std::string& name, int size) {
  std::string bytes = name + ":";
  while (static_cast<int>(bytes.size()) < size) bytes += static_cast<char>('a' + bytes.size() % 26);
  return bytes;
}

struct Delivery {
  std::vector<Placed> placed;
  // Staged files the run reads and the clean-up removes, with their bytes.
  std::vector<std::pair<std::string, std::string>> consumed;
};

Delivery MakeImage(const fs::path& image) {
  Delivery delivery;
  fs::path fs_dir = image / "fs";
  fs::path staging = fs_dir / "Temp" / "branding";
  fs::create_directories(staging);
  fs::create_directories(fs_dir / "Windows" / "Favorites");
  support::WriteBytes(fs_dir / "Windows" / "wceload.exe", "placeholder");
  auto stage = [&](const std::string& name, const std::string& destination, int size) {
    Placed p{name, destination, Content(name, size)};
    support::WriteBytes(staging / name, p.bytes);
    delivery.placed.push_back(p);
  };
  for (int k = 0; k < kFixedGifs; ++k) {
    std::string name = "g" + std::to_string(k) + ".gif";
    stage(name, "Windows/" + name, 200 + (k * 37) % 4000);
  }
  for (int k = 0; k < kFavorites; ++k) {
    std::string name = "f" + std::to_string(k) + ".url";
    stage(name, "Windows/Favorites/" + name, 100 + k % 300);
  }
  std::string ini = "[ADDITIONAL_CABS]\r\ncab0=\"p0.cab\"\r\ncab1=\"p1.cab\"\r\n\r\n[HOMEPAGE]\r\n";
  for (int k = 0; k < kMappedPages; ++k) {
    std::string name = "m" + std::to_string(k) + ".hp";
    std::string folder = "Web\\s" + std::to_string(k % 25);
    ini += name + "=\"\\Windows\\" + folder + "\\page" + std::to_string(k) + ".htm\"\r\n";
    stage(name, "Windows/Web/s" + std::to_string(k % 25) + "/page" + std::to_string(k) + ".htm",
          300 + (k * 53) % 6000);
  }
  ini += "\r\n[URLS]\r\n";
  for (int k = 0; k < kMappedLinks; ++k) {
    std::string name = "l" + std::to_string(k) + ".ur";
    ini += name + "=\"\\Windows\\Links\\link" + std::to_string(k) + ".url\"\r\n";
    stage(name, "Windows/Links/link" + std::to_string(k) + ".url", 80 + k % 200);
  }
  ini += "\r\n[REG_DEL_KEY]\r\n";
  for (int k = 0; k < 10; ++k) {
    ini += "key" + std::to_string(k) + "=\"HKEY_LOCAL_MACHINE\\Software\\Old\\K" +
           std::to_string(k) + "\"\r\n";
  }
  ini += "\r\n[LENGREBOOT]\r\nreboot=\"1\"\r\n";
  support::WriteBytes(staging / "brand.ini", ini);
  delivery.consumed.emplace_back("brand.ini", ini);
  for (const char* cab : {"p0.cab", "p1.cab"}) {
    support::WriteBytes(staging / cab, Content(cab, 5000));
    delivery.consumed.emplace_back(cab, Content(cab, 5000));
  }
  for (int s = 0; s < kScripts; ++s) {
    std::string script = "REGEDIT4\r\n\r\n";
    for (int v = 0; v < kValuesPerScript; ++v) {
      if (v % 10 == 0) {
        script += "\r\n[HKEY_LOCAL_MACHINE\\Software\\Brand\\S" + std::to_string(s) + "\\K" +
                  std::to_string(v / 10) + "]\r\n";
      }
      script += "\"V" + std::to_string(v) + "\"=\"value " + std::to_string(s * 1000 + v) +
                "\"\r\n\"D" + std::to_string(v) + "\"=dword:" + std::to_string(10000000 + v) +
                "\r\n";
    }
    std::string name = "s" + std::to_string(s) + ".reg";
    support::WriteBytes(staging / name, script);
    delivery.consumed.emplace_back(name, script);
  }
  // Files no step uses, some in a sub-folder: the clean-up removes them, and
  // they make it long enough for kills to land inside it.
  fs::create_directories(staging / "extra");
  for (int k = 0; k < kUnusedFiles; ++k) {
    std::string name = (k % 3 == 0 ? "extra/x" : "x") + std::to_string(k) + ".txt";
    support::WriteBytes(staging / name, Content(name, 100 + k));
    delivery.consumed.emplace_back(name, Content(name, 100 + k));
  }
  std::string registry = "Windows Registry Editor Version 5.00\r\n\r\n";
  for (int k = 0; k < 200; ++k) {
    registry += "[HKEY_LOCAL_MACHINE\\Software\\Old\\K" + std::to_string(k) + "]\r\n\"X\"=dword:" +
                std::to_string(10000000 + k) + "\r\n\r\n";
  }
  support::WriteBytes(image / "registry.reg", support::Utf16LeWithBom(support::FromUtf8(registry)));
  return delivery;
}

// Copies an image, every file a copy of its own: a file with another hard
// link is not the device's, and a run would leave it alone.
void CopyImage(const fs::path& from, const fs::path& to) {
  fs::copy(from, to, fs::copy_options::recursive);
}

// A whole file, or "<unreadable>".
std::string Read(const fs::path& file) {
  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "<unreadable>";
  std::string bytes;
  char buffer[16384];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) bytes.append(buffer, static_cast<std::size_t>(n));
  close(fd);
  return n < 0 ? "<unreadable>" : bytes;
}

// What a check knows of one file: what stat said when its bytes were last
// found whole. A file that still has the same inode, size and times has the
// same bytes and is not read again (a rename changes the time of change).
struct Seen {
  bool whole = false;
  ino_t inode = 0;
  off_t size = 0;
  struct timespec modified {}, changed {};
};

// The paths of every staged file in one image, made once, and what the
// checks saw of them.
struct Paths {
  Paths(const fs::path& image, const Delivery& delivery) {
    fs::path fs_dir = image / "fs";
    fs::path staging = fs_dir / "Temp" / "branding";
    for (const Placed& p : delivery.placed) {
      staged.push_back((staging / p.staged).string());
      placed.push_back((fs_dir / p.destination).string());
    }
    for (const auto& entry : delivery.consumed) consumed.push_back((staging / entry.first).string());
    registry = image / "registry.reg";
    Forget();
  }
  void Forget() {
    seen_staged.assign(staged.size(), Seen{});
    seen_placed.assign(placed.size(), Seen{});
    seen_consumed.assign(consumed.size(), Seen{});
  }
  std::vector<std::string> staged, placed, consumed;
  std::vector<Seen> seen_staged, seen_placed, seen_consumed;
  fs::path registry;
};

bool Same(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Whether `file` exists; when it does, whether it holds `bytes`.
bool Whole(const std::string& file, const std::string& bytes, Seen* seen, bool* exists) {
  struct stat st;
  *exists = lstat(file.c_str(), &st) == 0;
  if (!*exists) return true;
  if (seen->whole && seen->inode == st.st_ino && seen->size == st.st_size &&
      Same(seen->modified, st.st_mtim) && Same(seen->changed, st.st_ctim)) {
    return true;
  }
  seen->whole = S_ISREG(st.st_mode) && Read(file) == bytes;
  seen->inode = st.st_ino;
  seen->size = st.st_size;
  seen->modified = st.st_mtim;
  seen->changed = st.st_ctim;
  return seen->whole;
}

// What is wrong with the image after a kill, one line each; empty when
// nothing is.
std::string CheckAfterKill(const Delivery& delivery, Paths* paths) {
  std::string problems;
  std::string registry = simtest::RegistryContent(paths->registry);
  if (registry.rfind("unloadable", 0) == 0) problems += registry + "\n";
  for (std::size_t i = 0; i < delivery.placed.size(); ++i) {
    bool staged = false, placed = false;
    bool whole_staged =
        Whole(paths->staged[i], delivery.placed[i].bytes, &paths->seen_staged[i], &staged);
    bool whole_placed =
        Whole(paths->placed[i], delivery.placed[i].bytes, &paths->seen_placed[i], &placed);
    if (staged == placed) {
      problems += delivery.placed[i].staged + (staged ? ": both staged and placed\n" : ": lost\n");
    } else if (!whole_staged || !whole_placed) {
      problems += delivery.placed[i].staged + ": not whole\n";
    }
  }
  for (std::size_t i = 0; i < delivery.consumed.size(); ++i) {
    bool exists = false;
    if (!Whole(paths->consumed[i], delivery.consumed[i].second, &paths->seen_consumed[i], &exists)) {
      problems += delivery.consumed[i].first + ": not whole\n";
    }
  }
  return problems;
}

// What is wrong with the image after a complete delivery, compared with
// the image an undisturbed run left.
std::string CheckComplete(const fs::path& image, const Delivery& delivery,
                          const std::string& expected_registry) {
  std::string problems;
  fs::path fs_dir = image / "fs";
  std::error_code ec;
  for (const Placed& p : delivery.placed) {
    if (!fs::exists(fs_dir / p.destination, ec)) {
      problems += p.destination + ": missing\n";
    } else if (Read(fs_dir / p.destination) != p.bytes) {
      problems += p.destination + ": not whole\n";
    }
  }
  if (fs::exists(fs::symlink_status(fs_dir / "Temp" / "branding", ec))) {
    problems += "the staging folder is still there\n";
  }
  if (simtest::RegistryContent(image / "registry.reg") != expected_registry) {
    problems += "the registry differs from an undisturbed run's\n";
  }
  return problems;
}

// Files still in the staging folder (0 once it is gone).
std::size_t StagedCount(const fs::path& image) {
  std::error_code ec;
  std::size_t n = 0;
  for (fs::directory_iterator it(image / "fs" / "Temp" / "branding", ec);
       !ec && it != fs::directory_iterator(); it.increment(ec)) {
    ++n;
  }
  return n;
}

// Reports the first file removed from a folder (the clean-up's start: the
// run moves files out of the staging folder but removes none before it).
class RemovalWatch {
 public:
  explicit RemovalWatch(const fs::path& folder) {
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0 || inotify_add_watch(fd_, folder.c_str(), IN_DELETE) < 0) {
      ADD_FAILURE() << "cannot watch " << folder;
    }
  }
  ~RemovalWatch() {
    if (fd_ >= 0) close(fd_);
  }
  // Whether a file was removed within `milliseconds`.
  bool Removed(int milliseconds) {
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, milliseconds) > 0;
  }

 private:
  int fd_ = -1;
};

// Each delivery is killed again and again, each run going on from what the
// one before left, until a run ends on its own: that run must leave the
// image as an undisturbed one does. Then a fresh copy starts the next
// delivery. A kill falls at a random moment within about the time the run
// needs for what is left (an undisturbed run's duration, scaled by the share
// of files still staged); once little is left, half of the runs are killed
// in the clean-up instead, which is short and the one place where something
// could be removed for good.
TEST(KillSafety, ARunKilledAtAnyMomentLosesNothingAndTheNextRunCompletesIt) {
  reliability::MemoryTempDir scratch;
  fs::path image = scratch.path() / "image";
  const Delivery delivery = MakeImage(image);
  const std::string old_registry = simtest::RegistryContent(image / "registry.reg");
  ASSERT_EQ(old_registry.rfind("unloadable", 0), std::string::npos) << old_registry;
  auto args = [](const fs::path& dir) {
    return std::vector<std::string>{"--device", dir.string(), "--answer", "yes", "--quiet",
                                    "inst"};
  };

  // An undisturbed run: its duration spaces the kills, its result is what
  // every interrupted delivery must end as.
  fs::path reference = scratch.path() / "reference";
  CopyImage(image, reference);
  auto started = Clock::now();
  support::RunResult full = support::Brandsim(args(reference), 60);
  const auto duration = Clock::now() - started;
  ASSERT_EQ(full.status, 0) << full.err;
  const std::string new_registry = simtest::RegistryContent(reference / "registry.reg");
  ASSERT_NE(new_registry, old_registry);
  ASSERT_EQ(CheckComplete(reference, delivery, new_registry), "");

  const unsigned seed = std::random_device{}();
  std::printf("kill test: seed %u; an undisturbed run takes %.0f ms\n", seed,
              std::chrono::duration<double, std::milli>(duration).count());
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> fraction(0.0, 1.0);

  const fs::path trial = scratch.path() / "trial";
  int runs = 0, kills = 0, cleanup_kills = 0, deliveries = 0, kills_this_delivery = 0;
  int stalled = 0;  // killed runs in a row that moved no file
  Paths paths(trial, delivery);
  bool fresh = true;
  const auto give_up = Clock::now() + std::chrono::seconds(240);
  while (kills < kMinKills || cleanup_kills < kMinCleanupKills || !fresh) {
    ASSERT_LT(Clock::now(), give_up) << kills << " kills, " << cleanup_kills << " in the clean-up";
    if (fresh) {
      std::error_code ec;
      fs::remove_all(trial, ec);
      CopyImage(image, trial);
      paths.Forget();
      fresh = false;
      kills_this_delivery = 0;
    }
    // Once enough kills were made, the delivery in progress is run to its end.
    bool finish = kills >= kMinKills && cleanup_kills >= kMinCleanupKills;
    std::size_t staged_before = StagedCount(trial);
    double left = static_cast<double>(staged_before) / static_cast<double>(delivery.placed.size());
    // The start of every run (loading the image, the first lookups) comes
    // before any progress: after kills that made none, the span widens.
    double span = std::min(1.5, std::max(0.1, left) + 0.2 * stalled);
    bool aim_at_cleanup =
        !finish && ((left < 0.25 && fraction(random) < 0.5) ||
                    (kills >= kMinKills && cleanup_kills < kMinCleanupKills));
    ++runs;
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    std::string when;
    int status = 0;
    bool killed = false;
    {
      std::unique_ptr<RemovalWatch> removals;
      fs::path staging = trial / "fs" / "Temp" / "branding";
      if (aim_at_cleanup && fs::exists(staging)) removals = std::make_unique<RemovalWatch>(staging);
      simtest::BrandsimProcess run(args(trial));
      Clock::time_point kill_at = deadline;
      bool ended = false;
      if (removals) {
        auto offset = std::chrono::microseconds(static_cast<long>(2000 * fraction(random)));
        when = std::to_string(offset.count()) + " us into the clean-up";
        // Until a removal is seen, or the run ends without one (a staging
        // folder already emptied by an earlier run).
        while (Clock::now() < deadline) {
          if (removals->Removed(1)) {
            kill_at = Clock::now() + offset;
            break;
          }
          if (run.Wait(Clock::now(), &status)) {
            ended = true;
            break;
          }
        }
      } else if (!finish) {
        auto delay = std::chrono::duration_cast<std::chrono::microseconds>(
            duration * 1.05 * span * fraction(random));
        when = std::to_string(delay.count()) + " us after the start";
        kill_at = Clock::now() + delay;
      }
      if (!ended && !run.Wait(kill_at, &status)) {
        run.KillGroup();
        ASSERT_TRUE(run.Wait(deadline, &status));
        killed = true;
      }
    }
    SCOPED_TRACE("delivery " + std::to_string(deliveries) + ", run " + std::to_string(runs) +
                 (killed ? ", killed " + when : ", not killed") + " after " +
                 std::to_string(kills_this_delivery) + " kills of this delivery");
    if (killed) {
      ++kills;
      ++kills_this_delivery;
      if (!when.empty() && when.find("clean-up") != std::string::npos) ++cleanup_kills;
      std::string problems = CheckAfterKill(delivery, &paths);
      ASSERT_EQ(problems, "");
      stalled = StagedCount(trial) < staged_before ? 0 : stalled + 1;
    } else {
      ASSERT_EQ(status, 0);
      ASSERT_EQ(CheckComplete(trial, delivery, new_registry), "");
      ++deliveries;
      fresh = true;
      stalled = 0;
    }
  }
  std::printf("kill test: %d runs, %d killed (%d in the clean-up), %d deliveries completed\n", runs,
              kills, cleanup_kills, deliveries);
}

}  // namespace
