// Line texts: any stored text gives a reference, and every reference the
// program writes (pairs 1 to 9) reads back as itself.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "config/line_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quellvox;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const AudioLineRef ref = ParseLineRef(text);
  if (ref.Kind < 0 || ref.Kind > 2) std::abort();
  const std::string formatted = FormatLineRef(ref);
  if (ref.Pair >= 0 && ref.Pair <= 8) {
    const AudioLineRef back = ParseLineRef(formatted);
    if (back.Kind != ref.Kind || back.Pair != ref.Pair) std::abort();
  }
  return 0;
}
