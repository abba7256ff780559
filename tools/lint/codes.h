// The codes that findings of `brandsim lint` carry, and what each means.
#pragma once

#include <cstddef>
#include <string>

namespace lint {

struct CodeInfo {
  const char* id;
  bool error;                 // the default severity: error, else warning
  const char* severity_note;  // how the severity varies ("(warning when ...)"), or ""
  // What the device does, as tools/lint/README.md's table says it after
  // "the device ..." (for lint-* codes: what the finding means).
  const char* summary;
  const char* explanation;  // why, in a few sentences
  const char* example;      // the fault, as a delivery holds it
  const char* fix;          // the same, mended
};

extern const CodeInfo kCodeTable[];
extern const std::size_t kCodeCount;

// The entry of a code, or null.
const CodeInfo* FindCode(const std::string& id);

// The summary as a sentence ("The device reads ..."), and the explanation
// with the example and the fix, as --explain and the SARIF rules give them.
std::string CodeSummary(const CodeInfo& info);
std::string CodeHelp(const CodeInfo& info);

}  // namespace lint
