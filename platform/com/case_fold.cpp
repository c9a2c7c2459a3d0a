#include "platform/com/case_fold.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "platform/com/com.h"

namespace quellvox {

namespace {

struct FoldPair {
  uint32_t From;
  uint32_t To;
};

constexpr FoldPair kFoldPairs[] = {
#include "platform/com/case_fold_table.inc"
};

// Next code point of UTF-8 text; a byte that does not start a valid sequence
// comes back as 0x110000 + byte, so that broken texts compare bytewise.
char32_t NextCodePoint(std::string_view s, size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  int need = 0;
  char32_t cp = 0;
  if (b0 < 0x80) {
    ++i;
    return b0;
  } else if ((b0 & 0xE0) == 0xC0) {
    need = 1;
    cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    need = 2;
    cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    need = 3;
    cp = b0 & 0x07;
  } else {
    ++i;
    return 0x110000 + b0;
  }
  if (i + static_cast<size_t>(need) >= s.size()) {
    ++i;
    return 0x110000 + b0;
  }
  for (int k = 1; k <= need; ++k) {
    const auto b = static_cast<unsigned char>(s[i + static_cast<size_t>(k)]);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return 0x110000 + b0;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  static const char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
  if (cp < kMin[need] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return 0x110000 + b0;
  }
  i += static_cast<size_t>(need) + 1;
  return cp;
}

}  // namespace

char32_t FoldCodePoint(char32_t c) {
  if (c < 0x80) return (c >= U'A' && c <= U'Z') ? c + (U'a' - U'A') : c;
  const auto* end = std::end(kFoldPairs);
  const auto* it = std::lower_bound(std::begin(kFoldPairs), end, static_cast<uint32_t>(c),
                                    [](const FoldPair& p, uint32_t v) { return p.From < v; });
  return (it != end && it->From == c) ? static_cast<char32_t>(it->To) : c;
}

std::string FoldName(std::u16string_view name) {
  std::string out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size(); ++i) {
    char32_t cp = name[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (name[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    AppendUtf8(out, FoldCodePoint(cp));
  }
  return out;
}

bool EqualsIgnoringCaseUtf8(std::string_view a, std::string_view b) {
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() && j < b.size()) {
    const char32_t x = NextCodePoint(a, i);
    const char32_t y = NextCodePoint(b, j);
    if (x != y && (x >= 0x110000 || y >= 0x110000 || FoldCodePoint(x) != FoldCodePoint(y))) return false;
  }
  return i == a.size() && j == b.size();
}

bool IsWellFormedUtf16(std::u16string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return false;
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

}  // namespace quellvox
