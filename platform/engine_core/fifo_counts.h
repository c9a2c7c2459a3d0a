// The counts of one audio fifo of a layer, as an engine keeps them and as
// the studio's report hands them to tests.
#pragma once

#include <cstdint>
#include <vector>

namespace quellvox::engine {

// The counts of one fifo, over its life.
struct FifoCounts {
  int32_t Number = 0;
  int32_t DepthFrames = 0;
  bool Muted = false;
  double Volume = 1.0;
  int32_t StartPosition = 0;     // last InitFifo position (layer frames)
  int64_t WrittenSamples = 0;    // stereo sample frames accepted by WriteFifo
  int64_t PresentedSamples = 0;  // taken from the fifo at their time
  int64_t SilenceSamples = 0;    // output samples from the fifo's start on with no data
  int64_t LateSamples = 0;       // written after their time had passed: dropped
  int64_t DiscardedSamples = 0;  // queued but thrown away by InitFifo
  int64_t RefusedWrites = 0;     // WriteFifo calls refused because the fifo was full
  // Fifos made while KeepPresentedLocked() > 0: what the fifo presented
  // (interleaved stereo, silence as zeros) from output sample
  // PresentedStartSample on, up to that many sample frames.
  int64_t PresentedStartSample = -1;
  std::vector<float> Presented;
};

}  // namespace quellvox::engine
