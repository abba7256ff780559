// The emulated device: how brandsim sets up and tears down the host backend
// that stands behind platform.h on Linux.
#pragma once

#include <filesystem>
#include <string>

#include "platform/platform.h"

namespace host {

struct Config {
  std::filesystem::path device;   // DIR: holds fs/ and registry.reg
  int answer = 0;                 // for the Yes/No dialog: platform::kIdYes, kIdNo, or 0 (none)
  bool ask_on_terminal = false;   // no --answer: ask on the terminal (standard input is one)
  std::string installer;          // --installer PROGRAM; empty: processes start and end at once
  std::filesystem::path journal;  // --journal FILE; empty: none
  bool real_time = false;         // Sleep really sleeps
  bool quiet = false;             // no transcript on standard output
};

// Opens the device image: checks fs/, loads registry.reg (missing: empty),
// opens the journal. On failure nothing has been touched and `error` holds one
// line naming the file (and the line, for registry.reg).
bool OpenDevice(const Config& config, std::string* error);

// Ends the run: reaps started processes, writes registry.reg atomically,
// closes the journal. On failure `error` says what could not be written.
bool CloseDevice(std::string* error);

// The instance handed to the program's entry.
platform::Instance ProgramInstance();

// Handles the program left open when the run ended (each one a fault).
int OpenHandleCount();

// Whether the program requested a restart.
bool RestartRequested();

}  // namespace host
