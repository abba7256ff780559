// Hostile device images: a registry.reg that is not what it seems, and
// files in fs/ that are not the device's own. Every case is a whole
// brandsim run on an image the test builds; each ends in a clear refusal
// (status 2, the file and line named, nothing touched) or in a run that
// reads and changes nothing outside fs/ and loses nothing.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/host/registry_store.h"
#include "reliability/reliability.h"
#include "support/support.h"

namespace {

namespace fs = std::filesystem;
using reliability::AccessWatch;

constexpr double kTimeout = 30;

const char kHeader[] = "Windows Registry Editor Version 5.00\r\n\r\n";

std::string Registry(const std::string& body) {
  return support::Utf16LeWithBom(support::FromUtf8(kHeader + body));
}

// Names, types, modes, times and sizes of everything under `root` (links
// not followed, no file read: a case may hold a terabyte-sized sparse file
// or a fifo).
std::string Listing(const fs::path& root) {
  std::string out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    struct stat st;
    if (lstat(it->path().c_str(), &st) != 0) continue;
    out += it->path().lexically_relative(root).string() + " " + std::to_string(st.st_mode) + " " +
           std::to_string(st.st_size) + " " + std::to_string(st.st_nlink) + " " +
           std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + "\n";
  }
  return out;
}

bool HasRawControl(const std::string& text) {
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if ((u < 0x20 && c != '\n') || u == 0x7F) return true;
  }
  return false;
}

class HostileImage : public ::testing::Test {
 protected:
  HostileImage() {
    fs::create_directories(staging());
    fs::create_directories(fs_dir() / "Windows");
    support::WriteBytes(fs_dir() / "Windows" / "wceload.exe", "placeholder");
    fs::create_directories(outside());
    support::WriteBytes(outside() / "secret.txt", "secret");
    support::WriteBytes(image() / "registry.reg",
                        Registry("[HKEY_LOCAL_MACHINE\\Software\\Keep]\r\n\"K\"=dword:00000001\r\n\r\n"));
  }
  fs::path image() const { return work.path() / "image"; }
  fs::path fs_dir() const { return image() / "fs"; }
  fs::path staging() const { return fs_dir() / "Temp" / "branding"; }
  fs::path outside() const { return work.path() / "outside"; }

  // A run that must be refused: status 2 in bounded time, a one-line
  // message naming registry.reg (and `expected`), nothing changed anywhere
  // in the work folder, nothing outside the image opened.
  void ExpectRefused(const std::vector<std::string>& extra, const std::string& expected) {
    std::string before = Listing(work.path());
    AccessWatch watch;
    watch.Add(outside(), true);
    std::vector<std::string> args = {"--device", image().string(), "--answer", "yes"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back("inst");
    reliability::Measured run = reliability::RunMeasured(args, kTimeout);
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_NE(run.err.find((image() / "registry.reg").string()), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(expected), std::string::npos) << run.err;
    EXPECT_FALSE(HasRawControl(run.err)) << run.err;
    EXPECT_EQ(watch.Violations(), "");  // first: the listing below is seen too
    EXPECT_EQ(Listing(work.path()), before);
    // The linter reads the image as the run does.
    support::RunResult lint =
        support::Brandsim({"lint", "--device", image().string(), staging().string()}, kTimeout);
    EXPECT_FALSE(lint.timed_out);
    EXPECT_EQ(lint.status, 2) << lint.err;
    EXPECT_NE(lint.err.find(expected), std::string::npos) << lint.err;
    EXPECT_EQ(Listing(work.path()), before);
  }

  support::TempDir work;
};

// Each registry.reg that the writer could not write back, or that is not a
// file of the image, is refused before anything is touched.
TEST_F(HostileImage, RegistryFilesThatCannotBeUsedAreRefusedBeforeAnythingIsTouched) {
  support::WriteBytes(staging() / "brand.ini",
                      "[REG_DEL_KEY]\r\nkey0=\"HKEY_LOCAL_MACHINE\\Software\\Keep\"\r\n");
  const fs::path reg = image() / "registry.reg";
  // Even what a killed save left stays: a refused image is not touched.
  support::WriteBytes(image() / "registry.reg.new-9-9", "left by a killed save");
  struct Case {
    const char* what;
    std::string expected;
    std::function<void()> make;
  };
  std::vector<Case> cases = {
      {"a bare CR in a key name", "registry.reg:3: a carriage return inside the key name",
       [&] { support::WriteBytes(reg, Registry("[HKEY_LOCAL_MACHINE\\A\rB]\r\n\"v\"=dword:1\r\n")); }},
      {"a bare CR in a value name", "registry.reg:4: a carriage return inside the value name",
       [&] { support::WriteBytes(reg, Registry("[HKEY_LOCAL_MACHINE\\A]\r\n\"v\rw\"=dword:1\r\n")); }},
      {"a fifo", "not a regular file",
       [&] { fs::remove(reg); ASSERT_EQ(mkfifo(reg.c_str(), 0644), 0); }},
      {"a dangling link", "symbolic link",
       [&] { fs::remove(reg); fs::create_symlink(outside() / "missing.reg", reg); }},
      {"a link out of the image", "symbolic link",
       [&] {
         fs::remove(reg);
         support::WriteBytes(outside() / "other.reg", Registry("[HKEY_LOCAL_MACHINE\\Out]\r\n"));
         fs::create_symlink(outside() / "other.reg", reg);
       }},
      {"a 1 TB sparse file", "a registry file may hold at most 67108864 bytes",
       [&] {
         fs::remove(reg);
         support::WriteBytes(reg, "");
         fs::resize_file(reg, std::uintmax_t{1} << 40);
       }},
      {"a folder", "not a regular file",
       [&] { fs::remove(reg); fs::create_directory(reg); }},
      {"an escape sequence and a NUL in an unknown root", "unknown root \\x1b[31mX\\x00Y",
       [&] { support::WriteBytes(reg, Registry(std::string("[\x1b[31mX\0Y\\A]\r\n", 14))); }},
  };
#ifndef __SANITIZE_ADDRESS__
  // Some 40 MB to parse three times: too slow under the sanitizers; the
  // rule is the same in every build.
  cases.push_back({"a file within the bound that would be written back beyond it",
       "would be written back as",
       [&] {
         // 8-bit text is written back as UTF-16: 40 MB becomes about 80 MB.
         std::string body = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Big]\r\n";
         const std::string data(4000, 'x');
         for (int i = 0; body.size() < 40'000'000; ++i) {
           body += "\"v" + std::to_string(i) + "\"=\"" + data + "\"\r\n";
         }
         support::WriteBytes(reg, body);
       }});
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(reg);
    fs::remove_all(outside() / "other.reg");
    c.make();
    ExpectRefused({}, c.expected);
    ExpectRefused({"--dry-run"}, c.expected);
  }
  fs::remove_all(reg);
}

TEST_F(HostileImage, TheSizeBoundIsTheOneTheHelpStates) {
  support::RunResult help = support::Brandsim({"--help"});
  EXPECT_NE(help.out.find(std::to_string(host::RegistryStore::kMaxFileBytes) + " bytes"),
            std::string::npos);
}

// What a save killed before its rename left is removed by the next real
// run, which holds the lock; a dry run leaves the image as it is.
TEST_F(HostileImage, NewFilesThatAKilledSaveLeftAreRemovedByTheNextRun) {
  support::WriteBytes(image() / "registry.reg.new-123-0", "half a regis");
  fs::create_symlink(outside() / "secret.txt", image() / "registry.reg.new-123-1");
  support::RunResult dry =
      support::Brandsim({"--device", image().string(), "--dry-run", "--quiet", "check"});
  EXPECT_EQ(dry.status, 0) << dry.err;
  EXPECT_TRUE(fs::exists(image() / "registry.reg.new-123-0"));
  support::RunResult real = support::Brandsim({"--device", image().string(), "--quiet", "check"});
  EXPECT_EQ(real.status, 0) << real.err;
  EXPECT_FALSE(fs::exists(fs::symlink_status(image() / "registry.reg.new-123-0")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(image() / "registry.reg.new-123-1")));
  EXPECT_EQ(support::ReadBytes(outside() / "secret.txt"), "secret");
}

// A dry run killed before it removed its view leaves the image's files with
// a second link (the view's); the next real run removes that view, by its
// one name, and finds its files its own again.
TEST_F(HostileImage, AViewThatAKilledDryRunLeftDoesNotHoldUpTheNextRealRun) {
  support::WriteBytes(staging() / "logo.gif", "logo");
  struct stat st;
  ASSERT_EQ(stat(image().c_str(), &st), 0);
  const fs::path view = work.path() / (".brandsim-dryrun." + std::to_string(st.st_dev) + "." +
                                       std::to_string(st.st_ino) + ".view");
  fs::create_directories(view / "fs/Temp/branding");
  fs::create_hard_link(staging() / "logo.gif", view / "fs/Temp/branding/logo.gif");
  support::RunResult run =
      support::Brandsim({"--device", image().string(), "--answer", "yes", "inst"}, kTimeout);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_FALSE(fs::exists(view));
  EXPECT_FALSE(fs::exists(staging() / "logo.gif")) << run.out;
  EXPECT_EQ(run.out.find("not the device's"), std::string::npos) << run.out;
}

// Staged files that are not the device's own: a hard link to a read-only
// host file, a fifo where the settings are, a socket. The clean-up never
// changes the host file's mode, never opens the fifo, and says why it left
// them; a dry run says exactly what the real run says.
TEST_F(HostileImage, FilesThatAreNotTheDevicesOwnAreNeitherOpenedNorChanged) {
  fs::permissions(outside() / "secret.txt", fs::perms::owner_read);
  fs::create_hard_link(outside() / "secret.txt", staging() / "logo.gif");
  ASSERT_EQ(mkfifo((staging() / "brand.ini").c_str(), 0644), 0);
  fs::create_directories(staging() / "sub");
  support::WriteBytes(staging() / "sub" / "own.gif", "own");
  // The same image twice: one for the dry run, one for the real run.
  const fs::path twin = work.path() / "twin";
  fs::create_directories(twin);
  std::error_code ec;
  fs::copy(image(), twin, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
  fs::remove(twin / "fs/Temp/branding/logo.gif");
  fs::create_hard_link(outside() / "secret.txt", twin / "fs/Temp/branding/logo.gif");
  fs::remove(twin / "fs/Temp/branding/brand.ini");
  ASSERT_EQ(mkfifo((twin / "fs/Temp/branding/brand.ini").c_str(), 0644), 0);
  struct stat outside_before;
  ASSERT_EQ(lstat((outside() / "secret.txt").c_str(), &outside_before), 0);

  const std::string image_before = Listing(twin);
  AccessWatch watch;
  watch.AddAllowing(staging(), {"", "sub", "logo.gif"});
  fs::path journal = work.path() / "real.jsonl";
  support::RunResult real = support::Brandsim(
      {"--device", image().string(), "--answer", "yes", "--journal", journal.string(), "inst"},
      kTimeout);
  EXPECT_EQ(real.status, 0) << real.err;
  // The fifo was never opened: an open is the one event the watch reports
  // for a name it was not told to allow.
  EXPECT_EQ(watch.Violations(), "");
  support::RunResult dry = support::Brandsim(
      {"--device", twin.string(), "--answer", "yes", "--dry-run", "inst"}, kTimeout);
  EXPECT_EQ(dry.status, 0) << dry.err;
  EXPECT_EQ(dry.out, real.out);
  EXPECT_EQ(Listing(twin), image_before) << "the dry run changed its image";

  struct stat outside_after;
  ASSERT_EQ(lstat((outside() / "secret.txt").c_str(), &outside_after), 0);
  EXPECT_EQ(outside_after.st_mode, outside_before.st_mode);
  EXPECT_EQ(outside_after.st_ctim.tv_sec, outside_before.st_ctim.tv_sec);
  EXPECT_EQ(outside_after.st_ctim.tv_nsec, outside_before.st_ctim.tv_nsec);
  EXPECT_EQ(support::ReadBytes(outside() / "secret.txt"), "secret");
  // The device's own file went with the clean-up; the others stayed, each
  // with its reason.
  EXPECT_FALSE(fs::exists(staging() / "sub"));
  EXPECT_TRUE(fs::exists(staging() / "logo.gif"));
  EXPECT_NE(real.out.find("attributes \\Temp\\branding\\logo.gif = 0x00000080: failed (not the "
                          "device's)"),
            std::string::npos)
      << real.out;
  EXPECT_NE(real.out.find("delete \\Temp\\branding\\brand.ini: failed (not the device's)"),
            std::string::npos)
      << real.out;
  bool journaled = false;
  for (const support::JsonObject& e : support::ReadJournal(journal)) {
    if (e.count("reason") && e.at("reason") == "not the device's") journaled = e.at("error") == "5";
  }
  EXPECT_TRUE(journaled);
}

// A mount point in the staging folder: the clean-up neither enters it nor
// removes what is mounted there. Needs the right to mount.
TEST_F(HostileImage, TheCleanUpNeverEntersAnotherFileSystem) {
  fs::path mounted = staging() / "mnt";
  fs::create_directories(mounted);
  if (mount("brandsim-test", mounted.c_str(), "tmpfs", 0, "size=1m") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(errno)
                 << "); the case needs root or CAP_SYS_ADMIN";
  }
  support::WriteBytes(mounted / "kept.txt", "kept");
  support::WriteBytes(staging() / "logo.gif", "logo");
  for (const char* mode : {"--dry-run", "--quiet"}) {
    SCOPED_TRACE(mode);
    support::RunResult run =
        support::Brandsim({"--device", image().string(), "--answer", "yes", mode, "inst"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(support::ReadBytes(mounted / "kept.txt"), "kept");
    if (std::string(mode) == "--dry-run") {
      EXPECT_NE(run.out.find("rmdir \\Temp\\branding\\mnt: failed (not the device's)"),
                std::string::npos)
          << run.out;
    }
  }
  EXPECT_EQ(umount(mounted.c_str()), 0);
  EXPECT_FALSE(fs::exists(staging() / "logo.gif"));
}

// A full disk: the run says the registry file was not replaced and what it
// still holds, and it does hold exactly that. A small tmpfs is the disk.
TEST_F(HostileImage, AFullDiskIsToldTruthfully) {
  fs::path disk = work.path() / "disk";
  fs::create_directories(disk);
  if (mount("brandsim-test", disk.c_str(), "tmpfs", 0, "size=256k") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(errno)
                 << "); the case needs root or CAP_SYS_ADMIN";
  }
  struct Unmount {
    fs::path path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{disk};
  fs::path file = disk / "registry.reg";
  host::RegistryStore store;
  std::string error;
  store.SetValue(store.Create(store.root(host::RegistryStore::kLocalMachine), u"A", nullptr).get(),
                 u"big", 3, std::vector<std::uint8_t>(10000, 7).data(), 10000);
  ASSERT_TRUE(store.Save(file, &error)) << error;
  const std::string first = support::ReadBytes(file);
  // Fill the disk, then change the registry.
  {
    std::ofstream fill(disk / "fill", std::ios::binary);
    std::string block(4096, 'x');
    while (fill.write(block.data(), block.size())) {
    }
  }
  store.SetValue(store.root(host::RegistryStore::kLocalMachine).get(), u"v", 3,
                 std::vector<std::uint8_t>(10000, 9).data(), 10000);
  EXPECT_FALSE(store.Save(file, &error));
  EXPECT_NE(error.find("was not replaced: it holds the registry as the last save wrote it"),
            std::string::npos)
      << error;
  EXPECT_EQ(support::ReadBytes(file), first);
  EXPECT_EQ(support::ReadBytes(file).size(), first.size());
  // No new file is left behind.
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(disk)) names.push_back(e.path().filename());
  EXPECT_EQ(names.size(), 2u);
  fs::remove(disk / "fill");
  EXPECT_TRUE(store.Save(file, &error)) << error;
  EXPECT_EQ(store.failed_saves(), 1);

  // A whole run on an image on the full disk: status 1, the message says
  // the file holds the registry as the run found it, and it does.
  fs::remove(disk / "fill");
  fs::remove(file);
  fs::create_directories(disk / "image/fs/Windows");
  fs::create_directories(disk / "image/fs/Temp/branding");
  support::WriteBytes(disk / "image/fs/Windows/wceload.exe", "placeholder");
  ASSERT_TRUE(store.Save(disk / "image/registry.reg", &error)) << error;
  const std::string reg_before = support::ReadBytes(disk / "image" / "registry.reg");
  {
    std::ofstream fill(disk / "fill", std::ios::binary);
    std::string block(1024, 'x');
    while (fill.write(block.data(), block.size())) {
    }
  }
  support::RunResult run =
      support::Brandsim({"--device", (disk / "image").string(), "--answer", "yes", "--quiet", "inst"});
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_NE(run.err.find("was not replaced: it holds the registry as it was read"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(support::ReadBytes(disk / "image" / "registry.reg"), reg_before);
}

// Names shown in messages: a device image whose folder name is not UTF-8
// and holds a control character is named with escapes, never raw.
TEST_F(HostileImage, MessagesShowNamesEscaped) {
  fs::path odd = work.path() / std::string("bad\xff\x1b[2Jname");
  fs::create_directories(odd);
  support::RunResult run = support::Brandsim({"--device", odd.string(), "inst"});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("bad\\xff\\x1b[2Jname"), std::string::npos) << run.err;
  EXPECT_FALSE(HasRawControl(run.err));

  // A staged file whose name is not UTF-8 and holds an escape: the device
  // reaches it (the clean-up removes it) and the transcript shows its bytes.
  support::WriteBytes(staging() / std::string("logo\xff\x1b[2J.gif"), "x");
  support::RunResult inst =
      support::Brandsim({"--device", image().string(), "--answer", "yes", "inst"}, kTimeout);
  EXPECT_EQ(inst.status, 0) << inst.err;
  EXPECT_NE(inst.out.find("delete \\Temp\\branding\\logo\\xff\\x1b[2J.gif: ok"),
            std::string::npos)
      << inst.out;
  EXPECT_FALSE(HasRawControl(inst.out));
  EXPECT_FALSE(fs::exists(staging()));
}

// Without /proc (a container that does not mount it) the backend reaches
// the device's files by names it checks against what it opened, instead of
// through /proc/self/fd; the run must end exactly as one with /proc does.
TEST_F(HostileImage, WithoutProcARunEndsAsOneWithIt) {
  support::WriteBytes(staging() / "logo.gif", "GIF89a");
  fs::permissions(staging() / "logo.gif", fs::perms::owner_read, fs::perm_options::replace);
  support::WriteBytes(staging() / "start.hp", "home");
  support::WriteBytes(staging() / "brand.ini", "[HOMEPAGE]\r\nstart.hp=\"\\Windows\\start.htm\"\r\n");
  support::WriteBytes(staging() / "a.reg",
                      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\New]\r\n\"V\"=\"x\"\r\n\r\n");
  const fs::path copy = work.path() / "copy";
  fs::copy(image(), copy, fs::copy_options::recursive);
  // Names, types and contents (times differ between the two runs).
  auto contents = [](const fs::path& root) {
    std::string out;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      out += entry.path().lexically_relative(root).string();
      out += entry.is_regular_file() ? " = " + support::ReadBytes(entry.path()) + "\n" : "/\n";
    }
    return out;
  };
#ifdef __SANITIZE_ADDRESS__
  // The sanitizers' runtime reads its options and threads from /proc and
  // ends the program without it; the host build runs this case.
  GTEST_SKIP() << "the sanitizer runtime needs /proc";
#endif
  if (!fs::exists("/usr/bin/unshare")) GTEST_SKIP() << "no /usr/bin/unshare (util-linux)";
  support::RunResult without = support::Run(
      {"/usr/bin/unshare", "--mount", "--propagation", "private", "sh", "-c",
       "umount -l /proc && exec \"$0\" \"$@\"",
       BRANDSIM_PATH, "--device", copy.string(),
       "--answer", "yes", "--quiet", "inst"},
      kTimeout);
  if (without.err.rfind("unshare:", 0) == 0 || without.err.rfind("umount:", 0) == 0) {
    GTEST_SKIP() << "cannot run without /proc here: " << without.err;
  }
  support::RunResult with = support::Brandsim(
      {"--device", image().string(), "--answer", "yes", "--quiet", "inst"}, kTimeout);
  EXPECT_EQ(with.status, 0) << with.err;
  EXPECT_EQ(without.status, 0) << without.err;
  EXPECT_EQ(contents(copy), contents(image()));
  EXPECT_NE(contents(copy).find("Windows/logo.gif = GIF89a"), std::string::npos);
}

}  // namespace
