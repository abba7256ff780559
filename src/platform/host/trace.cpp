// What the run decided, and why: the words for the steps and decisions that
// the core reports through platform.h.
//
//   {"event":"step","step":"packages"}
//   {"event":"decision","step":"packages","decision":"list_ends","subject":"cab3","value":3,
//    "because":"the first missing number ends the list"}
//   {"event":"decision","step":"packages","decision":"key_missing","section":"ADDITIONAL_CABS",
//    "subject":"cab3","value":0,"because":"the section runs to the end of brand.ini without it"}
//
// and in the transcript
//
//   == packages ([ADDITIONAL_CABS] cab0, cab1, ...)
//     decided: [ADDITIONAL_CABS] cab3 not found: the section runs to the end of brand.ini without it
//     decided: cab3: the first missing number ends the list
//
// The core says which decision it made with which inputs; the words live here
// alone, one row per step and per decision.

#include <cstddef>
#include <iterator>
#include <string>

#include "platform/host/internal.h"

namespace host {

namespace {

struct StepWords {
  platform::StepId id;
  const char* word;     // the journal's "step"
  const char* heading;  // the transcript's heading after "== "
};

constexpr StepWords kSteps[] = {
    {platform::StepId::kConsentGate, "consent_gate",
     "consent gate (HKEY_CLASSES_ROOT\\CLSID\\{F15D7471-D623-11d2-BE64-008048FD5745})"},
    {platform::StepId::kPackages, "packages", "packages ([ADDITIONAL_CABS] cab0, cab1, ...)"},
    {platform::StepId::kFixedGroups, "fixed_groups",
     "fixed groups (*.gif and *.tsk to \\Windows, *.url to \\Windows\\Favorites)"},
    {platform::StepId::kTheme, "theme", "theme ([skin] skin)"},
    {platform::StepId::kMappedGroups, "mapped_groups",
     "mapped groups (*.hp by [HOMEPAGE], *.ur by [URLS])"},
    {platform::StepId::kRegistryScripts, "registry_scripts",
     "registry scripts (\\Temp\\branding\\*.reg)"},
    {platform::StepId::kKeyRemoval, "key_removal", "key removal ([REG_DEL_KEY] key0, key1, ...)"},
    {platform::StepId::kRestartDecision, "restart_decision",
     "restart decision (CABInst, [LENGREBOOT] reboot, consent)"},
    {platform::StepId::kCleanUp, "clean_up", "clean-up (\\Temp\\branding)"},
    {platform::StepId::kRestart, "restart", "restart (the notice, the flush, the pause)"},
};

// How the transcript shows the decision's inputs before its words.
enum class Shows {
  kNothing,  // the words alone
  kSubject,  // "SUBJECT: words"
  kValue,    // "SUBJECT = VALUE: words"
  kLookup,   // "[SECTION] SUBJECT not found: words"
};

struct DecisionWords {
  platform::DecisionId id;
  const char* word;     // the journal's "decision"
  const char* because;  // the journal's "because", and the transcript's words
  Shows shows;
};

constexpr DecisionWords kDecisions[] = {
    {platform::DecisionId::kGateKeyAbsent, "gate_key_absent",
     "the gate key is absent: nobody is asked, the installation goes on", Shows::kNothing},
    {platform::DecisionId::kGateKeyPresent, "gate_key_present",
     "the gate key is present: the user is asked for consent", Shows::kNothing},
    {platform::DecisionId::kConsentGiven, "consent_given",
     "the answer is Yes: the installation goes on", Shows::kNothing},
    {platform::DecisionId::kConsentRefused, "consent_refused",
     "the answer is not Yes: the staging folder is removed and the run ends", Shows::kNothing},
    {platform::DecisionId::kSettingsFileMissing, "settings_file_missing",
     "brand.ini cannot be opened", Shows::kLookup},
    {platform::DecisionId::kSectionMissing, "section_missing", "brand.ini has no such section",
     Shows::kLookup},
    {platform::DecisionId::kSectionEndsBeforeKey, "section_ends_before_key",
     "an empty line or another header ends the section before it", Shows::kLookup},
    {platform::DecisionId::kKeyMissing, "key_missing",
     "the section runs to the end of brand.ini without it", Shows::kLookup},
    {platform::DecisionId::kListEnds, "list_ends", "the first missing number ends the list",
     Shows::kSubject},
    {platform::DecisionId::kPathTooLong, "path_too_long",
     "its path does not fit 256 characters: skipped, never cut", Shows::kSubject},
    {platform::DecisionId::kCommandLineTooLong, "command_line_too_long",
     "the installer's command line does not fit 256 characters: skipped, never cut",
     Shows::kSubject},
    {platform::DecisionId::kNoTheme, "no_theme", "no theme is named: the step does nothing",
     Shows::kNothing},
    {platform::DecisionId::kTodayKeyMissing, "today_key_missing",
     "HKEY_CURRENT_USER has no such key: the theme's values are not set, its installer still "
     "starts",
     Shows::kSubject},
    {platform::DecisionId::kNothingStaged, "nothing_staged", "no staged file matches",
     Shows::kSubject},
    {platform::DecisionId::kNoDestination, "no_destination",
     "no destination entry: the file stays and goes with the clean-up", Shows::kSubject},
    {platform::DecisionId::kScriptUnreadable, "script_unreadable",
     "the script cannot be opened: skipped", Shows::kSubject},
    {platform::DecisionId::kKeyEntryNoBackslash, "key_entry_no_backslash",
     "the entry holds no \\: skipped", Shows::kSubject},
    {platform::DecisionId::kKeyEntryUnknownRoot, "key_entry_unknown_root",
     "the entry starts with no root's name: skipped", Shows::kSubject},
    {platform::DecisionId::kKeyEntryEmptyLeaf, "key_entry_empty_leaf",
     "the entry names no key below its parent: skipped, it would remove the parent or the root",
     Shows::kSubject},
    {platform::DecisionId::kParentKeyMissing, "parent_key_missing",
     "the parent key cannot be opened: nothing is removed", Shows::kSubject},
    {platform::DecisionId::kMarkerAbsent, "marker_absent",
     "the restart marker is not set (0)", Shows::kSubject},
    {platform::DecisionId::kMarkerFound, "marker_found",
     "the restart marker is set; it is removed, it acts once", Shows::kValue},
    {platform::DecisionId::kRebootEntryPresent, "reboot_entry_present",
     "[LENGREBOOT] reboot is present: a restart is asked for", Shows::kNothing},
    {platform::DecisionId::kRebootEntryAbsent, "reboot_entry_absent",
     "[LENGREBOOT] reboot is absent", Shows::kNothing},
    {platform::DecisionId::kUserConfirmed, "user_confirmed", "the user agreed at the gate",
     Shows::kNothing},
    {platform::DecisionId::kUserNotAsked, "user_not_asked", "nobody was asked at the gate",
     Shows::kNothing},
    {platform::DecisionId::kHeldByMarker, "held_by_marker",
     "no restart: the marker is 7; the staging folder is removed", Shows::kNothing},
    {platform::DecisionId::kHeldByConsent, "held_by_consent",
     "no restart: no reboot entry and the user agreed; the staging folder is removed",
     Shows::kNothing},
    {platform::DecisionId::kRestartForRebootEntry, "restart_for_reboot_entry",
     "restart: the reboot entry asks for it and the marker is not 7", Shows::kNothing},
    {platform::DecisionId::kRestartUnconfirmed, "restart_unconfirmed",
     "restart: nobody agreed at the gate and the marker is not 7", Shows::kNothing},
};

const StepWords* FindStep(platform::StepId id) {
  for (const StepWords& step : kSteps) {
    if (step.id == id) return &step;
  }
  return nullptr;
}

const DecisionWords& FindDecision(platform::DecisionId id) {
  for (const DecisionWords& decision : kDecisions) {
    if (decision.id == id) return decision;
  }
  static const DecisionWords kUnknown{id, "unknown", "no words for this decision", Shows::kNothing};
  return kUnknown;
}

void WriteDecision(State& state, platform::DecisionId id, const char16_t* section,
                   const char16_t* subject, std::uint32_t value) {
  const DecisionWords& words = FindDecision(id);
  Event event("decision");
  const StepWords* step = state.step < 0 ? nullptr
                                         : FindStep(static_cast<platform::StepId>(state.step));
  event.Text("step", FromUtf8(step == nullptr ? "none" : step->word));
  event.Text("decision", FromUtf8(words.word));
  if (section != nullptr) event.Text("section", section);
  if (subject != nullptr) event.Text("subject", subject);
  event.Number("value", value);
  event.Text("because", FromUtf8(words.because));

  std::string line = "  decided: ";
  switch (words.shows) {
    case Shows::kNothing:
      break;
    case Shows::kSubject:
      line += Show(View(subject)) + ": ";
      break;
    case Shows::kValue:
      line += Show(View(subject)) + " = " + std::to_string(value) + ": ";
      break;
    case Shows::kLookup:
      line += "[" + Show(View(section)) + "] " + Show(View(subject)) + " not found: ";
      break;
  }
  line += words.because;
  state.journal.Write(event, line);
}

}  // namespace

}  // namespace host

namespace platform {

void Step(StepId step) {
  host::State* state = host::Current();
  if (state == nullptr) return;
  state->step = static_cast<int>(step);
  const host::StepWords* words = host::FindStep(step);
  state->journal.Write(host::Event("step").Text("step", host::FromUtf8(words->word)),
                       std::string("== ") + words->heading);
}

void Decision(DecisionId decision, const char16_t* subject, std::uint32_t value) {
  host::State* state = host::Current();
  if (state == nullptr) return;
  host::WriteDecision(*state, decision, nullptr, subject, value);
}

void SettingMissing(DecisionId why, const char16_t* section, const char16_t* key) {
  host::State* state = host::Current();
  if (state == nullptr) return;
  host::WriteDecision(*state, why, section, key, 0);
}

}  // namespace platform
