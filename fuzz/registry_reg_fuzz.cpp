// registry.reg as arbitrary bytes: the loader of the emulated device either
// refuses the file with a message that names it, leaving the store as it
// was, or loads it; and what it loaded, written in its own layout, loads
// back to the same registry.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "check.h"
#include "platform/host/registry_store.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string kEmpty = host::RegistryStore().Serialize();
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  host::RegistryStore store;
  std::string error;
  if (!store.Parse(bytes, "registry.reg", &error)) {
    FUZZ_CHECK(error.rfind("registry.reg:", 0) == 0);
    FUZZ_CHECK(error.find('\n') == std::string::npos);
    FUZZ_CHECK(store.Serialize() == kEmpty);
    return 0;
  }
  std::string written = store.Serialize();
  host::RegistryStore again;
  if (!again.Parse(written, "again", &error)) {
    std::fprintf(stderr, "what was loaded does not load back: %s\n", error.c_str());
    std::abort();
  }
  FUZZ_CHECK(again.Serialize() == written);
  return 0;
}
