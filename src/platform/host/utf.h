// UTF-8 and UTF-16 at the boundary between the emulated device and the host:
// file names, the journal, messages and the command line. One implementation
// for the backend, the tools and the tests.
#pragma once

#include <string>
#include <string_view>

namespace host {

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string ToUtf8(std::u16string_view text);
// UTF-16 to UTF-8 for a host name; false for a lone surrogate, which no
// host name can hold, but for U+DC80..U+DCFF, which FromUtf8 makes of a
// byte that is not UTF-8 and which turn back into that byte.
bool ToUtf8Exact(std::u16string_view text, std::string* out);
// UTF-8 to UTF-16; each byte that is not part of a valid sequence becomes
// U+DC80..U+DCFF (its value), so that a host name survives the round trip.
std::u16string FromUtf8(std::string_view text);
// UTF-8 to UTF-16; false for anything that is not valid UTF-8.
bool FromUtf8Exact(std::string_view text, std::u16string* out);

// A host name (a path, a file name) for a message: UTF-8 as it stands, with
// control characters escaped (\r, \n, \t, \xNN; \u0085 for C1 ones) and
// each byte that is not part of valid UTF-8 shown as \xNN. Never cut at a NUL.
std::string ShowHostName(std::string_view bytes);
// Appends one character as a message shows it (the escapes above).
void AppendShown(char32_t c, std::string* out);

}  // namespace host
