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
#include <functional>
#include <new>
#include <utility>

#include "platform/host/journal.h"
#include "platform/host/paths.h"
#include "platform/host/text.h"
#include "platform/text.h"
#include "registry/roots.h"

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

}  // namespace

// The bytes of a registry file, read from the start, as often as needed,
// a piece at a time.
class Source {
 public:
  virtual ~Source() = default;
  // Starts again at byte `offset`.
  virtual void Seek(std::uint64_t offset) = 0;
  // Up to `size` bytes; 0 at the end; -1 when they could not be read (then
  // error() says why).
  virtual std::ptrdiff_t Read(char* out, std::size_t size) = 0;
  virtual std::string error() const { return std::string(); }
};

namespace {

class MemorySource : public Source {
 public:
  explicit MemorySource(std::string_view bytes) : bytes_(bytes) {}
  void Seek(std::uint64_t offset) override {
    pos_ = std::min<std::size_t>(static_cast<std::size_t>(offset), bytes_.size());
  }
  std::ptrdiff_t Read(char* out, std::size_t size) override {
    std::size_t n = std::min(size, bytes_.size() - pos_);
    std::memcpy(out, bytes_.data() + pos_, n);
    pos_ += n;
    return static_cast<std::ptrdiff_t>(n);
  }

 private:
  std::string_view bytes_;
  std::size_t pos_ = 0;
};

// A file, read with pread. The image is locked for the run, but a file
// that grows while it is read is read up to the bound and no further.
class FileSource : public Source {
 public:
  FileSource(int fd, std::string shown) : fd_(fd), shown_(std::move(shown)) {}
  void Seek(std::uint64_t offset) override { pos_ = offset; }
  std::ptrdiff_t Read(char* out, std::size_t size) override {
    if (pos_ > RegistryStore::kMaxFileBytes) {
      error_ = "cannot read " + shown_ + ": it grew past " +
               std::to_string(RegistryStore::kMaxFileBytes) + " bytes while it was read";
      return -1;
    }
    for (;;) {
      ssize_t n = ::pread(fd_, out, size, static_cast<off_t>(pos_));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        error_ = "cannot read " + shown_ + ": " + std::strerror(errno);
        return -1;
      }
      pos_ += static_cast<std::uint64_t>(n);
      return n;
    }
  }
  std::string error() const override { return error_; }

 private:
  int fd_;
  std::string shown_;
  std::uint64_t pos_ = 0;
  std::string error_;
};

// The lines of a registry file, read through a buffer of fixed size (it
// grows only to hold one long line whole) and decoded one at a time.
class Lines {
 public:
  // `source` is at the first byte after the byte-order mark.
  Lines(Source* source, bool utf16) : source_(source), utf16_(utf16) {}

  // The next line without its line end (a CR before the LF included).
  // False at the end of the file, when the line is not UTF-8 (then
  // *bad_byte is the first byte that is not), or when the file could not
  // be read (then failed()).
  bool Next(std::u16string_view* line, int* bad_byte) {
    *bad_byte = -1;
    std::size_t end = start_;
    const std::size_t step = utf16_ ? 2 : 1;
    for (;;) {
      // Whole units only: a UTF-16 line end is an LF unit, never the
      // second half of another.
      while (end + step <= buffer_.size() &&
             !(buffer_[end] == '\n' && (!utf16_ || buffer_[end + 1] == '\0'))) {
        end += step;
      }
      if (end + step <= buffer_.size()) break;
      if (at_end_) {
        if (start_ >= buffer_.size()) return false;
        end = buffer_.size();
        break;
      }
      // Keep the unread part and read more after it.
      buffer_.erase(0, start_);
      end -= start_;
      start_ = 0;
      const std::size_t kept = buffer_.size();
      buffer_.resize(kept + kPiece);
      std::ptrdiff_t n = source_->Read(&buffer_[kept], kPiece);
      buffer_.resize(kept + static_cast<std::size_t>(std::max<std::ptrdiff_t>(n, 0)));
      if (n < 0) {
        failed_ = true;
        return false;
      }
      total_ += static_cast<std::uint64_t>(n);
      if (n == 0) at_end_ = true;
    }
    std::string_view bytes(buffer_.data() + start_, end - start_);
    start_ = std::min(end + step, buffer_.size());
    if (line_.capacity() > 4 * kPiece && bytes.size() < kPiece) line_ = std::u16string();
    line_.clear();
    if (utf16_) {
      line_.reserve(bytes.size() / 2);
      for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        line_.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                              (static_cast<unsigned char>(bytes[i + 1]) << 8)));
      }
    } else {
      std::size_t bad = 0;
      if (!DecodeUtf8(bytes, &line_, &bad)) {
        *bad_byte = static_cast<unsigned char>(bytes[bad]);
        return false;
      }
    }
    // A long line's buffer goes once it is read.
    if (buffer_.capacity() > 4 * kPiece && buffer_.size() - start_ < kPiece) {
      buffer_.erase(0, start_);
      start_ = 0;
      buffer_.shrink_to_fit();
    }
    *line = line_;
    if (!line->empty() && line->back() == u'\r') line->remove_suffix(1);
    return true;
  }

  bool failed() const { return failed_; }
  std::string error() const { return source_->error(); }
  // The bytes read so far.
  std::uint64_t total() const { return total_; }

 private:
  static constexpr std::size_t kPiece = 1 << 16;
  Source* source_;
  bool utf16_;
  std::string buffer_;
  std::size_t start_ = 0;
  bool at_end_ = false;
  bool failed_ = false;
  std::uint64_t total_ = 0;
  std::u16string line_;
};

}  // namespace

// Reads a registry file line by line and applies it to `target`; with no
// target it only checks the file. A file is checked whole before it is
// applied, so that a wrong line anywhere leaves the store unchanged.
class Parser {
 public:
  Parser(Lines* lines, const std::string& file_name, RegistryStore* target)
      : lines_(lines), file_name_(file_name), target_(target) {}

  bool Run(std::string* error);
  // The key lines and value lines read: about the entries the file adds
  // to the store's index.
  std::size_t entries() const { return entries_; }

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
  std::uint32_t current_ = 0;  // the key the value lines go to
  std::string error_;
  bool failed_ = false;  // NextLine met a line that is not UTF-8
  enum { kNoKey, kInKey, kInDeletedKey } state_ = kNoKey;
  std::size_t entries_ = 0;
};

bool Parser::NextLine(std::u16string_view* line) {
  int bad_byte = -1;
  bool more = lines_->Next(line, &bad_byte);
  if (more || bad_byte >= 0) ++line_number_;
  if (!more && lines_->failed()) {
    error_ = lines_->error();
    failed_ = true;
  }
  if (bad_byte >= 0) {
    char byte[16];
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
  entries_ += !deletion;
  if (target_ == nullptr) return true;
  const auto root_key = static_cast<std::uint32_t>(root);
  if (deletion) {
    // The last name, past any empty components at the end.
    std::u16string_view parent_path = below;
    while (!parent_path.empty() && parent_path.back() == u'\\') parent_path.remove_suffix(1);
    std::size_t last = parent_path.rfind(u'\\');
    std::u16string_view leaf =
        last == std::u16string_view::npos ? parent_path : parent_path.substr(last + 1);
    parent_path =
        last == std::u16string_view::npos ? std::u16string_view() : parent_path.substr(0, last);
    std::uint32_t parent = target_->Walk(root_key, parent_path);
    if (parent != RegistryStore::kNone) {
      std::uint32_t gone = target_->Lookup(parent, false, leaf);
      if (gone != RegistryStore::kNone) target_->Remove(gone);
    }
  } else {
    current_ = target_->MakePath(root_key, below, nullptr);
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
  entries_ += !change.deletion;
  if (target_ == nullptr) return true;
  if (change.deletion) {
    target_->Drop(current_, change.name);
  } else {
    target_->Put(current_, change.name, change.type, change.data.data(), change.data.size());
  }
  return true;
}

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
bool IsPlainString(const std::uint8_t* data, std::size_t size) {
  if (size < 2 || size % 2 != 0) return false;
  const std::size_t units = size / 2;
  auto unit = [data](std::size_t i) {
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

void WriteValue(Writer& w, std::u16string_view name, std::uint32_t type, const std::uint8_t* data,
                std::size_t size) {
  std::size_t column;
  if (name.empty()) {
    w.Ascii("@=");
    column = 2;
  } else {
    w.Unit(u'"');
    column = w.Escaped(name) + 3;
    w.Ascii("\"=");
  }
  if (type == 1 && IsPlainString(data, size)) {
    w.Unit(u'"');
    w.Escaped(StringDataText(data, size));
    w.Unit(u'"');
  } else if (type == 4 && size == 4) {
    w.Ascii("dword:");
    for (int i = 3; i >= 0; --i) w.HexByte(data[i]);
  } else {
    if (type == 3) {
      w.Ascii("hex:");
      column += 4;
    } else {
      char prefix[16];
      int n = std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(type));
      w.Ascii(prefix);
      column += static_cast<std::size_t>(n);
    }
    for (std::size_t i = 0; i < size; ++i) {
      w.HexByte(data[i]);
      if (i + 1 == size) break;
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

// ---- The arenas -------------------------------------------------------------

template <typename T, unsigned Shift>
std::uint32_t Arena<T, Shift>::Add(const T* items, std::size_t count) {
  const std::uint64_t capacity = std::uint64_t{chunks_.size()} << kShift;
  if (count > capacity - end_) {
    // The rest of the last chunk stays unused: a run is never split.
    const std::uint64_t chunks = (count + kChunk - 1) >> kShift;
    // Addresses are 32 bits, and the last one stays free to mean "none".
    if (capacity + (chunks << kShift) >= (std::uint64_t{1} << 32)) throw std::bad_alloc();
    end_ = capacity;
    // Not value-initialized: pages that are never written are never
    // touched, and take no memory.
    owned_.emplace_back(new T[chunks << kShift]);
    for (std::uint64_t i = 0; i < chunks; ++i) {
      chunks_.push_back(owned_.back().get() + (i << kShift));
    }
  }
  const auto address = static_cast<std::uint32_t>(end_);
  if (count > 0) std::copy(items, items + count, At(address));
  end_ += count;
  return address;
}

template <typename T, unsigned Shift>
void Arena<T, Shift>::Clear() {
  owned_.clear();
  owned_.shrink_to_fit();
  chunks_.clear();
  chunks_.shrink_to_fit();
  end_ = 0;
}

// ---- The tree ---------------------------------------------------------------

RegistryStore::RegistryStore() { Init(); }

void RegistryStore::Init() {
  nodes_.Clear();
  slots_.Clear();
  names_.Clear();
  data_.Clear();
  index_.assign(1024, 0);
  indexed_ = 0;
  handles_.clear();
  handles_swept_ = 0;
  for (std::uint32_t r = 0; r < kRootCount; ++r) {
    std::u16string_view name = kRegistryRoots[r].name;
    Node node{kNone,
              names_.Add(name.data(), name.size()),
              static_cast<std::uint32_t>(name.size()),
              kNone,
              kNone,
              kNone};
    nodes_.Add(&node, 1);
    roots_[r] = std::make_shared<RegKey>(r, nullptr);
  }
}

const char16_t* RegistryStore::RootName(Root r) {
  return r >= 0 && r < kRootCount ? kRegistryRoots[r].name : u"";
}

std::u16string_view RegistryStore::NameOf(const Node& node) const {
  const std::uint32_t size = node.name_size & ~kDeletedBit;
  return size == 0 ? std::u16string_view() : std::u16string_view(names_.At(node.name), size);
}

std::u16string_view RegistryStore::NameOf(const Slot& slot) const {
  const std::uint32_t size = slot.name_size & ~kDeletedBit;
  return size == 0 ? std::u16string_view() : std::u16string_view(names_.At(slot.name), size);
}

const std::uint8_t* RegistryStore::DataOf(const Slot& slot) const {
  return slot.data_size == 0 ? nullptr : data_.At(slot.data);
}

RegValue RegistryStore::ValueOf(const Slot& slot) const {
  RegValue value;
  value.name = NameOf(slot);
  value.type = slot.type;
  const std::uint8_t* data = DataOf(slot);
  value.data.assign(data, data + slot.data_size);
  return value;
}

// FNV-1a over the folded units, the owner and the kind mixed in first.
std::uint32_t RegistryStore::HashOf(std::uint32_t owner, bool value,
                                    std::u16string_view name) const {
  std::uint32_t h = 2166136261u ^ (owner * 2654435761u) ^ (value ? 0x5bd1e995u : 0u);
  for (char16_t c : name) {
    h ^= FoldUnit(c);
    h *= 16777619u;
  }
  h ^= h >> 15;
  h *= 0x2c1b3c6du;
  h ^= h >> 12;
  return h;
}

std::uint32_t RegistryStore::HashOfEntry(std::uint32_t entry) const {
  const std::uint32_t id = (entry & ~kValueBit) - 1;
  if (entry & kValueBit) {
    const Slot& slot = SlotAt(id);
    return HashOf(slot.key, true, NameOf(slot));
  }
  const Node& node = NodeAt(id);
  return HashOf(node.parent, false, NameOf(node));
}

std::uint32_t RegistryStore::Lookup(std::uint32_t owner, bool value,
                                    std::u16string_view name) const {
  const std::size_t mask = index_.size() - 1;
  for (std::size_t i = HashOf(owner, value, name) & mask;; i = (i + 1) & mask) {
    const std::uint32_t entry = index_[i];
    if (entry == 0) return kNone;
    if (((entry & kValueBit) != 0) != value) continue;
    const std::uint32_t id = (entry & ~kValueBit) - 1;
    if (value) {
      const Slot& slot = SlotAt(id);
      if (slot.key == owner && EqualNoCase(NameOf(slot), name)) return id;
    } else {
      const Node& node = NodeAt(id);
      if (node.parent == owner && EqualNoCase(NameOf(node), name)) return id;
    }
  }
}

void RegistryStore::Reserve(std::size_t entries) {
  std::size_t size = index_.size();
  while (entries * 4 > size * 3) size *= 2;
  if (size == index_.size()) return;
  std::vector<std::uint32_t> old(size, 0);
  old.swap(index_);
  const std::size_t mask = index_.size() - 1;
  for (std::uint32_t moved : old) {
    if (moved == 0) continue;
    std::size_t i = HashOfEntry(moved) & mask;
    while (index_[i] != 0) i = (i + 1) & mask;
    index_[i] = moved;
  }
}

void RegistryStore::Insert(std::uint32_t entry) {
  Reserve(indexed_ + 1);
  const std::size_t mask = index_.size() - 1;
  std::size_t i = HashOfEntry(entry) & mask;
  while (index_[i] != 0) i = (i + 1) & mask;
  index_[i] = entry;
  ++indexed_;
}

void RegistryStore::Erase(std::uint32_t entry) {
  const std::size_t mask = index_.size() - 1;
  std::size_t i = HashOfEntry(entry) & mask;
  while (index_[i] != entry) {
    if (index_[i] == 0) return;
    i = (i + 1) & mask;
  }
  // Later entries of the same run move up into the hole, so that a lookup
  // never stops early at it.
  for (std::size_t j = (i + 1) & mask; index_[j] != 0; j = (j + 1) & mask) {
    const std::size_t home = HashOfEntry(index_[j]) & mask;
    const bool stays = i <= j ? (home > i && home <= j) : (home > i || home <= j);
    if (!stays) {
      index_[i] = index_[j];
      i = j;
    }
  }
  index_[i] = 0;
  --indexed_;
}

std::uint32_t RegistryStore::Walk(std::uint32_t from, std::u16string_view path) const {
  std::uint32_t id = from;
  ForEachName(path, [this, &id](std::u16string_view name) {
    if (id != kNone) id = Lookup(id, false, name);
  });
  return id;
}

std::uint32_t RegistryStore::MakePath(std::uint32_t from, std::u16string_view path, bool* created) {
  if (created) *created = false;
  if (IsDeleted(NodeAt(from).name_size)) return kNone;
  std::uint32_t id = from;
  bool made = false;
  ForEachName(path, [this, &id, &made](std::u16string_view name) {
    std::uint32_t child = Lookup(id, false, name);
    made = child == kNone;
    if (made) {
      Node node{id,
                names_.Add(name.data(), name.size()),
                static_cast<std::uint32_t>(name.size()),
                kNone,
                NodeAt(id).first_child,
                kNone};
      child = nodes_.Add(&node, 1);
      NodeAt(id).first_child = child;
      Insert(child + 1);
    }
    id = child;
  });
  if (created) *created = made;
  return id;
}

// The key leaves the index with everything below it; the records stay,
// marked, so that a handle on any of them still knows its path.
void RegistryStore::Remove(std::uint32_t id) {
  Erase(id + 1);
  std::vector<std::uint32_t> pending{id};
  while (!pending.empty()) {
    const std::uint32_t key = pending.back();
    pending.pop_back();
    Node& node = NodeAt(key);
    node.name_size |= kDeletedBit;
    for (std::uint32_t v = node.first_value; v != kNone; v = SlotAt(v).next) {
      if (IsDeleted(SlotAt(v).name_size)) continue;
      Erase((v + 1) | kValueBit);
      SlotAt(v).name_size |= kDeletedBit;
    }
    for (std::uint32_t c = node.first_child; c != kNone; c = NodeAt(c).next) {
      if (IsDeleted(NodeAt(c).name_size)) continue;
      Erase(c + 1);
      pending.push_back(c);
    }
  }
}

void RegistryStore::Put(std::uint32_t key, std::u16string_view name, std::uint32_t type,
                        const std::uint8_t* data, std::size_t size) {
  if (IsDeleted(NodeAt(key).name_size)) return;
  const auto data_size = static_cast<std::uint32_t>(size);
  std::uint32_t v = Lookup(key, true, name);
  if (v == kNone) {
    Slot slot{key,
              NodeAt(key).first_value,
              names_.Add(name.data(), name.size()),
              static_cast<std::uint32_t>(name.size()),
              type,
              data_.Add(data, size),
              data_size};
    v = slots_.Add(&slot, 1);
    NodeAt(key).first_value = v;
    Insert((v + 1) | kValueBit);
    return;
  }
  // An existing value keeps the name it was created with, as on Windows.
  Slot& slot = SlotAt(v);
  slot.type = type;
  if (size > 0 && size <= slot.data_size) {
    std::copy(data, data + size, data_.At(slot.data));
  } else if (size > 0) {
    slot.data = data_.Add(data, size);
  }
  slot.data_size = data_size;
}

bool RegistryStore::Drop(std::uint32_t key, std::u16string_view name) {
  const std::uint32_t v = Lookup(key, true, name);
  if (v == kNone) return false;
  Erase((v + 1) | kValueBit);
  SlotAt(v).name_size |= kDeletedBit;
  return true;
}

namespace {

// Puts the live records of a list in order, dropping the removed ones. A
// list in order already costs one pass, and so does one in reverse order,
// as a file read in order leaves it (each new record goes first); records
// added in front of an ordered list since it was last put in order are
// sorted alone and merged into it.
template <typename Record, typename NameOfRecord>
void OrderList(std::uint32_t* first, Record&& record, NameOfRecord&& name_of) {
  constexpr std::uint32_t kEnd = 0xFFFFFFFF;
  std::uint32_t* link = first;
  std::uint32_t prev = kEnd;
  std::uint32_t* run = first;  // the link to where the last ascending run starts
  std::size_t before_run = 0, count = 0;
  bool descending = true;
  while (*link != kEnd) {
    const std::uint32_t id = *link;
    if (record(id).name_size & 0x80000000u) {
      *link = record(id).next;
      continue;
    }
    if (prev != kEnd) {
      const bool less = CompareNoCase(name_of(prev), name_of(id)) < 0;
      descending = descending && !less;
      if (!less) {
        run = link;
        before_run = count;
      }
    }
    prev = id;
    ++count;
    link = &record(id).next;
  }
  if (before_run == 0) return;
  if (descending) {
    std::uint32_t reversed = kEnd;
    for (std::uint32_t id = *first; id != kEnd;) {
      const std::uint32_t next = record(id).next;
      record(id).next = reversed;
      reversed = id;
      id = next;
    }
    *first = reversed;
    return;
  }
  std::uint32_t tail = *run;
  std::vector<std::uint32_t> ids;
  ids.reserve(before_run);
  for (std::uint32_t id = *first; id != tail; id = record(id).next) ids.push_back(id);
  std::sort(ids.begin(), ids.end(), [&name_of](std::uint32_t a, std::uint32_t b) {
    return CompareNoCase(name_of(a), name_of(b)) < 0;
  });
  std::uint32_t* out = first;
  std::size_t i = 0;
  while (i < ids.size() || tail != kEnd) {
    std::uint32_t id;
    if (tail == kEnd || (i < ids.size() && CompareNoCase(name_of(ids[i]), name_of(tail)) < 0)) {
      id = ids[i++];
    } else {
      id = tail;
      tail = record(tail).next;
    }
    *out = id;
    out = &record(id).next;
  }
  *out = kEnd;
}

}  // namespace

void RegistryStore::Order(std::uint32_t id) const {
  Node& node = *nodes_.At(id);
  OrderList(
      &node.first_child, [this](std::uint32_t c) -> Node& { return *nodes_.At(c); },
      [this](std::uint32_t c) { return NameOf(NodeAt(c)); });
  OrderList(
      &node.first_value, [this](std::uint32_t v) -> Slot& { return *slots_.At(v); },
      [this](std::uint32_t v) { return NameOf(SlotAt(v)); });
}

std::u16string RegistryStore::PathOf(std::uint32_t id) const {
  std::vector<std::uint32_t> chain;
  std::size_t length = 0;
  for (std::uint32_t k = id; k != kNone; k = NodeAt(k).parent) {
    chain.push_back(k);
    length += NameOf(NodeAt(k)).size() + 1;
  }
  std::u16string path;
  path.reserve(length);
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (!path.empty()) path.push_back(u'\\');
    path += NameOf(NodeAt(*it));
  }
  return path;
}

std::shared_ptr<RegKey> RegistryStore::Handle(std::uint32_t id) const {
  if (id < kRootCount) return roots_[id];
  auto found = handles_.find(id);
  if (found != handles_.end()) {
    if (std::shared_ptr<RegKey> held = found->second.lock()) return held;
  }
  auto made = std::make_shared<RegKey>(id, Handle(NodeAt(id).parent));
  handles_[id] = made;
  if (handles_.size() > 2 * handles_swept_ + 64) {
    for (auto it = handles_.begin(); it != handles_.end();) {
      it = it->second.expired() ? handles_.erase(it) : std::next(it);
    }
    handles_swept_ = handles_.size();
  }
  return made;
}

bool RegistryStore::EmptyTree() const {
  for (std::uint32_t r = 0; r < kRootCount; ++r) {
    Order(r);
    if (NodeAt(r).first_child != kNone || NodeAt(r).first_value != kNone) return false;
  }
  return true;
}

// Back to an empty registry. When nothing was ever added, the memory goes
// too; otherwise handles may still name the records.
void RegistryStore::Empty() {
  if (nodes_.end() == kRootCount && slots_.end() == 0) return;
  bool handed_out = false;
  for (const auto& entry : handles_) handed_out = handed_out || !entry.second.expired();
  if (!handed_out) {
    auto roots = std::move(roots_);
    Init();
    // The roots' handles stay the same objects.
    for (int r = 0; r < kRootCount; ++r) roots_[r] = std::move(roots[r]);
    return;
  }
  for (std::uint32_t r = 0; r < kRootCount; ++r) {
    Order(r);
    for (std::uint32_t c = NodeAt(r).first_child; c != kNone; c = NodeAt(c).next) Remove(c);
    for (std::uint32_t v = NodeAt(r).first_value; v != kNone; v = SlotAt(v).next) {
      Erase((v + 1) | kValueBit);
      SlotAt(v).name_size |= kDeletedBit;
    }
  }
}

std::shared_ptr<RegKey> RegistryStore::Find(const std::shared_ptr<RegKey>& from,
                                            std::u16string_view path) const {
  if (!from) return nullptr;
  const std::uint32_t id = Walk(from->id_, path);
  return id == kNone ? nullptr : Handle(id);
}

std::shared_ptr<RegKey> RegistryStore::Create(const std::shared_ptr<RegKey>& from,
                                              std::u16string_view path, bool* created) {
  if (created) *created = false;
  if (!from) return nullptr;
  const std::uint32_t id = MakePath(from->id_, path, created);
  return id == kNone ? nullptr : Handle(id);
}

bool RegistryStore::DeleteSubkey(const RegKey* parent, std::u16string_view name) {
  if (!parent || IsDeleted(NodeAt(parent->id_).name_size)) return false;
  const std::uint32_t id = Lookup(parent->id_, false, name);
  if (id == kNone) return false;
  Remove(id);
  return true;
}

bool RegistryStore::DeleteKey(const RegKey* key) {
  if (!key || key->id_ < kRootCount || IsDeleted(NodeAt(key->id_).name_size)) return false;
  Remove(key->id_);
  return true;
}

bool RegistryStore::Deleted(const RegKey* key) const {
  return key && IsDeleted(NodeAt(key->id_).name_size);
}

std::vector<std::shared_ptr<RegKey>> RegistryStore::Subkeys(const RegKey* key) const {
  std::vector<std::shared_ptr<RegKey>> out;
  if (!key) return out;
  Order(key->id_);
  for (std::uint32_t c = NodeAt(key->id_).first_child; c != kNone; c = NodeAt(c).next) {
    out.push_back(Handle(c));
  }
  return out;
}

std::vector<RegValue> RegistryStore::Values(const RegKey* key) const {
  std::vector<RegValue> out;
  if (!key) return out;
  Order(key->id_);
  for (std::uint32_t v = NodeAt(key->id_).first_value; v != kNone; v = SlotAt(v).next) {
    out.push_back(ValueOf(SlotAt(v)));
  }
  return out;
}

void RegistryStore::ForEachKey(
    const std::function<void(const std::u16string& path, std::vector<RegValue>&& values)>& visit)
    const {
  std::vector<std::uint32_t> pending;
  for (std::uint32_t r = 0; r < kRootCount; ++r) pending.push_back(r);
  while (!pending.empty()) {
    const std::uint32_t id = pending.back();
    pending.pop_back();
    Order(id);
    std::vector<RegValue> values;
    for (std::uint32_t v = NodeAt(id).first_value; v != kNone; v = SlotAt(v).next) {
      values.push_back(ValueOf(SlotAt(v)));
    }
    visit(PathOf(id), std::move(values));
    for (std::uint32_t c = NodeAt(id).first_child; c != kNone; c = NodeAt(c).next) {
      if (!IsDeleted(NodeAt(c).name_size)) pending.push_back(c);
    }
  }
}

std::optional<RegValue> RegistryStore::GetValue(const RegKey* key, std::u16string_view name) const {
  if (!key) return std::nullopt;
  const std::uint32_t v = Lookup(key->id_, true, name);
  if (v == kNone) return std::nullopt;
  return ValueOf(SlotAt(v));
}

void RegistryStore::SetValue(const RegKey* key, std::u16string_view name, std::uint32_t type,
                             const std::uint8_t* data, std::size_t size) {
  if (key) Put(key->id_, name, type, data, size);
}

bool RegistryStore::DeleteValue(const RegKey* key, std::u16string_view name) {
  return key && Drop(key->id_, name);
}

std::u16string RegistryStore::FullPath(const RegKey* key) const {
  return key ? PathOf(key->id_) : std::u16string();
}

// ---- Reading ----------------------------------------------------------------

namespace {

// Up to `size` bytes from the source; fewer only at its end.
std::ptrdiff_t ReadUpTo(Source& source, char* out, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    std::ptrdiff_t n = source.Read(out + got, size - got);
    if (n < 0) return n;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return static_cast<std::ptrdiff_t>(got);
}

}  // namespace

bool RegistryStore::ParseFrom(Source& source, std::uint64_t size, const std::string& file_name,
                              std::string* error) {
  const std::string shown = ShowHostName(file_name);
  char head[3] = {0, 0, 0};
  source.Seek(0);
  const std::ptrdiff_t got = ReadUpTo(source, head, sizeof head);
  if (got < 0) {
    *error = source.error();
    return false;
  }
  bool utf16 = false;
  std::uint64_t skip = 0;
  if (got >= 2 && head[0] == '\xFF' && head[1] == '\xFE') {
    utf16 = true;
    skip = 2;
    if (size % 2 != 0) {
      // Count the lines the whole characters make, to point at the end.
      source.Seek(skip);
      Lines lines(&source, true);
      std::size_t line = 0;
      std::u16string_view ignored;
      int bad_byte = -1;
      while (lines.Next(&ignored, &bad_byte)) ++line;
      if (lines.failed()) {
        *error = lines.error();
        return false;
      }
      *error = shown + ":" + std::to_string(std::max<std::size_t>(line, 1)) +
               ": UTF-16 text that ends in half a character";
      return false;
    }
  } else if (got >= 2 && head[0] == '\xFE' && head[1] == '\xFF') {
    *error = shown + ":1: big-endian UTF-16 text (expected UTF-16LE with its mark, or UTF-8)";
    return false;
  } else if (got == 3 && std::string_view(head, 3) == "\xEF\xBB\xBF") {
    skip = 3;
  }

  // Checked whole first, then applied: the store is changed whole or not
  // at all, and what it takes is the tree the file makes, nothing more.
  std::size_t entries = 0;
  {
    source.Seek(skip);
    Lines lines(&source, utf16);
    Parser check(&lines, shown, nullptr);
    if (!check.Run(error)) return false;
    entries = check.entries();
  }
  // The index takes its size once, rather than doubling (and holding the
  // old table beside the new one) as the file is applied.
  Reserve(indexed_ + entries);
  const bool was_empty = EmptyTree();
  source.Seek(skip);
  Lines lines(&source, utf16);
  Parser apply(&lines, shown, this);
  if (!apply.Run(error)) {
    // Only a file that changed between the two readings gets here.
    if (was_empty) Empty();
    return false;
  }
  // What loads must load again once written back, which may take more
  // bytes than it was read from (UTF-8 becomes UTF-16, every key gets a
  // line of its own). Checked where the file is the whole registry, which
  // is then emptied again.
  if (was_empty) {
    std::uintmax_t written = WrittenSize();
    if (written > kMaxFileBytes) {
      Empty();
      *error = shown + ": the registry it holds would be written back as " +
               std::to_string(written) + " bytes; a registry file may hold at most " +
               std::to_string(kMaxFileBytes) + " bytes";
      return false;
    }
  }
  return true;
}

bool RegistryStore::Parse(std::string_view bytes, const std::string& file_name,
                          std::string* error) {
  MemorySource source(bytes);
  return ParseFrom(source, bytes.size(), file_name, error);
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
             " bytes; a registry file may hold at most " + std::to_string(kMaxFileBytes) + " bytes";
    return false;
  }
  FileSource source(fd, shown);
  return ParseFrom(source, static_cast<std::uint64_t>(st.st_size), name, error);
}

// ---- Writing ----------------------------------------------------------------

std::u16string FormatValue(const RegValue& value) {
  std::string bytes;
  Writer w(&bytes);
  WriteValue(w, value.name, value.type, value.data.data(), value.data.size());
  std::u16string text;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    char16_t c = static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                       (static_cast<unsigned char>(bytes[i + 1]) << 8));
    if (c != u'\r') text.push_back(c);
  }
  return text;
}

void RegistryStore::WriteKey(Writer& w, std::uint32_t id, std::u16string& path,
                             bool is_root) const {
  Order(id);
  // A root is always there: its line is needed only for its own values.
  if (!is_root || NodeAt(id).first_value != kNone) {
    w.Unit(u'[');
    w.Text(path);
    w.Ascii("]\r\n");
    for (std::uint32_t v = NodeAt(id).first_value; v != kNone; v = SlotAt(v).next) {
      const Slot& slot = SlotAt(v);
      WriteValue(w, NameOf(slot), slot.type, DataOf(slot), slot.data_size);
    }
    w.Ascii("\r\n");
  }
  for (std::uint32_t c = NodeAt(id).first_child; c != kNone; c = NodeAt(c).next) {
    const std::size_t length = path.size();
    path.push_back(u'\\');
    path += NameOf(NodeAt(c));
    WriteKey(w, c, path, false);
    path.resize(length);
  }
}

// The layout has no way to write a line break inside a name: such a name
// would come back as something else, or not at all.
bool RegistryStore::FindUnwritableName(std::uint32_t id, std::u16string& path,
                                       std::u16string* found) const {
  Order(id);
  for (std::uint32_t v = NodeAt(id).first_value; v != kNone; v = SlotAt(v).next) {
    std::u16string_view name = NameOf(SlotAt(v));
    if (HasLineBreak(name)) {
      *found = u"the value \"" + std::u16string(name) + u"\" of " + path;
      return true;
    }
  }
  for (std::uint32_t c = NodeAt(id).first_child; c != kNone; c = NodeAt(c).next) {
    const std::size_t length = path.size();
    path.push_back(u'\\');
    std::u16string_view name = NameOf(NodeAt(c));
    path += name;
    if (HasLineBreak(name)) {
      *found = u"the key " + path;
      return true;
    }
    if (FindUnwritableName(c, path, found)) return true;
    path.resize(length);
  }
  return false;
}

void RegistryStore::Write(Writer& w) const {
  w.Unit(0xFEFF);
  w.Ascii("Windows Registry Editor Version 5.00\r\n\r\n");
  for (std::uint32_t r = 0; r < kRootCount; ++r) {
    std::u16string path = RootName(static_cast<Root>(r));
    WriteKey(w, r, path, true);
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
  const std::string kept = saves_ > 0 ? " (" + shown +
                                            " was not replaced: it holds the registry as the "
                                            "last save wrote it, without the changes since)"
                                      : " (" + shown +
                                            " was not replaced: it holds the registry as it "
                                            "was read, without any change made since)";
  for (std::uint32_t r = 0; r < kRootCount; ++r) {
    std::u16string path = RootName(static_cast<Root>(r));
    std::u16string found;
    if (FindUnwritableName(r, path, &found)) {
      failed_saves_++;
      *error =
          "cannot write " + shown + ": " + Show(found) + " has a line break in its name" + kept;
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
      " (" + shown +
      " was replaced with every change so far, but until the folder is synced "
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
