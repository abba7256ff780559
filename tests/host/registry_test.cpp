// Registry calls over the store: handles, roots, values, deletion, flushing.

#include <cstring>

#include "host/host_fixture.h"

namespace hosttest {
namespace {

using platform::HKey;
using platform::kErrorFileNotFound;
using platform::kErrorInvalidHandle;
using platform::kErrorInvalidParameter;
using platform::kErrorMoreData;
using platform::kErrorSuccess;
using platform::kHkeyClassesRoot;
using platform::kHkeyCurrentUser;
using platform::kHkeyLocalMachine;

using Registry = HostTest;

HKey Create(HKey parent, const char16_t* path, std::uint32_t* disposition = nullptr) {
  HKey key = platform::kNullKey;
  std::int32_t rc =
      platform::RegCreateKeyExW(parent, path, 0, nullptr, 0, 0, nullptr, &key, disposition);
  EXPECT_EQ(rc, kErrorSuccess) << S(path);
  return key;
}

std::int32_t OpenKey(HKey parent, const char16_t* path, HKey* key) {
  return platform::RegOpenKeyExW(parent, path, 0, 0, key);
}

std::int32_t SetText(HKey key, const char16_t* name, const std::u16string& text) {
  return platform::RegSetValueExW(key, name, 0, platform::kRegSz,
                                  reinterpret_cast<const std::uint8_t*>(text.c_str()),
                                  static_cast<std::uint32_t>((text.size() + 1) * 2));
}

std::int32_t SetDword(HKey key, const char16_t* name, std::uint32_t value) {
  std::uint8_t bytes[4];
  std::memcpy(bytes, &value, 4);
  return platform::RegSetValueExW(key, name, 0, platform::kRegDword, bytes, 4);
}

// A name holding a line break could never be written to registry.reg: the
// device refuses to make it (invalid name), and everything else of the run
// is written at the end, where taking it would lose them all.
TEST_F(Registry, NamesTheRegistryFileCannotHoldAreRefusedWhenMade) {
  ASSERT_TRUE(Open());
  HKey bad = platform::kNullKey;
  for (const char16_t* name : {u"Bad\rKey", u"A\\Bad\nKey"}) {
    EXPECT_EQ(platform::RegCreateKeyExW(kHkeyLocalMachine, name, 0, nullptr, 0, 0, nullptr, &bad,
                                        nullptr),
              123);
  }
  HKey key = Create(kHkeyLocalMachine, u"Software\\Odd");
  EXPECT_EQ(SetDword(key, u"A\rB", 1), 123);
  EXPECT_EQ(SetDword(key, u"Fine", 2), kErrorSuccess);
  EXPECT_EQ(platform::RegCloseKey(key), kErrorSuccess);
  EXPECT_EQ(Close(), "");
  EXPECT_NE(device.Registry().find("\"Fine\"=dword:00000002"), std::string::npos)
      << device.Registry();
  EXPECT_EQ(device.Registry().find("Bad"), std::string::npos) << device.Registry();
  int refused = 0;
  for (const simtest::JsonObject& e : Journal()) {
    auto reason = e.find("reason");
    if (reason != e.end() && reason->second.text == "invalid name") ++refused;
  }
  EXPECT_EQ(refused, 3);
}

TEST_F(Registry, CreateMakesEveryMissingKeyAndOpenFindsItInAnyCase) {
  ASSERT_TRUE(Open());
  std::uint32_t disposition = 0;
  HKey b = Create(kHkeyLocalMachine, u"Software\\Brand\\Inner", &disposition);
  EXPECT_EQ(disposition, 1u);  // created
  HKey again = Create(kHkeyLocalMachine, u"SOFTWARE\\brand\\INNER", &disposition);
  EXPECT_EQ(disposition, 2u);  // opened
  EXPECT_NE(again, b);
  HKey opened;
  EXPECT_EQ(OpenKey(kHkeyLocalMachine, u"software\\BRAND", &opened), kErrorSuccess);
  HKey missing = static_cast<HKey>(123);
  EXPECT_EQ(OpenKey(kHkeyLocalMachine, u"Software\\Other", &missing), kErrorFileNotFound);
  EXPECT_EQ(missing, platform::kNullKey);
  EXPECT_EQ(OpenKey(kHkeyCurrentUser, u"Software\\Brand", &missing), kErrorFileNotFound);
  // Relative to an open key.
  HKey inner;
  EXPECT_EQ(OpenKey(opened, u"inner", &inner), kErrorSuccess);
  EXPECT_EQ(SetText(inner, u"Name", u"value"), kErrorSuccess);
  EXPECT_EQ(host::OpenHandleCount(), 4);
  for (HKey key : {b, again, opened, inner}) EXPECT_EQ(platform::RegCloseKey(key), kErrorSuccess);
  EXPECT_EQ(Close(), "");
  // Names keep the case they were created with.
  EXPECT_NE(device.Registry().find("[HKEY_LOCAL_MACHINE\\Software\\Brand\\Inner]\r\n"
                                   "\"Name\"=\"value\""),
            std::string::npos)
      << device.Registry();
}

TEST_F(Registry, AnEmptySubkeyOpensTheKeyItselfAsANewHandle) {
  device.SetRegistry(
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_CLASSES_ROOT\\CLSID\\{F15D7471-D623-11d2-BE64-008048FD5745}]\r\n\r\n");
  ASSERT_TRUE(Open());
  HKey gate;
  ASSERT_EQ(OpenKey(kHkeyClassesRoot, u"CLSID\\{f15d7471-d623-11D2-be64-008048fd5745}", &gate),
            kErrorSuccess);
  HKey self1, self2, root;
  EXPECT_EQ(OpenKey(gate, nullptr, &self1), kErrorSuccess);
  EXPECT_EQ(OpenKey(gate, u"", &self2), kErrorSuccess);
  EXPECT_EQ(OpenKey(kHkeyLocalMachine, u"", &root), kErrorSuccess);
  EXPECT_NE(self1, gate);
  EXPECT_NE(self1, self2);
  EXPECT_EQ(host::OpenHandleCount(), 4);
  // Closing one handle leaves the others working.
  EXPECT_EQ(platform::RegCloseKey(gate), kErrorSuccess);
  EXPECT_EQ(platform::RegCloseKey(gate), kErrorInvalidHandle);
  EXPECT_EQ(SetDword(self1, u"x", 1), kErrorSuccess);
  for (HKey key : {self1, self2, root}) EXPECT_EQ(platform::RegCloseKey(key), kErrorSuccess);
  // Roots are no handles: closing one changes nothing.
  EXPECT_EQ(platform::RegCloseKey(kHkeyLocalMachine), kErrorSuccess);
  EXPECT_EQ(host::OpenHandleCount(), 0);
  EXPECT_EQ(platform::RegCloseKey(static_cast<HKey>(0x1234)), kErrorInvalidHandle);
  EXPECT_EQ(SetDword(static_cast<HKey>(0x1234), u"x", 1), kErrorInvalidHandle);
}

// As the real API: a subkey path that begins with a backslash is refused
// from every root, opened or created, and nothing is made; found by the
// differential runs (a script header "[HKEY_LOCAL_MACHINE\\Software\X]").
TEST_F(Registry, ASubkeyPathBeginningWithABackslashIsRefused) {
  device.SetRegistry(
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Old]\r\n\r\n"
      "[HKEY_CLASSES_ROOT\\Class]\r\n\r\n");
  ASSERT_TRUE(Open());
  constexpr std::int32_t kErrorBadPathname = 161;
  for (HKey root : {kHkeyLocalMachine, kHkeyCurrentUser, kHkeyClassesRoot}) {
    HKey key = static_cast<HKey>(123);
    EXPECT_EQ(platform::RegCreateKeyExW(root, u"\\Software\\New", 0, nullptr, 0, 0, nullptr, &key,
                                        nullptr),
              kErrorBadPathname);
    EXPECT_EQ(key, platform::kNullKey);
  }
  HKey key;
  EXPECT_EQ(OpenKey(kHkeyLocalMachine, u"\\Software\\Old", &key), kErrorBadPathname);
  EXPECT_EQ(OpenKey(kHkeyClassesRoot, u"\\Class", &key), kErrorBadPathname);
  EXPECT_EQ(host::OpenHandleCount(), 0);
  EXPECT_EQ(Close(), "");
  EXPECT_EQ(device.Registry().find("New"), std::string::npos) << device.Registry();
}

TEST_F(Registry, QueryReportsSizeAndLeavesASmallBufferUntouched) {
  ASSERT_TRUE(Open());
  HKey key = Create(kHkeyCurrentUser, u"Software\\Microsoft\\Today");
  ASSERT_EQ(SetText(key, u"Skin", u"\\Windows\\blue.tsk"), kErrorSuccess);
  const std::uint32_t needed = (17 + 1) * 2;

  std::uint32_t type = 0, size = 0;
  EXPECT_EQ(platform::RegQueryValueExW(key, u"SKIN", nullptr, &type, nullptr, &size),
            kErrorSuccess);
  EXPECT_EQ(type, platform::kRegSz);
  EXPECT_EQ(size, needed);

  std::uint8_t small[8];
  std::memset(small, 0xAA, sizeof small);
  size = sizeof small;
  type = 0;
  EXPECT_EQ(platform::RegQueryValueExW(key, u"Skin", nullptr, &type, small, &size), kErrorMoreData);
  EXPECT_EQ(size, needed);
  EXPECT_EQ(type, platform::kRegSz);
  for (std::uint8_t b : small) EXPECT_EQ(b, 0xAA);

  std::uint8_t exact[needed];
  size = needed;
  EXPECT_EQ(platform::RegQueryValueExW(key, u"skin", nullptr, nullptr, exact, &size),
            kErrorSuccess);
  EXPECT_EQ(size, needed);
  EXPECT_EQ(S(reinterpret_cast<const char16_t*>(exact)), "\\Windows\\blue.tsk");

  size = sizeof small;
  EXPECT_EQ(platform::RegQueryValueExW(key, u"Missing", nullptr, &type, small, &size),
            kErrorFileNotFound);
  EXPECT_EQ(platform::RegQueryValueExW(key, u"Skin", nullptr, &type, small, nullptr),
            kErrorInvalidParameter);
  // The default value: a null name and an empty one are the same.
  ASSERT_EQ(SetDword(key, nullptr, 42), kErrorSuccess);
  std::uint32_t value = 0;
  size = 4;
  EXPECT_EQ(platform::RegQueryValueExW(key, u"", nullptr, &type,
                                       reinterpret_cast<std::uint8_t*>(&value), &size),
            kErrorSuccess);
  EXPECT_EQ(type, platform::kRegDword);
  EXPECT_EQ(value, 42u);
  EXPECT_EQ(platform::RegCloseKey(key), kErrorSuccess);
}

TEST_F(Registry, ValueNamesIgnoreCaseAndKeepTheirFirstCase) {
  ASSERT_TRUE(Open());
  HKey key = Create(kHkeyLocalMachine, u"Software\\A");
  EXPECT_EQ(SetDword(key, u"MyValue", 1), kErrorSuccess);
  EXPECT_EQ(SetDword(key, u"MYVALUE", 2), kErrorSuccess);
  std::uint32_t value = 0, size = 4;
  EXPECT_EQ(platform::RegQueryValueExW(key, u"myvalue", nullptr, nullptr,
                                       reinterpret_cast<std::uint8_t*>(&value), &size),
            kErrorSuccess);
  EXPECT_EQ(value, 2u);
  EXPECT_EQ(platform::RegDeleteValueW(key, u"MyVALUE"), kErrorSuccess);
  EXPECT_EQ(platform::RegDeleteValueW(key, u"MyValue"), kErrorFileNotFound);
  EXPECT_EQ(SetDword(key, u"MyValue", 3), kErrorSuccess);
  EXPECT_EQ(platform::RegCloseKey(key), kErrorSuccess);
  EXPECT_EQ(Close(), "");
  EXPECT_NE(device.Registry().find("\"MyValue\"=dword:00000003"), std::string::npos);
}

TEST_F(Registry, DeletingAKeyRemovesEverythingBelowIt) {
  ASSERT_TRUE(Open());
  HKey deep = Create(kHkeyLocalMachine, u"Software\\Old\\Inner\\Deep");
  EXPECT_EQ(SetDword(deep, u"v", 1), kErrorSuccess);
  HKey keep = Create(kHkeyLocalMachine, u"Software\\Keep");
  HKey software;
  ASSERT_EQ(OpenKey(kHkeyLocalMachine, u"Software", &software), kErrorSuccess);

  EXPECT_EQ(platform::RegDeleteKeyW(software, u"OLD"), kErrorSuccess);
  HKey gone;
  EXPECT_EQ(OpenKey(kHkeyLocalMachine, u"Software\\Old\\Inner\\Deep", &gone), kErrorFileNotFound);
  EXPECT_EQ(OpenKey(kHkeyLocalMachine, u"Software\\Old", &gone), kErrorFileNotFound);
  EXPECT_EQ(platform::RegDeleteKeyW(software, u"Old"), kErrorFileNotFound);

  // A handle on a removed key stays open but refuses everything else.
  std::uint32_t size = 0;
  EXPECT_EQ(SetDword(deep, u"v", 2), kErrorInvalidHandle);
  EXPECT_EQ(platform::RegQueryValueExW(deep, u"v", nullptr, nullptr, nullptr, &size),
            kErrorInvalidHandle);
  EXPECT_EQ(OpenKey(deep, u"", &gone), kErrorInvalidHandle);
  HKey child;
  EXPECT_EQ(platform::RegCreateKeyExW(deep, u"Child", 0, nullptr, 0, 0, nullptr, &child, nullptr),
            kErrorInvalidHandle);
  EXPECT_EQ(platform::RegDeleteValueW(deep, u"v"), kErrorInvalidHandle);
  EXPECT_EQ(platform::RegFlushKey(deep), kErrorInvalidHandle);
  EXPECT_EQ(platform::RegCloseKey(deep), kErrorSuccess);

  // A path below the parent works; an empty one would name the parent itself.
  Create(kHkeyLocalMachine, u"Software\\Keep\\A\\B");
  EXPECT_EQ(platform::RegDeleteKeyW(kHkeyLocalMachine, u"Software\\Keep\\A"), kErrorSuccess);
  EXPECT_EQ(platform::RegDeleteKeyW(keep, u""), kErrorInvalidParameter);
  EXPECT_EQ(platform::RegDeleteKeyW(kHkeyLocalMachine, nullptr), kErrorInvalidParameter);
  EXPECT_EQ(platform::RegDeleteKeyW(kHkeyLocalMachine, u"\\"), kErrorInvalidParameter);
  EXPECT_EQ(OpenKey(keep, u"", &gone), kErrorSuccess);
  EXPECT_EQ(platform::RegCloseKey(gone), kErrorSuccess);
  EXPECT_EQ(platform::RegCloseKey(keep), kErrorSuccess);
  EXPECT_EQ(platform::RegCloseKey(software), kErrorSuccess);
  EXPECT_EQ(host::OpenHandleCount(), 1);  // the key made by the second Create
  EXPECT_EQ(Close(), "");
  std::string text = device.Registry();
  EXPECT_EQ(text.find("Old"), std::string::npos) << text;
  EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\Software\\Keep]"), std::string::npos) << text;
  EXPECT_EQ(text.find("Keep\\A"), std::string::npos) << text;
}

TEST_F(Registry, LoadsRegistryRegAndFlushWritesItAtOnce) {
  device.SetRegistry(
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps]\r\n"
      "\"CABInst\"=dword:00000001\r\n\r\n");
  ASSERT_TRUE(Open());
  HKey apps;
  ASSERT_EQ(OpenKey(kHkeyLocalMachine, u"Software\\Apps", &apps), kErrorSuccess);
  std::uint32_t value = 0, size = 4, type = 0;
  EXPECT_EQ(platform::RegQueryValueExW(apps, u"CABInst", nullptr, &type,
                                       reinterpret_cast<std::uint8_t*>(&value), &size),
            kErrorSuccess);
  EXPECT_EQ(value, 1u);
  EXPECT_EQ(platform::RegDeleteValueW(apps, u"CABInst"), kErrorSuccess);
  EXPECT_EQ(platform::RegCloseKey(apps), kErrorSuccess);
  EXPECT_NE(device.Registry().find("CABInst"), std::string::npos);
  EXPECT_EQ(platform::RegFlushKey(kHkeyLocalMachine), kErrorSuccess);
  std::string flushed = device.Registry();
  EXPECT_EQ(flushed.find("CABInst"), std::string::npos) << flushed;
  EXPECT_NE(flushed.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps]"), std::string::npos) << flushed;
  EXPECT_EQ(platform::RegFlushKey(static_cast<HKey>(0x4321)), kErrorInvalidHandle);
}

}  // namespace
}  // namespace hosttest
