// A run explains itself: the steps of the run order, and under each what it
// decided and why, as the journal tells them.
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "driver/driver.h"
#include "scenario.h"

namespace core_test {
namespace {

const std::string kGate = "CLSID\\{F15D7471-D623-11d2-BE64-008048FD5745}";

// The steps in the order they started, joined by blanks.
std::string Steps(const std::vector<JsonObject>& events) {
  std::string out;
  for (const JsonObject& e : events) {
    if (e.at("event") != "step") continue;
    out += (out.empty() ? "" : " ") + e.at("step");
  }
  return out;
}

// Each step's decisions as "decision [section] subject=value", parted by
// ", "; a value of 0 is left out.
std::map<std::string, std::string> Decisions(const std::vector<JsonObject>& events) {
  std::map<std::string, std::string> out;
  for (const JsonObject& e : events) {
    if (e.at("event") != "decision") continue;
    std::string text = e.at("decision");
    if (e.count("section")) text += " [" + e.at("section") + "]";
    if (e.count("subject")) text += " " + e.at("subject");
    if (e.at("value") != "0") text += "=" + e.at("value");
    EXPECT_FALSE(e.at("because").empty()) << text;
    EXPECT_EQ(e.count("ok"), 0u) << text;
    std::string& step = out[e.at("step")];
    step += (step.empty() ? "" : ", ") + text;
  }
  return out;
}

struct Row {
  const char* delivery;
  std::function<void(Scenario&)> deliver;
  std::string steps;
  // The decisions of the steps named; a step left out is not checked.
  std::map<std::string, std::string> decided;
};

const std::string kAllSteps =
    "consent_gate packages fixed_groups theme mapped_groups registry_scripts key_removal "
    "restart_decision clean_up";

TEST(Decisions, EachStepSaysWhatItDecidedAndWhy) {
  const std::string long_cab(242, 'p');  // \Temp\Branding\ + 242 = 257 characters
  const Row rows[] = {
      {"no gate key, nothing staged",
       [](Scenario&) {},
       kAllSteps + " restart",
       {{"consent_gate", "gate_key_absent " + kGate},
        {"packages",
         "settings_file_missing [ADDITIONAL_CABS] cab0, list_ends cab0"},
        {"fixed_groups",
         "nothing_staged \\Temp\\branding\\*.gif, nothing_staged \\Temp\\branding\\*.url, "
         "nothing_staged \\Temp\\branding\\*.tsk"},
        {"theme", "settings_file_missing [skin] skin, no_theme skin"},
        {"restart_decision",
         "marker_absent CABInst, settings_file_missing [LENGREBOOT] reboot, reboot_entry_absent "
         "reboot, user_not_asked, restart_unconfirmed=1"}}},
      {"gate key, answered Yes",
       [](Scenario& s) { s.Registry(kGateKey); },
       kAllSteps,
       {{"consent_gate", "gate_key_present " + kGate + ", consent_given=6"},
        {"restart_decision",
         "marker_absent CABInst, settings_file_missing [LENGREBOOT] reboot, reboot_entry_absent "
         "reboot, user_confirmed=1, held_by_consent"}}},
      {"gate key, answered No",
       [](Scenario& s) {
         s.Registry(kGateKey);
         s.config.answer = platform::kIdNo;
       },
       "consent_gate clean_up",
       {{"consent_gate", "gate_key_present " + kGate + ", consent_refused=7"}}},
      {"a missing cab number ends the list; a blank line ends a section",
       [](Scenario& s) {
         s.Ini("[ADDITIONAL_CABS]\r\ncab0=\"a.cab\"\r\ncab1=\"b.cab\"\r\ncab3=\"never.cab\"\r\n\r\n"
               "[REG_DEL_KEY]\r\nkey0=\"no backslash\"\r\nkey1=\"HKEY_LOCAL_MACHINE\\A\\\"\r\n"
               "key2=\"HKEY_LOCAL_MACHINE\\Gone\\Leaf\"\r\n\r\nkey3=\"HKEY_LOCAL_MACHINE\\B\"\r\n");
       },
       kAllSteps + " restart",
       {{"packages", "section_ends_before_key [ADDITIONAL_CABS] cab2, list_ends cab2=2"},
        {"key_removal",
         "key_entry_no_backslash no backslash, key_entry_empty_leaf HKEY_LOCAL_MACHINE\\A\\, "
         "parent_key_missing Gone, section_ends_before_key [REG_DEL_KEY] key3, "
         "list_ends key3=3"}}},
      {"an oversized package path is skipped, the next one installs",
       [&long_cab](Scenario& s) {
         s.Ini("[ADDITIONAL_CABS]\r\ncab0=\"" + long_cab + "\"\r\ncab1=\"b.cab\"\r\n");
       },
       kAllSteps + " restart",
       {{"packages", "path_too_long " + long_cab + ", key_missing [ADDITIONAL_CABS] cab2, "
                     "list_ends cab2=2"}}},
      {"a mapped file without a destination stays for the clean-up",
       [](Scenario& s) {
         s.Stage("a.hp", "page");
         s.Stage("b.hp", "page");
         s.Ini("[HOMEPAGE]\r\nb.hp=\"\\b.htm\"\r\n");
       },
       kAllSteps + " restart",
       {{"mapped_groups",
         "key_missing [HOMEPAGE] a.hp, no_destination a.hp, nothing_staged "
         "\\Temp\\branding\\*.ur"}}},
      {"a theme without the Today key; a script that cannot be opened",
       [](Scenario& s) {
         s.Ini("[skin]\r\nskin=\"\\Windows\\t.tsk\"\r\n");
         s.Stage("folder.reg/inside.txt", "a folder, not a script");
       },
       kAllSteps + " restart",
       {{"theme", "today_key_missing Software\\Microsoft\\Today"},
        {"registry_scripts", "script_unreadable \\Temp\\branding\\folder.reg"}}},
      {"CABInst 7 holds the restart the reboot entry asks for",
       [](Scenario& s) {
         s.Registry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps]\r\n\"CABInst\"=dword:00000007\r\n\r\n");
         s.Ini("[LENGREBOOT]\r\nreboot=\"1\"\r\n");
       },
       kAllSteps,
       {{"restart_decision",
         "marker_found CABInst=7, reboot_entry_present reboot=1, user_not_asked, held_by_marker"}}},
      {"no reboot entry, nobody asked: the device restarts",
       [](Scenario& s) {
         s.Registry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps]\r\n\"CABInst\"=dword:00000003\r\n\r\n");
         s.Ini("[LENGREBOOT]\r\nother=\"1\"\r\n");
       },
       kAllSteps + " restart",
       {{"restart_decision",
         "marker_found CABInst=3, key_missing [LENGREBOOT] reboot, reboot_entry_absent reboot, "
         "user_not_asked, restart_unconfirmed=1"}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.delivery);
    Scenario s;
    row.deliver(s);
    s.Run();
    EXPECT_EQ(Steps(s.events), row.steps);
    std::map<std::string, std::string> decided = Decisions(s.events);
    for (const auto& [step, expected] : row.decided) EXPECT_EQ(decided[step], expected) << step;
  }
}

// The linter knows what the device will look up from kRunSteps alone. With a
// brand.ini that answers nothing, every lookup the run makes shows in the
// journal as a miss, so the run's own lookups can be held against the table.
TEST(Decisions, TheRunLooksUpWhatItsStepsDeclareInTheirOrder) {
  Scenario s;
  s.Ini("[elsewhere]\r\nx=\"1\"\r\n");
  s.Stage("one.hp", "h");
  s.Stage("two.ur", "u");
  s.Run();
  std::vector<std::string> asked;
  for (const JsonObject& e : s.Events("decision")) {
    if (e.at("decision") == "section_missing") asked.push_back(e.at("section") + " " + e.at("subject"));
  }
  std::vector<std::string> declared;
  auto declare = [&](const SettingAsk& ask) {
    std::string section = support::ToUtf8(ask.section);
    switch (ask.kind) {
      case AskKind::kKey:
        declared.push_back(section + " " + support::ToUtf8(ask.key));
        break;
      case AskKind::kNumbered:  // the list ends at its first key
        declared.push_back(section + " " + support::ToUtf8(ask.key) + "0");
        break;
      case AskKind::kStagedName:
        declared.push_back(section + (section == "HOMEPAGE" ? " one.hp" : " two.ur"));
        break;
    }
  };
  for (const RunStep& step : kRunSteps) {
    for (const SettingAsk* ask : step.asks) {
      if (ask != nullptr) declare(*ask);
    }
  }
  declare(kRestartAsk);
  EXPECT_EQ(asked, declared);
}

}  // namespace
}  // namespace core_test
