#include "platform/text.h"

#include <cstring>

namespace wtext {

std::size_t Length(const char16_t* text, std::size_t max) {
  std::size_t n = 0;
  while (n < max && text[n] != 0) ++n;
  return n;
}

bool CopyN(char16_t* dst, std::size_t capacity, const char16_t* src, std::size_t count) {
  if (capacity == 0) return false;
  std::size_t i = 0;
  for (; i < count && src[i] != 0; ++i) {
    if (i + 1 >= capacity) {
      dst[i] = 0;
      return false;
    }
    dst[i] = src[i];
  }
  dst[i] = 0;
  return true;
}

bool Copy(char16_t* dst, std::size_t capacity, const char16_t* src) {
  return CopyN(dst, capacity, src, static_cast<std::size_t>(-1));
}

bool Append(char16_t* dst, std::size_t capacity, const char16_t* src) {
  std::size_t used = Length(dst, capacity);
  if (used >= capacity) return false;  // not terminated: nothing sensible to append to
  return Copy(dst + used, capacity - used, src);
}

namespace {

// Splits `format` around its single conversion "%c" and writes prefix,
// argument, suffix. A format without the conversion is copied as it stands.
bool FormatWith(char16_t* dst, std::size_t capacity, const char16_t* format, char16_t conversion,
                const char16_t* argument) {
  if (capacity == 0) return false;
  dst[0] = 0;
  std::size_t i = 0;
  while (format[i] != 0 && !(format[i] == u'%' && format[i + 1] == conversion)) ++i;
  if (!CopyN(dst, capacity, format, i)) return false;
  if (format[i] == 0) return true;
  if (!Append(dst, capacity, argument)) return false;
  return Append(dst, capacity, format + i + 2);
}

}  // namespace

bool FormatText(char16_t* dst, std::size_t capacity, const char16_t* format,
                const char16_t* argument) {
  return FormatWith(dst, capacity, format, u's', argument);
}

bool FormatNumber(char16_t* dst, std::size_t capacity, const char16_t* format, int argument) {
  char16_t digits[16];
  char16_t reversed[16];
  std::size_t n = 0;
  // Work in unsigned so that the most negative int is no overflow.
  unsigned int magnitude = argument < 0 ? 0u - static_cast<unsigned int>(argument)
                                        : static_cast<unsigned int>(argument);
  do {
    reversed[n++] = static_cast<char16_t>(u'0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  std::size_t k = 0;
  if (argument < 0) digits[k++] = u'-';
  while (n > 0) digits[k++] = reversed[--n];
  digits[k] = 0;
  return FormatWith(dst, capacity, format, u'd', digits);
}

char16_t ToLower(char16_t c) {
  if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c + 32);
  if (c < 0xC0) return c;
  if (c <= 0xDE) return c == 0xD7 ? c : static_cast<char16_t>(c + 32);
  if (c == 0x130) return u'i';
  if (c >= 0x100 && c <= 0x137) return (c & 1) ? c : static_cast<char16_t>(c + 1);
  if (c >= 0x139 && c <= 0x148) return (c & 1) ? static_cast<char16_t>(c + 1) : c;
  if (c >= 0x14A && c <= 0x177) return (c & 1) ? c : static_cast<char16_t>(c + 1);
  if (c == 0x178) return 0xFF;
  if (c >= 0x179 && c <= 0x17E) return (c & 1) ? static_cast<char16_t>(c + 1) : c;
  return c;
}

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

bool Equal(const char16_t* a, const char16_t* b) {
  std::size_t i = 0;
  while (a[i] != 0 && a[i] == b[i]) ++i;
  return a[i] == b[i];
}

bool EqualNoCase(const char16_t* a, const char16_t* b) {
  std::size_t i = 0;
  while (a[i] != 0 && ToLower(a[i]) == ToLower(b[i])) ++i;
  return ToLower(a[i]) == ToLower(b[i]);
}

bool EqualNoCaseN(const char16_t* a, const char16_t* b, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (ToLower(a[i]) != ToLower(b[i])) return false;
    if (a[i] == 0) return true;
  }
  return true;
}

int Find(const char16_t* text, char16_t c) {
  for (int i = 0; text[i] != 0; ++i) {
    if (text[i] == c) return i;
  }
  return -1;
}

int FindLast(const char16_t* text, char16_t c) {
  int found = -1;
  for (int i = 0; text[i] != 0; ++i) {
    if (text[i] == c) found = i;
  }
  return found;
}

void Clear(void* buffer, std::size_t bytes) { std::memset(buffer, 0, bytes); }

}  // namespace wtext
