// Packages and themes installed by the emulated device's package installer,
// in whole brandsim runs: what they leave on the image, what the journal and
// the transcript say, and what a package that cannot be installed does to
// the rest of the run (nothing).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "package_writer.h"
#include "platform/host/manifest.h"
#include "platform/host/registry_store.h"
#include "sim/sim_helpers.h"
#include "support/support.h"

namespace {

namespace fs = std::filesystem;
using cepkg::PackageSpec;
using support::Brandsim;
using support::JsonObject;
using support::RunResult;

constexpr double kTimeout = 30;

std::string Cab(const PackageSpec& spec, cepkg::Compression compression = cepkg::Compression::kNone) {
  return cepkg::WriteCabinet(cepkg::PackageMembers(spec, "PACKAGE"), compression);
}

// A device with the package installer, the Today key, and a delivery whose
// brand.ini is `ini`.
struct Image {
  support::Device device;
  fs::path journal = device.dir() / "journal.jsonl";

  explicit Image(const std::string& ini, const std::string& registry = "") {
    device.Put("Windows/wceload.exe", "MZ");
    device.SetRegistry("Windows Registry Editor Version 5.00\n\n"
                       "[HKEY_CURRENT_USER\\Software\\Microsoft\\Today]\n\n" +
                       registry);
    device.Put("Temp/branding/brand.ini", ini);
  }
  RunResult Run(const std::vector<std::string>& extra = {}) const {
    std::vector<std::string> args = {"--device", device.dir().string(), "--answer", "yes",
                                     "--journal", journal.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back("inst");
    return Brandsim(args, kTimeout);
  }
  std::vector<JsonObject> Events() const { return support::ReadJournal(journal); }
  host::RegistryStore Registry() const {
    host::RegistryStore store;
    std::string error;
    EXPECT_TRUE(store.Load(device.dir() / "registry.reg", &error)) << error;
    return store;
  }
};

std::string Utf16(const std::u16string& text) {
  std::string bytes = support::Utf16LeWithBom(text).substr(2);
  return bytes.append(2, '\0');
}

std::optional<host::RegValue> Value(const host::RegistryStore& store, host::RegistryStore::Root root,
                            const std::u16string& key, const std::u16string& name) {
  auto found = store.Find(store.root(root), key);
  return found ? store.GetValue(found.get(), name) : std::nullopt;
}

std::string Bytes(const std::optional<host::RegValue>& value) {
  return !value ? "<missing>" : std::string(value->data.begin(), value->data.end());
}

// The events of one kind, in order.
std::vector<JsonObject> Of(const std::vector<JsonObject>& events, const std::string& kind) {
  std::vector<JsonObject> out;
  for (const JsonObject& e : events) {
    if (e.at("event") == kind) out.push_back(e);
  }
  return out;
}

PackageSpec ToolsPackage() {
  PackageSpec spec;
  spec.app_name = "Sample Tools";
  spec.provider = "Brand";
  spec.processor = 2577;
  spec.min_major = 3;
  spec.files = {{"%CE1%\\Sample Tools", "tool.exe", 0, "tool program", 0},
                {"%CE1%\\Sample Tools\\Data", "data.txt", 0, std::string(70000, 'd'), 0},
                {"%CE2%", "sample.dll", 0x80000000u, "shared library", 0}};
  spec.values = {
      {3, "Software\\Sample", "Name", 0x0, cepkg::SzData("Sample \x8a"), 0},
      {3, "Software\\Sample", "Paths", 0x00010000u, cepkg::MultiSzData({"a", "b c"}), 0},
      {3, "Software\\Sample", "Blob", 0x1, std::string("\x01\x02\xff", 3), 0},
      {3, "Software\\Sample", "Count", 0x00010001u, cepkg::DwordData(42), 0},
      {3, "Software\\Sample", "Kept", 0x2, cepkg::SzData("new"), 0},
      {3, "Software\\Sample", "Home", 0x0, cepkg::SzData("%InstallDir%\\Data"), 1},
  };
  spec.links = {{11, "Sample Tools", 1, "tool.exe"}};
  return spec;
}

PackageSpec Theme() {
  PackageSpec spec;
  spec.app_name = "Blue";
  spec.files = {{"%CE2%", "blue_bg.gif", 0, "GIF89a background", 0},
                {"%CE2%", "blue_start.gif", 0, "GIF89a start", 0}};
  spec.values = {{2, "Software\\Microsoft\\Today\\Colors", "Background", 0x00010001u,
                  cepkg::DwordData(0x00336699), 0}};
  return spec;
}

TEST(EmulatedInstaller, InstallsPackagesAndTheThemeAndRefusesWhatDoesNotFit) {
  Image image(
      "[ADDITIONAL_CABS]\ncab0=\"tools.cab\"\ncab1=\"mips.cab\"\ncab2=\"bad.cab\"\n"
      "[skin]\nskin=\"\\Windows\\blue.tsk\"\n"
      "[HOMEPAGE]\nstart.hp=\"\\Windows\\start.htm\"\n",
      "[HKEY_LOCAL_MACHINE\\Software\\Sample]\n\"Kept\"=\"old\"\n\n");
  image.device.Put("Temp/branding/tools.cab", Cab(ToolsPackage(), cepkg::Compression::kMszip));
  PackageSpec mips = ToolsPackage();
  mips.processor = 4000;
  mips.app_name = "Mips Tools";
  image.device.Put("Temp/branding/mips.cab", Cab(mips));
  image.device.Put("Temp/branding/bad.cab", "MSCF but not really a cabinet");
  image.device.Put("Temp/branding/blue.tsk", Cab(Theme()));
  image.device.Put("Temp/branding/start.hp", "<html>");
  image.device.Put("Temp/branding/logo.gif", "GIF89a");

  RunResult r = image.Run();
  ASSERT_EQ(r.status, 0) << r.err;

  // Files, with their folders made, where %CE1% and %CE2% lead.
  EXPECT_EQ(image.device.Get("Program Files/Sample Tools/tool.exe"), "tool program");
  EXPECT_EQ(image.device.Get("Program Files/Sample Tools/Data/data.txt"), std::string(70000, 'd'));
  EXPECT_EQ(image.device.Get("Windows/sample.dll"), "shared library");
  EXPECT_EQ(image.device.Get("Windows/Start Menu/Programs/Sample Tools.lnk"),
            "38#\"\\Program Files\\Sample Tools\\tool.exe\"");
  // The theme's images, and the theme file itself kept (/delete 0).
  EXPECT_EQ(image.device.Get("Windows/blue_bg.gif"), "GIF89a background");
  EXPECT_EQ(image.device.Get("Windows/blue_start.gif"), "GIF89a start");
  EXPECT_TRUE(image.device.Exists("Windows/blue.tsk"));
  // The MIPS package installed nothing, and the rest of the run went on.
  EXPECT_FALSE(image.device.Exists("Program Files/Mips Tools"));
  EXPECT_EQ(image.device.Get("Windows/logo.gif"), "GIF89a");
  EXPECT_EQ(image.device.Get("Windows/start.htm"), "<html>");
  EXPECT_FALSE(image.device.Exists("Temp/branding"));

  using R = host::RegistryStore;
  host::RegistryStore store = image.Registry();
  EXPECT_EQ(Bytes(Value(store, R::kLocalMachine, u"Software\\Sample", u"Name")),
            Utf16(u"Sample \u0160"));  // 0x8a in code page 1250
  std::optional<host::RegValue> paths = Value(store, R::kLocalMachine, u"Software\\Sample", u"Paths");
  ASSERT_TRUE(paths);
  EXPECT_EQ(paths->type, 7u);
  EXPECT_EQ(Bytes(paths), Utf16(u"a") + Utf16(u"b c") + std::string(2, '\0'));
  EXPECT_EQ(Bytes(Value(store, R::kLocalMachine, u"Software\\Sample", u"Blob")),
            std::string("\x01\x02\xff", 3));
  std::optional<host::RegValue> count = Value(store, R::kLocalMachine, u"Software\\Sample", u"Count");
  ASSERT_TRUE(count);
  EXPECT_EQ(count->type, 4u);
  EXPECT_EQ(Bytes(count), std::string("\x2a\0\0\0", 4));
  EXPECT_EQ(Bytes(Value(store, R::kLocalMachine, u"Software\\Sample", u"Kept")), Utf16(u"old"));
  EXPECT_EQ(Bytes(Value(store, R::kLocalMachine, u"Software\\Sample", u"Home")),
            Utf16(u"\\Program Files\\Sample Tools\\Data"));
  EXPECT_EQ(Bytes(Value(store, R::kCurrentUser, u"Software\\Microsoft\\Today\\Colors",
                        u"Background")),
            std::string("\x99\x66\x33\0", 4));
  // The uninstall record for the package, none for the theme (/nouninstall).
  EXPECT_EQ(Bytes(Value(store, R::kLocalMachine, u"SOFTWARE\\Apps\\Brand Sample Tools",
                        u"InstlDir")),
            Utf16(u"\\Program Files\\Sample Tools"));
  EXPECT_EQ(store.Find(store.root(R::kLocalMachine), u"SOFTWARE\\Apps\\Brand Blue"), nullptr);

  // The journal: each package's end with its outcome, every effect tagged
  // with its package, the kept value and the refusals with their reasons.
  std::vector<JsonObject> events = image.Events();
  std::vector<JsonObject> ends = Of(events, "package_end");
  ASSERT_EQ(ends.size(), 4u);
  EXPECT_EQ(ends[0].at("path"), "\\Temp\\Branding\\tools.cab");
  EXPECT_EQ(ends[0].at("ok"), "true");
  EXPECT_EQ(ends[0].at("files"), "3");
  EXPECT_EQ(ends[0].at("values"), "5");
  EXPECT_EQ(ends[0].at("shortcuts"), "1");
  EXPECT_EQ(ends[1].at("ok"), "false");
  EXPECT_NE(ends[1].at("reason").find("built for MIPS R4000 (4000); this device is StrongARM"),
            std::string::npos)
      << ends[1].at("reason");
  EXPECT_EQ(ends[2].at("ok"), "false");
  EXPECT_NE(ends[2].at("reason").find("cabinet"), std::string::npos) << ends[2].at("reason");
  EXPECT_EQ(ends[3].at("path"), "\\Windows\\blue.tsk");
  EXPECT_EQ(ends[3].at("ok"), "true");
  for (const JsonObject& e : Of(events, "install_file")) {
    EXPECT_TRUE(e.count("package")) << "an installed file without its package";
  }
  bool kept = false;
  for (const JsonObject& e : Of(events, "package_skip")) {
    if (e.at("what") == "value" && e.at("reason").find("value kept") != std::string::npos) {
      kept = e.at("package") == "\\Temp\\Branding\\tools.cab";
    }
  }
  EXPECT_TRUE(kept);
  EXPECT_NE(r.out.find("skip value HKEY_LOCAL_MACHINE\\Software\\Sample\\Kept: value kept"),
            std::string::npos)
      << r.out;

  // The theme's effects come before the mapped groups' moves.
  std::size_t theme_end = 0, start_move = 0;
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (events[i].at("event") == "package_end" && events[i].at("path") == "\\Windows\\blue.tsk") {
      theme_end = i;
    }
    if (events[i].at("event") == "move" && events[i].at("to") == "\\Windows\\start.htm") {
      start_move = i;
    }
  }
  EXPECT_LT(theme_end, start_move);
}

// Files per their flags, against what the device already holds.
TEST(EmulatedInstaller, FileFlagsDecideWhatHappensToAnExistingFile) {
  struct Case {
    const char* name;
    std::uint32_t flags;
    const char* existing;   // null: none
    bool existing_newer;    // its date after the package's
    const char* expected;   // null: no file
  } cases[] = {
      {"new file", 0, nullptr, false, "package"},
      {"replaced by default", 0, "device", false, "package"},
      {"never overwrite", cepkg::kFileNeverOverwrite, "device", false, "device"},
      {"only if it exists, absent", cepkg::kFileOnlyIfExists, nullptr, false, nullptr},
      {"only if it exists, present", cepkg::kFileOnlyIfExists, "device", false, "package"},
      {"newer kept", cepkg::kFileNoOverwriteNewer, "device", true, "device"},
      {"older replaced", cepkg::kFileNoOverwriteNewer, "device", false, "package"},
      {"dates ignored", cepkg::kFileNoOverwriteNewer | cepkg::kFileIgnoreDates, "device", true,
       "package"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Image image("[ADDITIONAL_CABS]\ncab0=\"p.cab\"\n");
    PackageSpec spec;
    spec.files = {{"%CE2%", "file.txt", c.flags, "package", 0}};
    image.device.Put("Temp/branding/p.cab", Cab(spec));
    if (c.existing != nullptr) {
      image.device.Put("Windows/file.txt", c.existing);
      // The package's members are dated 2001; the device's file either
      // later (now) or earlier (1990).
      fs::path file = image.device.fs() / "Windows" / "file.txt";
      if (!c.existing_newer) {
        fs::last_write_time(file, fs::last_write_time(file) - std::chrono::hours(24 * 365 * 30));
      }
    }
    RunResult r = image.Run({"--quiet"});
    ASSERT_EQ(r.status, 0) << r.err;
    if (c.expected == nullptr) {
      EXPECT_FALSE(image.device.Exists("Windows/file.txt"));
    } else {
      EXPECT_EQ(image.device.Get("Windows/file.txt"), c.expected);
    }
  }
}

// Packages the installer must refuse whole, each followed by a good one that
// is still installed: nothing of the bad one lands, inside fs/ or out.
TEST(EmulatedInstaller, RefusesHostilePackagesAndGoesOnWithTheNext) {
  auto patch16 = [](std::string bytes, std::size_t at, std::uint16_t v) {
    bytes[at] = static_cast<char>(v & 0xFF);
    bytes[at + 1] = static_cast<char>(v >> 8);
    return bytes;
  };
  PackageSpec base;
  base.app_name = "Bad";
  base.files = {{"%CE2%", "bad.txt", 0, "bad", 0}};
  std::string manifest = cepkg::WriteManifest(base);
  auto with_manifest = [&](const std::string& bytes) {
    std::vector<cepkg::Member> members = cepkg::PackageMembers(base, "BAD");
    members[0].data = bytes;
    return cepkg::WriteCabinet(members, cepkg::Compression::kNone);
  };
  auto members_without = [&](int number) {
    std::vector<cepkg::Member> members = cepkg::PackageMembers(base, "BAD"), kept;
    for (const cepkg::Member& m : members) {
      if (m.name.substr(m.name.size() - 3) != std::string(3 - std::to_string(number).size(), '0') +
                                                    std::to_string(number)) {
        kept.push_back(m);
      }
    }
    return cepkg::WriteCabinet(kept, cepkg::Compression::kNone);
  };
  PackageSpec undefined_folder = base;
  undefined_folder.files[0].dir = "%CE3%\\X";
  PackageSpec escaping = base;
  escaping.files[0].dir = "%CE2%\\..\\..\\..\\outside";
  PackageSpec too_new = base;
  too_new.min_major = 5;
  PackageSpec two_numbers = base;
  std::vector<cepkg::Member> doubled = cepkg::PackageMembers(base, "BAD");
  doubled.push_back({"OTHER.001", "other"});

  struct Case {
    const char* name;
    std::string cab;
    const char* reason;
  } cases[] = {
      {"not a cabinet", "garbage", "cabinet"},
      {"no manifest", members_without(0), "no setup manifest"},
      {"member missing", members_without(1), "missing"},
      {"two members with one number", cepkg::WriteCabinet(doubled, cepkg::Compression::kNone),
       "two members"},
      {"manifest claims 65535 files", with_manifest(patch16(manifest, 52, 65535)), "malformed"},
      {"a newer OS", Cab(too_new), "needs Windows CE 5.0"},
      {"a folder leading out of the device", Cab(escaping), "malformed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Image image("[ADDITIONAL_CABS]\ncab0=\"bad.cab\"\ncab1=\"good.cab\"\n");
    image.device.Put("Temp/branding/bad.cab", c.cab);
    PackageSpec good;
    good.files = {{"%CE2%", "good.txt", 0, "good", 0}};
    image.device.Put("Temp/branding/good.cab", Cab(good));
    RunResult r = image.Run({"--quiet"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(image.device.Exists("Windows/bad.txt"));
    EXPECT_EQ(image.device.Get("Windows/good.txt"), "good");
    std::vector<JsonObject> ends = Of(image.Events(), "package_end");
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_EQ(ends[0].at("ok"), "false");
    EXPECT_NE(ends[0].at("reason").find(c.reason), std::string::npos) << ends[0].at("reason");
    EXPECT_EQ(ends[1].at("ok"), "true");
  }

  // A folder the device does not define refuses the file, not the package.
  Image image("[ADDITIONAL_CABS]\ncab0=\"p.cab\"\n");
  image.device.Put("Temp/branding/p.cab", Cab(undefined_folder));
  ASSERT_EQ(image.Run({"--quiet"}).status, 0);
  std::vector<JsonObject> skips = Of(image.Events(), "package_skip");
  ASSERT_EQ(skips.size(), 1u);
  EXPECT_NE(skips[0].at("reason").find("%CE3% is not defined"), std::string::npos);
}

// A folder of the device that is a link to somewhere outside the image is
// never written through, and the theme's /safe refuses executable code.
TEST(EmulatedInstaller, NeverWritesThroughALinkAndSafeRefusesCode) {
  support::TempDir outside;
  Image image("[ADDITIONAL_CABS]\ncab0=\"p.cab\"\n[skin]\nskin=\"\\Windows\\code.tsk\"\n");
  fs::create_directory_symlink(outside.path(), image.device.fs() / "Program Files");
  PackageSpec spec;
  spec.app_name = "Escape";
  spec.files = {{"%CE1%\\Escape", "x.txt", 0, "x", 0}};
  image.device.Put("Temp/branding/p.cab", Cab(spec));
  PackageSpec code = Theme();
  code.files.push_back({"%CE2%", "hook.dll", 0, "MZ", 0});
  code.setup_dll = "MZ setup";
  image.device.Put("Temp/branding/code.tsk", Cab(code));
  RunResult r = image.Run();
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::is_empty(outside.path()));
  EXPECT_FALSE(image.device.Exists("Windows/hook.dll"));
  EXPECT_FALSE(image.device.Exists("Windows/blue_bg.gif"));
  std::vector<JsonObject> ends = Of(image.Events(), "package_end");
  ASSERT_EQ(ends.size(), 2u);
  EXPECT_NE(ends[1].at("reason").find("refused by /safe"), std::string::npos);
  EXPECT_NE(ends[1].at("reason").find("setup DLL"), std::string::npos);
}

// DIR/device.ini describes another device; a bad one stops the run before
// anything is touched.
TEST(EmulatedInstaller, ChecksPackagesAgainstTheImagesDeviceProfile) {
  Image image("[ADDITIONAL_CABS]\ncab0=\"arm.cab\"\ncab1=\"mips.cab\"\n");
  PackageSpec arm, mips;
  arm.processor = 2577;
  arm.files = {{"%CE2%", "arm.txt", 0, "arm", 0}};
  mips.processor = 4000;
  mips.min_major = 4;
  mips.files = {{"%CE2%", "mips.txt", 0, "mips", 0}};
  image.device.Put("Temp/branding/arm.cab", Cab(arm));
  image.device.Put("Temp/branding/mips.cab", Cab(mips));

  image.device.Put("../device.ini", "; a MIPS handheld\nprocessor=4000\nversion=four\n");
  simtest::Snapshot before = simtest::TakeSnapshot(image.device.dir());
  RunResult bad = image.Run({"--quiet"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("device.ini:3: version"), std::string::npos) << bad.err;
  EXPECT_EQ(simtest::Differences(before, simtest::TakeSnapshot(image.device.dir())), "");

  image.device.Put("../device.ini", "; a MIPS handheld\nprocessor=4000\nversion=4.20\n");
  RunResult r = image.Run({"--quiet"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(image.device.Exists("Windows/arm.txt"));
  EXPECT_EQ(image.device.Get("Windows/mips.txt"), "mips");
  std::vector<JsonObject> events = image.Events();
  EXPECT_NE(events.front().at("device").find("MIPS R4000 (4000), Windows CE 4.20"),
            std::string::npos)
      << events.front().at("device");
}

TEST(BrandsimPackage, ShowsWhatAPackageInstallsAndRefusesAMalformedOne) {
  support::TempDir dir;
  fs::path good = dir.path() / "tools.cab";
  support::WriteBytes(good, Cab(ToolsPackage(), cepkg::Compression::kMszip));
  RunResult text = Brandsim({"package", good.string()}, kTimeout);
  ASSERT_EQ(text.status, 0) << text.err;
  for (const char* shown : {"\"Sample Tools\" from \"Brand\"", "StrongARM (2577)", "fits",
                            "\\Program Files\\Sample Tools\\tool.exe",
                            "HKEY_LOCAL_MACHINE\\Software\\Sample\\Count = dword:0000002a",
                            "(an existing value is kept)",
                            "\\Windows\\Start Menu\\Programs\\Sample Tools.lnk",
                            "setup DLL: none"}) {
    EXPECT_NE(text.out.find(shown), std::string::npos) << shown << "\n" << text.out;
  }
  RunResult json = Brandsim({"package", "--format", "json", good.string()}, kTimeout);
  ASSERT_EQ(json.status, 0) << json.err;
  JsonObject object = support::ParseJsonObject(json.out);
  EXPECT_EQ(object["name"], "Sample Tools");
  EXPECT_EQ(object["fits"], "true");

  fs::path bad = dir.path() / "bad.cab";
  support::WriteBytes(bad, "not a cabinet");
  RunResult refused = Brandsim({"package", bad.string()}, kTimeout);
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("bad.cab"), std::string::npos) << refused.err;
}

}  // namespace
