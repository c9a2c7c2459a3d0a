// Turning a fuzzer's bytes into the inputs of the programs' parsers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quellvox::fuzz {

// The bytes as a list of arguments, split at every NUL (as a command line
// reaches a program), at most `maxArguments` of them.
inline std::vector<std::string> Arguments(const uint8_t* data, size_t size, size_t maxArguments = 16) {
  std::vector<std::string> args(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] != 0) {
      args.back().push_back(static_cast<char>(data[i]));
    } else if (args.size() == maxArguments) {
      break;
    } else {
      args.emplace_back();
    }
  }
  return args;
}

}  // namespace quellvox::fuzz
