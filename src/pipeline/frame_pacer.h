// When a pipeline thread that found nothing new should look again: at the
// moment the capture's next frame is due, not after a blind short sleep.
#pragma once

#include <chrono>
#include <cstdint>

namespace quellvox {

// One per thread; owned by it. Allocates nothing, takes no lock.
//
// The due time of frame n is phase + n / rate on the steady clock, and the
// phase is kept locked to the capture's own from the thread's looks:
// - every sighting of a new position, less the frames' duration, is a bound
//   at or after the capture's true phase (a frame is never seen before it
//   exists): the estimate never stays later than the best bound;
// - a look at the due time that finds the frame already there is evidence
//   that the phase is earlier: the estimate moves earlier by a small step,
//   a larger one after each further such look (so a capture clock faster
//   than ours, by up to a few thousand ppm, is followed);
// - a look at the due time that finds it missing is evidence that the phase
//   is later: the frame is looked for again after 0.25 ms, then after twice
//   as long each time, up to half a frame, and the estimate moves to the
//   sighting, which lies at most one such wait after the arrival.
// The wake-ups thus land just after the frame's arrival, a few hundredths
// of a frame at most, for as long as the capture runs, whichever way its
// clock drifts against ours. A capture that has delivered nothing for four
// frames stands still (no signal) and is looked at every two frames, so
// that 32 idle targets cost next to nothing.
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
  double stepNs_ = 0.0;       // how much earlier the next look that finds its frame moves the estimate
  int64_t newest_ = 0;
  // Looks since the last new position that found nothing; 1 while the look
  // at the due time is under way.
  int32_t misses_ = 0;
  bool dueLook_ = false;  // the look under way was made at the due time
  double lookNs_ = 0.0;   // when the look under way was asked for, from base_
};

}  // namespace quellvox
