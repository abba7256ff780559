#include "json_check.h"

#include <cstdint>
#include <cstring>

#include "platform/host/text.h"

namespace simtest {

namespace {

class Reader {
 public:
  explicit Reader(const std::string& text) : text_(text) {}

  bool Fail(const std::string& what) {
    if (error_.empty()) error_ = what + " at byte " + std::to_string(pos_);
    return false;
  }
  const std::string& error() const { return error_; }

  void SkipBlanks() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                   text_[pos_] == '\n' || text_[pos_] == '\r')) {
      ++pos_;
    }
  }
  bool AtEnd() const { return pos_ >= text_.size(); }
  char Peek() const { return AtEnd() ? '\0' : text_[pos_]; }
  bool Take(char c) {
    if (Peek() != c || AtEnd()) return false;
    ++pos_;
    return true;
  }
  bool Literal(const char* word) {
    std::string w(word);
    if (text_.compare(pos_, w.size(), w) != 0) return Fail("expected " + w);
    pos_ += w.size();
    return true;
  }

  bool Object(JsonObject* members, int depth) {
    if (depth > 32) return Fail("nested too deeply");
    if (!Take('{')) return Fail("expected '{'");
    SkipBlanks();
    if (Take('}')) return true;
    for (;;) {
      SkipBlanks();
      std::string name;
      if (!String(&name)) return false;
      SkipBlanks();
      if (!Take(':')) return Fail("expected ':'");
      SkipBlanks();
      JsonValue value;
      if (!Value(&value, depth)) return false;
      if (members != nullptr && !members->emplace(name, value).second) {
        return Fail("member \"" + name + "\" repeated");
      }
      SkipBlanks();
      if (Take('}')) return true;
      if (!Take(',')) return Fail("expected ',' or '}'");
    }
  }

  bool Array(int depth) {
    if (depth > 32) return Fail("nested too deeply");
    if (!Take('[')) return Fail("expected '['");
    SkipBlanks();
    if (Take(']')) return true;
    for (;;) {
      SkipBlanks();
      JsonValue value;
      if (!Value(&value, depth)) return false;
      SkipBlanks();
      if (Take(']')) return true;
      if (!Take(',')) return Fail("expected ',' or ']'");
    }
  }

  bool Value(JsonValue* value, int depth) {
    char c = Peek();
    if (c == '"') {
      value->kind = JsonValue::kString;
      return String(&value->text);
    }
    if (c == '{') {
      value->kind = JsonValue::kObject;
      JsonObject inner;
      return Object(&inner, depth + 1);
    }
    if (c == '[') {
      value->kind = JsonValue::kArray;
      return Array(depth + 1);
    }
    if (c == 't' || c == 'f') {
      value->kind = JsonValue::kBool;
      value->text = c == 't' ? "true" : "false";
      return Literal(value->text.c_str());
    }
    if (c == 'n') {
      value->kind = JsonValue::kNull;
      return Literal("null");
    }
    value->kind = JsonValue::kNumber;
    return Number(&value->text);
  }

  bool Number(std::string* out) {
    std::size_t start = pos_;
    Take('-');
    if (Take('0')) {
    } else if (Digits() == 0) {
      return Fail("expected a value");
    }
    if (Take('.') && Digits() == 0) return Fail("expected digits after '.'");
    if (Take('e') || Take('E')) {
      if (!Take('+')) Take('-');
      if (Digits() == 0) return Fail("expected an exponent");
    }
    *out = text_.substr(start, pos_ - start);
    return true;
  }

  std::size_t Digits() {
    std::size_t n = 0;
    while (!AtEnd() && text_[pos_] >= '0' && text_[pos_] <= '9') {
      ++pos_;
      ++n;
    }
    return n;
  }

  bool Hex4(std::uint32_t* unit) {
    *unit = 0;
    for (int k = 0; k < 4; ++k) {
      char c = Peek();
      std::uint32_t digit;
      if (c >= '0' && c <= '9') {
        digit = static_cast<std::uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<std::uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        digit = static_cast<std::uint32_t>(c - 'A' + 10);
      } else {
        return Fail("expected four hexadecimal digits");
      }
      *unit = *unit * 16 + digit;
      ++pos_;
    }
    return true;
  }

  bool String(std::string* out) {
    if (!Take('"')) return Fail("expected '\"'");
    out->clear();
    for (;;) {
      if (AtEnd()) return Fail("unterminated string");
      unsigned char c = static_cast<unsigned char>(text_[pos_]);
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c < 0x20) return Fail("unescaped control character in a string");
      if (c == '\\') {
        ++pos_;
        char e = Peek();
        ++pos_;
        static const char kEscaped[] = "\"\\/bfnrt";
        static const char kMeaning[] = "\"\\/\b\f\n\r\t";
        const char* simple = e == '\0' ? nullptr : std::strchr(kEscaped, e);
        if (simple != nullptr) {
          out->push_back(kMeaning[simple - kEscaped]);
        } else if (e == 'u') {
          std::uint32_t unit;
          if (!Hex4(&unit)) return false;
          if (unit >= 0xDC00 && unit < 0xE000) return Fail("lone low surrogate");
          if (unit >= 0xD800 && unit < 0xDC00) {
            std::uint32_t low;
            if (!Take('\\') || !Take('u') || !Hex4(&low) || low < 0xDC00 || low >= 0xE000) {
              return Fail("lone high surrogate");
            }
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
          }
          host::AppendUtf8(unit, out);
        } else {
          --pos_;
          return Fail("unknown escape");
        }
        continue;
      }
      // Raw bytes: one whole, shortest-form UTF-8 sequence.
      int extra;
      std::uint32_t code;
      std::uint32_t least;
      if (c < 0x80) {
        extra = 0, code = c, least = 0;
      } else if ((c & 0xE0) == 0xC0) {
        extra = 1, code = c & 0x1F, least = 0x80;
      } else if ((c & 0xF0) == 0xE0) {
        extra = 2, code = c & 0x0F, least = 0x800;
      } else if ((c & 0xF8) == 0xF0) {
        extra = 3, code = c & 0x07, least = 0x10000;
      } else {
        return Fail("byte that is not UTF-8");
      }
      std::size_t start = pos_++;
      for (int k = 0; k < extra; ++k, ++pos_) {
        if (AtEnd() || (static_cast<unsigned char>(text_[pos_]) & 0xC0) != 0x80) {
          pos_ = start;
          return Fail("byte that is not UTF-8");
        }
        code = (code << 6) | (static_cast<unsigned char>(text_[pos_]) & 0x3F);
      }
      if (code < least || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) {
        pos_ = start;
        return Fail("byte that is not UTF-8");
      }
      out->append(text_, start, pos_ - start);
    }
  }

 private:
  const std::string& text_;
  std::size_t pos_ = 0;
  std::string error_;
};

}  // namespace

bool ParseJsonObject(const std::string& line, JsonObject* object, std::string* error) {
  Reader reader(line);
  object->clear();
  reader.SkipBlanks();
  bool ok = reader.Object(object, 0);
  if (ok) {
    reader.SkipBlanks();
    if (!reader.AtEnd()) ok = reader.Fail("text after the object");
  }
  if (!ok) {
    *error = reader.error();
    object->clear();
  }
  return ok;
}

}  // namespace simtest
