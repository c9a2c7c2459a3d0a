// The mixer part of the settings, and the handoff that carries it from the
// user-interface thread to the running audio pump without a lock: the
// user-interface thread publishes a complete copy, the pump takes the newest
// complete copy at the start of a pass, and no field is ever read while it
// is written.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "config/settings.h"

namespace quellvox {

// What a running pipeline takes over from an applied change; everything
// else of the record waits for the next start.
struct MixerPart {
  std::array<VoiceOverLine, kVoiceOverLines> Lines{};
  bool UseCommon = true;
  AudioLineRef CommonLine;
  int32_t DecreaseDB = 18;
  int32_t NoiseLevelDB = 32;
  int32_t TimeoutInFrames = 30;
  int32_t CpuPriority = 0;
  friend bool operator==(const MixerPart&, const MixerPart&) = default;
};

MixerPart MixerPartOf(const DuckerSettings& s);

// Writes the mixer part into a record; CpuPriority with a relaxed store (the
// video threads read the pump's copy). Allocates nothing.
void ApplyMixerPart(const MixerPart& part, DuckerSettings& s);

// A triple buffer: one slot the writer fills, one the reader holds, one in
// the middle. Publishing swaps the filled slot with the middle one and marks
// it fresh; taking swaps the held slot with the middle one when it is fresh.
// Each side only ever touches its own slot, so a copy is never seen half
// written, and neither side waits for the other. The fresh mark is the
// settings' "mixer changed" flag: set by a publish, cleared by the take.
class MixerHandoff {
 public:
  MixerHandoff() = default;
  MixerHandoff(const MixerHandoff&) = delete;
  MixerHandoff& operator=(const MixerHandoff&) = delete;

  // User-interface thread only. Never blocks; allocates nothing.
  void Publish(const MixerPart& part);

  // Audio pump only. Never blocks; allocates nothing. The newest part
  // published since the last take, or nullptr when nothing new arrived. The
  // part stays valid and unchanged until the next call.
  const MixerPart* TakeNewest();

  // Whether a published part waits to be taken (any thread; a hint).
  bool MixerChanged() const { return (middle_.load(std::memory_order_relaxed) & kFresh) != 0; }

  // Forgets a part that was published but never taken. Only while no pump
  // runs (a new pump starts from a copy of the whole record).
  void Discard();

 private:
  static constexpr uint8_t kIndex = 0x3;
  static constexpr uint8_t kFresh = 0x4;
  std::array<MixerPart, 3> slots_{};
  uint8_t back_ = 0;  // the writer's slot
  // Index of the middle slot, with kFresh when it holds an untaken part.
  // Exchanged with acq_rel by both sides: the release publishes the slot
  // written before it, the acquire makes the other side's slot writes
  // visible before this side reuses that slot.
  std::atomic<uint8_t> middle_{1};
  uint8_t front_ = 2;  // the reader's slot
};

}  // namespace quellvox
