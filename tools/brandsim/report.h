// brandsim --report FILE.html: one self-contained page (no scripts, no
// fonts, nothing fetched; images inline as data: URIs) that shows a run:
// the summary, what the device shows of it (the Today screen and the Start
// menu as the applied theme and the packages leave them), the dialogs as
// the device draws them, the steps with their effects, what each package
// and theme installed, the registry and the files before and after, and the
// linter's findings for the delivery as it was before the run.
//
// Everything on the page comes from the run's own record (the journal's
// events and the image's state before and after, host::RunRecord) and from
// the linter: nothing is derived again from the installer's rules.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "linter.h"
#include "platform/host/changes.h"

namespace brandsim {

struct ReportInput {
  host::RunRecord record;
  std::string image;  // DIR as given
  // The linter's run over DIR/fs/Temp/branding before the program ran: its
  // status (0 no error, 1 errors, 2 not checked: `lint_trouble` says why).
  int lint_status = 2;
  std::string lint_trouble;
  std::vector<lint::Finding> findings;
  int exit_status = 0;  // brandsim's
};

// The page, as UTF-8 HTML.
std::string RenderReport(const ReportInput& input);

// Whether the page shows the bytes of the file at `relative` (below fs/)
// of `size` bytes: an image, small enough to embed (host::Config::report_files).
bool ShowsBytesOf(const std::string& relative, std::uintmax_t size);

// A report file written atomically: created beside FILE before the run
// (so that a report that cannot be written stops the run before anything is
// touched), renamed over FILE when written.
class ReportFile {
 public:
  ~ReportFile();
  bool Create(const std::filesystem::path& file, std::string* error);
  bool Commit(const std::string& html, std::string* error);

 private:
  std::filesystem::path file_;
  std::filesystem::path temp_;
  int fd_ = -1;
};

}  // namespace brandsim
