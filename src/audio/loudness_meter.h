// The loudness meters of a running relay: one per mix plane (each stereo
// line the engines receive). The audio pump offers every mixed block; the
// block is copied into a single-producer, single-consumer ring and the
// meter thread, never the pump, feeds the meters and publishes the figures.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "audio/audio_layout.h"
#include "audio/plane_loudness.h"

namespace quellvox {

inline constexpr int32_t kMeteredPlanes = 8;  // the mix area's stereo lines at the longest block that carries 8

// One published figure: written by the meter thread alone (relaxed store),
// read by any thread (relaxed load). Each value stands alone and publishes
// nothing else, so no ordering is needed; a reader may pair one update's
// momentary with the previous update's short-term loudness.
struct PublishedLoudness {
  std::atomic<double> MomentaryLufs;
  std::atomic<double> ShortTermLufs;
  std::atomic<double> IntegratedLufs;
  std::atomic<double> RangeLu;
  std::atomic<double> TruePeakDbtp;
};

// What a reader gets: the figures of every plane and the counts.
struct LoudnessSnapshot {
  int32_t Planes = 0;  // planes metered in this run; 0 when none ran
  std::array<LoudnessFigures, kMeteredPlanes> Plane{};
  uint64_t BlocksMetered = 0;
  uint64_t BlocksDropped = 0;  // offered while the ring was full
};

class LoudnessMeter {
 public:
  // Slots of the ring: about 0.6 s of blocks at 25 frames/s, so that the
  // meter thread may fall behind by a scheduling hiccup without a drop.
  static constexpr int32_t kRingSlots = 16;
  // How often the meter thread looks into an empty ring: half a block at
  // 25 frames/s, one block at 50. Every look wakes the thread, and on a busy
  // machine a wake-up costs more than the look: at 10 ms the looks alone
  // took some 0.3 % of a core (bench/loudness, BM_MeterThread).
  static constexpr int32_t kPeriodMs = 20;
  // Readings cost more than metering (PlaneLoudness::Read), so they are
  // spaced: the momentary loudness and the true peak after a drain at most
  // every kQuickPublishMs (10 a second, as a loudness meter updates), the
  // short-term and integrated loudness and the range every kSlowPublishMs,
  // and everything when the meter stops.
  static constexpr int64_t kQuickPublishMs = 100;
  static constexpr int64_t kSlowPublishMs = 1000;

  // Sizes the ring once (about 5 MB); no thread yet.
  LoudnessMeter();
  ~LoudnessMeter();  // stops the thread
  LoudnessMeter(const LoudnessMeter&) = delete;
  LoudnessMeter& operator=(const LoudnessMeter&) = delete;

  // User-interface thread. Stops a running meter, makes fresh meters for
  // `planes` planes (at most kMeteredPlanes) at `sampleRate`, empties the
  // ring, zeroes the counts and figures and starts the meter thread. False
  // (nothing running) when the rate is refused or the system refuses the
  // thread; the pump's offers are then dropped.
  bool Start(int64_t sampleRate, int32_t planes);
  // User-interface thread. Meters what the ring still holds, publishes the
  // final figures and joins the thread. The figures stay readable.
  void Stop();

  // Audio thread. Allocates nothing, takes no lock, never waits.
  // Copies the first min(planes, metered planes) planes of a block of
  // `frames` sample frames into the ring; a full ring (or a stopped meter)
  // drops the block and counts it. True when queued.
  bool Offer_AudioThread(const MixArea& mix, int32_t planes, int32_t frames);

  // Any thread. Relaxed loads of the published figures.
  LoudnessSnapshot Figures() const;

  // Test hook: the meter thread takes nothing out of the ring while set, so
  // that a test can fill it (release by the test, acquire by the thread).
  void TEST_HoldConsumer(bool hold) { hold_.store(hold ? 1 : 0, std::memory_order_release); }
  // Test hook: blocks the meter thread has taken out of the ring so far.
  uint64_t TEST_Consumed() const { return consumed_.load(std::memory_order_acquire); }

 private:
  struct Slot {
    int32_t Planes = 0;
    int32_t Frames = 0;
    MixArea Samples;
  };

  void Run();
  bool Drain();  // meters every queued block; true when it took any
  void Publish(bool slow);

  std::unique_ptr<Slot[]> ring_;
  // Positions count blocks for ever (64-bit: no wrap in practice). head_ is
  // written by the pump only (release: the slot's samples are complete
  // before the consumer sees the position), tail_ by the meter thread only
  // (release: the slot is free again once the pump sees the position).
  alignas(64) std::atomic<uint64_t> head_{0};
  alignas(64) std::atomic<uint64_t> tail_{0};
  alignas(64) std::atomic<uint64_t> dropped_{0};  // the pump's alone; relaxed
  std::atomic<uint64_t> consumed_{0};             // the meter thread's alone
  // 1 while a meter thread runs: set before it starts and cleared after it
  // joined (by the user-interface thread); read by the pump (acquire) so
  // that an offer outside a run is dropped.
  std::atomic<uint8_t> accepting_{0};
  std::atomic<uint8_t> stop_{0};  // set by Stop (release), polled by the thread (acquire)
  std::atomic<uint8_t> hold_{0};
  std::atomic<int32_t> planes_{0};
  std::array<std::unique_ptr<PlaneLoudness>, kMeteredPlanes> meters_;
  std::array<PublishedLoudness, kMeteredPlanes> published_{};
  std::thread thread_;
};

}  // namespace quellvox
