// A message file (inst.msg, reboot.msg) as arbitrary bytes, read from
// memory: the notice-text reader fills exactly its 256 code units and leaves
// the text terminated.
#include <cstddef>
#include <cstdint>

#include "check.h"
#include "driver/driver.h"
#include "platform/text.h"
#include "settings/line_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Exactly the size the reader is promised, so that AddressSanitizer sees
  // any write beyond it.
  char16_t text[kLineCapacity];
  MemoryBytes memory{data, static_cast<std::uint32_t>(size), 0};
  ReadNoticeText(MemoryByteSource(&memory), text);
  FUZZ_CHECK(text[kLineCapacity - 1] == 0);
  std::size_t length = wtext::Length(text, kLineCapacity);
  // The text is what the file holds, from its first 255 code units (less
  // a byte-order mark), up to the first terminator.
  std::size_t units = size / 2 < kLineCapacity - 1 ? size / 2 : kLineCapacity - 1;
  std::size_t skip = units > 0 && data[0] == 0xFF && data[1] == 0xFE ? 1 : 0;
  for (std::size_t i = 0; i < length && skip + i < units; ++i) {
    char16_t expected =
        static_cast<char16_t>(data[2 * (skip + i)] | (data[2 * (skip + i) + 1] << 8));
    FUZZ_CHECK(text[i] == expected);
  }
  if (skip + length < units) {
    FUZZ_CHECK(data[2 * (skip + length)] == 0 && data[2 * (skip + length) + 1] == 0);
  }
  return 0;
}
