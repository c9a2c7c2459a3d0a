// SHA-256 of a byte string, for names that must stay distinct when they are
// shortened (the instance guard's file names).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace quellvox {

std::array<uint8_t, 32> Sha256(std::string_view data);

// The digest as 64 lower-case hexadecimal digits.
std::string Sha256Hex(std::string_view data);

}  // namespace quellvox
