// brand.ini: one pass over its lines through the device's line reader and
// line rules finds what the lookups can never reach; the lookups themselves
// (ScanSettings, as LookupSetting scans) tell what each step will be given.
#include <map>

#include "driver/driver.h"
#include "linter.h"
#include "packages/packages.h"
#include "placement/placement.h"
#include "platform/text.h"
#include "registry/key_list.h"
#include "registry/roots.h"
#include "settings/line_reader.h"
#include "text.h"

namespace lint {

namespace {

// The entries the device asks for, in the run's order, as the steps list
// them: a step that comes to ask for more is checked without a change here.
// A section is known by its place in this list.
std::vector<const SettingAsk*> RunAsks() {
  std::vector<const SettingAsk*> asks;
  for (const RunStep& step : kRunSteps) {
    for (const SettingAsk* ask : step.asks) {
      if (ask != nullptr) asks.push_back(ask);
    }
  }
  asks.push_back(&kRestartAsk);
  return asks;
}
const std::vector<const SettingAsk*>& Asks() {
  static const std::vector<const SettingAsk*> asks = RunAsks();
  return asks;
}
int SectionCount() { return static_cast<int>(Asks().size()); }
constexpr int kNone = -1;
int SectionOf(const SettingAsk& ask) {
  for (int s = 0; s < SectionCount(); ++s) {
    if (Asks()[static_cast<std::size_t>(s)] == &ask) return s;
  }
  return kNone;
}
const char16_t* SectionName(int section) { return Asks()[static_cast<std::size_t>(section)]->section; }

// "[A], [B] and [C]": the sections the device reads.
std::string SectionsShown() {
  std::string shown;
  for (int s = 0; s < SectionCount(); ++s) {
    if (s > 0) shown += s + 1 == SectionCount() ? " and " : ", ";
    shown += "[" + ToUtf8(SectionName(s)) + "]";
  }
  return shown;
}

// What a section's lookups ask for, in words: "cab0, cab1, ...", "skin".
std::string KeysShown(const SettingAsk& ask) {
  std::string stem = ask.key != nullptr ? ToUtf8(ask.key) : std::string();
  return ask.kind == AskKind::kNumbered ? stem + "0, " + stem + "1, ..." : stem;
}

// Entry lines kept for the checks after the pass: a brand.ini beyond this
// is garbage, and its further entries are not looked at.
constexpr std::size_t kMaxEntries = 20000;
constexpr std::uint64_t kLargeFile = 64 * 1024;

std::string SectionShown(int section) { return "[" + ToUtf8(SectionName(section)) + "]"; }

// An entry line inside the part of a known section that the lookups read.
struct Entry {
  std::uint32_t line_number;
  int section;
  std::u16string key;  // the key as the device compares it: the text before "="
};

// Where a line stands for the lookups.
enum class Region {
  kBeforeSections,  // before the first header: never read
  kLive,            // the first section of its name, before any blank line
  kAfterBlank,      // a blank line ended the section: never read
  kRepeated,        // a second section of the same name: never read
  kOther,           // a section the device never asks for
};

// The value as its author plainly meant it: the text after "=", blanks
// trimmed, inside its quotes when it has them.
std::u16string IntendedValue(std::u16string_view line, const SettingsLine& parsed) {
  std::u16string_view rest = line.substr(std::min<std::size_t>(parsed.key_end + 1, line.size()));
  rest = TrimBlanks(rest);
  if (!rest.empty() && rest.front() == u'"') {
    rest.remove_prefix(1);
    std::size_t close = rest.find(u'"');
    if (close != std::u16string_view::npos) rest = rest.substr(0, close);
  } else if (!rest.empty() && rest.back() == u'"') {
    rest.remove_suffix(1);
  }
  return DecodeCp1250(rest);
}

// key="value" with the value as meant, for the fix in a message.
std::string Suggestion(std::u16string_view key, const std::u16string& value) {
  return Show(DecodeCp1250(TrimBlanks(key))) + "=\"" + Show(value) + "\"";
}

// A value for a message: `text`, or words for an empty one.
std::string Quoted(const std::u16string& value) {
  return value.empty() ? std::string("an empty value") : "`" + Show(value) + "`";
}

bool IsComment(std::u16string_view line) {
  std::u16string_view trimmed = TrimBlanks(line);
  return !trimmed.empty() && (trimmed.front() == u';' || trimmed.front() == u'#');
}

// A numbered key's stem followed by decimal digits; the digits go to `digits`.
bool SplitNumberedKey(std::u16string_view key, const char16_t* prefix, std::u16string* digits) {
  std::size_t n = wtext::Length(prefix, 16);
  if (key.size() <= n || !EqualNoCase(key.substr(0, n), std::u16string_view(prefix, n))) {
    return false;
  }
  for (char16_t c : key.substr(n)) {
    if (c < u'0' || c > u'9') return false;
  }
  *digits = std::u16string(key.substr(n));
  return true;
}

class SettingsCheck {
 public:
  explicit SettingsCheck(Context& context)
      : c_(context), file_(context.settings->host_name) {}

  void Run();

 private:
  void Pass();
  void Line(std::uint32_t number, const char16_t* line, std::uint32_t full_length);
  void Header(std::uint32_t number, std::u16string_view line, const SettingsLine& parsed,
              std::uint32_t full_length);
  void EntryLine(std::uint32_t number, std::u16string_view line, const SettingsLine& parsed);
  void LastLine();

  void Duplicates();
  void Lookups();
  void Numbered(const SettingAsk& ask, const std::vector<Answer>& answers);
  void UnknownKeys();
  void Mapped(int section, const MappedGroup& group);
  void Packages();
  void Removals();
  void Theme();
  // What the device makes of an answered entry's value.
  bool ValueFindings(const Answer& answer);

  Context& c_;
  const std::string file_;

  Region region_ = Region::kBeforeSections;
  int section_ = kNone;
  // Where each section's lookup stands after the line read last, and the
  // first header of each.
  std::vector<SectionPlace> place_ = std::vector<SectionPlace>(Asks().size(), SectionPlace::kBefore);
  std::vector<std::uint32_t> section_line_ = std::vector<std::uint32_t>(Asks().size(), 0);
  std::uint32_t blank_line_ = 0;                    // the blank line that ended section_
  bool blank_was_nul_ = false;
  std::set<std::u16string> unknown_sections_;
  bool bom_ = false;
  bool bom_hid_header_ = false;  // the mark stood before the first header
  bool entries_dropped_ = false;
  std::vector<Entry> entries_;
  std::set<std::uint32_t> duplicates_;  // entries whose key came earlier in the section
  std::set<std::uint32_t> blank_keys_;  // entries whose key holds blanks
  std::set<std::uint32_t> answered_;    // lines that some lookup answered with
  std::uint32_t lines_ = 0;
};

void SettingsCheck::Run() {
  FileEnds ends = ReadEnds(file_, c_.options);
  c_.settings_size = ends.size;
  if (LooksLikeUtf16(ends.head)) {
    c_.settings_unreadable = true;
    c_.report.Error(file_, 0, "ini-utf16",
                    "brand.ini is UTF-16: the device reads it byte by byte, sees no section "
                    "header and finds no entry at all; save it as 8-bit text (code page 1250)");
    return;
  }
  bom_ = ends.head.rfind("\xEF\xBB\xBF", 0) == 0;
  if (ends.size > kLargeFile) {
    c_.report.Warning(file_, 0, "ini-large",
                      "brand.ini has " + std::to_string(ends.size) +
                          " bytes: the device reads it from its start for every entry it "
                          "looks up");
  }
  Pass();
  LastLine();
  if (entries_dropped_) {
    c_.report.Warning(file_, 0, "lint-incomplete",
                      "brand.ini holds too many entries to check; those after the first " +
                          std::to_string(kMaxEntries) + " were not looked at");
  }
  Duplicates();
  Lookups();
}

void SettingsCheck::Pass() {
  host::Fd file = c_.view.OpenFile(StagedPath(u"brand.ini"));
  if (!file.valid()) return;
  HostFileBytes bytes{file.get(), kFileReadBudget};
  auto reader = std::make_unique<ByteLineReader>();
  StartByteLines(reader.get(), HostFileSource(&bytes));
  char16_t line[kLineCapacity];
  while (ReadByteLine(reader.get(), line)) {
    lines_ = reader->line_number;
    Line(reader->line_number, line, reader->full_length);
  }
  if (bytes.cut) {
    c_.report.Warning(file_, 0, "lint-incomplete",
                      "brand.ini is larger than " + std::to_string(kFileReadBudget >> 20) +
                          " MiB; its lines beyond that were not checked");
  }
}

void SettingsCheck::Line(std::uint32_t number, const char16_t* line, std::uint32_t full_length) {
  SettingsLine parsed;
  ParseSettingsLine(line, &parsed);
  for (int s = 0; s < SectionCount(); ++s) {
    place_[static_cast<std::size_t>(s)] =
        NextSectionPlace(place_[static_cast<std::size_t>(s)], line, &parsed, SectionName(s));
  }
  std::u16string_view text(line, static_cast<std::size_t>(parsed.length));
  std::size_t stored = std::min<std::uint32_t>(full_length, kLineCapacity - 1);

  if (number == 1 && bom_) {
    std::u16string_view after = text.size() >= 3 ? text.substr(3) : std::u16string_view();
    if (!after.empty() && after.front() == u'[') {
      bom_hid_header_ = true;
      c_.report.Error(file_, number, "ini-bom",
                      "brand.ini starts with a UTF-8 byte-order mark: the device does not see `" +
                          ShowBytes(after) +
                          "` as a section header, so no entry of that section is ever found; "
                          "save the file without the mark");
    } else if (!after.empty()) {
      c_.report.Warning(file_, number, "ini-bom",
                        "brand.ini starts with a UTF-8 byte-order mark, which the device reads "
                        "as part of the first line; save the file without the mark");
    }
  }

  // A NUL byte ends the line for every rule that reads it.
  if (text.size() < stored && parsed.kind != SettingsLineKind::kEmpty &&
      (region_ == Region::kLive || parsed.kind == SettingsLineKind::kHeader)) {
    c_.report.ErrorAt(file_, number, static_cast<std::uint32_t>(text.size()) + 1, "ini-nul",
                      "the line holds a NUL byte after `" + ShowBytes(text) +
                          "`: the device reads the line only up to it; remove the byte");
  }

  switch (parsed.kind) {
    case SettingsLineKind::kHeader:
      Header(number, text, parsed, full_length);
      break;
    case SettingsLineKind::kEmpty:
      if (region_ == Region::kLive &&
          place_[static_cast<std::size_t>(section_)] == SectionPlace::kEnded) {
        region_ = Region::kAfterBlank;
        blank_line_ = number;
        blank_was_nul_ = stored > 0;
      }
      break;
    case SettingsLineKind::kEntry:
      EntryLine(number, text, parsed);
      break;
  }
}

void SettingsCheck::Header(std::uint32_t number, std::u16string_view line,
                           const SettingsLine& parsed, std::uint32_t full_length) {
  std::u16string_view name =
      line.substr(static_cast<std::size_t>(parsed.name_begin),
                  static_cast<std::size_t>(parsed.name_end - parsed.name_begin));
  if (full_length > kLineCapacity - 1 && !parsed.name_closed) {
    c_.report.Error(file_, number, "ini-long-line",
                    "the line has " + std::to_string(full_length) +
                        " characters: the device reads only the first 255, so the section name "
                        "is cut");
  }
  section_ = kNone;
  for (int s = 0; s < SectionCount(); ++s) {
    if (SpanEqualsNoCase(line.data(), parsed.name_begin, parsed.name_end, SectionName(s))) {
      section_ = s;
    }
  }
  if (section_ == kNone) {
    region_ = Region::kOther;
    std::u16string trimmed(TrimBlanks(name));
    for (int s = 0; s < SectionCount(); ++s) {
      if (trimmed.size() != name.size() && EqualNoCase(trimmed, SectionName(s))) {
        c_.report.ErrorAt(
            file_, number, static_cast<std::uint32_t>(parsed.name_begin) + 1, "ini-section-blank",
            "the section name `" + ShowBytes(name) +
                "` holds blanks, which count as part of it: the device looks for " +
                SectionShown(s) + " and never reads this section; write " + SectionShown(s));
        return;
      }
    }
    if (unknown_sections_.insert(Fold(name)).second) {
      c_.report.Warning(file_, number, "ini-unknown-section",
                        "the device never reads a section [" + ShowBytes(name) +
                            "]; it reads " + SectionsShown());
    }
    return;
  }
  // Only the header that began the section's lookup leaves it open.
  if (place_[static_cast<std::size_t>(section_)] != SectionPlace::kIn) {
    region_ = Region::kRepeated;
    return;
  }
  section_line_[static_cast<std::size_t>(section_)] = number;
  region_ = Region::kLive;
}

void SettingsCheck::EntryLine(std::uint32_t number, std::u16string_view line,
                              const SettingsLine& parsed) {
  std::u16string_view key = line.substr(0, static_cast<std::size_t>(parsed.key_end));
  bool meaningful = parsed.has_equals && !IsComment(line);
  switch (region_) {
    case Region::kBeforeSections:
      if (meaningful && !bom_hid_header_) {
        c_.report.Error(file_, number, "ini-before-section",
                        "`" + ShowBytes(TrimBlanks(key)) +
                            "` stands before the first section header: the device never reads "
                            "it; move it into its section");
      }
      break;
    case Region::kAfterBlank:
      if (meaningful) {
        c_.report.Error(
            file_, number, "ini-after-blank",
            "`" + ShowBytes(TrimBlanks(key)) + "` is never found: " +
                (blank_was_nul_ ? "line " + std::to_string(blank_line_) +
                                      " starts with a NUL byte, which the device reads as an "
                                      "empty line, and"
                                : "the blank line " + std::to_string(blank_line_)) +
                " ends " + SectionShown(section_) + "; remove it");
      }
      break;
    case Region::kRepeated:
      if (meaningful) {
        c_.report.Error(file_, number, "ini-repeated-section",
                        "`" + ShowBytes(TrimBlanks(key)) + "` is never found: " +
                            SectionShown(section_) + " already began at line " +
                            std::to_string(section_line_[static_cast<std::size_t>(section_)]) +
                            ", and the device reads only the first section of a name; move "
                            "the entry there");
      }
      break;
    case Region::kLive:
      if (IsComment(line)) break;
      if (entries_.size() >= kMaxEntries) {
        entries_dropped_ = true;
        break;
      }
      entries_.push_back(Entry{number, section_, std::u16string(key)});
      break;
    case Region::kOther:
      break;
  }
}

void SettingsCheck::LastLine() {
  // The reader never delivers a last line without LF: whatever stands after
  // the last LF is not read at all.
  FileEnds ends = ReadEnds(file_, c_.options);
  std::string last;
  if (lines_ == 0) {
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
  while (!trimmed.empty() && trimmed.back() == 0x1A) trimmed.remove_suffix(1);
  if (trimmed.empty() || IsComment(trimmed)) return;
  if (lines_ == 0 && last.find('\r') != std::string::npos) {
    c_.report.Error(file_, 1, "ini-no-final-newline",
                    "the file's lines end with CR alone: the device ends lines only at LF, so it "
                    "reads no line of this file at all; save it with CR LF line ends");
    return;
  }
  if (trimmed.front() != u'[' && trimmed.find(u'=') == std::u16string_view::npos) return;
  c_.report.Error(file_, lines_ + 1, "ini-no-final-newline",
                  "the last line has no line break: the device never reads it; end the file "
                  "with a line break");
}

void SettingsCheck::Duplicates() {
  std::map<std::pair<int, std::u16string>, std::uint32_t> first;
  for (const Entry& entry : entries_) {
    if (TrimBlanks(entry.key).size() != entry.key.size()) {
      blank_keys_.insert(entry.line_number);
      std::u16string_view trimmed = TrimBlanks(entry.key);
      std::uint32_t blank = 0;
      while (blank < entry.key.size() && !IsBlank(entry.key[blank])) ++blank;
      c_.report.ErrorAt(file_, entry.line_number, blank + 1, "ini-key-blank",
                        "the key `" + ShowBytes(entry.key) +
                            "` holds blanks, which count as part of it: the device never finds "
                            "it as `" +
                            ShowBytes(trimmed) + "`; write the key and \"=\" without blanks");
      continue;
    }
    auto [it, added] = first.emplace(std::make_pair(entry.section, Fold(entry.key)), entry.line_number);
    if (!added) {
      duplicates_.insert(entry.line_number);
      c_.report.Error(file_, entry.line_number, "ini-duplicate-key",
                      "`" + ShowBytes(entry.key) + "` is never read: the same key stands at line " +
                          std::to_string(it->second) + " of " + SectionShown(entry.section) +
                          ", and the device uses the first");
    }
  }
}

bool SettingsCheck::ValueFindings(const Answer& answer) {
  std::u16string_view line(answer.line);
  const SettingsLine& parsed = answer.parsed;
  std::u16string_view key = line.substr(0, static_cast<std::size_t>(parsed.key_end));
  std::uint32_t number = answer.line_number;
  if (!parsed.has_equals) {
    c_.report.Error(file_, number, "ini-no-equals",
                    "`" + ShowBytes(key) + "` has no \"=\": the device reads it as an empty " +
                        "value; write " + Suggestion(key, u"..."));
    return true;
  }
  bool found = false;
  std::size_t after = static_cast<std::size_t>(parsed.key_end) + 1;
  std::u16string_view visible = line.substr(0, static_cast<std::size_t>(parsed.length));
  if (after < visible.size() && visible[after] != u'"') {
    std::u16string intended = IntendedValue(visible, parsed);
    if (intended != answer.value) {
      found = true;
      if (IsBlank(visible[after])) {
        c_.report.ErrorAt(file_, number, static_cast<std::uint32_t>(after) + 1, "ini-value-blank",
                          "value read as " + Quoted(answer.value) +
                              ": the device skips the character after \"=\" in place of the "
                              "opening quote, so a blank there leaves the quote to end the value; "
                              "write " +
                              Suggestion(key, intended));
      } else {
        c_.report.ErrorAt(file_, number, static_cast<std::uint32_t>(after) + 1,
                          "ini-unquoted-value",
                          "value read as " + Quoted(answer.value) +
                              ": the character after \"=\" is always skipped; write " +
                              Suggestion(key, intended));
      }
    }
  }
  if (answer.cut && !parsed.value_closed) {
    found = true;
    c_.report.Error(file_, number, "ini-long-line",
                    "the line has " + std::to_string(answer.full_length) +
                        " characters: the device reads only the first 255, so the value is cut "
                        "to `" + Show(answer.value, 60) + "`");
  }
  std::u16string_view bytes =
      visible.substr(static_cast<std::size_t>(parsed.value_begin),
                     static_cast<std::size_t>(parsed.value_end - parsed.value_begin));
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    char16_t b = bytes[i];
    if (IsCp1250Undefined(b)) {
      found = true;
      char hex[8];
      std::snprintf(hex, sizeof hex, "0x%02X", static_cast<unsigned>(b));
      c_.report.ErrorAt(file_, number, static_cast<std::uint32_t>(parsed.value_begin + i) + 1,
                        "ini-cp1250-undefined",
                        std::string("the value holds the byte ") + hex +
                            ", which code page 1250 does not define: the device turns it into an "
                            "invisible control character (`" +
                            Show(answer.value) + "`)");
      break;
    }
  }
  if (LooksLikeUtf8(bytes)) {
    found = true;
    c_.report.ErrorAt(file_, number, static_cast<std::uint32_t>(parsed.value_begin) + 1, "ini-utf8",
                      "the value is UTF-8 text, but the device decodes code page 1250: it reads `" +
                          Show(answer.value) + "`, not `" +
                          Show(FromUtf8(std::string(bytes.begin(), bytes.end()))) +
                          "`; save brand.ini in code page 1250");
  }
  return found;
}

void SettingsCheck::Lookups() {
  // What each step asks, in the run's order; the staged names come later,
  // with the staged files.
  std::map<const SettingAsk*, std::vector<Answer>> answers;
  for (const SettingAsk* ask : Asks()) {
    if (ask->kind == AskKind::kKey) {
      if (std::optional<Answer> answer = c_.Lookup(ask->section, ask->key)) {
        answers[ask].push_back(*answer);
      }
    } else if (ask->kind == AskKind::kNumbered) {
      for (int n = 0; c_.CanLookup(); ++n) {
        char16_t key[kNumberedKeyCapacity];
        NumberedKey(*ask, n, key);
        std::optional<Answer> answer = c_.Lookup(ask->section, key);
        if (!answer) break;
        answers[ask].push_back(*answer);
      }
    }
  }
  c_.packages = answers[&kPackageAsk];
  c_.removals = answers[&kRemovalAsk];
  if (!answers[&kThemeAsk].empty()) c_.theme = answers[&kThemeAsk].front();
  if (!answers[&kRestartAsk].empty()) c_.restart = answers[&kRestartAsk].front();
  for (const Answer& a : c_.packages) answered_.insert(a.line_number);
  for (const Answer& a : c_.removals) answered_.insert(a.line_number);
  if (c_.theme) answered_.insert(c_.theme->line_number);
  if (c_.restart) answered_.insert(c_.restart->line_number);

  Packages();
  Theme();
  for (const MappedGroup& group : kMappedGroups) Mapped(SectionOf(group.ask), group);
  Removals();
  Numbered(kPackageAsk, c_.packages);
  Numbered(kRemovalAsk, c_.removals);
  UnknownKeys();
}

void SettingsCheck::Numbered(const SettingAsk& ask, const std::vector<Answer>& answers) {
  int section = SectionOf(ask);
  const char16_t* prefix = ask.key;
  std::string first_missing = ToUtf8(prefix) + std::to_string(answers.size());
  for (const Entry& entry : entries_) {
    std::u16string digits;
    if (entry.section != section || answered_.count(entry.line_number) ||
        duplicates_.count(entry.line_number) || blank_keys_.count(entry.line_number) ||
        !SplitNumberedKey(entry.key, prefix, &digits)) {
      continue;
    }
    std::string key = ShowBytes(entry.key);
    if (digits.size() > 1 && digits[0] == u'0') {
      std::size_t nonzero = digits.find_first_not_of(u'0');
      std::string plain =
          ToUtf8(prefix) + (nonzero == std::u16string::npos ? "0" : ToUtf8(digits.substr(nonzero)));
      c_.report.Error(file_, entry.line_number, "ini-number-leading-zero",
                      "`" + key + "` is never read: the device asks for " + ToUtf8(prefix) +
                          "0, " + ToUtf8(prefix) + "1, ... without leading zeros; write " + plain);
    } else if (c_.lookup_budget_spent) {
      continue;
    } else if (answers.empty()) {
      c_.report.Error(file_, entry.line_number, "ini-number-start",
                      "`" + key + "` is never read: the device starts at " + ToUtf8(prefix) +
                          "0 and stops at the first missing number, and there is no " +
                          ToUtf8(prefix) + "0; number the entries from 0");
    } else {
      c_.report.Error(file_, entry.line_number, "ini-number-gap",
                      "`" + key + "` is never read: the device stops at the first missing "
                      "number, " + first_missing + "; number the entries without a gap");
    }
  }
}

void SettingsCheck::UnknownKeys() {
  for (const Entry& entry : entries_) {
    if (duplicates_.count(entry.line_number) || blank_keys_.count(entry.line_number) ||
        answered_.count(entry.line_number)) {
      continue;
    }
    const SettingAsk& ask = *Asks()[static_cast<std::size_t>(entry.section)];
    std::u16string digits;
    // The mapped groups' entries are reported against the staged files.
    if (ask.kind == AskKind::kStagedName) continue;
    if (ask.kind == AskKind::kNumbered && SplitNumberedKey(entry.key, ask.key, &digits)) continue;
    std::string expected = KeysShown(ask);
    c_.report.Warning(file_, entry.line_number, "ini-unknown-key",
                      "the device never asks for `" + ShowBytes(entry.key) + "` in " +
                          SectionShown(entry.section) + "; it reads " + expected);
  }
}

void SettingsCheck::Packages() {
  for (std::size_t n = 0; n < c_.packages.size(); ++n) {
    const Answer& answer = c_.packages[n];
    // A misread value already has its finding: what follows from it is not
    // said again.
    bool misread = ValueFindings(answer);
    if (answer.parsed.has_equals) {
      std::u16string meant = IntendedValue(
          std::u16string_view(answer.line).substr(0, static_cast<std::size_t>(answer.parsed.length)),
          answer.parsed);
      c_.mentioned.insert(Fold(meant.substr(0, meant.find_first_of(u"\\/"))));
    }
    char16_t path[kLineCapacity];
    char16_t command_line[kLineCapacity];
    if (!BuildPackagePath(path, answer.value.c_str()) ||
        !BuildPackageCommandLine(command_line, path)) {
      c_.report.Error(file_, answer.line_number, "ini-package-path-long",
                      "the package's command line does not fit 255 characters: the device "
                      "skips this package; use a shorter file name");
      continue;
    }
    bool found = c_.view.OpenFile(path).valid();
    // The package's first path component is used, whether it is found or not.
    std::u16string_view value(answer.value);
    std::size_t end = value.find_first_of(u"\\/");
    std::u16string first(value.substr(0, end));
    if (!first.empty()) c_.used.insert(Fold(first));
    if (found || misread) continue;
    std::string shown = Show(std::u16string_view(path));
    c_.report.Error(file_, answer.line_number, "ini-package-missing",
                    answer.value.empty()
                        ? "the value is empty: the device starts the package installer for `" +
                              shown + "`, which is no package"
                        : "the device starts the package installer for `" + shown +
                              "`, but the delivery holds no such file");
  }
}

void SettingsCheck::Theme() {
  if (!c_.theme) return;
  const Answer& answer = *c_.theme;
  ValueFindings(answer);
  char16_t command_line[kLineCapacity];
  if (!BuildThemeCommandLine(command_line, answer.value.c_str())) {
    c_.report.Error(file_, answer.line_number, "ini-theme-path-long",
                    "the theme's command line does not fit 255 characters: the device skips the "
                    "theme (registry and installer); use a shorter path");
    return;
  }
  std::u16string folded = Fold(answer.value);
  // A theme staged as *.tsk is in \Windows by the time the theme step runs.
  std::u16string windows = Fold(u"\\Windows\\");
  if (folded.rfind(windows, 0) == 0) {
    const Staged* staged = c_.Find(answer.value.substr(windows.size()));
    if (staged != nullptr && EndsWithNoCase(staged->name, u".tsk")) return;
  }
  std::u16string staging = Fold(kStagingPrefix);
  if (folded.rfind(staging, 0) == 0) {
    std::u16string name = answer.value.substr(staging.size());
    const Staged* staged = c_.Find(name);
    if (staged != nullptr && EndsWithNoCase(staged->name, u".tsk")) {
      c_.report.Error(file_, answer.line_number, "ini-theme-moved",
                      "the theme step runs after the *.tsk files were moved to \\Windows, so `" +
                          Show(answer.value) + "` is gone by then; write skin=\"\\Windows\\" +
                          Show(staged->name) + "\"");
    } else if (staged != nullptr) {
      c_.used.insert(Fold(staged->name));
      c_.report.Warning(file_, answer.line_number, "ini-theme-in-staging",
                        "the theme installer is not waited for, and the staging folder is "
                        "removed at the end of the run: `" + Show(answer.value) +
                            "` may be gone before the installer reads it; stage the theme as "
                            "a *.tsk and name it in \\Windows");
    } else {
      c_.report.Error(file_, answer.line_number, "ini-theme-missing",
                      "the theme `" + Show(answer.value) +
                          "` is not in the delivery: the device applies a theme file that "
                          "does not exist");
    }
    return;
  }
  if (!c_.device_given) {
    c_.report.Warning(file_, answer.line_number, "ini-theme-not-staged",
                      "the theme `" + Show(answer.value) +
                          "` is not staged as a *.tsk in this delivery: it must already be on "
                          "the device (check with --device)");
  }
}

void SettingsCheck::Mapped(int section, const MappedGroup& group) {
  std::set<std::uint32_t> used_lines;
  {
    for (const platform::FindData& found : c_.view.List(group.pattern)) {
      std::u16string name(found.cFileName, wtext::Length(found.cFileName, platform::kMaxPath));
      if (!c_.CanLookup()) break;
      std::optional<Answer> answer = c_.Lookup(group.ask.section, name.c_str());
      if (!answer) {
        if (c_.settings_unreadable) continue;  // said once for the whole file
        c_.report.Error(
            c_.HostName(name), 0, "ini-missing-destination",
            "no " + SectionShown(section) + " entry names `" + Show(name) +
                "`: the device leaves it in the staging folder and removes it at clean-up; "
                "add " + Show(name) + "=\"\\Windows\\...\" to " + SectionShown(section));
        continue;
      }
      used_lines.insert(answer->line_number);
      answered_.insert(answer->line_number);
      ValueFindings(*answer);
      const std::u16string& to = answer->value;
      if (to.empty()) {
        c_.report.Error(file_, answer->line_number, "ini-destination-empty",
                        "the destination of `" + Show(name) +
                            "` is empty: the move fails and the device removes the file at "
                            "clean-up");
      } else if (to.back() == u'\\' || to.back() == u'/') {
        c_.report.Error(file_, answer->line_number, "ini-destination-folder",
                        "the destination `" + Show(to) +
                            "` ends with a separator: the device moves the file to that folder's "
                            "own path, which fails; name the file, e.g. `" +
                            Show(to) + Show(name) + "`");
      }
    }
  }
  if (c_.lookup_budget_spent) return;
  for (const Entry& entry : entries_) {
    if (entry.section != section || used_lines.count(entry.line_number) ||
        duplicates_.count(entry.line_number) || blank_keys_.count(entry.line_number)) {
      continue;
    }
    std::u16string key = DecodeCp1250(entry.key);
    std::string hint;
    const Staged* staged = c_.Find(entry.key);
    if (staged != nullptr) {
      hint = "; `" + Show(staged->name) + "` is staged, but this section places only " +
             ToUtf8(group.extension).insert(0, "*") + " files";
    } else {
      for (char16_t b : entry.key) {
        if (b >= 0x80) {
          hint = "; the device compares the key's bytes with the file name as Latin-1 "
                 "characters, so a name with other letters never matches";
          break;
        }
      }
    }
    c_.report.Warning(file_, entry.line_number, "ini-destination-not-staged",
                      "no staged " + ToUtf8(group.extension).insert(0, "*") + " file is named `" +
                          Show(key) + "`: the device never uses this entry" + hint);
  }
}

void SettingsCheck::Removals() {
  for (const Answer& answer : c_.removals) {
    ValueFindings(answer);
    KeyEntry entry;
    ParseKeyEntry(answer.value.c_str(), &entry);
    std::string value = Show(answer.value);
    switch (entry.status) {
      case KeyEntryStatus::kNoBackslash:
        c_.report.Error(file_, answer.line_number, "ini-delkey-no-backslash",
                        "`" + value + "` holds no \"\\\": the device skips it; write the key "
                        "as ROOT\\path, e.g. HKEY_LOCAL_MACHINE\\Software\\Old");
        continue;
      case KeyEntryStatus::kUnknownRoot: {
        std::u16string root = answer.value.substr(0, answer.value.find(u'\\'));
        std::string fix;
        std::u16string folded = Fold(root);
        for (std::size_t r = 0; r < kDeviceRootCount; ++r) {
          if (folded == Fold(kRegistryRoots[r].short_name)) {
            fix = "; write " + ToUtf8(kRegistryRoots[r].name);
          }
        }
        c_.report.Error(file_, answer.line_number, "ini-delkey-unknown-root",
                        "the root `" + Show(root) +
                            "` is not one the device knows (HKEY_CURRENT_USER, "
                            "HKEY_CLASSES_ROOT, HKEY_LOCAL_MACHINE): it skips the entry" + fix);
        continue;
      }
      case KeyEntryStatus::kEmptyLeaf:
        c_.report.Error(file_, answer.line_number, "ini-delkey-empty-leaf",
                        "`" + value + "` ends with \"\\\": the device skips it rather than "
                        "delete the key above; remove the trailing \"\\\"");
        continue;
      case KeyEntryStatus::kDelete:
        break;
    }
    std::string deleted = ToUtf8(RootByKey(entry.root)->name) + "\\" +
                          Show(std::u16string_view(answer.value).substr(
                              static_cast<std::size_t>(entry.parent_begin)));
    if (answer.value[static_cast<std::size_t>(entry.root_length)] != u'\\') {
      c_.report.Error(file_, answer.line_number, "ini-delkey-root-run-in",
                      "the device takes the root from the first " +
                          std::to_string(entry.root_length) +
                          " characters and the path from after the first \"\\\": it deletes " +
                          deleted + ", not `" + value + "`");
    } else if (entry.parent_end == entry.parent_begin) {
      c_.report.Warning(file_, answer.line_number, "ini-delkey-top-level",
                        "deletes " + deleted +
                            ", a key directly under the root, with everything below it");
    }
  }
}

}  // namespace

void CheckSettings(Context& context) {
  for (const Staged& staged : context.staged) {
    if (!staged.folder && EqualNoCase(staged.name, u"brand.ini")) {
      context.settings = &staged;
      context.used.insert(Fold(staged.name));
    }
  }
  if (context.settings == nullptr) {
    // No settings: the mapped files still want their entries.
    for (const MappedGroup& group : kMappedGroups) {
      for (const platform::FindData& found : context.view.List(group.pattern)) {
        std::u16string name(found.cFileName, wtext::Length(found.cFileName, platform::kMaxPath));
        context.report.Error(context.HostName(name), 0, "ini-missing-destination",
                             "the delivery has no brand.ini, so no [" + ToUtf8(group.ask.section) +
                                 "] entry names `" + Show(name) +
                                 "`: the device leaves it in the staging folder and removes it "
                                 "at clean-up");
      }
    }
    return;
  }
  SettingsCheck check(context);
  check.Run();
}

}  // namespace lint
