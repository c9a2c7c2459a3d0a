#include "pipeline/frame_pacer.h"

#include <algorithm>
#include <cmath>

#include "pipeline/frame_math.h"

namespace quellvox {

namespace {

constexpr double kFirstRetryNs = 250'000.0;    // 0.25 ms
constexpr double kNoRatePollNs = 1'000'000.0;  // 1 ms
constexpr double kStandingFrames = 4.0;        // late by more: the capture stands still
// The step earlier after a look that found its frame: from a two-thousandth
// of a frame (20 us at 25 frames/s), doubling with every further such look
// up to a sixty-fourth. The first is about as much as a capture clock
// 500 ppm faster than ours gains in one frame; the doubling follows any
// faster one.
constexpr double kFirstStepFrames = 1.0 / 2000.0;
constexpr double kLargestStepFrames = 1.0 / 64.0;

FramePacer::Clock::time_point After(FramePacer::Clock::time_point t, double ns) {
  return t + std::chrono::duration_cast<FramePacer::Clock::duration>(std::chrono::duration<double, std::nano>(ns));
}

}  // namespace

FramePacer::FramePacer(double rate) {
  if (rate > 0.0 && std::isfinite(rate)) periodNs_ = 1e9 / rate;
  stepNs_ = periodNs_ * kFirstStepFrames;
}

void FramePacer::Observe(int64_t newest, Clock::time_point now) {
  if (anchored_ && newest == newest_) return;
  if (!anchored_) {
    anchored_ = true;
    basePos_ = newest;
    base_ = now;
    phaseNs_ = 0.0;
  } else {
    const double frames = static_cast<double>(WrapSub(newest, basePos_));
    const double seenNs = std::chrono::duration<double, std::nano>(now - base_).count();
    const double bound = seenNs - frames * periodNs_;
    if (dueLook_ && misses_ == 1) {
      // Found at the due time: the phase may be earlier; probe for it.
      phaseNs_ = std::min(bound, phaseNs_ - stepNs_);
      stepNs_ = std::min(2.0 * stepNs_, periodNs_ * kLargestStepFrames);
    } else if (dueLook_ && misses_ > 1) {
      // Missing at the due time, found on a later look: the phase lies
      // after the look before and at or before the one that found it, as
      // asked for (a thread woken late must not move the phase late).
      phaseNs_ = std::min(bound, lookNs_ - frames * periodNs_);
      stepNs_ = periodNs_ * kFirstStepFrames;
    } else {
      phaseNs_ = std::min(bound, phaseNs_);
    }
  }
  newest_ = newest;
  misses_ = 0;
  dueLook_ = false;
}

FramePacer::Clock::time_point FramePacer::NextLook(bool pending, Clock::time_point now) {
  if (periodNs_ <= 0.0) return After(now, kNoRatePollNs);
  if (!pending && anchored_ && misses_ == 0) {
    const double frames = static_cast<double>(WrapSub(newest_, basePos_)) + 1.0;
    const Clock::time_point due = After(base_, phaseNs_ + frames * periodNs_);
    if (due > now) {
      misses_ = 1;  // if it is not there then, it is late
      dueLook_ = true;
      lookNs_ = std::chrono::duration<double, std::nano>(due - base_).count();
      return due;
    }
  }
  // Half a frame at most while the frame is a little late; a capture that
  // has delivered nothing for four frames stands still (no signal), and is
  // looked at every two frames.
  double cap = periodNs_ / 2.0;
  if (anchored_) {
    const double dueNs = phaseNs_ + (static_cast<double>(WrapSub(newest_, basePos_)) + 1.0) * periodNs_;
    const double lateNs = std::chrono::duration<double, std::nano>(now - base_).count() - dueNs;
    if (lateNs > kStandingFrames * periodNs_) cap = 2.0 * periodNs_;
  }
  const double wait = std::min(kFirstRetryNs * std::ldexp(1.0, std::min(misses_, 20)), cap);
  ++misses_;
  const Clock::time_point look = After(now, wait);
  if (anchored_) lookNs_ = std::chrono::duration<double, std::nano>(look - base_).count();
  return look;
}

}  // namespace quellvox
