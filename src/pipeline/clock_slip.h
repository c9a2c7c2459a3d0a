// Clock slips: how the relay answers an engine whose output clock runs
// faster or slower than the capture's. Once the drift has built up a whole
// frame, the relay repeats (engine fast) or drops (engine slow) one target
// frame of video together with its audio, as a frame synchroniser does, so
// that the delay stays within a frame of its setting and every presented
// frame keeps its own audio.
#pragma once

#include <cstdint>

namespace quellvox {

// The slips of one target, in one 64-bit word so that the video thread
// reads them whole. From: the target frame (counted from StartPosition,
// before any slip) at which the latest slip takes effect; Total: the slips
// in force from it on, in target frames (repeats +1, drops -1); Step: the
// latest slip, +1 or -1 (0 before the first). Frame n is submitted as
// n + SlipOffset(n).
struct ClockSlip {
  uint32_t From = 0;
  int32_t Total = 0;  // 24 bits: 8 million slips, some years at 1,000 ppm
  int32_t Step = 0;

  int32_t OffsetAt(int32_t frame) const {
    const int32_t since = static_cast<int32_t>(static_cast<uint32_t>(frame) - From);
    return since >= 0 ? Total : Total - Step;
  }
  bool RepeatsAt(int32_t frame) const { return Step > 0 && static_cast<uint32_t>(frame) == From; }
  bool DropsAt(int32_t frame) const { return Step < 0 && static_cast<uint32_t>(frame) == From; }
};

inline uint64_t PackSlip(const ClockSlip& s) {
  const uint32_t high = (static_cast<uint32_t>(s.Total) << 8) | (static_cast<uint32_t>(s.Step) & 0xFFu);
  return (static_cast<uint64_t>(high) << 32) | s.From;
}

inline ClockSlip UnpackSlip(uint64_t word) {
  ClockSlip s;
  s.From = static_cast<uint32_t>(word);
  const int32_t high = static_cast<int32_t>(static_cast<uint32_t>(word >> 32));
  s.Total = high >> 8;  // arithmetic shift keeps the sign
  s.Step = static_cast<int8_t>(high & 0xFF);
  return s;
}

// Passes of the pump over which the lead of a target (target frames written
// ahead of what its layer presents) is taken as the largest sample: a
// sample read late in a frame can only come out low.
inline constexpr int32_t kSlipWindowPasses = 20;

// Windows in a row whose lead lies a frame off the reference, the same way,
// before a slip is made: drift stays, while an engine that presents late for
// a moment (a slow encoder, a loaded machine) comes back within a window or
// two and must not cost a frame.
inline constexpr int32_t kSlipConfirmWindows = 3;
// Windows at the start that set no reference: the engine's first frames
// come out while its output settles.
inline constexpr int32_t kSlipSettleWindows = 2;

// What the pump keeps per target to decide its slips.
struct SlipWatch {
  bool HasReference = false;
  int32_t Reference = 0;  // the lead of the first window after the settling ones
  int32_t WindowMax = 0;
  int32_t Samples = 0;
  int32_t Settled = 0;    // windows seen before the reference
  int32_t Confirmed = 0;  // windows in a row a frame off, the way of PendingStep
  int32_t PendingStep = 0;
};

}  // namespace quellvox
