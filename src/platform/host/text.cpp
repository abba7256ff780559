// Text on the host side (text.h), and the device's code page 1250
// converter behind platform::MultiByteToWideChar.

#include "platform/host/text.h"

#include <iconv.h>

#include <array>
#include <cstdio>
#include <cstring>

#include "platform/host/internal.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace host {

namespace {

const char kHexDigits[] = "0123456789abcdef";

bool IsHigh(char16_t c) { return c >= 0xD800 && c < 0xDC00; }
bool IsLow(char16_t c) { return c >= 0xDC00 && c < 0xE000; }

// Converts; false (with U+FFFD in place) when a lone surrogate was met.
// With `host_bytes`, a lone U+DC80..U+DCFF is the host byte it stands for
// (FromUtf8) and is written back as that byte.
bool Utf16ToUtf8(std::u16string_view text, std::string* out, bool host_bytes = false) {
  bool exact = true;
  bool bytes = false;
  out->clear();
  out->reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (IsHigh(text[i]) && i + 1 < text.size() && IsLow(text[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (host_bytes && c >= 0xDC80 && c <= 0xDCFF) {
      out->push_back(static_cast<char>(c & 0xFF));
      bytes = true;
      continue;
    } else if (IsHigh(text[i]) || IsLow(text[i])) {
      c = 0xFFFD;
      exact = false;
    }
    AppendUtf8(c, out);
  }
  return exact && !bytes;
}

// The length of the valid UTF-8 sequence at text[i] and its code point in
// *code; 0 when the bytes there are not UTF-8 (overlong forms, encoded
// surrogates and values past U+10FFFF are not).
std::size_t SequenceAt(std::string_view text, std::size_t i, char32_t* code) {
  unsigned char b = static_cast<unsigned char>(text[i]);
  int extra = b < 0x80             ? 0
              : (b & 0xE0) == 0xC0 ? 1
              : (b & 0xF0) == 0xE0 ? 2
              : (b & 0xF8) == 0xF0 ? 3
                                   : -1;
  if (extra < 0 || i + static_cast<std::size_t>(extra) >= text.size()) return 0;
  char32_t c = extra == 0 ? b : extra == 1 ? (b & 0x1F) : extra == 2 ? (b & 0x0F) : (b & 0x07);
  for (int k = 1; k <= extra; ++k) {
    unsigned char next = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
    if ((next & 0xC0) != 0x80) return 0;
    c = (c << 6) | (next & 0x3F);
  }
  static const char32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
  if (c < kMinimum[extra] || (c >= 0xD800 && c < 0xE000) || c > 0x10FFFF) return 0;
  *code = c;
  return static_cast<std::size_t>(extra) + 1;
}

void AppendUtf16(char32_t c, std::u16string* out) {
  if (c >= 0x10000) {
    c -= 0x10000;
    out->push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
    out->push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
  } else {
    out->push_back(static_cast<char16_t>(c));
  }
}

// Decodes UTF-8; each byte that is not part of a valid sequence becomes
// the lone surrogate U+DC80..U+DCFF of its value, which ToUtf8Exact turns
// back into that byte (a host name read this way leads back to its file)
// and messages show as \xNN. Yields whether there was none.
bool Utf8ToUtf16(std::string_view text, std::u16string* result) {
  std::u16string& out = *result;
  out.clear();
  out.reserve(text.size());
  bool exact = true;
  std::size_t i = 0;
  while (i < text.size()) {
    char32_t c = 0;
    std::size_t n = SequenceAt(text, i, &c);
    if (n == 0) {
      out.push_back(static_cast<char16_t>(0xDC00 | static_cast<unsigned char>(text[i])));
      exact = false;
      ++i;
      continue;
    }
    AppendUtf16(c, &out);
    i += n;
  }
  return exact;
}

// Code page 1250 to UTF-16, one entry a byte: every byte is one character.
// Built from iconv's table; the five bytes iconv leaves undefined are the C1
// controls of the same value in Windows' own table.
struct Cp1250Table {
  bool ok = false;
  std::array<char16_t, 256> units{};

  Cp1250Table() {
    iconv_t cd = iconv_open("UTF-16LE", "CP1250");
    if (cd == reinterpret_cast<iconv_t>(-1)) return;
    ok = true;
    for (int b = 0; b < 256 && ok; ++b) {
      if (IsCp1250Undefined(static_cast<std::uint32_t>(b))) {
        units[b] = static_cast<char16_t>(b);
        continue;
      }
      char in = static_cast<char>(b);
      unsigned char out[8];
      char* in_ptr = &in;
      char* out_ptr = reinterpret_cast<char*>(out);
      std::size_t in_left = 1, out_left = sizeof out;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
      if (iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left) == static_cast<std::size_t>(-1) ||
          sizeof out - out_left != 2) {
        ok = false;
      } else {
        units[b] = static_cast<char16_t>(out[0] | (out[1] << 8));
      }
    }
    iconv_close(cd);
  }
};

}  // namespace

std::u16string_view View(const char16_t* text) {
  return text == nullptr ? std::u16string_view() : std::u16string_view(text);
}

// ---- UTF-8 and UTF-16 --------------------------------------------------------

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

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  Utf16ToUtf8(text, &out);
  return out;
}

bool ToUtf8Exact(std::u16string_view text, std::string* out) {
  if (Utf16ToUtf8(text, out, true)) return true;
  // Host bytes stand in the text: exact only when they read back as the
  // same text, so that no two names lead to one host name.
  return FromUtf8(*out) == text;
}

std::u16string FromUtf8(std::string_view text) {
  std::u16string out;
  Utf8ToUtf16(text, &out);
  return out;
}

bool FromUtf8Exact(std::string_view text, std::u16string* out) { return Utf8ToUtf16(text, out); }

std::string ToUtf16Le(std::u16string_view text, bool mark) {
  std::string out = mark ? "\xFF\xFE" : "";
  out.reserve(out.size() + text.size() * 2);
  for (char16_t c : text) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>(c >> 8));
  }
  return out;
}

std::u16string FromUtf16Le(std::string_view bytes) {
  std::u16string text;
  text.reserve(bytes.size() / 2);
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    text.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                         (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  }
  if (!text.empty() && text[0] == 0xFEFF) text.erase(0, 1);
  return text;
}

bool DecodeUtf8(std::string_view bytes, std::u16string* out, std::size_t* bad) {
  out->reserve(out->size() + bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    char32_t c = 0;
    std::size_t n = SequenceAt(bytes, i, &c);
    if (n == 0) {
      *bad = i;
      return false;
    }
    AppendUtf16(c, out);
    i += n;
  }
  return true;
}

// ---- Case ---------------------------------------------------------------------

std::u16string FoldName(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out) c = FoldUnit(c);
  return out;
}

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (text[i] != prefix[i] && FoldUnit(text[i]) != FoldUnit(prefix[i])) return false;
  }
  return true;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && StartsWithNoCase(a, b);
}

int CompareNoCase(std::u16string_view a, std::u16string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] == b[i]) continue;
    const char16_t x = FoldUnit(a[i]), y = FoldUnit(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

// ---- Escapes ------------------------------------------------------------------

std::string JsonEscape(std::string_view utf8, JsonControls controls) {
  const bool named = controls == JsonControls::kNamed;
  std::string out;
  out.reserve(utf8.size() + 2);
  for (char c : utf8) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (named && c == '\n') {
      out += "\\n";
    } else if (named && c == '\r') {
      out += "\\r";
    } else if (named && c == '\t') {
      out += "\\t";
    } else if (u < 0x20 || (named && u == 0x7F)) {
      out += "\\u00";
      out.push_back(kHexDigits[u >> 4]);
      out.push_back(kHexDigits[u & 0xF]);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string JsonEscape(std::u16string_view text) { return JsonEscape(ToUtf8(text)); }

std::string HtmlEscape(std::string_view text) {
  std::string utf8 = ToUtf8(FromUtf8(text));
  std::string out;
  out.reserve(utf8.size());
  for (char c : utf8) {
    unsigned char u = static_cast<unsigned char>(c);
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        if (u < 0x20 || u == 0x7F) {
          out += "\\x";
          out.push_back(kHexDigits[u >> 4]);
          out.push_back(kHexDigits[u & 0xF]);
        } else {
          out.push_back(c);
        }
    }
  }
  return out;
}

std::u16string RegeditEscape(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (char16_t c : text) {
    if (c == u'\\' || c == u'"') out.push_back(u'\\');
    out.push_back(c);
  }
  return out;
}

// ---- Text for messages and transcripts ----------------------------------------

void AppendShown(char32_t c, std::string* out) {
  if (c == '\r') {
    *out += "\\r";
  } else if (c == '\n') {
    *out += "\\n";
  } else if (c == '\t') {
    *out += "\\t";
  } else if (c < 0x20 || c == 0x7F) {
    *out += "\\x";
    out->push_back(kHexDigits[c >> 4]);
    out->push_back(kHexDigits[c & 0xF]);
  } else if (c >= 0x80 && c < 0xA0) {
    // C1 controls: some terminals act on them too.
    *out += "\\u00";
    out->push_back(kHexDigits[c >> 4]);
    out->push_back(kHexDigits[c & 0xF]);
  } else {
    AppendUtf8(c, out);
  }
}

std::string Show(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (IsHigh(text[i]) && i + 1 < text.size() && IsLow(text[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xDC80 && c <= 0xDCFF) {
      // A host byte that is not UTF-8 (FromUtf8).
      out += "\\x";
      out.push_back(kHexDigits[(c >> 4) & 0xF]);
      out.push_back(kHexDigits[c & 0xF]);
      continue;
    } else if (IsHigh(text[i]) || IsLow(text[i])) {
      // A lone surrogate has no UTF-8 form: its number is shown.
      out += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) out.push_back(kHexDigits[(c >> shift) & 0xF]);
      continue;
    }
    AppendShown(c, &out);
  }
  return out;
}

std::string ShowCut(std::u16string_view text, std::size_t limit) {
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

std::string ShowHostName(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::size_t end = i + 1;
    while (end < bytes.size() && end - i < 4 &&
           (static_cast<unsigned char>(bytes[end]) & 0xC0) == 0x80) {
      ++end;
    }
    // The longest run that may be one character, decoded strictly.
    std::u16string one;
    if (FromUtf8Exact(bytes.substr(i, end - i), &one) && !one.empty()) {
      char32_t c = one[0];
      if (one.size() == 2) c = 0x10000 + ((c - 0xD800) << 10) + (one[1] - 0xDC00);
      AppendShown(c, &out);
      i = end;
      continue;
    }
    unsigned char b = static_cast<unsigned char>(bytes[i]);
    out += "\\x";
    out.push_back(kHexDigits[b >> 4]);
    out.push_back(kHexDigits[b & 0xF]);
    ++i;
  }
  return out;
}

// ---- Code page 1250 -----------------------------------------------------------

bool IsCp1250Undefined(std::uint32_t byte) {
  return byte == 0x81 || byte == 0x83 || byte == 0x88 || byte == 0x90 || byte == 0x98;
}

std::u16string DecodeCp1250(std::string_view bytes) {
  if (bytes.empty()) return {};
  std::u16string out(bytes.size(), u'\0');
  int n = platform::MultiByteToWideChar(platform::kCodePage1250, 0, bytes.data(),
                                        static_cast<int>(bytes.size()), out.data(),
                                        static_cast<int>(out.size()));
  out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return out;
}

}  // namespace host

namespace platform {

std::int32_t MultiByteToWideChar(std::uint32_t code_page, std::uint32_t /*flags*/,
                                 const char* bytes, std::int32_t count, char16_t* wide,
                                 std::int32_t capacity) {
  static const host::Cp1250Table table;
  if (code_page != kCodePage1250 || !table.ok || bytes == nullptr || capacity < 0) return 0;
  // -1: the text runs to its terminator, which is converted too.
  std::size_t n = count == -1 ? std::strlen(bytes) + 1 : static_cast<std::size_t>(count);
  if (count == 0 || count < -1 || n > 0x7FFFFFFF) return 0;
  // Capacity 0 asks how many units the text needs, as on Windows.
  if (capacity == 0) return static_cast<std::int32_t>(n);
  if (wide == nullptr || n > static_cast<std::size_t>(capacity)) return 0;
  for (std::size_t i = 0; i < n; ++i) wide[i] = table.units[static_cast<unsigned char>(bytes[i])];
  return static_cast<std::int32_t>(n);
}

}  // namespace platform
