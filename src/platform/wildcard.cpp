#include "platform/win32/wildcard.h"

#include <cstddef>

#include "platform/text.h"

namespace win32 {

namespace {

// Matches the first `pattern_length` units of `pattern` against all of
// `name`. Greedy with one point to come back to: on a mismatch after a "*",
// the star takes one more character of the name. Linear memory, no recursion.
bool Matches(const char16_t* pattern, std::size_t pattern_length, const char16_t* name) {
  std::size_t p = 0;
  std::size_t n = 0;
  std::size_t star = static_cast<std::size_t>(-1);  // pattern index after the last "*"
  std::size_t star_name = 0;                         // where that star's run ends so far
  while (name[n] != 0) {
    if (p < pattern_length && pattern[p] == u'*') {
      star = ++p;
      star_name = n;
    } else if (p < pattern_length &&
               (pattern[p] == u'?' || wtext::ToLower(pattern[p]) == wtext::ToLower(name[n]))) {
      ++p;
      ++n;
    } else if (star != static_cast<std::size_t>(-1)) {
      p = star;
      n = ++star_name;
    } else {
      return false;
    }
  }
  while (p < pattern_length && pattern[p] == u'*') ++p;
  return p == pattern_length;
}

}  // namespace

bool MatchesWildcard(const char16_t* pattern, const char16_t* name) {
  std::size_t length = 0;
  while (pattern[length] != 0) ++length;
  if (Matches(pattern, length, name)) return true;
  return length >= 2 && pattern[length - 2] == u'.' && pattern[length - 1] == u'*' &&
         Matches(pattern, length - 2, name);
}

}  // namespace win32
