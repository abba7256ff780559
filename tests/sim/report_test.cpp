// brandsim --report: the page a person looks at after a run. The sample
// delivery's report is rendered in a real browser (Debian's headless
// Chromium) and checked for what a person sees; a hostile delivery's names
// stay text; a report that cannot be written stops the run before it starts.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sim/sim_helpers.h"
#include "support/support.h"

namespace {

namespace fs = std::filesystem;
using support::Brandsim;
using support::RunResult;

constexpr double kTimeout = 60;

fs::path SampleImage() { return fs::path(BRANDINST_SOURCE_DIR) / "examples" / "device"; }

// Chromium on the PATH, or empty.
std::string FindChromium() {
  const char* path = std::getenv("PATH");
  std::string dirs = path == nullptr ? "" : path;
  std::size_t start = 0;
  while (start <= dirs.size()) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    for (const char* name : {"chromium", "chromium-browser"}) {
      fs::path candidate = fs::path(dirs.substr(start, end - start)) / name;
      if (!dirs.substr(start, end - start).empty() && access(candidate.c_str(), X_OK) == 0) {
        return candidate.string();
      }
    }
    start = end + 1;
  }
  return "";
}

RunResult Chromium(const std::string& chromium, const fs::path& profile,
                   const std::vector<std::string>& args) {
  std::vector<std::string> argv = {chromium,          "--headless",
                                   "--no-sandbox",    "--disable-gpu",
                                   "--no-first-run",  "--disable-dev-shm-usage",
                                   "--user-data-dir=" + profile.string()};
  argv.insert(argv.end(), args.begin(), args.end());
  return support::Run(argv, kTimeout);
}

// What a person reads on the rendered page: the DOM's text without its
// markup, the style sheet left out, entities decoded.
std::string VisibleText(const std::string& dom) {
  std::string text;
  std::size_t at = 0;
  while (at < dom.size()) {
    if (dom.compare(at, 6, "<style") == 0) {
      std::size_t end = dom.find("</style>", at);
      at = end == std::string::npos ? dom.size() : end + 8;
    } else if (dom[at] == '<') {
      std::size_t end = dom.find('>', at);
      at = end == std::string::npos ? dom.size() : end + 1;
      text += ' ';
    } else {
      text += dom[at++];
    }
  }
  for (const auto& [entity, character] : std::vector<std::pair<std::string, std::string>>{
           {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&#39;", "'"}, {"&nbsp;", " "},
           {"&amp;", "&"}}) {
    std::size_t found = 0;
    while ((found = text.find(entity, found)) != std::string::npos) {
      text.replace(found, entity.size(), character);
      found += character.size();
    }
  }
  // Runs of white space as one blank, as a browser shows them.
  std::string out;
  for (char c : text) {
    bool blank = c == ' ' || c == '\n' || c == '\t' || c == '\r';
    if (blank && !out.empty() && out.back() == ' ') continue;
    out += blank ? ' ' : c;
  }
  return out;
}

// Nothing on the page reaches outside it: no script, no link, every source
// an inline image.
void ExpectSelfContained(const std::string& html) {
  EXPECT_EQ(html.find("url("), std::string::npos);
  EXPECT_EQ(html.find("@import"), std::string::npos);
  // Text never holds a bare '<': each one opens an element.
  std::size_t at = 0;
  while ((at = html.find('<', at)) != std::string::npos) {
    std::size_t end = html.find('>', at);
    ASSERT_NE(end, std::string::npos);
    std::string tag = html.substr(at, end - at + 1);
    for (const char* name : {"<script", "<link", "<iframe", "<object", "<embed", "<base"}) {
      EXPECT_NE(tag.compare(0, std::strlen(name), name), 0) << tag;
    }
    EXPECT_EQ(tag.find("href="), std::string::npos) << tag;
    std::size_t src = tag.find("src=");
    if (src != std::string::npos) {
      EXPECT_EQ(tag.compare(src, 10, "src=\"data:"), 0) << tag.substr(0, 80);
    }
    at = end;
  }
}

TEST(Report, SampleRunRendersInABrowserWithWhatTheRunDid) {
  support::TempDir tmp;
  fs::path image = tmp.path() / "device";
  simtest::CopyTree(SampleImage(), image);
  fs::path report = tmp.path() / "report.html";
  RunResult r = Brandsim(
      {"--device", image.string(), "--answer", "yes", "--quiet", "--report", report.string(), "inst"},
      kTimeout);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string html = support::ReadBytes(report);
  ASSERT_FALSE(html.empty());
  ExpectSelfContained(html);
  // The theme's background and Start-menu image, and the placed logo, are
  // inline images: the device picture draws the first two.
  EXPECT_NE(html.find("alt=\"\\Windows\\blue_bg.gif\""), std::string::npos);
  EXPECT_NE(html.find("alt=\"\\Windows\\blue_stmenu.gif\""), std::string::npos);

  std::string chromium = FindChromium();
  if (chromium.empty()) GTEST_SKIP() << "chromium is not installed: the page was not rendered";
  RunResult dom = Chromium(chromium, tmp.path() / "profile", {"--dump-dom", "file://" + report.string()});
  ASSERT_EQ(dom.status, 0) << dom.err;
  std::string text = VisibleText(dom.out);
  for (const char* seen : {
           "Summary", "files placed",
           // The dialogs: caption, text, buttons, the answer.
           "Branding Do you want to install the Example branding on this device? Yes No answered Yes",
           "System Reboot The Example branding is installed. Save your work",
           "OK answered OK",
           "already exists",                                      // a failure's reason
           "Example Tools",                                       // a package by name
           "\\Windows\\logo.gif",                                 // a file placed
           "HKEY_LOCAL_MACHINE\\SOFTWARE\\ExampleBrand Name = Example",  // a value written
           "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\OldBrand]",           // a key removed
           "Example Guide",                                       // a new Start menu entry
           "blue_bg.gif", "not drawn",                            // the picture says what it is
           "The linter on the delivery"}) {
    EXPECT_NE(text.find(seen), std::string::npos) << "the rendered page does not show: " << seen;
  }

  // A screenshot of the page against one of an empty page of the same size:
  // the page's pixels are not all alike, so its PNG is far larger.
  fs::path blank_page = tmp.path() / "blank.html";
  support::WriteBytes(blank_page, "<!DOCTYPE html><html><body></body></html>");
  fs::path shot = tmp.path() / "report.png", blank = tmp.path() / "blank.png";
  for (const auto& [page, png] : {std::pair{report, shot}, std::pair{blank_page, blank}}) {
    RunResult s = Chromium(chromium, tmp.path() / "profile",
                           {"--screenshot=" + png.string(), "--window-size=1200,2000",
                            "--hide-scrollbars", "file://" + page.string()});
    ASSERT_EQ(s.status, 0) << s.err;
  }
  std::string shot_bytes = support::ReadBytes(shot), blank_bytes = support::ReadBytes(blank);
  ASSERT_GT(blank_bytes.size(), 24u);
  ASSERT_EQ(shot_bytes.compare(0, 8, "\x89PNG\r\n\x1a\n"), 0);
  // Width and height, from the header: the window's size.
  EXPECT_EQ(shot_bytes.substr(16, 8), blank_bytes.substr(16, 8));
  EXPECT_GT(shot_bytes.size(), 10 * blank_bytes.size())
      << "the screenshot looks blank: " << shot_bytes.size() << " bytes, an empty page "
      << blank_bytes.size();
}

// Names and values come from the delivery: on the page they are text, never
// markup, whatever they hold.
TEST(Report, TextFromTheDeliveryIsNeverMarkup) {
  support::Device device;
  device.Put("Temp/branding/a.reg",
             "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\<b>Bold</b>]\r\n"
             "\"<img src=http://example.com/x>\"=\"<script>alert(1)</script> & 'q'\"\r\n\r\n");
  fs::path report = device.dir() / "report.html";
  RunResult r = Brandsim({"--device", device.dir().string(), "--quiet", "--report", report.string(), "inst"},
                         kTimeout);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string html = support::ReadBytes(report);
  ExpectSelfContained(html);
  EXPECT_EQ(html.find("<b>Bold</b>"), std::string::npos);
  EXPECT_EQ(html.find("<img src=http"), std::string::npos);
  EXPECT_NE(html.find("&lt;script&gt;alert(1)&lt;/script&gt; &amp; &#39;q&#39;"), std::string::npos);
  EXPECT_NE(html.find("&lt;b&gt;Bold&lt;/b&gt;"), std::string::npos);
}

// A report that cannot be created stops the run before the image is
// touched, as an unwritable journal does.
TEST(Report, UncreatableReportStopsTheRunBeforeAnythingIsTouched) {
  support::TempDir tmp;
  fs::path image = tmp.path() / "device";
  simtest::CopyTree(SampleImage(), image);
  simtest::Snapshot before = simtest::TakeSnapshot(image);
  RunResult r = Brandsim({"--device", image.string(), "--answer", "yes", "--quiet", "--report",
                          (tmp.path() / "missing" / "report.html").string(), "inst"},
                         kTimeout);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("report.html: cannot create the report"), std::string::npos) << r.err;
  EXPECT_EQ(simtest::Differences(before, simtest::TakeSnapshot(image)), "");
}

}  // namespace
