#include "options.h"

#include <cstdint>

#include "platform/host/text.h"
#include "suggest.h"

namespace brandsim {

namespace {

// Options that take a value, given as `--name VALUE` or `--name=VALUE`.
bool TakesValue(const std::string& name) {
  return name == "--device" || name == "--answer" || name == "--installer" || name == "--journal" ||
         name == "--report";
}

bool IsFlag(const std::string& name) {
  return name == "--real-time" || name == "--quiet" || name == "--changes" || name == "--dry-run" ||
         name == "--help" || name == "--version";
}

const std::vector<std::string> kLongOptions = {
    "--device", "--answer",  "--installer", "--journal", "--report", "--real-time",
    "--quiet",  "--changes", "--dry-run",   "--help",    "--version"};

// The commands beside a run, which stand first on the line.
const std::vector<std::string> kCommands = {"lint", "package"};

}  // namespace

Action ParseOptions(const std::vector<std::string>& args, Options* options, std::string* error) {
  std::vector<std::string> words;
  bool help = false;
  bool version = false;
  bool device_given = false;
  std::string problem;  // the first usage error; --help and --version still win

  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      words.insert(words.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
      break;
    }
    // A lone "-" is a word, as it is for most tools.
    if (arg.size() < 2 || arg[0] != '-') {
      words.push_back(arg);
      continue;
    }
    std::string name = arg == "-h" ? "--help" : arg;
    std::string value;
    bool has_value = false;
    std::size_t equals = arg.find('=');
    if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      name = arg.substr(0, equals);
      value = arg.substr(equals + 1);
      has_value = true;
    }
    if (IsFlag(name)) {
      if (has_value) {
        if (problem.empty()) problem = "option '" + name + "' takes no value";
        continue;
      }
      if (name == "--help") help = true;
      if (name == "--version") version = true;
      if (name == "--real-time") options->config.real_time = true;
      if (name == "--quiet") options->config.quiet = true;
      if (name == "--changes") options->config.changes = true;
      if (name == "--dry-run") options->config.dry_run = true;
      continue;
    }
    if (!TakesValue(name)) {
      if (problem.empty())
        problem = "unknown option '" + name + "'" + DidYouMean(name, kLongOptions);
      continue;
    }
    if (!has_value) {
      if (i + 1 >= args.size()) {
        if (problem.empty()) problem = "option '" + name + "' needs a value";
        continue;
      }
      value = args[++i];
    }
    if (name == "--device") {
      if (value.empty()) {
        if (problem.empty()) problem = "option '--device' needs a folder";
        continue;
      }
      options->config.device = value;
      device_given = true;
    } else if (name == "--answer") {
      if (value == "yes") {
        options->config.answer = platform::kIdYes;
      } else if (value == "no") {
        options->config.answer = platform::kIdNo;
      } else {
        if (problem.empty()) problem = "option '--answer' takes yes or no, not '" + value + "'";
        continue;
      }
      options->answer_given = true;
    } else if (name == "--installer") {
      if (value.empty()) {
        if (problem.empty()) problem = "option '--installer' needs a program";
        continue;
      }
      if (value == "none") {
        options->config.start_only = true;
        options->config.installer.clear();
      } else {
        options->config.start_only = false;
        options->config.installer = value;
      }
    } else if (name == "--journal") {
      if (value.empty()) {
        if (problem.empty()) problem = "option '--journal' needs a file";
        continue;
      }
      options->config.journal = value;
    } else if (name == "--report") {
      if (value.empty()) {
        if (problem.empty()) problem = "option '--report' needs a file";
        continue;
      }
      options->report = value;
      options->config.report = true;
    }
  }

  if (help) return Action::kHelp;
  if (version) return Action::kVersion;
  if (!device_given) {
    // Without --device a first word near a command was most likely meant as
    // one, and its options are unknown here for that reason alone.
    std::string command = words.empty() ? "" : Suggest(words[0], kCommands);
    if (!command.empty()) {
      problem = "unknown command '" + words[0] + "'; did you mean '" + command + "'?";
    } else if (problem.empty()) {
      problem = "the option --device DIR is required";
    }
  }
  if (problem.empty()) {
    std::string joined;
    for (std::size_t k = 0; k < words.size(); ++k) {
      if (k > 0) joined += ' ';
      joined += words[k];
    }
    if (!host::FromUtf8Exact(joined, &options->command_line)) {
      problem = "the command line is not UTF-8 text";
    }
  }
  if (!problem.empty()) {
    *error = problem;
    return Action::kError;
  }
  return Action::kRun;
}

const char* HelpText() {
  return R"(Usage: brandsim --device DIR [OPTION...] [WORD...]
       brandsim lint [--format text|json|sarif] [--fail-on error|warning]
                     [--disable CODES] [--config FILE] [--device DIR] DELIVERY_DIR
       brandsim package [--format text|json] [--device DIR] FILE
       brandsim -h | --help | --version

Runs the branding installer against an emulated device image in the folder
DIR. The WORDs, joined by single blanks, are the program's command line:
`brandsim --device DIR inst` runs the installation; any other command line
ends the program at once, as on a device, and brandsim says so on standard
error.

Options (they may stand before or after the WORDs; `--name=VALUE` works too):
  --device DIR         the device image to run on (required)
  --answer yes|no      the answer to the consent question (the Yes/No dialog
                       shown when the device carries the consent gate key).
                       Without it the question is asked on the terminal when
                       standard input is one; when it is not, a run that
                       reaches the question stops with status 2.
  --installer PROGRAM  each process the program starts runs PROGRAM on this
                       machine with two arguments, IMAGE and COMMAND_LINE (as
                       the program passed them), in the folder DIR/fs, with
                       BRANDSIM_FS set to that folder's absolute path; its exit
                       status is ignored. Without it, the device's package
                       installer \Windows\wceload.exe is emulated (below) and
                       any other process starts and ends at once.
                       `--installer none`: every process, wceload.exe too,
                       starts and ends at once, and installs nothing.
                       Either way, starting \Windows\wceload.exe fails when
                       DIR/fs/Windows/wceload.exe is missing.
  --journal FILE       write every effect to FILE as JSON Lines (see below)
  --real-time          really sleep when the program sleeps (else: recorded)
  --quiet              no transcript on standard output
  --changes            after the run, write what it changed on the image to
                       standard output (also with --quiet): the registry
                       changes as regedit text, then the files added (+),
                       removed (-), changed (~) and moved (\a -> \b), with
                       their sizes; UTF-8
  --dry-run            run on a private view of the image and leave the image
                       as it was, byte for byte, even if the run is killed;
                       the transcript, the journal and --changes are what a
                       real run gives (the journal's "run" event says
                       "dry_run":true). The view is a hidden folder beside
                       DIR, .brandsim-dryrun.DEV.INO.view, of new folders
                       through which the image's files are read; what the
                       run changes or writes is held there, never in the
                       image. It is removed at the end, and one that a
                       killed dry run left is removed by the next run on
                       DIR. Where DIR's parent is not writable the view goes
                       to TMPDIR, and with --installer PROGRAM it is a copy
                       of the image's files (the program could write into a
                       file in place).
  --report FILE.html   after the run, write one self-contained page (no
                       network, no scripts) that shows it: the summary, the
                       Today screen and Start menu as the applied theme and
                       the packages' shortcuts leave them, the dialogs as
                       the device draws them, every step with its effects
                       and reasons, what each package installed, the
                       registry changes, the file changes with the placed
                       images, and what `brandsim lint` finds in
                       DIR/fs/Temp/branding before the run. Written
                       atomically; a FILE that cannot be created stops the
                       run (status 2) before anything is touched
  -h, --help           show this help and exit
  --version            show the version and exit
  --                   end of the options: every later argument is a WORD

Device image:
  DIR/fs               the device's file system: `\` on the device is DIR/fs.
                       Device paths resolve without regard to case, `\` and `/`
                       both separate, and no operation leaves DIR/fs (`.`,
                       `..` and symbolic links fail as a missing path would).
                       What is not the device's own file is listed but never
                       opened, changed, moved or removed (access denied, the
                       reason "not the device's"): a file with another hard
                       link, a device node, a fifo, a socket, and a folder of
                       another file system (a mount point), which is not
                       entered either.
  DIR/registry.reg     the device's registry, in the layout regedit exports
                       (UTF-16LE with a byte-order mark, or UTF-8; the header
                       `Windows Registry Editor Version 5.00` or `REGEDIT4`).
                       A regular file of at most 64 MiB (67108864 bytes); a
                       symbolic link, fifo or device there, a bigger file, or
                       a key or value name holding a line break is refused
                       with status 2 before anything is touched. Missing: an
                       empty registry. Written back at the end of the run (and
                       whenever the program flushes it) as UTF-16LE, always
                       atomically: a new file (registry.reg.new-*) renamed
                       over the old one; new files that a killed run left are
                       removed by the next run (not a dry run).

  DIR/device.ini       optional: the device that packages are checked against,
                       as key=value lines: processor=2577 (the processor
                       number packages name; 2577 is StrongARM),
                       version=3.0 (Windows CE MAJOR.MINOR), build=11171,
                       platform=PocketPC. Missing: those defaults, an ARM
                       Pocket PC on Windows CE 3.0.

Packages and themes: when the program starts \Windows\wceload.exe, the
emulated installer installs the package (a CE cabinet) named on its command
line before the program goes on: its files per their flags, its registry
values per type (a value marked to keep an existing one is kept), its
shortcuts (NAME.lnk holding `NN#"TARGET"`), and an uninstall record under
HKEY_LOCAL_MACHINE\SOFTWARE\Apps unless /nouninstall is given. A package
built for another processor, OS version or platform, one without a setup
manifest, with a member missing or a malformed manifest is refused whole;
with /safe, so is one that carries executable code. A setup DLL or a
self-registering file is never run: the journal says it was skipped. The
cabinet is deleted afterwards unless /delete 0 is given, also when it was
refused. The theme's installer, which the device does not wait for, also
finishes before the program goes on: its files and values are in place
before the mapped groups, the registry scripts and the key removal list.
`brandsim package FILE` shows what a package would install.

Transcript: one human-readable line per effect on standard output; a
failed operation ends with "failed" and the reason, as in
`move \Temp\branding\logo.gif -> \Windows\logo.gif: failed (already exists)`.
The effects of a package are indented under it. Each step of the run
order starts with a heading, `== packages ([ADDITIONAL_CABS] cab0, cab1,
...)`, and what the step decided shows under it as `  decided: ...` lines:
an entry skipped and why (no such section or key, brand.ini missing, a path
that does not fit), the list that ended, the consent gate and its answer,
the restart decision's inputs and its outcome.
It ends with the summary, lines starting with "summary:": files placed and
not placed, processes started, registry values written and removed, keys
removed, the failures counted by reason, and whether a restart was requested.

Journal (--journal FILE): JSON Lines, one object per effect, in the order
they happened; text is UTF-8. Every object has "event"; operations that can
fail carry "ok" (true or false), last; a failed one carries before it
"error", the device's own error number (183: already exists), and "reason",
the same words as the transcript. The first event is "run" (version, image,
command_line, answer, device), the last one "summary" (the counts, failures
by reason, restart). The events between: dialog, process, wait, record,
move, delete, rmdir, mkdir, attributes, reg_create, reg_set (with
"type_name" beside "type", and "text" beside "data" for REG_SZ,
REG_EXPAND_SZ and REG_MULTI_SZ: the data as text without its final
terminators, a REG_MULTI_SZ's strings parted by \u0000), reg_delete_value, reg_delete_key,
reg_flush, sleep, restart. A restart request is recorded, not performed: the
registry is written and the run ends. The emulated package
installer adds package_begin (path, command_line), install_file (member,
to, size, flags, reason when it failed, ok), shortcut (path, target, ok),
package_skip (what: file, value, shortcut, setup_dll or self_register;
item; reason) and package_end (path, name, provider, files, values,
shortcuts, skipped, reason when refused, ok); every effect of an
installation also carries "package", the path of the package it belongs to.
The run's own reasoning adds step (step: consent_gate, packages,
fixed_groups, theme, mapped_groups, registry_scripts, key_removal,
restart_decision, clean_up or restart), where a step of the run order
starts, and decision (step; decision, a word such as list_ends,
path_too_long, no_destination, key_missing, marker_found or
held_by_marker; section, for a lookup of brand.ini that found nothing;
subject, what it decided about; value, a number such as the marker's or
the answer's; because, in words), where the program decided something.

Exit status:
  0  the program ran (the status is the program's own, which is 0)
  1  the program ran, but the registry, the journal, the report or standard
     output could not be written (the message says which and why)
  2  a usage error; an unusable device image (no DIR/fs, a registry.reg that
     does not parse: its line is named), an image that another brandsim run
     is using, or a journal or report that cannot be created; or the consent question
     came up with neither --answer nor a terminal.
     In each of these cases nothing on the device image has been changed.
A warning on standard error tells when the program left handles open; the
exit status stays 0.

One run at a time on an image: a run locks DIR (an advisory lock, flock)
until it ends, and a second run on the same image stops at once.

For tests, BRANDSIM_FAULT=OP:N makes the Nth call of one device operation
fail as the device's call would (OP:N:persist: that call and every later
one); each failure is told on standard error. OP is one of open, read,
find, move, delete, attributes, mkdir, rmdir, reg_open, reg_create, reg_set,
reg_query, reg_delete, reg_flush, process, wait, or any (all of them,
counted together).

brandsim lint reads DELIVERY_DIR (what will become \Temp\branding) the way
the device reads it, with the installer's own parsing code, and reports what
the device will misread, one finding a line as `FILE:LINE:COLUMN:
warning|error: message [code]` (or a JSON array with --format json, a SARIF
2.1.0 log with --format sarif). With --device DIR it also checks the delivery
against that device image. Its exit status: 0 when it found no error, 1 when
it did (with --fail-on warning: any finding), 2 for a usage error. `brandsim
lint --help` lists the options, `brandsim lint --list-codes` the codes of its
findings, `brandsim lint --explain CODE` what one means.

The delivery's format (brand.ini, the file groups, registry scripts, message
files) is described in brandsim-delivery(5) and in docs/delivery.md.
)";
}

}  // namespace brandsim
