#include "settings/settings.h"

#include <cstring>

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

void NumberedKey(const SettingAsk& ask, int n, char16_t* key) {
  wtext::Copy(key, kNumberedKeyCapacity, ask.key);
  std::size_t stem = wtext::Length(key, kNumberedKeyCapacity);
  wtext::FormatNumber(key + stem, kNumberedKeyCapacity - stem, u"%d", n);
}

bool SpanEqualsNoCase(const char16_t* line, int begin, int end, const char16_t* name) {
  int n = end - begin;
  for (int i = 0; i < n; ++i) {
    if (name[i] == 0 || wtext::ToLower(line[begin + i]) != wtext::ToLower(name[i])) return false;
  }
  return name[n] == 0;
}

SectionPlace NextSectionPlace(SectionPlace place, const char16_t* line,
                              const SettingsLine* parsed, const char16_t* section) {
  switch (place) {
    case SectionPlace::kBefore:
      return parsed->kind == SettingsLineKind::kHeader &&
                     SpanEqualsNoCase(line, parsed->name_begin, parsed->name_end, section)
                 ? SectionPlace::kIn
                 : SectionPlace::kBefore;
    case SectionPlace::kIn:
      return parsed->kind == SettingsLineKind::kEntry ? SectionPlace::kIn : SectionPlace::kEnded;
    case SectionPlace::kEnded:
      break;
  }
  return SectionPlace::kEnded;
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

// The key asked for, with its longest head that a line's raw bytes can
// equal byte for byte: characters below 0x100 other than the bytes the rules
// treat apart ("=", CR, LF, NUL). Where a line's bytes equal that head, they
// equal the key there and hold none of those bytes.
struct KeyProbe {
  const char16_t* key;
  std::uint8_t head[kLineCapacity];
  std::uint32_t head_length;
};

void PrepareKeyProbe(const char16_t* key, KeyProbe* probe) {
  probe->key = key;
  std::uint32_t n = 0;
  while (n < static_cast<std::uint32_t>(kLineCapacity - 1) && key[n] != 0 && key[n] < 0x100 &&
         key[n] != u'=' && key[n] != 0x0D && key[n] != 0x0A) {
    probe->head[n] = static_cast<std::uint8_t>(key[n]);
    ++n;
  }
  probe->head_length = n;
}

// How many of the first `limit` bytes of a and b are equal; eight at a time,
// since in a long section most lines share a long head with the key (a
// common prefix of file names).
std::uint32_t SameHead(const std::uint8_t* a, const std::uint8_t* b, std::uint32_t limit) {
  std::uint32_t same = 0;
  for (; same + 8 <= limit; same += 8) {
    std::uint64_t x;
    std::uint64_t y;
    std::memcpy(&x, a + same, 8);
    std::memcpy(&y, b + same, 8);
    if (x != y) {
#if defined(__GNUC__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
      return same + static_cast<std::uint32_t>(__builtin_ctzll(x ^ y)) / 8;
#else
      break;
#endif
    }
  }
  while (same < limit && a[same] == b[same]) ++same;
  return same;
}

// The line is an entry whose key (the text before the first "=", ending at a
// NUL byte and at the 255th character) differs from the probe's key.
bool CertainlyOtherKey(const std::uint8_t* bytes, std::uint32_t count, const void* context) {
  const KeyProbe* probe = static_cast<const KeyProbe*>(context);
  const char16_t* key = probe->key;
  // An empty line and a header end the section: the rules say so.
  if (count == 0 || bytes[0] == 0 || bytes[0] == u'[') return false;
  std::uint32_t limit = count < probe->head_length ? count : probe->head_length;
  for (std::uint32_t i = SameHead(bytes, probe->head, limit);; ++i) {
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
    if (!ReadByteLine(reader, line)) {
      platform::SettingMissing(platform::DecisionId::kSectionMissing, section, key);
      return false;
    }
    ParseSettingsLine(line, parsed);
    if (NextSectionPlace(SectionPlace::kBefore, line, parsed, section) == SectionPlace::kIn) break;
  }
  KeyProbe probe;
  PrepareKeyProbe(key, &probe);
  for (;;) {
    DropLinesWhere(reader, CertainlyOtherKey, &probe);
    if (!ReadByteLine(reader, line)) {
      platform::SettingMissing(platform::DecisionId::kKeyMissing, section, key);
      return false;
    }
    ParseSettingsLine(line, parsed);
    if (NextSectionPlace(SectionPlace::kIn, line, parsed, section) == SectionPlace::kEnded) {
      platform::SettingMissing(platform::DecisionId::kSectionEndsBeforeKey, section, key);
      return false;
    }
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

bool LookupSettingIn(ByteLineReader* reader, const char16_t* section, const char16_t* key,
                     char16_t* line, SettingsLine* parsed, char16_t* value) {
  if (!ScanSettings(reader, section, key, line, parsed)) return false;
  DecodeSettingValue(line, parsed, value);
  return true;
}

char16_t* LookupSetting(const char16_t* section, const char16_t* key) {
  platform::Handle file =
      platform::CreateFileW(kSettingsPath, platform::kGenericRead, platform::kFileShareRead,
                            nullptr, platform::kOpenExisting, platform::kFileAttributeNormal,
                            platform::kNullHandle);
  if (file == platform::kInvalidHandleValue) {
    platform::SettingMissing(platform::DecisionId::kSettingsFileMissing, section, key);
    return nullptr;
  }
  StartByteLines(&g_reader, FileByteSource(&file));
  g_reader.count_lines = false;
  char16_t line[kLineCapacity];
  SettingsLine parsed;
  bool found = LookupSettingIn(&g_reader, section, key, line, &parsed, g_result);
  platform::CloseHandle(file);
  return found ? g_result : nullptr;
}
