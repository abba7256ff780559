// The program's entry, the run order of the installation, and the pieces of
// the driver that more than one step needs.
#pragma once

#include "platform/platform.h"
#include "placement/placement.h"
#include "settings/line_reader.h"
#include "settings/settings.h"

// The consent gate key under HKEY_CLASSES_ROOT, and the key under
// HKEY_LOCAL_MACHINE that holds the restart marker CABInst.
extern const char16_t kGateKey[];
extern const char16_t kAppsKey[];

// The program's entry: `command_line` is the text after the program's name.
// Only "inst" runs the installation; the exit code is 0 on every path.
int Entry(platform::Instance instance, platform::Instance previous_instance,
          const char16_t* command_line, int show);

// The whole run after the command-line test: the consent gate, the steps of
// kRunSteps in their order, and the restart decision.
void RunInstallation(platform::Instance instance);

// The steps between the consent gate and the restart decision, in the order
// the run takes them, with the entries of brand.ini each one asks for, in
// the order it asks.
struct RunStep {
  platform::StepId id;
  void (*run)();
  const SettingAsk* asks[2];  // null after the last
};
constexpr int kRunStepCount = 6;
extern const RunStep kRunSteps[kRunStepCount];
// What the restart decision asks for: only the entry's presence counts.
extern const SettingAsk kRestartAsk;

// The restart marker: CABInst under kAppsKey, a REG_DWORD.
extern const char16_t kRestartMarkerName[];
std::uint32_t RestartMarkerValue(const std::uint8_t bytes[4]);

enum class RestartChoice { kHeldByMarker, kHeldByConsent, kForRebootEntry, kUnconfirmed };
// The restart decision from its inputs: the marker's value (0 when absent),
// whether brand.ini holds the restart entry, whether the user consented.
RestartChoice DecideRestart(std::uint32_t marker, bool requested, bool user_confirmed);

// Fills `buffer` (256 code units, cleared first) from a UTF-16 message file,
// or from string `id` of the program's string table when the file is missing.
void LoadNoticeText(const char16_t* path, unsigned id, char16_t* buffer);
// The message file's part of that, from any source: `buffer` (256 code
// units) cleared, then filled with the first 255 code units, a leading
// byte-order mark dropped.
void ReadNoticeText(ByteSource source, char16_t* buffer);

// Removes the staging folder with everything in it.
void CleanStaging();

// The last step: consumes the restart marker, then either removes the
// staging folder and ends, or tells the user and restarts the device.
void DecideAndRestart(bool user_confirmed);
