#include "report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <sstream>

#include "platform/host/text.h"

namespace brandsim {

namespace {

using host::KeptEvent;

// ---- Text ----------------------------------------------------------------------

// Text from the delivery, the image or the journal, safe inside an element or
// an attribute.
std::string Html(const std::string& text) { return host::HtmlEscape(text); }

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// Device paths and key paths compare without regard to case.
bool SameNoCase(const std::string& a, const std::string& b) {
  return host::ToUtf8(host::FoldName(host::FromUtf8(a))) ==
         host::ToUtf8(host::FoldName(host::FromUtf8(b)));
}

std::string BaseName(const std::string& device_path) {
  std::size_t slash = device_path.find_last_of("\\/");
  return slash == std::string::npos ? device_path : device_path.substr(slash + 1);
}

std::string Plural(std::uintmax_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// ---- Images ------------------------------------------------------------------------

// Larger images are named on the page, not embedded.
constexpr std::uintmax_t kImageLimit = 2 * 1024 * 1024;

const char* ImageType(const std::string& name) {
  std::string lower = Lower(name);
  auto ends = [&](const char* ext) {
    std::size_t n = std::strlen(ext);
    return lower.size() >= n && lower.compare(lower.size() - n, n, ext) == 0;
  };
  if (ends(".gif")) return "image/gif";
  if (ends(".bmp") || ends(".2bp")) return "image/bmp";
  if (ends(".jpg") || ends(".jpeg")) return "image/jpeg";
  if (ends(".png")) return "image/png";
  return nullptr;
}

std::string Base64(const std::string& bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                 (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                 static_cast<unsigned char>(bytes[i + 2]);
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(kAlphabet[(v >> 6) & 63]);
    out.push_back(kAlphabet[v & 63]);
  }
  if (i < bytes.size()) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=');
    out.push_back('=');
  }
  return out;
}

// The image at a path relative to fs/ as a data: URI; empty when it is not
// an image, is too large or could not be read (ShowsBytesOf).
std::string DataUri(const host::RunRecord& record, const std::string& relative) {
  const char* type = ImageType(relative);
  auto bytes = record.file_bytes.find(relative);
  if (type == nullptr || bytes == record.file_bytes.end()) return "";
  return std::string("data:") + type + ";base64," + Base64(bytes->second);
}

// The path relative to fs/ of a device path, as the image holds it after the
// run (found without regard to case, as the device finds it); empty when the
// image holds nothing there.
std::string HostPathOf(const host::FileSnapshot& files, const std::string& device_path) {
  std::string relative;
  for (char c : device_path) relative.push_back(c == '\\' ? '/' : c);
  while (!relative.empty() && relative.front() == '/') relative.erase(0, 1);
  if (files.count(relative) != 0) return relative;
  for (const auto& entry : files) {
    if (SameNoCase(entry.first, relative)) return entry.first;
  }
  return "";
}

// ---- Events ------------------------------------------------------------------------

// What an event acted on, as a line of the step tables: the fields that
// name it, in their order, with `arrow` between the first two.
struct Shape {
  const char* event;
  const char* label;
  std::vector<const char*> fields;
  bool arrow;
};
const std::vector<Shape>& Shapes() {
  static const std::vector<Shape> kShapes = {
      {"dialog", "dialog", {"caption", "text"}, false},
      {"process", "start", {"image", "command_line"}, false},
      {"wait", "wait for", {"command_line"}, false},
      {"record", "record", {"text"}, false},
      {"move", "move", {"from", "to"}, true},
      {"delete", "delete", {"path"}, false},
      {"rmdir", "remove folder", {"path"}, false},
      {"mkdir", "make folder", {"path"}, false},
      {"attributes", "attributes", {"path", "attributes"}, false},
      {"reg_create", "create key", {"key"}, false},
      {"reg_set", "set value", {"key", "name"}, false},
      {"reg_delete_value", "remove value", {"key", "name"}, false},
      {"reg_delete_key", "remove key", {"key"}, false},
      {"reg_flush", "flush registry", {"key"}, false},
      {"sleep", "pause", {"ms"}, false},
      {"restart", "restart", {}, false},
      {"package_begin", "install package", {"path", "command_line"}, false},
      {"install_file", "install file", {"member", "to"}, true},
      {"shortcut", "shortcut", {"path", "target"}, true},
      {"package_skip", "skip", {"what", "item"}, false},
      {"package_end", "package done", {"name", "provider"}, false},
  };
  return kShapes;
}

// Fields that the outcome column or the value shows, never listed again.
bool Shown(const std::string& field) {
  static const std::set<std::string> kShown = {"ok",   "error", "reason",    "package",
                                               "type", "data",  "type_name", "text"};
  return kShown.count(field) != 0;
}

// A registry value as the journal gives it: its text, else its type and hex.
std::string ValueHtml(const KeptEvent& event) {
  if (event.Has("text")) {
    std::string text = event.Get("text");
    std::string shown;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] == 0) {
        shown += "\", \"";
      } else {
        shown.push_back(text[i]);
      }
    }
    return "<q>" + Html(shown) + "</q>";
  }
  std::string data = event.Get("data");
  if (event.Get("type_name") == "REG_DWORD" && data.size() == 8) {
    // Little-endian bytes, shown as the number they hold.
    unsigned long value = 0;
    for (int i = 3; i >= 0; --i) value = value * 256 + std::strtoul(data.substr(i * 2, 2).c_str(), nullptr, 16);
    return "dword " + std::to_string(value);
  }
  return Html(event.Get("type_name")) + " <code>" + Html(data) + "</code>";
}

std::string OutcomeHtml(const KeptEvent& event) {
  if (!event.Has("ok")) return "<td></td>";
  if (event.Get("ok") == "true") return "<td class=ok>ok</td>";
  std::string reason = event.Get("reason");
  std::string error = event.Get("error");
  return "<td class=bad>failed" + (reason.empty() ? "" : ": " + Html(reason)) +
         (error.empty() ? "" : " <small>(error " + Html(error) + ")</small>") + "</td>";
}

std::string AnswerName(const std::string& answer);
std::string Lines(const std::string& text);

std::string EventRow(const KeptEvent& event) {
  const Shape* shape = nullptr;
  for (const Shape& s : Shapes()) {
    if (event.name == s.event) shape = &s;
  }
  std::string what;
  std::set<std::string> used;
  if (shape != nullptr) {
    for (std::size_t i = 0; i < shape->fields.size(); ++i) {
      const char* field = shape->fields[i];
      used.insert(field);
      if (!event.Has(field)) continue;
      std::string value = event.Get(field);
      if (!what.empty()) what += shape->arrow && i == 1 ? " &rarr; " : " ";
      if (event.name == "reg_set" || event.name == "reg_delete_value") {
        if (std::strcmp(field, "name") == 0) {
          what += "<b>" + (value.empty() ? std::string("@") : Html(value)) + "</b>";
          continue;
        }
      }
      if (event.name == "dialog" && std::strcmp(field, "text") == 0) {
        what += "<q>" + Lines(value) + "</q>";
      } else if (std::strcmp(field, "command_line") == 0 || std::strcmp(field, "text") == 0 ||
                 std::strcmp(field, "caption") == 0) {
        what += "<q>" + Html(value) + "</q>";
      } else if (std::strcmp(field, "ms") == 0) {
        what += Html(value) + " ms";
      } else {
        what += "<code>" + Html(value) + "</code>";
      }
    }
    if (event.name == "reg_set") what += " = " + ValueHtml(event);
    if (event.name == "dialog") {
      used.insert("flags");
      used.insert("answer");
      what += " &rarr; <b>" + Html(AnswerName(event.Get("answer"))) + "</b>";
    }
  }
  // Whatever else the event says (and all of an event this page does not
  // know): its fields by name.
  for (const auto& [field, value] : event.fields) {
    if (used.count(field) != 0 || Shown(field)) continue;
    what += " <span class=field>" + Html(field) + ": " + Html(value) + "</span>";
  }
  std::string label = shape != nullptr ? shape->label : event.name;
  std::string row_class = event.name == "decision" ? "decision" : "";
  if (!event.package.empty()) row_class += row_class.empty() ? "pkg" : " pkg";
  std::string package;
  if (!event.package.empty() && event.name != "package_begin") {
    package = "<span class=tag>" + Html(BaseName(event.package)) + "</span> ";
  }
  return "<tr" + (row_class.empty() ? std::string() : " class=\"" + row_class + "\"") + "><td>" +
         Html(label) + "</td><td>" + package + what + "</td>" + OutcomeHtml(event) + "</tr>\n";
}

const KeptEvent* FindEvent(const std::vector<KeptEvent>& events, const char* name) {
  for (const KeptEvent& event : events) {
    if (event.name == name) return &event;
  }
  return nullptr;
}

// ---- Sections ----------------------------------------------------------------------

const char kStyle[] = R"(
body{font:15px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,"DejaVu Sans",sans-serif;margin:0;background:#f4f5f7;color:#1d2330}
header{background:#1f3a5f;color:#fff;padding:18px 32px}
header h1{margin:0 0 4px;font-size:24px}
header p{margin:0;opacity:.85}
main{padding:8px 32px 40px;max-width:1200px}
section{background:#fff;border-radius:8px;box-shadow:0 1px 3px rgba(0,0,0,.12);padding:14px 20px;margin:18px 0}
h2{font-size:19px;margin:4px 0 10px;color:#1f3a5f}
h3{font-size:16px;margin:14px 0 6px}
.note{color:#5a6272;font-size:13px}
.tiles{display:flex;flex-wrap:wrap;gap:10px}
.tile{border:1px solid #d9dde5;border-radius:6px;padding:8px 14px;min-width:150px}
.tile b{display:block;font-size:22px}
.tile.warn{border-color:#e0a0a0;background:#fff3f3}
.muted{color:#7a8190}
table{border-collapse:collapse;width:100%;font-size:14px}
td,th{text-align:left;padding:3px 8px;border-bottom:1px solid #eceef2;vertical-align:top}
th{background:#f0f2f6}
td:first-child{white-space:nowrap;color:#3a4252}
.ok{color:#1b7f3b;white-space:nowrap}
.bad{color:#b3261e}
tr.pkg td:nth-child(2){padding-left:26px}
tr.decision{background:#fff8e1}
.tag{background:#e6ecf5;border-radius:3px;padding:0 5px;font-size:12px;color:#1f3a5f}
.field{background:#f1f1f1;border-radius:3px;padding:0 5px;font-size:12px}
code,pre{font-family:"DejaVu Sans Mono",Menlo,Consolas,monospace;font-size:13px}
pre{margin:0;white-space:pre-wrap;word-break:break-all}
.diff div{padding:0 6px}
.diff .add{background:#e6f6ea;color:#14532d}
.diff .del{background:#fdecec;color:#8a1c1c}
.diff .com{color:#6b7280}
.screens{display:flex;flex-wrap:wrap;gap:28px;align-items:flex-start}
.device{background:#2b2f36;padding:14px;border-radius:14px;display:inline-block}
.screen{width:240px;height:320px;background:#fff;position:relative;overflow:hidden}
.screen img.full{position:absolute;left:0;top:0}
.screen.menu{display:flex;flex-direction:column}
.screen.menu img{display:block;align-self:flex-start}
.screen .entries{font-size:13px}
.screen .entries div{padding:3px 8px;border-top:1px solid #ccc}
.screen .empty{position:absolute;inset:0;display:flex;align-items:center;justify-content:center;color:#888;text-align:center;padding:20px;font-size:13px}
figcaption{font-size:13px;margin-top:6px;max-width:268px}
.dialogs{display:flex;flex-wrap:wrap;gap:20px}
.dialog{width:228px;border:1px solid #000;background:#fff;font:12px Tahoma,"DejaVu Sans",sans-serif;box-shadow:2px 2px 0 #888}
.dialog .cap{background:#0a246a;color:#fff;font-weight:bold;padding:3px 6px}
.dialog .body{padding:10px 8px;white-space:pre-wrap;min-height:30px}
.dialog .buttons{display:flex;justify-content:center;gap:8px;padding:0 8px 10px}
.dialog .buttons span{border:1px solid #555;padding:2px 12px;background:#ece9d8}
.dialog .buttons span.answer{background:#1f6feb;color:#fff;border-color:#0b3d91;font-weight:bold;outline:2px solid #f5b400}
.thumb{max-width:160px;max-height:96px;border:1px solid #ccc;background:repeating-conic-gradient(#eee 0 25%,#fff 0 50%) 0 0/12px 12px;image-rendering:pixelated}
.pkgbox{border:1px solid #d9dde5;border-radius:6px;padding:8px 12px;margin:10px 0}
.sev-error{color:#b3261e;font-weight:bold}
.sev-warning{color:#9a6700;font-weight:bold}
)";

std::string Header(const ReportInput& input) {
  const KeptEvent* run = FindEvent(input.record.events, "run");
  std::string out = "<header><h1>brandsim run report</h1><p>";
  if (run != nullptr) {
    out += "Image <code>" + Html(run->Get("image")) + "</code> &middot; command line <q>" +
           Html(run->Get("command_line")) + "</q> &middot; consent answer " +
           Html(run->Get("answer")) + " &middot; device " + Html(run->Get("device")) +
           " &middot; brandsim " + Html(run->Get("version"));
  } else {
    out += "Image <code>" + Html(input.image) + "</code>";
  }
  out += " &middot; exit status " + std::to_string(input.exit_status) + "</p></header>\n";
  return out;
}

std::string SummarySection(const ReportInput& input) {
  std::string out = "<section id=summary><h2>Summary</h2>\n";
  const KeptEvent* summary = FindEvent(input.record.events, "summary");
  if (summary == nullptr) {
    return out + "<p>The run left no summary.</p></section>\n";
  }
  out += "<div class=tiles>\n";
  std::string failures, restart;
  // The counts come in pairs, done and not done ("files_placed",
  // "files_not_placed"): one tile each pair.
  const auto& fields = summary->fields;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const auto& [field, value] = fields[i];
    if (field == "failures") {
      failures = value;
      continue;
    }
    if (field == "restart") {
      restart = value;
      continue;
    }
    std::string words = field;
    std::replace(words.begin(), words.end(), '_', ' ');
    std::string not_done;
    bool bad = false;
    std::size_t underscore = field.find('_');
    std::string first_word = underscore == std::string::npos ? "" : field.substr(0, underscore + 1);
    if (!first_word.empty() && i + 1 < fields.size() &&
        fields[i + 1].first.compare(0, first_word.size(), first_word) == 0) {
      std::string other = fields[i + 1].first.substr(first_word.size());
      std::replace(other.begin(), other.end(), '_', ' ');
      bad = fields[i + 1].second != "0";
      not_done = std::string("<span class=") + (bad ? "bad" : "muted") + ">" +
                 Html(fields[i + 1].second) + " " + Html(other) + "</span>";
      ++i;
    }
    out += std::string("<div class=\"tile") + (bad ? " warn" : "") + "\"><b>" + Html(value) +
           "</b>" + Html(words) + (not_done.empty() ? "" : "<br>" + not_done) + "</div>\n";
  }
  out += "</div>\n<p>";
  const KeptEvent* run = FindEvent(input.record.events, "run");
  if (run != nullptr && run->Get("command_line") != "inst") {
    out += "The program ended at once: it installs only when its command line is "
           "<q>inst</q>. ";
  }
  out += failures.empty() ? "No operation failed. " : "Failures by reason: " + Html(failures) + ". ";
  out += restart == "true" ? "The program asked for a restart (recorded, not performed)."
                           : "The program did not ask for a restart.";
  out += "</p></section>\n";
  return out;
}

// The theme the run applied: the package whose path the Today screen's Skin
// value names after the run.
std::string AppliedTheme(const ReportInput& input) {
  auto key = input.record.registry_after.find(
      host::FoldName(u"HKEY_CURRENT_USER\\Software\\Microsoft\\Today"));
  if (key == input.record.registry_after.end()) return "";
  auto value = key->second.values.find(host::FoldName(u"Skin"));
  if (value == key->second.values.end()) return "";
  std::u16string text;
  const std::vector<std::uint8_t>& data = value->second.data;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
    char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (c == 0) break;
    text.push_back(c);
  }
  return host::ToUtf8(text);
}

struct Installed {
  std::string to;        // device path
  std::string relative;  // under fs/ after the run; empty: gone
  std::uintmax_t size = 0;
};

std::vector<Installed> InstalledImages(const ReportInput& input, const std::string& package) {
  std::vector<Installed> images;
  for (const KeptEvent& event : input.record.events) {
    if (event.name != "install_file" || event.Get("ok") != "true") continue;
    if (!SameNoCase(event.package, package)) continue;
    std::string to = event.Get("to");
    if (ImageType(to) == nullptr) continue;
    Installed image;
    image.to = to;
    image.relative = HostPathOf(input.record.files_after, to);
    auto found = input.record.files_after.find(image.relative);
    if (image.relative.empty() || found == input.record.files_after.end()) continue;
    image.size = found->second.size;
    images.push_back(image);
  }
  return images;
}

std::string DeviceSection(const ReportInput& input) {
  std::string out = "<section id=device><h2>The device after the run</h2>\n";
  std::string theme = AppliedTheme(input);
  bool theme_installed = false;
  for (const KeptEvent& event : input.record.events) {
    if (event.name == "package_end" && event.Get("ok") == "true" &&
        SameNoCase(event.Get("path"), theme) && !theme.empty()) {
      theme_installed = true;
    }
  }
  const Installed* background = nullptr;
  const Installed* menu_image = nullptr;
  std::vector<Installed> images;
  if (theme_installed) images = InstalledImages(input, theme);
  for (const Installed& image : images) {
    std::string name = Lower(BaseName(image.to));
    if (background == nullptr && name.find("bg") != std::string::npos) background = &image;
    if (menu_image == nullptr &&
        (name.find("stmenu") != std::string::npos || name.find("start") != std::string::npos)) {
      menu_image = &image;
    }
  }
  if (background == nullptr) {
    for (const Installed& image : images) {
      if (&image != menu_image && (background == nullptr || image.size > background->size)) {
        background = &image;
      }
    }
  }

  // The Start menu's new entries: the shortcuts the packages made under it.
  std::vector<std::string> entries;
  const std::string start_menu = "\\Windows\\Start Menu\\";
  for (const KeptEvent& event : input.record.events) {
    if (event.name != "shortcut" || event.Get("ok") != "true") continue;
    std::string path = event.Get("path");
    if (path.size() <= start_menu.size() ||
        !SameNoCase(path.substr(0, start_menu.size()), start_menu)) {
      continue;
    }
    std::string inside = path.substr(start_menu.size());
    if (inside.size() > 4 && Lower(inside.substr(inside.size() - 4)) == ".lnk") {
      inside.erase(inside.size() - 4);
    }
    std::replace(inside.begin(), inside.end(), '\\', '/');
    std::size_t slash = inside.rfind('/');
    entries.push_back(slash == std::string::npos
                          ? inside
                          : inside.substr(slash + 1) + " (in " + inside.substr(0, slash) + ")");
  }

  auto image_tag = [&](const Installed* image, const char* css) {
    std::string uri = DataUri(input.record, image->relative);
    if (uri.empty()) return std::string();
    return "<img class=" + std::string(css) + " src=\"" + uri + "\" alt=\"" +
           Html(image->to) + "\">";
  };

  out += "<div class=screens>\n<figure><div class=device><div class=screen>";
  std::string today = background != nullptr ? image_tag(background, "full") : "";
  out += today.empty() ? "<div class=empty>No Today background from this run</div>" : today;
  out += "</div></div><figcaption><b>Today screen</b>: ";
  out += today.empty() ? "nothing drawn." : "the background <code>" + Html(background->to) + "</code>.";
  out += "</figcaption></figure>\n";

  out += "<figure><div class=device><div class=\"screen menu\">";
  std::string banner = menu_image != nullptr ? image_tag(menu_image, "banner") : "";
  out += banner;
  if (!entries.empty()) {
    out += "<div class=entries>";
    for (const std::string& entry : entries) out += "<div>" + Html(entry) + "</div>";
    out += "</div>";
  }
  if (banner.empty() && entries.empty()) {
    out += "<div class=empty>No Start menu image or entries from this run</div>";
  }
  out += "</div></div><figcaption><b>Start menu</b>: ";
  out += banner.empty() ? "no image" : "the image <code>" + Html(menu_image->to) + "</code>";
  out += entries.empty() ? ", no new entries." : ", and the new " +
                                                     std::string(entries.size() == 1 ? "entry" : "entries") +
                                                     " the packages' shortcuts made.";
  out += "</figcaption></figure>\n</div>\n";

  out += "<p class=note>Drawn from what the delivery itself says, and nothing else: ";
  if (theme.empty()) {
    out += "the Today screen's <code>Skin</code> value names no theme after the run. ";
  } else if (!theme_installed) {
    out += "the Today screen's <code>Skin</code> value names <code>" + Html(theme) +
           "</code>, which this run did not install. ";
  } else {
    out += "the theme is <code>" + Html(theme) +
           "</code>, which <code>HKEY_CURRENT_USER\\Software\\Microsoft\\Today\\Skin</code> names "
           "after the run; of the images it installed, the one named like a background (or the "
           "largest) is drawn as the Today background and the one named like a Start-menu image "
           "(stmenu, start) at the top of the Start menu, each at its own size. ";
  }
  out += "The Start menu lists only the shortcuts the packages made under "
         "<code>\\Windows\\Start Menu</code>. The title bar, the Today items (date, owner, "
         "appointments), the theme's colours and the Start menu's other entries are not drawn: "
         "the run does not say what they show.</p></section>\n";
  return out;
}

std::string ButtonsHtml(const std::string& flags_text, const std::string& answer_text) {
  unsigned long flags = std::strtoul(flags_text.c_str(), nullptr, 10);
  unsigned long answer = std::strtoul(answer_text.c_str(), nullptr, 10);
  struct Button {
    const char* name;
    unsigned long id;
  };
  static const std::vector<std::vector<Button>> kSets = {
      {{"OK", 1}},
      {{"OK", 1}, {"Cancel", 2}},
      {{"Abort", 3}, {"Retry", 4}, {"Ignore", 5}},
      {{"Yes", 6}, {"No", 7}, {"Cancel", 2}},
      {{"Yes", 6}, {"No", 7}},
      {{"Retry", 4}, {"Cancel", 2}},
  };
  unsigned long kind = flags & 0xF;
  const std::vector<Button>& buttons = kind < kSets.size() ? kSets[kind] : kSets[0];
  std::string out = "<div class=buttons>";
  for (const Button& button : buttons) {
    out += std::string("<span") + (button.id == answer ? " class=answer title=\"the answer\"" : "") +
           ">" + button.name + "</span>";
  }
  return out + "</div>";
}

// A message box's text as it shows it: its line breaks broken.
std::string Lines(const std::string& text) {
  std::string out, line;
  for (char c : text) {
    if (c == '\r') continue;
    if (c == '\n') {
      out += Html(line) + "<br>";
      line.clear();
    } else {
      line.push_back(c);
    }
  }
  return out + Html(line);
}

std::string AnswerName(const std::string& answer) {
  static const std::map<std::string, const char*> kNames = {
      {"1", "OK"}, {"2", "Cancel"}, {"3", "Abort"}, {"4", "Retry"},
      {"5", "Ignore"}, {"6", "Yes"}, {"7", "No"}};
  auto found = kNames.find(answer);
  return found == kNames.end() ? answer : found->second;
}

std::string DialogsSection(const ReportInput& input) {
  std::string out = "<section id=dialogs><h2>Dialogs</h2>\n";
  std::string boxes;
  for (const KeptEvent& event : input.record.events) {
    if (event.name != "dialog") continue;
    boxes += "<figure><div class=dialog><div class=cap>" + Html(event.Get("caption")) +
             "</div><div class=body>" + Lines(event.Get("text")) + "</div>" +
             ButtonsHtml(event.Get("flags"), event.Get("answer")) +
             "</div><figcaption>answered <b>" + Html(AnswerName(event.Get("answer"))) +
             "</b></figcaption></figure>\n";
  }
  if (boxes.empty()) return out + "<p>The program showed no dialog.</p></section>\n";
  return out + "<div class=dialogs>\n" + boxes +
         "</div><p class=note>Each message box as the device draws it: its caption, its text and "
         "its buttons; the answer given is highlighted.</p></section>\n";
}

std::string StepsSection(const ReportInput& input) {
  std::string out = "<section id=steps><h2>Steps</h2>\n";
  const char* table_head =
      "<table><tr><th>effect</th><th>on what</th><th>outcome</th></tr>\n";
  bool any_step = FindEvent(input.record.events, "step") != nullptr;
  bool open = false;
  for (const KeptEvent& event : input.record.events) {
    if (event.name == "run" || event.name == "summary") continue;
    if (event.name == "step") {
      if (open) out += "</table>\n";
      std::string title = event.Get("step");
      out += "<h3>" + Html(title.empty() ? std::string("step") : title) + "</h3>\n";
      for (const auto& [field, value] : event.fields) {
        if (field != "step") out += "<span class=field>" + Html(field) + ": " + Html(value) + "</span> ";
      }
      out += table_head;
      open = true;
      continue;
    }
    if (!open) {
      if (any_step) out += "<h3>Before the first step</h3>\n";
      out += table_head;
      open = true;
    }
    out += EventRow(event);
  }
  if (open) {
    out += "</table>\n";
  } else {
    out += "<p>The program did nothing.</p>\n";
  }
  out += "<p class=note>Every effect in the order it happened, as the journal records it; a "
         "package's effects are indented under it and tagged with its file.</p></section>\n";
  return out;
}

std::string PackagesSection(const ReportInput& input) {
  std::string out = "<section id=packages><h2>Packages and themes</h2>\n";
  // By package path, in the order they began.
  std::vector<std::string> order;
  std::map<std::string, std::vector<const KeptEvent*>> by_package;
  for (const KeptEvent& event : input.record.events) {
    std::string package = event.package;
    if (event.name == "package_begin" || event.name == "package_end") {
      if (package.empty()) package = event.Get("path");
    }
    if (package.empty()) continue;
    if (by_package.count(package) == 0) order.push_back(package);
    by_package[package].push_back(&event);
  }
  if (order.empty()) return out + "<p>No package or theme was installed.</p></section>\n";
  for (const std::string& package : order) {
    const KeptEvent* end = nullptr;
    std::string files, values, shortcuts, skipped;
    for (const KeptEvent* event : by_package[package]) {
      if (event->name == "package_end") end = event;
      if (event->name == "install_file") {
        files += "<tr><td><code>" + Html(event->Get("to")) + "</code></td><td>" +
                 Html(event->Get("size")) + " bytes</td>" + OutcomeHtml(*event) + "</tr>\n";
      } else if (event->name == "reg_set") {
        values += "<tr><td><code>" + Html(event->Get("key")) + "</code> <b>" +
                  Html(event->Get("name").empty() ? "@" : event->Get("name")) + "</b> = " +
                  ValueHtml(*event) + "</td>" + OutcomeHtml(*event) + "</tr>\n";
      } else if (event->name == "shortcut") {
        shortcuts += "<tr><td><code>" + Html(event->Get("path")) + "</code> &rarr; <code>" +
                     Html(event->Get("target")) + "</code></td>" + OutcomeHtml(*event) + "</tr>\n";
      } else if (event->name == "package_skip") {
        skipped += "<tr><td>" + Html(event->Get("what")) + " <code>" + Html(event->Get("item")) +
                   "</code></td><td class=bad>" + Html(event->Get("reason")) + "</td></tr>\n";
      }
    }
    out += "<div class=pkgbox><h3>";
    if (end != nullptr && !end->Get("name").empty()) {
      out += Html(end->Get("name")) + " <small>by " + Html(end->Get("provider")) + "</small> ";
    }
    out += "<code>" + Html(package) + "</code></h3>\n";
    if (end == nullptr) {
      out += "<p class=bad>The installation did not end.</p>\n";
    } else if (end->Get("ok") != "true") {
      out += "<p class=bad>Refused: " + Html(end->Get("reason")) + ".</p>\n";
    } else {
      out += "<p>Installed " + Plural(std::strtoull(end->Get("files").c_str(), nullptr, 10), "file", "files") +
             ", " + Plural(std::strtoull(end->Get("values").c_str(), nullptr, 10), "value", "values") +
             ", " + Plural(std::strtoull(end->Get("shortcuts").c_str(), nullptr, 10), "shortcut", "shortcuts") +
             "; skipped " + Html(end->Get("skipped")) + ".</p>\n";
    }
    if (!files.empty()) out += "<table><tr><th>file</th><th>size</th><th></th></tr>\n" + files + "</table>\n";
    if (!values.empty()) out += "<table><tr><th>registry value</th><th></th></tr>\n" + values + "</table>\n";
    if (!shortcuts.empty()) out += "<table><tr><th>shortcut</th><th></th></tr>\n" + shortcuts + "</table>\n";
    if (!skipped.empty()) out += "<table><tr><th>skipped</th><th>why</th></tr>\n" + skipped + "</table>\n";
    out += "</div>\n";
  }
  return out + "</section>\n";
}

std::string RegistrySection(const ReportInput& input) {
  std::string out = "<section id=registry><h2>Registry before and after</h2>\n";
  out += "<p>" + Plural(input.record.registry_before.size(), "key", "keys") + " before the run, " +
         Plural(input.record.registry_after.size(), "key", "keys") +
         " after it. The changes as regedit text (what <code>--changes</code> writes): added in "
         "green, removed or replaced in red.</p>\n<pre class=diff>";
  std::string text =
      host::DescribeRegistryChanges(input.record.registry_before, input.record.registry_after);
  enum Mode { kPlain, kAdd, kDel, kOld } mode = kPlain;
  std::istringstream lines(text);
  std::string line;
  bool first = true;
  while (std::getline(lines, line)) {
    if (first) {  // "registry changes:" or "registry changes: none"
      first = false;
      if (line.find("none") != std::string::npos) {
        out += "<div>The run changed nothing in the registry.</div>";
        break;
      }
      continue;
    }
    const char* css = "";
    if (line.empty()) {
      mode = kPlain;
    } else if (line[0] == ';' && mode == kOld && line.rfind("; ;", 0) != 0 &&
               line.rfind("; value", 0) != 0 && line.rfind("; key", 0) != 0) {
      css = "del";
    } else if (line[0] == ';') {
      css = "com";
      if (line == "; key added" || line == "; value added") mode = kAdd;
      else if (line == "; key removed" || line == "; value removed") mode = kDel;
      else if (line.rfind("; value changed", 0) == 0) mode = kOld;
      else mode = kPlain;
    } else if (line[0] == '[' && mode == kPlain) {
      css = "";
    } else if (mode == kAdd || mode == kOld) {
      css = "add";
      if (mode == kOld) mode = kAdd;
    } else if (mode == kDel) {
      css = "del";
    }
    out += std::string("<div") + (*css ? std::string(" class=") + css : "") + ">" +
           (line.empty() ? "&nbsp;" : Html(line)) + "</div>";
  }
  return out + "</pre></section>\n";
}

std::string FilesSection(const ReportInput& input) {
  std::string out = "<section id=files><h2>File changes</h2>\n";
  std::vector<host::FileChange> changes =
      host::ListFileChanges(input.record.files_before, input.record.files_after);
  if (changes.empty()) return out + "<p>The run changed no file.</p></section>\n";
  out += "<table><tr><th>change</th><th>path</th><th>size</th><th>image</th></tr>\n";
  for (const host::FileChange& change : changes) {
    const char* kind = "";
    std::string path = "<code>" + Html(host::DevicePathOf(change.path, change.folder)) + "</code>";
    std::string size = change.folder ? "folder" : Plural(change.size, "byte", "bytes");
    switch (change.kind) {
      case host::FileChange::kMoved:
        kind = "moved";
        path = "<code>" + Html(host::DevicePathOf(change.from, false)) + "</code> &rarr; " + path;
        break;
      case host::FileChange::kAdded: kind = "added"; break;
      case host::FileChange::kRemoved:
        kind = "removed";
        size = change.folder ? "folder" : Plural(change.size_before, "byte", "bytes");
        break;
      case host::FileChange::kChanged:
        kind = "changed";
        size = std::to_string(change.size_before) + " &rarr; " + Plural(change.size, "byte", "bytes");
        break;
    }
    std::string image;
    if (change.kind != host::FileChange::kRemoved && !change.folder) {
      std::string uri = DataUri(input.record, change.path);
      if (!uri.empty()) image = "<img class=thumb src=\"" + uri + "\" alt=\"\">";
    }
    std::string css = change.kind == host::FileChange::kRemoved ? "bad" : "ok";
    out += "<tr><td class=" + css + ">" + kind + "</td><td>" + path + "</td><td>" + size +
           "</td><td>" + image + "</td></tr>\n";
  }
  return out + "</table><p class=note>Images placed by the run are shown as the image holds them "
               "after the run (up to 2 MB each).</p></section>\n";
}

std::string LintSection(const ReportInput& input) {
  std::string out = "<section id=lint><h2>The linter on the delivery</h2>\n";
  out += "<p class=note>What <code>brandsim lint --device</code> found in "
         "<code>\\Temp\\branding</code> before the run.</p>\n";
  if (input.lint_status == 2) {
    return out + "<p>Not checked: " + Html(input.lint_trouble) + "</p></section>\n";
  }
  if (input.findings.empty()) return out + "<p>No findings.</p></section>\n";
  out += "<table><tr><th>file</th><th>line</th><th>severity</th><th>message</th><th>code</th></tr>\n";
  for (const lint::Finding& f : input.findings) {
    const char* severity = f.severity == lint::Severity::kError ? "error" : "warning";
    out += "<tr><td><code>" + Html(f.file) + "</code></td><td>" +
           (f.line > 0 ? std::to_string(f.line) : "") + "</td><td class=sev-" + severity + ">" +
           severity + "</td><td>" + Html(f.message) + "</td><td><code>" + Html(f.code) +
           "</code></td></tr>\n";
  }
  return out + "</table></section>\n";
}

}  // namespace

bool ShowsBytesOf(const std::string& relative, std::uintmax_t size) {
  return ImageType(relative) != nullptr && size > 0 && size <= kImageLimit;
}

std::string RenderReport(const ReportInput& input) {
  std::string title = "brandsim report: " + input.image;
  return "<!DOCTYPE html>\n<html lang=en><head><meta charset=utf-8>\n"
         "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
         "img-src data:; style-src 'unsafe-inline'\">\n<title>" +
         Html(title) + "</title>\n<style>" + kStyle + "</style></head>\n<body>\n" + Header(input) +
         "<main>\n" + SummarySection(input) + DeviceSection(input) + DialogsSection(input) +
         StepsSection(input) + PackagesSection(input) + RegistrySection(input) +
         FilesSection(input) + LintSection(input) + "</main>\n</body></html>\n";
}

// ---- The file ----------------------------------------------------------------------

ReportFile::~ReportFile() {
  if (fd_ >= 0) {
    close(fd_);
    unlink(temp_.c_str());
  }
}

bool ReportFile::Create(const std::filesystem::path& file, std::string* error) {
  file_ = file;
  std::string pattern = file.string() + ".XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  fd_ = mkostemp(name.data(), O_CLOEXEC);
  if (fd_ < 0) {
    *error = file.string() + ": cannot create the report: " + std::strerror(errno);
    return false;
  }
  temp_ = name.data();
  return true;
}

bool ReportFile::Commit(const std::string& html, std::string* error) {
  const char* data = html.data();
  std::size_t left = html.size();
  bool ok = fd_ >= 0;
  while (ok && left > 0) {
    ssize_t n = write(fd_, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  // Readable as a file made with the user's umask would be, not 0600.
  mode_t mask = umask(0);
  umask(mask);
  if (ok) ok = fchmod(fd_, 0666 & ~mask) == 0 && fsync(fd_) == 0;
  int saved = errno;
  if (fd_ >= 0 && close(fd_) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  fd_ = -1;
  if (ok && rename(temp_.c_str(), file_.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    unlink(temp_.c_str());
    *error = file_.string() + ": cannot write the report: " + std::strerror(saved);
  }
  return ok;
}

}  // namespace brandsim
