// The studio description: any text is parsed or refused with a message,
// never a crash, a hang or an unbounded allocation; what is accepted can be
// rendered.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/media/audio_generators.h"
#include "platform/media/studio_description.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quellvox::studio;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  StudioDescription desc;
  // Relative file paths lead nowhere, so only absolute ones reach a file.
  const quellvox::Status parsed = ParseStudioDescription(text, "/nonexistent-quellvox-fuzz", desc);
  if (!parsed.IsOk()) {
    if (parsed.Message().empty()) std::abort();  // a refusal always says why
    return 0;
  }
  // Every accepted source renders a few sample frames around the start.
  float out[64 * 2];
  for (const DeviceDescription& d : desc.Devices) {
    if (d.Rate.Num < 1 || d.Rate.Den < 1 || d.Rate.Num > d.Rate.Den * 1000 || d.Rate.Num * 1001 < d.Rate.Den * 1000) {
      std::abort();  // the bounds of a frame rate
    }
    const int64_t s0 = d.Rate.SamplesBefore(d.SampleRate, d.StartPosition);
    for (const PairSource& p : d.Pairs) {
      MakePairGenerator(p, d.SampleRate)->Render(s0 - 32, 64, out, 2, 0, 1);
    }
  }
  return 0;
}
