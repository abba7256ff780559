// The registry calls of the emulated device, over the in-memory store that
// registry.reg is loaded into.
//
// Handles: the three roots are fixed values and need no closing; every key
// opened or created is a new handle of its own, also when it opens a key
// that another handle holds. A handle whose key was deleted (through itself,
// another handle or a parent) stays open until RegCloseKey, and every other
// operation through it fails with kErrorInvalidHandle.

#include <cstdio>
#include <cstring>
#include <optional>

#include "platform/host/internal.h"
#include "registry/roots.h"

namespace host {

namespace {

struct KeyRef {
  std::shared_ptr<RegKey> key;
  std::u16string path;  // for the journal, also when the handle fails
};

Reason ResolveKey(State& state, platform::HKey hkey, KeyRef* out) {
  // The store's roots are in the table's order.
  if (const RegistryRoot* known = RootByKey(hkey)) {
    auto root = static_cast<RegistryStore::Root>(known - kRegistryRoots);
    out->key = state.registry.root(root);
    out->path = RegistryStore::RootName(root);
    return Reason::kNone;
  }
  auto* object = FindObjectOf<KeyObject>(Value(hkey));
  if (object == nullptr) return Reason::kInvalidHandle;
  out->path = object->path;
  if (state.registry.Deleted(object->key.get())) return Reason::kInvalidHandle;
  out->key = object->key;
  return Reason::kNone;
}

// A key path relative to another: names separated by single backslashes.
std::u16string NormalizeKeyPath(std::u16string_view path) {
  std::u16string out;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != u'\\') continue;
    if (i > start) {
      if (!out.empty()) out += u'\\';
      out += path.substr(start, i - start);
    }
    start = i + 1;
  }
  return out;
}

// The real API refuses a subkey path that begins with a backslash, from any
// key; empty names further on ("A\\B", "A\") are passed over.
bool BeginsWithBackslash(const char16_t* sub_key) {
  return sub_key != nullptr && sub_key[0] == u'\\';
}

std::u16string JoinKeyPath(const std::u16string& base, const std::u16string& sub) {
  if (base.empty()) return sub;
  if (sub.empty()) return base;
  return base + u'\\' + sub;
}

platform::HKey NewKeyHandle(State& state, const std::shared_ptr<RegKey>& key) {
  return static_cast<platform::HKey>(AddObject(KeyObject{key, state.registry.FullPath(key.get())}));
}

bool IsTextType(std::uint32_t type) {
  return type == platform::kRegSz || type == platform::kRegExpandSz ||
         type == platform::kRegMultiSz;
}

// The name a value type is known by; "unknown" for a number without one.
const char* TypeName(std::uint32_t type) {
  static const char* const kNames[] = {"REG_NONE",
                                       "REG_SZ",
                                       "REG_EXPAND_SZ",
                                       "REG_BINARY",
                                       "REG_DWORD",
                                       "REG_DWORD_BIG_ENDIAN",
                                       "REG_LINK",
                                       "REG_MULTI_SZ",
                                       "REG_RESOURCE_LIST",
                                       "REG_FULL_RESOURCE_DESCRIPTOR",
                                       "REG_RESOURCE_REQUIREMENTS_LIST",
                                       "REG_QWORD"};
  return type < sizeof kNames / sizeof kNames[0] ? kNames[type] : "unknown";
}

std::string ShowValueName(std::u16string_view name) {
  return name.empty() ? std::string("@") : Show(name);
}

}  // namespace

}  // namespace host

namespace platform {

using host::Current;
using host::ErrorNumber;
using host::KeyRef;
using host::Reason;
using host::State;
using host::View;

std::int32_t RegOpenKeyExW(HKey key, const char16_t* sub_key, std::uint32_t /*options*/,
                           std::uint32_t /*sam_desired*/, HKey* result) {
  if (result == nullptr) return kErrorInvalidParameter;
  *result = kNullKey;
  State* state = Current();
  if (state == nullptr) return kErrorInvalidHandle;
  KeyRef parent;
  Reason reason = host::ResolveKey(*state, key, &parent);
  if (reason != Reason::kNone) return ErrorNumber(reason);
  if (host::BeginsWithBackslash(sub_key)) return ErrorNumber(Reason::kBadPathname);
  if (host::InjectFault(host::FaultOp::kRegOpen)) return ErrorNumber(Reason::kInjected);
  std::shared_ptr<host::RegKey> found = state->registry.Find(parent.key, View(sub_key));
  if (!found) return kErrorFileNotFound;
  *result = host::NewKeyHandle(*state, found);
  return kErrorSuccess;
}

std::int32_t RegCreateKeyExW(HKey key, const char16_t* sub_key, std::uint32_t /*reserved*/,
                             char16_t* /*class_name*/, std::uint32_t /*options*/,
                             std::uint32_t /*sam_desired*/, void* /*security*/, HKey* result,
                             std::uint32_t* disposition) {
  constexpr std::uint32_t kCreatedNewKey = 1, kOpenedExistingKey = 2;
  if (result != nullptr) *result = kNullKey;
  if (disposition != nullptr) *disposition = 0;
  State* state = Current();
  if (state == nullptr) return kErrorInvalidHandle;
  KeyRef parent;
  Reason reason = host::ResolveKey(*state, key, &parent);
  std::u16string path = host::JoinKeyPath(parent.path, host::NormalizeKeyPath(View(sub_key)));
  if (reason == Reason::kNone && result == nullptr) reason = Reason::kInvalidParameter;
  if (reason == Reason::kNone && host::BeginsWithBackslash(sub_key)) {
    reason = Reason::kBadPathname;
  }
  if (reason == Reason::kNone && host::HasLineBreak(View(sub_key))) reason = Reason::kInvalidName;
  if (reason == Reason::kNone && host::InjectFault(host::FaultOp::kRegCreate)) {
    reason = Reason::kInjected;
  }
  if (reason == Reason::kNone) {
    bool created = false;
    std::shared_ptr<host::RegKey> made =
        state->registry.Create(parent.key, View(sub_key), &created);
    if (!made) {
      reason = Reason::kInvalidHandle;
    } else {
      *result = host::NewKeyHandle(*state, made);
      path = state->registry.FullPath(made.get());
      if (disposition != nullptr) *disposition = created ? kCreatedNewKey : kOpenedExistingKey;
    }
  }
  state->journal.Write(host::Event("reg_create").Text("key", path).Result(reason),
                       "reg create " + host::Show(path) + ": " + host::Outcome(reason));
  return ErrorNumber(reason);
}

std::int32_t RegSetValueExW(HKey key, const char16_t* value_name, std::uint32_t /*reserved*/,
                            std::uint32_t type, const std::uint8_t* data, std::uint32_t size) {
  State* state = Current();
  if (state == nullptr) return kErrorInvalidHandle;
  KeyRef target;
  Reason reason = host::ResolveKey(*state, key, &target);
  if (reason == Reason::kNone && data == nullptr && size > 0) reason = Reason::kInvalidParameter;
  if (reason == Reason::kNone && host::HasLineBreak(View(value_name))) {
    reason = Reason::kInvalidName;
  }
  if (reason == Reason::kNone && host::InjectFault(host::FaultOp::kRegSet)) {
    reason = Reason::kInjected;
  }
  if (reason == Reason::kNone) {
    state->registry.SetValue(target.key.get(), View(value_name), type, data, size);
  }
  std::size_t shown_size = data == nullptr ? 0 : size;
  host::Event event("reg_set");
  event.Text("key", target.path)
      .Text("name", View(value_name))
      .Number("type", type)
      .Text("type_name", host::FromUtf8(host::TypeName(type)))
      .Hex("data", data, shown_size);
  if (host::IsTextType(type)) event.Text("text", host::StringDataText(data, shown_size));
  state->journal.Write(event.Result(reason), "reg set " + host::Show(target.path) + "\\" +
                                                 host::ShowValueName(View(value_name)) + " = " +
                                                 host::ShowValue(type, data, shown_size) + ": " +
                                                 host::Outcome(reason));
  return ErrorNumber(reason);
}

std::int32_t RegQueryValueExW(HKey key, const char16_t* value_name, std::uint32_t* /*reserved*/,
                              std::uint32_t* type, std::uint8_t* data, std::uint32_t* size) {
  State* state = Current();
  if (state == nullptr) return kErrorInvalidHandle;
  KeyRef target;
  Reason reason = host::ResolveKey(*state, key, &target);
  if (reason != Reason::kNone) return ErrorNumber(reason);
  if (data != nullptr && size == nullptr) return kErrorInvalidParameter;
  if (host::InjectFault(host::FaultOp::kRegQuery)) return ErrorNumber(Reason::kInjected);
  std::optional<host::RegValue> value = state->registry.GetValue(target.key.get(), View(value_name));
  if (!value) return kErrorFileNotFound;
  if (type != nullptr) *type = value->type;
  std::uint32_t needed = static_cast<std::uint32_t>(value->data.size());
  if (data != nullptr) {
    if (*size < needed) {
      *size = needed;
      return kErrorMoreData;
    }
    if (needed > 0) std::memcpy(data, value->data.data(), needed);
  }
  if (size != nullptr) *size = needed;
  return kErrorSuccess;
}

std::int32_t RegDeleteValueW(HKey key, const char16_t* value_name) {
  State* state = Current();
  if (state == nullptr) return kErrorInvalidHandle;
  KeyRef target;
  Reason reason = host::ResolveKey(*state, key, &target);
  if (reason == Reason::kNone && host::InjectFault(host::FaultOp::kRegDelete)) {
    reason = Reason::kInjected;
  }
  if (reason == Reason::kNone && !state->registry.DeleteValue(target.key.get(), View(value_name))) {
    reason = Reason::kNoSuchValue;
  }
  state->journal.Write(host::Event("reg_delete_value")
                           .Text("key", target.path)
                           .Text("name", View(value_name))
                           .Result(reason),
                       "reg delete value " + host::Show(target.path) + "\\" +
                           host::ShowValueName(View(value_name)) + ": " + host::Outcome(reason));
  return ErrorNumber(reason);
}

// `sub_key` may be a path below `key`. An empty one is refused: it would
// name `key` itself, possibly a root.
std::int32_t RegDeleteKeyW(HKey key, const char16_t* sub_key) {
  State* state = Current();
  if (state == nullptr) return kErrorInvalidHandle;
  KeyRef parent;
  Reason reason = host::ResolveKey(*state, key, &parent);
  std::u16string relative = host::NormalizeKeyPath(View(sub_key));
  std::u16string path = host::JoinKeyPath(parent.path, relative);
  if (reason == Reason::kNone && relative.empty()) reason = Reason::kInvalidParameter;
  if (reason == Reason::kNone && host::InjectFault(host::FaultOp::kRegDelete)) {
    reason = Reason::kInjected;
  }
  if (reason == Reason::kNone) {
    std::shared_ptr<host::RegKey> target = state->registry.Find(parent.key, relative);
    if (target) path = state->registry.FullPath(target.get());
    // A root is found, but cannot be deleted.
    if (!target || !state->registry.DeleteKey(target.get())) reason = Reason::kNoSuchKey;
  }
  state->journal.Write(host::Event("reg_delete_key").Text("key", path).Result(reason),
                       "reg delete key " + host::Show(path) + ": " + host::Outcome(reason));
  return ErrorNumber(reason);
}

std::int32_t RegCloseKey(HKey key) {
  State* state = Current();
  if (state == nullptr) return kErrorInvalidHandle;
  if (key == kHkeyClassesRoot || key == kHkeyCurrentUser || key == kHkeyLocalMachine) {
    return kErrorSuccess;
  }
  if (host::FindObjectOf<host::KeyObject>(host::Value(key)) == nullptr) return kErrorInvalidHandle;
  state->handles.erase(host::Value(key));
  return kErrorSuccess;
}

// The whole registry is one file, so flushing any key writes all of it.
std::int32_t RegFlushKey(HKey key) {
  State* state = Current();
  if (state == nullptr) return kErrorInvalidHandle;
  KeyRef target;
  Reason reason = host::ResolveKey(*state, key, &target);
  if (reason != Reason::kNone) return ErrorNumber(reason);
  // An injected failure is the device's, not the host's: nothing is written
  // and nothing reported, and the registry is still written at the end.
  if (host::InjectFault(host::FaultOp::kRegFlush)) {
    reason = Reason::kInjected;
  } else {
    std::string message;
    if (!state->registry.Save(state->registry_file, &message)) {
      host::ReportError(*state, message);
      reason = Reason::kWriteFault;
    }
  }
  state->journal.Write(host::Event("reg_flush").Text("key", target.path).Result(reason),
                       "reg flush " + host::Show(target.path) + ": " + host::Outcome(reason));
  return ErrorNumber(reason);
}

}  // namespace platform
