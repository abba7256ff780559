// brand.ini as arbitrary bytes: the settings lookup, and the steps that act
// on what it answers (packages, theme, key removal list).
#include <cstddef>
#include <cstdint>

#include "check.h"
#include "device.h"
#include "packages/packages.h"
#include "platform/text.h"
#include "registry/key_list.h"
#include "settings/settings.h"

namespace {

const char16_t* const kLookups[][2] = {
    {u"ADDITIONAL_CABS", u"cab0"}, {u"ADDITIONAL_CABS", u"cab1"}, {u"skin", u"skin"},
    {u"HOMEPAGE", u"start.hp"},    {u"URLS", u"a.ur"},            {u"REG_DEL_KEY", u"key0"},
    {u"LENGREBOOT", u"reboot"},    {u"", u""},
};

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
  fuzz::OpenDevice();
  fuzz::Stage("brand.ini", data, size);
  for (const auto& lookup : kLookups) {
    char16_t* value = LookupSetting(lookup[0], lookup[1]);
    if (value != nullptr) CheckValue(value);
  }
  InstallPackages();
  ApplyThemeSetting();
  DeleteListedKeys();
  fuzz::Renew();
  return 0;
}
