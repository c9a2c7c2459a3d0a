#include "audio/loudness_meter.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <system_error>

namespace quellvox {

namespace {

constexpr double kMinusInfinity = -std::numeric_limits<double>::infinity();

void Clear(PublishedLoudness& p) {
  p.MomentaryLufs.store(kMinusInfinity, std::memory_order_relaxed);
  p.ShortTermLufs.store(kMinusInfinity, std::memory_order_relaxed);
  p.IntegratedLufs.store(kMinusInfinity, std::memory_order_relaxed);
  p.RangeLu.store(0.0, std::memory_order_relaxed);
  p.TruePeakDbtp.store(kMinusInfinity, std::memory_order_relaxed);
}

}  // namespace

LoudnessMeter::LoudnessMeter() : ring_(std::make_unique<Slot[]>(kRingSlots)) {
  static_assert(std::atomic<double>::is_always_lock_free, "the figures are read without a lock");
  for (PublishedLoudness& p : published_) Clear(p);
}

LoudnessMeter::~LoudnessMeter() { Stop(); }

bool LoudnessMeter::Start(int64_t sampleRate, int32_t planes) {
  Stop();
  const int32_t n = std::clamp<int32_t>(planes, 0, kMeteredPlanes);
  for (int32_t k = 0; k < kMeteredPlanes; ++k) {
    meters_[static_cast<size_t>(k)].reset();
    if (k < n) meters_[static_cast<size_t>(k)] = std::make_unique<PlaneLoudness>(sampleRate, PlaneLoudness::Gating::Histogram);
    Clear(published_[static_cast<size_t>(k)]);
  }
  // No thread runs and the pump drops every offer (accepting_ is 0): the
  // positions and counts may be set plainly.
  head_.store(0, std::memory_order_relaxed);
  tail_.store(0, std::memory_order_relaxed);
  dropped_.store(0, std::memory_order_relaxed);
  consumed_.store(0, std::memory_order_relaxed);
  planes_.store(n, std::memory_order_relaxed);
  if (n > 0 && !meters_[0]->Valid()) {
    planes_.store(0, std::memory_order_relaxed);
    return false;
  }
  stop_.store(0, std::memory_order_relaxed);
  try {
    thread_ = std::thread(&LoudnessMeter::Run, this);
  } catch (const std::system_error&) {
    return false;
  }
  // Release: the fresh ring and meters are seen by the pump's acquire load.
  accepting_.store(1, std::memory_order_release);
  return true;
}

void LoudnessMeter::Stop() {
  if (!thread_.joinable()) return;
  // Release: pairs with the meter thread's acquire poll; it drains the ring
  // once more after seeing it.
  stop_.store(1, std::memory_order_release);
  thread_.join();
  accepting_.store(0, std::memory_order_release);
}

bool LoudnessMeter::Offer_AudioThread(const MixArea& mix, int32_t planes, int32_t frames) {
  // Acquire: pairs with Start's release, so the ring is the fresh one.
  const bool on = accepting_.load(std::memory_order_acquire) != 0;
  const int32_t n = std::min(planes, planes_.load(std::memory_order_relaxed));
  if (!on || n <= 0 || frames <= 0 || static_cast<int64_t>(n) * frames * 2 > kBlockFloats) {
    if (on) dropped_.store(dropped_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    return false;
  }
  const uint64_t head = head_.load(std::memory_order_relaxed);
  // Acquire: pairs with the meter thread's release of tail_, so that the
  // slot it freed is no longer being read when it is overwritten.
  if (head - tail_.load(std::memory_order_acquire) >= static_cast<uint64_t>(kRingSlots)) {
    // The pump is the only writer: a load and a store, no locked add.
    dropped_.store(dropped_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    return false;
  }
  Slot& slot = ring_[head % kRingSlots];
  slot.Planes = n;
  slot.Frames = frames;
  std::memcpy(slot.Samples.Samples, mix.Samples, static_cast<size_t>(n) * static_cast<size_t>(frames) * 2 * sizeof(float));
  // Release: the slot is complete before the meter thread sees it.
  head_.store(head + 1, std::memory_order_release);
  return true;
}

bool LoudnessMeter::Drain() {
  uint64_t tail = tail_.load(std::memory_order_relaxed);
  // Acquire: pairs with the pump's release of head_.
  const uint64_t head = head_.load(std::memory_order_acquire);
  if (tail == head) return false;
  for (; tail != head; ++tail) {
    const Slot& slot = ring_[tail % kRingSlots];
    for (int32_t k = 0; k < slot.Planes; ++k) {
      meters_[static_cast<size_t>(k)]->Add(MixPlane(slot.Samples, k, slot.Frames), slot.Frames);
    }
    // Release: the pump may reuse the slot once it sees this.
    tail_.store(tail + 1, std::memory_order_release);
    consumed_.store(consumed_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
  }
  return true;
}

void LoudnessMeter::Publish(bool slow) {
  const int32_t n = planes_.load(std::memory_order_relaxed);
  for (int32_t k = 0; k < n; ++k) {
    const LoudnessFigures f = meters_[static_cast<size_t>(k)]->Read(slow);
    PublishedLoudness& p = published_[static_cast<size_t>(k)];
    p.MomentaryLufs.store(f.MomentaryLufs, std::memory_order_relaxed);
    p.TruePeakDbtp.store(f.TruePeakDbtp, std::memory_order_relaxed);
    if (!slow) continue;
    p.ShortTermLufs.store(f.ShortTermLufs, std::memory_order_relaxed);
    p.IntegratedLufs.store(f.IntegratedLufs, std::memory_order_relaxed);
    p.RangeLu.store(f.RangeLu, std::memory_order_relaxed);
  }
}

void LoudnessMeter::Run() {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  Clock::time_point quickAt = start;
  Clock::time_point slowAt = start;
  bool fresh = false;  // blocks metered since the last publication
  for (;;) {
    const bool stopping = stop_.load(std::memory_order_acquire) != 0;
    const bool held = hold_.load(std::memory_order_acquire) != 0;
    fresh = ((!held || stopping) && Drain()) || fresh;
    const Clock::time_point now = Clock::now();
    if (stopping || (fresh && now - quickAt >= std::chrono::milliseconds(kQuickPublishMs))) {
      const bool slow = stopping || now - slowAt >= std::chrono::milliseconds(kSlowPublishMs);
      Publish(slow);
      quickAt = now;
      if (slow) slowAt = now;
      fresh = false;
    }
    if (stopping) return;
    // The pump is never waited for: an empty ring is looked into again a
    // period later. An idle ring publishes nothing new.
    std::this_thread::sleep_for(std::chrono::milliseconds(kPeriodMs));
  }
}

LoudnessSnapshot LoudnessMeter::Figures() const {
  LoudnessSnapshot s;
  s.Planes = planes_.load(std::memory_order_relaxed);
  for (int32_t k = 0; k < s.Planes; ++k) {
    const PublishedLoudness& p = published_[static_cast<size_t>(k)];
    LoudnessFigures& f = s.Plane[static_cast<size_t>(k)];
    f.MomentaryLufs = p.MomentaryLufs.load(std::memory_order_relaxed);
    f.ShortTermLufs = p.ShortTermLufs.load(std::memory_order_relaxed);
    f.IntegratedLufs = p.IntegratedLufs.load(std::memory_order_relaxed);
    f.RangeLu = p.RangeLu.load(std::memory_order_relaxed);
    f.TruePeakDbtp = p.TruePeakDbtp.load(std::memory_order_relaxed);
  }
  s.BlocksMetered = consumed_.load(std::memory_order_relaxed);
  s.BlocksDropped = dropped_.load(std::memory_order_relaxed);
  return s;
}

}  // namespace quellvox
