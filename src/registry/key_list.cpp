#include "registry/key_list.h"

#include "platform/text.h"
#include "registry/roots.h"
#include "settings/settings.h"

namespace {

// The decision that skips an entry of this status.
platform::DecisionId SkipDecision(KeyEntryStatus status) {
  switch (status) {
    case KeyEntryStatus::kNoBackslash:
      return platform::DecisionId::kKeyEntryNoBackslash;
    case KeyEntryStatus::kUnknownRoot:
      return platform::DecisionId::kKeyEntryUnknownRoot;
    default:
      return platform::DecisionId::kKeyEntryEmptyLeaf;
  }
}

}  // namespace

void ParseKeyEntry(const char16_t* value, KeyEntry* entry) {
  wtext::Clear(entry, sizeof *entry);
  int first = wtext::Find(value, u'\\');
  if (first < 0) {
    entry->status = KeyEntryStatus::kNoBackslash;
    return;
  }
  entry->status = KeyEntryStatus::kUnknownRoot;
  for (std::size_t r = 0; r < kDeviceRootCount; ++r) {
    const RegistryRoot& prefix = kRegistryRoots[r];
    if (wtext::EqualNoCaseN(value, prefix.name, prefix.name_length)) {
      entry->status = KeyEntryStatus::kDelete;
      entry->root = prefix.key;
      entry->root_length = static_cast<int>(prefix.name_length);
      break;
    }
  }
  if (entry->status != KeyEntryStatus::kDelete) return;
  int subpath = first + 1;
  int last = wtext::FindLast(value + subpath, u'\\');
  entry->parent_begin = subpath;
  if (last >= 0) {
    entry->parent_end = subpath + last;
    entry->leaf_begin = subpath + last + 1;
  } else {
    entry->parent_end = subpath;
    entry->leaf_begin = subpath;
  }
  if (value[entry->leaf_begin] == 0) entry->status = KeyEntryStatus::kEmptyLeaf;
}

const SettingAsk kRemovalAsk = {u"REG_DEL_KEY", u"key", AskKind::kNumbered};

void DeleteListedKeys() {
  for (int n = 0;; ++n) {
    char16_t key[kNumberedKeyCapacity];
    NumberedKey(kRemovalAsk, n, key);
    char16_t* value = LookupSetting(kRemovalAsk.section, key);
    if (value == nullptr) {
      platform::Decision(platform::DecisionId::kListEnds, key, static_cast<std::uint32_t>(n));
      return;
    }
    KeyEntry entry;
    ParseKeyEntry(value, &entry);
    if (entry.status != KeyEntryStatus::kDelete) {
      platform::Decision(SkipDecision(entry.status), value, 0);
      continue;
    }
    const char16_t* leaf = value + entry.leaf_begin;
    if (entry.parent_end == entry.parent_begin) {
      platform::RegDeleteKeyW(entry.root, leaf);
      continue;
    }
    // The value is worked on in place: the parent path ends where the leaf begins.
    value[entry.parent_end] = 0;
    platform::HKey parent;
    if (platform::RegOpenKeyExW(entry.root, value + entry.parent_begin, 0, 0, &parent) !=
        platform::kErrorSuccess) {
      platform::Decision(platform::DecisionId::kParentKeyMissing, value + entry.parent_begin, 0);
      continue;
    }
    platform::RegDeleteKeyW(parent, leaf);
    platform::RegCloseKey(parent);
  }
}
