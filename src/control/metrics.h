// The Prometheus text of an instance, built with prometheus-cpp's registry
// and text serialiser from the atomic statistics and the snapshot.
//
// Names: quellvox_ prefix, base units (seconds, frames, decibels), _total
// counters; labels instance, engine (the title engine's name), line (the
// voice-over line, 1..8) and plane (the stereo line the engines receive,
// 1..8, as the statistics window's "Stereo#n").
//
// Loudness per metered plane while the relay runs: momentary, short-term
// and integrated loudness in LUFS, the loudness range in LU and the
// true-peak maximum in dBTP. A figure not known yet (momentary before
// 400 ms of audio, short-term before 3 s, integrated while nothing lies
// above the gate, the peak of pure silence) is NaN: the series exists from
// the start of a run, as Prometheus advises for series known in advance,
// and every comparison with NaN is false, so that neither a "too loud" nor
// a "too quiet" alert fires on a figure that is not there (-Inf, which the
// meters hold internally, would read as "too quiet"; 0 as full scale).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "audio/loudness_meter.h"
#include "audio/pipeline_stats.h"
#include "control/instance_snapshot.h"

namespace quellvox {

// A counter that never goes down, fed with a 32-bit value that the pipeline
// resets to 0 (the skip counters) or lets wrap (the pass count).
struct MonotonicCount {
  uint64_t Total = 0;
  uint32_t Last = 0;
  // A value below the last one is a reset: it counts from 0.
  void FeedResettable(uint32_t value);
  // A value below the last one has wrapped: the difference counts.
  void FeedWrapping(uint32_t value);
};

class MetricsExporter {
 public:
  // Server threads; one render at a time.
  std::string Render(const PipelineStats& stats, const InstanceSnapshot& snapshot, const LoudnessSnapshot& loudness);

 private:
  std::mutex mutex_;
  MonotonicCount videoSkips_[kMaxTargets];
  MonotonicCount relayed_[kMaxTargets];
  MonotonicCount slips_[kMaxTargets];
  MonotonicCount audioSkips_;
  MonotonicCount passes_;
  MonotonicCount loudnessDropped_;
};

}  // namespace quellvox
