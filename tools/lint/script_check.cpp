// Registry scripts: each *.reg goes through the importer's own rules
// (ParseRegistryScript) with a sink that writes nothing and watches what the
// device does with every line. A second reader of the same file, in step
// with the parse, gives the lines as written, so that a finding can say what
// the author wrote beside what the device makes of it.
#include <cstdio>

#include "linter.h"
#include "platform/text.h"
#include "registry/roots.h"
#include "registry/script.h"
#include "settings/line_reader.h"
#include "text.h"

namespace lint {

namespace {


struct RawLine {
  std::uint32_t number = 0;
  std::u16string stored;   // as delivered, NUL bytes kept
  std::u16string_view visible() const {  // what the rules see: up to a NUL
    std::size_t nul = stored.find(u'\0');
    return std::u16string_view(stored).substr(0, nul);
  }
  std::uint32_t full_length = 0;
  bool cut = false;
};

// The script's lines as written, read by the device's line reader a line at
// a time as the parse reaches them.
class RawLines {
 public:
  explicit RawLines(int fd) : bytes_{fd, kFileReadBudget}, reader_(new ByteLineReader) {
    StartByteLines(reader_.get(), HostFileSource(&bytes_));
  }

  // The line numbered `n`, which is never before the last one asked for;
  // null past the end of the file.
  const RawLine* At(std::uint32_t n) {
    while (current_.number < n) {
      char16_t line[kLineCapacity];
      if (!ReadByteLine(reader_.get(), line)) return nullptr;
      current_.number = reader_->line_number;
      current_.full_length = reader_->full_length;
      current_.cut = reader_->cut;
      current_.stored.assign(line, std::min<std::uint32_t>(reader_->full_length, kLineCapacity - 1));
    }
    return current_.number == n ? &current_ : nullptr;
  }
  std::uint32_t last() const { return current_.number; }
  const RawLine& current() const { return current_; }

 private:
  HostFileBytes bytes_;
  std::unique_ptr<ByteLineReader> reader_;
  RawLine current_;
};

const char* TypeName(char16_t digit) {
  switch (wtext::ToLower(digit)) {
    case u'0': return "REG_NONE";
    case u'1': return "REG_SZ";
    case u'2': return "REG_EXPAND_SZ";
    case u'3': return "REG_BINARY";
    case u'4': return "REG_DWORD";
    case u'5': return "REG_DWORD_BIG_ENDIAN";
    case u'6': return "REG_LINK";
    case u'7': return "REG_MULTI_SZ";
    case u'b': return "REG_QWORD";
    default: return "a typed value";
  }
}

bool StartsWith(std::u16string_view text, std::u16string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// Bytes that code page 1250 and Latin-1 read differently: a name made of
// them is not the name the author wrote, since names are never decoded.
bool DecodesDifferently(std::u16string_view bytes) {
  std::u16string decoded = DecodeCp1250(bytes);
  return decoded != std::u16string(bytes);
}

// The way the block of lines below a line that is not a value fares.
struct Cause {
  enum Kind {
    kNone,            // inside a key block
    kStart,           // before the first header
    kBlankLine,       // a blank line ended a block
    kOtherLine,       // a comment or another line ended a block
    kIndentedValue,   // a value line led by blanks ended a block
    kUnknownRoot,     // a header whose root the device does not know
    kDeleteKey,       // a [-key] header
    kIndentedHeader,  // a header led by blanks or a byte-order mark
  };
  Kind kind = kStart;
  std::uint32_t line = 0;
  std::u16string text;   // the line, as written
  std::u16string block;  // the header of the block it ended
  std::uint32_t first = 0, last = 0, count = 0;  // value lines passed over
};

class ScriptCheck {
 public:
  ScriptCheck(Context& context, std::string file, int raw_fd)
      : c_(context), file_(std::move(file)), raw_(raw_fd) {}

  void Run(int fd, const FileEnds& ends);

 private:
  static bool OnOpenKey(void* self, const ScriptHeader* header, std::uint32_t line_number) {
    static_cast<ScriptCheck*>(self)->OpenKey(*header, line_number);
    return true;  // what the device would create, the linter takes as created
  }
  static void OnValue(void* self, const ScriptValue* value) {
    static_cast<ScriptCheck*>(self)->Value(*value);
  }
  static void OnCloseKey(void*) {}
  static void OnNote(void* self, ScriptNote note, std::uint32_t line_number, const char16_t*) {
    static_cast<ScriptCheck*>(self)->Note(note, line_number);
  }

  void OpenKey(const ScriptHeader& header, std::uint32_t number);
  void Value(const ScriptValue& value);
  void Note(ScriptNote note, std::uint32_t number);
  void Flush();
  void LineBytes(const RawLine& raw, const char* what);
  // Yields whether a continuation swallowed a value or header line.
  bool Continuations(const ScriptValue& value);
  void LastLine(const FileEnds& ends);

  std::string Range(const Cause& cause) const {
    if (cause.count == 1) return "line " + std::to_string(cause.first);
    return "lines " + std::to_string(cause.first) + "-" + std::to_string(cause.last);
  }
  std::string PassedOver(const Cause& cause) const {
    return "the device passes over the " + Plural(cause.count, "value line", "value lines") +
           " below it (" + Range(cause) + ")";
  }

  Context& c_;
  std::string file_;
  RawLines raw_;
  Cause cause_;
  std::u16string block_;  // the header of the open block, as written
  ScriptKey key_;         // the key the open block writes to
  bool any_header_ = false;
  bool cr_only_ = false;  // lines end with CR alone: no line is ever delivered
};

void ScriptCheck::Run(int fd, const FileEnds& ends) {
  HostFileBytes bytes{fd, kFileReadBudget};
  auto reader = std::make_unique<ByteLineReader>();
  StartByteLines(reader.get(), HostFileSource(&bytes));
  auto scratch = std::make_unique<ScriptValue>();
  ScriptSink sink{this, OnOpenKey, OnValue, OnCloseKey, OnNote};
  ParseRegistryScript(reader.get(), &sink, scratch.get());
  Flush();
  raw_.At(0xFFFFFFFFu);
  if (bytes.cut) {
    c_.report.Warning(file_, 0, "lint-incomplete",
                      "the script is larger than " + std::to_string(kFileReadBudget >> 20) +
                          " MiB; its lines beyond that were not checked");
  }
  LastLine(ends);
  if (cr_only_) {
    c_.report.Error(file_, 0, "reg-changes-nothing",
                    "the file's lines end with CR alone: the device ends lines only at LF, so it "
                    "reads no line and changes nothing; save it with CR LF line ends");
  } else if (!any_header_) {
    c_.report.Error(file_, 0, "reg-changes-nothing",
                    "no line starts with a key header such as [HKEY_LOCAL_MACHINE\\Software\\...]: "
                    "the device changes nothing with this script");
  }
}

void ScriptCheck::LineBytes(const RawLine& raw, const char* what) {
  if (raw.visible().size() < raw.stored.size()) {
    c_.report.ErrorAt(file_, raw.number, static_cast<std::uint32_t>(raw.visible().size()) + 1,
                      "reg-nul",
                      std::string("the line holds a NUL byte after `") + ShowBytes(raw.visible()) +
                          "`: the device reads the line only up to it, so " + what +
                          " is cut there; remove the byte");
  }
}

void ScriptCheck::OpenKey(const ScriptHeader& header, std::uint32_t number) {
  Flush();
  cause_ = Cause{};
  cause_.kind = Cause::kNone;
  any_header_ = true;
  const RawLine* raw = raw_.At(number);
  block_ = raw != nullptr ? std::u16string(raw->visible()) : std::u16string();
  std::u16string path(header.path, wtext::Length(header.path, kLineCapacity));
  key_ = ScriptKey{header.root, path, file_, number};
  c_.script_keys.push_back(key_);
  if (raw == nullptr) return;
  LineBytes(*raw, "the key path");
  if (raw->cut && !header.closed) {
    c_.report.Error(file_, number, "reg-long-line",
                    "the line has " + std::to_string(raw->full_length) +
                        " characters: the device reads only the first 255, so it creates the "
                        "key `" + Show(path, 60) + "`");
  }
  if (DecodesDifferently(path)) {
    c_.report.Error(file_, number, "reg-name-bytes",
                    "the device does not decode key names from code page 1250: it creates `" +
                        Show(path) + "`, not `" + ShowBytes(path) +
                        "`; use only ASCII letters in key names");
  }
}

bool ScriptCheck::Continuations(const ScriptValue& value) {
  bool swallowed = false;
  for (std::uint32_t k = 1; k <= value.continued; ++k) {
    const RawLine* raw = raw_.At(value.line_number + k);
    if (raw == nullptr) break;
    std::u16string_view text = raw->visible();
    std::u16string_view trimmed = TrimBlanks(text);
    if (!trimmed.empty() && (text.front() == u'"' || text.front() == u'@' || text.front() == u'[')) {
      swallowed = true;
      c_.report.Error(file_, raw->number, "reg-hex-continuation",
                      "the line before ends with \"\\\", so the device reads this line as more "
                      "hexadecimal data: `" + ShowBytes(text, 60) +
                          "` is not applied; remove the trailing \"\\\" from line " +
                          std::to_string(raw->number - 1));
    }
    LineBytes(*raw, "the data");
    if (raw->cut) {
      c_.report.Error(file_, raw->number, "reg-long-line",
                      "the line has " + std::to_string(raw->full_length) +
                          " characters: the device reads only the first 255, so the data beyond "
                          "is lost; continue it on more lines");
    }
  }
  return swallowed;
}

void ScriptCheck::Value(const ScriptValue& value) {
  // The forms the device writes; the others are passed over.
  if (value.form == ScriptForm::kString || value.form == ScriptForm::kDword ||
      value.form == ScriptForm::kBinary) {
    c_.script_values.push_back(
        ScriptValueSet{key_.root, key_.path,
                       std::u16string(value.name, wtext::Length(value.name, kScriptNameCapacity)),
                       file_, value.line_number});
  }
  const RawLine* current = raw_.At(value.line_number);
  if (current == nullptr) return;
  // A copy: reading the continuation lines moves the raw reader on.
  const RawLine line = *current;
  const RawLine* raw = &line;
  std::u16string_view text = raw->visible();
  if (text.empty()) return;  // the rules saw this line, so it is never empty
  // Where the parser read: its own indices, never recounted here.
  auto index = [&](int i) { return std::min(static_cast<std::size_t>(i), text.size()); };
  std::size_t last = index(value.name_last);
  std::size_t form_at = index(value.form_at);
  std::size_t data_begin = index(value.data_begin);
  std::size_t data_end = std::max(data_begin, index(value.data_end));
  // What the rules skipped unexamined before the data: "=" and the form's word.
  std::u16string_view skipped = text.substr(form_at, data_begin - form_at);
  auto at = [&](std::size_t i) -> char16_t { return i < text.size() ? text[i] : 0; };
  std::u16string_view data = text.substr(form_at);
  // Where the data (the type) starts, for the findings about it.
  std::uint32_t data_column = static_cast<std::uint32_t>(form_at) + 1;
  std::u16string name(value.name, wtext::Length(value.name, kScriptNameCapacity));
  std::string shown_name = name.empty() ? "the default value" : "`" + Show(name) + "`";
  std::uint32_t number = value.line_number;

  LineBytes(*raw, "the value");
  if (text.front() == u'"') {
    std::u16string_view written = text.substr(1, last - 1);
    if (written.find(u"\\\\") != std::u16string_view::npos ||
        (!written.empty() && written.back() == u'\\')) {
      c_.report.Error(file_, number, "reg-escape",
                      "the device reads no escapes in value names: it names the value `" +
                          ShowBytes(written) + "` as written; write the name without escapes");
    }
    if (DecodesDifferently(name)) {
      c_.report.Error(file_, number, "reg-name-bytes",
                      "the device does not decode value names from code page 1250: it names the "
                      "value `" + Show(name) + "`, not `" + ShowBytes(name) +
                          "`; use only ASCII letters in value names");
    }
  }

  switch (value.form) {
    case ScriptForm::kNone: {
      if (!value.name_closed) {
        c_.report.Error(file_, number, "reg-name-unclosed",
                        "the value name has no closing quote: the device writes nothing");
      } else if (IsBlank(at(form_at - 1)) || IsBlank(at(form_at))) {
        std::u16string_view rest = TrimBlanks(text.substr(std::min(last + 1, text.size())));
        if (!rest.empty() && rest.front() == u'=') rest = TrimBlanks(rest.substr(1));
        std::u16string fixed = text.front() == u'@' ? std::u16string(u"@")
                                                    : std::u16string(text.substr(0, last + 1));
        c_.report.ErrorAt(
            file_, number, static_cast<std::uint32_t>(form_at), "reg-blank-around-equals",
            "the device takes the character after the name for \"=\" and reads the "
            "type from the next one, so with blanks around \"=\" it writes nothing "
            "for " +
                shown_name + "; write `" + ShowBytes(fixed) + "=" + ShowBytes(rest, 40) + "`");
      } else if (at(form_at) == u'-') {
        c_.report.ErrorAt(file_, number, data_column, "reg-delete-value",
                          "\"=-\" deletes a value for regedit, but the device deletes nothing and "
                          "writes nothing for " +
                              shown_name);
      } else if (EqualNoCase(data.substr(0, 6), u"dword:") || EqualNoCase(data.substr(0, 3), u"hex")) {
        c_.report.ErrorAt(file_, number, data_column, "reg-uppercase-type",
                          "the device reads the type only in lower case: it writes nothing for " +
                              shown_name + "; write `" +
                              ShowBytes(Fold(data.substr(0, data.find(u':') + 1))) + "`");
      } else {
        c_.report.ErrorAt(
            file_, number, data_column, "reg-unknown-type",
            "the device writes nothing for " + shown_name + " = `" + ShowBytes(data, 40) +
                "`: it writes only \"text\", dword:XXXXXXXX and hex:xx,xx,... values");
      }
      break;
    }
    case ScriptForm::kString: {
      std::u16string_view written = text.substr(data_begin, data_end - data_begin);
      std::u16string stored(value.text, wtext::Length(value.text, kScriptTextCapacity));
      bool paired = written.find(u"\\\\") != std::u16string_view::npos;
      for (std::size_t i = 0; paired && i < written.size(); ++i) {
        if (written[i] != u'\\') continue;
        if (i + 1 < written.size() && written[i + 1] == u'\\') {
          ++i;
        } else {
          paired = false;  // a lone backslash: a path written for the device
        }
      }
      if (value.text_closed && !written.empty() && written.back() == u'\\') {
        c_.report.ErrorAt(file_, number, static_cast<std::uint32_t>(data_begin + written.size()),
                          "reg-escape",
                          "the device reads no escapes: the string ends at the quote after the "
                          "backslash, so it writes `" +
                              Show(stored) + "` to " + shown_name);
      } else if (paired) {
        c_.report.ErrorAt(
            file_, number, static_cast<std::uint32_t>(data_begin + written.find(u"\\\\")) + 1,
            "reg-escape",
            "the device reads no escapes: it writes `" + Show(stored) +
                "` with every backslash doubled to " + shown_name + "; write single backslashes");
      }
      if (raw->cut && !value.text_closed) {
        c_.report.Error(file_, number, "reg-long-line",
                        "the line has " + std::to_string(raw->full_length) +
                            " characters: the device reads only the first 255, so it writes the "
                            "string cut to " + std::to_string(stored.size()) + " characters");
      } else if (!value.text_closed && raw->visible().size() == raw->stored.size()) {
        c_.report.Warning(file_, number, "reg-string-unclosed",
                          "the string has no closing quote: the device writes it up to the end "
                          "of the line");
      }
      for (std::size_t i = 0; i < written.size(); ++i) {
        char16_t b = written[i];
        if (IsCp1250Undefined(b)) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "0x%02X", static_cast<unsigned>(b));
          c_.report.ErrorAt(file_, number, static_cast<std::uint32_t>(data_begin + i) + 1,
                            "reg-cp1250-undefined",
                            std::string("the string holds the byte ") + hex +
                                ", which code page 1250 does not define: the device writes an "
                                "invisible control character in its place");
          break;
        }
      }
      if (LooksLikeUtf8(written)) {
        c_.report.ErrorAt(file_, number, static_cast<std::uint32_t>(data_begin) + 1, "reg-utf8",
                          "the string is UTF-8 text, but the device decodes code page 1250: it "
                          "writes `" +
                              Show(stored) + "`, not `" +
                              Show(FromUtf8(std::string(written.begin(), written.end()))) +
                              "`; save the script in code page 1250");
      }
      break;
    }
    case ScriptForm::kDword: {
      std::uint32_t number_value = value.number[0] | value.number[1] << 8 |
                                   value.number[2] << 16 |
                                   static_cast<std::uint32_t>(value.number[3]) << 24;
      char written[16];
      std::snprintf(written, sizeof written, "0x%08X", number_value);
      std::u16string_view digits = text.substr(data_begin, data_end - data_begin);
      char16_t after = at(data_end);
      if (skipped != u"dword:") {
        c_.report.ErrorAt(file_, number, data_column, "reg-dword-bad",
                          "`" + ShowBytes(data.substr(0, 8)) +
                              "` is taken for dword: and its first six characters are skipped "
                              "unexamined: the device writes " +
                              written + " to " + shown_name);
      } else if (digits.empty()) {
        c_.report.Error(file_, number, "reg-dword-bad",
                        "no hexadecimal digit after dword:: the device writes 0 to " + shown_name);
      } else if (after != 0 && !IsBlank(after) && after != u';') {
        c_.report.ErrorAt(
            file_, number, static_cast<std::uint32_t>(data_end) + 1, "reg-dword-bad",
            "the device reads the number only up to `" + ShowBytes(std::u16string(1, after)) +
                "`: it writes " + written + " to " + shown_name);
      }
      if (digits.size() > 8 &&
          digits.substr(0, digits.size() - 8).find_first_not_of(u'0') != std::u16string_view::npos) {
        c_.report.Error(file_, number, "reg-dword-digits",
                        Plural(digits.size(), "hexadecimal digit", "hexadecimal digits") +
                            ": the device keeps the last eight and writes " + written + " to " +
                            shown_name);
      }
      if (raw->cut && data_end >= text.size()) {
        c_.report.Error(file_, number, "reg-long-line",
                        "the line has " + std::to_string(raw->full_length) +
                            " characters: the device reads only the first 255");
      }
      break;
    }
    case ScriptForm::kBinary:
    case ScriptForm::kTypedBinary: {
      bool typed = value.form == ScriptForm::kTypedBinary;
      if (raw->cut) {
        c_.report.Error(file_, number, "reg-long-line",
                        "the line has " + std::to_string(raw->full_length) +
                            " characters: the device reads only the first 255, so the data beyond "
                            "is lost; continue it on more lines with a trailing \"\\\"");
      }
      // Garbage that follows from a swallowed line, or a lone digit left by
      // a cut, is not said again.
      bool swallowed = Continuations(value) || raw->cut || raw_.current().cut;
      if (typed) {
        char16_t digit = at(data_begin);  // hex(N): the rules read from N on
        c_.report.ErrorAt(file_, number, data_column, "reg-typed-hex",
                          "`" + ShowBytes(data.substr(0, data.find(u':') + 1)) + "` (" +
                              TypeName(digit) +
                              ") is not applied: the device writes only \"text\", "
                              "dword: and hex: values, and nothing for " +
                              shown_name);
      } else if (skipped != u"hex:") {
        c_.report.ErrorAt(file_, number, data_column, "reg-hex-bad",
                          "`" + ShowBytes(data.substr(0, 6)) +
                              "` is taken for hex: and its first four characters are skipped "
                              "unexamined: the device writes other bytes than meant to " +
                              shown_name);
      } else if (!swallowed && value.bad_pair) {
        c_.report.Error(file_, number, "reg-hex-bad",
                        "the data holds characters that are not hexadecimal pairs separated by "
                        "commas: the device turns each pair of characters into a byte anyway and "
                        "writes garbage to " + shown_name);
      } else if (!swallowed && value.odd_digit_dropped) {
        c_.report.Error(file_, number, "reg-hex-odd",
                        "an odd number of hexadecimal digits: the device drops the last digit and "
                        "writes " + Plural(value.size, "byte", "bytes") + " to " + shown_name);
      }
      if (!typed && value.binary_cut) {
        c_.report.Error(file_, number, "reg-hex-too-long",
                        "more than " + std::to_string(kScriptBinaryCapacity) +
                            " bytes of data: the device writes only the first " +
                            std::to_string(kScriptBinaryCapacity) + " to " + shown_name);
      }
      break;
    }
  }
}

void ScriptCheck::Note(ScriptNote note, std::uint32_t number) {
  const RawLine* raw = raw_.At(number);
  if (raw == nullptr) return;
  std::u16string text(raw->visible());
  std::u16string_view trimmed = TrimBlanks(text);
  switch (note) {
    case ScriptNote::kValueOutsideBlock:
      if (cause_.count++ == 0) cause_.first = number;
      cause_.last = number;
      return;
    case ScriptNote::kUnknownRoot: {
      Flush();
      cause_ = Cause{};
      any_header_ = true;
      cause_.kind = text.size() > 1 && text[1] == u'-' ? Cause::kDeleteKey : Cause::kUnknownRoot;
      cause_.line = number;
      cause_.text = text;
      return;
    }
    case ScriptNote::kBlockEnded: {
      Cause next;
      next.line = number;
      next.text = text;
      next.block = block_;
      if (raw->stored.empty() || text.empty()) {
        next.kind = text.empty() && !raw->stored.empty() ? Cause::kOtherLine : Cause::kBlankLine;
      } else if (!trimmed.empty() && (trimmed.front() == u'"' || trimmed.front() == u'@')) {
        next.kind = Cause::kIndentedValue;
      } else if (trimmed.empty()) {
        next.kind = Cause::kBlankLine;
      } else {
        next.kind = Cause::kOtherLine;
      }
      cause_ = next;
      return;
    }
    case ScriptNote::kIgnoredOutside: {
      std::u16string_view lead = trimmed;
      bool bom = StartsWith(text, u"\u00EF\u00BB\u00BF");
      if (bom) lead = TrimBlanks(std::u16string_view(text).substr(3));
      if (!lead.empty() && lead.front() == u'[') {
        Flush();
        cause_ = Cause{};
        any_header_ = true;
        cause_.kind = Cause::kIndentedHeader;
        cause_.line = number;
        cause_.text = text;
        cause_.block = bom ? u"bom" : u"";
      } else if (!lead.empty() && (lead.front() == u'"' || lead.front() == u'@')) {
        c_.report.Error(file_, number, "reg-indented-value",
                        "the line starts with a blank: the device reads a value only from a line "
                        "that starts with \" or @, and passes over this one; remove the blanks");
      }
      return;
    }
  }
}

void ScriptCheck::Flush() {
  const Cause& k = cause_;
  std::string block = ShowBytes(k.block, 60);
  switch (k.kind) {
    case Cause::kNone:
      break;
    case Cause::kStart:
      if (k.count > 0) {
        c_.report.Error(file_, k.first, "reg-value-outside-block",
                        Plural(k.count, "value line stands", "value lines stand") +
                            " before the first key header (" + Range(k) +
                            "): the device passes over them");
      }
      break;
    case Cause::kBlankLine:
      if (k.count > 0) {
        c_.report.Error(file_, k.line, "reg-block-ended",
                        "this blank line ends the key block of `" + block + "`: " + PassedOver(k) +
                            "; remove the blank line");
      }
      break;
    case Cause::kOtherLine:
      if (k.count > 0) {
        c_.report.Error(file_, k.line, "reg-block-ended",
                        "this line is not a value line, so it ends the key block of `" + block +
                            "`: " + PassedOver(k) + "; move it above the header or remove it");
      }
      break;
    case Cause::kIndentedValue:
      c_.report.Error(file_, k.line, "reg-indented-value",
                      "the line starts with a blank: the device reads a value only from a line "
                      "that starts with \" or @, so this one is not applied and it ends the key "
                      "block of `" + block + "`" +
                          (k.count > 0 ? "; " + PassedOver(k) : std::string()) +
                          "; remove the blanks");
      break;
    case Cause::kUnknownRoot: {
      std::u16string_view text(k.text);
      std::u16string root(text.substr(1, text.find_first_of(u"\\]", 1) - 1));
      std::u16string folded = Fold(root);
      std::string fix;
      for (std::size_t r = 0; r < kDeviceRootCount; ++r) {
        if (folded == Fold(kRegistryRoots[r].short_name)) {
          fix = "; write " + ToUtf8(kRegistryRoots[r].name);
        }
      }
      c_.report.Error(file_, k.line, "reg-unknown-root",
                      "the device knows only the roots HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER and "
                      "HKEY_CLASSES_ROOT, not `" + ShowBytes(root) + "`: it passes over this "
                      "header" + (k.count > 0 ? " and " + Plural(k.count, "value line", "value lines") : std::string()) +
                          fix);
      break;
    }
    case Cause::kDeleteKey:
      c_.report.Error(file_, k.line, "reg-delete-key",
                      "[-key] deletes a key for regedit, but the device deletes nothing here" +
                          (k.count > 0 ? " and passes over the " + Plural(k.count, "value line", "value lines") + " below" : std::string()) +
                          "; list the key under [REG_DEL_KEY] in brand.ini instead");
      break;
    case Cause::kIndentedHeader:
      c_.report.Error(file_, k.line, "reg-indented-header",
                      std::string(k.block.empty()
                                      ? "the header does not start at the line's first character"
                                      : "a UTF-8 byte-order mark stands before the header") +
                          ": the device passes over it" +
                          (k.count > 0 ? " and the " + Plural(k.count, "value line", "value lines") + " below it" : std::string()) +
                          (k.block.empty() ? "; remove the blanks" : "; save the script without the mark"));
      break;
  }
  cause_.kind = Cause::kNone;
  cause_.count = 0;
}

void ScriptCheck::LastLine(const FileEnds& ends) {
  std::string last;
  if (raw_.last() == 0) {
    last = ends.head;  // no LF at all: the whole file is that line
  } else {
    std::size_t lf = ends.tail.rfind('\n');
    if (lf == std::string::npos) return;  // a last line too long to see whole
    last = ends.tail.substr(lf + 1);
  }
  std::u16string units;
  for (char b : last) {
    if (b != '\r') units.push_back(static_cast<char16_t>(static_cast<unsigned char>(b)));
  }
  std::u16string_view trimmed = TrimBlanks(units);
  while (!trimmed.empty() && (trimmed.back() == 0x1A || trimmed.back() == 0)) trimmed.remove_suffix(1);
  if (trimmed.empty()) return;
  if (raw_.last() == 0 && last.find('\r') != std::string::npos) {
    cr_only_ = true;
    return;
  }
  std::u16string_view before = raw_.current().visible();
  bool continued = raw_.last() > 0 && !before.empty() && before.back() == u'\\';
  if (units[0] != u'[' && units[0] != u'"' && units[0] != u'@' && !continued) return;
  c_.report.Error(file_, raw_.last() + 1, "reg-no-final-newline",
                  "the last line has no line break: the device never reads it; end the file "
                  "with a line break");
}

}  // namespace

int ScriptRootOf(platform::HKey root) {
  const RegistryRoot* known = RootByKey(root);
  return known != nullptr ? known->script : kRootUnknown;
}

// HKEY_USERS has no ScriptRoot: the plan refuses its values.
int ScriptRootOfManifest(std::uint16_t root) {
  const RegistryRoot* known = RootByManifest(root);
  return known != nullptr ? known->script : kRootUnknown;
}

void CheckScripts(Context& context) {
  for (const platform::FindData& found : context.view.List(kScriptPattern)) {
    std::u16string name(found.cFileName, wtext::Length(found.cFileName, platform::kMaxPath));
    context.used.insert(Fold(name));
    if (found.dwFileAttributes & platform::kFileAttributeDirectory) continue;
    std::string host_name = context.HostName(name);
    FileEnds ends = ReadEnds(host_name, context.options);
    if (LooksLikeUtf16(ends.head)) {
      context.report.Error(host_name, 0, "reg-utf16",
                           "the script is UTF-16: the device reads it byte by byte, finds no key "
                           "header and changes nothing; save it as 8-bit text (regedit: \"Win9x/NT4 "
                           "Registration Files (*.reg)\", code page 1250)");
      continue;
    }
    std::u16string path = StagedPath(name);
    host::Fd file = context.view.OpenFile(path);
    if (!file.valid()) continue;
    host::Fd raw = context.view.OpenFile(path);
    if (!raw.valid()) continue;
    ScriptCheck check(context, host_name, raw.get());
    check.Run(file.get(), ends);
  }
}

}  // namespace lint
