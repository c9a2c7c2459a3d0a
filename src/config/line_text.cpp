#include "config/line_text.h"

#include <cstdio>
#include <string>

#include "platform/com/com.h"

namespace quellvox {

namespace {

bool StartsWithIgnoringAsciiCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char a = text[i];
    char b = prefix[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

// The code of the character after the prefix, minus '1'. The character is
// counted as a component string holds it: one UTF-16 code unit, the leading
// surrogate for a character beyond U+FFFF, U+FFFD for bytes that are not
// UTF-8. A missing character reads as the terminating NUL, as in the stored
// text it came from.
int32_t PairAfter(std::string_view text, size_t prefixLength) {
  if (text.size() <= prefixLength) return -'1';
  // One character takes at most four bytes; whatever follows is not read.
  const std::u16string units = Utf8ToUtf16(text.substr(prefixLength, 4));
  return static_cast<int32_t>(units[0]) - '1';
}

}  // namespace

std::string FormatLineRef(const AudioLineRef& ref) {
  const char* kind = ref.Kind == 2 ? "Right" : ref.Kind == 1 ? "Left" : "Stereo";
  char text[32];
  std::snprintf(text, sizeof text, "%s#%d", kind, static_cast<int>(static_cast<int64_t>(ref.Pair) + 1));
  return text;
}

AudioLineRef ParseLineRef(std::string_view text) {
  if (StartsWithIgnoringAsciiCase(text, "Stereo#")) return {Stereo, PairAfter(text, 7)};
  if (StartsWithIgnoringAsciiCase(text, "Right#")) return {Right, PairAfter(text, 6)};
  if (StartsWithIgnoringAsciiCase(text, "Left#")) return {Left, PairAfter(text, 5)};
  return {Stereo, 0};
}

}  // namespace quellvox
