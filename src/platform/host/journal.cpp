#include "platform/host/journal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/host/internal.h"

namespace host {

namespace {

const char kHexDigits[] = "0123456789abcdef";

}  // namespace

// ---- Text renderings -----------------------------------------------------------

std::u16string StringDataText(const std::uint8_t* data, std::size_t size) {
  std::u16string text;
  for (std::size_t i = 0; data != nullptr && i + 1 < size; i += 2) {
    text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  }
  while (!text.empty() && text.back() == 0) text.pop_back();
  return text;
}

std::string ShowValue(std::uint32_t type, const std::uint8_t* data, std::size_t size) {
  if (data == nullptr) size = 0;
  if (type == platform::kRegSz || type == platform::kRegExpandSz) {
    return "\"" + Show(StringDataText(data, size)) + "\"";
  }
  char piece[32];
  if (type == platform::kRegDword && size == 4) {
    std::snprintf(piece, sizeof piece, "dword:%08x",
                  static_cast<unsigned>(data[0] | (data[1] << 8) | (data[2] << 16) |
                                        (static_cast<std::uint32_t>(data[3]) << 24)));
    return piece;
  }
  std::string out;
  if (type == platform::kRegBinary) {
    out = "hex:";
  } else {
    std::snprintf(piece, sizeof piece, "hex(%x):", static_cast<unsigned>(type));
    out = piece;
  }
  for (std::size_t i = 0; i < size; ++i) {
    std::snprintf(piece, sizeof piece, i == 0 ? "%02x" : ",%02x", static_cast<unsigned>(data[i]));
    out += piece;
  }
  return out;
}

// ---- Events --------------------------------------------------------------------

Event::Event(const char* name) : name_(name) { json_ = std::string("{\"event\":\"") + name + "\""; }

void Event::Key(const char* field) {
  json_ += ",\"";
  json_ += field;
  json_ += "\":";
}

Event& Event::Text(const char* field, std::u16string_view value) {
  Key(field);
  json_ += '"';
  json_ += JsonEscape(value);
  json_ += '"';
  fields_.emplace_back(field, ToUtf8(value));
  if (std::strcmp(field, "reason") == 0) reason_ = ToUtf8(value);
  return *this;
}

Event& Event::Number(const char* field, std::uint64_t value) {
  Key(field);
  json_ += std::to_string(value);
  fields_.emplace_back(field, std::to_string(value));
  return *this;
}

Event& Event::Bool(const char* field, bool value) {
  Key(field);
  json_ += value ? "true" : "false";
  fields_.emplace_back(field, value ? "true" : "false");
  if (std::strcmp(field, "ok") == 0) ok_ = value ? 1 : 0;
  return *this;
}

Event& Event::Hex(const char* field, const std::uint8_t* data, std::size_t size) {
  Key(field);
  std::string digits;
  for (std::size_t i = 0; i < size; ++i) {
    digits.push_back(kHexDigits[data[i] >> 4]);
    digits.push_back(kHexDigits[data[i] & 0xF]);
  }
  json_ += '"' + digits + '"';
  fields_.emplace_back(field, std::move(digits));
  return *this;
}

Event& Event::Counts(const char* field,
                     const std::vector<std::pair<std::string, std::uint64_t>>& counts) {
  Key(field);
  json_ += '{';
  std::string words;
  for (std::size_t i = 0; i < counts.size(); ++i) {
    if (i > 0) json_ += ',';
    json_ += '"' + JsonEscape(FromUtf8(counts[i].first)) + "\":" + std::to_string(counts[i].second);
    if (i > 0) words += ", ";
    words += counts[i].first + " " + std::to_string(counts[i].second);
  }
  json_ += '}';
  fields_.emplace_back(field, std::move(words));
  return *this;
}

Event& Event::Result(Reason reason) {
  if (reason != Reason::kNone) {
    Number("error", static_cast<std::uint64_t>(ErrorNumber(reason)));
    Key("reason");
    json_ += '"';
    json_ += ReasonWords(reason);
    json_ += '"';
    reason_ = ReasonWords(reason);
    fields_.emplace_back("reason", reason_);
  }
  return Bool("ok", reason == Reason::kNone);
}

std::string Outcome(Reason reason) {
  if (reason == Reason::kNone) return "ok";
  return std::string("failed (") + ReasonWords(reason) + ")";
}

// ---- The journal ---------------------------------------------------------------

const std::string& KeptEvent::Get(const char* field) const {
  static const std::string kNone;
  for (const auto& entry : fields) {
    if (entry.first == field) return entry.second;
  }
  return kNone;
}

bool KeptEvent::Has(const char* field) const {
  for (const auto& entry : fields) {
    if (entry.first == field) return true;
  }
  return false;
}

Journal::~Journal() {
  if (fd_ >= 0) close(fd_);
}

bool Journal::Open(const std::filesystem::path& file, bool quiet, std::string* error) {
  quiet_ = quiet;
  failure_.clear();
  file_ = file;
  if (file.empty()) return true;
  fd_ = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd_ < 0) {
    *error = file.string() + ": cannot create the journal: " + std::strerror(errno);
    return false;
  }
  return true;
}

void Journal::Write(const Event& event, const std::string& transcript) {
  std::string line = event.Line();
  if (!context_.empty()) {
    // Right after "event", so that "ok" stays last.
    std::size_t name_end = line.find('"', line.find(':') + 2) + 1;
    line.insert(name_end, ",\"package\":\"" + JsonEscape(context_) + "\"");
  }
  if (fd_ >= 0 && failure_.empty() && !WriteAll(fd_, line + "\n")) {
    failure_ = file_.string() + ": cannot write the journal: " + std::strerror(errno);
    std::fprintf(stderr, "brandsim: %s\n", failure_.c_str());
  }
  tally_.Count(event);
  if (keep_) kept_.push_back(KeptEvent{event.name(), event.fields(), ToUtf8(context_)});
  Say(transcript);
}

void Journal::Say(const std::string& transcript) {
  if (!quiet_ && !transcript.empty()) {
    if (!context_.empty()) std::fputs("  ", stdout);
    std::fputs(transcript.c_str(), stdout);
    std::fputc('\n', stdout);
  }
}

bool Journal::Close(std::string* error) {
  if (fd_ >= 0) {
    if (close(fd_) != 0 && failure_.empty()) {
      failure_ = file_.string() + ": cannot write the journal: " + std::strerror(errno);
    }
    fd_ = -1;
  }
  if (!quiet_ && (std::fflush(stdout) != 0 || std::ferror(stdout)) && failure_.empty()) {
    failure_ = "standard output: cannot write the transcript";
    std::clearerr(stdout);
  }
  if (failure_.empty()) return true;
  *error = failure_;
  return false;
}

}  // namespace host
