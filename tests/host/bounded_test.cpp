// The backend's bounded memory: enumerations held in a window of a few
// names, and case lookups answered from a filter of a folder's names. The
// limits are made small so that a few dozen files cross every boundary.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "host/host_fixture.h"
#include "platform/host/paths.h"

namespace hosttest {
namespace {

using Names = std::vector<std::string>;

class Bounded : public ::testing::Test {
 protected:
  // A tree over the device's fs/ with `limits`.
  std::unique_ptr<host::Tree> OpenTree(const host::Limits& limits) {
    auto tree = std::make_unique<host::Tree>(limits);
    std::string error;
    EXPECT_TRUE(tree->Open(device.fs(), &error)) << error;
    return tree;
  }

  // Every name an enumeration of `pattern` gives, in its order.
  static Names Enumerate(host::Tree& tree, const std::u16string& pattern,
                         std::size_t* passes = nullptr) {
    Names names;
    host::Enumeration enumeration;
    if (!tree.Enumerate(pattern, &enumeration)) return names;
    host::Listed entry;
    while (enumeration.Next(&entry)) names.push_back(S(entry.name));
    if (passes != nullptr) *passes = enumeration.passes();
    return names;
  }

  // Makes a file in a folder the tree has looked at, as the backend's own
  // changes do: created, then told to the caches.
  static void Add(host::Tree& tree, const host::Entry& folder_entry, const std::string& name) {
    int fd = openat(folder_entry.folder.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(fd, 0) << name;
    close(fd);
    tree.caches().Added(folder_entry.folder.get(), name);
  }

  static std::string Found(host::Tree& tree, const std::u16string& path) {
    host::Entry entry;
    if (!tree.Resolve(path, &entry) || !entry.exists) return "";
    return entry.host_name;
  }

  support::Device device;
};

host::Limits Window(std::size_t entries, std::size_t bytes = 1 << 20) {
  host::Limits limits;
  limits.window_entries = entries;
  limits.window_bytes = bytes;
  return limits;
}

// The four names that fold to "ab.gif" come 8th to 11th, and the two that
// fold to "a.gif" 6th and 7th, so that windows of two, three and nine split
// a group; non-ASCII names are ordered by their folded code units, not
// their bytes.
TEST_F(Bounded, AnEnumerationLongerThanItsWindowIsCompleteAndInOrder) {
  for (const char* name : {"ab.gif", "AB.gif", "aB.gif", "Ab.gif", "3.gif", "1.gif", "0.gif",
                           "2.gif", "4.gif", "b.gif", "č.gif", "Č.gif", "z.gif", "a.gif", "A.gif",
                           "skip.txt", "c.GIF", "d.gif", "e.gif"}) {
    device.Put(std::string("Windows/") + name, "x");
  }
  const Names expected = {"0.gif", "1.gif", "2.gif", "3.gif",  "4.gif", "A.gif",
                          "a.gif", "AB.gif", "Ab.gif", "aB.gif", "ab.gif", "b.gif",
                          "c.GIF", "d.gif", "e.gif", "z.gif",  "Č.gif", "č.gif"};
  std::size_t passes = 0;
  auto whole = OpenTree(host::Limits());
  EXPECT_EQ(Enumerate(*whole, u"\\Windows\\*.gif", &passes), expected);
  EXPECT_EQ(passes, 1u);  // everything fits: one read, as before windows

  for (std::size_t size : {1, 2, 3, 9, 17}) {
    auto tree = OpenTree(Window(size));
    EXPECT_EQ(Enumerate(*tree, u"\\Windows\\*.gif", &passes), expected) << size;
    EXPECT_GE(passes, (expected.size() + size - 1) / size) << size;
  }
  // A window bounded by bytes rather than names: two to four of these names.
  auto by_bytes = OpenTree(Window(1000, 36));
  EXPECT_EQ(Enumerate(*by_bytes, u"\\Windows\\*.gif", &passes), expected);
  EXPECT_GT(passes, 4u);
}

// Placement moves each entry out as it is given; the clean-up deletes them.
// Each entry comes once, and one removed before its turn never comes.
TEST_F(Bounded, EntriesMovedOutWhileEnumeratingComeOnceEach) {
  Names staged;
  for (int i = 0; i < 40; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "g%02d.gif", i);
    staged.push_back(name);
    device.Put(std::string("Temp/branding/") + name, "x");
  }
  auto tree = OpenTree(Window(6));
  host::Enumeration enumeration;
  ASSERT_TRUE(tree->Enumerate(u"\\Temp\\branding\\*.gif", &enumeration));
  Names given;
  host::Listed entry;
  while (enumeration.Next(&entry)) {
    std::string name = S(entry.name);
    given.push_back(name);
    ASSERT_EQ(std::rename((device.staging() / name).c_str(),
                          (device.fs() / "Windows" / name).c_str()),
              0);
    if (name == "g03.gif") fs::remove(device.staging() / "g30.gif");
  }
  Names expected = staged;
  expected.erase(expected.begin() + 30);
  EXPECT_EQ(given, expected);
  EXPECT_GE(enumeration.passes(), 7u);
  EXPECT_FALSE(enumeration.Next(&entry));
}

// The filter must keep finding other cases of a name, whatever was added,
// and must never claim a removed name.
TEST_F(Bounded, CaseLookupsHoldAcrossThousandsOfAddsAndRebuilds) {
  device.Put("Windows/Logo.GIF", "logo");
  host::Limits limits;
  limits.filter_min_names = 8;
  auto tree = OpenTree(limits);
  host::Entry windows;
  ASSERT_TRUE(tree->Resolve(u"\\Windows\\x", &windows));
  EXPECT_EQ(Found(*tree, u"\\WINDOWS\\logo.gif"), "Logo.GIF");
  const std::size_t first_reads = tree->caches().reads();

  for (int i = 0; i < 3000; ++i) Add(*tree, windows, "n" + std::to_string(i) + ".gif");
  // Grown by doubling from eight names: a read each time, a dozen in all.
  EXPECT_GE(tree->caches().reads(), first_reads + 8);
  EXPECT_LE(tree->caches().reads(), first_reads + 12);
  EXPECT_EQ(Found(*tree, u"\\windows\\LOGO.gif"), "Logo.GIF");
  EXPECT_EQ(Found(*tree, u"\\Windows\\N2999.GIF"), "n2999.gif");

  // Names that are not there are answered without reading the folder,
  // nearly always.
  std::size_t before = tree->caches().reads();
  for (int i = 0; i < 500; ++i) {
    EXPECT_EQ(Found(*tree, U("\\Windows\\Missing" + std::to_string(i) + ".GIF")), "");
  }
  EXPECT_LE(tree->caches().reads(), before + 3);

  // Removed: its bits stay, and the lookup finds it gone.
  ASSERT_EQ(unlinkat(windows.folder.get(), "Logo.GIF", 0), 0);
  tree->caches().Removed(windows.folder.get(), "Logo.GIF");
  EXPECT_EQ(Found(*tree, u"\\Windows\\logo.gif"), "");
  EXPECT_EQ(Found(*tree, u"\\Windows\\Logo.GIF"), "");
  // Another case of it, added by someone else: the folder's new time has
  // the filter made again.
  device.Put("Windows/LOGO.gif", "other");
  struct timespec times[2] = {{0, UTIME_OMIT}, {123456789, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (device.fs() / "Windows").c_str(), times, 0), 0);
  EXPECT_EQ(Found(*tree, u"\\Windows\\logo.GIF"), "LOGO.gif");
  EXPECT_EQ(Found(*tree, u"\\Windows\\n1234.GIF"), "n1234.gif");
}

// Names not in folded form are few in most folders: another case of one is
// found from the folder's cache, not by reading a folder of thousands of
// names again, and so is another case of a name in folded form. Among names
// that fold alike, the first in byte order answers, as it does after a read.
TEST_F(Bounded, AnotherCaseIsFoundWithoutReadingABigFolderAgain) {
  for (const char* name : {"Logo.GIF", "a.gif", "A.GIF", "Start.HTM"}) {
    device.Put(std::string("Windows/") + name, "x");
  }
  host::Limits limits;
  limits.variants_per_folder = 4;
  auto tree = OpenTree(limits);
  host::Entry windows;
  ASSERT_TRUE(tree->Resolve(u"\\Windows\\x", &windows));
  for (int i = 0; i < 2000; ++i) Add(*tree, windows, "n" + std::to_string(i) + ".gif");
  EXPECT_EQ(Found(*tree, u"\\Windows\\logo.gif"), "Logo.GIF");  // the read that starts it

  const std::size_t reads = tree->caches().reads();
  for (int round = 0; round < 50; ++round) {
    EXPECT_EQ(Found(*tree, u"\\Windows\\LOGO.gif"), "Logo.GIF");
    EXPECT_EQ(Found(*tree, u"\\Windows\\start.htm"), "Start.HTM");
    EXPECT_EQ(Found(*tree, u"\\Windows\\N1999.GIF"), "n1999.gif");
    EXPECT_EQ(Found(*tree, u"\\Windows\\a.GIF"), "A.GIF");
  }
  EXPECT_EQ(tree->caches().reads(), reads);

  // A variant removed by us is gone from the cache; past the limit of
  // variants, lookups read the folder and still answer right.
  ASSERT_EQ(unlinkat(windows.folder.get(), "A.GIF", 0), 0);
  tree->caches().Removed(windows.folder.get(), "A.GIF");
  EXPECT_EQ(Found(*tree, u"\\Windows\\a.GIF"), "a.gif");
  EXPECT_EQ(tree->caches().reads(), reads);
  for (const char* name : {"B.gif", "C.gif", "D.gif"}) Add(*tree, windows, name);
  EXPECT_EQ(Found(*tree, u"\\Windows\\d.GIF"), "D.gif");
  EXPECT_EQ(Found(*tree, u"\\Windows\\start.htm"), "Start.HTM");
  EXPECT_GT(tree->caches().reads(), reads);
}

// Many folders, each with its filter: together they stay under their cap,
// and a folder whose filter was let go is read again when next needed.
TEST_F(Bounded, FiltersOfManyFoldersStayUnderTheirCap) {
  host::Limits limits;
  limits.filter_min_names = 64;      // 128 bytes a folder
  limits.filters_bytes = 3 * 128;  // three folders at most
  for (int i = 0; i < 10; ++i) device.Put("Windows/f" + std::to_string(i) + "/Name.TXT", "x");
  auto tree = OpenTree(limits);
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 10; ++i) {
      std::u16string folder = U("\\Windows\\F" + std::to_string(i));
      EXPECT_EQ(Found(*tree, folder + u"\\name.txt"), "Name.TXT") << i;
      EXPECT_EQ(Found(*tree, folder + u"\\other.txt"), "") << i;
      EXPECT_LE(tree->caches().filter_bytes(), limits.filters_bytes);
    }
  }
  EXPECT_GE(tree->caches().reads(), 20u);
}

}  // namespace
}  // namespace hosttest
