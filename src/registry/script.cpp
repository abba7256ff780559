#include "registry/script.h"

#include "platform/text.h"
#include "registry/roots.h"

const char16_t kScriptPattern[] = u"\\Temp\\branding\\*.reg";

namespace {

const char16_t kStagedFormat[] = u"\\Temp\\branding\\%s";

// The character at `index`, or the terminator for any index at or beyond the
// end: offsets that skip characters never move past the line.
char16_t At(const char16_t* line, int length, int index) {
  return index < length ? line[index] : 0;
}

int Clamp(int index, int length) { return index < length ? index : length; }

// Digit values as the device computes them: below "a" the code minus 0x30,
// from "a" on the code minus 0x57. Characters that are no digits give
// whatever that arithmetic gives.
std::uint32_t DigitValue(char16_t c) {
  char16_t lower = wtext::ToLower(c);
  return lower < u'a' ? static_cast<std::uint32_t>(lower) - 0x30u
                      : static_cast<std::uint32_t>(lower) - 0x57u;
}

void ParseString(const char16_t* line, int length, int start, ScriptValue* value) {
  char bytes[kScriptTextCapacity];
  int count = 0;
  int i = Clamp(start, length);
  while (i < length && line[i] != u'"' && count < kScriptTextCapacity - 1) {
    bytes[count++] = static_cast<char>(line[i++] & 0xFF);
  }
  value->data_end = i;
  value->text_closed = i < length && line[i] == u'"';
  int chars = 0;
  if (count > 0) {
    chars = platform::MultiByteToWideChar(platform::kCodePage1250, 0, bytes, count, value->text,
                                          kScriptTextCapacity - 1);
    if (chars < 0 || chars > kScriptTextCapacity - 1) chars = 0;
  }
  value->text[chars] = 0;
  value->form = ScriptForm::kString;
  value->type = platform::kRegSz;
  value->size = static_cast<std::uint32_t>(chars + 1) * 2;
}

void ParseDword(const char16_t* line, int length, int start, ScriptValue* value) {
  char16_t digits[kScriptDigitCapacity];
  int stored = 0;
  int i = Clamp(start, length);
  while (i < length && IsHexDigit(line[i])) {
    if (stored < kScriptDigitCapacity - 1) digits[stored++] = line[i];
    ++value->digits;
    ++i;
  }
  value->data_end = i;
  digits[stored] = 0;
  std::uint32_t number = ParseHexDword(digits);
  for (int k = 0; k < 4; ++k) value->number[k] = static_cast<std::uint8_t>(number >> (8 * k));
  value->form = ScriptForm::kDword;
  value->type = platform::kRegDword;
  value->size = 4;
}

// Collects hexadecimal pairs; a backslash continues the data on the next
// line, whose first character the collection goes on from. The lines read
// for that land in `line`, which is the caller's line buffer.
void ParseBinary(ByteLineReader* reader, char16_t* line, int length, int start,
                 ScriptValue* value) {
  value->type = platform::kRegBinary;
  value->size = 0;
  int i = Clamp(start, length);
  for (;;) {
    char16_t c = At(line, length, i);
    if (c == 0) break;
    if (c == u' ' || c == u',') {
      ++i;
      continue;
    }
    if (c == u'\\') {
      if (!ReadByteLine(reader, line)) break;
      ++value->continued;
      length = static_cast<int>(wtext::Length(line, kLineCapacity));
      i = 0;
      continue;
    }
    char16_t c2 = At(line, length, i + 1);
    if (c2 == 0) {
      // A lone digit at the end never pairs with the terminator.
      value->odd_digit_dropped = true;
      break;
    }
    if (!IsHexDigit(c) || !IsHexDigit(c2)) value->bad_pair = true;
    std::uint8_t byte = static_cast<std::uint8_t>((DigitValue(c) * 16u + DigitValue(c2)) & 0xFFu);
    if (value->size < kScriptBinaryCapacity) {
      value->bytes[value->size++] = byte;
    } else {
      value->binary_cut = true;
    }
    i += 2;
  }
}

// A value line: `@=<data>` or `"<name>"=<data>`. The character after the
// name part is taken to be "=" unexamined, and the one after it picks the
// form. May read further lines for a continued binary value.
void ParseValueLine(ByteLineReader* reader, char16_t* line, ScriptValue* value) {
  value->line_number = reader->line_number;
  value->name[0] = 0;
  value->name_closed = true;
  value->form = ScriptForm::kNone;
  value->type = platform::kRegNone;
  value->size = 0;
  value->text[0] = 0;
  value->digits = 0;
  value->text_closed = false;
  value->odd_digit_dropped = false;
  value->binary_cut = false;
  value->bad_pair = false;
  value->continued = 0;

  int length = static_cast<int>(wtext::Length(line, kLineCapacity));
  int last;  // the last character of the name part
  if (line[0] == u'@') {
    value->name[0] = u'@';
    value->name[1] = 0;
    last = 0;
  } else {
    int i = 1;
    int n = 0;
    while (i < length && line[i] != u'"') value->name[n++] = line[i++];
    value->name[n] = 0;
    value->name_closed = i < length;
    last = i;
  }
  if (wtext::EqualNoCase(value->name, u"@")) value->name[0] = 0;

  value->name_last = last;
  value->form_at = last + 2;
  value->data_begin = value->data_end = last + 2;
  switch (At(line, length, last + 2)) {
    case u'"':
      value->data_begin = last + 3;
      ParseString(line, length, last + 3, value);
      break;
    case u'd':
      value->data_begin = last + 8;  // after "dword:", skipped unexamined
      ParseDword(line, length, last + 8, value);
      break;
    case u'h': {
      // hex(2): and hex(7): would be read as pairs from "(2)" on, turning a
      // typed value into binary garbage; their data is still consumed, so
      // that the block goes on after it, but nothing is written.
      bool typed = At(line, length, last + 3) == u'e' && At(line, length, last + 4) == u'x' &&
                   At(line, length, last + 5) == u'(';
      value->data_begin = last + 6;  // after "hex:", skipped unexamined
      ParseBinary(reader, line, length, last + 6, value);
      value->form = typed ? ScriptForm::kTypedBinary : ScriptForm::kBinary;
      break;
    }
    default:
      break;
  }
}

struct ImportContext {
  platform::HKey key;
};

platform::HKey RootKey(ScriptRoot root) {
  const RegistryRoot* known = RootByScript(root);
  return known != nullptr ? known->key : platform::kHkeyClassesRoot;
}

bool ImportOpenKey(void* context, const ScriptHeader* header, std::uint32_t) {
  auto* import = static_cast<ImportContext*>(context);
  std::uint32_t disposition = 0;
  return platform::RegCreateKeyExW(RootKey(header->root), header->path, 0, nullptr, 0, 0, nullptr,
                                   &import->key, &disposition) == platform::kErrorSuccess;
}

void ImportValue(void* context, const ScriptValue* value) {
  auto* import = static_cast<ImportContext*>(context);
  if (value->form == ScriptForm::kString || value->form == ScriptForm::kDword ||
      value->form == ScriptForm::kBinary) {
    platform::RegSetValueExW(import->key, value->name, 0, value->type, value->data(), value->size);
  }
}

void ImportCloseKey(void* context) {
  platform::RegCloseKey(static_cast<ImportContext*>(context)->key);
}

}  // namespace

bool IsHexDigit(char16_t c) {
  char16_t lower = wtext::ToLower(c);
  return (lower >= u'0' && lower <= u'9') || (lower >= u'a' && lower <= u'f');
}

std::uint32_t ParseHexDword(const char16_t* text) {
  std::uint32_t value = 0;
  std::uint32_t weight = 1;
  for (int i = static_cast<int>(wtext::Length(text, kScriptDigitCapacity)) - 1; i >= 0; --i) {
    value += DigitValue(text[i]) * weight;
    weight *= 16;
  }
  return value;
}

void ParseScriptHeader(const char16_t* line, ScriptHeader* header) {
  int length = static_cast<int>(wtext::Length(line, kLineCapacity));
  int end = 1;
  while (end < length && line[end] != u'\\' && line[end] != u']') ++end;
  header->root = kRootUnknown;
  header->path[0] = 0;
  wtext::CopyN(header->path, kLineCapacity, line + 1, static_cast<std::size_t>(end - 1));
  for (std::size_t r = 0; r < kDeviceRootCount; ++r) {
    if (wtext::EqualNoCase(header->path, kRegistryRoots[r].name)) {
      header->root = kRegistryRoots[r].script;
    }
  }
  header->path[0] = 0;
  header->root_only = !(end < length && line[end] == u'\\');
  int close = end;
  if (!header->root_only) {
    int begin = end + 1;
    close = begin;
    while (close < length && line[close] != u']') ++close;
    wtext::CopyN(header->path, kLineCapacity, line + begin, static_cast<std::size_t>(close - begin));
  }
  header->closed = close < length && line[close] == u']';
}

void ParseRegistryScript(ByteLineReader* reader, const ScriptSink* sink, ScriptValue* value) {
  char16_t line[kLineCapacity];
  bool pending = false;  // `line` holds a header that ended the previous block
  for (;;) {
    if (!pending && !ReadByteLine(reader, line)) return;
    pending = false;
    std::uint32_t header_line = reader->line_number;
    if (line[0] != u'[') {
      if (sink->note != nullptr && line[0] != 0) {
        bool value_line = line[0] == u'"' || line[0] == u'@';
        sink->note(sink->context,
                   value_line ? ScriptNote::kValueOutsideBlock : ScriptNote::kIgnoredOutside,
                   header_line, line);
      }
      continue;
    }
    ScriptHeader header;
    ParseScriptHeader(line, &header);
    if (header.root == kRootUnknown) {
      if (sink->note != nullptr) sink->note(sink->context, ScriptNote::kUnknownRoot, header_line, line);
      continue;
    }
    if (!sink->open_key(sink->context, &header, header_line)) continue;
    for (;;) {
      if (!ReadByteLine(reader, line)) {
        sink->close_key(sink->context);
        return;
      }
      if (line[0] == u'"' || line[0] == u'@') {
        ParseValueLine(reader, line, value);
        sink->value(sink->context, value);
        continue;
      }
      sink->close_key(sink->context);
      if (line[0] == u'[') {
        // A header that ends a block is a header: consuming it with the end
        // of the block would lose the values written under it.
        pending = true;
      } else if (sink->note != nullptr) {
        sink->note(sink->context, ScriptNote::kBlockEnded, reader->line_number, line);
      }
      break;
    }
  }
}

namespace {
// Off the stack, like the settings lookup's: a device thread's stack is
// small and grows a page at a time.
ByteLineReader g_script_reader;
}  // namespace

void ImportRegistryScript(const char16_t* path) {
  platform::Handle file =
      platform::CreateFileW(path, platform::kGenericRead, platform::kFileShareRead, nullptr,
                            platform::kOpenExisting, platform::kFileAttributeNormal,
                            platform::kNullHandle);
  if (file == platform::kInvalidHandleValue) {
    platform::Decision(platform::DecisionId::kScriptUnreadable, path, 0);
    return;
  }
  ImportRegistryScriptFrom(FileByteSource(&file));
  platform::CloseHandle(file);
}

void ImportRegistryScriptFrom(ByteSource source) {
  StartByteLines(&g_script_reader, source);
  ImportContext context{platform::kNullKey};
  ScriptSink sink{&context, ImportOpenKey, ImportValue, ImportCloseKey, nullptr};
  ScriptValue value;
  ParseRegistryScript(&g_script_reader, &sink, &value);
}

void ImportRegistryScripts() {
  platform::FindData found;
  platform::Handle find = platform::FindFirstFileW(kScriptPattern, &found);
  if (find == platform::kInvalidHandleValue) {
    platform::Decision(platform::DecisionId::kNothingStaged, kScriptPattern, 0);
    return;
  }
  do {
    char16_t path[kLineCapacity];
    // A name that does not fit is skipped, never cut into another file's name.
    if (wtext::FormatText(path, kLineCapacity, kStagedFormat, found.cFileName)) {
      ImportRegistryScript(path);
    } else {
      platform::Decision(platform::DecisionId::kPathTooLong, found.cFileName, 0);
    }
  } while (platform::FindNextFileW(find, &found));
  platform::FindClose(find);
}
