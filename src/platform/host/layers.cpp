// A dry run's tree over the image (view.h): the view's folders in front,
// the image's behind them, read and never changed; and the walk of the
// whole tree as the run sees it.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/host/internal.h"
#include "platform/host/paths.h"

namespace host {

namespace {

constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

struct CloseNames {
  void operator()(DIR* dir) const { closedir(dir); }
};

// Calls `each` with every name of `folder` but `.` and `..` until it says
// to stop; false when the folder cannot be read.
template <typename Each>
bool ForEachName(int folder, Each each) {
  std::unique_ptr<DIR, CloseNames> dir(OpenNames(folder));
  if (!dir) return false;
  while (const dirent* d = readdir(dir.get())) {
    const char* name = d->d_name;
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
    if (!each(name)) break;
  }
  return true;
}

}  // namespace

FolderKey Tree::KeyOf(const struct stat& folder_st) const {
  return {folder_st.st_dev, folder_st.st_ino};
}

bool Tree::SetLower(const std::filesystem::path& image_fs, std::map<FolderKey, LowerFolder> folders,
                    std::string* error) {
  Fd fd(open(image_fs.c_str(), kFolderFlags));
  struct stat st;
  if (!fd.valid() || fstat(fd.get(), &st) != 0) {
    *error = ShowHostName(image_fs.string()) + ": cannot open: " + std::strerror(errno);
    return false;
  }
  auto root = folders.find(root_key_);
  if (!root_ || root == folders.end() || root->second.dev != st.st_dev ||
      root->second.ino != st.st_ino) {
    *error = ShowHostName(image_fs.string()) + ": changed while the dry run's view was made";
    return false;
  }
  lower_root_ = std::make_shared<const Fd>(std::move(fd));
  lower_dev_ = st.st_dev;
  lower_ = std::move(folders);
  lower_open_.clear();
  hidden_.clear();
  placed_.clear();
  return true;
}

// Opened by its path below the image's fs/, a folder at a time and never
// through a link, and checked to be the folder the view was made from.
std::shared_ptr<const Fd> Tree::LowerFolderOf(const FolderKey& view_key,
                                              const struct stat** st_out) {
  if (auto open = lower_open_.find(view_key); open != lower_open_.end()) {
    if (st_out != nullptr) *st_out = &open->second.st;
    return open->second.fd;
  }
  auto it = lower_.find(view_key);
  if (it == lower_.end() || !lower_root_) return nullptr;
  std::shared_ptr<const Fd> folder = lower_root_;
  std::string_view rest = it->second.relative;
  while (!rest.empty()) {
    std::size_t slash = rest.find('/');
    std::string part(rest.substr(0, slash));
    auto next = std::make_shared<const Fd>(openat(folder->get(), part.c_str(), kFolderFlags));
    if (!next->valid()) return nullptr;
    folder = std::move(next);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
  }
  struct stat st;
  if (fstat(folder->get(), &st) != 0 || st.st_dev != it->second.dev ||
      st.st_ino != it->second.ino) {
    return nullptr;
  }
  if (lower_open_.size() >= kMaxOpened) lower_open_.clear();
  auto made = lower_open_.emplace(view_key, OpenLower{folder, st}).first;
  if (st_out != nullptr) *st_out = &made->second.st;
  return folder;
}

namespace {

// The two bits of a name's hash that the hidden names' filter sets.
std::pair<std::size_t, std::size_t> FilterBits(std::string_view name, std::size_t bits) {
  std::uint64_t hash = std::hash<std::string_view>{}(name);
  return {static_cast<std::size_t>(hash % bits), static_cast<std::size_t>((hash >> 32) % bits)};
}

bool Has(const std::vector<std::uint64_t>& filter, std::size_t bit) {
  return (filter[bit / 64] >> (bit % 64)) & 1;
}

}  // namespace

void Tree::Hide(const FolderKey& view_key, const std::string& host_name) {
  if (lower_.count(view_key) == 0) return;
  HiddenNames& hidden = hidden_[view_key];
  if (hidden.filter.empty()) hidden.filter.assign(kHiddenFilterBits / 64, 0);
  auto [a, b] = FilterBits(host_name, kHiddenFilterBits);
  hidden.filter[a / 64] |= std::uint64_t{1} << (a % 64);
  hidden.filter[b / 64] |= std::uint64_t{1} << (b % 64);
  hidden.names.insert(host_name);
}

bool Tree::Hidden(const FolderKey& view_key, std::string_view host_name) const {
  auto it = hidden_.find(view_key);
  if (it == hidden_.end()) return false;
  const HiddenNames& hidden = it->second;
  auto [a, b] = FilterBits(host_name, kHiddenFilterBits);
  return Has(hidden.filter, a) && Has(hidden.filter, b) &&
         hidden.names.count(std::string(host_name)) != 0;
}

void Tree::ForgetLower(const FolderKey& view_key) {
  placed_.erase(view_key);
  lower_.erase(view_key);
  lower_open_.erase(view_key);
  hidden_.erase(view_key);
  view_access_.erase(view_key);
}

// Asked once a folder: the run never changes a folder's mode.
int Tree::MayTakeFromImage(const Entry& entry) {
  auto known = view_access_.find(entry.view_key);
  if (known != view_access_.end()) return known->second;
  int answer = faccessat(entry.view.get(), ".", W_OK | X_OK, AT_EACCESS) == 0 ? 0 : errno;
  view_access_[entry.view_key] = answer;
  return answer;
}

bool Tree::LowerShowsAny(const FolderKey& view_key) {
  if (PlacedIn(view_key) != nullptr) return true;
  std::shared_ptr<const Fd> lower = LowerFolderOf(view_key);
  if (!lower) return false;
  bool any = false;
  // A folder that cannot be read is taken to hold something: it stays.
  if (!ForEachName(lower->get(), [&](const char* name) {
        any = !Hidden(view_key, name);
        return !any;
      })) {
    return true;
  }
  return any;
}

void Tree::Place(const FolderKey& view_key, const std::string& host_name, Placed placed) {
  placed_[view_key][host_name] = std::move(placed);
}

void Tree::Unplace(const FolderKey& view_key, const std::string& host_name) {
  auto folder = placed_.find(view_key);
  if (folder == placed_.end()) return;
  folder->second.erase(host_name);
  if (folder->second.empty()) placed_.erase(folder);
}

const PlacedFiles* Tree::PlacedIn(const FolderKey& view_key) const {
  auto folder = placed_.find(view_key);
  return folder == placed_.end() ? nullptr : &folder->second;
}

// Of the names that fold alike to the one asked for, in the view's folder,
// among the files placed there and in the image's folder, the one a single
// folder holding them all would give: the exact name, else the first in
// byte order; the view's own where the view and the image both hold it.
void Tree::LookInImage(Entry* entry) {
  std::string exact;
  bool have_exact = ToUtf8Exact(entry->name, &exact) && !exact.empty();
  if (entry->exists && have_exact && entry->host_name == exact) return;
  auto take_placed = [&](const std::string& name, const Placed& placed) {
    entry->folder = FolderFd(placed.folder);
    entry->host_name = name;
    entry->source = placed.name;
    entry->st = placed.st;
    entry->exists = entry->lower = entry->placed = true;
  };
  const std::string* placed_name = nullptr;
  const Placed* placed = nullptr;
  if (const PlacedFiles* files = PlacedIn(entry->view_key)) {
    auto it = have_exact ? files->find(exact) : files->end();
    if (it == files->end()) it = files->lower_bound(FoldedProbe{entry->name});
    // Not after the probe (lower_bound): it folds alike.
    if (it != files->end() && !HostNameOrder()(FoldedProbe{entry->name}, it->first)) {
      placed_name = &it->first;
      placed = &it->second;
    }
  }
  if (placed != nullptr && have_exact && *placed_name == exact) return take_placed(exact, *placed);

  const struct stat* lower_st = nullptr;
  std::shared_ptr<const Fd> lower = LowerFolderOf(entry->view_key, &lower_st);
  std::string host_name;
  struct stat st;
  bool found = lower && caches_.Lookup(lower->get(), lower_st, entry->name, &host_name, &st);
  if (found && Hidden(entry->view_key, host_name)) {
    // The cache knows no second choice: the folder is read for one. Only a
    // name hidden and then asked for again comes here.
    std::u16string folded = FoldName(entry->name);
    found = false;
    ForEachName(lower->get(), [&](const char* name) {
      if (Hidden(entry->view_key, name) || FoldName(FromUtf8(name)) != folded) return true;
      if (!found || (have_exact && name == exact) || host_name > name) host_name = name;
      found = true;
      return !(have_exact && host_name == exact);
    });
    if (found && fstatat(lower->get(), host_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      found = false;
    }
  }
  // The image's folders are the view's own (view.h): one not there is not
  // part of the run.
  found = found && !S_ISDIR(st.st_mode);
  bool lower_first = found && (have_exact && host_name == exact);
  if (found && !lower_first) {
    lower_first = (!entry->exists || host_name < entry->host_name) &&
                  (placed == nullptr || host_name < *placed_name);
  }
  if (lower_first) {
    entry->folder = FolderFd(lower);
    entry->host_name = std::move(host_name);
    entry->st = st;
    entry->exists = entry->lower = true;
    return;
  }
  if (placed != nullptr && (!entry->exists || *placed_name < entry->host_name)) {
    take_placed(*placed_name, *placed);
  }
}

void Tree::Walk(const std::function<void(const Walked&)>& visit) {
  if (root_) WalkFolder(root_->get(), root_key_, "", visit);
}

void Tree::WalkFolder(int folder, const FolderKey& key, const std::string& relative,
                      const std::function<void(const Walked&)>& visit) {
  std::vector<std::string> names;
  ForEachName(folder, [&](const char* name) {
    names.emplace_back(name);
    return true;
  });
  for (const std::string& name : names) {
    struct stat st;
    if (fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    std::string path = relative.empty() ? name : relative + "/" + name;
    visit(Walked{path, folder, name.c_str(), st, false});
    // A mount point, or what stands for one in a view, is never entered.
    if (!S_ISDIR(st.st_mode) || !Owns(st)) continue;
    Fd sub(openat(folder, name.c_str(), kFolderFlags));
    struct stat opened;
    if (!sub.valid() || fstat(sub.get(), &opened) != 0 || opened.st_ino != st.st_ino ||
        opened.st_dev != st.st_dev) {
      continue;
    }
    WalkFolder(sub.get(), KeyOf(opened), path, visit);
  }
  if (const PlacedFiles* files = PlacedIn(key)) {
    for (const auto& [name, placed] : *files) {
      std::string path = relative.empty() ? name : relative + "/" + name;
      visit(Walked{path, placed.folder->get(), placed.name.c_str(), placed.st, true});
    }
  }
  std::shared_ptr<const Fd> lower = layered() ? LowerFolderOf(key) : nullptr;
  if (!lower) return;
  std::unordered_set<std::string> own(names.begin(), names.end());
  ForEachName(lower->get(), [&](const char* name) {
    struct stat st;
    if (own.count(name) != 0 || Hidden(key, name) ||
        fstatat(lower->get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode)) {
      return true;
    }
    std::string path = relative.empty() ? std::string(name) : relative + "/" + name;
    visit(Walked{path, lower->get(), name, st, true});
    return true;
  });
}

}  // namespace host
