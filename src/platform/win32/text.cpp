// Code page conversion: the platform's own tables.
#include "platform/win32/win32.h"

namespace platform {

std::int32_t MultiByteToWideChar(std::uint32_t code_page, std::uint32_t flags, const char* bytes,
                                 std::int32_t count, char16_t* wide, std::int32_t capacity) {
  return ::MultiByteToWideChar(code_page, flags, bytes, count, win32::Wide(wide), capacity);
}

}  // namespace platform
