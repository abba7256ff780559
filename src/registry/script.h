// Applies registry scripts: the small part of regedit's layout that the
// device understands. Bracketed key headers with three roots, followed by
// value lines of three forms ("text", dword:, hex:), no escapes, no deletions.
#pragma once

#include <cstdint>

#include "settings/line_reader.h"

constexpr int kScriptNameCapacity = 256;
constexpr int kScriptTextCapacity = 1024;
constexpr int kScriptBinaryCapacity = 8196;
constexpr int kScriptDigitCapacity = 64;  // 63 hexadecimal digits of one number

// After lower-casing, a decimal digit or a letter "a" to "f".
bool IsHexDigit(char16_t c);
// The number the digits spell, modulo 2^32: only the last eight count.
std::uint32_t ParseHexDword(const char16_t* text);

// The step: every \Temp\branding\*.reg, in the enumeration's order.
extern const char16_t kScriptPattern[];
void ImportRegistryScripts();
void ImportRegistryScript(const char16_t* path);
// The import of one script's bytes from any source (what ImportRegistryScript
// does once the file is open): keys created and values written through the
// platform door.
void ImportRegistryScriptFrom(ByteSource source);

// ---- The line-level rules, shared with the linter --------------------------

enum ScriptRoot { kRootUnknown = -1, kRootLocalMachine = 0, kRootCurrentUser = 1, kRootClassesRoot = 2 };

struct ScriptHeader {
  ScriptRoot root;
  char16_t path[kLineCapacity];  // empty when the header names only a root
  bool root_only;
  bool closed;  // a "]" ended the header
};

// A line that starts with "[": its root and key path.
void ParseScriptHeader(const char16_t* line, ScriptHeader* header);

enum class ScriptForm { kNone, kString, kDword, kBinary, kTypedBinary };

struct ScriptValue {
  std::uint32_t line_number;
  char16_t name[kScriptNameCapacity];  // empty: the default value
  bool name_closed;                    // a closing quote ended the name
  ScriptForm form;                     // kNone and kTypedBinary are not written
  std::uint32_t type;
  std::uint32_t size;  // bytes to write
  char16_t text[kScriptTextCapacity];
  std::uint8_t number[4];  // REG_DWORD data, low byte first
  std::uint8_t bytes[kScriptBinaryCapacity];
  // What the device makes of the written data, for the linter.
  int digits;                // dword: hexadecimal digits read
  bool text_closed;          // string: a closing quote ended it
  bool odd_digit_dropped;    // binary: a lone digit at the end was dropped
  bool binary_cut;           // binary: more than kScriptBinaryCapacity bytes
  bool bad_pair;             // binary: a pair held a character that is no hex digit
  std::uint32_t continued;   // binary: lines read for continuations
  // Where the rules read the value's first line, as indices into it (each
  // may lie beyond its end, where the rules read the terminator): the last
  // character of the name part (its closing quote, or the "@"); the
  // character that picked the form, the one after it standing for "="
  // unexamined; the first character of the data; and, for a string and a
  // number, the character that ended the data.
  int name_last;
  int form_at;
  int data_begin;
  int data_end;
  const std::uint8_t* data() const {
    return form == ScriptForm::kString ? reinterpret_cast<const std::uint8_t*>(text)
           : form == ScriptForm::kDword ? number
                                        : bytes;
  }
};

// What a script line did, reported to the observer (the linter); the device
// itself does not listen.
enum class ScriptNote {
  kIgnoredOutside,     // a line outside any block that is not a header
  kUnknownRoot,        // a header whose root is not recognised: its values are passed over
  kBlockEnded,         // a line that is neither a value nor a header ended a block
  kValueOutsideBlock,  // a value line that no open key takes
};

struct ScriptSink {
  void* context;
  // A header with a recognised root; yields whether the key opened.
  bool (*open_key)(void* context, const ScriptHeader* header, std::uint32_t line_number);
  // A value line of an open key (every form, kNone included).
  void (*value)(void* context, const ScriptValue* value);
  void (*close_key)(void* context);
  // May be null.
  void (*note)(void* context, ScriptNote note, std::uint32_t line_number, const char16_t* line);
};

// Runs the script's lines through the importer's rules. `value` is scratch
// space the caller provides (it is large).
void ParseRegistryScript(ByteLineReader* reader, const ScriptSink* sink, ScriptValue* value);
