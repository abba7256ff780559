// The registry's roots, once. Each part of the program names a root its own
// way: a script header and the key removal list by its full name, the
// platform by its predefined handle, the script reader by a ScriptRoot, a
// package's manifest by a number, mkcepkg and the linter's hints by the short
// name. Every translation between them reads this table, so that no two
// parts can disagree about which root is which.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "registry/script.h"

struct RegistryRoot {
  const char16_t* name;        // HKEY_LOCAL_MACHINE: scripts, key list, registry.reg, journal
  std::size_t name_length;     // code units of `name`
  const char16_t* short_name;  // HKLM
  platform::HKey key;          // kNullKey: the device has no such root
  ScriptRoot script;           // kRootUnknown: the device has no such root
  std::uint16_t manifest;      // the root's number in a package's manifest
};

// The device's three roots first, in the order registry.reg lists them (the
// host store's Root numbers are their places here); then HKEY_USERS, which
// only a package's manifest can name and the device refuses.
inline constexpr RegistryRoot kRegistryRoots[] = {
    {u"HKEY_CLASSES_ROOT", 17, u"HKCR", platform::kHkeyClassesRoot, kRootClassesRoot, 1},
    {u"HKEY_CURRENT_USER", 17, u"HKCU", platform::kHkeyCurrentUser, kRootCurrentUser, 2},
    {u"HKEY_LOCAL_MACHINE", 18, u"HKLM", platform::kHkeyLocalMachine, kRootLocalMachine, 3},
    {u"HKEY_USERS", 10, u"HKU", platform::kNullKey, kRootUnknown, 4},
};
inline constexpr std::size_t kRegistryRootCount = sizeof kRegistryRoots / sizeof kRegistryRoots[0];
inline constexpr std::size_t kDeviceRootCount = 3;

// The root a handle, a ScriptRoot or a manifest number stands for; null when
// none does (a handle or ScriptRoot finds only the device's roots).
constexpr const RegistryRoot* RootByKey(platform::HKey key) {
  for (std::size_t i = 0; i < kDeviceRootCount; ++i) {
    if (kRegistryRoots[i].key == key) return &kRegistryRoots[i];
  }
  return nullptr;
}
constexpr const RegistryRoot* RootByScript(ScriptRoot script) {
  for (std::size_t i = 0; i < kDeviceRootCount; ++i) {
    if (kRegistryRoots[i].script == script) return &kRegistryRoots[i];
  }
  return nullptr;
}
constexpr const RegistryRoot* RootByManifest(std::uint16_t number) {
  for (const RegistryRoot& root : kRegistryRoots) {
    if (root.manifest == number) return &root;
  }
  return nullptr;
}
