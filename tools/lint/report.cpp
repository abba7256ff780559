#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <ostream>

#include "brandinst_version.h"
#include "codes.h"
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

// A path as a URI reference: every byte but the unreserved ones and "/"
// percent-encoded, so that blanks, "#", "%" and bytes that are not UTF-8 stay
// part of the name.
std::string UriPath(const std::string& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : path) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~' || c == '/') {
      out.push_back(static_cast<char>(c));
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  return out;
}

}  // namespace

void Report::Add(const std::string& file, std::uint32_t line, Severity severity, const char* code,
                 std::string message, std::uint32_t column) {
  if (disabled_.count(code) != 0) return;
  ++(severity == Severity::kError ? errors_ : warnings_);
  if (++per_file_[file] > kFileLimit) {
    ++suppressed_[file];
    return;
  }
  findings_.push_back(Finding{file, line, severity, code, std::move(message), column});
}

std::vector<Finding> Report::Sorted() const {
  std::vector<Finding> all = findings_;
  for (const auto& [file, count] : suppressed_) {
    if (disabled_.count("lint-more") != 0) break;
    all.push_back(Finding{file, 0xFFFFFFFFu, Severity::kWarning, "lint-more",
                          Plural(count, "more finding", "more findings") +
                              " in this file not shown"});
  }
  std::stable_sort(all.begin(), all.end(), [](const Finding& a, const Finding& b) {
    int ra = Rank(a.file), rb = Rank(b.file);
    if (ra != rb) return ra < rb;
    if (a.file != b.file) return a.file < b.file;
    if (a.line != b.line) return a.line < b.line;
    return a.column < b.column;
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
    if (f.line > 0 && f.column > 0) out << ':' << f.column;
    out << ": " << SeverityWord(f.severity) << ": " << f.message << " [" << f.code << "]\n";
  }
}

void Report::WriteJson(std::ostream& out, const std::string& prefix) const {
  std::vector<Finding> all = Sorted();
  out << "[";
  for (std::size_t i = 0; i < all.size(); ++i) {
    const Finding& f = all[i];
    out << (i == 0 ? "\n" : ",\n")
        << "{\"file\": " << JsonString(ShowHostName(JoinPath(prefix, f.file)))
        << ", \"line\": " << f.line << ", \"column\": " << f.column << ", \"severity\": \""
        << SeverityWord(f.severity) << "\", \"code\": " << JsonString(f.code)
        << ", \"message\": " << JsonString(f.message) << "}";
  }
  out << (all.empty() ? "]\n" : "\n]\n");
}

void Report::WriteSarif(std::ostream& out, const std::string& prefix) const {
  // The delivery as the base of every file's URI, a folder URI ending in "/".
  std::error_code ec;
  std::string base = std::filesystem::absolute(prefix, ec).lexically_normal().string();
  if (base.empty() || base.back() != '/') base += '/';
  out << "{\n  \"$schema\": \"https://json.schemastore.org/sarif-2.1.0.json\",\n"
      << "  \"version\": \"2.1.0\",\n  \"runs\": [{\n"
      << "    \"tool\": {\"driver\": {\"name\": \"brandsim lint\", \"version\": "
      << JsonString(BRANDINST_VERSION) << ", \"rules\": [";
  for (std::size_t i = 0; i < kCodeCount; ++i) {
    const CodeInfo& info = kCodeTable[i];
    out << (i == 0 ? "\n" : ",\n") << "      {\"id\": " << JsonString(info.id)
        << ", \"shortDescription\": {\"text\": " << JsonString(CodeSummary(info))
        << "}, \"fullDescription\": {\"text\": " << JsonString(info.explanation)
        << "}, \"help\": {\"text\": " << JsonString(CodeHelp(info))
        << "}, \"defaultConfiguration\": {\"level\": \"" << (info.error ? "error" : "warning")
        << "\"}}";
  }
  out << "]}},\n"
      << "    \"originalUriBaseIds\": {\"DELIVERY\": {\"uri\": "
      << JsonString("file://" + UriPath(base))
      << "}},\n    \"columnKind\": \"unicodeCodePoints\",\n    \"results\": [";
  std::vector<Finding> all = Sorted();
  for (std::size_t i = 0; i < all.size(); ++i) {
    const Finding& f = all[i];
    out << (i == 0 ? "\n" : ",\n") << "      {\"ruleId\": " << JsonString(f.code);
    for (std::size_t r = 0; r < kCodeCount; ++r) {
      if (f.code == kCodeTable[r].id) out << ", \"ruleIndex\": " << r;
    }
    // A finding about the delivery as a whole names the folder itself.
    out << ", \"level\": \"" << SeverityWord(f.severity)
        << "\", \"message\": {\"text\": " << JsonString(f.message)
        << "}, \"locations\": [{\"physicalLocation\": {"
        << "\"artifactLocation\": {\"uri\": " << JsonString(f.file.empty() ? "./" : UriPath(f.file))
        << ", \"uriBaseId\": \"DELIVERY\"}";
    if (f.line > 0) {
      out << ", \"region\": {\"startLine\": " << f.line;
      if (f.column > 0) out << ", \"startColumn\": " << f.column;
      out << "}";
    }
    out << "}}]}";
  }
  out << (all.empty() ? "]\n" : "\n    ]\n") << "  }]\n}\n";
}

void Report::WriteCounts(std::ostream& out) const {
  out << Plural(errors_, "error", "errors") << ", " << Plural(warnings_, "warning", "warnings")
      << "\n";
}

}  // namespace lint
