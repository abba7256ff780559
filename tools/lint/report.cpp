#include <algorithm>
#include <cstdio>
#include <ostream>

#include "linter.h"
#include "text.h"

namespace lint {

namespace {

// brand.ini first, then the registry scripts, the message files, the rest.
int Rank(const std::string& host_name) {
  std::u16string name = FromUtf8(host_name);
  if (EqualNoCase(name, u"brand.ini")) return 0;
  if (EndsWithNoCase(name, u".reg")) return 1;
  if (EqualNoCase(name, u"inst.msg") || EqualNoCase(name, u"reboot.msg")) return 2;
  return 3;
}

std::string JoinPath(const std::string& prefix, const std::string& file) {
  if (file.empty()) return prefix;
  if (prefix.empty()) return file;
  if (prefix.back() == '/') return prefix + file;
  return prefix + "/" + file;
}

const char* SeverityWord(Severity severity) {
  return severity == Severity::kError ? "error" : "warning";
}

// A JSON string; the text is UTF-8 already, control characters are escaped.
std::string JsonString(const std::string& text) {
  return "\"" + host::JsonEscape(text, host::JsonControls::kNamed) + "\"";
}

}  // namespace

void Report::Add(const std::string& file, std::uint32_t line, Severity severity, const char* code,
                 std::string message) {
  if (severity == Severity::kError) ++errors_;
  if (++per_file_[file] > kFileLimit) {
    ++suppressed_[file];
    return;
  }
  findings_.push_back(Finding{file, line, severity, code, std::move(message)});
}

std::vector<Finding> Report::Sorted() const {
  std::vector<Finding> all = findings_;
  for (const auto& [file, count] : suppressed_) {
    all.push_back(Finding{file, 0xFFFFFFFFu, Severity::kWarning, "lint-more",
                          Plural(count, "more finding", "more findings") +
                              " in this file not shown"});
  }
  std::stable_sort(all.begin(), all.end(), [](const Finding& a, const Finding& b) {
    int ra = Rank(a.file), rb = Rank(b.file);
    if (ra != rb) return ra < rb;
    if (a.file != b.file) return a.file < b.file;
    return a.line < b.line;
  });
  for (Finding& f : all) {
    if (f.line == 0xFFFFFFFFu) f.line = 0;
  }
  return all;
}

void Report::WriteText(std::ostream& out, const std::string& prefix) const {
  for (const Finding& f : Sorted()) {
    out << ShowHostName(JoinPath(prefix, f.file));
    if (f.line > 0) out << ':' << f.line;
    out << ": " << SeverityWord(f.severity) << ": " << f.message << " [" << f.code << "]\n";
  }
}

void Report::WriteJson(std::ostream& out, const std::string& prefix) const {
  std::vector<Finding> all = Sorted();
  out << "[";
  for (std::size_t i = 0; i < all.size(); ++i) {
    const Finding& f = all[i];
    out << (i == 0 ? "\n" : ",\n") << "{\"file\": " << JsonString(ShowHostName(JoinPath(prefix, f.file)))
        << ", \"line\": " << f.line << ", \"severity\": \"" << SeverityWord(f.severity)
        << "\", \"code\": " << JsonString(f.code) << ", \"message\": " << JsonString(f.message)
        << "}";
  }
  out << (all.empty() ? "]\n" : "\n]\n");
}

}  // namespace lint
