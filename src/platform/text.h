// Bounded wide-text helpers used everywhere in the core.
//
// Every function that writes takes the destination's capacity in code units,
// terminator included, never writes past it, and always leaves the
// destination terminated (when capacity > 0). Functions that can run out of
// room yield false and leave the text cut at the capacity; callers that must
// not act on a cut text (a path, a command line) test the result.
#pragma once

#include <cstddef>
#include <cstdint>

namespace wtext {

// Number of code units before the terminator, looking at most `max` units.
std::size_t Length(const char16_t* text, std::size_t max);

bool Copy(char16_t* dst, std::size_t capacity, const char16_t* src);
// Copies at most `count` code units of src (fewer when its terminator comes first).
bool CopyN(char16_t* dst, std::size_t capacity, const char16_t* src, std::size_t count);
bool Append(char16_t* dst, std::size_t capacity, const char16_t* src);

// `format` with exactly one "%s" (FormatText) or one "%d" (FormatNumber).
bool FormatText(char16_t* dst, std::size_t capacity, const char16_t* format,
                const char16_t* argument);
bool FormatNumber(char16_t* dst, std::size_t capacity, const char16_t* format, int argument);

// Lower case as the device's wide-text library folds it: ASCII, Latin-1 and
// Latin Extended-A, which covers every letter of code page 1250.
char16_t ToLower(char16_t c);
bool IsDigit(char16_t c);

bool Equal(const char16_t* a, const char16_t* b);
bool EqualNoCase(const char16_t* a, const char16_t* b);
// Compares the first `count` code units without regard to case; a text that
// ends earlier differs unless the other ends at the same place.
bool EqualNoCaseN(const char16_t* a, const char16_t* b, std::size_t count);

// Index of the first `c` in text, or -1.
int Find(const char16_t* text, char16_t c);
// Index of the last `c` in text, or -1.
int FindLast(const char16_t* text, char16_t c);

void Clear(void* buffer, std::size_t bytes);

}  // namespace wtext
