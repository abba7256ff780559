// The device's wildcard rule for enumeration, in one place: the emulated
// device lists with it, and the Windows backend filters what the desktop's
// FindFirstFileW returns through it (the desktop also matches generated
// short names, which the device has none of).
#pragma once

#include <cstddef>

namespace wtext {

// Whether all of `name` matches all of `pattern` (lengths in UTF-16 units):
// "*" stands for any run of characters (none included), "?" for exactly
// one, and every other character for itself without regard to case. As on
// Windows, a pattern ending in ".*" also matches the name without an
// extension, so "*.*" matches every name and "inst.*" matches "inst".
bool MatchesWildcard(const char16_t* pattern, std::size_t pattern_length, const char16_t* name,
                     std::size_t name_length);

}  // namespace wtext
