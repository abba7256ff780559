#include "settings/settings.h"

#include "platform/text.h"

namespace {

const char16_t kSettingsPath[] = u"\\Temp\\branding\\brand.ini";

// The lookup's only module-level storage: the value's bytes and the result
// shared by every caller.
char g_value_bytes[kSettingCapacity];
char16_t g_result[kSettingCapacity];
// The reader and its chunk stay off the stack: a device thread's stack is
// small and grows a page at a time.
ByteLineReader g_reader;

}  // namespace

void ParseSettingsLine(const char16_t* line, SettingsLine* parsed) {
  wtext::Clear(parsed, sizeof *parsed);
  int length = static_cast<int>(wtext::Length(line, kLineCapacity));
  parsed->length = length;
  if (length == 0) {
    parsed->kind = SettingsLineKind::kEmpty;
    return;
  }
  if (line[0] == u'[') {
    parsed->kind = SettingsLineKind::kHeader;
    parsed->name_begin = 1;
    int end = 1;
    while (end < length && line[end] != u']') ++end;
    parsed->name_end = end;
    parsed->name_closed = end < length;
    return;
  }
  parsed->kind = SettingsLineKind::kEntry;
  int key_end = 0;
  while (key_end < length && line[key_end] != u'=') ++key_end;
  parsed->key_end = key_end;
  parsed->has_equals = key_end < length;
  int begin = key_end + 2;
  if (begin > length) begin = length;
  int end = begin;
  while (end < length && line[end] != u'"') ++end;
  parsed->value_begin = begin;
  parsed->value_end = end;
  parsed->value_closed = end < length;
}

bool SpanEqualsNoCase(const char16_t* line, int begin, int end, const char16_t* name) {
  int n = end - begin;
  for (int i = 0; i < n; ++i) {
    if (name[i] == 0 || wtext::ToLower(line[begin + i]) != wtext::ToLower(name[i])) return false;
  }
  return name[n] == 0;
}

namespace {

// A scan asks about every line, but only a header can start the section and
// only a line whose key is the one asked for can answer. Lines that cannot
// start with "[" are passed over in bulk (DropLinesNotStartingWith), and in
// the section the test below looks at a line's raw bytes and says
// "certainly not" where it can; every other line is read and parsed by the
// rules themselves, so both change the time a scan takes and nothing else.
// A CR is dropped wherever it stands in a read line, so raw bytes holding
// one are left to the rules.

// The line is an entry whose key (the text before the first "=", ending at a
// NUL byte and at the 255th character) differs from `key`.
bool CertainlyOtherKey(const std::uint8_t* bytes, std::uint32_t count, const void* context) {
  const char16_t* key = static_cast<const char16_t*>(context);
  // An empty line and a header end the section: the rules say so.
  if (count == 0 || bytes[0] == 0 || bytes[0] == u'[') return false;
  // In a long section most lines share a first few bytes with the key (a
  // common prefix of file names): they are passed with one test a byte
  // until a byte differs or one of the rules' special bytes comes.
  const std::uint32_t plain =
      count < static_cast<std::uint32_t>(kLineCapacity - 1) ? count : kLineCapacity - 1;
  std::uint32_t same = 0;
  while (same < plain && key[same] != 0 && bytes[same] == key[same] && bytes[same] != u'=' &&
         bytes[same] != 0x0D) {
    ++same;
  }
  for (std::uint32_t i = same;; ++i) {
    if (i == count || bytes[i] == u'=' || bytes[i] == 0 ||
        i == static_cast<std::uint32_t>(kLineCapacity - 1)) {
      return key[i] != 0;  // the line's key ends here
    }
    if (bytes[i] == 0x0D) return false;
    if (key[i] == 0) return true;
    if (bytes[i] == key[i]) continue;
    // Most keys and lines are ASCII, where only the letters fold; this test
    // runs for every line of a long section, so it stays out of ToLower.
    if (bytes[i] < 0x80 && key[i] < 0x80) {
      unsigned folded = bytes[i] | 0x20u;
      if (folded != (key[i] | 0x20u) || folded < u'a' || folded > u'z') return true;
    } else if (wtext::ToLower(static_cast<char16_t>(bytes[i])) != wtext::ToLower(key[i])) {
      return true;
    }
  }
}

}  // namespace

bool ScanSettings(ByteLineReader* reader, const char16_t* section, const char16_t* key,
                  char16_t* line, SettingsLine* parsed) {
  // Find the first header naming the section; lines before any header and
  // the lines of other sections are passed over.
  for (;;) {
    DropLinesNotStartingWith(reader, u'[');
    if (!ReadByteLine(reader, line)) return false;
    ParseSettingsLine(line, parsed);
    if (parsed->kind == SettingsLineKind::kHeader &&
        SpanEqualsNoCase(line, parsed->name_begin, parsed->name_end, section)) {
      break;
    }
  }
  // Only that first section counts, and it ends at the first empty line or
  // the next header.
  for (;;) {
    DropLinesWhere(reader, CertainlyOtherKey, key);
    if (!ReadByteLine(reader, line)) return false;
    ParseSettingsLine(line, parsed);
    if (parsed->kind != SettingsLineKind::kEntry) return false;
    if (SpanEqualsNoCase(line, 0, parsed->key_end, key)) return true;
  }
}

void DecodeSettingValue(const char16_t* line, const SettingsLine* parsed, char16_t* result) {
  wtext::Clear(g_value_bytes, sizeof g_value_bytes);
  int count = 0;
  for (int i = parsed->value_begin; i < parsed->value_end && count < kSettingCapacity - 1; ++i) {
    g_value_bytes[count++] = static_cast<char>(line[i] & 0xFF);
  }
  wtext::Clear(result, kSettingCapacity * sizeof(char16_t));
  if (count > 0) {
    platform::MultiByteToWideChar(platform::kCodePage1250, 0, g_value_bytes, count, result,
                                  kSettingCapacity - 1);
  }
}

char16_t* LookupSetting(const char16_t* section, const char16_t* key) {
  platform::Handle file =
      platform::CreateFileW(kSettingsPath, platform::kGenericRead, platform::kFileShareRead,
                            nullptr, platform::kOpenExisting, platform::kFileAttributeNormal,
                            platform::kNullHandle);
  if (file == platform::kInvalidHandleValue) return nullptr;
  StartByteLines(&g_reader, file);
  g_reader.count_lines = false;
  char16_t line[kLineCapacity];
  SettingsLine parsed;
  bool found = ScanSettings(&g_reader, section, key, line, &parsed);
  platform::CloseHandle(file);
  if (!found) return nullptr;
  DecodeSettingValue(line, &parsed, g_result);
  return g_result;
}
