// Looks up entries of the settings file \Temp\branding\brand.ini by section
// and key. The file is opened, scanned from its first line and closed on
// every lookup: nothing is cached between calls.
#pragma once

#include <cstdint>

#include "settings/line_reader.h"

constexpr int kSettingCapacity = 512;

// ---- What the steps ask for -----------------------------------------------
//
// Each step names the entries it looks up here, as data, and looks them up
// through it; the linter reads the same descriptions to know what the device
// will ask for, and in which order (driver.h lists the steps).
enum class AskKind : std::uint8_t {
  kKey,         // the one key `key`
  kNumbered,    // `key`0, `key`1, ... up to the first that is missing
  kStagedName,  // the name of each staged file of a group, as the key
};
struct SettingAsk {
  const char16_t* section;
  const char16_t* key;  // kKey: the key; kNumbered: the keys' stem; kStagedName: null
  AskKind kind;
};

// Room for a numbered key: its stem and the digits of any int.
constexpr int kNumberedKeyCapacity = 16;
// The key of entry `n` of a numbered list: "cab" and 3 give "cab3".
void NumberedKey(const SettingAsk& ask, int n, char16_t* key);

// The setting value, or null when the file or the entry is missing. The value
// lives in one result buffer shared by all lookups and stays valid until the
// next lookup; callers may overwrite it in place. A lookup that finds nothing
// leaves the buffer as the previous lookup left it.
char16_t* LookupSetting(const char16_t* section, const char16_t* key);

struct SettingsLine;

// The lookup itself, over whatever `reader` was started on (the device's
// file, memory, a host file): scans from where the reader stands and, when a
// line answers (section, key), leaves it in `line` (kLineCapacity) and
// `parsed`, decodes its value into `value` (kSettingCapacity) and yields
// true; the reader then describes that line (line_number, cut, full_length).
// False when no line answers, and `value` is left untouched.
bool LookupSettingIn(ByteLineReader* reader, const char16_t* section, const char16_t* key,
                     char16_t* line, SettingsLine* parsed, char16_t* value);

// ---- The line-level rules, shared with the linter --------------------------

enum class SettingsLineKind { kEmpty, kHeader, kEntry };

// One line of brand.ini as the lookup reads it. Positions are indices into
// the line; [begin, end) ranges.
struct SettingsLine {
  SettingsLineKind kind;
  int length;
  // kHeader: the section name, after "[" up to the first "]" or the end.
  int name_begin, name_end;
  bool name_closed;  // a "]" ended the name
  // kEntry: the key is [0, key_end): the text before the first "=", or the
  // whole line when it has none.
  int key_end;
  bool has_equals;
  // The value starts two places after the key, skipping "=" and the opening
  // quote unexamined, and runs up to the next '"' or the end of the line. A
  // start beyond the end of the line gives an empty value.
  int value_begin, value_end;
  bool value_closed;  // a '"' ended the value
};

void ParseSettingsLine(const char16_t* line, SettingsLine* parsed);

// Whether the text [begin, end) of `line` equals `name` as a whole, without
// regard to case.
bool SpanEqualsNoCase(const char16_t* line, int begin, int end, const char16_t* name);

// Where a line leaves a lookup in `section`, given where the line before
// left it: only the first header of that name begins the section, and the
// first line after it that is no entry (an empty line, another header) ends
// it for good. ScanSettings follows these rules; a reader that looks at
// every line (the linter) follows them line by line.
enum class SectionPlace : std::uint8_t { kBefore, kIn, kEnded };
SectionPlace NextSectionPlace(SectionPlace place, const char16_t* line,
                              const SettingsLine* parsed, const char16_t* section);

// Scans the lines that `reader` delivers as the lookup does, and stops at the
// line that answers (section, key): it is left in `line` and `parsed`, and the
// result is true. False when no line answers.
bool ScanSettings(ByteLineReader* reader, const char16_t* section, const char16_t* key,
                  char16_t* line, SettingsLine* parsed);

// Decodes the value of an entry line (code page 1250) into `result`
// (kSettingCapacity code units), cleared first.
void DecodeSettingValue(const char16_t* line, const SettingsLine* parsed, char16_t* result);
