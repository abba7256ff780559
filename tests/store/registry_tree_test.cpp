// The registry tree in memory: names that ignore case but keep it, paths,
// removal while handles still hold keys.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/host/registry_store.h"
#include "support/support.h"

namespace {

using host::RegistryStore;
using support::ToUtf8;

std::string Path(const RegistryStore& store, const std::shared_ptr<host::RegKey>& key) {
  return ToUtf8(store.FullPath(key.get()));
}

std::vector<std::uint8_t> Bytes(std::initializer_list<int> list) {
  std::vector<std::uint8_t> out;
  for (int b : list) out.push_back(static_cast<std::uint8_t>(b));
  return out;
}

TEST(RegistryTree, FoldCaseCoversTheDeviceLetters) {
  EXPECT_EQ(host::FoldName(u"ABC xyz 09"), u"abc xyz 09");
  // Latin-1 capitals fold, the multiplication sign between them does not.
  EXPECT_EQ(host::FoldName(u"\u00C0\u00C9\u00D6\u00D7\u00D8\u00DE"),
            u"\u00E0\u00E9\u00F6\u00D7\u00F8\u00FE");
  // Latin Extended-A: the Czech and Polish letters code page 1250 carries.
  EXPECT_EQ(host::FoldName(u"\u017DLU\u0164OU\u010CK\u00DD \u0141\u00D3D\u0179"),
            u"\u017Elu\u0165ou\u010Dk\u00FD \u0142\u00F3d\u017A");
  // Nothing outside those blocks changes (Greek, CJK, surrogates).
  EXPECT_EQ(host::FoldName(u"\u0391\u4E2D\xD83D\xDE00"), u"\u0391\u4E2D\xD83D\xDE00");
}

TEST(RegistryTree, CreateMakesTheWholePathAndReportsTheLastKey) {
  RegistryStore store;
  auto hklm = store.root(RegistryStore::kLocalMachine);
  bool created = false;
  auto c = store.Create(hklm, u"Software\\Vendor\\App", &created);
  ASSERT_TRUE(c);
  EXPECT_TRUE(created);
  EXPECT_EQ(Path(store, c), "HKEY_LOCAL_MACHINE\\Software\\Vendor\\App");
  EXPECT_EQ(std::u16string(RegistryStore::RootName(RegistryStore::kClassesRoot)),
            u"HKEY_CLASSES_ROOT");

  // The same path in another case opens the same key, which keeps its case.
  auto again = store.Create(hklm, u"SOFTWARE\\vendor\\APP", &created);
  EXPECT_FALSE(created);
  EXPECT_EQ(again, c);
  EXPECT_EQ(Path(store, again), "HKEY_LOCAL_MACHINE\\Software\\Vendor\\App");

  // Only the last key counts for `created`.
  store.Create(hklm, u"software\\Vendor\\Other", &created);
  EXPECT_TRUE(created);
  EXPECT_EQ(store.Subkeys(hklm.get()).size(), 1u);
  EXPECT_EQ(store.Subkeys(store.Find(hklm, u"Software\\Vendor").get()).size(), 2u);

  // A null `created` is allowed.
  EXPECT_TRUE(store.Create(hklm, u"Software\\X", nullptr));
}

TEST(RegistryTree, EmptyComponentsAreIgnored) {
  RegistryStore store;
  auto hkcu = store.root(RegistryStore::kCurrentUser);
  bool created = true;
  EXPECT_EQ(store.Create(hkcu, u"", &created), hkcu);
  EXPECT_FALSE(created);
  auto key = store.Create(hkcu, u"\\\\A\\\\B\\", &created);
  EXPECT_TRUE(created);
  EXPECT_EQ(Path(store, key), "HKEY_CURRENT_USER\\A\\B");
  EXPECT_EQ(store.Find(hkcu, u"a\\b"), key);
  EXPECT_EQ(store.Find(hkcu, u"\\a\\\\b\\"), key);
  EXPECT_EQ(store.Find(key, u""), key);
  EXPECT_EQ(store.Find(hkcu, u"a\\c"), nullptr);
  EXPECT_EQ(store.Find(hkcu, u"a\\b\\c"), nullptr);
}

TEST(RegistryTree, NamesFoldBeyondAscii) {
  RegistryStore store;
  auto hklm = store.root(RegistryStore::kLocalMachine);
  auto key = store.Create(hklm, u"\u017Dlu\u0165ou\u010Dk\u00FD", nullptr);
  EXPECT_EQ(store.Find(hklm, u"\u017DLU\u0164OU\u010CK\u00DD"), key);
  // U+00D7 and U+00F7 are not a case pair.
  store.Create(hklm, u"a\u00D7", nullptr);
  EXPECT_EQ(store.Find(hklm, u"A\u00F7"), nullptr);
}

TEST(RegistryTree, ValuesIgnoreCaseAndKeepTheFirstName) {
  RegistryStore store;
  auto key = store.Create(store.root(RegistryStore::kLocalMachine), u"K", nullptr);
  const std::uint8_t one[] = {1, 0, 0, 0};
  store.SetValue(key.get(), u"Mode", 4, one, sizeof one);
  const std::uint8_t text[] = {'x', 0, 0, 0};
  store.SetValue(key.get(), u"MODE", 1, text, sizeof text);
  ASSERT_EQ(store.Values(key.get()).size(), 1u);
  std::optional<host::RegValue> v = store.GetValue(key.get(), u"mode");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->name, u"Mode");
  EXPECT_EQ(v->type, 1u);
  EXPECT_EQ(v->data, Bytes({'x', 0, 0, 0}));

  // The default value has the empty name; empty data is kept as empty.
  store.SetValue(key.get(), u"", 3, nullptr, 0);
  ASSERT_TRUE(store.GetValue(key.get(), u""));
  EXPECT_TRUE(store.GetValue(key.get(), u"")->data.empty());

  EXPECT_TRUE(store.DeleteValue(key.get(), u"MoDe"));
  EXPECT_FALSE(store.DeleteValue(key.get(), u"mode"));
  EXPECT_FALSE(store.GetValue(key.get(), u"Mode"));
}

TEST(RegistryTree, DeletingAKeyRemovesEverythingBelowIt) {
  RegistryStore store;
  auto hklm = store.root(RegistryStore::kLocalMachine);
  auto a = store.Create(hklm, u"A", nullptr);
  auto b = store.Create(hklm, u"A\\B", nullptr);
  auto c = store.Create(hklm, u"A\\B\\C", nullptr);
  auto sibling = store.Create(hklm, u"A2", nullptr);
  const std::uint8_t byte = 7;
  store.SetValue(c.get(), u"v", 3, &byte, 1);

  EXPECT_FALSE(store.DeleteSubkey(hklm.get(), u"missing"));
  EXPECT_FALSE(store.DeleteSubkey(hklm.get(), u""));
  EXPECT_TRUE(store.DeleteSubkey(a.get(), u"b"));
  EXPECT_TRUE(store.Deleted(b.get()));
  EXPECT_TRUE(store.Deleted(c.get()));
  EXPECT_FALSE(store.Deleted(a.get()));
  EXPECT_FALSE(store.Deleted(sibling.get()));
  EXPECT_EQ(store.Find(hklm, u"A\\B"), nullptr);
  EXPECT_TRUE(store.Subkeys(a.get()).empty());

  // Nothing can be added below a removed key, even through an old handle.
  bool created = true;
  EXPECT_EQ(store.Create(c, u"D", &created), nullptr);
  EXPECT_FALSE(created);
  EXPECT_EQ(store.Create(b, u"", nullptr), nullptr);
  store.SetValue(c.get(), u"w", 3, &byte, 1);
  EXPECT_FALSE(store.GetValue(c.get(), u"w"));
  EXPECT_FALSE(store.DeleteSubkey(b.get(), u"C"));

  // The same name can be created again, as a new key.
  auto b2 = store.Create(hklm, u"A\\B", &created);
  EXPECT_TRUE(created);
  EXPECT_NE(b2, b);
  EXPECT_FALSE(store.Deleted(b2.get()));
}

TEST(RegistryTree, RemovedKeysKeepTheirPathWhileHeld) {
  RegistryStore store;
  auto hkcu = store.root(RegistryStore::kCurrentUser);
  auto deep = store.Create(hkcu, u"Top\\Mid\\Leaf", nullptr);
  std::weak_ptr<host::RegKey> mid = store.Find(hkcu, u"Top\\Mid");
  // Remove the top: only `deep` is still held. Its ancestors must stay
  // valid for as long as it is, and go with it.
  ASSERT_TRUE(store.DeleteSubkey(hkcu.get(), u"TOP"));
  EXPECT_FALSE(mid.expired());
  EXPECT_EQ(Path(store, deep), "HKEY_CURRENT_USER\\Top\\Mid\\Leaf");
  deep.reset();
  EXPECT_TRUE(mid.expired());

  // A key removed in two steps: the middle first, then its old parent.
  auto leaf = store.Create(hkcu, u"P\\Q\\R", nullptr);
  auto p = store.Find(hkcu, u"P");
  ASSERT_TRUE(store.DeleteSubkey(p.get(), u"Q"));
  ASSERT_TRUE(store.DeleteSubkey(hkcu.get(), u"P"));
  p.reset();
  EXPECT_EQ(Path(store, leaf), "HKEY_CURRENT_USER\\P\\Q\\R");
}

}  // namespace
