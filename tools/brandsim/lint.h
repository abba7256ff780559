// The subcommands beside a run: `brandsim lint [--format text|json] [--device DIR]
// DELIVERY_DIR`, which checks a delivery folder the way the device reads it, and
// `brandsim package`.
#pragma once

#include <string>
#include <vector>

namespace brandsim {

// `args` are the arguments after the word `lint`. Yields the exit status.
int RunLint(const std::vector<std::string>& args);

}  // namespace brandsim

namespace brandsim {

// `brandsim package [--format text|json] [--device DIR] FILE`: what a CE
// package would install. `args` are the arguments after the word `package`.
int RunPackage(const std::vector<std::string>& args);

}  // namespace brandsim
