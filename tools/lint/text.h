// Text as the linter shows it: device text (UTF-16, or a byte line whose
// code units are bytes) turned into safe, readable UTF-8 for a terminal, an
// editor or a JSON consumer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/host/text.h"

namespace lint {

// The host side's text module (platform/host/text.h) under the names the
// checks use.
using host::EqualNoCase;
using host::FromUtf8;
using host::IsCp1250Undefined;
using host::ToUtf8;
// Text for a message (host::ShowCut).
inline std::string Show(std::u16string_view text, std::size_t limit = 80) {
  return host::ShowCut(text, limit);
}
// Case folding as the device compares names.
inline std::u16string Fold(std::u16string_view text) { return host::FoldName(text); }
// A byte line (one code unit per byte) decoded from code page 1250 the way
// the device decodes values, then shown.
std::string ShowBytes(std::u16string_view bytes, std::size_t limit = 80);
// The code page 1250 decoding of a byte line, through the device's converter.
std::u16string DecodeCp1250(std::u16string_view bytes);
// A host file name for a message or the FILE column: invalid UTF-8 and
// control characters escaped.
std::string ShowHostName(const std::string& name);

// Whether the bytes hold at least one multi-byte UTF-8 sequence and nothing
// that is not UTF-8: text saved as UTF-8 where code page 1250 is read.
bool LooksLikeUtf8(std::u16string_view bytes);

bool EndsWithNoCase(std::u16string_view text, std::u16string_view suffix);

std::u16string Widen(std::string_view ascii);
// The code units of `line` up to its terminator (at most 255).
std::u16string_view LineView(const char16_t* line);

bool IsBlank(char16_t c);  // space or tab
std::u16string_view TrimBlanks(std::u16string_view text);

std::string Plural(std::size_t n, const char* one, const char* many);

}  // namespace lint
