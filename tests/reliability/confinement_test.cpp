// Hostile device images and deliveries: whatever they hold, brandsim reads
// and writes nothing outside the image's fs/ (registry.reg beside it aside).
//
// Each case lays out a work folder as
//   work/image/        the device image (fs/, registry.reg)
//   work/outside/      host files and folders the image points at
// and watches, with inotify, work/ itself, the image folder and every folder
// of work/outside while brandsim runs: any open, read, listing, write or
// change there is a violation, except the image folder being locked and its
// registry.reg being read and replaced. A picture of everything outside fs/
// (bytes, modes, modification times) taken before and after must also be
// unchanged but for registry.reg.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/host/registry_store.h"
#include "reliability/reliability.h"
#include "support/json_check.h"
#include "support/support.h"

namespace {

namespace fs = std::filesystem;
using reliability::AccessWatch;
using reliability::Picture;

constexpr double kTimeout = 60;

const char kHeader[] = "Windows Registry Editor Version 5.00\r\n\r\n";

class Confinement : public ::testing::Test {
 protected:
  Confinement() {
    fs::create_directories(image() / "fs" / "Temp" / "branding");
    fs::create_directories(image() / "fs" / "Windows");
    support::WriteBytes(image() / "fs" / "Windows" / "wceload.exe", "placeholder");
    fs::create_directories(outside() / "sub");
    support::WriteBytes(outside() / "secret.txt", "secret");
    support::WriteBytes(outside() / "sub" / "deep.txt", "deep");
    // A delivery outside the image, which the device must never act on.
    fs::create_directories(outside() / "delivery");
    support::WriteBytes(outside() / "delivery" / "brand.ini",
                        "[REG_DEL_KEY]\r\nkey0=\"HKEY_LOCAL_MACHINE\\Software\\Keep\"\r\n\r\n"
                        "[HOMEPAGE]\r\nout.hp=\"\\Windows\\out.htm\"\r\n");
    support::WriteBytes(outside() / "delivery" / "out.hp", "outside page");
    support::WriteBytes(outside() / "delivery" / "logo.gif", "outside logo");
    support::WriteBytes(outside() / "delivery" / "evil.reg",
                        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Evil]\r\n\"E\"=dword:1\r\n");
    Registry("[HKEY_LOCAL_MACHINE\\Software\\Keep]\r\n\"K\"=dword:00000001\r\n\r\n");
  }

  fs::path image() const { return work.path() / "image"; }
  fs::path fs_dir() const { return image() / "fs"; }
  fs::path staging() const { return fs_dir() / "Temp" / "branding"; }
  fs::path outside() const { return work.path() / "outside"; }

  void Stage(const std::string& name, const std::string& bytes) const {
    support::WriteBytes(staging() / name, bytes);
  }
  void Registry(const std::string& body) const {
    support::WriteBytes(image() / "registry.reg",
                        support::Utf16LeWithBom(support::FromUtf8(kHeader + body)));
  }

  // Runs the installation on the image under watch; fails the test on any
  // access outside fs/. Keeps the transcript and the journal.
  void RunConfined() {
    Picture before = Outside();
    AccessWatch watch;
    // Deepest first: adding a folder lists it, which its parent's watch would see.
    watch.Add(outside(), true);
    watch.AddAllowing(image(), {"", "fs", "registry.reg", "registry.reg.new-*"});
    watch.AddAllowing(work.path(), {"image"});

    fs::path out = logs.path() / "transcript";
    fs::path journal = logs.path() / "journal.jsonl";
    reliability::Measured run = reliability::RunMeasured(
        {"--device", image().string(), "--answer", "yes", "--journal", journal.string(), "inst"},
        kTimeout, out);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_FALSE(run.timed_out);

    EXPECT_EQ(watch.Violations(), "") << "brandsim reached outside the image's fs/";
    EXPECT_EQ(reliability::Differences(before, Outside()), "");
    transcript = support::ReadBytes(out);
    journal_lines = support::ReadLines(journal);
    events.clear();
    for (const std::string& line : journal_lines) {
      simtest::JsonObject object;
      std::string error;
      EXPECT_TRUE(simtest::ParseJsonObject(line, &object, &error)) << error << ": " << line;
      events.push_back(object);
    }
    // One transcript line per effect, whatever the names held: no control
    // character reaches the terminal unescaped. The journal's `run` and
    // `summary` events are not effects; the summary's lines close the
    // transcript.
    std::size_t lines = 0;
    std::size_t summary_lines = 0;
    bool line_start = true;
    for (std::size_t i = 0; i < transcript.size(); ++i) {
      char c = transcript[i];
      unsigned char u = static_cast<unsigned char>(c);
      if (line_start && transcript.compare(i, 9, "summary: ") == 0) ++summary_lines;
      line_start = c == '\n';
      if (c == '\n') {
        ++lines;
      } else {
        EXPECT_FALSE(u < 0x20 || u == 0x7F) << "raw control character " << int(u)
                                             << " in the transcript";
      }
    }
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events.front().at("event").text, "run");
    EXPECT_EQ(events.back().at("event").text, "summary");
    EXPECT_EQ(lines - summary_lines, journal_lines.size() - 2);
  }

  // Everything in the work folder but fs/ and registry.reg.
  Picture Outside() const {
    Picture picture = reliability::TakePicture(work.path());
    for (auto it = picture.begin(); it != picture.end();) {
      // The image folder's own time changes when registry.reg is replaced.
      bool inside = it->first == "image" || it->first == "image/fs" ||
                    it->first.rfind("image/fs/", 0) == 0 || it->first == "image/registry.reg";
      it = inside ? picture.erase(it) : std::next(it);
    }
    return picture;
  }

  // The `ok` of every journal event of one kind whose `field` is `value`.
  std::vector<std::string> Results(const std::string& event, const std::string& field,
                                   const std::string& value) const {
    std::vector<std::string> found;
    for (const simtest::JsonObject& e : events) {
      auto kind = e.find("event");
      auto f = e.find(field);
      if (kind != e.end() && kind->second.text == event && f != e.end() &&
          f->second.text == value) {
        auto ok = e.find("ok");
        found.push_back(ok == e.end() ? "?" : ok->second.text);
      }
    }
    return found;
  }

  bool KeyExists(const std::string& root_and_path) const {
    host::RegistryStore store;
    std::string error;
    EXPECT_TRUE(store.Load(image() / "registry.reg", &error)) << error;
    std::u16string path = support::FromUtf8(root_and_path);
    std::size_t slash = path.find(u'\\');
    for (int r = 0; r < host::RegistryStore::kRootCount; ++r) {
      auto root = static_cast<host::RegistryStore::Root>(r);
      if (path.substr(0, slash) == host::RegistryStore::RootName(root)) {
        return store.Find(store.root(root), path.substr(slash + 1)) != nullptr;
      }
    }
    return false;
  }

  support::TempDir work;
  support::TempDir logs;  // transcript and journal: not watched
  std::string transcript;
  std::vector<std::string> journal_lines;
  std::vector<simtest::JsonObject> events;
};

// The watch itself must see what it is meant to catch, or every other case
// here proves nothing: another process reading a file and listing a folder.
TEST_F(Confinement, TheWatchSeesReadsAndListingsByAnotherProcess) {
  AccessWatch watch;
  watch.Add(outside(), true);
  support::RunResult cat = support::Run({"/bin/cat", (outside() / "sub" / "deep.txt").string()});
  ASSERT_EQ(cat.status, 0);
  support::RunResult ls = support::Run({"/bin/ls", outside().string()});
  ASSERT_EQ(ls.status, 0);
  std::string seen = watch.Violations();
  EXPECT_NE(seen.find((outside() / "sub" / "deep.txt").string() + ": OPEN"), std::string::npos)
      << seen;
  EXPECT_NE(seen.find(outside().string() + ": OPEN ISDIR"), std::string::npos) << seen;
  EXPECT_NE(seen.find("ACCESS ISDIR"), std::string::npos) << seen;
}

TEST_F(Confinement, DotDotInMappedDestinationsScriptsAndRemovalsGoesNowhere) {
  Stage("brand.ini",
        "[HOMEPAGE]\r\n"
        "a.hp=\"\\..\\..\\escaped-a.htm\"\r\n"
        "b.hp=\"\\Temp\\..\\..\\..\\escaped-b.htm\"\r\n"
        "c.hp=\"/../../escaped-c.htm\"\r\n"
        "d.hp=\"\\Windows/../../../outside/escaped-d.htm\"\r\n"
        "e.hp=\"..\\..\\escaped-e.htm\"\r\n"
        "f.hp=\"\\..\\registry.reg\"\r\n"
        "g.hp=\"\\Windows\\..\\..\\..\\outside\\sub\\deep.txt\"\r\n"
        "\r\n[URLS]\r\n"
        "a.ur=\"\\..\\..\\outside\\sub\\a.url\"\r\n"
        "\r\n[ADDITIONAL_CABS]\r\n"
        "cab0=\"..\\..\\..\\outside\\secret.txt\"\r\n"
        "\r\n[skin]\r\n"
        "skin=\"\\..\\..\\outside\\secret.txt\"\r\n"
        "\r\n[REG_DEL_KEY]\r\n"
        "key0=\"HKEY_LOCAL_MACHINE\\..\\..\\Software\\Keep\"\r\n"
        "key1=\"HKEY_LOCAL_MACHINE\\Software\\Keep\\..\"\r\n");
  for (const char* name : {"a.hp", "b.hp", "c.hp", "d.hp", "e.hp", "f.hp", "g.hp", "a.ur"}) {
    Stage(name, std::string("page ") + name);
  }
  Stage("dots.reg",
        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\..\\..\\Software\\Dots]\r\n\"V\"=\"w\"\r\n\r\n");
  RunConfined();

  for (const char* name : {"a.hp", "b.hp", "c.hp", "d.hp", "e.hp", "f.hp", "g.hp", "a.ur"}) {
    for (const std::string& ok :
         Results("move", "from", std::string("\\Temp\\branding\\") + name)) {
      EXPECT_EQ(ok, "false") << name;
    }
  }
  EXPECT_FALSE(fs::exists(work.path() / "escaped-a.htm"));
  EXPECT_FALSE(fs::exists(outside() / "escaped-d.htm"));
  // Key names are not paths: ".." is a name like any other there, and no
  // removal climbs to another key.
  EXPECT_TRUE(KeyExists("HKEY_LOCAL_MACHINE\\Software\\Keep"));
  EXPECT_TRUE(KeyExists("HKEY_LOCAL_MACHINE\\..\\..\\Software\\Dots"));
}

TEST_F(Confinement, LinksInsideTheImageToHostFilesAndFoldersAreNeverFollowed) {
  fs::path windows = fs_dir() / "Windows";
  fs::create_directory_symlink(outside() / "sub", windows / "Favorites");
  fs::create_symlink(outside() / "secret.txt", windows / "logo.gif");
  fs::create_directory_symlink(outside(), windows / "Start");
  fs::create_directory_symlink("/", windows / "root");
  fs::create_directory_symlink("/etc", windows / "etc");
  fs::create_symlink("missing-target", windows / "dangling.gif");
  fs::create_symlink("loop.tsk", windows / "loop.tsk");
  // Staged entries that are links: the settings, a script, a package, a
  // folder; and a real folder holding a link to a host folder.
  fs::create_symlink(outside() / "delivery" / "brand.ini", staging() / "brand.ini");
  fs::create_symlink(outside() / "delivery" / "evil.reg", staging() / "evil.reg");
  fs::create_symlink(outside() / "delivery" / "logo.gif", staging() / "other.gif");
  fs::create_directory_symlink(outside() / "delivery", staging() / "pkg");
  fs::create_directories(staging() / "real");
  fs::create_directory_symlink(outside(), staging() / "real" / "up");
  fs::create_symlink(outside() / "secret.txt", staging() / "inst.msg");
  fs::create_symlink(outside() / "secret.txt", staging() / "reboot.msg");
  // What the staged links cannot do, a real delivery beside them does, to
  // show that the run itself went ahead.
  Stage("logo.gif", "new logo");
  Stage("Home.url", "url");
  Stage("blue.tsk", "theme");
  Stage("start.hp", "page");
  Stage("dangling.gif", "replaces nothing");
  Registry("[HKEY_LOCAL_MACHINE\\Software\\Keep]\r\n\"K\"=dword:00000001\r\n\r\n"
           "[HKEY_CLASSES_ROOT\\CLSID\\{F15D7471-D623-11d2-BE64-008048FD5745}]\r\n\r\n");
  RunConfined();

  // The links are where they were, pointing where they did.
  EXPECT_EQ(fs::read_symlink(windows / "logo.gif"), outside() / "secret.txt");
  EXPECT_EQ(fs::read_symlink(windows / "Favorites"), outside() / "sub");
  EXPECT_EQ(fs::read_symlink(windows / "dangling.gif"), "missing-target");
  EXPECT_EQ(Results("move", "from", "\\Temp\\branding\\logo.gif"),
            std::vector<std::string>{"false"});
  EXPECT_EQ(Results("move", "from", "\\Temp\\branding\\Home.url"),
            std::vector<std::string>{"false"});
  EXPECT_EQ(Results("move", "from", "\\Temp\\branding\\dangling.gif"),
            std::vector<std::string>{"false"});
  EXPECT_EQ(Results("move", "from", "\\Temp\\branding\\other.gif"),
            std::vector<std::string>{"false"});
  EXPECT_EQ(support::ReadBytes(windows / "blue.tsk"), "theme");
  // The linked brand.ini would have removed this key, the linked script
  // made that one, the linked messages would have been shown.
  EXPECT_TRUE(KeyExists("HKEY_LOCAL_MACHINE\\Software\\Keep"));
  EXPECT_FALSE(KeyExists("HKEY_LOCAL_MACHINE\\Software\\Evil"));
  EXPECT_EQ(transcript.find("secret"), std::string::npos);
  // The clean-up removed the links themselves, and the staging folder.
  EXPECT_FALSE(fs::exists(fs::symlink_status(staging())));
}

TEST_F(Confinement, AStagingFolderThatIsALinkIsNeitherReadNorEmptied) {
  fs::remove_all(staging());
  fs::create_directory_symlink(outside() / "delivery", staging());
  RunConfined();
  EXPECT_TRUE(fs::is_symlink(staging()));
  EXPECT_FALSE(fs::exists(fs_dir() / "Windows" / "logo.gif"));
  EXPECT_TRUE(KeyExists("HKEY_LOCAL_MACHINE\\Software\\Keep"));
  EXPECT_FALSE(KeyExists("HKEY_LOCAL_MACHINE\\Software\\Evil"));
}

TEST_F(Confinement, ATempFolderThatIsALinkIsNeitherReadNorEmptied) {
  fs::remove_all(fs_dir() / "Temp");
  fs::create_directories(outside() / "temp");
  fs::create_directory_symlink(outside() / "delivery", outside() / "temp" / "branding");
  fs::create_directory_symlink(outside() / "temp", fs_dir() / "Temp");
  RunConfined();
  EXPECT_FALSE(fs::exists(fs_dir() / "Windows" / "logo.gif"));
  EXPECT_TRUE(KeyExists("HKEY_LOCAL_MACHINE\\Software\\Keep"));
}

TEST_F(Confinement, NamesWithControlCharactersSeparatorsAndBadBytesStayInside) {
  Stage("a\x01" "b.gif", "1");
  Stage("new\nline.gif", "2");
  Stage("esc\x1b[2J.url", "3");
  Stage("tab\t.tsk", "4");
  Stage("..\\..\\escaped.gif", "5");
  Stage("\\Windows\\abs.gif", "6");
  Stage("\xff\xfe.gif", "7");
  Stage("ctl.hp", "8");
  Stage("bell.hp", "9");
  Stage("brand.ini",
        "[HOMEPAGE]\r\n"
        "ctl.hp=\"\\Windows\\ctl\x07\\page.htm\"\r\n"
        "bell.hp=\"\\Windows\\Web\\\x1b]0;title\x07.htm\"\r\n"
        "\r\n[REG_DEL_KEY]\r\nkey0=\"HKEY_LOCAL_MACHINE\\Software\\Keep\x01\"\r\n");
  Stage("ctl.reg",
        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Ctl\x1b[31m]\r\n\"N\x01\"=\"v\x07\"\r\n");
  RunConfined();

  // Names the device cannot give to a file are refused as destinations.
  EXPECT_FALSE(fs::exists(fs_dir() / "Windows" / "a\x01" "b.gif"));
  EXPECT_FALSE(fs::exists(fs_dir() / "Windows" / "ctl\x07"));
  EXPECT_FALSE(fs::exists(work.path() / "escaped.gif"));
  EXPECT_TRUE(KeyExists("HKEY_LOCAL_MACHINE\\Software\\Keep"));
  EXPECT_TRUE(KeyExists("HKEY_LOCAL_MACHINE\\Software\\Ctl\x1b[31m"));
  // A name holding the device's separator cannot be named on the device:
  // it stays behind, and so does the staging folder that holds it.
  EXPECT_TRUE(fs::exists(staging() / "..\\..\\escaped.gif"));
}

TEST_F(Confinement, VeryLongNamesLinesAndKeysAreSkippedOrCutNeverOverrun) {
  const std::string longest(251, 'n');                // 255 bytes with ".gif": the host's limit
  const std::string fits(240 - 4, 'f');               // \Temp\branding\ + 240 = 255 characters
  const std::string czech = std::string(100, 'x') + "\xc4\x8d\xc5\xa1";  // multi-byte
  Stage(longest + ".gif", "too long for the device");
  Stage(fits + ".gif", "fits");
  Stage("deep.hp", "deep");
  Stage("wide.hp", "wide");
  std::string deep_destination = "\\Windows";
  while (deep_destination.size() < 300) deep_destination += "\\d";
  std::string wide_destination = "\\Windows\\";
  for (int i = 0; i < 40; ++i) wide_destination += "\xc4\x8d";  // 2 bytes on the host, 1 unit
  wide_destination += std::string(120, 'w') + "\\page.htm";
  Stage("brand.ini", "[HOMEPAGE]\r\ndeep.hp=\"" + deep_destination + "\\page.htm\"\r\n" +
                         "wide.hp=\"" + wide_destination + "\"\r\n" + std::string(100000, 'L') +
                         "\r\n\r\n[REG_DEL_KEY]\r\nkey0=\"HKEY_LOCAL_MACHINE\\" +
                         std::string(5000, 'k') + "\"\r\n");
  Stage("long.reg", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\" + std::string(70000, 'K') +
                        "]\r\n\"" + std::string(70000, 'V') + "\"=\"" + std::string(70000, 'D') +
                        "\"\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\After]\r\n\"A\"=dword:1\r\n");
  // The registry file may hold names far longer than any the device makes.
  Registry("[HKEY_LOCAL_MACHINE\\Software\\Keep]\r\n\"K\"=dword:00000001\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\Software\\" + std::string(100000, 'R') + "\\" + czech + "]\r\n\"" +
           std::string(50000, 'v') + "\"=\"" + std::string(50000, 'd') + "\"\r\n\r\n");
  RunConfined();

  EXPECT_EQ(support::ReadBytes(fs_dir() / "Windows" / (fits + ".gif")), "fits");
  EXPECT_FALSE(fs::exists(fs_dir() / "Windows" / (longest + ".gif")));
  EXPECT_TRUE(KeyExists("HKEY_LOCAL_MACHINE\\Software\\After"));
  EXPECT_TRUE(KeyExists("HKEY_LOCAL_MACHINE\\Software\\" + std::string(100000, 'R') + "\\" + czech));
}

}  // namespace
