// Faults injected through the platform door: whatever operation of the
// device fails, and whenever, the program skips what failed, goes on with
// the next entry, closes every handle and still reaches the restart
// decision. As SQLite's test VFS is driven, a driver moves the failing call
// along, N = 1, 2, 3, ..., until the run no longer reaches it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/scenario.h"
#include "platform/host/host.h"
#include "reliability/reliability.h"
#include "support/support.h"

namespace {

using core_test::Scenario;
using host::Fault;
using host::FaultOp;

struct OpCase {
  const char* name;
  FaultOp op;
};

const OpCase kOps[] = {
    {"any", FaultOp::kAny},
    {"open", FaultOp::kOpen},
    {"read", FaultOp::kRead},
    {"find", FaultOp::kFind},
    {"move", FaultOp::kMove},
    {"delete", FaultOp::kDelete},
    {"attributes", FaultOp::kAttributes},
    {"mkdir", FaultOp::kMakeFolder},
    {"rmdir", FaultOp::kRemoveFolder},
    {"reg_open", FaultOp::kRegOpen},
    {"reg_create", FaultOp::kRegCreate},
    {"reg_set", FaultOp::kRegSet},
    {"reg_query", FaultOp::kRegQuery},
    {"reg_delete", FaultOp::kRegDelete},
    {"reg_flush", FaultOp::kRegFlush},
    {"process", FaultOp::kProcess},
    {"wait", FaultOp::kWait},
};

Fault Make(FaultOp op, unsigned long nth, bool persistent = false) {
  Fault fault;
  fault.op = op;
  fault.nth = nth;
  fault.persistent = persistent;
  return fault;
}

// The `ok` values of one kind of event, in order, joined by blanks.
std::string Oks(const Scenario& s, const std::string& event) {
  std::string out;
  for (const auto& e : s.Events(event)) {
    if (!out.empty()) out += ' ';
    auto ok = e.find("ok");
    out += ok == e.end() ? "?" : ok->second;
  }
  return out;
}

// A delivery that takes every step: packages, the theme, fixed and mapped
// groups (with folders to make), two scripts, the removal list, a marker to
// consume, a restart with its notice, and a sub-folder for the clean-up.
void StageEverything(Scenario& s) {
  s.Registry(
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps]\r\n\"CABInst\"=dword:00000003\r\n\r\n"
      "[HKEY_CURRENT_USER\\Software\\Microsoft\\Today]\r\n\"UseStartImage\"=dword:1\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Old]\r\n\"X\"=dword:1\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Older\\Sub]\r\n\"Y\"=dword:2\r\n\r\n");
  s.Ini(
      "[ADDITIONAL_CABS]\r\ncab0=\"p0.cab\"\r\ncab1=\"p1.cab\"\r\n\r\n"
      "[skin]\r\nskin=\"\\Windows\\theme.tsk\"\r\n\r\n"
      "[HOMEPAGE]\r\na.hp=\"\\Windows\\Web\\A\\a.htm\"\r\nb.hp=\"\\Windows\\Web\\B\\b.htm\"\r\n\r\n"
      "[URLS]\r\nc.ur=\"\\Windows\\Links\\c.url\"\r\n\r\n"
      "[REG_DEL_KEY]\r\nkey0=\"HKEY_LOCAL_MACHINE\\Software\\Old\"\r\n"
      "key1=\"HKEY_LOCAL_MACHINE\\Software\\Older\\Sub\"\r\n\r\n"
      "[LENGREBOOT]\r\nreboot=\"1\"\r\n");
  for (const char* name : {"p0.cab", "p1.cab", "theme.tsk", "a.gif", "b.gif", "f.url", "a.hp",
                           "b.hp", "c.ur"}) {
    s.Stage(name, std::string("bytes of ") + name);
  }
  s.Stage("one.reg",
          "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\One]\r\n\"A\"=\"a\"\r\n\"B\"=dword:2\r\n");
  s.Stage("two.reg", "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Two]\r\n\"C\"=hex:01,02\r\n");
  s.Stage("reboot.msg", support::Utf16LeWithBom(u"Restarting."));
  s.Stage("pkgs/deep/x.cab", "x");
}

// One run with the fault; false once the run no longer reached the fault's
// call. Checks what every run must end with whatever failed.
bool RunWithFault(const Fault& fault, const std::string& label) {
  SCOPED_TRACE(label);
  Scenario s;
  StageEverything(s);
  s.config.fault = fault;
  s.Run();  // fails the test if a handle was left open or the device did not close
  host::FaultCount count = host::FaultResult();
  EXPECT_FALSE(s.events.empty());
  if (!s.events.empty()) {
    EXPECT_EQ(s.events.back().at("event"), "restart") << s.Sequence();
  }
  EXPECT_TRUE(host::RestartRequested());
  // The registry was written whole, whatever failed.
  s.Store();
  return count.failed > 0;
}

TEST(FaultNotation, ReadsOperationCallAndPersistence) {
  Fault fault;
  std::string error;
  ASSERT_TRUE(host::ParseFault("move:3", &fault, &error)) << error;
  EXPECT_EQ(fault.op, FaultOp::kMove);
  EXPECT_EQ(fault.nth, 3u);
  EXPECT_FALSE(fault.persistent);
  ASSERT_TRUE(host::ParseFault("reg_set:1:persist", &fault, &error)) << error;
  EXPECT_EQ(fault.op, FaultOp::kRegSet);
  EXPECT_TRUE(fault.persistent);
  for (const OpCase& op : kOps) {
    ASSERT_TRUE(host::ParseFault(std::string(op.name) + ":7", &fault, &error)) << error;
    EXPECT_EQ(fault.op, op.op) << op.name;
  }
  for (const char* bad : {"", "move", "move:", "move:0", "move:-1", "move:x", "move:1:always",
                          "copy:1", "Move:1", "move:1:persist:x", ":1", "move:12345678901"}) {
    EXPECT_FALSE(host::ParseFault(bad, &fault, &error)) << bad;
    EXPECT_NE(error.find("OP:N"), std::string::npos) << error;
  }
}

// Each operation failing once at a place that the design fixes: the entry
// it belongs to is skipped, the next one is done.
TEST(FaultSkips, AFailedMoveSkipsThatFileOnly) {
  Scenario s;
  for (const char* name : {"a.gif", "b.gif", "c.gif"}) s.Stage(name, name);
  s.config.fault = Make(FaultOp::kMove, 2);
  s.Run();
  EXPECT_EQ(Oks(s, "move"), "true false true");
  EXPECT_TRUE(s.device.Exists("Windows/a.gif"));
  EXPECT_FALSE(s.device.Exists("Windows/b.gif"));
  EXPECT_TRUE(s.device.Exists("Windows/c.gif"));
  EXPECT_EQ(s.events.back().at("event"), "restart");
}

TEST(FaultSkips, APackageThatDoesNotStartIsSkippedAndTheNextOneRuns) {
  Scenario s;
  s.Ini("[ADDITIONAL_CABS]\r\ncab0=\"a.cab\"\r\ncab1=\"b.cab\"\r\n");
  s.Stage("a.cab", "a");
  s.Stage("b.cab", "b");
  s.config.fault = Make(FaultOp::kProcess, 1);
  s.Run();
  EXPECT_EQ(Oks(s, "process"), "false true");
  ASSERT_EQ(s.Events("wait").size(), 1u);
  EXPECT_EQ(s.Events("wait")[0]["command_line"], "/noui \"\\Temp\\Branding\\b.cab\"");
  EXPECT_EQ(s.events.back().at("event"), "restart");
}

TEST(FaultSkips, AFailedWaitStillClosesThePackageHandles) {
  Scenario s;
  s.Ini("[ADDITIONAL_CABS]\r\ncab0=\"a.cab\"\r\ncab1=\"b.cab\"\r\n");
  s.config.fault = Make(FaultOp::kWait, 1);
  s.Run();  // fails if the handles were left open
  EXPECT_EQ(Oks(s, "process"), "true true");
  EXPECT_EQ(s.Events("wait").size(), 1u);
}

TEST(FaultSkips, AValueThatCannotBeWrittenIsSkippedAndTheNextOneIsWritten) {
  Scenario s;
  s.Stage("a.reg",
          "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\A]\r\n\"V1\"=dword:1\r\n\"V2\"=dword:2\r\n"
          "\"V3\"=dword:3\r\n");
  s.config.fault = Make(FaultOp::kRegSet, 2);
  s.Run();
  EXPECT_EQ(Oks(s, "reg_set"), "true false true");
  EXPECT_EQ(s.Value("HKEY_LOCAL_MACHINE\\Software\\A", u"V1"), "01000000");
  EXPECT_EQ(s.Value("HKEY_LOCAL_MACHINE\\Software\\A", u"V2"), "<missing>");
  EXPECT_EQ(s.Value("HKEY_LOCAL_MACHINE\\Software\\A", u"V3"), "03000000");
}

TEST(FaultSkips, AKeyThatCannotBeCreatedLosesItsValuesOnly) {
  Scenario s;
  s.Stage("a.reg",
          "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\A]\r\n\"V\"=dword:1\r\n\r\n"
          "[HKEY_LOCAL_MACHINE\\Software\\B]\r\n\"W\"=dword:2\r\n");
  s.config.fault = Make(FaultOp::kRegCreate, 1);
  s.Run();
  EXPECT_EQ(Oks(s, "reg_create"), "false true");
  EXPECT_FALSE(s.KeyExists("HKEY_LOCAL_MACHINE\\Software\\A"));
  EXPECT_EQ(s.Value("HKEY_LOCAL_MACHINE\\Software\\B", u"W"), "02000000");
}

TEST(FaultSkips, AScriptThatCannotBeReadIsSkippedAndTheNextOneImported) {
  Scenario s;
  // No brand.ini: the first read of the run is the first script's.
  s.Stage("a.reg", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\A]\r\n\"V\"=dword:1\r\n");
  s.Stage("b.reg", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\B]\r\n\"W\"=dword:2\r\n");
  s.config.fault = Make(FaultOp::kRead, 1);
  s.Run();
  EXPECT_FALSE(s.KeyExists("HKEY_LOCAL_MACHINE\\Software\\A"));
  EXPECT_EQ(s.Value("HKEY_LOCAL_MACHINE\\Software\\B", u"W"), "02000000");
}

TEST(FaultSkips, AFolderThatCannotBeMadeSkipsTheFileThatNeedsIt) {
  Scenario s;
  s.Ini("[HOMEPAGE]\r\na.hp=\"\\Windows\\New\\a.htm\"\r\nb.hp=\"\\Windows\\Other\\b.htm\"\r\n");
  s.Stage("a.hp", "a");
  s.Stage("b.hp", "b");
  // The first call makes \Windows, which is there already.
  s.config.fault = Make(FaultOp::kMakeFolder, 2);
  s.Run();
  EXPECT_EQ(Oks(s, "mkdir"), "false false false true");
  EXPECT_EQ(Oks(s, "move"), "false true");
  EXPECT_EQ(s.device.Get("Windows/Other/b.htm"), "b");
}

TEST(FaultSkips, AFailedListingSkipsItsGroupOnly) {
  Scenario s;
  s.Stage("a.gif", "a");
  s.Stage("f.url", "f");
  s.config.fault = Make(FaultOp::kFind, 1);
  s.Run();
  EXPECT_FALSE(s.device.Exists("Windows/a.gif"));
  EXPECT_TRUE(s.device.Exists("Windows/Favorites/f.url"));
}

TEST(FaultSkips, AFileTheCleanUpCannotRemoveStaysAndTheRunGoesOn) {
  Scenario s;
  s.Stage("brand.ini", "[LENGREBOOT]\r\nreboot=\"1\"\r\n");
  s.Stage("z.txt", "z");
  s.config.fault = Make(FaultOp::kDelete, 1);
  s.Run();
  EXPECT_EQ(Oks(s, "delete"), "false true");
  EXPECT_TRUE(s.device.Exists("Temp/branding/brand.ini"));
  EXPECT_FALSE(s.device.Exists("Temp/branding/z.txt"));
  EXPECT_EQ(s.events.back().at("event"), "restart");
}

// A flush that fails loses nothing: the registry is written when the run
// ends, as it is on every run.
TEST(FaultSkips, AFailedFlushStillLeavesTheRegistryWritten) {
  Scenario s;
  s.Stage("a.reg", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\A]\r\n\"V\"=dword:1\r\n");
  s.config.fault = Make(FaultOp::kRegFlush, 1, true);
  s.Run();
  EXPECT_EQ(Oks(s, "reg_flush"), "false false");
  EXPECT_EQ(s.Value("HKEY_LOCAL_MACHINE\\Software\\A", u"V"), "01000000");
}

// The driver: every operation, failing once at each of its calls in turn,
// and failing on every call from the first on.
// Sets TMPDIR for as long as it lives.
class TempFolderIn {
 public:
  explicit TempFolderIn(const std::string& folder) {
    const char* old = std::getenv("TMPDIR");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TMPDIR", folder.c_str(), 1);
  }
  ~TempFolderIn() {
    if (had_) {
      setenv("TMPDIR", old_.c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
  }

 private:
  bool had_ = false;
  std::string old_;
};

TEST(FaultDriver, EveryCallOfEveryOperationFailingStillReachesTheRestart) {
  // Hundreds of runs, each writing registry.reg several times with a sync:
  // their images live in memory when the machine allows.
  reliability::MemoryTempDir memory;
  TempFolderIn in_memory(memory.path().string());
  int runs = 0;
  for (const OpCase& op : kOps) {
    unsigned long n = 1;
    for (; n < 2000; ++n) {
      ++runs;
      if (!RunWithFault(Make(op.op, n), std::string(op.name) + ":" + std::to_string(n))) break;
      if (HasFatalFailure() || HasFailure()) return;
    }
    EXPECT_GT(n, 1u) << op.name << ": the run never reached the operation";
    ++runs;
    RunWithFault(Make(op.op, 1, true), std::string(op.name) + ":1:persist");
    if (HasFailure()) return;
    std::printf("fault driver: %-10s %lu calls in a run\n", op.name, n - 1);
  }
  std::printf("fault driver: %d runs\n", runs);
}

// The same through brandsim's environment, as a user would inject a fault.
TEST(FaultEnvironment, BrandsimTellsEachInjectedFailureAndRefusesAMistypedFault) {
  Scenario s;
  for (const char* name : {"a.gif", "b.gif"}) s.Stage(name, name);
  setenv("BRANDSIM_FAULT", "move:1", 1);
  support::RunResult run = support::Brandsim(
      {"--device", s.device.dir().string(), "--answer", "yes", "--quiet", "inst"}, 30);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("brandsim: injected fault: move call 1 fails"), std::string::npos)
      << run.err;
  EXPECT_FALSE(s.device.Exists("Windows/a.gif"));
  EXPECT_TRUE(s.device.Exists("Windows/b.gif"));

  Scenario t;
  t.Stage("a.gif", "a");
  setenv("BRANDSIM_FAULT", "mvoe:1", 1);
  run = support::Brandsim({"--device", t.device.dir().string(), "--answer", "yes", "inst"}, 30);
  unsetenv("BRANDSIM_FAULT");
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("BRANDSIM_FAULT: fault 'mvoe:1': unknown operation 'mvoe'"),
            std::string::npos)
      << run.err;
  EXPECT_TRUE(t.device.Exists("Temp/branding/a.gif"));
  EXPECT_FALSE(t.device.Exists("Windows/a.gif"));
}

}  // namespace
