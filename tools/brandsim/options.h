// The command line of a simulator run: what the user asked for, checked,
// before anything on the device image is touched.
#pragma once

#include <string>
#include <vector>

#include "platform/host/host.h"

namespace brandsim {

enum class Action {
  kRun,      // run the program on the device image
  kHelp,     // --help
  kVersion,  // --version
  kError,    // a usage error: nothing is run
};

struct Options {
  host::Config config;
  bool answer_given = false;
  // The program's command line: the words joined by single blanks.
  std::u16string command_line;
  // --report FILE.html; empty: none.
  std::string report;
};

// Reads the arguments after the program's name (the `lint` command is told
// apart before this). On kError, *error holds one line saying what is wrong.
Action ParseOptions(const std::vector<std::string>& args, Options* options, std::string* error);

// The text of --help.
const char* HelpText();


}  // namespace brandsim
