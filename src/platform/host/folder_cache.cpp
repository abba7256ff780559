// The folder caches: a filter of each folder's case-folded names, so that a
// name in no case there costs no call, and another case of it seldom a read.
#include <dirent.h>
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/host/internal.h"
#include "platform/host/paths.h"
#include "platform/text.h"

namespace host {

namespace {

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
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

// A 64-bit hash spread over all its bits, for the filters' bit positions.
std::uint64_t Mix(std::uint64_t h) {
  h ^= h >> 30;
  h *= 0xbf58476d1ce4e5b9ull;
  h ^= h >> 27;
  h *= 0x94d049bb133111ebull;
  return h ^ (h >> 31);
}

}  // namespace

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

}  // namespace host
