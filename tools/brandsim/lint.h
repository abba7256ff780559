// `brandsim lint [--format text|json] [--device DIR] DELIVERY_DIR`: checks a delivery folder
// the way the device reads it.
#pragma once

#include <string>
#include <vector>

namespace brandsim {

// `args` are the arguments after the word `lint`. Yields the exit status.
int RunLint(const std::vector<std::string>& args);

}  // namespace brandsim
