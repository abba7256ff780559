// brand.ini as arbitrary bytes: the settings lookup, read from memory, and
// the steps that act on what it answers (packages, theme, key removal list),
// which read the file on the emulated device when there is anything to act on.
#include <cstddef>
#include <cstdint>

#include "check.h"
#include "device.h"
#include "packages/packages.h"
#include "platform/text.h"
#include "registry/key_list.h"
#include "settings/line_reader.h"
#include "settings/settings.h"

namespace {

const char16_t* const kLookups[][2] = {
    {u"ADDITIONAL_CABS", u"cab0"}, {u"ADDITIONAL_CABS", u"cab1"}, {u"skin", u"skin"},
    {u"HOMEPAGE", u"start.hp"},    {u"URLS", u"a.ur"},            {u"REG_DEL_KEY", u"key0"},
    {u"LENGREBOOT", u"reboot"},    {u"", u""},
};

// The lookups above that a step starts with.
constexpr std::size_t kFirstPackage = 0, kTheme = 2, kFirstKey = 5;

void CheckValue(const char16_t* value) {
  std::size_t length = wtext::Length(value, kSettingCapacity);
  FUZZ_CHECK(length < static_cast<std::size_t>(kSettingCapacity));
  KeyEntry entry;
  ParseKeyEntry(value, &entry);
  if (entry.status == KeyEntryStatus::kDelete) {
    FUZZ_CHECK(entry.parent_begin <= entry.parent_end);
    FUZZ_CHECK(static_cast<std::size_t>(entry.leaf_begin) < length);
  }
  char16_t path[kLineCapacity];
  char16_t command_line[kLineCapacity];
  if (BuildPackagePath(path, value)) {
    FUZZ_CHECK(wtext::Length(path, kLineCapacity) < static_cast<std::size_t>(kLineCapacity));
    BuildPackageCommandLine(command_line, path);
  }
  BuildThemeCommandLine(command_line, value);
  FUZZ_CHECK(wtext::Length(command_line, kLineCapacity) < static_cast<std::size_t>(kLineCapacity));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static ByteLineReader reader;
  static char16_t value[kSettingCapacity];
  // The first entry of each step's list: without any, the steps only look up.
  bool acts = false;
  for (std::size_t i = 0; i < sizeof kLookups / sizeof kLookups[0]; ++i) {
    MemoryBytes memory{data, static_cast<std::uint32_t>(size), 0};
    StartByteLines(&reader, MemoryByteSource(&memory));
    char16_t line[kLineCapacity];
    SettingsLine parsed;
    if (!LookupSettingIn(&reader, kLookups[i][0], kLookups[i][1], line, &parsed, value)) continue;
    CheckValue(value);
    acts = acts || i == kFirstPackage || i == kTheme || i == kFirstKey;
  }
  if (!acts) return 0;
  fuzz::OpenDevice();
  fuzz::Stage("brand.ini", data, size);
  InstallPackages();
  ApplyThemeSetting();
  DeleteListedKeys();
  fuzz::Renew();
  return 0;
}
