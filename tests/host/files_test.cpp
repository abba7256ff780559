// Files and folders: reading, read-only emulation, enumeration, moves,
// folders, and the placement record.

#include <sys/stat.h>

#include <chrono>
#include <map>

#include "host/host_fixture.h"

namespace hosttest {
namespace {

using Files = HostTest;
using ReadOnly = HostTest;
using Enumeration = HostTest;
using Moves = HostTest;
using Folders = HostTest;
using PlacementRecord = HostTest;

using Listing = std::vector<std::pair<std::string, std::uint32_t>>;
constexpr std::uint32_t kNormal = platform::kFileAttributeNormal;
constexpr std::uint32_t kReadOnly = platform::kFileAttributeReadonly;
constexpr std::uint32_t kFolder = platform::kFileAttributeDirectory;
constexpr std::uint32_t kLink = platform::kFileAttributeReparsePoint;

void MakeReadOnly(const fs::path& file) {
  fs::permissions(file, fs::perms::owner_write, fs::perm_options::remove);
}
bool OwnerWritable(const fs::path& file) {
  return (fs::status(file).permissions() & fs::perms::owner_write) != fs::perms::none;
}

TEST_F(Files, ReadsToTheEndAndThenZero) {
  std::string content(1000, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  device.Put("Temp/branding/inst.msg", content);
  ASSERT_TRUE(Open());
  std::string bytes;
  ASSERT_TRUE(ReadDeviceFile(u"\\Temp\\branding\\inst.msg", &bytes));
  EXPECT_EQ(bytes, content);
  device.Put("Temp/branding/empty", "");
  ASSERT_TRUE(ReadDeviceFile(u"\\Temp\\branding\\empty", &bytes));
  EXPECT_EQ(bytes, "");
}

TEST_F(Files, OpensExistingFilesForReadingOnly) {
  device.Put("Temp/branding/brand.ini", "x");
  ASSERT_TRUE(Open());
  auto open = [](const char16_t* path, std::uint32_t access, std::uint32_t disposition) {
    return platform::CreateFileW(path, access, platform::kFileShareRead, nullptr, disposition,
                                 platform::kFileAttributeNormal, platform::kNullHandle);
  };
  EXPECT_EQ(open(u"\\Temp\\branding\\missing.ini", platform::kGenericRead, platform::kOpenExisting),
            platform::kInvalidHandleValue);
  EXPECT_EQ(open(u"\\Temp\\branding", platform::kGenericRead, platform::kOpenExisting),
            platform::kInvalidHandleValue);
  EXPECT_EQ(open(u"\\Temp\\branding\\brand.ini", 0x40000000u, platform::kOpenExisting),
            platform::kInvalidHandleValue);
  EXPECT_EQ(open(u"\\Temp\\branding\\new.ini", platform::kGenericRead, 1 /* CREATE_NEW */),
            platform::kInvalidHandleValue);
  EXPECT_FALSE(device.Exists("Temp/branding/new.ini"));
  // A read-only file can still be read.
  MakeReadOnly(device.staging() / "brand.ini");
  std::string bytes;
  EXPECT_TRUE(ReadDeviceFile(u"\\Temp\\branding\\brand.ini", &bytes));
  EXPECT_EQ(host::OpenHandleCount(), 0);
}

TEST_F(Files, HandlesAreNeverReusedAndCloseOnlyOnce) {
  device.Put("Temp/branding/a.gif", "a");
  ASSERT_TRUE(Open());
  auto open = [] {
    return platform::CreateFileW(u"\\Temp\\branding\\a.gif", platform::kGenericRead,
                                 platform::kFileShareRead, nullptr, platform::kOpenExisting,
                                 platform::kFileAttributeNormal, platform::kNullHandle);
  };
  platform::Handle first = open();
  ASSERT_NE(first, platform::kInvalidHandleValue);
  EXPECT_EQ(host::OpenHandleCount(), 1);
  EXPECT_TRUE(platform::CloseHandle(first));
  EXPECT_FALSE(platform::CloseHandle(first));
  platform::Handle second = open();
  EXPECT_NE(second, first);
  char byte;
  std::uint32_t read = 99;
  EXPECT_FALSE(platform::ReadFile(first, &byte, 1, &read, nullptr));
  EXPECT_EQ(read, 0u);
  // Each kind of handle has its own closer.
  EXPECT_FALSE(platform::FindClose(second));
  EXPECT_NE(platform::RegCloseKey(static_cast<platform::HKey>(second)), platform::kErrorSuccess);
  EXPECT_TRUE(platform::CloseHandle(second));
  EXPECT_FALSE(platform::CloseHandle(platform::kInvalidHandleValue));
  EXPECT_EQ(host::OpenHandleCount(), 0);
}

// The device refuses to delete or replace a read-only file, but moves one
// (a rename needs no write access to the file); the host would let root
// delete it, so the backend checks the owner-write bit itself. These tests
// hold whether or not they run as root.
TEST_F(ReadOnly, ReadOnlyFilesMoveButAreNeitherDeletedNorReplaced) {
  device.Put("Temp/branding/logo.gif", "logo");
  device.Put("Windows/old.gif", "old");
  MakeReadOnly(device.staging() / "logo.gif");
  MakeReadOnly(device.fs() / "Windows" / "old.gif");
  ASSERT_TRUE(Open());
  EXPECT_FALSE(platform::DeleteFileW(u"\\Temp\\branding\\logo.gif"));
  EXPECT_FALSE(platform::MoveFileW(u"\\Temp\\branding\\logo.gif", u"\\Windows\\old.gif"));
  EXPECT_EQ(device.Get("Windows/old.gif"), "old");
  EXPECT_TRUE(platform::MoveFileW(u"\\Temp\\branding\\logo.gif", u"\\Windows\\logo.gif"));
  EXPECT_FALSE(device.Exists("Temp/branding/logo.gif"));
  EXPECT_EQ(device.Get("Windows/logo.gif"), "logo");
  EXPECT_EQ(List(u"\\Windows\\logo.gif"), (Listing{{"logo.gif", kReadOnly}}));
  EXPECT_FALSE(platform::DeleteFileW(u"\\Windows\\logo.gif"));

  EXPECT_TRUE(platform::SetFileAttributesW(u"\\Windows\\LOGO.GIF", kNormal));
  EXPECT_TRUE(OwnerWritable(device.fs() / "Windows" / "logo.gif"));
  EXPECT_EQ(List(u"\\Windows\\logo.gif"), (Listing{{"logo.gif", kNormal}}));
  EXPECT_TRUE(platform::DeleteFileW(u"\\Windows\\logo.gif"));
}

TEST_F(ReadOnly, SetFileAttributesTogglesTheOwnerWriteBitOnly) {
  device.Put("Windows/a.txt", "a");
  fs::permissions(device.fs() / "Windows" / "a.txt", fs::perms(0640));
  ASSERT_TRUE(Open());
  EXPECT_TRUE(platform::SetFileAttributesW(u"\\Windows\\a.txt", kReadOnly));
  EXPECT_EQ(fs::status(device.fs() / "Windows" / "a.txt").permissions(), fs::perms(0440));
  EXPECT_EQ(List(u"\\Windows\\a.txt"), (Listing{{"a.txt", kReadOnly}}));
  EXPECT_TRUE(platform::SetFileAttributesW(u"\\Windows\\a.txt", 0));  // no read-only bit: clears it
  EXPECT_EQ(fs::status(device.fs() / "Windows" / "a.txt").permissions(), fs::perms(0640));
  EXPECT_FALSE(platform::SetFileAttributesW(u"\\Windows\\missing.txt", kNormal));
  // A folder has no read-only attribute to change; the call succeeds.
  EXPECT_TRUE(platform::SetFileAttributesW(u"\\Temp\\branding", kNormal));
  EXPECT_EQ(List(u"\\Temp\\*"), (Listing{{"branding", kFolder}}));
}

TEST_F(Enumeration, SortedByNameWithoutRegardToCase) {
  for (const char* name : {"c.GIF", "b.gif", "a.gif", "A.gif", "Č.gif", "d.gif"}) {
    device.Put(std::string("Temp/branding/") + name, name);
  }
  ASSERT_TRUE(Open());
  // Names that fold alike keep a fixed order: the host's bytes decide.
  EXPECT_EQ(List(u"\\Temp\\branding\\*.gif"), (Listing{{"A.gif", kNormal},
                                                       {"a.gif", kNormal},
                                                       {"b.gif", kNormal},
                                                       {"c.GIF", kNormal},
                                                       {"d.gif", kNormal},
                                                       {"Č.gif", kNormal}}));
}

TEST_F(Enumeration, WildcardsMatchTheWholeName) {
  for (const char* name : {"a.gif", "a.gifx", "x.gif.txt", "B.GIF", "gif", "ab.gif", ".gif"}) {
    device.Put(std::string("Temp/branding/") + name, "x");
  }
  fs::create_directory(device.staging() / "pkg");
  ASSERT_TRUE(Open());
  auto names = [this](const char16_t* pattern) {
    std::vector<std::string> found;
    for (const auto& entry : List(pattern)) found.push_back(entry.first);
    return found;
  };
  using Names = std::vector<std::string>;
  EXPECT_EQ(names(u"\\Temp\\branding\\*.gif"), (Names{".gif", "a.gif", "ab.gif", "B.GIF"}));
  EXPECT_EQ(names(u"\\Temp\\branding\\?.gif"), (Names{"a.gif", "B.GIF"}));
  EXPECT_EQ(names(u"\\Temp\\branding\\?.GIF?"), (Names{"a.gifx"}));
  EXPECT_EQ(names(u"\\Temp\\branding\\a*"), (Names{"a.gif", "a.gifx", "ab.gif"}));
  EXPECT_EQ(names(u"\\Temp\\branding\\*gif*"),
            (Names{".gif", "a.gif", "a.gifx", "ab.gif", "B.GIF", "gif", "x.gif.txt"}));
  EXPECT_EQ(names(u"\\Temp\\branding\\GIF"), (Names{"gif"}));
  EXPECT_TRUE(names(u"\\Temp\\branding\\???.gif").empty());
  // As on Windows, *.* is every name, those without a dot too.
  EXPECT_EQ(names(u"\\Temp\\branding\\*.*"),
            (Names{".gif", "a.gif", "a.gifx", "ab.gif", "B.GIF", "gif", "pkg", "x.gif.txt"}));
  EXPECT_EQ(names(u"\\Temp\\branding\\*"), names(u"\\Temp\\branding\\*.*"));
  // So is any pattern ending in ".*": the name without an extension too.
  EXPECT_EQ(names(u"\\Temp\\branding\\gif.*"), (Names{"gif"}));
  EXPECT_EQ(names(u"\\Temp\\branding\\p*.*"), (Names{"pkg"}));
}

TEST_F(Enumeration, ReportsFoldersLinksAndReadOnlyFiles) {
  device.Put("Temp/branding/file", "x");
  device.Put("Temp/branding/locked", "x");
  MakeReadOnly(device.staging() / "locked");
  fs::create_directory(device.staging() / "folder");
  fs::create_directory_symlink(device.fs() / "Windows", device.staging() / "folderlink");
  fs::create_symlink("nowhere", device.staging() / "dangling");
  ASSERT_TRUE(Open());
  EXPECT_EQ(List(u"\\Temp\\branding\\*"), (Listing{{"dangling", kLink},
                                                   {"file", kNormal},
                                                   {"folder", kFolder},
                                                   {"folderlink", kLink},
                                                   {"locked", kReadOnly}}));
}

TEST_F(Enumeration, NothingToReportIsTheInvalidHandle) {
  fs::create_directory(device.staging() / "empty");
  ASSERT_TRUE(Open());
  platform::FindData data;
  EXPECT_EQ(platform::FindFirstFileW(u"\\Temp\\branding\\empty\\*", &data),
            platform::kInvalidHandleValue);
  EXPECT_EQ(platform::FindFirstFileW(u"\\Temp\\branding\\empty\\.*", &data),
            platform::kInvalidHandleValue);
  EXPECT_EQ(platform::FindFirstFileW(u"\\Temp\\missing\\*", &data), platform::kInvalidHandleValue);
  EXPECT_EQ(platform::FindFirstFileW(u"\\Temp\\branding\\*.gif", &data),
            platform::kInvalidHandleValue);
  EXPECT_EQ(host::OpenHandleCount(), 0);
}

// The clean-up deletes what it enumerates while enumerating.
TEST_F(Enumeration, EntriesCanBeRemovedWhileEnumerating) {
  for (int i = 0; i < 50; ++i) device.Put("Temp/branding/f" + std::to_string(i), "x");
  ASSERT_TRUE(Open());
  platform::FindData data;
  platform::Handle find = platform::FindFirstFileW(u"\\Temp\\branding\\*.*", &data);
  ASSERT_NE(find, platform::kInvalidHandleValue);
  int seen = 0;
  do {
    std::u16string path = u"\\Temp\\branding\\" + std::u16string(data.cFileName);
    EXPECT_TRUE(platform::DeleteFileW(path.c_str()));
    ++seen;
  } while (platform::FindNextFileW(find, &data));
  EXPECT_FALSE(platform::FindNextFileW(find, &data));
  EXPECT_TRUE(platform::FindClose(find));
  EXPECT_FALSE(platform::FindClose(find));
  EXPECT_EQ(seen, 50);
  EXPECT_TRUE(platform::RemoveDirectoryW(u"\\Temp\\branding"));
}

TEST_F(Moves, NeverReplaceAnExistingDestinationWhateverItsCase) {
  device.Put("Temp/branding/logo.gif", "new");
  device.Put("Windows/LOGO.GIF", "old");
  device.Put("Windows/same.gif", "same");
  device.Put("Temp/branding/same.gif", "staged");
  fs::create_directory(device.fs() / "Windows" / "Folder");
  ASSERT_TRUE(Open());
  EXPECT_FALSE(platform::MoveFileW(u"\\Temp\\branding\\logo.gif", u"\\Windows\\logo.gif"));
  EXPECT_FALSE(platform::MoveFileW(u"\\Temp\\branding\\same.gif", u"\\Windows\\same.gif"));
  EXPECT_FALSE(platform::MoveFileW(u"\\Temp\\branding\\logo.gif", u"\\windows\\folder"));
  EXPECT_EQ(device.Get("Temp/branding/logo.gif"), "new");
  EXPECT_EQ(device.Get("Windows/LOGO.GIF"), "old");
  EXPECT_EQ(device.Get("Windows/same.gif"), "same");
  EXPECT_FALSE(device.Exists("Windows/logo.gif"));
}

TEST_F(Moves, MoveIntoAnExistingFolderUnderTheNameGiven) {
  device.Put("Temp/branding/start.hp", "hp");
  device.Put("Temp/branding/a.gif", "a");
  fs::create_directory(device.staging() / "pkg");
  ASSERT_TRUE(Open());
  EXPECT_TRUE(platform::MoveFileW(u"\\TEMP\\BRANDING\\START.HP", u"\\WINDOWS\\Start.hp"));
  EXPECT_EQ(device.Get("Windows/Start.hp"), "hp");
  EXPECT_FALSE(device.Exists("Temp/branding/start.hp"));
  // A missing folder is not made; the source stays.
  EXPECT_FALSE(platform::MoveFileW(u"\\Temp\\branding\\a.gif", u"\\Windows\\Missing\\a.gif"));
  EXPECT_FALSE(platform::MoveFileW(u"\\Temp\\branding\\missing.gif", u"\\Windows\\m.gif"));
  // Names the device cannot hold are refused.
  for (const char16_t* bad :
       {u"\\Windows\\a<b.gif", u"\\Windows\\a>b", u"\\Windows\\a:b", u"\\Windows\\a\"b",
        u"\\Windows\\a|b", u"\\Windows\\a?b", u"\\Windows\\a*b", u"\\Windows\\a\tb"}) {
    EXPECT_FALSE(platform::MoveFileW(u"\\Temp\\branding\\a.gif", bad)) << S(bad);
  }
  EXPECT_EQ(device.Get("Temp/branding/a.gif"), "a");
  // Folders move too.
  EXPECT_TRUE(platform::MoveFileW(u"\\Temp\\branding\\pkg", u"\\Windows\\pkg"));
  EXPECT_TRUE(fs::is_directory(device.fs() / "Windows" / "pkg"));
}

// Case-insensitive existence checks must not scan the destination folder for
// every move: many files into one folder stay fast.
TEST_F(Moves, ManyFilesIntoOneFolderStayFast) {
  constexpr int kFiles = 20000;
  for (int i = 0; i < kFiles; ++i) {
    support::WriteBytes(device.staging() / ("f" + std::to_string(i) + ".gif"), "");
  }
  for (int i = 0; i < 100; ++i) {
    support::WriteBytes(device.fs() / "Windows" / ("F" + std::to_string(i) + ".GIF"), "");
  }
  ASSERT_TRUE(Open());
  // A scan of the folder per move takes many minutes here; the cache, a
  // second or two.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
  int moved = 0;
  for (int i = 0; i < kFiles; ++i) {
    std::u16string name = U("f" + std::to_string(i) + ".gif");
    std::u16string from = u"\\Temp\\branding\\" + name;
    std::u16string to = u"\\Windows\\" + name;
    moved += platform::MoveFileW(from.c_str(), to.c_str()) ? 1 : 0;
    if (i % 1000 == 999) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "after " << i + 1 << " moves";
    }
  }
  EXPECT_EQ(moved, kFiles - 100);  // f0..f99 are there as F0..F99
}

TEST_F(Folders, CreateOneLevelThatDoesNotExist) {
  ASSERT_TRUE(Open());
  EXPECT_TRUE(platform::CreateDirectoryW(u"\\Windows\\Start", nullptr));
  EXPECT_TRUE(fs::is_directory(device.fs() / "Windows" / "Start"));
  EXPECT_FALSE(platform::CreateDirectoryW(u"\\WINDOWS\\start", nullptr));
  EXPECT_FALSE(platform::CreateDirectoryW(u"\\Windows\\A\\B", nullptr));
  EXPECT_FALSE(fs::exists(device.fs() / "Windows" / "A"));
  EXPECT_FALSE(platform::CreateDirectoryW(u"\\Windows\\bad:name", nullptr));
  EXPECT_FALSE(platform::CreateDirectoryW(u"\\", nullptr));
  EXPECT_TRUE(platform::CreateDirectoryW(U("\\Windows\\Nabídka").c_str(), nullptr));
  EXPECT_TRUE(fs::is_directory(device.fs() / "Windows" / "Nabídka"));
}

TEST_F(Folders, RemoveOnlyEmptyRealFolders) {
  device.Put("Windows/full/x", "x");
  fs::create_directory(device.fs() / "Windows" / "empty");
  fs::create_directory(device.fs() / "Windows" / "target");
  fs::create_directory_symlink(device.fs() / "Windows" / "target",
                               device.fs() / "Windows" / "link");
  ASSERT_TRUE(Open());
  EXPECT_FALSE(platform::RemoveDirectoryW(u"\\Windows\\full"));
  EXPECT_FALSE(platform::RemoveDirectoryW(u"\\Windows\\full\\x"));
  EXPECT_FALSE(platform::RemoveDirectoryW(u"\\Windows\\link"));
  EXPECT_FALSE(platform::RemoveDirectoryW(u"\\Windows\\missing"));
  EXPECT_TRUE(platform::RemoveDirectoryW(u"\\WINDOWS\\EMPTY"));
  EXPECT_FALSE(fs::exists(device.fs() / "Windows" / "empty"));
  EXPECT_TRUE(fs::is_directory(device.fs() / "Windows" / "target"));
  EXPECT_TRUE(fs::is_symlink(device.fs() / "Windows" / "link"));
  // A folder made again after its removal is found again.
  EXPECT_TRUE(platform::CreateDirectoryW(u"\\Windows\\Empty", nullptr));
  EXPECT_FALSE(platform::CreateDirectoryW(u"\\Windows\\EMPTY", nullptr));
  EXPECT_FALSE(platform::DeleteFileW(u"\\Windows\\Empty"));  // not a file
}

TEST_F(PlacementRecord, EachLineOfTheInvalidHandleIsARecordEvent) {
  ASSERT_TRUE(Open());
  auto write = [](const std::u16string& text) {
    std::uint32_t written = 77;
    bool ok = platform::WriteFile(platform::kInvalidHandleValue, text.data(),
                                  static_cast<std::uint32_t>(text.size() * 2), &written, nullptr);
    EXPECT_EQ(written, 0u);
    return ok;
  };
  EXPECT_FALSE(write(u"\\Windows\\logo.gif"));  // fails, as on the device
  write(u"\r\n");
  write(u"---\r\n\\Windows\\Zna");
  // A code unit split across two writes.
  const char half[] = {'\x0D', '\x01'};  // U+010D č, low byte then high byte
  platform::WriteFile(platform::kInvalidHandleValue, half, 1, nullptr, nullptr);
  platform::WriteFile(platform::kInvalidHandleValue, half + 1, 1, nullptr, nullptr);
  write(u"ka.url\r\n");
  write(u"unfinished");
  EXPECT_EQ(Close(), "");
  std::vector<std::string> texts;
  for (const auto& event : Events("record")) {
    EXPECT_EQ(Fields(event), (std::set<std::string>{"event", "text"}));
    texts.push_back(event.at("text").text);
  }
  EXPECT_EQ(texts, (std::vector<std::string>{"\\Windows\\logo.gif", "---", "\\Windows\\Značka.url",
                                             "unfinished"}));
}

// A dry run's view answers every file operation as the image itself does:
// the same script of moves (out of the image, then on from where a move
// put a file), lookups in other cases, reads, attribute changes, deletions,
// folders made and removed, and listings of folders that hold the image's
// files, the view's and the moved ones, gives the same answers and journal
// on a dry run as on the real run after it; and the dry run leaves every
// file of the image as it was.
using DryRunView = HostTest;
TEST_F(DryRunView, AnswersEveryFileOperationAsTheImageDoes) {
  for (const char* path : {"Temp/branding/a.gif", "Temp/branding/B.GIF", "Temp/branding/d.txt",
                           "Temp/branding/sub/e.txt", "Windows/b.gif", "Windows/Favorites/z.url",
                           "Windows/keep.txt"}) {
    device.Put(path, path);
  }
  MakeReadOnly(device.fs() / "Windows/keep.txt");
  const std::vector<std::pair<const char*, std::u16string>> script = {
      {"move", u"\\Temp\\branding\\a.gif|\\Windows\\a.gif"},
      {"move", u"\\Temp\\branding\\B.GIF|\\Windows\\B.gif"},
      {"list", u"\\Windows\\*.*"},
      {"read", u"\\WINDOWS\\A.GIF"},
      {"move", u"\\Windows\\A.gif|\\Windows\\Favorites\\c.gif"},
      {"list", u"\\Windows\\Favorites\\*.gif"},
      {"readonly", u"\\Windows\\Favorites\\C.GIF"},
      {"delete", u"\\Windows\\Favorites\\c.gif"},
      {"list", u"\\Windows\\Favorites\\*.*"},
      {"normal", u"\\Windows\\Favorites\\c.gif"},
      {"delete", u"\\Windows\\Favorites\\c.gif"},
      {"read", u"\\Windows\\Favorites\\c.gif"},
      {"mkdir", u"\\Windows\\New"},
      {"move", u"\\Temp\\branding\\d.txt|\\Windows\\New\\d.txt"},
      {"rmdir", u"\\Windows\\New"},
      {"list", u"\\Windows\\New\\*.*"},
      {"delete", u"\\Windows\\New\\D.TXT"},
      {"rmdir", u"\\Windows\\New"},
      {"delete", u"\\Windows\\keep.txt"},
      {"normal", u"\\Windows\\keep.txt"},
      {"delete", u"\\Windows\\keep.txt"},
      {"rmdir", u"\\Temp\\branding"},
      {"delete", u"\\Temp\\branding\\sub\\e.txt"},
      {"rmdir", u"\\Temp\\branding\\sub"},
      {"list", u"\\Temp\\branding\\*.*"},
      {"rmdir", u"\\Temp\\branding"},
      {"list", u"\\Windows\\*.*"},
  };
  auto play = [&](bool dry_run) {
    config.dry_run = dry_run;
    std::vector<std::string> answers;
    EXPECT_TRUE(Open());
    for (const auto& [op, argument] : script) {
      std::u16string first = argument.substr(0, argument.find(u'|'));
      std::string answer = std::string(op) + " " + S(argument) + ": ";
      if (std::string(op) == "move") {
        std::u16string second = argument.substr(argument.find(u'|') + 1);
        answer += std::to_string(platform::MoveFileW(first.c_str(), second.c_str()));
      } else if (std::string(op) == "list") {
        for (const auto& [name, attributes] : List(first)) {
          answer += name + "(" + std::to_string(attributes) + ") ";
        }
      } else if (std::string(op) == "read") {
        std::string bytes;
        answer += ReadDeviceFile(first, &bytes) ? bytes : "cannot be read";
      } else if (std::string(op) == "readonly" || std::string(op) == "normal") {
        answer += std::to_string(platform::SetFileAttributesW(
            first.c_str(), std::string(op) == "normal" ? kNormal : kReadOnly));
      } else if (std::string(op) == "delete") {
        answer += std::to_string(platform::DeleteFileW(first.c_str()));
      } else if (std::string(op) == "mkdir") {
        answer += std::to_string(platform::CreateDirectoryW(first.c_str(), nullptr));
      } else {
        answer += std::to_string(platform::RemoveDirectoryW(first.c_str()));
      }
      answers.push_back(answer);
    }
    EXPECT_EQ(Close(), "");
    for (const simtest::JsonObject& event : Journal()) {
      std::string line;
      for (const auto& [field, value] : event) {
        if (field != "image" && field != "dry_run") line += field + "=" + value.text + " ";
      }
      answers.push_back(line);
    }
    return answers;
  };
  std::map<std::string, Snapshot> before;
  for (const auto& entry : fs::recursive_directory_iterator(device.fs())) {
    before[entry.path().string()] = Take(entry.path());
  }
  std::vector<std::string> dry = play(true);
  std::map<std::string, Snapshot> after;
  for (const auto& entry : fs::recursive_directory_iterator(device.fs())) {
    after[entry.path().string()] = Take(entry.path());
  }
  EXPECT_TRUE(after == before);
  std::vector<std::string> real = play(false);
  ASSERT_EQ(dry.size(), real.size());
  for (std::size_t i = 0; i < dry.size(); ++i) EXPECT_EQ(dry[i], real[i]);
}

}  // namespace
}  // namespace hosttest
