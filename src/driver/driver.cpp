#include "driver/driver.h"

#include "packages/packages.h"
#include "placement/placement.h"
#include "platform/text.h"
#include "registry/key_list.h"
#include "registry/script.h"
#include "settings/line_reader.h"
#include "settings/settings.h"

const char16_t kGateKey[] = u"CLSID\\{F15D7471-D623-11d2-BE64-008048FD5745}";
const char16_t kAppsKey[] = u"SOFTWARE\\Apps";
const char16_t kRestartMarkerName[] = u"CABInst";
const SettingAsk kRestartAsk = {u"LENGREBOOT", u"reboot", AskKind::kKey};

const RunStep kRunSteps[kRunStepCount] = {
    {platform::StepId::kPackages, InstallPackages, {&kPackageAsk, nullptr}},
    {platform::StepId::kFixedGroups, PlaceFixedGroups, {nullptr, nullptr}},
    {platform::StepId::kTheme, ApplyThemeSetting, {&kThemeAsk, nullptr}},
    {platform::StepId::kMappedGroups, PlaceMappedGroups,
     {&kMappedGroups[0].ask, &kMappedGroups[1].ask}},
    {platform::StepId::kRegistryScripts, ImportRegistryScripts, {nullptr, nullptr}},
    {platform::StepId::kKeyRemoval, DeleteListedKeys, {&kRemovalAsk, nullptr}},
};

namespace {

const char16_t kStagingFolder[] = u"\\Temp\\branding";
const char16_t kConsentMessage[] = u"\\Temp\\branding\\inst.msg";
const char16_t kRestartMessage[] = u"\\Temp\\branding\\reboot.msg";

constexpr unsigned kRestartNoticeId = 1;
constexpr unsigned kConsentQuestionId = 2;
constexpr std::uint32_t kRestartMarkerHolds = 7;
constexpr std::uint32_t kRestartPauseMs = 2000;

// Kept from the entry for the string table.
platform::Instance g_instance;

// Room for any path the device can hold and the "\*.*" that lists it: a
// name the platform holds is never left behind for want of buffer, so the
// staging folder goes.
constexpr int kCleanUpPathCapacity = platform::kMaxPath + 4;

// Empties the folder whose path is in `path` (a kCleanUpPathCapacity buffer
// that each level extends and gives back). One FindData serves every level:
// a level reads the entry's name before it descends, and the enumeration
// refills it afterwards.
void RemoveFolderContents(char16_t* path, platform::FindData* found) {
  std::size_t length = wtext::Length(path, kCleanUpPathCapacity);
  if (!wtext::Append(path, kCleanUpPathCapacity, u"\\*.*")) {
    path[length] = 0;
    return;
  }
  platform::Handle find = platform::FindFirstFileW(path, found);
  path[length] = 0;
  if (find == platform::kInvalidHandleValue) return;
  do {
    path[length] = 0;
    // An entry whose path is longer than the device's paths cannot be
    // named: it stays, and so does its folder.
    if (!wtext::Append(path, kCleanUpPathCapacity, u"\\") ||
        !wtext::Append(path, kCleanUpPathCapacity, found->cFileName) ||
        wtext::Length(path, kCleanUpPathCapacity) >= static_cast<std::size_t>(platform::kMaxPath)) {
      platform::Decision(platform::DecisionId::kPathTooLong, found->cFileName, 0);
      continue;
    }
    platform::SetFileAttributesW(path, platform::kFileAttributeNormal);
    bool folder = (found->dwFileAttributes & platform::kFileAttributeDirectory) != 0 &&
                  (found->dwFileAttributes & platform::kFileAttributeReparsePoint) == 0;
    if (folder) {
      RemoveFolderContents(path, found);
      platform::RemoveDirectoryW(path);
    } else {
      // A link is removed itself, never followed.
      platform::DeleteFileW(path);
    }
  } while (platform::FindNextFileW(find, found));
  path[length] = 0;
  platform::FindClose(find);
}

}  // namespace

void LoadNoticeText(const char16_t* path, unsigned id, char16_t* buffer) {
  wtext::Clear(buffer, kLineCapacity * sizeof(char16_t));
  platform::Handle file =
      platform::CreateFileW(path, platform::kGenericRead, platform::kFileShareRead, nullptr,
                            platform::kOpenExisting, platform::kFileAttributeNormal,
                            platform::kNullHandle);
  if (file == platform::kInvalidHandleValue) {
    platform::LoadStringW(g_instance, id, buffer, kLineCapacity);
    return;
  }
  ReadNoticeText(FileByteSource(&file), buffer);
  platform::CloseHandle(file);
}

void ReadNoticeText(ByteSource source, char16_t* buffer) {
  wtext::Clear(buffer, kLineCapacity * sizeof(char16_t));
  // At most 255 code units, so the last one of the buffer stays a terminator.
  source.read(source.context, reinterpret_cast<std::uint8_t*>(buffer), (kLineCapacity - 1) * 2);
  if (buffer[0] == 0xFEFF) {
    for (int i = 0; i < kLineCapacity - 1; ++i) buffer[i] = buffer[i + 1];
  }
}

void CleanStaging() {
  platform::Step(platform::StepId::kCleanUp);
  char16_t path[kCleanUpPathCapacity];
  platform::FindData found;
  wtext::Copy(path, kCleanUpPathCapacity, kStagingFolder);
  RemoveFolderContents(path, &found);
  platform::RemoveDirectoryW(kStagingFolder);
}

std::uint32_t RestartMarkerValue(const std::uint8_t bytes[4]) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

RestartChoice DecideRestart(std::uint32_t marker, bool requested, bool user_confirmed) {
  if (marker == kRestartMarkerHolds) return RestartChoice::kHeldByMarker;
  // A user who consented without a restart entry gets no restart: the
  // changes wait for the next one.
  if (!requested && user_confirmed) return RestartChoice::kHeldByConsent;
  return requested ? RestartChoice::kForRebootEntry : RestartChoice::kUnconfirmed;
}

void DecideAndRestart(bool user_confirmed) {
  // The marker acts once: it is removed on every run that gets here.
  std::uint8_t marker_bytes[4] = {0, 0, 0, 0};
  bool marker_found = false;  // for the trace alone
  platform::HKey apps;
  if (platform::RegOpenKeyExW(platform::kHkeyLocalMachine, kAppsKey, 0, 0, &apps) ==
      platform::kErrorSuccess) {
    std::uint32_t type = platform::kRegDword;
    std::uint32_t size = 4;
    marker_found = platform::RegQueryValueExW(apps, kRestartMarkerName, nullptr, &type,
                                              marker_bytes, &size) == platform::kErrorSuccess;
    platform::RegDeleteValueW(apps, kRestartMarkerName);
    platform::RegCloseKey(apps);
  }
  std::uint32_t marker = RestartMarkerValue(marker_bytes);
  platform::Decision(marker_found ? platform::DecisionId::kMarkerFound
                                  : platform::DecisionId::kMarkerAbsent,
                     kRestartMarkerName, marker);
  bool requested = LookupSetting(kRestartAsk.section, kRestartAsk.key) != nullptr;
  platform::Decision(requested ? platform::DecisionId::kRebootEntryPresent
                               : platform::DecisionId::kRebootEntryAbsent,
                     kRestartAsk.key, requested);
  platform::Decision(user_confirmed ? platform::DecisionId::kUserConfirmed
                                    : platform::DecisionId::kUserNotAsked,
                     nullptr, user_confirmed);
  // The clean-up removes the registry scripts and brand.ini: the run's
  // registry changes must be durable before they go, or a run that dies
  // during the clean-up loses them for good, with nothing left to redo them.
  platform::RegFlushKey(platform::kHkeyLocalMachine);

  RestartChoice choice = DecideRestart(marker, requested, user_confirmed);
  if (choice == RestartChoice::kHeldByMarker || choice == RestartChoice::kHeldByConsent) {
    platform::Decision(choice == RestartChoice::kHeldByMarker
                           ? platform::DecisionId::kHeldByMarker
                           : platform::DecisionId::kHeldByConsent,
                       nullptr, 0);
    CleanStaging();
    return;
  }
  platform::Decision(choice == RestartChoice::kForRebootEntry
                         ? platform::DecisionId::kRestartForRebootEntry
                         : platform::DecisionId::kRestartUnconfirmed,
                     nullptr, 1);
  char16_t notice[kLineCapacity];
  LoadNoticeText(kRestartMessage, kRestartNoticeId, notice);
  CleanStaging();
  platform::Step(platform::StepId::kRestart);
  platform::MessageBoxW(platform::kNoOwner, notice, u"System Reboot",
                        platform::kMbOk | platform::kMbSetForeground | platform::kMbTopmost);
  // The run's registry changes must survive the restart.
  platform::RegFlushKey(platform::kHkeyLocalMachine);
  platform::Sleep(kRestartPauseMs);
  platform::KernelIoControl(platform::kIoctlHalReboot, nullptr, 0, nullptr, 0, nullptr);
}

void RunInstallation(platform::Instance instance) {
  g_instance = instance;
  bool user_confirmed = false;
  platform::Step(platform::StepId::kConsentGate);
  platform::HKey gate;
  if (platform::RegOpenKeyExW(platform::kHkeyClassesRoot, kGateKey, 0, 0, &gate) ==
      platform::kErrorSuccess) {
    platform::Decision(platform::DecisionId::kGateKeyPresent, kGateKey, 0);
    platform::RegCloseKey(gate);
    char16_t question[kLineCapacity];
    LoadNoticeText(kConsentMessage, kConsentQuestionId, question);
    std::int32_t answer = platform::MessageBoxW(platform::kNoOwner, question, u"Branding",
                                                platform::kMbYesNo | platform::kMbSetForeground);
    if (answer != platform::kIdYes) {
      platform::Decision(platform::DecisionId::kConsentRefused, nullptr,
                         static_cast<std::uint32_t>(answer));
      CleanStaging();
      return;
    }
    platform::Decision(platform::DecisionId::kConsentGiven, nullptr,
                       static_cast<std::uint32_t>(answer));
    user_confirmed = true;
  } else {
    platform::Decision(platform::DecisionId::kGateKeyAbsent, kGateKey, 0);
  }
  for (const RunStep& step : kRunSteps) {
    platform::Step(step.id);
    step.run();
  }
  platform::Step(platform::StepId::kRestartDecision);
  DecideAndRestart(user_confirmed);
}

int Entry(platform::Instance instance, platform::Instance, const char16_t* command_line, int) {
  g_instance = instance;
  if (command_line != nullptr && wtext::Equal(command_line, u"inst")) RunInstallation(instance);
  return 0;
}
