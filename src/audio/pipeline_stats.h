// Counters the audio pump and the video threads keep while the pipeline
// runs, read without a lock by the statistics text.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

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
  // Per target: frames repeated or dropped (video with its audio) to follow
  // an engine clock that drifts against the capture's. Atomic add by the
  // pump, atomic exchange with 0 on reset and at the pump's start.
  std::atomic<int32_t> ClockSlips[kMaxTargets] = {};
  // For the statistics window's live strip, written by the pump once per
  // pass and only drawn: relaxed, because each value stands alone and
  // publishes nothing else, so the pump pays a plain store (no fence, no
  // locked instruction); a reader may pair one pass's gain with the next
  // pass's voice flag, which a picture of 30 seconds cannot show.
  std::atomic<int32_t> FloorGainCentiDB[kVoiceOverLines] = {};  // floor gain per row, hundredths of a dB
  std::atomic<uint32_t> PassCount{0};  // pump passes since the frame was created; wraps
  // Passes that found the capture's newest position two or more frames
  // beyond the frame they were to copy: the thread woke a frame late (or
  // more). The pump's and each video thread's, each written by its one
  // thread (relaxed load and store, no locked add), read by benchmarks.
  std::atomic<uint32_t> LatePumpPasses{0};
  std::atomic<uint32_t> LateVideoPasses[kMaxTargets] = {};
  // Target frames each video thread has submitted to its layer (a woven
  // pair counts once), over every run of the relay; wraps. Written by its
  // one thread (relaxed load and store), read by the remote interface.
  std::atomic<uint32_t> RelayedFrames[kMaxTargets] = {};
  // The main capture's newest position as the pump read it at its last pass:
  // written by the pump once per pass, read by the instance's own watch for a
  // capture that stopped delivering frames. Relaxed: a value alone, it
  // publishes nothing else.
  std::atomic<int64_t> NewestCapturePosition{0};
};

// Audio thread. Allocates nothing, takes no lock.
// A floor gain (linear) in hundredths of a dB, rounded; gains of 10^-6
// (-120 dB) and below, and NaN, give -12000.
int32_t FloorGainToCentiDb(float gain);

// Samples per published fullness record.
inline constexpr int32_t kFullnessSamples = 100;

// Folds fullness samples (target frames queued ahead of the layer's output)
// and publishes every 100 of them. Owned by one thread (the pump for the
// audio side, a video thread for its row); allocates nothing, takes no lock.
struct FullnessAccumulator {
  int32_t Min = 1000;
  int32_t Max = 0;
  // 64-bit: a hundred samples near the 32-bit limit (a layer whose output
  // position reads far behind) must not wrap the sum.
  int64_t Sum = 0;
  int32_t Count = 0;

  // Adds one sample (callers pass it already raised to 0 when negative).
  // When the 100th sample arrives, publishes { Min, Max, mean in tenths }
  // with relaxed stores, starts over and returns true; the published Min
  // is left in `publishedMin`.
  bool Add(int32_t sample, FullnessRecord& record, int32_t* publishedMin = nullptr);
};

// The mean of `count` samples summing to `sum`, in tenths rounded half up:
// (sum * 10 + count / 2) / count in integer arithmetic. 0 for a count
// below 1.
int64_t FullnessTenths(int64_t sum, int32_t count);

// The statistics text: processing time, skips, fullness per target and, with
// the floor in use, the inter-noise and the voice state of each line in use.
// Lines end with "\r\n", columns are separated by "\t". Reads the counters
// with relaxed loads; user-interface thread.
std::string BuildStatisticsText(const PipelineStats& stats, int32_t targetCount, const DuckerSettings& settings);

}  // namespace quellvox
