// The program's string table.
#pragma once

#include <cstdint>

namespace quellvox {

// The text of string resource `id` (UTF-8), or null when the table has none.
// User-interface thread.
const char* FindResString(uint32_t id);

// Test hook: makes string `id` missing from the table (or present again),
// as in a build whose resources lack it.
void TEST_HideResString(uint32_t id, bool hidden);

}  // namespace quellvox
