// Enumeration: a folder's names, matched against a wildcard and given out in
// sorted order through a bounded window.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/host/internal.h"
#include "platform/host/paths.h"
#include "platform/text.h"
#include "platform/wildcard.h"

namespace host {

// Declared in paths.h.
DIR* OpenNames(int folder) {
  int fd = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) close(fd);
  return dir;
}

// An enumeration pass compares every name in the folder, so names that are ASCII up to where
// they differ (nearly all) are compared on their bytes, without decoding:
// there each byte is one code unit and only A-Z fold.
int CompareHostNames(std::string_view a, std::string_view b) {
  std::size_t n = std::min(a.size(), b.size());
  std::size_t i = 0;
  for (; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 0x80 || y >= 0x80) break;
    if (x == y) continue;
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return x < y ? -1 : 1;
  }
  if (i == n) {
    // One is a prefix of the other after folding; any bytes left are at
    // least one code unit more.
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  } else if (int folded = CompareNoCase(FromUtf8(a), FromUtf8(b)); folded != 0) {
    return folded;
  }
  int bytes = a.compare(b);
  return bytes < 0 ? -1 : bytes > 0 ? 1 : 0;
}

namespace {

// A host name against a UTF-16 one, both without regard to case; ASCII up
// to where they differ (nearly always) without decoding.
int CompareWithFolded(std::string_view host, std::u16string_view name) {
  std::size_t n = std::min(host.size(), name.size());
  for (std::size_t i = 0; i < n; ++i) {
    const auto byte = static_cast<unsigned char>(host[i]);
    if (byte >= 0x80 || name[i] >= 0x80) return CompareNoCase(FromUtf8(host), name);
    const char16_t x = FoldUnit(byte), y = FoldUnit(name[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  // Any bytes left are at least one code unit more.
  return host.size() < name.size() ? -1 : host.size() > name.size() ? 1 : 0;
}

}  // namespace

bool HostNameOrder::operator()(const std::string& a, const FoldedProbe& b) const {
  return CompareWithFolded(a, b.name) < 0;
}
bool HostNameOrder::operator()(const FoldedProbe& a, const std::string& b) const {
  return CompareWithFolded(b, a.name) > 0;
}

namespace {

// Whether an enumeration reports the entry: a name the device cannot hold
// in FindData, or cannot address because it contains its separator, is not
// reported.
bool Listable(std::string_view host_name, std::u16string_view wildcard) {
  if (host_name.find('\\') != std::string_view::npos) return false;
  std::u16string name = FromUtf8(host_name);
  if (name.size() > static_cast<std::size_t>(platform::kMaxPath - 1)) return false;
  return wtext::MatchesWildcard(wildcard.data(), wildcard.size(), name.data(), name.size());
}

std::uint32_t AttributesOf(const struct stat& st) {
  if (S_ISLNK(st.st_mode)) return platform::kFileAttributeReparsePoint;
  if (S_ISDIR(st.st_mode)) return platform::kFileAttributeDirectory;
  return (st.st_mode & S_IWUSR) ? platform::kFileAttributeNormal : platform::kFileAttributeReadonly;
}

}  // namespace

void Enumeration::CloseDir::operator()(DIR* dir) const { closedir(dir); }

// The folder stays open for the enumeration's life: every pass reads the
// same folder, wherever it has been moved meanwhile.
bool Enumeration::Start(int folder, std::u16string_view wildcard, const Limits& limits,
                        const Tree* hiding, FolderKey hiding_key) {
  DIR* dir = OpenNames(folder);
  if (dir == nullptr) return false;
  *this = Enumeration();
  dir_.reset(dir);
  hiding_ = hiding;
  hiding_key_ = hiding_key;
  wildcard_ = std::u16string(wildcard);
  max_entries_ = std::max<std::size_t>(1, limits.window_entries);
  max_bytes_ = limits.window_bytes;
  return Pass();
}

bool Enumeration::Before(std::uint32_t a, std::uint32_t b) const {
  return CompareHostNames(NameAt(a), NameAt(b)) < 0;
}

void Enumeration::DropLargest() {
  auto less = [this](std::uint32_t a, std::uint32_t b) { return Before(a, b); };
  std::pop_heap(window_.begin(), window_.end(), less);
  held_ -= NameAt(window_.back()).size() + 1;
  window_.pop_back();
  closed_ = true;
}

// The names still in the window, packed into storage sized for them and a
// quarter again: the dropped names' bytes are let go.
void Enumeration::Compact() {
  std::vector<char> packed;
  packed.reserve(held_ + held_ / 4 + 1024);
  for (std::uint32_t& offset : window_) {
    std::string_view name = NameAt(offset);
    offset = static_cast<std::uint32_t>(packed.size());
    packed.insert(packed.end(), name.begin(), name.end());
    packed.push_back('\0');
  }
  arena_.swap(packed);
}

// One read of the folder. The window is a max-heap while it fills: once it
// is full, a name is let in only if it sorts before the largest held, which
// then goes. What it holds at the end is every name after last_ up to some
// bound, which is what makes the next pass start where this one ends.
bool Enumeration::Pass() {
  auto less = [this](std::uint32_t a, std::uint32_t b) { return Before(a, b); };
  window_.clear();
  arena_.clear();
  held_ = 0;
  next_ = 0;
  closed_ = false;
  ++passes_;
  rewinddir(dir_.get());
  for (;;) {
    errno = 0;
    const struct dirent* d = readdir(dir_.get());
    if (d == nullptr) break;
    std::string_view name(d->d_name);
    if (name == "." || name == "..") continue;
    if (started_ && CompareHostNames(name, last_) <= 0) continue;
    if (closed_ && CompareHostNames(name, NameAt(window_.front())) >= 0) continue;
    if (!Listable(name, wildcard_)) continue;
    if (hiding_ != nullptr && hiding_->Hidden(hiding_key_, name)) continue;
    if (window_.size() >= max_entries_) DropLargest();
    // Full storage is packed when a quarter of it is dropped names, else
    // grown by a quarter: it never holds much more than the window.
    if (arena_.size() + name.size() + 1 > arena_.capacity()) {
      if (arena_.size() - held_ >= arena_.size() / 4) {
        Compact();
      } else {
        arena_.reserve(arena_.size() + arena_.size() / 4 + name.size() + 1024);
      }
    }
    window_.push_back(static_cast<std::uint32_t>(arena_.size()));
    arena_.insert(arena_.end(), name.begin(), name.end());
    arena_.push_back('\0');
    held_ += name.size() + 1;
    std::push_heap(window_.begin(), window_.end(), less);
    while (held_ + window_.size() * sizeof(std::uint32_t) > max_bytes_ && window_.size() > 1) {
      DropLargest();
    }
    if (window_.size() >= max_entries_) closed_ = true;
  }
  if (errno != 0) {
    window_.clear();
    return false;
  }
  std::sort_heap(window_.begin(), window_.end(), less);
  complete_ = !closed_;
  return true;
}

bool Enumeration::NextOwn(Listed* entry) {
  if (!dir_) return false;
  for (;;) {
    if (next_ >= window_.size()) {
      if (complete_ || !Pass() || window_.empty()) {
        complete_ = true;
        window_.clear();
        return false;
      }
    }
    last_.assign(NameAt(window_[next_++]));
    started_ = true;
    struct stat st;
    if (fstatat(dirfd(dir_.get()), last_.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    entry->name = FromUtf8(last_);
    entry->attributes = AttributesOf(st);
    entry->host_name = last_;
    return true;
  }
}

// The view folder's next entry, the image folder's and the next placed
// file go out in the one order. The first two are read ahead once; an
// entry of the view that waited while another went out is looked at again
// first, as an entry is just before it is given out. The image's folder
// does not change during a run, but what the tree hides in it does, so
// that is asked last; placed files are asked for as they are now.
bool Enumeration::Next(Listed* entry) {
  if (!merge_) return NextOwn(entry);
  Merge& m = *merge_;
  for (;;) {
    if (!m.have_own && !m.own_done) {
      m.have_own = NextOwn(&m.own);
      m.own_done = !m.have_own;
      m.own_waited = false;
    }
    if (!m.have_other && !m.other_done) {
      m.have_other = m.lower->NextOwn(&m.other);
      m.other_done = !m.have_other;
    }
    const Placed* placed = nullptr;
    const std::string* placed_name = nullptr;
    if (const PlacedFiles* files = m.tree->PlacedIn(m.view_key)) {
      auto it = m.started ? files->upper_bound(m.last_out) : files->begin();
      while (it != files->end() && !Listable(it->first, wildcard_)) ++it;
      if (it != files->end()) {
        placed_name = &it->first;
        placed = &it->second;
      }
    }
    // Which goes first: 0 the view's, 1 the image's, 2 the placed file.
    int first = -1;
    const std::string* first_name = nullptr;
    auto consider = [&](int which, bool have, const std::string& name) {
      if (have && (first_name == nullptr || CompareHostNames(name, *first_name) < 0)) {
        first = which;
        first_name = &name;
      }
    };
    consider(0, m.have_own, m.own.host_name);
    consider(1, m.have_other, m.other.host_name);
    if (placed != nullptr) consider(2, true, *placed_name);
    if (first < 0) return false;
    // The image's entry of a name the view holds is the one it replaced.
    if (first != 1 && m.have_other && m.other.host_name == *first_name) m.have_other = false;
    if (first == 0) {
      m.have_own = false;
      if (m.own_waited) {
        struct stat st;
        if (fstatat(dirfd(dir_.get()), m.own.host_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
          continue;
        }
        m.own.attributes = AttributesOf(st);
      }
      *entry = std::move(m.own);
    } else if (first == 1) {
      m.have_other = false;
      // The image's folders are the view's own (view.h).
      if ((m.other.attributes & platform::kFileAttributeDirectory) != 0 ||
          m.tree->Hidden(m.view_key, m.other.host_name)) {
        continue;
      }
      m.own_waited = m.have_own;
      *entry = std::move(m.other);
    } else {
      m.own_waited = m.have_own;
      entry->name = FromUtf8(*placed_name);
      entry->attributes = AttributesOf(placed->st);
      entry->host_name = *placed_name;
    }
    m.last_out = entry->host_name;
    m.started = true;
    return true;
  }
}

}  // namespace host
