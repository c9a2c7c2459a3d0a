// The renderer's options: any argument list is refused with a sentence or
// gives settings the renderer can run (rows inside 1..8, every TO pair
// inside the planes, a frame rate from 1/1000 to 1000 per second).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "tools/render/render_options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quellvox;
  const std::vector<std::string> args = fuzz::Arguments(data, size, 24);
  RenderOptions options;
  const Status parsed = ParseRenderOptions(args, options);
  if (!parsed.IsOk()) {
    if (parsed.Message().empty()) std::abort();
    return 0;
  }
  const RenderOptions* o = &options;
  if (o->Help) return 0;
  if (o->Planes < 1 || o->Planes > 1000) std::abort();
  const int64_t n = o->RateNumerator;
  const int64_t d = o->RateDenominator;
  if (n < 1 || d < 1 || n * 1000 < d || n > d * 1000) std::abort();
  for (const VoiceOverLine& line : o->Settings.Lines) {
    if (line.Use && (line.To.Pair < 0 || line.To.Pair >= o->Planes || line.From.Pair < 0 || line.From.Pair > 8)) {
      std::abort();
    }
  }
  return 0;
}
