// When a pipeline thread that found nothing new should look again: at the
// moment the capture's next frame is due, not after a blind short sleep.
#pragma once

#include <chrono>
#include <cstdint>

namespace quellvox {

// One per thread; owned by it. Allocates nothing, takes no lock.
//
// The due time of frame n is phase + n / rate on the steady clock. The phase
// is learnt from the thread's own observations: each time the newest
// position moves on, the moment it was seen, less the frames' duration, is
// a bound that lies at or after the capture's true phase (a frame is never
// seen before it exists). The smallest such bound is the best estimate; it
// may creep later by a thousandth of a frame per frame, so that a capture
// clock slower than ours is followed as well as a faster one.
//
// A frame later than due (jitter, a stalled capture) is looked for again
// after 0.25 ms, then after twice as long each time, up to half a frame: a
// late frame is found within a few percent of a frame. A capture that has
// delivered nothing for four frames stands still (no signal) and is looked
// at every two frames, so that 32 idle targets cost next to nothing.
class FramePacer {
 public:
  using Clock = std::chrono::steady_clock;

  // rate: capture frames per second. A rate that is not a positive finite
  // number (a format the capture could not give) paces by polls of 1 ms.
  explicit FramePacer(double rate);

  // After each position read: newest is the capture's newest position.
  void Observe(int64_t newest, Clock::time_point now);

  // When to look again after a pass that copied nothing. `pending`: the
  // capture holds a frame the thread has not yet taken (a refused lend or
  // write): look again soon instead of waiting for the next frame.
  Clock::time_point NextLook(bool pending, Clock::time_point now);

 private:
  double periodNs_ = 0.0;
  bool anchored_ = false;
  int64_t basePos_ = 0;       // position of the first observation
  Clock::time_point base_{};  // when it was made
  double phaseNs_ = 0.0;      // estimate: when position basePos_ became newest, from base_
  int64_t newest_ = 0;
  int32_t misses_ = 0;  // looks since the last new position that found nothing
};

}  // namespace quellvox
