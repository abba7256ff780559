#include "platform/wildcard.h"

#include <cstddef>

#include "platform/text.h"

namespace wtext {

namespace {

// Matches the first `pattern_length` units of `pattern` against all of
// `name`. Greedy with one point to come back to: on a mismatch after a "*",
// the star takes one more character of the name. No memory, no recursion.
bool Matches(const char16_t* pattern, std::size_t pattern_length, const char16_t* name,
             std::size_t name_length) {
  std::size_t p = 0;
  std::size_t n = 0;
  std::size_t star = static_cast<std::size_t>(-1);  // pattern index after the last "*"
  std::size_t star_name = 0;                         // where that star's run ends so far
  while (n < name_length) {
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

bool MatchesWildcard(const char16_t* pattern, std::size_t pattern_length, const char16_t* name,
                     std::size_t name_length) {
  if (Matches(pattern, pattern_length, name, name_length)) return true;
  return pattern_length >= 2 && pattern[pattern_length - 2] == u'.' &&
         pattern[pattern_length - 1] == u'*' &&
         Matches(pattern, pattern_length - 2, name, name_length);
}

}  // namespace wtext
