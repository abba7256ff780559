// A dry run's private view of a device image: a folder beside the image
// (`.brandsim-dryrun.DEV.INO.view` in DIR's parent, DEV and INO being
// DIR's) holding `fs/`, a tree of new folders standing for the image's, and
// the registry file the run writes. Nothing ever writes into the image, so
// a dry run killed at any moment leaves it as it was; the view it leaves
// behind is outside the image and is removed by the next dry run on it.
//
// The view's folders are made up front (an image has few); its files are
// not. Until the run changes a file, the tree finds it in the image behind
// the view's folder (paths.h, Tree::SetLower). A move of the image's file
// and a deletion change only what the tree shows (Tree::Place, Tree::Hide),
// an attribute change makes a copy in the view, and whatever the run writes
// is written in the view: so a dry run costs no more than the real one,
// whatever the image holds.
//
// A host program as the package installer sees the view as a folder of its
// own and may write into a file in place: for it the view is whole, every
// file a copy, and nothing is looked up in the image.
//
// Where DIR's parent is not writable the view goes to TMPDIR.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <utility>

namespace host {

// An image folder behind a view's folder: its path relative to fs/, '/'
// between names, and what it was when the view was made.
struct LowerFolder {
  std::string relative;
  dev_t dev = 0;
  ino_t ino = 0;
};
using FolderKey = std::pair<dev_t, ino_t>;

struct PrivateView {
  std::filesystem::path dir;  // holds fs/ and registry.reg; empty: none
  // Files are looked up in the image (`image_fs`) behind the view's folders
  // (`lower`, by the view folder's device and inode) until the run changes
  // them; false: the view is whole (copies).
  bool layered = false;
  std::filesystem::path image_fs;
  std::map<FolderKey, LowerFolder> lower;
  // Why the view is not beside the image (it went to TMPDIR), or empty.
  std::string elsewhere;
  // What the view made in place of what is not the device's own (paths.h,
  // Tree::Owns), by (dev, ino) in the view: a mount point stands as an
  // empty folder and, in a whole view, a file with another hard link, a
  // device node, fifo or socket as an empty file of its size, mode and
  // times (not copied, which would read it). A real run tells these apart
  // by their own link count, type and file system, which the stand-ins do
  // not keep; the backend takes what is in this set as not the device's,
  // so that the dry run refuses exactly what the real run refuses.
  std::set<std::pair<dev_t, ino_t>> foreign;
  // Files of the view that stand for the image's (a copy made to change
  // one): the copy's (dev, ino) to the image's, so that what the run
  // changed is told as a real run's would be.
  std::map<std::pair<dev_t, ino_t>, std::pair<dev_t, ino_t>> copied_up;
};

// Makes the view of the image folder `image` (absolute, without links in
// its last component): whole, a copy of every file of `fs/`, when
// `copy_files`; else layered, its folders only. On failure, *error names
// the file and nothing is left.
bool MakePrivateView(const std::filesystem::path& image, bool copy_files, PrivateView* view,
                     std::string* error);

// Removes the view and everything in it, never following a link out of it.
bool RemovePrivateView(const std::filesystem::path& dir, std::string* error);

// Removes the views that dry runs of `image` left when they were killed:
// those named after its device and inode, beside it and in TMPDIR. Only
// while the image is locked, so that no run is using one of them. With
// `look_in_folders` (a dry run) the two folders are read for every such
// name, older spellings included; without (a real run, which reads nothing
// outside the image) only the one name a view has is tried. A real run
// must: a view's links give the image's files a second link, and a file
// with two is not the device's own (paths.h).
void RemoveStaleViews(const std::filesystem::path& image, bool look_in_folders);

// Makes `to` in `to_dir` a copy of `from` in `from_dir` (lstat `st`), with
// the mode `mode` and the same owner (where the user may give it) and
// times. False with errno set, and nothing at `to`.
bool CopyEntry(int from_dir, const char* from, const struct stat& st, int to_dir, const char* to,
               mode_t mode);

}  // namespace host
