#include "platform/host/paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/host/internal.h"
#include "platform/text.h"
#include "platform/wildcard.h"

namespace host {

namespace {

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// `folder` opened anew for reading its names, with an offset of its own.
DIR* OpenNames(int folder) {
  int fd = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) close(fd);
  return dir;
}

// Reads the names in `folder` (. and .. left out); false when it cannot be read.
template <typename F>
bool ForEachName(int folder, F&& visit) {
  DIR* dir = OpenNames(folder);
  if (dir == nullptr) return false;
  for (;;) {
    errno = 0;
    const struct dirent* d = readdir(dir);
    if (d == nullptr) break;
    if (std::strcmp(d->d_name, ".") != 0 && std::strcmp(d->d_name, "..") != 0) {
      visit(std::string_view(d->d_name));
    }
  }
  bool ok = errno == 0;
  closedir(dir);
  return ok;
}

// Case-folded names in code unit order: <0, 0 or >0.
int CompareFolded(std::u16string_view a, std::u16string_view b) {
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] == b[i]) continue;
    char16_t x = wtext::ToLower(a[i]);
    char16_t y = wtext::ToLower(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

// Host names in the order enumeration gives them: by their UTF-16 forms
// compared without regard to case, ties in byte order. An enumeration pass
// compares every name in the folder, so names that are ASCII up to where
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
  } else if (int folded = CompareFolded(FromUtf8(a), FromUtf8(b)); folded != 0) {
    return folded;
  }
  int bytes = a.compare(b);
  return bytes < 0 ? -1 : bytes > 0 ? 1 : 0;
}

// Whether an enumeration reports the entry: a name the device cannot hold
// in FindData, or cannot address because it contains its separator, is not
// reported.
bool Listable(std::string_view host_name, std::u16string_view wildcard) {
  if (host_name.find('\\') != std::string_view::npos) return false;
  std::u16string name = FromUtf8(host_name);
  if (name.size() > static_cast<std::size_t>(platform::kMaxPath - 1)) return false;
  return wtext::MatchesWildcard(wildcard.data(), wildcard.size(), name.data(), name.size());
}

// A 64-bit hash spread over all its bits, for the filters' bit positions.
std::uint64_t Mix(std::uint64_t h) {
  h ^= h >> 30;
  h *= 0xbf58476d1ce4e5b9ull;
  h ^= h >> 27;
  h *= 0x94d049bb133111ebull;
  return h ^ (h >> 31);
}

std::uint32_t AttributesOf(const struct stat& st) {
  if (S_ISLNK(st.st_mode)) return platform::kFileAttributeReparsePoint;
  if (S_ISDIR(st.st_mode)) return platform::kFileAttributeDirectory;
  return (st.st_mode & S_IWUSR) ? platform::kFileAttributeNormal : platform::kFileAttributeReadonly;
}

}  // namespace

void Fd::Reset() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool WriteAll(int fd, std::string_view bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// ---- Folder caches -----------------------------------------------------------

std::uint64_t FolderCaches::FoldedHash(std::u16string_view name) {
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a over the folded code units
  for (char16_t c : name) {
    hash = (hash ^ wtext::ToLower(c)) * 1099511628211ull;
  }
  return hash;
}

// k bit positions from two halves of one hash (Kirsch and Mitzenmacher),
// k chosen for the bits per name: ln 2 of them.
namespace {
template <typename F>
void ForEachBit(std::uint64_t hash, std::size_t words, std::size_t bits_per_name, F&& bit) {
  std::uint64_t h = Mix(hash);
  auto a = static_cast<std::uint32_t>(h);
  auto b = static_cast<std::uint32_t>(h >> 32) | 1u;
  std::size_t k = std::max<std::size_t>(1, (bits_per_name * 693 + 500) / 1000);
  std::uint64_t m = static_cast<std::uint64_t>(words) * 64;
  for (std::size_t i = 0; i < k; ++i) {
    std::uint32_t g = a + static_cast<std::uint32_t>(i) * b;
    if (!bit((static_cast<std::uint64_t>(g) * m) >> 32)) return;
  }
}
}  // namespace

void FolderCaches::Set(Folder* entry, std::uint64_t hash) const {
  if (entry->bits.empty()) return;
  ForEachBit(hash, entry->bits.size(), entry->bits_per_name, [&](std::uint64_t i) {
    entry->bits[i >> 6] |= std::uint64_t{1} << (i & 63);
    return true;
  });
}

bool FolderCaches::MayHold(const Folder& entry, std::uint64_t hash) const {
  if (entry.bits.empty()) return true;
  bool all = true;
  ForEachBit(hash, entry.bits.size(), entry.bits_per_name, [&](std::uint64_t i) {
    all = (entry.bits[i >> 6] >> (i & 63)) & 1;
    return all;
  });
  return all;
}

void FolderCaches::Drop(std::map<Key, Folder>::iterator it) {
  filter_bytes_ -= it->second.bits.size() * sizeof(std::uint64_t) + VariantBytes(it->second);
  folders_.erase(it);
}

namespace {
// A host name that is its own folded form: a lookup in another case finds
// it by looking for the folded form itself.
bool IsFoldedForm(std::string_view host_name) {
  bool ascii = true;
  for (char c : host_name) {
    if (c >= 'A' && c <= 'Z') return false;
    if (static_cast<unsigned char>(c) >= 0x80) ascii = false;
  }
  if (ascii) return true;  // most names: spared three conversions a move
  std::string folded;
  return ToUtf8Exact(FoldName(FromUtf8(host_name)), &folded) && folded == host_name;
}
}  // namespace

// Lets the folders least recently used go until `bytes` more fit the cap.
void FolderCaches::MakeRoom(std::size_t bytes) {
  while (filter_bytes_ + bytes > limits_.filters_bytes && !folders_.empty()) {
    auto oldest = folders_.begin();
    for (auto it = folders_.begin(); it != folders_.end(); ++it) {
      if (it->second.used < oldest->second.used) oldest = it;
    }
    Drop(oldest);
  }
}

std::size_t FolderCaches::VariantBytes(const Folder& entry) {
  std::size_t bytes = 0;
  for (const std::string& name : entry.variants) bytes += sizeof(std::string) + name.capacity();
  return bytes;
}

std::ptrdiff_t FolderCaches::AddVariant(Folder* entry, std::string_view host_name) const {
  if (!entry->variants_complete || IsFoldedForm(host_name)) return 0;
  if (entry->variants.size() >= limits_.variants_per_folder) {
    std::ptrdiff_t freed = static_cast<std::ptrdiff_t>(VariantBytes(*entry));
    entry->variants_complete = false;
    entry->variants = std::vector<std::string>();
    return -freed;
  }
  entry->variants.emplace_back(host_name);
  return static_cast<std::ptrdiff_t>(sizeof(std::string) + entry->variants.back().capacity());
}

bool FolderCaches::AlikeFromVariants(int folder, const Folder& entry, const std::u16string& folded,
                                     std::vector<std::string>* alike) const {
  if (!entry.variants_complete) return false;
  alike->clear();
  std::string folded_host;
  struct stat st;
  if (ToUtf8Exact(folded, &folded_host) &&
      fstatat(folder, folded_host.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    alike->push_back(folded_host);
  }
  for (const std::string& variant : entry.variants) {
    if (FoldName(FromUtf8(variant)) == folded) alike->push_back(variant);
  }
  return true;
}

void FolderCaches::Clear() {
  folders_.clear();
  filter_bytes_ = 0;
}

FolderCaches::Folder* FolderCaches::Fresh(const struct stat& folder_st) {
  auto it = folders_.find(Key{folder_st.st_dev, folder_st.st_ino});
  if (it == folders_.end() || !SameTime(it->second.mtime, folder_st.st_mtim)) return nullptr;
  it->second.used = ++clock_;
  return &it->second;
}

bool FolderCaches::ProvenAbsent(const struct stat& folder_st, std::uint64_t hash) {
  const Folder* entry = Fresh(folder_st);
  return entry != nullptr && !MayHold(*entry, hash);
}

std::size_t FolderCaches::MostNames(std::size_t bits_per_name) const {
  return std::max<std::size_t>(1, limits_.filter_max_bytes * 8 / bits_per_name);
}

std::size_t FolderCaches::FullBitsPerName() const {
  return std::max<std::size_t>(1, limits_.filter_bits_per_name);
}

// Past the names it was sized for (while a bigger one may be made), a filter
// would answer "maybe" ever more often; one made with half the bits, because
// its variants answered every other case, no longer may once they do not.
// Either is made again from a read of the folder.
bool FolderCaches::Outgrown(const Folder& entry) const {
  return (entry.names > entry.capacity && entry.capacity < MostNames(entry.bits_per_name)) ||
         (!entry.variants_complete && entry.bits_per_name < FullBitsPerName());
}

FolderCaches::Folder* FolderCaches::GetIfKnown(int folder, struct stat* st) {
  auto fd = known_fds_.find(folder);
  if (fd != known_fds_.end() && folders_.count(fd->second) == 0) return nullptr;
  if (fstat(folder, st) != 0) return nullptr;
  auto it = folders_.find(Key{st->st_dev, st->st_ino});
  return it == folders_.end() ? nullptr : &it->second;
}

FolderCaches::Folder* FolderCaches::Rebuild(int folder, const struct stat& folder_st,
                                            const std::u16string* folded,
                                            std::vector<std::string>* alike) {
  const Key key{folder_st.st_dev, folder_st.st_ino};
  std::size_t expected = 0;
  bool few_variants = true;
  // The old filter goes before the new one is made, so that the two are
  // never held at once.
  if (auto it = folders_.find(key); it != folders_.end()) {
    expected = it->second.names;
    few_variants = it->second.variants_complete;
    Drop(it);
  }
  const std::uint64_t wanted = folded != nullptr ? FoldedHash(*folded) : 0;
  // Sized for twice the names it is expected to hold, so that a folder that
  // keeps growing is read again only each time it has doubled; a first read
  // of a folder bigger than the smallest filter takes a second read.
  //
  // Where the variants answer every other case, a name the filter wrongly
  // calls present costs two lookups, and half the bits will do; elsewhere
  // it costs a read of the folder.
  for (int attempt = 0; attempt < 2; ++attempt) {
    const std::size_t full = FullBitsPerName();
    const std::size_t bits_per_name = few_variants ? std::max<std::size_t>(1, full / 2) : full;
    const std::size_t most = MostNames(bits_per_name);
    std::size_t capacity = std::min(most, std::max(limits_.filter_min_names, 2 * expected));
    std::size_t words = (capacity * bits_per_name + 63) / 64;
    MakeRoom(words * sizeof(std::uint64_t));
    Folder fresh;
    // The time is taken before the read: a change during it shows up as a
    // newer time at the next lookup.
    fresh.mtime = folder_st.st_mtim;
    fresh.capacity = capacity;
    fresh.bits_per_name = bits_per_name;
    fresh.bits.assign(words, 0);
    if (alike != nullptr) alike->clear();
    std::size_t count = 0;
    ++reads_;
    bool read = ForEachName(folder, [&](std::string_view host_name) {
      std::u16string name = FromUtf8(host_name);
      std::uint64_t hash = FoldedHash(name);
      Set(&fresh, hash);
      AddVariant(&fresh, host_name);
      ++count;
      if (alike != nullptr && hash == wanted && FoldName(name) == *folded) {
        alike->emplace_back(host_name);
      }
    });
    if (!read) return nullptr;
    fresh.names = count;
    if (Outgrown(fresh) && attempt == 0) {
      expected = count;
      few_variants = fresh.variants_complete;
      continue;
    }
    fresh.used = ++clock_;
    MakeRoom(words * sizeof(std::uint64_t) + VariantBytes(fresh));
    filter_bytes_ += words * sizeof(std::uint64_t) + VariantBytes(fresh);
    Folder& stored = folders_[key];
    stored = std::move(fresh);
    return &stored;
  }
  return nullptr;  // not reached: the second attempt always stores
}

bool FolderCaches::Lookup(int folder, const struct stat* folder_st, std::u16string_view name,
                          std::string* host_name, struct stat* st) {
  std::string exact;
  bool exact_ok = ToUtf8Exact(name, &exact) && !exact.empty();
  const std::uint64_t hash = FoldedHash(name);
  // A folder whose filter is current answers "no such name, in any case"
  // without a call (in a big folder, a name that does not exist costs the
  // file system a search).
  if (folder_st != nullptr && ProvenAbsent(*folder_st, hash)) return false;
  if (exact_ok && fstatat(folder, exact.c_str(), st, AT_SYMLINK_NOFOLLOW) == 0) {
    *host_name = std::move(exact);
    return true;
  }
  struct stat own;
  if (folder_st == nullptr) {
    if (fstat(folder, &own) != 0) return false;
    folder_st = &own;
    if (ProvenAbsent(own, hash)) return false;
  }
  // Another case of the name, or none: the folder's variants tell which
  // names fold alike when it has few; else the folder is read for them,
  // which also makes its filter afresh.
  const std::u16string folded = FoldName(name);
  std::vector<std::string> alike;
  const Folder* known = Fresh(*folder_st);
  if ((known == nullptr || !AlikeFromVariants(folder, *known, folded, &alike)) &&
      Rebuild(folder, *folder_st, &folded, &alike) == nullptr) {
    return false;
  }
  std::sort(alike.begin(), alike.end());
  for (const std::string& candidate : alike) {
    if (fstatat(folder, candidate.c_str(), st, AT_SYMLINK_NOFOLLOW) == 0) {
      *host_name = candidate;
      return true;
    }
  }
  return false;
}

// Both are called after the change, so the folder's time that GetIfKnown
// reads is already the one the change left.
void FolderCaches::Added(int folder, const std::string& host_name) {
  struct stat st;
  Folder* entry = GetIfKnown(folder, &st);
  if (entry == nullptr) return;
  Set(entry, FoldedHash(FromUtf8(host_name)));
  filter_bytes_ += AddVariant(entry, host_name);
  ++entry->names;
  entry->mtime = st.st_mtim;
  if (Outgrown(*entry)) Rebuild(folder, st, nullptr, nullptr);
}

// The name's bits stay set: other names may share them.
void FolderCaches::Removed(int folder, const std::string& host_name) {
  struct stat st;
  Folder* entry = GetIfKnown(folder, &st);
  if (entry == nullptr) return;
  entry->mtime = st.st_mtim;
  auto it = std::find(entry->variants.begin(), entry->variants.end(), host_name);
  if (it != entry->variants.end()) {
    filter_bytes_ -= sizeof(std::string) + it->capacity();
    entry->variants.erase(it);
  }
}

void FolderCaches::Forget(const struct stat& folder) {
  auto it = folders_.find(Key{folder.st_dev, folder.st_ino});
  if (it != folders_.end()) Drop(it);
}

// ---- Names -------------------------------------------------------------------

bool SplitPath(std::u16string_view path, std::vector<std::u16string>* parts) {
  parts->clear();
  std::size_t start = 0;
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != u'\\' && path[i] != u'/') continue;
    if (i > start) {
      std::u16string_view part = path.substr(start, i - start);
      if (part == u"." || part == u"..") return false;
      parts->emplace_back(part);
    }
    start = i + 1;
  }
  return true;
}

bool IsValidNewName(std::u16string_view name) {
  if (name.empty()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    char16_t c = name[i];
    if (c < 0x20 || std::u16string_view(u"<>:\"|?*").find(c) != std::u16string_view::npos) {
      return false;
    }
    if (c >= 0xD800 && c < 0xDC00) {
      if (i + 1 >= name.size() || name[i + 1] < 0xDC00 || name[i + 1] >= 0xE000) return false;
      ++i;
    } else if (c >= 0xDC00 && c < 0xE000) {
      return false;
    }
  }
  return true;
}

// ---- The tree ----------------------------------------------------------------

bool Tree::Open(const std::filesystem::path& fs_dir, std::string* error) {
  Close();
  struct stat st;
  if (lstat(fs_dir.c_str(), &st) != 0) {
    *error = ShowHostName(fs_dir.string()) + ": " +
             (errno == ENOENT ? std::string("missing: a device image holds its file system in fs/")
                              : std::string(std::strerror(errno)));
    return false;
  }
  if (S_ISLNK(st.st_mode)) {
    *error = ShowHostName(fs_dir.string()) + ": is a link; the device's file system must be a folder";
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    *error = ShowHostName(fs_dir.string()) + ": not a folder";
    return false;
  }
  Fd fd(open(fs_dir.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) {
    *error = ShowHostName(fs_dir.string()) + ": cannot open: " + std::strerror(errno);
    return false;
  }
  struct stat opened;
  if (fstat(fd.get(), &opened) != 0 || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) {
    *error = ShowHostName(fs_dir.string()) + ": changed while it was being opened";
    return false;
  }
  DropOpened();
  root_ = std::make_shared<const Fd>(std::move(fd));
  root_dev_ = opened.st_dev;
  return true;
}

bool Tree::Owns(const struct stat& st) const {
  if (st.st_dev != root_dev_) return false;
  if (foreign_ != nullptr && foreign_->count({st.st_dev, st.st_ino}) > 0) return false;
  if (S_ISDIR(st.st_mode)) return true;
  return S_ISREG(st.st_mode) && st.st_nlink <= 1 + extra_links_;
}

void Tree::Close() {
  DropOpened();
  root_.reset();
  caches_.Clear();
}

void Tree::DropOpened() {
  for (const auto& entry : opened_) caches_.Unremember(entry.second.fd->get());
  opened_.clear();
}

// One call for a folder that exists under the name given, which is nearly
// every time; the folder caches are asked only when no entry has exactly that
// name. O_NOFOLLOW with O_DIRECTORY refuses a link as it refuses a file, and
// if the folder is swapped for a link after the lookup, the open fails
// instead of following it.
Fd Tree::OpenSubfolder(int parent, const struct stat* parent_st, std::u16string_view name,
                       bool* exact) {
  constexpr int kFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  *exact = false;
  std::string host_name;
  if (ToUtf8Exact(name, &host_name) && !host_name.empty()) {
    Fd folder(openat(parent, host_name.c_str(), kFlags));
    // Any other failure: the name is taken by something that is no folder
    // (which wins over other cases of it, as in a lookup), or unusable.
    *exact = folder.valid();
    if (folder.valid() || errno != ENOENT) return folder;
  }
  struct stat st;
  if (!caches_.Lookup(parent, parent_st, name, &host_name, &st) || !S_ISDIR(st.st_mode)) {
    return Fd();
  }
  return Fd(openat(parent, host_name.c_str(), kFlags));
}

bool Tree::OpenFolder(const std::vector<std::u16string>& parts, std::size_t count,
                      FolderFd* folder, struct stat* folder_st) {
  if (!root_) return false;
  std::shared_ptr<const Fd> current = root_;
  struct stat current_st;
  bool have_st = false;  // the root's is taken only when needed
  std::u16string path;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) path.push_back(u'\\');
    path += parts[i];
    int parent = current->get();
    auto it = opened_.find(path);
    if (it != opened_.end()) {
      const Opened& held = it->second;
      struct stat st;
      if (fstatat(parent, held.host_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISDIR(st.st_mode) && st.st_dev == held.dev && st.st_ino == held.ino) {
        current = held.fd;
        current_st = st;
        have_st = true;
        continue;
      }
      caches_.Unremember(held.fd->get());
      opened_.erase(it);
    }
    bool exact = false;
    Fd next = OpenSubfolder(parent, have_st ? &current_st : nullptr, parts[i], &exact);
    struct stat st;
    if (!next.valid() || fstat(next.get(), &st) != 0) return false;
    // Checked on the folder opened: a mount point is never entered, as if
    // it were a link.
    if (!Owns(st)) return false;
    auto shared = std::make_shared<const Fd>(std::move(next));
    // Only a folder found under the exact name given is kept: a check of
    // that name then tells whether a new walk would come to the same folder.
    if (exact) {
      if (opened_.size() >= kMaxOpened) DropOpened();
      caches_.Remember(shared->get(), st);
      opened_.emplace(path, Opened{shared, ToUtf8(parts[i]), st.st_dev, st.st_ino});
    }
    current = std::move(shared);
    current_st = st;
    have_st = true;
  }
  *folder = FolderFd(std::move(current));
  if (have_st) {
    *folder_st = current_st;
  } else {
    *folder_st = {};
  }
  return true;
}

bool Tree::Resolve(std::u16string_view path, Entry* entry) {
  std::vector<std::u16string> parts;
  if (!SplitPath(path, &parts) || parts.empty()) return false;
  if (!OpenFolder(parts, parts.size() - 1, &entry->folder, &entry->folder_st)) return false;
  entry->name = parts.back();
  // The root's stat is not taken on the way: the lookup takes it if it needs it.
  const struct stat* folder_st = parts.size() > 1 ? &entry->folder_st : nullptr;
  entry->exists = caches_.Lookup(entry->folder.get(), folder_st, entry->name, &entry->host_name,
                                 &entry->st);
  entry->foreign = entry->exists && !S_ISLNK(entry->st.st_mode) && !Owns(entry->st);
  if (!entry->exists && !ToUtf8Exact(entry->name, &entry->host_name)) entry->host_name.clear();
  return true;
}

bool Tree::Enumerate(std::u16string_view pattern, Enumeration* enumeration) {
  std::vector<std::u16string> parts;
  if (!SplitPath(pattern, &parts) || parts.empty()) return false;
  FolderFd folder;
  struct stat folder_st;
  if (!OpenFolder(parts, parts.size() - 1, &folder, &folder_st)) return false;
  return enumeration->Start(folder.get(), parts.back(), limits_);
}

// ---- Enumeration -------------------------------------------------------------

void Enumeration::CloseDir::operator()(DIR* dir) const { closedir(dir); }

// The folder stays open for the enumeration's life: every pass reads the
// same folder, wherever it has been moved meanwhile.
bool Enumeration::Start(int folder, std::u16string_view wildcard, const Limits& limits) {
  DIR* dir = OpenNames(folder);
  if (dir == nullptr) return false;
  *this = Enumeration();
  dir_.reset(dir);
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

bool Enumeration::Next(Listed* entry) {
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
    return true;
  }
}

}  // namespace host
