#include "platform/host/registry_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/text.h"
#include "registry/roots.h"
#include "platform/host/journal.h"
#include "platform/host/paths.h"
#include "platform/host/text.h"

namespace host {

namespace {

static_assert(RegistryStore::kRootCount == static_cast<int>(kDeviceRootCount) &&
                  kRegistryRoots[RegistryStore::kClassesRoot].key == platform::kHkeyClassesRoot &&
                  kRegistryRoots[RegistryStore::kCurrentUser].key == platform::kHkeyCurrentUser &&
                  kRegistryRoots[RegistryStore::kLocalMachine].key == platform::kHkeyLocalMachine,
              "the store's roots are the first places of the table of roots");

// Windows refuses deeper trees; the limit also keeps every walk over the tree
// (which recurses once per level) far from the end of the stack.
constexpr std::size_t kMaxDepth = 512;

// Where regedit breaks a hex line: once the text written on it reaches this
// column, the line ends with ",\" and the next one starts with two blanks.
constexpr std::size_t kHexLineLimit = 77;

const char kHeaderExpected[] =
    "expected \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\" as the first line";

// A save writes `registry.reg.new-PID-N` beside the file, then renames it.
const char kNewFileInfix[] = ".new-";

constexpr char16_t kEndOfFile = 0x1A;  // Ctrl-Z, which old editors leave at the end

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

void SkipBlanks(std::u16string_view* s) {
  while (!s->empty() && IsBlank(s->front())) s->remove_prefix(1);
}

std::u16string_view Trim(std::u16string_view s) {
  SkipBlanks(&s);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// Only blanks or a comment are left.
bool AtEnd(std::u16string_view s) {
  SkipBlanks(&s);
  return s.empty() || s.front() == u';';
}

int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}


// A piece of the file quoted in a message, cut so that one bad line cannot
// flood the terminal.
// Control characters are shown escaped: the message is one line, and a
// terminal gets no escape sequence from it.
std::string Quote(std::u16string_view text) {
  constexpr std::size_t kMax = 40;
  if (text.size() > kMax) return "'" + Show(text.substr(0, kMax)) + "...'";
  return "'" + Show(text) + "'";
}

// Calls f(component) for each non-empty name of a '\'-separated path.
template <typename F>
void ForEachName(std::u16string_view path, F&& f) {
  while (!path.empty()) {
    std::size_t slash = path.find(u'\\');
    std::u16string_view name = path.substr(0, slash);
    if (!name.empty()) f(name);
    if (slash == std::u16string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
}

// The lines of a registry file, decoded one at a time into one buffer, so
// that reading a file takes its bytes and the tree made of them, and no
// decoded copy of the whole.
class Lines {
 public:
  // `body`: the bytes after the byte-order mark; UTF-16LE ones are an even
  // number of bytes.
  Lines(std::string_view body, bool utf16) : body_(body), utf16_(utf16) {}

  // The next line without its line end (a CR before the LF included).
  // False at the end of the file, or when the line is not UTF-8: then
  // *bad_byte is the first byte that is not.
  bool Next(std::u16string_view* line, int* bad_byte) {
    *bad_byte = -1;
    if (pos_ >= body_.size()) return false;
    line_.clear();
    std::size_t end;
    if (utf16_) {
      end = pos_;
      while (end < body_.size() && !(body_[end] == '\n' && body_[end + 1] == '\0')) end += 2;
      line_.reserve((end - pos_) / 2);
      for (std::size_t i = pos_; i < end; i += 2) {
        line_.push_back(static_cast<char16_t>(static_cast<unsigned char>(body_[i]) |
                                              (static_cast<unsigned char>(body_[i + 1]) << 8)));
      }
      pos_ = end + 2;
    } else {
      end = body_.find('\n', pos_);
      if (end == std::string_view::npos) end = body_.size();
      std::size_t bad = 0;
      std::string_view bytes = body_.substr(pos_, end - pos_);
      pos_ = end + 1;
      if (!DecodeUtf8(bytes, &line_, &bad)) {
        *bad_byte = static_cast<unsigned char>(bytes[bad]);
        return false;
      }
    }
    *line = line_;
    if (!line->empty() && line->back() == u'\r') line->remove_suffix(1);
    return true;
  }

 private:
  std::string_view body_;
  bool utf16_;
  std::size_t pos_ = 0;
  std::u16string line_;
};

// Reads a registry file line by line and applies it to `target`; with no
// target it only checks the file. A file is checked whole before it is
// applied, so that a wrong line anywhere leaves the store unchanged.
class Parser {
 public:
  Parser(Lines* lines, const std::string& file_name, RegistryStore* target)
      : lines_(lines), file_name_(file_name), target_(target) {}

  bool Run(std::string* error);

 private:
  bool NextLine(std::u16string_view* line);
  bool Fail(const std::string& what);
  bool KeyLine(std::u16string_view s);
  bool ValueLine(std::u16string_view s);
  bool Quoted(std::u16string_view* s, std::u16string* out);
  bool Dword(std::u16string_view s, std::vector<std::uint8_t>* data);
  bool Hex(std::u16string_view s, std::vector<std::uint8_t>* data);

  Lines* lines_;
  std::size_t line_number_ = 0;
  const std::string& file_name_;
  RegistryStore* target_;
  std::shared_ptr<RegKey> current_;  // the key the value lines go to
  std::string error_;
  bool failed_ = false;  // NextLine met a line that is not UTF-8
  enum { kNoKey, kInKey, kInDeletedKey } state_ = kNoKey;
};

bool Parser::NextLine(std::u16string_view* line) {
  int bad_byte = -1;
  bool more = lines_->Next(line, &bad_byte);
  if (more || bad_byte >= 0) ++line_number_;
  if (bad_byte >= 0) {
    char byte[8];
    std::snprintf(byte, sizeof byte, "0x%02X", static_cast<unsigned>(bad_byte));
    // A file that is no registry export at all says so on its first line;
    // that is the better message there.
    Fail(line_number_ == 1 ? std::string(kHeaderExpected)
                           : std::string("not UTF-8 text (byte ") + byte +
                                 "); save the file as UTF-16LE with its mark, or as UTF-8");
    failed_ = true;
  }
  return more;
}

bool Parser::Fail(const std::string& what) {
  error_ = file_name_ + ":" + std::to_string(line_number_) + ": " + what;
  return false;
}

bool Parser::Run(std::string* error) {
  std::u16string_view line;
  if (NextLine(&line)) {
    std::u16string_view header = Trim(line);
    if (header != u"Windows Registry Editor Version 5.00" && header != u"REGEDIT4") {
      if (line.find(u'\0') != std::u16string_view::npos) {
        Fail("UTF-16 text without a byte-order mark (expected UTF-16LE with its mark, or UTF-8)");
      } else {
        Fail(kHeaderExpected);
      }
      *error = error_;
      return false;
    }
  }
  while (NextLine(&line)) {
    std::u16string_view s = line;
    SkipBlanks(&s);
    if (s.empty() || s.front() == u';') continue;
    if (s.front() == kEndOfFile) break;
    bool ok;
    if (s.front() == u'[') {
      ok = KeyLine(s);
    } else if (s.front() == u'@' || s.front() == u'"') {
      if (state_ == kNoKey) {
        ok = Fail("value line outside any key");
      } else if (state_ == kInDeletedKey) {
        ok = Fail("value line under a key deletion [-...]");
      } else {
        ok = ValueLine(s);
      }
    } else {
      ok = Fail("expected a [key] line, a value line (\"name\"= or @=) or a comment, not " +
                Quote(s));
    }
    if (!ok || failed_) {
      *error = error_;
      return false;
    }
  }
  if (failed_) {
    *error = error_;
    return false;
  }
  return true;
}

bool Parser::KeyLine(std::u16string_view s) {
  const bool deletion = s.size() > 1 && s[1] == u'-';
  const std::size_t start = deletion ? 2 : 1;
  std::size_t close = s.rfind(u']');
  if (close == std::u16string_view::npos || close < start) {
    return Fail("key line without its closing ']'");
  }
  if (!AtEnd(s.substr(close + 1))) return Fail("text after the key line's ']'");
  std::u16string_view path = s.substr(start, close - start);
  std::size_t slash = path.find(u'\\');
  std::u16string_view root_name = path.substr(0, slash);
  if (root_name.empty()) return Fail("key line without a root key name");
  int root = -1;
  for (int r = 0; r < RegistryStore::kRootCount; ++r) {
    if (EqualNoCase(root_name, kRegistryRoots[r].name)) root = r;
  }
  if (root < 0) return Fail("unknown root " + Show(root_name));
  std::u16string_view below =
      slash == std::u16string_view::npos ? std::u16string_view() : path.substr(slash + 1);
  std::size_t depth = 0;
  ForEachName(below, [&depth](std::u16string_view) { ++depth; });
  if (depth > kMaxDepth) {
    return Fail("key nested deeper than " + std::to_string(kMaxDepth) + " levels");
  }
  if (deletion && depth == 0) return Fail("a root key cannot be deleted");
  // The writer has no way to put a line break into a key line: a name with
  // one could be read but never written back.
  if (path.find(u'\r') != std::u16string_view::npos) {
    return Fail("a carriage return inside the key name " + Quote(path) +
                " (registry.reg cannot hold one)");
  }
  state_ = deletion ? kInDeletedKey : kInKey;
  if (target_ == nullptr) return true;
  const auto root_key = target_->root(static_cast<RegistryStore::Root>(root));
  if (deletion) {
    current_ = nullptr;
    // The last name, past any empty components at the end.
    std::u16string_view parent_path = below;
    while (!parent_path.empty() && parent_path.back() == u'\\') parent_path.remove_suffix(1);
    std::size_t last = parent_path.rfind(u'\\');
    std::u16string_view leaf =
        last == std::u16string_view::npos ? parent_path : parent_path.substr(last + 1);
    parent_path =
        last == std::u16string_view::npos ? std::u16string_view() : parent_path.substr(0, last);
    std::shared_ptr<RegKey> parent = target_->Find(root_key, parent_path);
    if (parent) target_->DeleteSubkey(parent.get(), leaf);
  } else {
    current_ = target_->Create(root_key, below, nullptr);
  }
  return true;
}

bool Parser::Quoted(std::u16string_view* s, std::u16string* out) {
  // *s starts after the opening quote.
  const std::u16string_view text = *s;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    if (c == u'"') {
      *s = text.substr(i + 1);
      return true;
    }
    if (c == u'\\') {
      if (i + 1 == text.size()) break;
      char16_t next = text[++i];
      if (next != u'\\' && next != u'"') {
        return Fail("unknown escape \\" + Show(text.substr(i, 1)) +
                    " in a string (a backslash is written \\\\, a quote \\\")");
      }
      c = next;
    }
    out->push_back(c);
  }
  return Fail("unterminated string");
}

bool Parser::Dword(std::u16string_view s, std::vector<std::uint8_t>* data) {
  SkipBlanks(&s);
  std::size_t end = 0;
  while (end < s.size() && !IsBlank(s[end]) && s[end] != u';') ++end;
  std::u16string_view digits = s.substr(0, end);
  // Leading zeros carry nothing: "0ffffffff" is a 32-bit number.
  std::size_t first = 0;
  while (first + 1 < digits.size() && digits[first] == u'0') ++first;
  bool ok = !digits.empty() && digits.size() - first <= 8;
  std::uint32_t value = 0;
  for (char16_t c : digits) {
    int v = HexValue(c);
    if (v < 0) ok = false;
    value = (value << 4) | static_cast<std::uint32_t>(v < 0 ? 0 : v);
  }
  if (!ok) {
    return Fail("dword needs 1 to 8 hex digits" +
                (digits.empty() ? std::string() : ", not " + Quote(digits)));
  }
  if (!AtEnd(s.substr(end))) return Fail("text after the dword value");
  data->assign({static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)});
  return true;
}

bool Parser::Hex(std::u16string_view s, std::vector<std::uint8_t>* data) {
  bool after_comma = false;
  for (;;) {
    SkipBlanks(&s);
    if (s.empty() || s.front() == u';') {
      if (after_comma) return Fail("hex data ends with a comma");
      return true;
    }
    if (s.front() == u'\\') {
      if (!AtEnd(s.substr(1))) return Fail("text after the continuation backslash");
      // The data goes on with the next line that is not a comment.
      std::u16string_view line;
      do {
        if (!NextLine(&line)) {
          return failed_ ? false : Fail("hex data continued past the end of the file");
        }
        s = line;
        SkipBlanks(&s);
      } while (!s.empty() && s.front() == u';');
      continue;
    }
    if (!data->empty() && !after_comma) return Fail("expected ',' between hex bytes");
    std::size_t end = 0;
    while (end < s.size() && s[end] != u',' && s[end] != u'\\' && s[end] != u';' &&
           !IsBlank(s[end])) {
      ++end;
    }
    std::u16string_view token = s.substr(0, end);
    int high = token.size() == 2 ? HexValue(token[0]) : 0;
    int low = token.empty() ? -1 : HexValue(token.back());
    if (token.empty() || token.size() > 2 || high < 0 || low < 0) {
      return Fail("bad hex byte " + Quote(token));
    }
    data->push_back(static_cast<std::uint8_t>(high * 16 + low));
    s.remove_prefix(end);
    SkipBlanks(&s);
    after_comma = !s.empty() && s.front() == u',';
    if (after_comma) s.remove_prefix(1);
  }
}

bool Parser::ValueLine(std::u16string_view s) {
  struct {
    bool deletion = false;
    std::u16string name;
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
  } change;
  if (s.front() == u'@') {
    s.remove_prefix(1);
  } else {
    s.remove_prefix(1);
    if (!Quoted(&s, &change.name)) return false;
    // As for key names: a name the writer could not write back is refused
    // here, before the run has changed anything.
    if (change.name.find(u'\r') != std::u16string::npos) {
      return Fail("a carriage return inside the value name " + Quote(change.name) +
                  " (registry.reg cannot hold one)");
    }
  }
  SkipBlanks(&s);
  if (s.empty() || s.front() != u'=') return Fail("expected '=' after the value name");
  s.remove_prefix(1);
  SkipBlanks(&s);
  if (s.empty()) return Fail("no data after '='");
  if (s.front() == u'-') {
    if (!AtEnd(s.substr(1))) return Fail("text after '-' (a value deletion)");
    change.deletion = true;
  } else if (s.front() == u'"') {
    s.remove_prefix(1);
    std::u16string text;
    if (!Quoted(&s, &text)) return false;
    if (!AtEnd(s)) return Fail("text after the string's closing quote");
    change.type = 1;  // REG_SZ, kept as Windows keeps it: UTF-16LE with its terminator
    AppendStringData(text, &change.data);
  } else if (StartsWithNoCase(s, u"dword:")) {
    change.type = 4;  // REG_DWORD
    if (!Dword(s.substr(6), &change.data)) return false;
  } else if (StartsWithNoCase(s, u"hex:")) {
    change.type = 3;  // REG_BINARY
    if (!Hex(s.substr(4), &change.data)) return false;
  } else if (StartsWithNoCase(s, u"hex(")) {
    std::size_t close = s.find(u')');
    std::u16string_view digits =
        close == std::u16string_view::npos ? s.substr(4) : s.substr(4, close - 4);
    std::uint32_t type = 0;
    bool ok = close != std::u16string_view::npos && !digits.empty() && digits.size() <= 8 &&
              close + 1 < s.size() && s[close + 1] == u':';
    for (char16_t c : digits) {
      int v = HexValue(c);
      if (v < 0) ok = false;
      type = (type << 4) | static_cast<std::uint32_t>(v < 0 ? 0 : v);
    }
    if (!ok) {
      std::u16string_view shown =
          s.substr(0, close == std::u16string_view::npos ? s.size() : close + 2);
      return Fail("bad value type " + Quote(shown) + " (expected hex(N): with N in hex)");
    }
    change.type = type;
    if (!Hex(s.substr(close + 2), &change.data)) return false;
  } else {
    std::size_t colon = s.find(u':');
    return Fail("unknown value type " + Quote(s.substr(0, colon)) +
                " (expected \"text\", dword:, hex: or hex(N):)");
  }
  if (target_ == nullptr) return true;
  if (change.deletion) {
    current_->values.erase(FoldName(change.name));
    return true;
  }
  auto [it, inserted] = current_->values.try_emplace(FoldName(change.name));
  if (inserted) it->second.name = std::move(change.name);
  it->second.type = change.type;
  it->second.data = std::move(change.data);
  return true;
}

}  // namespace

// Writes UTF-16LE straight into the output bytes.
// With a file descriptor, what is written goes to it in pieces, so that
// writing a registry takes no second copy of it in memory; with neither a
// string nor a descriptor, the bytes are only counted.
class Writer {
 public:
  explicit Writer(std::string* out, int fd = -1) : out_(out), fd_(fd) {}
  ~Writer() = default;
  void Unit(char16_t c) {
    written_ += 2;
    if (out_ == nullptr) return;
    out_->push_back(static_cast<char>(c & 0xFF));
    out_->push_back(static_cast<char>(c >> 8));
    if (fd_ >= 0 && out_->size() >= kPiece) Flush();
  }
  // Writes what is held to the descriptor; false (errno set) once any
  // write failed.
  bool Flush() {
    if (fd_ >= 0 && ok_ && !out_->empty()) {
      ok_ = WriteAll(fd_, *out_);
      if (!ok_) error_ = errno;
      out_->clear();
    }
    errno = error_;
    return ok_;
  }
  std::uintmax_t written() const { return written_; }
  void Text(std::u16string_view text) {
    for (char16_t c : text) Unit(c);
  }
  void Ascii(const char* text) {
    while (*text) Unit(static_cast<char16_t>(static_cast<unsigned char>(*text++)));
  }
  // Between quotes with \\ and \" escaped; returns the columns written.
  std::size_t Escaped(std::u16string_view text) {
    std::u16string escaped = RegeditEscape(text);
    Text(escaped);
    return escaped.size();
  }
  void HexByte(std::uint8_t b) {
    static const char kDigits[] = "0123456789abcdef";
    Unit(static_cast<char16_t>(kDigits[b >> 4]));
    Unit(static_cast<char16_t>(kDigits[b & 15]));
  }

 private:
  static constexpr std::size_t kPiece = 1 << 16;
  std::string* out_;
  int fd_;
  bool ok_ = true;
  int error_ = 0;
  std::uintmax_t written_ = 0;
};

namespace {

// REG_SZ data that reads back byte for byte from "text": UTF-16 with one
// terminator, at the end, and nothing that would break the line.
bool IsPlainString(const std::vector<std::uint8_t>& data) {
  if (data.size() < 2 || data.size() % 2 != 0) return false;
  const std::size_t units = data.size() / 2;
  auto unit = [&data](std::size_t i) {
    return static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  };
  if (unit(units - 1) != 0) return false;
  for (std::size_t i = 0; i + 1 < units; ++i) {
    char16_t c = unit(i);
    if (c == 0 || c == u'\r' || c == u'\n') return false;
    if (c >= 0xD800 && c < 0xDC00) {
      if (i + 2 >= units) return false;
      char16_t next = unit(i + 1);
      if (next < 0xDC00 || next >= 0xE000) return false;
      ++i;
    } else if (c >= 0xDC00 && c < 0xE000) {
      return false;
    }
  }
  return true;
}

void WriteValue(Writer& w, const RegValue& value) {
  std::size_t column;
  if (value.name.empty()) {
    w.Ascii("@=");
    column = 2;
  } else {
    w.Unit(u'"');
    column = w.Escaped(value.name) + 3;
    w.Ascii("\"=");
  }
  const std::vector<std::uint8_t>& data = value.data;
  if (value.type == 1 && IsPlainString(data)) {
    w.Unit(u'"');
    w.Escaped(StringDataText(data.data(), data.size()));
    w.Unit(u'"');
  } else if (value.type == 4 && data.size() == 4) {
    w.Ascii("dword:");
    for (int i = 3; i >= 0; --i) w.HexByte(data[i]);
  } else {
    if (value.type == 3) {
      w.Ascii("hex:");
      column += 4;
    } else {
      char prefix[16];
      int n = std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(value.type));
      w.Ascii(prefix);
      column += static_cast<std::size_t>(n);
    }
    for (std::size_t i = 0; i < data.size(); ++i) {
      w.HexByte(data[i]);
      if (i + 1 == data.size()) break;
      w.Unit(u',');
      column += 3;
      if (column >= kHexLineLimit) {
        w.Ascii("\\\r\n  ");
        column = 2;
      }
    }
  }
  w.Ascii("\r\n");
}

void WriteKey(Writer& w, const RegKey& key, std::u16string& path, bool is_root) {
  // A root is always there: its line is needed only for its own values.
  if (!is_root || !key.values.empty()) {
    w.Unit(u'[');
    w.Text(path);
    w.Ascii("]\r\n");
    for (const auto& entry : key.values) WriteValue(w, entry.second);
    w.Ascii("\r\n");
  }
  for (const auto& entry : key.subkeys) {
    const std::size_t length = path.size();
    path.push_back(u'\\');
    path += entry.second->name;
    WriteKey(w, *entry.second, path, false);
    path.resize(length);
  }
}


// The layout has no way to write a line break inside a name: such a name
// would come back as something else, or not at all.
bool FindUnwritableName(const RegKey& key, std::u16string& path, std::u16string* found) {
  for (const auto& entry : key.values) {
    if (HasLineBreak(entry.second.name)) {
      *found = u"the value \"" + entry.second.name + u"\" of " + path;
      return true;
    }
  }
  for (const auto& entry : key.subkeys) {
    const std::size_t length = path.size();
    path.push_back(u'\\');
    path += entry.second->name;
    if (HasLineBreak(entry.second->name)) {
      *found = u"the key " + path;
      return true;
    }
    if (FindUnwritableName(*entry.second, path, found)) return true;
    path.resize(length);
  }
  return false;
}

std::string SystemError(const std::string& what, const std::string& file, int err) {
  return "cannot " + what + " " + file + ": " + std::strerror(err);
}

}  // namespace

bool HasLineBreak(std::u16string_view name) {
  return name.find_first_of(u"\r\n") != std::u16string_view::npos;
}

void AppendStringData(std::u16string_view text, std::vector<std::uint8_t>* data) {
  data->reserve(data->size() + text.size() * 2 + 2);
  for (char16_t c : text) {
    data->push_back(static_cast<std::uint8_t>(c & 0xFF));
    data->push_back(static_cast<std::uint8_t>(c >> 8));
  }
  data->push_back(0);
  data->push_back(0);
}

RegistryStore::RegistryStore() {
  for (int r = 0; r < kRootCount; ++r) {
    roots_[r] = std::make_shared<RegKey>();
    roots_[r]->name = kRegistryRoots[r].name;
  }
}

const char16_t* RegistryStore::RootName(Root r) {
  return r >= 0 && r < kRootCount ? kRegistryRoots[r].name : u"";
}

std::shared_ptr<RegKey> RegistryStore::Find(const std::shared_ptr<RegKey>& from,
                                            std::u16string_view path) const {
  std::shared_ptr<RegKey> key = from;
  ForEachName(path, [&key](std::u16string_view name) {
    if (!key) return;
    auto it = key->subkeys.find(FoldName(name));
    key = it == key->subkeys.end() ? nullptr : it->second;
  });
  return key;
}

std::shared_ptr<RegKey> RegistryStore::Create(const std::shared_ptr<RegKey>& from,
                                              std::u16string_view path, bool* created) {
  if (created) *created = false;
  if (!from || from->deleted) return nullptr;
  std::shared_ptr<RegKey> key = from;
  bool made = false;
  ForEachName(path, [&key, &made](std::u16string_view name) {
    auto [it, inserted] = key->subkeys.try_emplace(FoldName(name));
    if (inserted) {
      it->second = std::make_shared<RegKey>();
      it->second->name = name;
      it->second->parent = key.get();
    }
    made = inserted;
    key = it->second;
  });
  if (created) *created = made;
  return key;
}

bool RegistryStore::DeleteSubkey(RegKey* parent, std::u16string_view name) {
  if (!parent || parent->deleted) return false;
  auto it = parent->subkeys.find(FoldName(name));
  if (it == parent->subkeys.end()) return false;
  // The removed keys will hold their parents alive, so the parent that stays
  // in the tree is needed as a shared pointer too.
  std::shared_ptr<RegKey> parent_ref;
  if (parent->parent) {
    parent_ref = parent->parent->subkeys.at(FoldName(parent->name));
  } else {
    for (const auto& root : roots_) {
      if (root.get() == parent) parent_ref = root;
    }
  }
  std::vector<std::pair<std::shared_ptr<RegKey>, std::shared_ptr<RegKey>>> pending;
  pending.emplace_back(std::move(it->second), std::move(parent_ref));
  parent->subkeys.erase(it);
  while (!pending.empty()) {
    auto [key, up] = std::move(pending.back());
    pending.pop_back();
    key->deleted = true;
    key->removed_parent = std::move(up);
    key->values.clear();
    for (auto& entry : key->subkeys) pending.emplace_back(std::move(entry.second), key);
    key->subkeys.clear();
  }
  return true;
}

const RegValue* RegistryStore::GetValue(const RegKey* key, std::u16string_view name) const {
  if (!key) return nullptr;
  auto it = key->values.find(FoldName(name));
  return it == key->values.end() ? nullptr : &it->second;
}

void RegistryStore::SetValue(RegKey* key, std::u16string_view name, std::uint32_t type,
                             const std::uint8_t* data, std::size_t size) {
  if (!key || key->deleted) return;
  auto [it, inserted] = key->values.try_emplace(FoldName(name));
  // An existing value keeps the name it was created with, as on Windows.
  if (inserted) it->second.name = name;
  it->second.type = type;
  if (size == 0) {
    it->second.data.clear();
  } else {
    it->second.data.assign(data, data + size);
  }
}

bool RegistryStore::DeleteValue(RegKey* key, std::u16string_view name) {
  if (!key || key->deleted) return false;
  return key->values.erase(FoldName(name)) > 0;
}

std::u16string RegistryStore::FullPath(const RegKey* key) const {
  std::vector<const RegKey*> chain;
  std::size_t length = 0;
  for (const RegKey* k = key; k; k = k->parent) {
    chain.push_back(k);
    length += k->name.size() + 1;
  }
  std::u16string path;
  path.reserve(length);
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (!path.empty()) path.push_back(u'\\');
    path += (*it)->name;
  }
  return path;
}

bool RegistryStore::Parse(std::string_view bytes, const std::string& file_name,
                          std::string* error) {
  const std::string shown = ShowHostName(file_name);
  bool utf16 = false;
  std::string_view body = bytes;
  if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
    if (bytes.size() % 2 != 0) {
      // Count the lines the whole characters make, to point at the end.
      std::size_t line = 1;
      for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
        line += bytes[i] == '\n' && bytes[i + 1] == '\0';
      }
      *error = shown + ":" + std::to_string(line) + ": UTF-16 text that ends in half a character";
      return false;
    }
    utf16 = true;
    body.remove_prefix(2);
  } else if (bytes.size() >= 2 && bytes[0] == '\xFE' && bytes[1] == '\xFF') {
    *error = shown + ":1: big-endian UTF-16 text (expected UTF-16LE with its mark, or UTF-8)";
    return false;
  } else if (body.substr(0, 3) == "\xEF\xBB\xBF") {
    body.remove_prefix(3);
  }

  // Checked whole first, then applied: the store is changed whole or not
  // at all, and what it takes is the tree the file makes, nothing more.
  Lines check_lines(body, utf16);
  Parser check(&check_lines, shown, nullptr);
  if (!check.Run(error)) return false;
  bool was_empty = true;
  for (const auto& root : roots_) {
    if (!root->values.empty() || !root->subkeys.empty()) was_empty = false;
  }
  Lines lines(body, utf16);
  Parser apply(&lines, shown, this);
  if (!apply.Run(error)) return false;
  // What loads must load again once written back, which may take more
  // bytes than it was read from (UTF-8 becomes UTF-16, every key gets a
  // line of its own). Checked where the file is the whole registry, which
  // is then emptied again.
  if (was_empty) {
    std::uintmax_t size = WrittenSize();
    if (size > kMaxFileBytes) {
      for (int r = 0; r < kRootCount; ++r) {
        roots_[r] = std::make_shared<RegKey>();
        roots_[r]->name = kRegistryRoots[r].name;
      }
      *error = shown + ": the registry it holds would be written back as " +
               std::to_string(size) + " bytes; a registry file may hold at most " +
               std::to_string(kMaxFileBytes) + " bytes";
      return false;
    }
  }
  return true;
}

bool RegistryStore::Load(const std::filesystem::path& file, std::string* error) {
  const std::string name = file.string();
  const std::string shown = ShowHostName(name);
  // Only a regular file of the image itself: a link is not followed (it
  // could lead out of the image, or nowhere, which would read as an empty
  // registry), and a fifo or a device must not hold the run; the checks
  // are made on what was opened, not on the name.
  int fd = ::open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return true;
    if (errno == ELOOP) {
      *error = "cannot read " + shown +
               ": it is a symbolic link; the registry must be a file of the image itself";
      return false;
    }
    *error = SystemError("read", shown, errno);
    return false;
  }
  Fd owned(fd);
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    *error = SystemError("read", shown, errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = "cannot read " + shown + ": not a regular file";
    return false;
  }
  if (static_cast<std::uintmax_t>(st.st_size) > kMaxFileBytes) {
    *error = "cannot read " + shown + ": " + std::to_string(st.st_size) +
             " bytes; a registry file may hold at most " + std::to_string(kMaxFileBytes) +
             " bytes";
    return false;
  }
  // One buffer of the file's size; a file that grows while it is read is
  // read up to the bound and no further.
  std::string bytes;
  bytes.resize(static_cast<std::size_t>(st.st_size) + 1);
  std::size_t got = 0;
  for (;;) {
    if (got == bytes.size()) {
      if (bytes.size() > kMaxFileBytes) {
        *error = "cannot read " + shown + ": it grew past " + std::to_string(kMaxFileBytes) +
                 " bytes while it was read";
        return false;
      }
      bytes.resize(std::min<std::size_t>(bytes.size() * 2, kMaxFileBytes + 1));
    }
    ssize_t n = ::read(fd, &bytes[got], bytes.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = SystemError("read", shown, errno);
      return false;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  bytes.resize(got);
  owned.Reset();
  return Parse(bytes, name, error);
}

std::u16string FormatValue(const RegValue& value) {
  std::string bytes;
  Writer w(&bytes);
  WriteValue(w, value);
  std::u16string text;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    char16_t c = static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                       (static_cast<unsigned char>(bytes[i + 1]) << 8));
    if (c != u'\r') text.push_back(c);
  }
  return text;
}

void RegistryStore::Write(Writer& w) const {
  w.Unit(0xFEFF);
  w.Ascii("Windows Registry Editor Version 5.00\r\n\r\n");
  for (const auto& root : roots_) {
    std::u16string path = root->name;
    WriteKey(w, *root, path, true);
  }
}

std::string RegistryStore::Serialize() const {
  std::string out;
  Writer w(&out);
  Write(w);
  return out;
}

std::uintmax_t RegistryStore::WrittenSize() const {
  Writer w(nullptr);
  Write(w);
  return w.written();
}

bool RegistryStore::Save(const std::filesystem::path& file, std::string* error) const {
  const std::string name = file.string();
  const std::string shown = ShowHostName(name);
  // What the file holds while this save has not replaced it.
  const std::string kept = saves_ > 0
                               ? " (" + shown + " was not replaced: it holds the registry as the "
                                                "last save wrote it, without the changes since)"
                               : " (" + shown + " was not replaced: it holds the registry as it "
                                                "was read, without any change made since)";
  for (const auto& root : roots_) {
    std::u16string path = root->name;
    std::u16string found;
    if (FindUnwritableName(*root, path, &found)) {
      failed_saves_++;
      *error = "cannot write " + shown + ": " + Show(found) +
               " has a line break in its name" + kept;
      return false;
    }
  }
  std::filesystem::path folder = file.parent_path();
  if (folder.empty()) folder = ".";

  static std::atomic<unsigned> counter{0};
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = name + kNewFileInfix + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    failed_saves_++;
    *error = SystemError("create a new file beside", shown, errno) + kept;
    return false;
  }
  // The new file takes the old one's permissions, as an edit in place would.
  struct stat st;
  if (::lstat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    (void)::fchmod(fd, st.st_mode & 07777);
  }
  auto give_up = [&](const std::string& what, int err) {
    if (fd >= 0) ::close(fd);
    ::unlink(temp.c_str());
    failed_saves_++;
    *error = SystemError(what, shown, err) + kept;
    return false;
  };
  std::string piece;
  Writer w(&piece, fd);
  Write(w);
  if (!w.Flush()) return give_up("write the new", errno);
  if (::fsync(fd) != 0) return give_up("sync the new", errno);
  int closed = ::close(fd);
  fd = -1;
  if (closed != 0) return give_up("write the new", errno);
  if (::rename(temp.c_str(), name.c_str()) != 0) return give_up("replace", errno);
  saves_++;

  // The rename itself is durable only once the folder is synced.
  const std::string replaced =
      " (" + shown + " was replaced with every change so far, but until the folder is synced "
      "a power loss could bring back the file it replaced)";
  int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) {
    failed_saves_++;
    *error = SystemError("sync the folder of", shown, errno) + replaced;
    return false;
  }
  int synced = ::fsync(dir);
  int err = errno;
  ::close(dir);
  // Some file systems cannot sync a folder at all and say so with EINVAL.
  if (synced != 0 && err != EINVAL) {
    failed_saves_++;
    *error = SystemError("sync the folder of", shown, err) + replaced;
    return false;
  }
  return true;
}

std::size_t RegistryStore::RemoveLeftovers(const std::filesystem::path& file) {
  std::filesystem::path folder = file.parent_path();
  if (folder.empty()) folder = ".";
  const std::string prefix = file.filename().string() + kNewFileInfix;
  Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) return 0;
  int copy = ::fcntl(dir.get(), F_DUPFD_CLOEXEC, 0);
  DIR* names = copy < 0 ? nullptr : ::fdopendir(copy);
  if (names == nullptr) {
    if (copy >= 0) ::close(copy);
    return 0;
  }
  std::vector<std::string> found;
  while (const dirent* entry = ::readdir(names)) {
    if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0) {
      found.emplace_back(entry->d_name);
    }
  }
  ::closedir(names);
  std::size_t removed = 0;
  // unlinkat removes a name only: a link among them is not followed.
  for (const std::string& leftover : found) {
    if (::unlinkat(dir.get(), leftover.c_str(), 0) == 0) ++removed;
  }
  return removed;
}

}  // namespace host
