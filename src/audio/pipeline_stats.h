// Counters the audio pump and the video threads keep while the pipeline
// runs, read without a lock by the statistics text.
#pragma once

#include <atomic>
#include <cstdint>

#include "config/settings.h"

namespace quellvox {

// Smallest and largest of 100 fullness samples and their mean in tenths.
// Each field is stored and loaded on its own (relaxed); a reader may see a
// record half updated.
struct FullnessRecord {
  std::atomic<int32_t> Min{1000};
  std::atomic<int32_t> Max{0};
  std::atomic<int32_t> MeanWhole{0};
  std::atomic<int32_t> MeanTenth{0};
};

struct PipelineStats {
  // Set by the statistics dialog (release), taken and cleared by the pump (acquire).
  std::atomic<uint8_t> ResetRequested{0};
  // Changed only by atomic add (writers) and atomic exchange with 0 (reset).
  std::atomic<int32_t> SkipVideo[kMaxTargets] = {};
  std::atomic<int32_t> SkipAudio{0};
  // Single values written by the pump, read by the text; relaxed.
  std::atomic<uint8_t> VoiceDetected[kVoiceOverLines] = {};
  std::atomic<int32_t> VoiceLevelDB[kVoiceOverLines] = {};
  std::atomic<int32_t> InterNoiseDB{0};
  std::atomic<int32_t> ProcessingSeconds{0};
  FullnessRecord AudioFullness[kMaxTargets];
  FullnessRecord VideoFullness[kMaxTargets];
};

}  // namespace quellvox
