// Text on the host side, once for the backend, brandsim, the linter, the
// tests and the fuzz targets: UTF-8 and UTF-16 at the boundary between the
// emulated device and the host (file names, the journal, messages, the
// command line), case folding as the device folds names, the escapes of each
// output (JSON, HTML, regedit text, a message line), and the device's code
// page 1250. The core's own bounded helpers (platform/text.h) stay the
// device's: folding here is wtext::ToLower, unit by unit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/text.h"

namespace host {

// ---- UTF-8 and UTF-16 --------------------------------------------------------

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string ToUtf8(std::u16string_view text);
// UTF-16 to UTF-8 for a host name; false for a lone surrogate, which no
// host name can hold, but for U+DC80..U+DCFF, which FromUtf8 makes of a
// byte that is not UTF-8 and which turn back into that byte.
bool ToUtf8Exact(std::u16string_view text, std::string* out);
// UTF-8 to UTF-16; each byte that is not part of a valid sequence becomes
// U+DC80..U+DCFF (its value), so that a host name survives the round trip.
std::u16string FromUtf8(std::string_view text);
// UTF-8 to UTF-16; false for anything that is not valid UTF-8.
bool FromUtf8Exact(std::string_view text, std::u16string* out);
// Strict UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF)
// appended to *out; on failure *bad is the offset of the first byte that is
// not UTF-8, and *out holds what came before it.
bool DecodeUtf8(std::string_view bytes, std::u16string* out, std::size_t* bad);
// Appends one code point in UTF-8.
void AppendUtf8(char32_t c, std::string* out);
// The bytes of UTF-16LE text, the layout of the device's message files and
// of registry.reg, with the byte-order mark in front when `mark`.
std::string ToUtf16Le(std::u16string_view text, bool mark);
// UTF-16LE bytes as text, a leading byte-order mark dropped and an odd last
// byte ignored.
std::u16string FromUtf16Le(std::string_view bytes);

// ---- Case ---------------------------------------------------------------------

// Case folding of names (files, keys, values), unit by unit, as the device's
// wide-text library does. One unit folded, ASCII in line: sorting and
// looking up hundreds of thousands of names folds each unit.
inline char16_t FoldUnit(char16_t c) {
  if (c < 0x80) return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
  return wtext::ToLower(c);
}
std::u16string FoldName(std::u16string_view text);
bool EqualNoCase(std::u16string_view a, std::u16string_view b);
bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix);
// Names in the order of their folded forms, unit by unit, a shorter name
// before the longer one it starts: <0, 0 or >0.
int CompareNoCase(std::u16string_view a, std::u16string_view b);

// ---- Escapes ------------------------------------------------------------------

// How JSON string contents write control characters: the journal's \u00XX
// for every one of them, or the linter's \n, \r, \t and \u00XX for the
// others, DEL included.
enum class JsonControls { kNumeric, kNamed };
// JSON string contents (no quotes) for UTF-8 or UTF-16 text.
std::string JsonEscape(std::string_view utf8, JsonControls controls = JsonControls::kNumeric);
std::string JsonEscape(std::u16string_view text);
// Text safe inside an HTML element or attribute: made valid UTF-8 (FromUtf8
// and back), markup characters as entities, control characters as \xNN.
std::string HtmlEscape(std::string_view text);
// A regedit "string" body: \ and " preceded by a backslash.
std::u16string RegeditEscape(std::u16string_view text);

// ---- Text for messages and transcripts ----------------------------------------

// UTF-16 text for one transcript line: UTF-8 with control characters escaped
// (AppendShown), a host byte that is not UTF-8 (FromUtf8) as \xNN, a lone
// surrogate as \uXXXX.
std::string Show(std::u16string_view text);
// Text for a finding: control characters (C0, DEL, C1) as \xNN, lone
// surrogates as \uXXXX, at most `limit` characters followed by "...".
std::string ShowCut(std::u16string_view text, std::size_t limit = 80);
// A host name (a path, a file name) for a message: UTF-8 as it stands, with
// control characters escaped (\r, \n, \t, \xNN; \u0085 for C1 ones) and
// each byte that is not part of valid UTF-8 shown as \xNN. Never cut at a NUL.
std::string ShowHostName(std::string_view bytes);
// Appends one character as a message shows it (the escapes above).
void AppendShown(char32_t c, std::string* out);

// ---- Code page 1250 -----------------------------------------------------------

// The five bytes iconv leaves undefined (0x81, 0x83, 0x88, 0x90, 0x98),
// which Windows' own table decodes to the C1 controls of the same value.
bool IsCp1250Undefined(std::uint32_t byte);
// Bytes decoded as the device decodes them (platform::MultiByteToWideChar:
// one unit a byte); empty when there is no converter.
std::u16string DecodeCp1250(std::string_view bytes);

}  // namespace host
