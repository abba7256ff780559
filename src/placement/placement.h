// Moves staged files into place: the fixed groups to system folders, the
// mapped groups to the destinations that brand.ini names.
#pragma once

#include "settings/settings.h"

// The step: *.gif and *.tsk to \Windows, *.url to \Windows\Favorites, then
// the separator of the placement record.
void PlaceFixedGroups();
void PlaceFixedGroup(const char16_t* pattern, const char16_t* destination_format);

// The step: *.hp by [HOMEPAGE], *.ur by [URLS].
void PlaceMappedGroups();
void PlaceMappedGroup(const char16_t* pattern, const char16_t* section);

// Creates every folder along a destination path; the text after the last
// "\" is the file's name and never becomes a folder.
void CreatePathFolders(const char16_t* path);

// Hands one line of the placement record to the platform.
void WritePlacementRecord(const char16_t* text);

// The groups, shared with the linter.
struct FixedGroup {
  const char16_t* pattern;
  const char16_t* extension;  // with its dot
  const char16_t* destination_format;
};
struct MappedGroup {
  const char16_t* pattern;
  const char16_t* extension;
  SettingAsk ask;  // each staged file's name, in the group's section
};
extern const FixedGroup kFixedGroups[3];
extern const MappedGroup kMappedGroups[2];
extern const char16_t kStagedFormat[];
