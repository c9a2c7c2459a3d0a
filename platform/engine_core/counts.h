// The counts an engine keeps of its layers and their audio fifos, over
// their lives; the studio's report hands them to tests as they are.
#pragma once

#include <cstdint>
#include <string>
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

// The counts and settings of one layer, over its life.
struct LayerCounts {
  int32_t Number = 0;
  std::string Name;
  bool Alive = true;
  bool Shown = false;
  bool Positioned = false;
  int32_t Base = 0;  // last SetPosition: frame f is presented at output position Base + f
  int32_t DepthFrames = 0;
  int64_t OnTime = 0;     // frames presented at their output position
  int64_t Late = 0;       // submitted after their output position had passed
  int64_t Missing = 0;    // output positions from Base on with no frame
  int64_t Discarded = 0;  // queued frames never presented (a second frame for one position)
  int64_t RefusedSubmits = 0;
  int64_t BuffersLent = 0;
  int64_t BufferRefusals = 0;  // GetBuffer refused: every buffer queued
  int64_t FramesDone = 0;
};

}  // namespace quellvox::engine
