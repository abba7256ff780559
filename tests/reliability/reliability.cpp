#include "reliability/reliability.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/support.h"

namespace reliability {

MemoryTempDir::MemoryTempDir() {
  std::error_code ec;
  fs::path base = access("/dev/shm", W_OK) == 0 ? fs::path("/dev/shm") : fs::temp_directory_path(ec);
  std::string pattern = (base / "brandinst-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot create a folder in " + base.string());
  }
  path_ = pattern;
}

MemoryTempDir::~MemoryTempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

Measured RunMeasured(const std::vector<std::string>& args, double timeout_seconds,
                     const fs::path& out_file) {
  support::TempDir scratch;
  fs::path err_file = scratch.path() / "stderr";
  fs::path peak_file = scratch.path() / "peak";
  auto started = std::chrono::steady_clock::now();
  Measured result;
  {
    simtest::BrandsimProcess run(args, out_file, err_file, {PEAK_RSS_PATH, peak_file.string()});
    auto deadline = started + std::chrono::milliseconds(static_cast<long>(timeout_seconds * 1000));
    int status = -1;
    if (run.Wait(deadline, &status)) {
      // peak_rss passes the status on, and a signal as 128 + its number.
      result.status = status >= 128 ? -1 : status;
    } else {
      result.timed_out = true;  // the destructor kills the group and reaps it
    }
  }
  std::error_code ec;
  if (fs::exists(peak_file, ec)) result.peak_rss_kb = std::stol("0" + support::ReadBytes(peak_file));
  result.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  result.err = support::ReadBytes(err_file);
  return result;
}

Picture TakePicture(const fs::path& root) {
  Picture picture;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::string name = it->path().lexically_relative(root).generic_string();
    struct stat st;
    if (lstat(it->path().c_str(), &st) != 0) {
      picture[name] = "gone";
      continue;
    }
    std::ostringstream entry;
    entry << std::oct << st.st_mode << std::dec << " " << st.st_mtim.tv_sec << "."
          << st.st_mtim.tv_nsec;
    if (S_ISLNK(st.st_mode)) {
      entry << " -> " << fs::read_symlink(it->path(), ec).string();
    } else if (S_ISREG(st.st_mode)) {
      entry << ": " << support::ReadBytes(it->path());
    }
    picture[name] = entry.str();
  }
  return picture;
}

namespace {

constexpr std::uint32_t kEverything = IN_ALL_EVENTS | IN_EXCL_UNLINK;

std::string MaskText(std::uint32_t mask) {
  static const struct {
    std::uint32_t bit;
    const char* name;
  } kBits[] = {{IN_OPEN, "OPEN"},          {IN_ACCESS, "ACCESS"},
               {IN_MODIFY, "MODIFY"},      {IN_ATTRIB, "ATTRIB"},
               {IN_CLOSE_WRITE, "CLOSE_WRITE"}, {IN_CLOSE_NOWRITE, "CLOSE_NOWRITE"},
               {IN_CREATE, "CREATE"},      {IN_DELETE, "DELETE"},
               {IN_DELETE_SELF, "DELETE_SELF"}, {IN_MOVED_FROM, "MOVED_FROM"},
               {IN_MOVED_TO, "MOVED_TO"},  {IN_MOVE_SELF, "MOVE_SELF"},
               {IN_ISDIR, "ISDIR"},        {IN_Q_OVERFLOW, "OVERFLOW"}};
  std::string out;
  for (const auto& b : kBits) {
    if (mask & b.bit) out += std::string(out.empty() ? "" : " ") + b.name;
  }
  return out;
}

bool Allowed(const std::vector<std::string>& allowed, const std::string& name) {
  for (const std::string& a : allowed) {
    if (!a.empty() && a.back() == '*' ? name.rfind(a.substr(0, a.size() - 1), 0) == 0
                                      : name == a) {
      return true;
    }
  }
  return false;
}

}  // namespace

AccessWatch::AccessWatch() {
  fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) throw std::runtime_error("inotify_init1 failed");
}

AccessWatch::~AccessWatch() {
  if (fd_ >= 0) close(fd_);
}

void AccessWatch::Add(const fs::path& folder, bool recursive) {
  // The folders are listed before any is watched: the listing would be seen.
  std::vector<fs::path> folders{folder};
  if (recursive) {
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
      if (entry.is_directory() && !entry.is_symlink()) folders.push_back(entry.path());
    }
  }
  for (const fs::path& f : folders) {
    int wd = inotify_add_watch(fd_, f.c_str(), kEverything | IN_DONT_FOLLOW | IN_ONLYDIR);
    if (wd < 0) throw std::runtime_error("cannot watch " + f.string());
    watches_[wd] = Watched{f, {}, false};
  }
}

void AccessWatch::AddAllowing(const fs::path& folder, const std::vector<std::string>& allowed) {
  int wd = inotify_add_watch(fd_, folder.c_str(), kEverything | IN_DONT_FOLLOW | IN_ONLYDIR);
  if (wd < 0) throw std::runtime_error("cannot watch " + folder.string());
  watches_[wd] = Watched{folder, allowed, true};
}

std::string AccessWatch::Violations() {
  std::string out;
  alignas(struct inotify_event) char buffer[65536];
  for (;;) {
    ssize_t n = read(fd_, buffer, sizeof buffer);
    if (n <= 0) break;
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
      if (event->mask & IN_IGNORED) continue;
      std::string name = event->len > 0 ? std::string(event->name) : std::string();
      auto watched = watches_.find(event->wd);
      if (watched == watches_.end()) {
        out += "(unknown watch): " + MaskText(event->mask) + "\n";
        continue;
      }
      if (watched->second.restricted && Allowed(watched->second.allowed, name)) continue;
      fs::path path = name.empty() ? watched->second.folder : watched->second.folder / name;
      out += path.string() + ": " + MaskText(event->mask) + "\n";
    }
  }
  return out;
}

void WriteLarge(const fs::path& file, const std::string& head, const std::string& fill,
                std::size_t size, const std::string& tail) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + file.string());
  constexpr std::size_t kPiece = 1 << 20;
  std::string piece;
  while (piece.size() < kPiece) piece += fill;
  piece.resize(kPiece - kPiece % fill.size());
  out << head;
  std::size_t left = size - head.size() - tail.size();
  while (left > 0) {
    std::size_t n = std::min(left, piece.size());
    out.write(piece.data(), static_cast<std::streamsize>(n));
    left -= n;
  }
  out << tail;
  if (!out) throw std::runtime_error("cannot write " + file.string());
}

}  // namespace reliability
