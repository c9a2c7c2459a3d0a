#include "config/mixer_handoff.h"

namespace quellvox {

MixerPart MixerPartOf(const DuckerSettings& s) {
  MixerPart p;
  p.Lines = s.Lines;
  p.UseCommon = s.UseCommon;
  p.CommonLine = s.CommonLine;
  p.DecreaseDB = s.DecreaseDB;
  p.NoiseLevelDB = s.NoiseLevelDB;
  p.TimeoutInFrames = s.TimeoutInFrames;
  p.CpuPriority = s.CpuPriority.Load(std::memory_order_relaxed);
  return p;
}

void ApplyMixerPart(const MixerPart& part, DuckerSettings& s) {
  s.Lines = part.Lines;
  s.UseCommon = part.UseCommon;
  s.CommonLine = part.CommonLine;
  s.DecreaseDB = part.DecreaseDB;
  s.NoiseLevelDB = part.NoiseLevelDB;
  s.TimeoutInFrames = part.TimeoutInFrames;
  s.CpuPriority.Store(part.CpuPriority, std::memory_order_relaxed);
}

void MixerHandoff::Publish(const MixerPart& part) {
  slots_[back_] = part;
  back_ = middle_.exchange(static_cast<uint8_t>(back_ | kFresh), std::memory_order_acq_rel) & kIndex;
}

const MixerPart* MixerHandoff::TakeNewest() {
  if ((middle_.load(std::memory_order_relaxed) & kFresh) == 0) return nullptr;
  front_ = middle_.exchange(front_, std::memory_order_acq_rel) & kIndex;
  return &slots_[front_];
}

void MixerHandoff::Discard() { middle_.fetch_and(kIndex, std::memory_order_relaxed); }

}  // namespace quellvox
