// The Prometheus text of an instance, built with prometheus-cpp's registry
// and text serialiser from the atomic statistics and the snapshot.
//
// Names: quellvox_ prefix, base units (seconds, frames, decibels), _total
// counters; labels instance, engine (the title engine's name) and line
// (1..8). Loudness figures per plane will join as quellvox_loudness_* with
// the same labels.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

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
  std::string Render(const PipelineStats& stats, const InstanceSnapshot& snapshot);

 private:
  std::mutex mutex_;
  MonotonicCount videoSkips_[kMaxTargets];
  MonotonicCount audioSkips_;
  MonotonicCount passes_;
};

}  // namespace quellvox
