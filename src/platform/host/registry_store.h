// The emulated device's registry: a tree of keys in memory, loaded from and
// saved to registry.reg in the layout regedit exports.
//
// A device's registry is a few megabytes, but an image may hold one of up
// to kMaxFileBytes, so the tree is kept compact: keys and values are fixed
// records in chunked arenas, names and data are runs in two more, and one
// hash index finds a subkey or a value by its parent and folded name. A
// loaded key costs a few dozen bytes beside its name; the file itself is
// read through a small buffer, never held whole. Removed keys and values,
// and data replaced by longer data, stay in the arenas until the store goes:
// a run removes and rewrites little, and what a file's repeated sections
// leave behind is bounded by the file's size.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/host/text.h"

namespace host {

class Writer;

// Appends `text` as a string value holds it: UTF-16LE code units and one
// terminator.
void AppendStringData(std::u16string_view text, std::vector<std::uint8_t>* data);

// A value as the store hands it out: a copy of what it holds.
struct RegValue {
  std::u16string name;  // as created; empty: the default value
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
};

// A handle on one key of a store, which only the store makes: for one key it
// hands out the same handle for as long as one is held. A handle stays
// usable after its key was removed: FullPath still answers, Deleted is true,
// and nothing can be added below it. A handle holds its parent's handle:
// while a key is held, the keys above it are found as the same handles.
class RegKey {
 public:
  RegKey(std::uint32_t id, std::shared_ptr<RegKey> parent)
      : id_(id), parent_(std::move(parent)) {}

 private:
  friend class RegistryStore;
  std::uint32_t id_;
  std::shared_ptr<RegKey> parent_;
};

// Whether a key or value name holds a line break, which registry.reg has no
// way to hold: the emulated device refuses to create such a name (invalid
// name), rather than take it and fail to write the registry at the end.
bool HasLineBreak(std::u16string_view name);

// One value as registry.reg holds it: `"name"=` (`@=` for the default
// value) and the data, long hex data continued on further lines; each line
// ends with "\n".
std::u16string FormatValue(const RegValue& value);

// Runs of T addressed by 32-bit numbers, in chunks of 2^Shift that never
// move: growing copies nothing already there, so the arena never holds its
// content twice, as a vector does while it grows. A run is contiguous; one
// longer than a chunk gets consecutive chunks of one allocation. Runs of
// one are numbered 0, 1, 2, ...
template <typename T, unsigned Shift>
class Arena {
 public:
  static constexpr unsigned kShift = Shift;
  static constexpr std::uint32_t kChunk = 1u << kShift;

  std::uint32_t Add(const T* items, std::size_t count);
  T* At(std::uint32_t address) { return chunks_[address >> kShift] + (address & (kChunk - 1)); }
  const T* At(std::uint32_t address) const {
    return chunks_[address >> kShift] + (address & (kChunk - 1));
  }
  std::uint32_t end() const { return static_cast<std::uint32_t>(end_); }
  void Clear();

 private:
  std::vector<std::unique_ptr<T[]>> owned_;
  std::vector<T*> chunks_;
  std::uint64_t end_ = 0;
};

class RegistryStore {
 public:
  enum Root { kClassesRoot = 0, kCurrentUser = 1, kLocalMachine = 2 };
  static constexpr int kRootCount = 3;

  RegistryStore();
  RegistryStore(RegistryStore&&) = default;
  RegistryStore& operator=(RegistryStore&&) = default;

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
  bool DeleteSubkey(const RegKey* parent, std::u16string_view name);
  // Removes `key` and everything below it; false for a root or a key
  // already removed.
  bool DeleteKey(const RegKey* key);
  // Whether the key was removed (itself, or a key above it).
  bool Deleted(const RegKey* key) const;

  // The subkeys and the values of a key in the order they are enumerated
  // and written: by folded name.
  std::vector<std::shared_ptr<RegKey>> Subkeys(const RegKey* key) const;
  std::vector<RegValue> Values(const RegKey* key) const;
  // Calls visit(path, values) for every key, the roots included, with its
  // FullPath and its Values, without making handles.
  void ForEachKey(
      const std::function<void(const std::u16string& path, std::vector<RegValue>&& values)>& visit)
      const;

  std::optional<RegValue> GetValue(const RegKey* key, std::u16string_view name) const;
  void SetValue(const RegKey* key, std::u16string_view name, std::uint32_t type,
                const std::uint8_t* data, std::size_t size);
  bool DeleteValue(const RegKey* key, std::u16string_view name);

  // "HKEY_LOCAL_MACHINE\Software\A": the root's name and the names as created.
  std::u16string FullPath(const RegKey* key) const;

  // The most bytes registry.reg may hold; a bigger one is refused before it
  // is read. A device's registry takes a few megabytes.
  static constexpr std::size_t kMaxFileBytes = std::size_t{64} << 20;

  // Reads the regedit layout: UTF-16LE with its byte-order mark, or UTF-8
  // (with or without a mark); "Windows Registry Editor Version 5.00" or
  // "REGEDIT4". On failure *error is "FILE:LINE: what is wrong" and the store
  // is unchanged. A name that Serialize could not write back (one holding a
  // line break) is such a failure: whatever loads can be saved. The text is
  // read twice, checked and then applied, a line at a time.
  bool Parse(std::string_view bytes, const std::string& file_name, std::string* error);
  // A missing file is an empty registry. Anything else must be a regular
  // file (a link is not followed, a fifo is not waited for) of at most
  // kMaxFileBytes; it is read through a buffer of fixed size, once to check
  // it and once to apply it.
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
  friend class Parser;
  static constexpr std::uint32_t kNone = 0xFFFFFFFF;
  static constexpr std::uint32_t kDeletedBit = 0x80000000;
  static constexpr std::uint32_t kValueBit = 0x80000000;

  struct Node {
    std::uint32_t parent;       // kNone for a root
    std::uint32_t name;         // in names_
    std::uint32_t name_size;    // in units; kDeletedBit once removed
    // The lists take each new record first; Order sorts them and drops
    // the removed ones.
    std::uint32_t first_child;
    std::uint32_t next;  // the parent's next child
    std::uint32_t first_value;
  };
  struct Slot {
    std::uint32_t key;        // the node it belongs to
    std::uint32_t next;       // the key's next value
    std::uint32_t name;       // in names_
    std::uint32_t name_size;  // in units; kDeletedBit once removed
    std::uint32_t type;
    std::uint32_t data;  // in data_
    std::uint32_t data_size;
  };
  std::u16string_view NameOf(const Node& node) const;
  std::u16string_view NameOf(const Slot& slot) const;
  Node& NodeAt(std::uint32_t id) { return *nodes_.At(id); }
  const Node& NodeAt(std::uint32_t id) const { return *nodes_.At(id); }
  Slot& SlotAt(std::uint32_t id) { return *slots_.At(id); }
  const Slot& SlotAt(std::uint32_t id) const { return *slots_.At(id); }
  const std::uint8_t* DataOf(const Slot& slot) const;
  RegValue ValueOf(const Slot& slot) const;
  static bool IsDeleted(std::uint32_t name_size) { return (name_size & kDeletedBit) != 0; }

  // The index: open addressing over entries (1 + record number, the top bit
  // set for a value), 0 marking a free place.
  std::uint32_t HashOf(std::uint32_t owner, bool value, std::u16string_view name) const;
  std::uint32_t HashOfEntry(std::uint32_t entry) const;
  std::uint32_t Lookup(std::uint32_t owner, bool value, std::u16string_view name) const;
  // Makes room in the index for `entries` in all.
  void Reserve(std::size_t entries);
  void Insert(std::uint32_t entry);
  void Erase(std::uint32_t entry);

  std::uint32_t Walk(std::uint32_t from, std::u16string_view path) const;
  std::uint32_t MakePath(std::uint32_t from, std::u16string_view path, bool* created);
  void Remove(std::uint32_t id);
  void Put(std::uint32_t key, std::u16string_view name, std::uint32_t type,
           const std::uint8_t* data, std::size_t size);
  bool Drop(std::uint32_t key, std::u16string_view name);
  // Puts the key's subkeys and values in the order they are enumerated,
  // by folded name, and drops the removed ones from its lists.
  void Order(std::uint32_t id) const;
  std::u16string PathOf(std::uint32_t id) const;
  std::shared_ptr<RegKey> Handle(std::uint32_t id) const;
  bool EmptyTree() const;
  void Init();
  void Empty();

  bool ParseFrom(class Source& source, std::uint64_t size, const std::string& file_name,
                 std::string* error);
  void Write(Writer& w) const;
  void WriteKey(Writer& w, std::uint32_t id, std::u16string& path, bool is_root) const;
  bool FindUnwritableName(std::uint32_t id, std::u16string& path, std::u16string* found) const;

  // Mutable for Order only: the order of a list is put right when it is
  // read, since keeping it while a file is read would cost a walk a line.
  // Chunks of a few kilobytes: a small registry takes a few pages, not a
  // megabyte the allocator gives back and asks for again with every store
  // (the fuzzer and the mutation test make one a case).
  mutable Arena<Node, 9> nodes_;
  mutable Arena<Slot, 9> slots_;
  Arena<char16_t, 12> names_;
  Arena<std::uint8_t, 14> data_;
  std::vector<std::uint32_t> index_;
  std::size_t indexed_ = 0;
  std::shared_ptr<RegKey> roots_[kRootCount];
  // The handles given out, by key; expired ones are dropped now and then.
  mutable std::unordered_map<std::uint32_t, std::weak_ptr<RegKey>> handles_;
  mutable std::size_t handles_swept_ = 0;
  mutable int saves_ = 0;
  mutable int failed_saves_ = 0;
};

}  // namespace host
