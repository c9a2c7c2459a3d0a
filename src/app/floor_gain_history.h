// The history behind the statistics window's strip: for each voice-over
// row, its floor gain and whether voice was detected, sampled from what the
// pump publishes once per pass (PipelineStats: FloorGainCentiDB,
// VoiceDetected, PassCount). The instance keeps it from the start of the
// relay, whether or not the window is open; user-interface thread only.
#pragma once

#include <array>
#include <cstdint>

#include "audio/pipeline_stats.h"
#include "config/settings.h"

namespace quellvox {

struct StripSample {
  int64_t TimeMs = 0;      // when it was taken, on the instance's clock
  bool Live = false;       // the pump made a pass within the last kStallMs
  uint8_t VoiceMask = 0;   // bit i: voice on row i
  std::array<int32_t, kVoiceOverLines> CentiDb{};  // floor gain of each row, hundredths of a dB
};

// The samples of the last seconds, newest last, in a ring sized once.
class FloorGainHistory {
 public:
  static constexpr int64_t kSpanMs = 30'000;   // what the strip shows
  static constexpr int64_t kPeriodMs = 40;     // at most one capture frame of 25 fps between two looks
  static constexpr int32_t kCapacity = 1024;   // > 30 s at 40 ms
  // The pump passes once per capture frame (40 ms at 25 frames/s), so two
  // samples may fall into one pass; only this long without a pass is a gap.
  static constexpr int64_t kStallMs = 250;

  // Takes one sample of every row at `nowMs` (never earlier than the last).
  void Take(const PipelineStats& stats, int64_t nowMs);
  // Forgets every sample (a new relay starts).
  void Clear();
  int32_t Count() const { return count_; }
  // age 0 is the newest sample; REQUIRES: 0 <= age < Count().
  const StripSample& At(int32_t age) const;

 private:
  std::array<StripSample, kCapacity> ring_{};
  int32_t next_ = 0;
  int32_t count_ = 0;
  uint32_t lastPass_ = 0;
  int64_t lastPassMs_ = 0;  // when PassCount last moved
};

}  // namespace quellvox
