#include "config/instance_id.h"

#include <locale.h>
#include <wctype.h>

#include <cstdint>
#include <vector>

namespace quellvox {

namespace {

// The white space of the wide-character test in a Unicode locale, used
// when no such locale is installed: the C0 controls 9..13, the blank, and
// the spaces of Unicode except the no-break ones.
bool IsSpaceByTable(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x1680 || (c >= 0x2000 && c <= 0x2006) ||
         (c >= 0x2008 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x205F || c == 0x3000;
}

// The wide-character space test of the C library in the C.UTF-8 locale,
// whatever locale the process runs in. The locale object is made once and
// kept for the life of the process.
bool IsWideSpace(char32_t c) {
  static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  if (utf8 == static_cast<locale_t>(nullptr)) return IsSpaceByTable(c);
  return iswspace_l(static_cast<wint_t>(c), utf8) != 0;
}

// One decoded character: its code point (or a value above 0x10FFFF for a
// byte that starts no valid sequence) and where it lies in the text.
struct Decoded {
  char32_t Code;
  size_t Begin;
  size_t End;
};

constexpr char32_t kInvalid = 0x110000;

std::vector<Decoded> DecodeUtf8(std::string_view text) {
  std::vector<Decoded> out;
  size_t i = 0;
  while (i < text.size()) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    size_t length = 0;
    char32_t code = 0;
    char32_t minimum = 0;
    if (b0 < 0x80) {
      length = 1;
      code = b0;
    } else if (b0 >= 0xC2 && b0 < 0xE0) {
      length = 2;
      code = b0 & 0x1F;
      minimum = 0x80;
    } else if (b0 >= 0xE0 && b0 < 0xF0) {
      length = 3;
      code = b0 & 0x0F;
      minimum = 0x800;
    } else if (b0 >= 0xF0 && b0 < 0xF5) {
      length = 4;
      code = b0 & 0x07;
      minimum = 0x10000;
    }
    bool valid = length > 0 && i + length <= text.size();
    for (size_t k = 1; valid && k < length; ++k) {
      const auto b = static_cast<unsigned char>(text[i + k]);
      if ((b & 0xC0) != 0x80) valid = false;
      code = (code << 6) | (b & 0x3F);
    }
    if (valid && (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))) valid = false;
    if (!valid) {
      out.push_back({kInvalid, i, i + 1});
      ++i;
    } else {
      out.push_back({code, i, i + length});
      i += length;
    }
  }
  return out;
}

}  // namespace

std::string CommandLineFromArguments(int argc, const char* const* argv) {
  std::string line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) line += ' ';
    line += argv[i];
  }
  return line;
}

std::string TrimWideSpace(std::string_view text) {
  const std::vector<Decoded> chars = DecodeUtf8(text);
  auto space = [](const Decoded& d) { return d.Code != kInvalid && IsWideSpace(d.Code); };
  size_t first = 0;
  size_t last = chars.size();
  while (last > first && space(chars[last - 1])) --last;  // trailing first, then leading
  while (first < last && space(chars[first])) ++first;
  if (first == last) return {};
  return std::string(text.substr(chars[first].Begin, chars[last - 1].End - chars[first].Begin));
}

std::string WithReplacementCharacters(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const Decoded& d : DecodeUtf8(text)) {
    if (d.Code == kInvalid) {
      out.append("\xEF\xBF\xBD");  // U+FFFD
    } else {
      out.append(text.substr(d.Begin, d.End - d.Begin));
    }
  }
  return out;
}

std::optional<std::string> InstanceIdFromCommandLine(std::string_view commandLine) {
  std::string id = TrimWideSpace(commandLine);
  if (id.empty()) return std::string(kDefaultInstanceId);
  if (id[0] != '#') return std::nullopt;
  if (id.back() == '\\' || id.find("\\\\") != std::string::npos) return std::nullopt;
  for (const char ch : id) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F) return std::nullopt;
  }
  // The guard is named by the bytes, the settings key and the logon entry
  // by the UTF-16 text: both must see the same identifier.
  return WithReplacementCharacters(id);
}

std::string InstanceGuardName(std::string_view programName, std::string_view instanceId) {
  std::string name = "Global\\";
  name.append(programName);
  name.append(instanceId);
  return name;
}

}  // namespace quellvox
