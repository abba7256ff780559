// brandsim's command line as a user scripts it: help and version, usage
// errors, unusable device images, and command lines that do not install.
// Each refusal must leave the device image exactly as it was.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "sim/sim_helpers.h"
#include "support/support.h"

namespace {

using simtest::Differences;
using simtest::TakeSnapshot;
using support::Brandsim;
using support::Device;
using support::RunResult;

constexpr double kTimeout = 30;

const char* const kGateRegistry =
    "Windows Registry Editor Version 5.00\n\n"
    "[HKEY_CLASSES_ROOT\\CLSID\\{F15D7471-D623-11d2-BE64-008048FD5745}]\n\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Kept]\n"
    "\"Name\"=\"value\"\n\n";

// A device with the consent gate key and a delivery staged: anything that
// runs the installation changes it visibly.
void StageDelivery(const Device& device) {
  device.SetRegistry(kGateRegistry);
  device.Put("Windows/wceload.exe", "placeholder");
  device.Put("Temp/branding/brand.ini", "[LENGREBOOT]\r\nreboot=\"1\"\r\n");
  device.Put("Temp/branding/logo.gif", "GIF89a");
  device.Put("Temp/branding/add.reg",
             "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Added]\r\n\"N\"=\"x\"\r\n\r\n");
}

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

TEST(BrandsimCommandLine, HelpDescribesEveryOptionTheImageAndTheExitStatuses) {
  RunResult r = Brandsim({"--help"}, kTimeout);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  for (const char* word :
       {"--device", "--answer", "--installer", "--journal", "--real-time", "--quiet", "--changes", "--report",
        "--help", "--version", "yes|no", "DIR/fs", "registry.reg", "\"reason\"", "summary",
        "JSON Lines", "\"event\"", "\"ok\"", "Exit status", "BRANDSIM_FS"}) {
    EXPECT_NE(r.out.find(word), std::string::npos) << "--help does not mention " << word;
  }
  for (const char* event :
       {"dialog", "process", "wait", "record", "move", "delete", "rmdir", "mkdir", "reg_create",
        "attributes", "reg_set", "reg_delete_value", "reg_delete_key", "sleep", "restart"}) {
    EXPECT_NE(r.out.find(event), std::string::npos) << "--help does not name the event " << event;
  }
  // Every exit status is explained on a line of its own.
  for (const char* status : {"\n  0  ", "\n  1  ", "\n  2  "}) {
    EXPECT_NE(r.out.find(status), std::string::npos);
  }
  std::string usage = r.out.substr(0, r.out.find("\n\n"));
  EXPECT_NE(
      usage.find(
          "brandsim lint [--format text|json|sarif] [--fail-on error|warning]\n"
          "                     [--disable CODES] [--config FILE] [--device DIR] DELIVERY_DIR"),
      std::string::npos)
      << usage;
}

TEST(BrandsimCommandLine, HelpAndVersionWinOverTheRestOfTheLine) {
  RunResult version = Brandsim({"--version"}, kTimeout);
  ASSERT_EQ(version.status, 0) << version.err;
  EXPECT_TRUE(std::regex_match(version.out, std::regex("brandsim [0-9]+\\.[0-9]+\\.[0-9]+\n")))
      << version.out;

  Device device;
  StageDelivery(device);
  simtest::Snapshot before = TakeSnapshot(device.dir());
  RunResult help =
      Brandsim({"--device", device.dir().string(), "--answer", "yes", "inst", "--help"}, kTimeout);
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Usage: brandsim"), std::string::npos);
  EXPECT_EQ(Differences(before, TakeSnapshot(device.dir())), "");
}

struct UsageCase {
  const char* name;
  std::vector<std::string> args;  // "DIR" stands for the device folder
  const char* named;              // what the message must name
};

TEST(BrandsimCommandLine, UsageErrorsGiveStatusTwoAndTouchNothing) {
  const UsageCase cases[] = {
      {"unknown long option", {"--device", "DIR", "--bogus", "inst"}, "--bogus"},
      {"unknown short option", {"--device", "DIR", "-x", "inst"}, "-x"},
      {"no --device", {"--answer", "yes", "inst"}, "--device"},
      {"bad --answer value", {"--device", "DIR", "--answer", "maybe", "inst"}, "--answer"},
      {"--answer in upper case", {"--device", "DIR", "--answer=YES", "inst"}, "--answer"},
      {"--answer without its value", {"--device", "DIR", "inst", "--answer"}, "--answer"},
      {"--device without its value", {"inst", "--device"}, "--device"},
      {"--installer without its value", {"--device", "DIR", "inst", "--installer"}, "--installer"},
      {"--journal without its value", {"--device", "DIR", "--journal"}, "--journal"},
      {"a flag given a value", {"--device", "DIR", "--quiet=1", "inst"}, "--quiet"},
      {"a word that is not UTF-8", {"--device", "DIR", "in\xffst"}, "UTF-8"},
      {"a mistyped option", {"--device", "DIR", "--answr", "yes", "inst"},
       "unknown option '--answr'; did you mean '--answer'?"},
      {"a mistyped command", {"lnit", "DIR"}, "unknown command 'lnit'; did you mean 'lint'?"},
      {"a mistyped command and its option", {"pakage", "--format", "json", "DIR"},
       "did you mean 'package'?"},
  };
  for (const UsageCase& c : cases) {
    SCOPED_TRACE(c.name);
    Device device;
    StageDelivery(device);
    support::TempDir elsewhere;
    std::string journal = (elsewhere.path() / "journal.jsonl").string();
    std::vector<std::string> args{"--journal", journal};
    for (const std::string& a : c.args) args.push_back(a == "DIR" ? device.dir().string() : a);
    if (args.back() == "--journal") args.erase(args.begin(), args.begin() + 2);

    simtest::Snapshot before = TakeSnapshot(device.dir());
    RunResult r = Brandsim(args, kTimeout);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(FirstLine(r.err).rfind("brandsim: ", 0), 0u) << r.err;
    EXPECT_NE(FirstLine(r.err).find(c.named), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--help"), std::string::npos) << r.err;
    EXPECT_EQ(Differences(before, TakeSnapshot(device.dir())), "");
    EXPECT_FALSE(support::fs::exists(journal));
  }
}

TEST(BrandsimCommandLine, EachCommandTakesDashHAndVersionAndLintListsItsCodes) {
  RunResult version = Brandsim({"--version"}, kTimeout);
  ASSERT_EQ(version.status, 0);
  std::string number = version.out.substr(std::string("brandsim ").size());
  const struct {
    std::vector<std::string> args;
    std::string starts;
  } cases[] = {
      {{"-h"}, "Usage: brandsim --device DIR"},
      {{"lint", "-h"}, "usage: brandsim lint"},
      {{"package", "-h"}, "Usage: brandsim package"},
      {{"lint", "--version"}, "brandsim lint " + number},
      {{"package", "--version"}, "brandsim package " + number},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    RunResult r = Brandsim(c.args, kTimeout);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind(c.starts, 0), 0u) << r.out;
  }
  RunResult lint_help = Brandsim({"lint", "--help"}, kTimeout);
  EXPECT_NE(lint_help.out.find("brandsim-delivery(5)"), std::string::npos) << lint_help.out;

  RunResult codes = Brandsim({"lint", "--list-codes"}, kTimeout);
  ASSERT_EQ(codes.status, 0) << codes.err;
  EXPECT_TRUE(std::regex_match(codes.out, std::regex("([a-z]+(-[a-z0-9]+)+\n){50,}"))) << codes.out;
  EXPECT_NE(codes.out.find("\nreg-typed-hex\n"), std::string::npos);

  RunResult mistyped = Brandsim({"lint", "--fromat=json", "x"}, kTimeout);
  EXPECT_EQ(mistyped.status, 2);
  EXPECT_NE(mistyped.err.find("did you mean '--format'?"), std::string::npos) << mistyped.err;
}

struct ImageCase {
  const char* name;
  void (*prepare)(const Device&);
  const char* named;  // what the message must name
};

TEST(BrandsimCommandLine, UnusableImagesGiveStatusTwoNameTheFileAndTouchNothing) {
  const ImageCase cases[] = {
      {"no fs folder", [](const Device& d) { support::fs::remove_all(d.fs()); }, "fs"},
      {"registry.reg without its header",
       [](const Device& d) {
         d.SetRegistry("this is not a registry\n\n[HKEY_LOCAL_MACHINE\\Software\\A]\n\n");
       },
       "registry.reg:1"},
      {"registry.reg with a broken value line",
       [](const Device& d) {
         d.SetRegistry(
             "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\A]\n"
             "\"N\"=nonsense\n\n");
       },
       "registry.reg:4"},
      {"registry.reg with an unknown root",
       [](const Device& d) {
         d.SetRegistry(
             "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\A]\n\n"
             "[HKEY_NOWHERE\\Software\\B]\n\n");
       },
       "registry.reg:5"},
  };
  for (const ImageCase& c : cases) {
    SCOPED_TRACE(c.name);
    Device device;
    StageDelivery(device);
    c.prepare(device);
    support::TempDir elsewhere;
    std::string journal = (elsewhere.path() / "journal.jsonl").string();

    simtest::Snapshot before = TakeSnapshot(device.dir());
    RunResult r = Brandsim(
        {"--device", device.dir().string(), "--answer", "yes", "--journal", journal, "inst"},
        kTimeout);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(c.named), std::string::npos) << r.err;
    EXPECT_EQ(Differences(before, TakeSnapshot(device.dir())), "");
    EXPECT_FALSE(support::fs::exists(journal));
  }
}

TEST(BrandsimCommandLine, MissingDeviceFolderAndUncreatableJournalGiveStatusTwo) {
  support::TempDir elsewhere;
  RunResult missing = Brandsim(
      {"--device", (elsewhere.path() / "nowhere").string(), "--answer", "yes", "inst"}, kTimeout);
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("nowhere"), std::string::npos) << missing.err;
  EXPECT_FALSE(support::fs::exists(elsewhere.path() / "nowhere"));

  Device device;
  StageDelivery(device);
  simtest::Snapshot before = TakeSnapshot(device.dir());
  std::string journal = (elsewhere.path() / "no-such-folder" / "journal.jsonl").string();
  RunResult r =
      Brandsim({"--device", device.dir().string(), "--answer", "yes", "--journal", journal, "inst"},
               kTimeout);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("journal.jsonl"), std::string::npos) << r.err;
  EXPECT_EQ(Differences(before, TakeSnapshot(device.dir())), "");
}

// Only the exact command line `inst` installs; anything else ends before the
// consent gate, so not even a missing --answer matters. brandsim says so, and
// the journal holds the run and its empty summary.
TEST(BrandsimCommandLine, CommandLinesOtherThanInstEndAtOnceSayWhyAndTouchNothing) {
  const std::vector<std::vector<std::string>> word_lists = {
      {},  // the empty command line
      {"unin"},
      {"Inst"},
      {"INST"},
      {"", "inst"},  // " inst"
      {"inst", ""},  // "inst "
      {"inst", "now"},
      {"in", "st"},
      {"--", "-inst"},
      {"--", "--answer", "yes"},
      {"\xc3\xadnst"},  // "ínst"
  };
  for (const auto& words : word_lists) {
    std::string shown;
    for (const std::string& w : words) shown += "[" + w + "]";
    SCOPED_TRACE("words " + shown);
    Device device;
    StageDelivery(device);
    support::TempDir elsewhere;
    support::fs::path journal = elsewhere.path() / "journal.jsonl";
    simtest::Snapshot fs_before = TakeSnapshot(device.fs());
    std::string registry_before = simtest::RegistryContent(device.dir() / "registry.reg");

    std::vector<std::string> args{"--device", device.dir().string(), "--journal", journal.string()};
    args.insert(args.end(), words.begin(), words.end());
    RunResult r = Brandsim(args, kTimeout);
    EXPECT_EQ(r.status, 0) << r.err;
    // The program's command line: the words after a leading "--", joined.
    std::string joined;
    std::size_t first = !words.empty() && words[0] == "--" ? 1 : 0;
    for (std::size_t k = first; k < words.size(); ++k) joined += (k > first ? " " : "") + words[k];
    EXPECT_EQ(r.err,
              "brandsim: the program ended at once: it installs only when its command line is "
              "\"inst\", and it was " +
                  (joined.empty() ? std::string("empty") : "\"" + joined + "\"") + "\n");
    EXPECT_EQ(Differences(fs_before, TakeSnapshot(device.fs())), "");
    EXPECT_EQ(simtest::RegistryContent(device.dir() / "registry.reg"), registry_before);
    std::vector<support::JsonObject> events = support::ReadJournal(journal);
    ASSERT_EQ(events.size(), 2u) << support::ReadBytes(journal);
    EXPECT_EQ(events[0]["event"], "run");
    EXPECT_EQ(events[0]["command_line"], joined);
    EXPECT_EQ(events[1]["event"], "summary");
    EXPECT_EQ(events[1]["files_placed"], "0");
    EXPECT_EQ(events[1]["restart"], "false");
  }
}

TEST(BrandsimCommandLine, WordsAndOptionsMayComeInAnyOrderAndDoubleDashEndsTheOptions) {
  const std::vector<std::vector<std::string>> lines = {
      {"--answer", "no", "inst"},
      {"inst", "--answer", "no"},
      {"--answer=no", "--", "inst"},
  };
  for (const auto& line : lines) {
    Device device;
    StageDelivery(device);
    std::vector<std::string> args{"--device=" + device.dir().string(), "--quiet"};
    args.insert(args.end(), line.begin(), line.end());
    RunResult r = Brandsim(args, kTimeout);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    // The installation ran and was refused: the staging folder is gone.
    EXPECT_FALSE(device.Exists("Temp/branding")) << args[2];
  }
}

TEST(BrandsimConsent, WithoutAnswerOrTerminalTheRunStopsBeforeTouchingAnything) {
  Device device;
  StageDelivery(device);
  support::TempDir elsewhere;
  std::string journal = (elsewhere.path() / "journal.jsonl").string();
  simtest::Snapshot before = TakeSnapshot(device.dir());
  RunResult r =
      Brandsim({"--device", device.dir().string(), "--journal", journal, "inst"}, kTimeout);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("--answer"), std::string::npos) << r.err;
  EXPECT_EQ(Differences(before, TakeSnapshot(device.dir())), "");
}

// Without --answer, a terminal on standard input is where the question goes.
TEST(BrandsimConsent, WithoutAnswerTheQuestionIsAskedOnTheTerminal) {
  struct Case {
    const char* typed;
    int status;
    int answer;  // in the journal's dialog event; 0: no dialog recorded
  };
  const Case cases[] = {
      {"yes\n", 0, 6}, {"n\n", 0, 7}, {"\x04", 2, 0},  // the end of input: nobody answered
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    Device device;
    StageDelivery(device);
    support::TempDir elsewhere;
    support::fs::path journal = elsewhere.path() / "journal.jsonl";
    int status = simtest::RunOnTerminal(
        {"--device", device.dir().string(), "--journal", journal.string(), "inst"}, c.typed,
        std::chrono::seconds(30));
    EXPECT_EQ(status, c.status);
    // The run's own event comes first, then the consent gate's step and its
    // decision to ask.
    std::vector<std::string> lines = support::ReadLines(journal);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind("{\"event\":\"run\"", 0), 0u) << lines[0];
    EXPECT_NE(lines[1].find("\"step\":\"consent_gate\""), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("\"decision\":\"gate_key_present\""), std::string::npos) << lines[2];
    if (c.answer == 0) {
      EXPECT_EQ(lines.size(), 3u);
      EXPECT_TRUE(device.Exists("Temp/branding/brand.ini"));
    } else {
      ASSERT_GE(lines.size(), 4u);
      EXPECT_NE(lines[3].find("\"event\":\"dialog\""), std::string::npos) << lines[3];
      EXPECT_NE(lines[3].find("\"answer\":" + std::to_string(c.answer)), std::string::npos)
          << lines[3];
    }
  }
}

TEST(BrandsimConsent, NoAnswerIsNeededWhenTheDeviceDoesNotAsk) {
  Device device;
  StageDelivery(device);
  device.SetRegistry("Windows Registry Editor Version 5.00\n\n");
  RunResult r = Brandsim({"--device", device.dir().string(), "--quiet", "inst"}, kTimeout);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(device.Exists("Temp/branding"));
  EXPECT_TRUE(device.Exists("Windows/logo.gif"));
}

TEST(BrandsimConsent, AnswerNoRemovesTheDeliveryAndChangesNothingElse) {
  Device device;
  StageDelivery(device);
  simtest::Snapshot before = TakeSnapshot(device.fs());
  std::string registry_before = simtest::RegistryContent(device.dir() / "registry.reg");

  RunResult r =
      Brandsim({"--device", device.dir().string(), "--answer", "no", "--quiet", "inst"}, kTimeout);
  EXPECT_EQ(r.status, 0) << r.err;
  simtest::Snapshot expected = before;
  for (auto it = expected.begin(); it != expected.end();) {
    it = it->first.rfind("Temp/branding", 0) == 0 ? expected.erase(it) : std::next(it);
  }
  EXPECT_EQ(Differences(expected, TakeSnapshot(device.fs())), "");
  EXPECT_EQ(simtest::RegistryContent(device.dir() / "registry.reg"), registry_before);

  // The same device answered Yes is installed.
  Device yes;
  StageDelivery(yes);
  RunResult r2 =
      Brandsim({"--device", yes.dir().string(), "--answer", "yes", "--quiet", "inst"}, kTimeout);
  EXPECT_EQ(r2.status, 0) << r2.err;
  EXPECT_TRUE(yes.Exists("Windows/logo.gif"));
  EXPECT_NE(simtest::RegistryContent(yes.dir() / "registry.reg").find("Software\\Added"),
            std::string::npos);
}

}  // namespace
