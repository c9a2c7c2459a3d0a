// Texts of the string table as the program shows them.
#pragma once

#include <cstdint>
#include <string>

namespace quellvox {

// The text of string resource `id`, or "UNTRANSLATED" when the resources
// lack it.
std::string LoadResString(uint32_t id);

}  // namespace quellvox
