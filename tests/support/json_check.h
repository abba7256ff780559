// A strict reader for one line of the journal: exactly one JSON object, text
// in UTF-8. Small on purpose; the journal needs no more than this.
#pragma once

#include <map>
#include <string>

namespace simtest {

struct JsonValue {
  enum Kind { kString, kNumber, kBool, kNull, kObject, kArray } kind = kNull;
  // kString: the decoded text (UTF-8); kNumber: the number as written;
  // kBool: "true" or "false"; other kinds: empty.
  std::string text;
};

using JsonObject = std::map<std::string, JsonValue>;

// Parses `line` as one JSON object (blanks around it allowed) and hands back
// its members. False with *error set for anything that is not exactly that:
// bad syntax, text after the object, a repeated member name, bytes that are
// not UTF-8, an unescaped control character, or a lone surrogate escape.
bool ParseJsonObject(const std::string& line, JsonObject* object, std::string* error);

}  // namespace simtest
