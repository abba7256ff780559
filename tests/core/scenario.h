// One run of the program on a scratch device image, in this process: the
// host backend stands in for the device, and the journal tells what it did.
#pragma once

#include <string>
#include <vector>

#include "platform/host/host.h"
#include "platform/host/registry_store.h"
#include "support/support.h"

namespace core_test {

using support::JsonObject;

// A registry.reg text holding the consent gate key.
extern const char kGateKey[];
// The header and blank line every registry.reg starts with.
extern const char kRegHeader[];

class Scenario {
 public:
  Scenario();
  ~Scenario();

  support::Device device;
  host::Config config;

  void Stage(const std::string& name, const std::string& bytes) const;
  void Ini(const std::string& bytes) const { Stage("brand.ini", bytes); }
  // registry.reg from the given keys and values (the header is added).
  void Registry(const std::string& body) const;

  // Opens the device, runs the program with `command_line`, closes the
  // device; fails the test if the program left a handle open.
  void Run(const char16_t* command_line = u"inst");
  // For calling the core's procedures directly.
  void Open();
  void Close();

  std::vector<JsonObject> events;
  std::vector<JsonObject> Events(const std::string& name) const;
  // The names of the effects in order, joined by blanks: the run's steps and
  // decisions left out.
  std::string Sequence() const;

  // registry.reg as the run left it.
  host::RegistryStore Store() const;
  // The value's data, or "<missing>"; REG_SZ data decoded to UTF-8 without
  // its terminator, other types as lowercase hex.
  std::string Value(const std::string& key, const std::u16string& name) const;
  bool KeyExists(const std::string& key) const;

 private:
  bool open_ = false;
};

}  // namespace core_test
