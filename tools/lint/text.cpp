#include "text.h"

#include <algorithm>

#include "platform/text.h"
#include "settings/line_reader.h"

namespace lint {

namespace {

// A byte line (one code unit per byte) as the bytes it holds; false when a
// unit is no byte.
bool Narrow(std::u16string_view bytes, std::string* narrow) {
  narrow->clear();
  narrow->reserve(bytes.size());
  for (char16_t c : bytes) {
    if (c > 0xFF) return false;
    narrow->push_back(static_cast<char>(c));
  }
  return true;
}

}  // namespace

std::u16string DecodeCp1250(std::u16string_view bytes) {
  std::string narrow;
  narrow.reserve(bytes.size());
  for (char16_t c : bytes) narrow.push_back(static_cast<char>(c & 0xFF));
  if (narrow.empty()) return {};
  std::u16string wide = host::DecodeCp1250(narrow);
  return wide.empty() ? std::u16string(bytes) : wide;
}

std::string ShowBytes(std::u16string_view bytes, std::size_t limit) {
  return Show(DecodeCp1250(bytes), limit);
}

std::string ShowHostName(const std::string& name) { return Show(FromUtf8(name), 4096); }

bool LooksLikeUtf8(std::u16string_view bytes) {
  std::string narrow;
  std::u16string decoded;
  std::size_t bad = 0;
  if (!Narrow(bytes, &narrow) || !host::DecodeUtf8(narrow, &decoded, &bad)) return false;
  // Valid, and some byte past ASCII: a multi-byte sequence.
  return std::any_of(narrow.begin(), narrow.end(),
                     [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

bool EndsWithNoCase(std::u16string_view text, std::u16string_view suffix) {
  return text.size() >= suffix.size() &&
         EqualNoCase(text.substr(text.size() - suffix.size()), suffix);
}

std::u16string Widen(std::string_view ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::u16string_view LineView(const char16_t* line) {
  return std::u16string_view(line, wtext::Length(line, kLineCapacity));
}

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view TrimBlanks(std::u16string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::string Plural(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace lint
