// The full path of the running program file.
#pragma once

#include <string>

namespace quellvox {

// The path the system reports for the running program (/proc/self/exe), or
// an empty text when it cannot be read.
std::string ModulePath();

}  // namespace quellvox
