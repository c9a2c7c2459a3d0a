// The offline renderer: the voice-over mixer and ducker of the audio pump
// run over a multichannel recording, block by block at the capture's frame
// cadence, as fast as the machine allows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "audio/plane_loudness.h"
#include "platform/com/status.h"

#include "tools/render/render_options.h"

namespace quellvox {

struct RenderSummary {
  int64_t Blocks = 0;
  int64_t Frames = 0;  // sample frames mixed
  double AudioSeconds = 0.0;
  double WallSeconds = 0.0;
  // The input is shorter than its header declares (a file cut off while it
  // was copied or recorded): what it holds was rendered, and the caller says so.
  bool InputTruncated = false;
  // With --loudness: the figures of each plane written, over the whole output.
  std::vector<LoudnessFigures> Loudness;
};

// First sample frame of block b: floor(b x rate x denominator / numerator)
// for a frame rate of numerator / denominator per second.
int64_t BlockStart(int64_t block, int64_t sampleRate, int64_t numerator, int64_t denominator);

// Renders o.Input into o.Output (and the gain log). OUTPUT and the log are
// written under temporary names beside them and renamed into place only
// when everything succeeded, so a failed run never leaves a partial file in
// place of a good one. Fails with a sentence for the user.
Status Render(const RenderOptions& o, RenderSummary& summary);

}  // namespace quellvox
