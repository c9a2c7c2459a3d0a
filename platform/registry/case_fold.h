// Case folding for key and value names: names that differ only in the case
// of any letter are the same name. Independent of the process locale.
#pragma once

#include <string>
#include <string_view>

namespace quellvox {

// The simple case folding of one code point (itself when it has none).
char32_t FoldCodePoint(char32_t c);

// The folded form of a UTF-16 text, as UTF-8: two names are the same name
// exactly when their folded forms are equal. An unpaired surrogate folds to
// U+FFFD (callers refuse such names before they get here).
std::string FoldName(std::u16string_view name);

// True when the UTF-16 text is well formed (no unpaired surrogate).
bool IsWellFormedUtf16(std::u16string_view text);

}  // namespace quellvox
