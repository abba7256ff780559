// The codes that findings of `brandsim lint` carry.
#pragma once

#include <cstddef>

namespace lint {

extern const char* const kCodes[];
extern const std::size_t kCodeCount;

}  // namespace lint
