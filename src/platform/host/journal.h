// What the emulated device shows of a run: the journal (--journal FILE), one
// JSON object a line for each effect, and the transcript, one line for each
// effect on standard output (silenced by --quiet).
//
// Journal: every object starts with "event"; fields follow in a fixed order,
// "ok" last. A failed operation carries, just before it, "error" (the
// device's own error number) and "reason" (words from reasons.h). Text is
// UTF-8 (a lone surrogate becomes U+FFFD), escaped as JSON requires, control
// characters as \u00XX; registry data is lowercase hex of its bytes. Each
// line is written with one write(2) when the effect happens, so a run that
// is killed leaves every effect up to that point.
//
// Transcript: a verb, what it acted on, and for operations that can fail
// ": ok" or ": failed (REASON)". Device paths and key paths appear as they
// are, other text in double quotes; control characters in any text are
// shown as \r, \n, \t or \xNN so that each effect keeps to one line.
//
//   dialog "Branding": Do you want to install branding files? -> Yes
//   process \Windows\wceload.exe "/noui \Temp\branding\extra.cab": ok
//   wait \Windows\wceload.exe "/noui \Temp\branding\extra.cab"
//   record \Windows\logo.gif
//   move \Temp\branding\logo.gif -> \Windows\logo.gif: ok
//   delete \Temp\branding\brand.ini: ok
//   mkdir \Windows\Start: ok
//   rmdir \Temp\branding: failed (not empty)
//   attributes \Temp\branding\brand.ini = 0x00000080: ok
//   reg create HKEY_LOCAL_MACHINE\Software\A: ok
//   reg set HKEY_CURRENT_USER\Software\Microsoft\Today\Skin = "\Windows\blue.tsk": ok
//   reg set HKEY_LOCAL_MACHINE\Software\A\@ = dword:0000002a: ok      (@: the default value)
//   reg set HKEY_LOCAL_MACHINE\Software\A\Blob = hex:01,02,ff: ok
//   reg delete value HKEY_LOCAL_MACHINE\SOFTWARE\Apps\CABInst: failed (no such value)
//   reg delete key HKEY_LOCAL_MACHINE\Software\Old: ok
//   reg flush HKEY_LOCAL_MACHINE: ok
//   sleep 2000 ms
//   restart
//
// Registry values show as regedit writes them: "text" for REG_SZ and
// REG_EXPAND_SZ (trailing terminators left out), dword:xxxxxxxx for a
// four-byte REG_DWORD, hex:.. for REG_BINARY and hex(N):.. otherwise.
//
// A brandsim run ends with its summary (Tally below): a `summary` event, and
// in the transcript a few lines that start with "summary:".
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/host/reasons.h"
#include "platform/host/text.h"

namespace host {

// One journal object under construction.
class Event {
 public:
  explicit Event(const char* name);
  Event& Text(const char* field, std::u16string_view value);
  Event& Number(const char* field, std::uint64_t value);
  Event& Bool(const char* field, bool value);
  Event& Hex(const char* field, const std::uint8_t* data, std::size_t size);
  // An object of named counts: {"already exists":2,...}.
  Event& Counts(const char* field,
                const std::vector<std::pair<std::string, std::uint64_t>>& counts);
  // The outcome of an operation that can fail, as its last fields: "error"
  // and "reason" when it failed, then "ok".
  Event& Result(Reason reason);
  // The finished line, without its line break.
  std::string Line() const { return json_ + "}"; }

  // What the summary counts: the event's kind, its "ok" (-1: none), and the
  // words of its "reason" (empty: none).
  const std::string& name() const { return name_; }
  int ok() const { return ok_; }
  const std::string& reason() const { return reason_; }
  // The fields after "event" as text, for a report of the run: text as
  // UTF-8, numbers and true/false as written, hex as its digits, counts as
  // "words N, words N".
  const std::vector<std::pair<std::string, std::string>>& fields() const { return fields_; }

 private:
  void Key(const char* field);
  std::string json_;
  std::vector<std::pair<std::string, std::string>> fields_;
  std::string name_;
  int ok_ = -1;
  std::string reason_;
};

// The summary of a run, counted from the events as the journal writes them,
// so that it says what the journal says and knows nothing of the installer's
// rules. Each kind of event with an outcome that the summary counts is one
// row of a table in summary.cpp.
class Tally {
 public:
  void Count(const Event& event);
  // The `summary` event, and its transcript lines (each starting with
  // "summary:", joined by line breaks).
  Event SummaryEvent() const;
  std::string SummaryText() const;

 private:
  std::vector<std::pair<std::uint64_t, std::uint64_t>> rows_;    // done, not done
  std::vector<std::pair<std::string, std::uint64_t>> failures_;  // by reason, in order met
  bool restart_ = false;
};

// String data as text: UTF-16LE code units, without the terminators at the
// end (a REG_MULTI_SZ keeps the ones between its strings).
std::u16string StringDataText(const std::uint8_t* data, std::size_t size);
// A registry value the way regedit writes it ("text", dword:0000002a, hex:..).
std::string ShowValue(std::uint32_t type, const std::uint8_t* data, std::size_t size);
inline const char* OkWord(bool ok) { return ok ? "ok" : "failed"; }
// The transcript's end of an operation that can fail: "ok", or "failed" and
// the reason in parentheses.
std::string Outcome(Reason reason);

// An event as the journal wrote it, kept for a report of the run
// (Journal::Keep): its name, its fields after "event", and the package whose
// installation it belongs to (empty: none).
struct KeptEvent {
  std::string name;
  std::vector<std::pair<std::string, std::string>> fields;
  std::string package;
  // The field's text; empty when the event has none.
  const std::string& Get(const char* field) const;
  bool Has(const char* field) const;
};

class Journal {
 public:
  ~Journal();
  // An empty `file` means no journal; the transcript is still written unless
  // `quiet`. The file is created or truncated.
  bool Open(const std::filesystem::path& file, bool quiet, std::string* error);
  // Writes one effect to the journal and its transcript line to standard
  // output (none when empty). After the first failed write the journal is left alone and the
  // failure is kept for Close.
  void Write(const Event& event, const std::string& transcript);
  // A transcript line for something the journal does not record.
  void Say(const std::string& transcript);
  // Closes the journal and flushes standard output; false with the first
  // write failure of the run in `error`.
  bool Close(std::string* error);
  // Everything written so far, counted.
  const Tally& tally() const { return tally_; }
  // From now on every event written is also kept in memory, in order.
  void Keep() { keep_ = true; }
  const std::vector<KeptEvent>& kept() const { return kept_; }

  // While a package is being installed, every effect carries its path (a
  // "package" field) and its transcript line is indented under it.
  void SetPackage(std::u16string package) { context_ = std::move(package); }

 private:
  std::u16string context_;
  int fd_ = -1;
  std::filesystem::path file_;
  bool quiet_ = false;
  std::string failure_;
  Tally tally_;
  bool keep_ = false;
  std::vector<KeptEvent> kept_;
};

}  // namespace host

namespace host {

// Attributes the effects of its lifetime to one package.
class JournalContext {
 public:
  JournalContext(Journal& journal, std::u16string package) : journal_(journal) {
    journal_.SetPackage(std::move(package));
  }
  ~JournalContext() { journal_.SetPackage(u""); }
  JournalContext(const JournalContext&) = delete;
  JournalContext& operator=(const JournalContext&) = delete;

 private:
  Journal& journal_;
};

}  // namespace host
