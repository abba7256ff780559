// brandsim: the installer's own code, linked to the host backend, run against
// an emulated device image. The command line is an interface that users
// script against; `brandsim --help` is its reference.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "brandinst_version.h"
#include "driver/driver.h"
#include "lint.h"
#include "options.h"
#include "platform/host/host.h"
#include "platform/host/journal.h"
#include "report.h"

namespace {

// SW_SHOWNORMAL: what the device's shell passes. The program does not use it.
constexpr int kShowNormal = 1;

// Whether the run got as far as the image: past that point a failure can no
// longer say that nothing was touched.
bool g_device_opened = false;

int UsageError(const std::string& message) {
  std::fprintf(stderr, "brandsim: %s\nTry 'brandsim --help' for more information.\n",
               message.c_str());
  return 2;
}

int Run(brandsim::Options& options) {
  host::Config& config = options.config;
  // Without an answer the consent question can only be put to a person.
  if (!options.answer_given && isatty(STDIN_FILENO)) config.ask_on_terminal = true;

  config.run.version = BRANDINST_VERSION;
  config.run.command_line = options.command_line;

  std::string error;
  brandsim::ReportFile report_file;
  brandsim::ReportInput report;
  if (!options.report.empty()) {
    if (!report_file.Create(options.report, &error)) {
      std::fprintf(stderr, "brandsim: %s\n", error.c_str());
      return 2;
    }
    config.report_files = brandsim::ShowsBytesOf;
    // The delivery is gone after the run: it is checked now.
    report.image = config.device.string();
    lint::Options lint_options;
    lint_options.delivery = (config.device / "fs" / "Temp" / "branding").string();
    lint_options.device = config.device.string();
    std::ostringstream trouble;
    // The linter reads the image in place and opens no device: a fault
    // named for the run (BRANDSIM_FAULT) is the run's alone.
    report.lint_status = lint::Findings(lint_options, &report.findings, trouble);
    report.lint_trouble = trouble.str();
  }
  if (!host::OpenDevice(config, &error)) {
    std::fprintf(stderr, "brandsim: %s\n", error.c_str());
    return 2;
  }
  g_device_opened = true;

  int status = Entry(host::ProgramInstance(), platform::Instance{}, options.command_line.c_str(),
                     kShowNormal);

  // Counted before the device is closed, which reaps what is still running.
  int open_handles = host::OpenHandleCount();
  bool closed = host::CloseDevice(&error);
  std::fflush(stdout);
  if (open_handles > 0) {
    std::fprintf(stderr, "brandsim: warning: the program left %d %s open\n", open_handles,
                 open_handles == 1 ? "handle" : "handles");
  }
  // The program installs only when started as `inst`; anything else ends it
  // before it does anything, silently on a device.
  if (options.command_line != u"inst") {
    std::fprintf(stderr,
                 "brandsim: the program ended at once: it installs only when its command line "
                 "is \"inst\", and it was %s\n",
                 options.command_line.empty()
                     ? "empty"
                     : ("\"" + host::Show(options.command_line) + "\"").c_str());
  }
  bool reported = true;
  if (!options.report.empty()) {
    report.record = host::TakeRunRecord();
    report.exit_status = closed ? status : 1;
    std::string report_error;
    reported = report_file.Commit(brandsim::RenderReport(report), &report_error);
    if (!reported) std::fprintf(stderr, "brandsim: %s\n", report_error.c_str());
  }
  if (!closed) {
    std::fprintf(stderr, "brandsim: %s\n", error.c_str());
    return 1;
  }
  return reported ? status : 1;
}

}  // namespace

static int Main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);

  if (!args.empty() && args[0] == "lint") {
    return brandsim::RunLint(std::vector<std::string>(args.begin() + 1, args.end()));
  }
  if (!args.empty() && args[0] == "package") {
    return brandsim::RunPackage(std::vector<std::string>(args.begin() + 1, args.end()));
  }

  brandsim::Options options;
  std::string error;
  switch (brandsim::ParseOptions(args, &options, &error)) {
    case brandsim::Action::kHelp:
      std::fputs(brandsim::HelpText(), stdout);
      return 0;
    case brandsim::Action::kVersion:
      std::printf("brandsim %s\n", BRANDINST_VERSION);
      return 0;
    case brandsim::Action::kError:
      return UsageError(error);
    case brandsim::Action::kRun:
      break;
  }
  return Run(options);
}

// The last resort: whatever runs out of memory ends with a message and a
// status, never with an abort. Inputs are bounded before they are read, so
// this is a machine short of memory, not a hostile image.
int main(int argc, char** argv) {
  try {
    return Main(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fputs(g_device_opened
                   ? "brandsim: out of memory; the run stopped part of the way through, and the "
                     "image may hold some of its changes\n"
                   : "brandsim: out of memory before the image was touched\n",
               stderr);
    return g_device_opened ? 1 : 2;
  }
}
