#include "placement/placement.h"

#include "platform/platform.h"
#include "platform/text.h"
#include "settings/line_reader.h"
#include "settings/settings.h"

const char16_t kStagedFormat[] = u"\\Temp\\branding\\%s";

const FixedGroup kFixedGroups[3] = {
    {u"\\Temp\\branding\\*.gif", u".gif", u"\\Windows\\%s"},
    {u"\\Temp\\branding\\*.url", u".url", u"\\Windows\\Favorites\\%s"},
    {u"\\Temp\\branding\\*.tsk", u".tsk", u"\\Windows\\%s"},
};

const MappedGroup kMappedGroups[2] = {
    {u"\\Temp\\branding\\*.hp", u".hp", {u"HOMEPAGE", nullptr, AskKind::kStagedName}},
    {u"\\Temp\\branding\\*.ur", u".ur", {u"URLS", nullptr, AskKind::kStagedName}},
};

void WritePlacementRecord(const char16_t* text) {
  // The device hands the record to a handle it never opened, so it goes
  // nowhere there; the emulation keeps it in its journal.
  std::uint32_t written = 0;
  platform::WriteFile(platform::kInvalidHandleValue, text,
                      static_cast<std::uint32_t>(wtext::Length(text, kSettingCapacity) * 2),
                      &written, nullptr);
  platform::WriteFile(platform::kInvalidHandleValue, u"\r\n", 4, &written, nullptr);
}

void PlaceFixedGroup(const char16_t* pattern, const char16_t* destination_format) {
  platform::FindData found;
  platform::Handle find = platform::FindFirstFileW(pattern, &found);
  if (find == platform::kInvalidHandleValue) {
    platform::Decision(platform::DecisionId::kNothingStaged, pattern, 0);
    return;
  }
  do {
    char16_t source[kLineCapacity];
    char16_t destination[kLineCapacity];
    // A name that does not fit is skipped, never cut into another path.
    if (!wtext::FormatText(source, kLineCapacity, kStagedFormat, found.cFileName) ||
        !wtext::FormatText(destination, kLineCapacity, destination_format, found.cFileName)) {
      platform::Decision(platform::DecisionId::kPathTooLong, found.cFileName, 0);
      continue;
    }
    platform::MoveFileW(source, destination);
    WritePlacementRecord(destination);
  } while (platform::FindNextFileW(find, &found));
  platform::FindClose(find);
}

void PlaceFixedGroups() {
  for (const FixedGroup& group : kFixedGroups) {
    PlaceFixedGroup(group.pattern, group.destination_format);
  }
  WritePlacementRecord(u"---");
}

void CreatePathFolders(const char16_t* path) {
  // The first character is never a separator, so a leading "\" makes no
  // folder with an empty name.
  int p = 1;
  if (path[0] == 0) return;
  for (;;) {
    int i = p;
    while (path[i] != 0 && path[i] != u'\\') ++i;
    if (path[i] == 0) return;
    char16_t folder[kLineCapacity];
    wtext::Clear(folder, sizeof folder);
    // A folder path that does not fit is not cut into another folder's name.
    if (!wtext::CopyN(folder, kLineCapacity, path, static_cast<std::size_t>(i))) return;
    platform::CreateDirectoryW(folder, nullptr);
    p = i + 1;
  }
}

void PlaceMappedGroup(const char16_t* pattern, const char16_t* section) {
  platform::FindData found;
  platform::Handle find = platform::FindFirstFileW(pattern, &found);
  if (find == platform::kInvalidHandleValue) {
    platform::Decision(platform::DecisionId::kNothingStaged, pattern, 0);
    return;
  }
  do {
    const char16_t* destination = LookupSetting(section, found.cFileName);
    if (destination == nullptr) {
      platform::Decision(platform::DecisionId::kNoDestination, found.cFileName, 0);
      continue;
    }
    char16_t source[kLineCapacity];
    // Dead while values are one cut line of single-byte text; kept so a longer one is skipped.
    if (wtext::Length(destination, kSettingCapacity) >= kLineCapacity ||
        !wtext::FormatText(source, kLineCapacity, kStagedFormat, found.cFileName)) {
      platform::Decision(platform::DecisionId::kPathTooLong, found.cFileName, 0);
      continue;
    }
    CreatePathFolders(destination);
    platform::MoveFileW(source, destination);
    WritePlacementRecord(destination);
  } while (platform::FindNextFileW(find, &found));
  platform::FindClose(find);
}

void PlaceMappedGroups() {
  for (const MappedGroup& group : kMappedGroups) PlaceMappedGroup(group.pattern, group.ask.section);
}
