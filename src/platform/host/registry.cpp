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

#include "platform/host/internal.h"

namespace host {

namespace {

// Windows' ERROR_WRITE_FAULT: registry.reg could not be written.
constexpr std::int32_t kErrorWriteFault = 29;

struct KeyRef {
  std::shared_ptr<RegKey> key;
  std::u16string path;  // for the journal, also when the handle fails
};

std::int32_t ResolveKey(State& state, platform::HKey hkey, KeyRef* out) {
  static const struct {
    platform::HKey hkey;
    RegistryStore::Root root;
  } kRoots[] = {{platform::kHkeyClassesRoot, RegistryStore::kClassesRoot},
                {platform::kHkeyCurrentUser, RegistryStore::kCurrentUser},
                {platform::kHkeyLocalMachine, RegistryStore::kLocalMachine}};
  for (const auto& r : kRoots) {
    if (hkey == r.hkey) {
      out->key = state.registry.root(r.root);
      out->path = RegistryStore::RootName(r.root);
      return platform::kErrorSuccess;
    }
  }
  auto* object = FindObjectOf<KeyObject>(Value(hkey));
  if (object == nullptr) return platform::kErrorInvalidHandle;
  out->path = object->path;
  if (object->key->deleted) return platform::kErrorInvalidHandle;
  out->key = object->key;
  return platform::kErrorSuccess;
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

std::u16string JoinKeyPath(const std::u16string& base, const std::u16string& sub) {
  if (base.empty()) return sub;
  if (sub.empty()) return base;
  return base + u'\\' + sub;
}

platform::HKey NewKeyHandle(State& state, const std::shared_ptr<RegKey>& key) {
  return static_cast<platform::HKey>(AddObject(KeyObject{key, state.registry.FullPath(key.get())}));
}

std::string ShowValueName(std::u16string_view name) {
  return name.empty() ? std::string("@") : Show(name);
}

}  // namespace

}  // namespace host

namespace platform {

using host::Current;
using host::KeyRef;
using host::State;
using host::View;

std::int32_t RegOpenKeyExW(HKey key, const char16_t* sub_key, std::uint32_t /*options*/,
                           std::uint32_t /*sam_desired*/, HKey* result) {
  if (result == nullptr) return kErrorInvalidParameter;
  *result = kNullKey;
  State* state = Current();
  if (state == nullptr) return kErrorInvalidHandle;
  KeyRef parent;
  std::int32_t error = host::ResolveKey(*state, key, &parent);
  if (error != kErrorSuccess) return error;
  if (host::InjectFault(host::FaultOp::kRegOpen)) return kErrorAccessDenied;
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
  std::int32_t error = host::ResolveKey(*state, key, &parent);
  std::u16string path = host::JoinKeyPath(parent.path, host::NormalizeKeyPath(View(sub_key)));
  if (error == kErrorSuccess && result == nullptr) error = kErrorInvalidParameter;
  if (error == kErrorSuccess && host::InjectFault(host::FaultOp::kRegCreate)) {
    error = kErrorAccessDenied;
  }
  if (error == kErrorSuccess) {
    bool created = false;
    std::shared_ptr<host::RegKey> made =
        state->registry.Create(parent.key, View(sub_key), &created);
    if (!made) {
      error = kErrorInvalidHandle;
    } else {
      *result = host::NewKeyHandle(*state, made);
      path = state->registry.FullPath(made.get());
      if (disposition != nullptr) *disposition = created ? kCreatedNewKey : kOpenedExistingKey;
    }
  }
  bool ok = error == kErrorSuccess;
  state->journal.Write(host::Event("reg_create").Text("key", path).Bool("ok", ok),
                       "reg create " + host::Show(path) + ": " + host::OkWord(ok));
  return error;
}

std::int32_t RegSetValueExW(HKey key, const char16_t* value_name, std::uint32_t /*reserved*/,
                            std::uint32_t type, const std::uint8_t* data, std::uint32_t size) {
  State* state = Current();
  if (state == nullptr) return kErrorInvalidHandle;
  KeyRef target;
  std::int32_t error = host::ResolveKey(*state, key, &target);
  if (error == kErrorSuccess && data == nullptr && size > 0) error = kErrorInvalidParameter;
  if (error == kErrorSuccess && host::InjectFault(host::FaultOp::kRegSet)) {
    error = kErrorAccessDenied;
  }
  if (error == kErrorSuccess) {
    state->registry.SetValue(target.key.get(), View(value_name), type, data, size);
  }
  bool ok = error == kErrorSuccess;
  std::size_t shown_size = data == nullptr ? 0 : size;
  state->journal.Write(host::Event("reg_set")
                           .Text("key", target.path)
                           .Text("name", View(value_name))
                           .Number("type", type)
                           .Hex("data", data, shown_size)
                           .Bool("ok", ok),
                       "reg set " + host::Show(target.path) + "\\" +
                           host::ShowValueName(View(value_name)) + " = " +
                           host::ShowValue(type, data, shown_size) + ": " + host::OkWord(ok));
  return error;
}

std::int32_t RegQueryValueExW(HKey key, const char16_t* value_name, std::uint32_t* /*reserved*/,
                              std::uint32_t* type, std::uint8_t* data, std::uint32_t* size) {
  State* state = Current();
  if (state == nullptr) return kErrorInvalidHandle;
  KeyRef target;
  std::int32_t error = host::ResolveKey(*state, key, &target);
  if (error != kErrorSuccess) return error;
  if (data != nullptr && size == nullptr) return kErrorInvalidParameter;
  if (host::InjectFault(host::FaultOp::kRegQuery)) return kErrorAccessDenied;
  const host::RegValue* value = state->registry.GetValue(target.key.get(), View(value_name));
  if (value == nullptr) return kErrorFileNotFound;
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
  std::int32_t error = host::ResolveKey(*state, key, &target);
  if (error == kErrorSuccess && host::InjectFault(host::FaultOp::kRegDelete)) {
    error = kErrorAccessDenied;
  }
  if (error == kErrorSuccess && !state->registry.DeleteValue(target.key.get(), View(value_name))) {
    error = kErrorFileNotFound;
  }
  bool ok = error == kErrorSuccess;
  state->journal.Write(host::Event("reg_delete_value")
                           .Text("key", target.path)
                           .Text("name", View(value_name))
                           .Bool("ok", ok),
                       "reg delete value " + host::Show(target.path) + "\\" +
                           host::ShowValueName(View(value_name)) + ": " + host::OkWord(ok));
  return error;
}

// `sub_key` may be a path below `key`. An empty one is refused: it would
// name `key` itself, possibly a root.
std::int32_t RegDeleteKeyW(HKey key, const char16_t* sub_key) {
  State* state = Current();
  if (state == nullptr) return kErrorInvalidHandle;
  KeyRef parent;
  std::int32_t error = host::ResolveKey(*state, key, &parent);
  std::u16string relative = host::NormalizeKeyPath(View(sub_key));
  std::u16string path = host::JoinKeyPath(parent.path, relative);
  if (error == kErrorSuccess && relative.empty()) error = kErrorInvalidParameter;
  if (error == kErrorSuccess && host::InjectFault(host::FaultOp::kRegDelete)) {
    error = kErrorAccessDenied;
  }
  if (error == kErrorSuccess) {
    std::shared_ptr<host::RegKey> target = state->registry.Find(parent.key, relative);
    if (!target || target->parent == nullptr) {
      error = kErrorFileNotFound;
    } else {
      path = state->registry.FullPath(target.get());
      if (!state->registry.DeleteSubkey(target->parent, target->name)) error = kErrorFileNotFound;
    }
  }
  bool ok = error == kErrorSuccess;
  state->journal.Write(host::Event("reg_delete_key").Text("key", path).Bool("ok", ok),
                       "reg delete key " + host::Show(path) + ": " + host::OkWord(ok));
  return error;
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
  std::int32_t error = host::ResolveKey(*state, key, &target);
  if (error != kErrorSuccess) return error;
  // An injected failure is the device's, not the host's: nothing is written
  // and nothing reported, and the registry is still written at the end.
  bool injected = host::InjectFault(host::FaultOp::kRegFlush);
  std::string message;
  bool ok = !injected && state->registry.Save(state->registry_file, &message);
  if (!ok && !injected) host::ReportError(*state, message);
  state->journal.Write(host::Event("reg_flush").Text("key", target.path).Bool("ok", ok),
                       "reg flush " + host::Show(target.path) + ": " + host::OkWord(ok));
  return ok ? kErrorSuccess : host::kErrorWriteFault;
}

}  // namespace platform
