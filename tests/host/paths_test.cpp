// Device paths: found without regard to case, never leading out of fs/.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/host_fixture.h"

namespace hosttest {
namespace {

using Paths = HostTest;

TEST_F(Paths, FindsFilesWithoutRegardToCaseAndWithEitherSeparator) {
  device.Put("Temp/branding/Logo.GIF", "gif");
  device.Put("Windows/Favorites/Home.url", "url");
  ASSERT_TRUE(Open());
  std::string bytes;
  for (const char16_t* path :
       {u"\\Temp\\branding\\Logo.GIF", u"\\TEMP\\BRANDING\\logo.gif", u"/temp/Branding/LOGO.gif",
        u"\\\\Temp\\\\\\branding\\/logo.gif\\", u"Temp\\branding\\logo.GIF"}) {
    EXPECT_TRUE(ReadDeviceFile(path, &bytes)) << S(path);
    EXPECT_EQ(bytes, "gif") << S(path);
  }
  EXPECT_TRUE(ReadDeviceFile(u"\\windows\\FAVORITES\\home.URL", &bytes));
  EXPECT_EQ(bytes, "url");
  // Letters beyond ASCII fold too (the device's Latin-1 and Latin Extended-A).
  device.Put("Windows/Značka.txt", "cz");
  EXPECT_TRUE(ReadDeviceFile(U("\\Windows\\ZNAČKA.TXT"), &bytes));
  EXPECT_EQ(bytes, "cz");
}

TEST_F(Paths, ExactCaseWinsOverAnotherCaseOfTheSameName) {
  device.Put("Windows/a.txt", "lower");
  device.Put("Windows/A.TXT", "upper");
  ASSERT_TRUE(Open());
  std::string bytes;
  ASSERT_TRUE(ReadDeviceFile(u"\\Windows\\a.txt", &bytes));
  EXPECT_EQ(bytes, "lower");
  ASSERT_TRUE(ReadDeviceFile(u"\\Windows\\A.TXT", &bytes));
  EXPECT_EQ(bytes, "upper");
  // Neither case given exactly: the first name in byte order.
  ASSERT_TRUE(ReadDeviceFile(u"\\Windows\\A.txt", &bytes));
  EXPECT_EQ(bytes, "upper");
}

TEST_F(Paths, DotAndDotDotComponentsFailAsAMissingPathWould) {
  device.Put("Windows/x.txt", "x");
  device.Put("Temp/branding/a.gif", "a");
  ASSERT_TRUE(Open());
  std::string bytes;
  EXPECT_FALSE(ReadDeviceFile(u"\\Temp\\..\\Windows\\x.txt", &bytes));
  EXPECT_FALSE(ReadDeviceFile(u"\\Windows\\.\\x.txt", &bytes));
  EXPECT_FALSE(ReadDeviceFile(u"\\..\\fs\\Windows\\x.txt", &bytes));
  EXPECT_FALSE(platform::MoveFileW(u"\\Temp\\branding\\a.gif", u"\\Temp\\..\\..\\escaped.gif"));
  EXPECT_FALSE(platform::MoveFileW(u"\\Temp\\branding\\a.gif", u"\\Windows\\..\\a.gif"));
  EXPECT_FALSE(platform::CreateDirectoryW(u"\\Temp\\branding\\..\\..\\..\\made", nullptr));
  EXPECT_FALSE(platform::DeleteFileW(u"\\Temp\\branding\\..\\..\\Windows\\x.txt"));
  EXPECT_EQ(List(u"\\Temp\\..\\Windows\\*").size(), 0u);
  EXPECT_TRUE(device.Exists("Temp/branding/a.gif"));
  EXPECT_TRUE(device.Exists("Windows/x.txt"));
  EXPECT_FALSE(fs::exists(device.dir() / "escaped.gif"));
  EXPECT_FALSE(fs::exists(device.dir().parent_path() / "made"));
}

// A folder and a file inside fs/ that are links to the outside: every
// operation through them fails, and the outside is left exactly as it was.
TEST_F(Paths, LinksNeverLeadOutOfTheDevice) {
  fs::path outside = scratch.path() / "outside";
  fs::create_directories(outside / "sub");
  support::WriteBytes(outside / "secret.txt", "secret");
  support::WriteBytes(outside / "sub" / "deep.txt", "deep");
  const Snapshot secret = Take(outside / "secret.txt");
  const Snapshot deep = Take(outside / "sub" / "deep.txt");
  const Snapshot folder = Take(outside);
  fs::create_directory_symlink(outside, device.staging() / "Link");
  fs::create_symlink(outside / "secret.txt", device.staging() / "brand.ini");
  fs::create_directory_symlink(outside, device.fs() / "Windows" / "Escape");
  device.Put("Temp/branding/a.gif", "a");
  ASSERT_TRUE(Open());

  std::string bytes;
  EXPECT_FALSE(ReadDeviceFile(u"\\Temp\\branding\\Link\\secret.txt", &bytes));
  EXPECT_FALSE(ReadDeviceFile(u"\\Temp\\branding\\link\\SECRET.TXT", &bytes));
  EXPECT_FALSE(ReadDeviceFile(u"\\Temp\\branding\\brand.ini", &bytes));
  EXPECT_FALSE(ReadDeviceFile(u"\\Windows\\Escape\\sub\\deep.txt", &bytes));
  EXPECT_TRUE(List(u"\\Temp\\branding\\Link\\*").empty());
  EXPECT_FALSE(platform::MoveFileW(u"\\Temp\\branding\\a.gif", u"\\Temp\\branding\\Link\\a.gif"));
  EXPECT_FALSE(platform::MoveFileW(u"\\Temp\\branding\\Link\\secret.txt", u"\\Windows\\s.txt"));
  EXPECT_FALSE(platform::MoveFileW(u"\\Temp\\branding\\brand.ini", u"\\Windows\\brand.ini"));
  EXPECT_FALSE(platform::MoveFileW(u"\\Temp\\branding\\Link", u"\\Windows\\Moved"));
  EXPECT_FALSE(platform::DeleteFileW(u"\\Temp\\branding\\Link\\secret.txt"));
  EXPECT_FALSE(platform::DeleteFileW(u"\\Windows\\Escape\\sub\\deep.txt"));
  EXPECT_FALSE(platform::SetFileAttributesW(u"\\Temp\\branding\\brand.ini",
                                            platform::kFileAttributeReadonly));
  EXPECT_FALSE(platform::SetFileAttributesW(u"\\Temp\\branding\\Link\\secret.txt",
                                            platform::kFileAttributeReadonly));
  EXPECT_FALSE(platform::CreateDirectoryW(u"\\Temp\\branding\\Link\\made", nullptr));
  EXPECT_FALSE(platform::RemoveDirectoryW(u"\\Windows\\Escape\\sub"));
  EXPECT_FALSE(platform::RemoveDirectoryW(u"\\Temp\\branding\\Link"));
  platform::ProcessInformation info;
  EXPECT_FALSE(platform::CreateProcessW(u"\\Temp\\branding\\brand.ini", nullptr, nullptr, nullptr,
                                        false, 0, nullptr, nullptr, nullptr, &info));

  // Deleting a link removes the link itself, never what it points to.
  EXPECT_TRUE(platform::DeleteFileW(u"\\Temp\\branding\\LINK"));
  EXPECT_TRUE(platform::DeleteFileW(u"\\Temp\\branding\\brand.ini"));
  EXPECT_FALSE(device.Exists("Temp/branding/Link"));
  EXPECT_FALSE(device.Exists("Temp/branding/brand.ini"));
  EXPECT_EQ(Close(), "");

  EXPECT_TRUE(Take(outside / "secret.txt") == secret);
  EXPECT_TRUE(Take(outside / "sub" / "deep.txt") == deep);
  EXPECT_TRUE(Take(outside) == folder);
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(outside)) {
    names.insert(entry.path().filename().string());
  }
  EXPECT_EQ(names, (std::set<std::string>{"secret.txt", "sub"}));
}

TEST_F(Paths, AFileUsedAsAFolderIsAMissingPath) {
  device.Put("Windows/file", "f");
  ASSERT_TRUE(Open());
  std::string bytes;
  EXPECT_FALSE(ReadDeviceFile(u"\\Windows\\file\\x", &bytes));
  EXPECT_FALSE(platform::CreateDirectoryW(u"\\Windows\\file\\x", nullptr));
  EXPECT_TRUE(List(u"\\Windows\\file\\*").empty());
  EXPECT_FALSE(ReadDeviceFile(u"\\", &bytes));
  EXPECT_FALSE(ReadDeviceFile(u"", &bytes));
  EXPECT_FALSE(ReadDeviceFile(u"\\Windows", &bytes));  // a folder is not a file
}

// The case-folding cache must follow the program's own changes and notice
// someone else's.
TEST_F(Paths, CaseLookupsFollowChangesToTheFolder) {
  device.Put("Temp/branding/a.gif", "a");
  device.Put("Temp/branding/b.gif", "b");
  ASSERT_TRUE(Open());
  EXPECT_TRUE(platform::MoveFileW(u"\\Temp\\branding\\a.gif", u"\\Windows\\x.gif"));
  EXPECT_FALSE(platform::MoveFileW(u"\\Temp\\branding\\b.gif", u"\\Windows\\X.GIF"));
  EXPECT_TRUE(platform::DeleteFileW(u"\\WINDOWS\\X.gif"));
  EXPECT_TRUE(platform::MoveFileW(u"\\Temp\\branding\\b.gif", u"\\Windows\\X.GIF"));
  EXPECT_EQ(device.Get("Windows/X.GIF"), "b");

  // Another process adds a name; the folder's new modification time shows it.
  device.Put("Windows/Other.GIF", "other");
  struct timespec times[2] = {{0, UTIME_OMIT}, {123456789, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (device.fs() / "Windows").c_str(), times, 0), 0);
  device.Put("Temp/branding/c.gif", "c");
  EXPECT_FALSE(platform::MoveFileW(u"\\Temp\\branding\\c.gif", u"\\Windows\\other.gif"));
  EXPECT_EQ(device.Get("Windows/Other.GIF"), "other");
  std::string bytes;
  EXPECT_TRUE(ReadDeviceFile(u"\\windows\\OTHER.gif", &bytes));
}

}  // namespace
}  // namespace hosttest
