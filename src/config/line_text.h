// Text form of an audio line reference: "Stereo#n", "Left#n", "Right#n" with
// n the 1-based pair.
#pragma once

#include <string>
#include <string_view>

#include "config/settings.h"

namespace quellvox {

// "Right#%d" for Kind 2, "Left#%d" for Kind 1, "Stereo#%d" otherwise, with Pair + 1.
std::string FormatLineRef(const AudioLineRef& ref);

// The prefix (any case) decides the kind; only the one character after the
// "#" is read, so Pair = that character's UTF-16 code minus '1' and may lie
// anywhere from -49 (nothing after the "#") to 65486 for a stored text (no
// prefix: Stereo, 0). Only "1" to "9" give the pairs 0..8 that the program
// writes.
AudioLineRef ParseLineRef(std::string_view text);

}  // namespace quellvox
