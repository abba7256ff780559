// The closing summary of a run (Tally in journal.h).
//
//   summary: files placed 3, not placed 1
//   summary: processes started 2, not started 0
//   summary: registry values written 5, not written 0
//   summary: registry values removed 0, not removed 1
//   summary: registry keys removed 1, not removed 1
//   summary: failures 3: already exists 1, no such value 1, no such key 1
//   summary: restart requested
//
// and in the journal
//
//   {"event":"summary","files_placed":3,"files_not_placed":1,...,
//    "failures":{"already exists":1,"no such value":1,"no such key":1},"restart":true}

#include <cstring>
#include <iterator>

#include "platform/host/journal.h"

namespace host {

namespace {

// The events whose outcomes the summary counts, one row each: what they act
// on and what their success and their failure are called. The journal's
// fields are the words joined by underscores ("files_not_placed"). A new
// kind of event is counted by adding its row.
struct Row {
  const char* event;
  const char* what;
  const char* done;
  const char* not_done;
  // Said only when the run had any: most deliveries carry no package, and
  // the summary of such a run keeps to what it did.
  bool only_when_seen = false;
};
constexpr Row kRows[] = {
    {"move", "files", "placed", "not placed"},
    {"process", "processes", "started", "not started"},
    {"reg_set", "registry values", "written", "not written"},
    {"reg_delete_value", "registry values", "removed", "not removed"},
    {"reg_delete_key", "registry keys", "removed", "not removed"},
    {"package_end", "packages", "installed", "refused", true},
    {"install_file", "package files", "installed", "not installed", true},
    {"shortcut", "shortcuts", "made", "not made", true},
};

std::string FieldName(const char* what, const char* outcome) {
  std::string name = std::string(what) + " " + outcome;
  // "registry values written" is "values_written": the event says where.
  if (name.compare(0, 9, "registry ") == 0) name.erase(0, 9);
  for (char& c : name) {
    if (c == ' ') c = '_';
  }
  return name;
}

}  // namespace

void Tally::Count(const Event& event) {
  if (rows_.empty()) rows_.resize(std::size(kRows));
  if (event.name() == "restart") restart_ = true;
  if (event.ok() < 0) return;
  for (std::size_t i = 0; i < std::size(kRows); ++i) {
    if (event.name() == kRows[i].event) {
      (event.ok() ? rows_[i].first : rows_[i].second) += 1;
    }
  }
  if (event.ok() == 0) {
    std::string reason = event.reason().empty() ? "no reason given" : event.reason();
    for (auto& failure : failures_) {
      if (failure.first == reason) {
        ++failure.second;
        return;
      }
    }
    failures_.emplace_back(reason, 1);
  }
}

Event Tally::SummaryEvent() const {
  Event event("summary");
  for (std::size_t i = 0; i < std::size(kRows); ++i) {
    std::uint64_t done = rows_.empty() ? 0 : rows_[i].first;
    std::uint64_t not_done = rows_.empty() ? 0 : rows_[i].second;
    if (kRows[i].only_when_seen && done + not_done == 0) continue;
    event.Number(FieldName(kRows[i].what, kRows[i].done).c_str(), done);
    event.Number(FieldName(kRows[i].what, kRows[i].not_done).c_str(), not_done);
  }
  event.Counts("failures", failures_);
  event.Bool("restart", restart_);
  return event;
}

std::string Tally::SummaryText() const {
  std::string text;
  for (std::size_t i = 0; i < std::size(kRows); ++i) {
    std::uint64_t done = rows_.empty() ? 0 : rows_[i].first;
    std::uint64_t not_done = rows_.empty() ? 0 : rows_[i].second;
    if (kRows[i].only_when_seen && done + not_done == 0) continue;
    text += std::string("summary: ") + kRows[i].what + " " + kRows[i].done + " " +
            std::to_string(done) + ", " + kRows[i].not_done + " " + std::to_string(not_done) + "\n";
  }
  std::uint64_t failures = 0;
  std::string by_reason;
  for (const auto& failure : failures_) {
    failures += failure.second;
    by_reason +=
        (by_reason.empty() ? ": " : ", ") + failure.first + " " + std::to_string(failure.second);
  }
  text += "summary: failures " + std::to_string(failures) + by_reason + "\n";
  text += restart_ ? "summary: restart requested" : "summary: no restart requested";
  return text;
}

}  // namespace host
