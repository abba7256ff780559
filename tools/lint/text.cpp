#include "text.h"

#include <cstdio>

#include "platform/platform.h"
#include "platform/text.h"
#include "settings/line_reader.h"
#include "platform/host/utf.h"

namespace lint {

namespace {

void AppendUtf8(char32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

bool IsHigh(char16_t c) { return c >= 0xD800 && c < 0xDC00; }
bool IsLow(char16_t c) { return c >= 0xDC00 && c < 0xE000; }

// Length of the valid UTF-8 sequence at `i`, or 0.
std::size_t Utf8SequenceAt(std::u16string_view bytes, std::size_t i, char32_t* code) {
  if (bytes[i] > 0xFF) return 0;
  unsigned b = bytes[i];
  if (b < 0x80) {
    *code = b;
    return 1;
  }
  int extra = (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : -1;
  if (extra < 0 || i + static_cast<std::size_t>(extra) >= bytes.size()) return 0;
  char32_t c = extra == 1 ? (b & 0x1F) : extra == 2 ? (b & 0x0F) : (b & 0x07);
  for (int k = 1; k <= extra; ++k) {
    char16_t next = bytes[i + static_cast<std::size_t>(k)];
    if (next > 0xFF || (next & 0xC0) != 0x80) return 0;
    c = (c << 6) | (next & 0x3F);
  }
  static const char32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
  if (c < kMinimum[extra] || (c >= 0xD800 && c < 0xE000) || c > 0x10FFFF) return 0;
  *code = c;
  return static_cast<std::size_t>(extra) + 1;
}

}  // namespace

std::u16string FromUtf8(std::string_view text) { return host::FromUtf8(text); }

std::string ToUtf8(std::u16string_view text) { return host::ToUtf8(text); }

std::string Show(std::u16string_view text, std::size_t limit) {
  std::string out;
  std::size_t shown = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (shown == limit) {
      out += "...";
      break;
    }
    ++shown;
    char16_t c = text[i];
    char escape[16];
    if (c < 0x20 || (c >= 0x7F && c < 0xA0)) {
      std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned>(c));
      out += escape;
    } else if (IsHigh(c) && i + 1 < text.size() && IsLow(text[i + 1])) {
      out += ToUtf8(text.substr(i, 2));
      ++i;
    } else if (IsHigh(c) || IsLow(c)) {
      std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
      out += escape;
    } else {
      AppendUtf8(c, &out);
    }
  }
  return out;
}

std::u16string DecodeCp1250(std::u16string_view bytes) {
  std::string narrow;
  narrow.reserve(bytes.size());
  for (char16_t c : bytes) narrow.push_back(static_cast<char>(c & 0xFF));
  if (narrow.empty()) return {};
  std::u16string wide(narrow.size(), u'\0');
  std::int32_t n = platform::MultiByteToWideChar(
      platform::kCodePage1250, 0, narrow.data(), static_cast<std::int32_t>(narrow.size()),
      &wide[0], static_cast<std::int32_t>(wide.size()));
  if (n <= 0) return std::u16string(bytes);
  wide.resize(static_cast<std::size_t>(n));
  return wide;
}

std::string ShowBytes(std::u16string_view bytes, std::size_t limit) {
  return Show(DecodeCp1250(bytes), limit);
}

std::string ShowHostName(const std::string& name) { return Show(FromUtf8(name), 4096); }

bool IsCp1250Undefined(char16_t byte) {
  return byte == 0x81 || byte == 0x83 || byte == 0x88 || byte == 0x90 || byte == 0x98;
}

bool LooksLikeUtf8(std::u16string_view bytes) {
  bool multi = false;
  for (std::size_t i = 0; i < bytes.size();) {
    char32_t c = 0;
    std::size_t n = Utf8SequenceAt(bytes, i, &c);
    if (n == 0) return false;
    if (n > 1) multi = true;
    i += n;
  }
  return multi;
}

std::u16string Fold(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out) c = wtext::ToLower(c);
  return out;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (wtext::ToLower(a[i]) != wtext::ToLower(b[i])) return false;
  }
  return true;
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
