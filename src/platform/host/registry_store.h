// The emulated device's registry: a tree of keys in memory, loaded from and
// saved to registry.reg in the layout regedit exports.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/text.h"

namespace host {

class Writer;

// Appends `text` as a string value holds it: UTF-16LE code units and one
// terminator.
void AppendStringData(std::u16string_view text, std::vector<std::uint8_t>* data);

struct RegValue {
  std::u16string name;  // empty: the default value
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
};

struct RegKey {
  std::u16string name;  // as created (case kept)
  RegKey* parent = nullptr;
  bool deleted = false;  // set on the key and every key below it when removed
  // Keyed by FoldName(name): lookups ignore case, iteration is the stable order.
  std::map<std::u16string, std::shared_ptr<RegKey>> subkeys;
  std::map<std::u16string, RegValue> values;
  // Once removed, a key forgets its subkeys and values and holds its parent
  // alive instead, so that `parent` (and FullPath) stays valid for as long as
  // a handle keeps the key; only removed keys point upwards this way.
  std::shared_ptr<RegKey> removed_parent;
};

// Whether a key or value name holds a line break, which registry.reg has no
// way to hold: the emulated device refuses to create such a name (invalid
// name), rather than take it and fail to write the registry at the end.
bool HasLineBreak(std::u16string_view name);

// One value as registry.reg holds it: `"name"=` (`@=` for the default
// value) and the data, long hex data continued on further lines; each line
// ends with "\n".
std::u16string FormatValue(const RegValue& value);

class RegistryStore {
 public:
  enum Root { kClassesRoot = 0, kCurrentUser = 1, kLocalMachine = 2 };
  static constexpr int kRootCount = 3;

  RegistryStore();

  std::shared_ptr<RegKey> root(Root r) const { return roots_[r]; }
  static const char16_t* RootName(Root r);  // u"HKEY_LOCAL_MACHINE", ...

  // `path` holds names separated by '\'; empty components are ignored, so an
  // empty path is `from` itself. Null when a key along the path is missing.
  std::shared_ptr<RegKey> Find(const std::shared_ptr<RegKey>& from, std::u16string_view path) const;
  // Creates every missing key along the path; *created tells whether the last
  // one is new. Null when `from` was deleted.
  std::shared_ptr<RegKey> Create(const std::shared_ptr<RegKey>& from, std::u16string_view path,
                                 bool* created);
  // Removes the direct subkey `name` of `parent` and everything below it.
  bool DeleteSubkey(RegKey* parent, std::u16string_view name);

  const RegValue* GetValue(const RegKey* key, std::u16string_view name) const;
  void SetValue(RegKey* key, std::u16string_view name, std::uint32_t type,
                const std::uint8_t* data, std::size_t size);
  bool DeleteValue(RegKey* key, std::u16string_view name);

  // "HKEY_LOCAL_MACHINE\Software\A": the root's name and the names as created.
  std::u16string FullPath(const RegKey* key) const;

  // The most bytes registry.reg may hold; a bigger one is refused before it
  // is read. A device's registry takes a few megabytes.
  static constexpr std::size_t kMaxFileBytes = std::size_t{64} << 20;

  // Reads the regedit layout: UTF-16LE with its byte-order mark, or UTF-8
  // (with or without a mark); "Windows Registry Editor Version 5.00" or
  // "REGEDIT4". On failure *error is "FILE:LINE: what is wrong" and the store
  // is unchanged. A name that Serialize could not write back (one holding a
  // line break) is such a failure: whatever loads can be saved. The file is
  // read twice, checked and then applied, so that the store takes no
  // memory beyond the tree the file makes.
  bool Parse(std::string_view bytes, const std::string& file_name, std::string* error);
  // A missing file is an empty registry. Anything else must be a regular
  // file (a link is not followed, a fifo is not waited for) of at most
  // kMaxFileBytes; it is read into one buffer of its size and parsed from
  // there.
  bool Load(const std::filesystem::path& file, std::string* error);

  // The regedit layout, UTF-16LE with a byte-order mark, keys in a stable order.
  std::string Serialize() const;
  // The bytes Serialize would give, counted without making them.
  std::uintmax_t WrittenSize() const;
  // Atomic: a new file beside the old one (`FILE.new-PID-N`), synced, then
  // renamed over it. On failure *error says what the file holds now: what
  // it held before this save (as read, or as an earlier save wrote it), or,
  // when only the final sync of its folder failed, this save's content.
  bool Save(const std::filesystem::path& file, std::string* error) const;
  // Saves made and failed so far.
  int saves() const { return saves_; }
  int failed_saves() const { return failed_saves_; }
  // Removes the new files that saves killed before their rename left beside
  // `file`; only while no other run may be saving (the image is locked).
  // How many were removed.
  static std::size_t RemoveLeftovers(const std::filesystem::path& file);

 private:
  void Write(Writer& w) const;

  std::shared_ptr<RegKey> roots_[kRootCount];
  mutable int saves_ = 0;
  mutable int failed_saves_ = 0;
};

}  // namespace host
