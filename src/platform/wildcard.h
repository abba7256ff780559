// The whole-name wildcard test that enumeration results must pass. Kept apart
// from the API calls so that it can be tested on any host.
#pragma once

namespace win32 {

// Whether all of `name` matches all of `pattern`: "*" stands for any run of
// characters (none included), "?" for exactly one, and every other character
// for itself without regard to case. As on Windows, a pattern ending in ".*"
// also matches the name without an extension, so "*.*" matches every name.
bool MatchesWildcard(const char16_t* pattern, const char16_t* name);

}  // namespace win32
