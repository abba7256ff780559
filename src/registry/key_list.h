// Deletes the registry keys that brand.ini lists under [REG_DEL_KEY] as
// key0, key1, ...: each is a key path with its root's name in front.
#pragma once

#include "platform/platform.h"
#include "settings/settings.h"

void DeleteListedKeys();
extern const SettingAsk kRemovalAsk;  // [REG_DEL_KEY] key0, key1, ...

// ---- The rules for one entry, shared with the linter -----------------------

enum class KeyEntryStatus {
  kDelete,         // parent and leaf are set
  kNoBackslash,    // skipped
  kUnknownRoot,    // skipped
  kEmptyLeaf,      // skipped: deleting it would remove the parent or the root
};

struct KeyEntry {
  KeyEntryStatus status;
  platform::HKey root;
  int root_length;   // the prefix that chose the root
  int parent_begin;  // the parent path is [parent_begin, parent_end); empty: the root itself
  int parent_end;
  int leaf_begin;    // the leaf runs from here to the end of the value
};

// Reads one entry's value. Roots are recognised by prefix, each over exactly
// its own length, so a value may run the root's name into the next word.
void ParseKeyEntry(const char16_t* value, KeyEntry* entry);
