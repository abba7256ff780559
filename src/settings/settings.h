// Looks up entries of the settings file \Temp\branding\brand.ini by section
// and key. The file is opened, scanned from its first line and closed on
// every lookup: nothing is cached between calls.
#pragma once

#include <cstdint>

#include "settings/line_reader.h"

constexpr int kSettingCapacity = 512;

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

// Scans the lines that `reader` delivers as the lookup does, and stops at the
// line that answers (section, key): it is left in `line` and `parsed`, and the
// result is true. False when no line answers.
bool ScanSettings(ByteLineReader* reader, const char16_t* section, const char16_t* key,
                  char16_t* line, SettingsLine* parsed);

// Decodes the value of an entry line (code page 1250) into `result`
// (kSettingCapacity code units), cleared first.
void DecodeSettingValue(const char16_t* line, const SettingsLine* parsed, char16_t* result);
