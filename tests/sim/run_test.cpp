// Whole runs of brandsim: the sample device image, the journal it writes,
// a registry that cannot be written back, and runs killed part-way.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "platform/host/registry_store.h"
#include "sim/sim_helpers.h"
#include "support/json_check.h"
#include "support/support.h"

namespace {

namespace fs = std::filesystem;
using simtest::JsonObject;
using simtest::JsonValue;
using simtest::ParseJsonObject;
using support::Brandsim;
using support::RunResult;

constexpr double kTimeout = 30;

fs::path SampleImage() { return fs::path(BRANDINST_SOURCE_DIR) / "examples" / "device"; }

// Every line of a journal, each checked to be one JSON object with an event.
std::vector<JsonObject> ReadJournal(const fs::path& file) {
  std::vector<JsonObject> events;
  std::vector<std::string> lines = support::ReadLines(file);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    JsonObject object;
    std::string error;
    if (!ParseJsonObject(lines[i], &object, &error)) {
      ADD_FAILURE() << file.string() << ":" << i + 1 << ": " << error << "\n" << lines[i];
      continue;
    }
    auto event = object.find("event");
    if (event == object.end() || event->second.kind != JsonValue::kString) {
      ADD_FAILURE() << file.string() << ":" << i + 1 << ": no \"event\" text\n" << lines[i];
    }
    auto ok = object.find("ok");
    if (ok != object.end() && ok->second.kind != JsonValue::kBool) {
      ADD_FAILURE() << file.string() << ":" << i + 1 << ": \"ok\" is not true or false";
    }
    events.push_back(object);
  }
  return events;
}

std::string Field(const JsonObject& object, const std::string& name) {
  auto found = object.find(name);
  return found == object.end() ? "<missing>" : found->second.text;
}

TEST(JsonCheck, RefusesWhatIsNotOneJsonObjectOfUtf8Text) {
  JsonObject object;
  std::string error;
  EXPECT_TRUE(ParseJsonObject(
      R"( {"event":"reg_set","key":"HKEY_CURRENT_USER\\A \"q\"","n":-1.5e3,"ok":true,)"
      R"("x":[1,{"y":null}],"t":"\u0160\ud83d\ude00\u017e"} )",
      &object, &error))
      << error;
  EXPECT_EQ(object["key"].text, "HKEY_CURRENT_USER\\A \"q\"");
  EXPECT_EQ(object["t"].text, "\xc5\xa0\xf0\x9f\x98\x80\xc5\xbe");
  EXPECT_EQ(object["n"].kind, JsonValue::kNumber);
  EXPECT_EQ(object["ok"].text, "true");

  for (const char* bad : {
           "",
           "[]",
           "\"event\"",
           "{\"event\":\"x\"",
           "{\"event\":\"x\"} {}",
           "{\"event\":x}",
           "{\"event\":\"x\",}",
           "{\"a\":1,\"a\":2}",
           "{\"a\":01}",
           "{\"a\":\"tab\there\"}",
           "{\"a\":\"\\q\"}",
           "{\"a\":\"\\ud800\"}",
           "{\"a\":\"\xe8\"}",
           "{\"a\":\"\xc0\xaf\"}",
           "{\"a\":tru}",
           "{'a':1}",
       }) {
    EXPECT_FALSE(ParseJsonObject(bad, &object, &error)) << bad;
  }
}

TEST(BrandsimSample, RunsOnACopyAndLeavesTheSampleAsItWas) {
  ASSERT_TRUE(fs::is_directory(SampleImage() / "fs"));
  simtest::Snapshot sample_before = simtest::TakeSnapshot(SampleImage());

  support::TempDir scratch;
  fs::path device = scratch.path() / "device";
  fs::path journal = scratch.path() / "journal.jsonl";
  simtest::CopyTree(SampleImage(), device);
  RunResult r = Brandsim(
      {"--device", device.string(), "--answer", "yes", "--journal", journal.string(), "inst"},
      kTimeout);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(simtest::Differences(sample_before, simtest::TakeSnapshot(SampleImage())), "");

  EXPECT_FALSE(r.out.empty()) << "no transcript";
  std::vector<JsonObject> events = ReadJournal(journal);
  ASSERT_FALSE(events.empty());

  // After the run's own event, the consent gate's step came first: its key
  // was present, the question was asked and answered Yes; the run ended
  // asking for a restart, then its summary.
  ASSERT_GE(events.size(), 6u);
  EXPECT_EQ(Field(events[0], "event"), "run");
  EXPECT_EQ(Field(events[1], "event"), "step");
  EXPECT_EQ(Field(events[1], "step"), "consent_gate");
  EXPECT_EQ(Field(events[2], "decision"), "gate_key_present");
  EXPECT_EQ(Field(events[3], "event"), "dialog");
  EXPECT_EQ(Field(events[3], "caption"), "Branding");
  EXPECT_EQ(Field(events[3], "text"),
            "Do you want to install the Example branding on this device?");
  EXPECT_EQ(Field(events[3], "answer"), "6");
  EXPECT_EQ(Field(events[4], "decision"), "consent_given");
  // The transcript is grouped by the steps.
  EXPECT_NE(r.out.find("== packages ([ADDITIONAL_CABS] cab0, cab1, ...)\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\n  decided: cab1: the first missing number ends the list\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(Field(events[events.size() - 2], "event"), "restart");
  EXPECT_EQ(Field(events.back(), "event"), "summary");
  EXPECT_EQ(Field(events.back(), "restart"), "true");

  // The delivery is in place and its staging folder gone.
  fs::path root = device / "fs";
  EXPECT_FALSE(fs::exists(root / "Temp" / "branding"));
  EXPECT_EQ(support::ReadBytes(root / "Windows" / "logo.gif"),
            support::ReadBytes(SampleImage() / "fs/Temp/branding/logo.gif"));
  EXPECT_TRUE(fs::exists(root / "Windows" / "Favorites" / "Home.url"));
  EXPECT_TRUE(fs::exists(root / "Windows" / "Favorites" / "Microsoft.url"));
  EXPECT_TRUE(fs::exists(root / "Windows" / "blue.tsk"));
  EXPECT_TRUE(fs::exists(root / "Windows" / "Start Menu" / "Web" / "start.htm"));
  // The package and the theme, installed by the emulated package installer.
  EXPECT_TRUE(fs::exists(root / "Program Files" / "Example Tools" / "guide.htm"));
  EXPECT_TRUE(fs::exists(root / "Windows" / "Start Menu" / "Programs" / "Example Guide.lnk"));
  EXPECT_TRUE(fs::exists(root / "Windows" / "blue_bg.gif"));

  host::RegistryStore store;
  std::string error;
  ASSERT_TRUE(store.Load(device / "registry.reg", &error)) << error;
  auto machine = store.root(host::RegistryStore::kLocalMachine);
  auto user = store.root(host::RegistryStore::kCurrentUser);
  EXPECT_EQ(store.Find(machine, u"Software\\OldBrand"), nullptr);
  EXPECT_EQ(store.Find(user, u"Software\\Star\u00e1 zna\u010dka"), nullptr);
  EXPECT_NE(store.Find(machine, u"SOFTWARE\\Apps"), nullptr);
  auto brand = store.Find(machine, u"Software\\ExampleBrand");
  ASSERT_NE(brand, nullptr);
  std::optional<host::RegValue> owner = store.GetValue(brand.get(), u"Owner");
  ASSERT_TRUE(owner);
  // Stored in code page 1250 in the script, UTF-16 in the registry.
  std::string owner_bytes = support::Utf16LeWithBom(u"Zna\u010dka s.r.o.").substr(2);
  owner_bytes.append(2, '\0');
  EXPECT_EQ(owner->type, 1u);
  EXPECT_EQ(std::string(owner->data.begin(), owner->data.end()), owner_bytes);
  std::optional<host::RegValue> colors = store.GetValue(brand.get(), u"Colors");
  ASSERT_TRUE(colors);
  EXPECT_EQ(colors->data, (std::vector<std::uint8_t>{0x00, 0x33, 0x66, 0x99, 0xcc, 0xff, 0xff, 0xcc,
                                                     0x99, 0x66, 0x33, 0x00}));
  auto today = store.Find(user, u"Software\\Microsoft\\Today");
  ASSERT_NE(today, nullptr);
  EXPECT_FALSE(store.GetValue(today.get(), u"UseStartImage"));
}

TEST(BrandsimSample, QuietSilencesTheTranscriptOnly) {
  support::TempDir scratch;
  fs::path device = scratch.path() / "device";
  fs::path journal = scratch.path() / "journal.jsonl";
  simtest::CopyTree(SampleImage(), device);
  RunResult r = Brandsim({"--quiet", "--device", device.string(), "--answer", "yes", "--journal",
                          journal.string(), "inst"},
                         kTimeout);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(ReadJournal(journal).empty());
  EXPECT_FALSE(fs::exists(device / "fs" / "Temp" / "branding"));
}

// A run that meets failures says why, in the journal and the transcript, and
// closes with a summary and, with --changes, what it changed. The staged
// read-only file stays because clearing its attributes fails (an injected
// fault), as on a device whose call fails.
TEST(BrandsimRun, FailuresSayWhyAndTheRunEndsWithItsSummaryAndChanges) {
  support::Device device;
  device.SetRegistry(
      "Windows Registry Editor Version 5.00\n\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Kept]\n\"Mode\"=dword:00000001\n\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Old]\n\"A\"=\"1\"\n\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Old\\Sub]\n\n");
  device.Put("Windows/wceload.exe", "placeholder");
  device.Put("Windows/logo.gif", "OLD");
  device.Put("Temp/branding/logo.gif", "GIF89a");
  device.Put("Temp/branding/new.gif", "GIF89a-new");
  device.Put("Temp/branding/locked.txt", "keep me");
  fs::permissions(device.staging() / "locked.txt", fs::perms::owner_write,
                  fs::perm_options::remove);
  const std::string ini =
      "[REG_DEL_KEY]\r\nkey0=\"HKEY_LOCAL_MACHINE\\Software\\Old\"\r\n"
      "key1=\"HKEY_LOCAL_MACHINE\\Software\\Missing\"\r\n\r\n[LENGREBOOT]\r\nreboot=\"1\"\r\n";
  const std::string script =
      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Brand]\r\n\"Name\"=\"Example\"\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Kept]\r\n\"Mode\"=dword:00000002\r\n\r\n";
  device.Put("Temp/branding/brand.ini", ini);
  device.Put("Temp/branding/new.reg", script);

  host::RegistryStore registry;
  std::string error;
  ASSERT_TRUE(registry.Load(device.dir() / "registry.reg", &error)) << error;

  support::TempDir scratch;
  fs::path journal = scratch.path() / "journal.jsonl";
  RunResult r = support::Run({"/usr/bin/env", "BRANDSIM_FAULT=attributes:1:persist", BRANDSIM_PATH,
                              "--device", device.dir().string(), "--answer", "yes", "--journal",
                              journal.string(), "--changes", "inst"},
                             kTimeout);
  ASSERT_EQ(r.status, 0) << r.err;

  // The transcript says why each failure happened.
  for (const char* line : {
           "move \\Temp\\branding\\logo.gif -> \\Windows\\logo.gif: failed (already exists)\n",
           "reg delete key HKEY_LOCAL_MACHINE\\Software\\Missing: failed (no such key)\n",
           "attributes \\Temp\\branding\\locked.txt = 0x00000080: failed (injected fault)\n",
           "delete \\Temp\\branding\\locked.txt: failed (read-only)\n",
           "rmdir \\Temp\\branding: failed (not empty)\n",
       }) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\nnot in\n" << r.out;
  }
  // It ends with the summary, then the changes.
  const std::string ending =
      "restart\n"
      "summary: files placed 1, not placed 1\n"
      "summary: processes started 0, not started 0\n"
      "summary: registry values written 2, not written 0\n"
      "summary: registry values removed 0, not removed 0\n"
      "summary: registry keys removed 1, not removed 1\n"
      "summary: failures 8: already exists 1, no such key 1, injected fault 4, read-only 1, "
      "not empty 1\n"
      "summary: restart requested\n"
      "\n"
      "registry changes:\n"
      "Windows Registry Editor Version 5.00\n"
      "\n"
      "; key added\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Brand]\n"
      "\"Name\"=\"Example\"\n"
      "\n"
      "; key changed\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Kept]\n"
      "; value changed, it was:\n"
      "; \"Mode\"=dword:00000001\n"
      "\"Mode\"=dword:00000002\n"
      "\n"
      "; key removed\n"
      "[-HKEY_LOCAL_MACHINE\\Software\\Old]\n"
      "\n"
      "file changes:\n"
      "\\Temp\\branding\\new.gif -> \\Windows\\new.gif (10 bytes)\n"
      "- \\Temp\\branding\\brand.ini (" +
      std::to_string(ini.size()) +
      " bytes)\n"
      "- \\Temp\\branding\\logo.gif (6 bytes)\n"
      "- \\Temp\\branding\\new.reg (" +
      std::to_string(script.size()) + " bytes)\n";
  ASSERT_GE(r.out.size(), ending.size());
  EXPECT_EQ(r.out.substr(r.out.size() - ending.size()), ending);

  // The registry changes import as they stand: applied to the registry as it
  // was, they give the registry as it is.
  std::size_t from = r.out.find("Windows Registry Editor Version 5.00");
  std::size_t to = r.out.find("file changes:");
  ASSERT_LT(from, to);
  ASSERT_TRUE(registry.Parse(r.out.substr(from, to - from), "changes", &error)) << error;
  host::RegistryStore after;
  ASSERT_TRUE(after.Load(device.dir() / "registry.reg", &error)) << error;
  EXPECT_EQ(registry.Serialize(), after.Serialize());

  // The journal: the run first, the failures with the device's error
  // numbers, the summary last.
  std::vector<JsonObject> events = ReadJournal(journal);
  ASSERT_GE(events.size(), 2u);
  JsonObject& run = events.front();
  EXPECT_EQ(Field(run, "event"), "run");
  EXPECT_NE(Field(run, "version"), "");
  EXPECT_EQ(Field(run, "image"), device.dir().string());
  EXPECT_EQ(Field(run, "command_line"), "inst");
  EXPECT_EQ(Field(run, "answer"), "yes");
  struct Failed {
    const char* event;
    const char* field;
    const char* value;
    const char* error;
    const char* reason;
  };
  for (const Failed& f : {
           Failed{"move", "from", "\\Temp\\branding\\logo.gif", "183", "already exists"},
           Failed{"reg_delete_key", "key", "HKEY_LOCAL_MACHINE\\Software\\Missing", "2",
                  "no such key"},
           Failed{"delete", "path", "\\Temp\\branding\\locked.txt", "5", "read-only"},
           Failed{"rmdir", "path", "\\Temp\\branding", "145", "not empty"},
       }) {
    SCOPED_TRACE(std::string(f.event) + " " + f.value);
    auto found = std::find_if(events.begin(), events.end(), [&](const JsonObject& e) {
      return Field(e, "event") == f.event && Field(e, f.field) == f.value;
    });
    ASSERT_NE(found, events.end());
    EXPECT_EQ(Field(*found, "error"), f.error);
    EXPECT_EQ(Field(*found, "reason"), f.reason);
    EXPECT_EQ(Field(*found, "ok"), "false");
  }
  auto name = std::find_if(events.begin(), events.end(), [](const JsonObject& e) {
    return Field(e, "event") == "reg_set" && Field(e, "name") == "Name";
  });
  ASSERT_NE(name, events.end());
  EXPECT_EQ(Field(*name, "type_name"), "REG_SZ");
  EXPECT_EQ(Field(*name, "text"), "Example");
  EXPECT_EQ(support::ReadLines(journal).back(),
            "{\"event\":\"summary\",\"files_placed\":1,\"files_not_placed\":1,"
            "\"processes_started\":0,\"processes_not_started\":0,\"values_written\":2,"
            "\"values_not_written\":0,\"values_removed\":0,\"values_not_removed\":0,"
            "\"keys_removed\":1,\"keys_not_removed\":1,\"failures\":{\"already exists\":1,"
            "\"no such key\":1,\"injected fault\":4,\"read-only\":1,\"not empty\":1},"
            "\"restart\":true}");
}

// What a script given with --installer can rely on.
TEST(BrandsimRun, TheInstallerGetsTheImageTheCommandLineAndTheDeviceFolder) {
  support::TempDir scratch;
  fs::path device = scratch.path() / "device";
  simtest::CopyTree(SampleImage(), device);
  fs::path calls = scratch.path() / "calls.txt";
  fs::path installer = scratch.path() / "installer.sh";
  simtest::WriteScript(installer,
                       "#!/bin/sh\nprintf '%s|%s|%s|%s|%s\\n' \"$#\" \"$1\" \"$2\" "
                       "\"$(pwd -P)\" \"$BRANDSIM_FS\" >> '" +
                           calls.string() + "'\nexit 3\n");
  RunResult r = Brandsim({"--device", device.string(), "--answer", "yes", "--installer",
                          installer.string(), "--quiet", "inst"},
                         kTimeout);
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines = support::ReadLines(calls);
  ASSERT_EQ(lines.size(), 2u) << support::ReadBytes(calls);
  const std::string folder = fs::canonical(device / "fs").string();
  EXPECT_EQ(lines[0], "2|\\Windows\\wceload.exe|/noui \"\\Temp\\Branding\\extra.cab\"|" + folder +
                          "|" + folder);
  EXPECT_EQ(lines[1],
            "2|\\windows\\wceload.exe|/safe /noui /nouninstall /delete 0 "
            "\"\\Windows\\blue.tsk\"|" +
                folder + "|" + folder);
}

TEST(BrandsimRun, PausesAreRecordedUnlessRealTimeIsAsked) {
  // The sample's run ends with a pause of 2000 ms before the restart.
  // The two runs differ only in the pause, so their difference is the pause
  // whatever else slows this machine down.
  std::chrono::steady_clock::duration elapsed[2];
  for (bool real_time : {false, true}) {
    SCOPED_TRACE(real_time ? "--real-time" : "recorded only");
    support::TempDir scratch;
    fs::path device = scratch.path() / "device";
    simtest::CopyTree(SampleImage(), device);
    std::vector<std::string> args{"--device", device.string(), "--answer",
                                  "yes",      "--quiet",       "inst"};
    if (real_time) args.push_back("--real-time");
    auto started = std::chrono::steady_clock::now();
    RunResult r = Brandsim(args, kTimeout);
    elapsed[real_time] = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(r.status, 0) << r.err;
  }
  EXPECT_GE(elapsed[true], std::chrono::milliseconds(2000));
  EXPECT_GE(elapsed[true] - elapsed[false], std::chrono::milliseconds(1500))
      << "the recorded run took about as long as the real pause";
}

// A registry that cannot be written back at the end is reported, and the run
// fails: the user must not believe the device holds what it does not.
TEST(BrandsimRun, AFailedRegistryWriteGivesStatusOne) {
  support::TempDir scratch;
  fs::path device = scratch.path() / "device";
  simtest::CopyTree(SampleImage(), device);
  // The package installer takes the device folder away while the program runs.
  fs::path installer = scratch.path() / "installer.sh";
  simtest::WriteScript(installer,
                       "#!/bin/sh\nmv '" + device.string() + "' '" + device.string() + ".gone'\n");
  RunResult r = Brandsim({"--device", device.string(), "--answer", "yes", "--installer",
                          installer.string(), "--quiet", "inst"},
                         kTimeout);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("registry"), std::string::npos) << r.err;
  EXPECT_TRUE(fs::exists(scratch.path() / "device.gone"));
}

// The registry file is replaced atomically: a run killed at any moment leaves
// the old file or the new one, whole, and the image stays usable.
TEST(BrandsimRun, AKilledRunLeavesAWholeRegistry) {
  support::TempDir scratch;
  fs::path image = scratch.path() / "image";
  {
    // A registry large enough that writing it takes a while, and a delivery
    // whose packages each take a moment to install.
    support::Device device;
    std::string registry =
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_CLASSES_ROOT\\CLSID\\{F15D7471-D623-11d2-BE64-008048FD5745}]\n\n";
    for (int k = 0; k < 3000; ++k) {
      registry += "[HKEY_LOCAL_MACHINE\\Software\\Bulk\\Key" + std::to_string(k) +
                  "]\n\"Text\"=\"value number " + std::to_string(k) +
                  "\"\n\"Number\"=dword:0000002a\n\n";
    }
    device.SetRegistry(registry);
    device.Put("Windows/wceload.exe", "placeholder");
    std::string ini = "[ADDITIONAL_CABS]\r\n";
    for (int k = 0; k < 6; ++k) ini += "cab" + std::to_string(k) + "=\"p.cab\"\r\n";
    ini += "\r\n[REG_DEL_KEY]\r\nkey0=\"HKEY_LOCAL_MACHINE\\Software\\Bulk\\Key7\"\r\n";
    ini += "\r\n[LENGREBOOT]\r\nreboot=\"1\"\r\n";
    device.Put("Temp/branding/brand.ini", ini);
    device.Put("Temp/branding/p.cab", "package");
    device.Put("Temp/branding/new.reg",
               "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\New]\r\n\"N\"=dword:1\r\n\r\n");
    simtest::CopyTree(device.dir(), image);
  }
  fs::path installer = scratch.path() / "installer.sh";
  simtest::WriteScript(installer, "#!/bin/sh\nsleep 0.02\n");
  const std::string old_registry = simtest::RegistryContent(image / "registry.reg");
  ASSERT_EQ(old_registry.rfind("unloadable", 0), std::string::npos) << old_registry;

  auto run_args = [&](const fs::path& dir) {
    return std::vector<std::string>{"--device",    dir.string(),       "--answer", "yes",
                                    "--installer", installer.string(), "--quiet",  "inst"};
  };

  // An undisturbed run: its duration spaces the kills, its result is "new".
  fs::path reference = scratch.path() / "reference";
  simtest::CopyTree(image, reference);
  auto started = std::chrono::steady_clock::now();
  RunResult full = Brandsim(run_args(reference), kTimeout);
  auto duration = std::chrono::steady_clock::now() - started;
  ASSERT_EQ(full.status, 0) << full.err;
  const std::string new_registry = simtest::RegistryContent(reference / "registry.reg");
  ASSERT_NE(new_registry, old_registry);

  std::random_device seed_source;
  const unsigned seed = seed_source();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> jitter(0.0, 1.0);

  // Half the kills are spread over the run. The other half wait for the
  // first change in the image's folder (only the registry file lives there,
  // beside fs/), that is for the registry's writing to start, and strike a
  // little later each time, so that some land while it is being written.
  constexpr int kSpread = 8;
  constexpr int kAtWrite = 8;
  int killed_before_the_end = 0;
  for (int k = 0; k < kSpread + kAtWrite; ++k) {
    fs::path dir = scratch.path() / ("run" + std::to_string(k));
    simtest::CopyTree(image, dir);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int status = 0;
    std::string when;
    {
      simtest::DirectoryWatch watch(dir);
      simtest::BrandsimProcess run(run_args(dir));
      std::chrono::steady_clock::time_point kill_at;
      if (k < kSpread) {
        auto delay = std::chrono::duration_cast<std::chrono::microseconds>(
            duration * ((k + jitter(random)) / kSpread));
        when = std::to_string(delay.count()) + " us after the start";
        kill_at = std::chrono::steady_clock::now() + delay;
      } else {
        auto offset = std::chrono::microseconds(
            static_cast<long>((1 << (k - kSpread)) * 20 * (0.5 + jitter(random))));
        when = std::to_string(offset.count()) + " us after the registry's writing started";
        kill_at =
            watch.WaitForChange(deadline) ? std::chrono::steady_clock::now() + offset : deadline;
      }
      if (!run.Wait(kill_at, &status)) {
        run.KillGroup();
        ASSERT_TRUE(run.Wait(deadline, &status));
        ++killed_before_the_end;
      }
    }
    SCOPED_TRACE("run " + std::to_string(k) + ", kill aimed at " + when);
    std::string left = simtest::RegistryContent(dir / "registry.reg");
    EXPECT_TRUE(left == old_registry || left == new_registry) << left.substr(0, 300);

    RunResult again =
        Brandsim({"--device", dir.string(), "--answer", "no", "--quiet", "check"}, kTimeout);
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(simtest::RegistryContent(dir / "registry.reg"), left);
  }
  // Most kills must land while the program still runs, or the test proves little.
  EXPECT_GE(killed_before_the_end, (kSpread + kAtWrite) / 4);
}

// The dry run's views beside `dir`.
std::vector<std::string> ViewsBeside(const fs::path& dir) {
  std::vector<std::string> views;
  for (const auto& entry : fs::directory_iterator(dir.parent_path())) {
    std::string name = entry.path().filename().string();
    if (name.rfind(".brandsim-dryrun.", 0) == 0) views.push_back(name);
  }
  return views;
}

// A journal's lines with the run event's image and dry_run fields left out:
// all a dry run's journal may differ in from a real run's.
std::vector<std::string> JournalWithoutImage(const fs::path& file) {
  std::vector<std::string> lines = support::ReadLines(file);
  if (!lines.empty()) {
    std::string& run = lines[0];
    std::size_t image = run.find("\"image\":\"");
    std::size_t end = image == std::string::npos ? image : run.find("\",", image + 9);
    if (end != std::string::npos) run.erase(image, end + 2 - image);
    std::size_t flag = run.find(",\"dry_run\":true");
    if (flag != std::string::npos) run.erase(flag, 15);
  }
  return lines;
}

// The data: URIs of a report, in order: the images it shows.
std::vector<std::string> ImagesOf(const std::string& html) {
  std::vector<std::string> images;
  for (std::size_t at = html.find("data:"); at != std::string::npos;
       at = html.find("data:", at + 1)) {
    images.push_back(html.substr(at, html.find('"', at) - at));
  }
  return images;
}

// Runs the sample, changed by `setup` (given an image's fs/), as a dry run
// and as a real run on another copy made the same way, and checks that the
// dry run gives the real run's transcript, changes, journal and, with
// `report`, the report's images, and leaves its own image as it was: every
// file's bytes and mode, registry.reg's bytes, and no view beside it. The
// dry run's journal.
std::vector<std::string> ExpectDryRunGivesARealRun(
    const std::function<void(const fs::path& fs)>& setup, bool report) {
  support::TempDir scratch;
  fs::path dry = scratch.path() / "dry";
  fs::path real = scratch.path() / "real";
  // Each made afresh: a copy would not keep a hard link.
  for (const fs::path& image : {dry, real}) {
    simtest::CopyTree(SampleImage(), image);
    setup(image / "fs");
  }
  simtest::Snapshot before = simtest::TakeSnapshot(dry);
  std::string registry = support::ReadBytes(dry / "registry.reg");

  auto run = [&](const fs::path& image, const char* name, bool dry_run) {
    std::vector<std::string> args = {"--device", image.string(), "--answer", "yes", "--changes"};
    fs::path out = scratch.path() / name;
    args.insert(args.end(), {"--journal", out.string() + ".jsonl"});
    if (report) args.insert(args.end(), {"--report", out.string() + ".html"});
    args.push_back("inst");
    if (dry_run) args.insert(args.begin(), "--dry-run");
    return Brandsim(args, kTimeout);
  };
  RunResult d = run(dry, "dry", true);
  RunResult r = run(real, "real", false);
  EXPECT_EQ(d.status, r.status) << d.err;
  EXPECT_EQ(d.err, r.err);

  EXPECT_EQ(simtest::Differences(before, simtest::TakeSnapshot(dry)), "");
  EXPECT_EQ(support::ReadBytes(dry / "registry.reg"), registry);
  EXPECT_EQ(ViewsBeside(dry), std::vector<std::string>{});
  // The real run did change its copy, so the comparison below means something.
  EXPECT_NE(simtest::Differences(before, simtest::TakeSnapshot(real)), "");

  EXPECT_EQ(d.out, r.out);
  if (report) {
    std::vector<std::string> images = ImagesOf(support::ReadBytes(scratch.path() / "real.html"));
    EXPECT_FALSE(images.empty());
    EXPECT_EQ(ImagesOf(support::ReadBytes(scratch.path() / "dry.html")), images);
  }
  std::vector<std::string> dry_journal = JournalWithoutImage(scratch.path() / "dry.jsonl");
  EXPECT_EQ(dry_journal, JournalWithoutImage(scratch.path() / "real.jsonl"));
  std::vector<JsonObject> events = ReadJournal(scratch.path() / "dry.jsonl");
  if (!events.empty()) {
    EXPECT_EQ(Field(events[0], "dry_run"), "true");
    EXPECT_EQ(Field(events[0], "image"), dry.string());
  }
  return dry_journal;
}

// The cases reach what a dry run does other than the real one: files read
// in the image behind the view, moved without being touched and then read,
// replaced or refused; names that fold alike across the two; read-only
// files whose attribute the clean-up clears (the change goes to a copy); a
// staged folder emptied and removed; a file that is not the device's, which
// keeps its folder.
TEST(BrandsimDryRun, GivesARealRunsReportAndLeavesTheImageAsItWas) {
  struct Case {
    const char* name;
    std::function<void(const fs::path& fs)> setup;
  };
  auto read_only = [](const fs::path& file) {
    fs::permissions(file, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
  };
  const Case cases[] = {
      {"the sample", [](const fs::path&) {}},
      {"read-only staged files",
       [&](const fs::path& fs) {
         support::WriteBytes(fs / "Temp/branding/notes.txt", "notes");
         for (const char* name : {"logo.gif", "notes.txt"}) read_only(fs / "Temp/branding" / name);
       }},
      {"names that fold alike, and files in the way",
       [&](const fs::path& fs) {
         // Two staged names of one file on the device: the second is refused.
         support::WriteBytes(fs / "Temp/branding/LOGO.GIF", "GIF89a upper");
         // One the image holds in another case.
         support::WriteBytes(fs / "Windows/Banner.GIF", "GIF89a old");
         support::WriteBytes(fs / "Temp/branding/banner.gif", "GIF89a new");
         // Moved into place, then replaced by the theme's file of that name.
         support::WriteBytes(fs / "Temp/branding/blue_bg.gif", "GIF89a staged");
       }},
      {"a staged folder, and a file that is not the device's",
       [&](const fs::path& fs) {
         fs::create_directories(fs / "Temp/branding/sub/deeper");
         support::WriteBytes(fs / "Temp/branding/sub/a.txt", "a");
         support::WriteBytes(fs / "Temp/branding/sub/deeper/b.txt", "b");
         read_only(fs / "Temp/branding/sub/deeper/b.txt");
         // Two names of one file: neither is the device's own, so both stay.
         support::WriteBytes(fs / "Temp/branding/twice.txt", "twice");
         fs::create_hard_link(fs / "Temp/branding/twice.txt", fs / "Temp/branding/sub/also.txt");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> journal = ExpectDryRunGivesARealRun(c.setup, true);
    if (std::string(c.name) != "read-only staged files") continue;
    for (const char* event :
         {"{\"event\":\"move\",\"from\":\"\\\\Temp\\\\branding\\\\logo.gif\",\"to\":"
          "\"\\\\Windows\\\\logo.gif\",\"ok\":true}",
          "{\"event\":\"attributes\",\"path\":\"\\\\Temp\\\\branding\\\\notes.txt\","
          "\"attributes\":128,\"ok\":true}"}) {
      EXPECT_NE(std::find(journal.begin(), journal.end(), event), journal.end()) << event;
    }
  }
}

// Deliveries made at random from a few names in every case, staged and
// already on the device, some read-only, some in a staged folder, some with
// a second hard link: whatever the mix, the dry run is the real run.
TEST(BrandsimDryRun, RandomDeliveriesGiveTheRealRun) {
  const int kDeliveries = 30;
  std::random_device seed_source;
  const unsigned seed = seed_source();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  const char* const kNames[] = {"logo", "LOGO", "Logo", "banner", "BANNER", "home", "Start"};
  const char* const kExtensions[] = {".gif", ".GIF", ".url", ".txt", ".hp", ".ur"};
  const char* const kFolders[] = {"Temp/branding", "Temp/branding", "Temp/branding/sub", "Windows",
                                  "Windows/Favorites"};
  for (int k = 0; k < kDeliveries; ++k) {
    // One draw of choices, replayed for both copies.
    struct File {
      std::string path;
      bool read_only;
      bool linked;
    };
    std::vector<File> files;
    int count = 1 + static_cast<int>(random() % 10);
    for (int i = 0; i < count; ++i) {
      std::string name = std::string(kNames[random() % 7]) + kExtensions[random() % 6];
      files.push_back({std::string(kFolders[random() % 5]) + "/" + name, random() % 4 == 0,
                       random() % 12 == 0});
    }
    SCOPED_TRACE("delivery " + std::to_string(k));
    ExpectDryRunGivesARealRun(
        [&](const fs::path& fs) {
          for (const File& file : files) {
            fs::path path = fs / file.path;
            fs::create_directories(path.parent_path());
            if (fs::exists(path)) continue;
            support::WriteBytes(path, file.path);
            if (file.linked) fs::create_hard_link(path, path.string() + ".also");
            if (file.read_only) {
              fs::permissions(path, fs::perms::owner_write, fs::perm_options::remove);
            }
          }
        },
        false);
    if (testing::Test::HasFailure()) break;
  }
}

// A dry run killed at any moment leaves the image as it was; the view it
// left is removed by the next run on the image.
TEST(BrandsimDryRun, AKilledDryRunLeavesTheImageAsItWas) {
  support::TempDir scratch;
  fs::path image = scratch.path() / "image";
  simtest::CopyTree(SampleImage(), image);
  // Enough staged files that the run takes a while, some read-only.
  for (int k = 0; k < 1500; ++k) {
    fs::path file = image / "fs/Temp/branding" / ("extra" + std::to_string(k) + ".gif");
    support::WriteBytes(file, "GIF89a " + std::to_string(k));
    if (k % 3 == 0) fs::permissions(file, fs::perms::owner_write, fs::perm_options::remove);
    // Read-only files the clean-up finds, so that kills also land among the
    // copies their attribute changes make.
    if (k % 5 == 0) {
      fs::path left = image / "fs/Temp/branding" / ("left" + std::to_string(k) + ".txt");
      support::WriteBytes(left, "notes");
      fs::permissions(left, fs::perms::owner_write, fs::perm_options::remove);
    }
  }
  const simtest::Snapshot before = simtest::TakeSnapshot(image);
  const std::string registry = support::ReadBytes(image / "registry.reg");
  const std::vector<std::string> args = {"--dry-run", "--device", image.string(), "--answer",
                                         "yes",       "--quiet",  "inst"};

  // The shortest of three whole runs: a run slowed by other work on the
  // machine would aim the kills past the end of the ones that follow.
  auto duration = std::chrono::steady_clock::duration::max();
  for (int k = 0; k < 3; ++k) {
    auto started = std::chrono::steady_clock::now();
    RunResult full = Brandsim(args, kTimeout);
    duration = std::min(duration, std::chrono::steady_clock::now() - started);
    ASSERT_EQ(full.status, 0) << full.err;
  }

  std::random_device seed_source;
  const unsigned seed = seed_source();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> jitter(0.0, 1.0);
  constexpr int kKills = 8;
  int killed = 0;
  for (int k = 0; k < kKills; ++k) {
    auto delay = std::chrono::duration_cast<std::chrono::microseconds>(
        duration * ((k + jitter(random)) / kKills));
    SCOPED_TRACE("kill aimed at " + std::to_string(delay.count()) + " us after the start");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int status = 0;
    {
      simtest::BrandsimProcess run(args);
      if (!run.Wait(std::chrono::steady_clock::now() + delay, &status)) {
        run.KillGroup();
        ASSERT_TRUE(run.Wait(deadline, &status));
        ++killed;
      }
    }
    ASSERT_EQ(simtest::Differences(before, simtest::TakeSnapshot(image)), "");
    ASSERT_EQ(support::ReadBytes(image / "registry.reg"), registry);
  }
  EXPECT_GE(killed, kKills / 2);

  // The next dry run removes what the killed ones left, and its own view.
  RunResult again = Brandsim(
      {"--device", image.string(), "--answer", "no", "--quiet", "--dry-run", "check"}, kTimeout);
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(ViewsBeside(image), std::vector<std::string>{});
}

}  // namespace
