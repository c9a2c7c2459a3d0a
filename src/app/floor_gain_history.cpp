#include "app/floor_gain_history.h"

#include <algorithm>

namespace quellvox {

void FloorGainHistory::Take(const PipelineStats& stats, int64_t nowMs) {
  StripSample& s = ring_[static_cast<size_t>(next_)];
  s.TimeMs = nowMs;
  const uint32_t pass = stats.PassCount.load(std::memory_order_relaxed);
  if (count_ == 0) {
    s.Live = false;  // nothing to compare with yet
    lastPassMs_ = nowMs;
  } else {
    if (pass != lastPass_) lastPassMs_ = nowMs;
    s.Live = pass != lastPass_ || nowMs - lastPassMs_ < kStallMs;
  }
  lastPass_ = pass;
  s.VoiceMask = 0;
  for (int32_t i = 0; i < kVoiceOverLines; ++i) {
    if (stats.VoiceDetected[i].load(std::memory_order_relaxed) != 0) s.VoiceMask |= static_cast<uint8_t>(1u << i);
    s.CentiDb[static_cast<size_t>(i)] = stats.FloorGainCentiDB[i].load(std::memory_order_relaxed);
  }
  next_ = (next_ + 1) % kCapacity;
  count_ = std::min(count_ + 1, kCapacity);
}

void FloorGainHistory::Clear() {
  next_ = 0;
  count_ = 0;
  lastPass_ = 0;
  lastPassMs_ = 0;
}

const StripSample& FloorGainHistory::At(int32_t age) const {
  return ring_[static_cast<size_t>((next_ - 1 - age + 2 * kCapacity) % kCapacity)];
}

}  // namespace quellvox
