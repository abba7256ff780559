// Dialogs and the program's string table.

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/host/internal.h"

namespace host {

namespace {

struct StringEntry {
  std::uint32_t id;
  const char16_t* text;
};

// The same source as the Win32 resource; the compiler turns its UTF-8 into
// UTF-16.
#define BRANDINST_STRING(id, text) {id, u##text},
const StringEntry kStrings[] = {
#include "strings.inc"
};
#undef BRANDINST_STRING

const char* AnswerWord(std::int32_t answer) {
  switch (answer) {
    case platform::kIdYes:
      return "Yes";
    case platform::kIdNo:
      return "No";
    default:
      return "OK";
  }
}

// Asks on the terminal; 0 when standard input ends without an answer.
std::int32_t AskOnTerminal(std::u16string_view caption, std::u16string_view text) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n%s\n", Show(caption).c_str(), Show(text).c_str());
  char line[256];
  for (;;) {
    std::fprintf(stderr, "Yes or no? [y/n] ");
    std::fflush(stderr);
    if (std::fgets(line, sizeof line, stdin) == nullptr) return 0;
    std::string word(line);
    auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    word.erase(word.begin(), std::find_if_not(word.begin(), word.end(), blank));
    while (!word.empty() && blank(word.back())) word.pop_back();
    for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (word == "y" || word == "yes") return platform::kIdYes;
    if (word == "n" || word == "no") return platform::kIdNo;
  }
}

// Nobody can answer the consent question: stop before the program does
// anything. Only the question and what to do about it are shown; registry.reg
// is not written, and the journal holds what happened before (when the
// question is the gate that precedes every step: the gate's step and its
// decision to ask, and no effect).
[[noreturn]] void EndWithoutAnswer(State& state, std::u16string_view caption,
                                   std::u16string_view text) {
  std::string ignored;
  state.journal.Close(&ignored);
  std::fflush(stdout);
  std::fprintf(stderr, "brandsim: the program asks \"%s\": %s\n", Show(caption).c_str(),
               Show(text).c_str());
  std::fprintf(stderr, "brandsim: no answer: run again with --answer yes or --answer no\n");
  std::fflush(stderr);
  std::exit(2);
}

}  // namespace

}  // namespace host

namespace platform {

using host::Current;
using host::State;
using host::View;

// Yes/No is answered by --answer or on the terminal; every other kind of
// dialog is shown and answered OK.
std::int32_t MessageBoxW(HWnd /*owner*/, const char16_t* text, const char16_t* caption,
                         std::uint32_t type) {
  State* state = Current();
  if (state == nullptr) return 0;
  std::int32_t answer = kIdOk;
  if ((type & 0xF) == kMbYesNo) {
    answer = state->config.answer;
    if (answer == 0 && state->config.ask_on_terminal) {
      answer = host::AskOnTerminal(View(caption), View(text));
    }
    if (answer == 0) host::EndWithoutAnswer(*state, View(caption), View(text));
  }
  state->journal.Write(host::Event("dialog")
                           .Text("caption", View(caption))
                           .Text("text", View(text))
                           .Number("flags", type)
                           .Number("answer", static_cast<std::uint32_t>(answer)),
                       "dialog \"" + host::Show(View(caption)) + "\": " + host::Show(View(text)) +
                           " -> " + host::AnswerWord(answer));
  return answer;
}

// Strings belong to the program's own instance; any other finds none.
std::int32_t LoadStringW(Instance instance, std::uint32_t id, char16_t* buffer,
                         std::int32_t buffer_max) {
  if (buffer == nullptr || buffer_max <= 0) return 0;
  buffer[0] = 0;
  if (instance != host::ProgramInstance()) return 0;
  for (const host::StringEntry& entry : host::kStrings) {
    if (entry.id != id) continue;
    std::size_t length = std::char_traits<char16_t>::length(entry.text);
    std::size_t copied = std::min(length, static_cast<std::size_t>(buffer_max - 1));
    std::memcpy(buffer, entry.text, copied * sizeof(char16_t));
    buffer[copied] = 0;
    return static_cast<std::int32_t>(copied);
  }
  return 0;
}

}  // namespace platform
