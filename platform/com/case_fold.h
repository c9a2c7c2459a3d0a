// Case folding for names (registry keys and values, catalogue entries):
// names that differ only in the case of any letter are the same name.
// Independent of the process locale.
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

// Whether two UTF-8 texts are the same name ignoring case. A byte that does
// not belong to a valid sequence compares as itself, so broken texts are
// compared bytewise rather than all alike.
bool EqualsIgnoringCaseUtf8(std::string_view a, std::string_view b);

// True when the UTF-16 text is well formed (no unpaired surrogate).
bool IsWellFormedUtf16(std::u16string_view text);

}  // namespace quellvox
