#include "pipeline/frame_pacer.h"

#include <algorithm>
#include <cmath>

#include "pipeline/frame_math.h"

namespace quellvox {

namespace {

constexpr double kFirstRetryNs = 250'000.0;      // 0.25 ms
constexpr double kNoRatePollNs = 1'000'000.0;    // 1 ms
constexpr double kCreepPerFrame = 0.001;         // of a period
constexpr double kStandingFrames = 4.0;          // late by more: the capture stands still

FramePacer::Clock::time_point After(FramePacer::Clock::time_point t, double ns) {
  return t + std::chrono::duration_cast<FramePacer::Clock::duration>(std::chrono::duration<double, std::nano>(ns));
}

}  // namespace

FramePacer::FramePacer(double rate) {
  if (rate > 0.0 && std::isfinite(rate)) periodNs_ = 1e9 / rate;
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
    const double moved = static_cast<double>(WrapSub(newest, newest_));
    const double crept = phaseNs_ + std::max(moved, 0.0) * periodNs_ * kCreepPerFrame;
    phaseNs_ = std::min(bound, crept);
  }
  newest_ = newest;
  misses_ = 0;
}

FramePacer::Clock::time_point FramePacer::NextLook(bool pending, Clock::time_point now) {
  if (periodNs_ <= 0.0) return After(now, kNoRatePollNs);
  if (!pending && anchored_ && misses_ == 0) {
    const double frames = static_cast<double>(WrapSub(newest_, basePos_)) + 1.0;
    const Clock::time_point due = After(base_, phaseNs_ + frames * periodNs_);
    if (due > now) {
      misses_ = 1;  // if it is not there then, it is late
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
  return After(now, wait);
}

}  // namespace quellvox
